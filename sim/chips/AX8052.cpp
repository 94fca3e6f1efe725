#include "AX8052.h"

#include "WholeFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>

namespace sim {

bool AX8052::load(const QString& boardDir, const IntelHex& firmware, QString& error)
{
    const QByteArray image = firmware.image(kFlashSize);
    const QByteArray used = image.left(static_cast<int>(firmware.extent()));
    const QJsonObject state{{"firmware_bytes", static_cast<double>(used.size())},
                            {"sha256", QString::fromLatin1(QCryptographicHash::hash(used, QCryptographicHash::Sha256).toHex())}};
    return writeWholeFile(QDir(boardDir).filePath(kImageFile), image, error) &&
           writeWholeFile(QDir(boardDir).filePath(kStateFile), QJsonDocument(state).toJson(), error);
}

QJsonObject AX8052::status(const QString& boardDir)
{
    QFile file(QDir(boardDir).filePath(kStateFile));
    if (!file.open(QIODevice::ReadOnly))
        return {{"firmware_bytes", 0}};
    return QJsonDocument::fromJson(file.readAll()).object();
}

}  // namespace sim
