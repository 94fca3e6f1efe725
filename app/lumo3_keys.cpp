#include "lumo3_keys.h"

#include "auto_update_run.h"
#include "board_settings.h"
#include "nt25q256.h"
#include "xapp1081.h"
#include "flash_range_args.h"
#include "ignored_arguments.h"
#include "raw_flash_access.h"

#include <QDebug>

#include <optional>
#include <utility>

namespace {
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

std::optional<qint64> requiredNumber(const QStringList& args, const char* key, QStringList& errors)
{
    bool found = false;
    const std::optional<qint64> value = flashNumberAfter(args, key, found);
    if (!found)
        errors << QStringLiteral("Key %1 not found ").arg(key);
    else if (!value)
        errors << QStringLiteral("Incorrect value after %1!").arg(key);
    return value;
}

// How a run ends whose SPI0 stopped (the worker lost the hardware): as a
// failure of its key, but for the unattended run, whose exit is 0 whatever
// happened.
int hardwareLostExit(const Lumo3Command& command)
{
    switch (command.key) {
    case Lumo3Command::Key::AutoUpdate:
        return 0;
    case Lumo3Command::Key::WriteGolden:
    case Lumo3Command::Key::WriteUpdate:
        return 1;
    case Lumo3Command::Key::Usage:
        return usage();
    default:
        for (const QString& error : command.errors)
            plain(error);
        return -1;
    }
}

std::optional<FlashRange> parseRange(const QStringList& args, QStringList& errors)
{
    const std::optional<qint64> address = requiredNumber(args, "-add", errors);
    if (!address)
        return std::nullopt;
    const std::optional<qint64> length = requiredNumber(args, "-len", errors);
    if (!length)
        return std::nullopt;
    return FlashRange{*address, *length};
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

namespace {
int carryOut(const Lumo3Command& command, nt25q256& flash, xapp1081& writer, bool flashPresent,
             const QByteArray& rawData)
{
    // Without a flash that identifies itself an erase reaches nothing, and
    // whatever the writer then reported would be about a chip that is not there.
    if (!flashPresent && (command.key == Lumo3Command::Key::WriteGolden ||
                          command.key == Lumo3Command::Key::WriteUpdate)) {
        plain("No flash: nothing written");
        return 1;
    }
    const FlashRange range{command.address, command.length};
    switch (command.key) {
    case Lumo3Command::Key::WriteGolden:
        return writer.saveGoldenImage(command.fileName) ? 0 : 1;
    case Lumo3Command::Key::WriteUpdate:
        return writer.saveUpdateImage(command.fileName) ? 0 : 1;
    case Lumo3Command::Key::ReadFlash:
        return readFlashToFile(flash, flashPresent, command.fileName, range);
    case Lumo3Command::Key::WriteFlash:
        return writeFlashFromFile(flash, flashPresent, static_cast<quint32>(range.address), rawData);
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
}  // namespace

int runLumo3(const QStringList& args, std::shared_ptr<BasePinWorker> worker)
{
    const Lumo3Command command = selectLumo3Command(args);
    for (const QString& line : ignoredArgumentLines(args, command))
        plain(line);
    const FlashRange range{command.address, command.length};
    QByteArray rawData;
    if (command.key == Lumo3Command::Key::ReadFlash && !withinReachableFlash(range))
        return -1;
    if (command.key == Lumo3Command::Key::WriteFlash) {
        std::optional<QByteArray> data = loadRawWrite(command.fileName, range);
        if (!data)
            return -1;
        rawData = std::move(*data);
    }

    nt25q256 flash(worker);
    // Nothing the flash seemed to answer came from it.
    if (flash.hardwareLost())
        return hardwareLostExit(command);
    const bool flashPresent = nt25q256::isN25Q256(flash.readID());
    if (!flashPresent)
        qDebug() << "Memory not found! ID = " << flash.readID().toHex();
    xapp1081 writer(&flash);
    writer.setBoardPart(readBoardPartSetting());

    for (const QString& error : command.errors)
        plain(error);
    const int code = carryOut(command, flash, writer, flashPresent, rawData);
    // A step that went on after SPI0 stopped saw only what a worker without
    // hardware gives, which may look like success.
    return code == 0 && flash.hardwareLost() ? hardwareLostExit(command) : code;
}
