#include "board_kind.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

qint16 recognizeBoardKind()
{
    // Qt's default listing: files and directories, hidden entries left out,
    // patterns matched without regard to case, sorted by name ignoring case.
    const QStringList entries = QDir(QString()).entryList({"*.bit", "*.bin", "*.hex"});
    qint16 kind = entries.isEmpty() ? BOARD_NO_FILES : BOARD_UNRECOGNISED;
    for (const QString& entry : entries) {
        const QString suffix = QFileInfo(entry).completeSuffix();
        if (suffix == QLatin1String("bit") || suffix == QLatin1String("hex"))
            kind = BOARD_LUMO3;
        else if (suffix == QLatin1String("bin"))
            kind = BOARD_MINI_LUMO;
    }
    return kind;
}
