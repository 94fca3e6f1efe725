// lumo3-board radio-flash / install-radio-flasher: a stand-in for the AXSEM
// flasher that the updater starts as "python serial_flasher.py DEVICE FILE".

#include "AX8052.h"
#include "IntelHex.h"
#include "ToolCommands.h"
#include "WholeFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace board_tool {

namespace {
constexpr const char* kScript = "serial_flasher.py";

QString shellQuoted(const QString& text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}
}  // namespace

// radio-flash DIR serial_flasher.py DEVICE FILE, as the interpreter's
// command line arrives through the wrapper that install-radio-flasher writes.
int radioFlash(const QStringList& args)
{
    if (args.size() < 2)
        return usageError("radio-flash needs DIR and the flasher's command line");
    const QString board = args.at(0);
    const QStringList command = args.mid(1);
    if (command.at(0) != QLatin1String(kScript)) {
        std::fprintf(stderr, "python: can't open file '%s': [Errno 2] No such file or directory\n",
                     qUtf8Printable(command.at(0)));
        return 2;
    }
    if (command.size() != 3) {
        std::printf("usage: %s DEVICE FILE.hex\n", kScript);
        return 2;
    }
    const QString device = command.at(1);
    const QString fileName = command.at(2);
    if (device != QLatin1String(sim::AX8052::kSerialDevice) || !QFileInfo::exists(QDir(board).filePath("state.json"))) {
        std::printf("%s: cannot open %s: no such serial device\n", kScript, qUtf8Printable(device));
        return 1;
    }
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        std::printf("%s: cannot read %s\n", kScript, qUtf8Printable(fileName));
        return 1;
    }
    sim::IntelHex hex;
    QString error;
    if (!sim::IntelHex::parse(file.readAll(), sim::AX8052::kFlashSize, hex, error)) {
        std::printf("%s: %s: %s\n", kScript, qUtf8Printable(fileName), qUtf8Printable(error));
        return 1;
    }
    if (!sim::AX8052::load(board, hex, error)) {
        std::printf("%s: %s\n", kScript, qUtf8Printable(error));
        return 1;
    }
    const QJsonObject loaded = sim::AX8052::status(board);
    std::printf("%s: AX8052 programmed, %d bytes, sha256 %s\n", kScript,
                loaded.value("firmware_bytes").toInt(), qUtf8Printable(loaded.value("sha256").toString().left(16)));
    return 0;
}

// install-radio-flasher DIR BINDIR: writes BINDIR/python, which hands the
// flasher's command line to radio-flash for this board. Put BINDIR first on
// PATH for the updater's run.
int installRadioFlasher(const QStringList& args)
{
    if (args.size() != 2)
        return usageError("install-radio-flasher needs DIR and BINDIR");
    const QString board = QFileInfo(args.at(0)).absoluteFilePath();
    const QString self = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    if (!QFileInfo::exists(QDir(board).filePath("state.json")))
        return fail(QStringLiteral("no board at %1").arg(board));
    if (!QDir().mkpath(args.at(1)))
        return fail(QStringLiteral("cannot create %1").arg(args.at(1)));
    const QString wrapper = QDir(args.at(1)).filePath("python");
    const QByteArray script = "#!/bin/sh\n"
                              "# Stand-in for the AXSEM flasher: python serial_flasher.py DEVICE FILE\n"
                              "exec " + shellQuoted(self).toUtf8() + " radio-flash " +
                              shellQuoted(board).toUtf8() + " \"$@\"\n";
    QString error;
    if (!sim::writeWholeFile(wrapper, script, error))
        return fail(error);
    QFile::setPermissions(wrapper, QFile::permissions(wrapper) | QFileDevice::ExeOwner | QFileDevice::ExeGroup |
                                       QFileDevice::ExeOther);
    return 0;
}

}  // namespace board_tool
