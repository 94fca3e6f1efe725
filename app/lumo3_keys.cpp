#include "lumo3_keys.h"

#include "auto_update_run.h"
#include "flash/nt25q256.h"
#include "flash/xapp1081.h"
#include "flash_range_args.h"

#include <QDebug>
#include <QFile>

#include <algorithm>
#include <optional>
#include <utility>

namespace {
// 3-byte addresses reach the lowest 16 MiB of the flash.
constexpr quint64 kReachableFlash = 0x1000000;
constexpr unsigned int kSubsector = 4096;

void plain(const QString& text)
{
    qDebug("%s", qUtf8Printable(text));
}

int usage()
{
    plain("lumo3update.exe <-key> [-add <address>] [-len <length>] ");
    plain("Keys:");
    plain("-wupdate <filename>                             Write update image and reboot");
    plain("-wgold <filename>                               Write golden image");
    plain("-w <filename> [-add <address>] [-len <length>]  Write file to flash");
    plain("-r <filename> [-add <address>] [-len <length>]  Read file from flash");
    plain("-wifany                                         Write update image if any");
    plain("-boot                                           Reboot FPGA");
    return -1;
}

struct FlashRange {
    quint32 address;
    quint32 length;
};

std::optional<quint32> requiredNumber(const QStringList& args, const char* key, QStringList& errors)
{
    bool found = false;
    const std::optional<quint32> value = flashNumberAfter(args, key, found);
    if (!found)
        errors << QStringLiteral("Key %1 not found ").arg(key);
    else if (!value)
        errors << QStringLiteral("Incorrect value after %1!").arg(key);
    return value;
}

std::optional<FlashRange> parseRange(const QStringList& args, QStringList& errors)
{
    const std::optional<quint32> address = requiredNumber(args, "-add", errors);
    if (!address)
        return std::nullopt;
    const std::optional<quint32> length = requiredNumber(args, "-len", errors);
    if (!length)
        return std::nullopt;
    return FlashRange{*address, *length};
}

bool withinFlash(quint32 address, quint64 length)
{
    if (address + length <= kReachableFlash)
        return true;
    plain(QStringLiteral("Range out of flash: 0x%1 bytes from 0x%2 end past 0x%3!")
              .arg(length, 0, 16)
              .arg(address, 0, 16)
              .arg(kReachableFlash, 0, 16));
    return false;
}

int readToFile(nt25q256& flash, const QString& fileName, const FlashRange& range)
{
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        plain(QStringLiteral("Can't create file %1!").arg(fileName));
        return -1;
    }
    const QByteArray data = flash.read(range.address, range.length);
    if (file.write(data) != data.size() || !file.flush()) {
        plain(QStringLiteral("Can't write file %1!").arg(fileName));
        return -1;
    }
    file.close();
    return 0;
}

std::optional<QByteArray> readWholeFile(const QString& fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        plain(QStringLiteral("Can't open file %1!").arg(fileName));
        return std::nullopt;
    }
    return file.readAll();
}

// At most the file's size is written.
quint32 bytesToWrite(const QByteArray& contents, const FlashRange& range)
{
    return std::min<quint32>(range.length, static_cast<quint32>(contents.size()));
}

int writeToFlash(nt25q256& flash, const QByteArray& contents, const FlashRange& range)
{
    const quint32 n = bytesToWrite(contents, range);
    const quint32 address = range.address;
    flash.erase4K(address);
    for (quint32 s = address / kSubsector; s < (address + n) / kSubsector; ++s)
        flash.erase4K(s * kSubsector);
    if ((address + n) % kSubsector != 0)
        flash.erase4K(address + n);
    flash.write(address, contents.left(static_cast<int>(n)));
    return 0;
}
}  // namespace

Lumo3Command selectLumo3Command(const QStringList& args)
{
    using Key = Lumo3Command::Key;
    const std::pair<const char*, Key> fileKeys[] = {
        {"-wgold", Key::WriteGolden}, {"-wupdate", Key::WriteUpdate}, {"-r", Key::ReadFlash}, {"-w", Key::WriteFlash}};
    Lumo3Command command;
    for (const auto& [key, operation] : fileKeys) {
        const int at = args.indexOf(key);
        if (at < 0)
            continue;
        if (at + 1 >= args.size()) {
            command.errors << QStringLiteral("Incorrect value after %1!").arg(key);
            command.key = Key::Invalid;
            return command;
        }
        command.fileName = args.at(at + 1);
        command.key = operation;
        if (operation == Key::ReadFlash || operation == Key::WriteFlash) {
            const std::optional<FlashRange> range = parseRange(args, command.errors);
            if (!range) {
                command.key = Key::Invalid;
                return command;
            }
            command.address = range->address;
            command.length = range->length;
        }
        return command;
    }
    if (args.contains("-boot"))
        command.key = Key::Boot;
    else if (args.contains("-wifany"))
        command.key = Key::AutoUpdate;
    return command;
}

int runLumo3(const QStringList& args, std::shared_ptr<BasePinWorker> worker)
{
    const Lumo3Command command = selectLumo3Command(args);
    const FlashRange range{command.address, command.length};
    QByteArray contents;
    if (command.key == Lumo3Command::Key::ReadFlash && !withinFlash(range.address, range.length))
        return -1;
    if (command.key == Lumo3Command::Key::WriteFlash) {
        std::optional<QByteArray> file = readWholeFile(command.fileName);
        if (!file || !withinFlash(range.address, bytesToWrite(*file, range)))
            return -1;
        contents = std::move(*file);
    }

    nt25q256 flash(worker);
    const bool flashPresent = nt25q256::isN25Q256(flash.readID());
    if (!flashPresent)
        qDebug() << "Memory not found! ID = " << flash.readID().toHex();
    xapp1081 writer(&flash);

    for (const QString& error : command.errors)
        plain(error);
    switch (command.key) {
    case Lumo3Command::Key::WriteGolden:
        return writer.saveGoldenImage(command.fileName) ? 0 : 1;
    case Lumo3Command::Key::WriteUpdate:
        return writer.saveUpdateImage(command.fileName) ? 0 : 1;
    case Lumo3Command::Key::ReadFlash:
        return readToFile(flash, command.fileName, range);
    case Lumo3Command::Key::WriteFlash:
        return writeToFlash(flash, contents, range);
    case Lumo3Command::Key::Boot:
        flash.bootArtix();
        return 0;
    case Lumo3Command::Key::AutoUpdate:
        return AutoUpdateRun(flash, writer, flashPresent).run();
    case Lumo3Command::Key::Invalid:
        return -1;
    case Lumo3Command::Key::Usage:
        break;
    }
    return usage();
}
