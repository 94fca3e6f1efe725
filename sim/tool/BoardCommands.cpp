// lumo3-board create / status / fault / power-cycle

#include "AX8052.h"
#include "BoardDirectory.h"
#include "BoardLock.h"
#include "ToolCommands.h"
#include "Number.h"
#include "PartNumber.h"

#include <QFileInfo>
#include <QJsonDocument>

#include <cstdio>
#include <optional>

namespace board_tool {

namespace {
std::unique_ptr<sim::BoardDirectory> openBoard(
    const QString& dir, int& status,
    sim::BoardDirectory::DamagedFaults damaged = sim::BoardDirectory::DamagedFaults::Refuse)
{
    QString error;
    if (!lockBoard(dir, error)) {
        status = fail(error);
        return nullptr;
    }
    std::unique_ptr<sim::BoardDirectory> board = sim::BoardDirectory::open(dir, error, damaged);
    if (!board)
        status = fail(error);
    return board;
}

int save(sim::BoardDirectory& board)
{
    QString error;
    return board.save(error) ? 0 : fail(error);
}

QJsonObject fullStatus(sim::BoardDirectory& board)
{
    QJsonObject status = board.status();
    if (board.board().kind() == QLatin1String("lumo3"))
        status.insert("radio", sim::AX8052::status(board.path()));
    return status;
}
}  // namespace

int create(const QStringList& args)
{
    const bool withPart = args.size() == 5 && args.at(3) == QLatin1String("--idcode");
    if ((args.size() != 3 && !withPart) || args.at(1) != QLatin1String("--kind"))
        return usageError("create needs DIR --kind KIND [--idcode ID]");
    std::optional<std::uint32_t> part;
    if (withPart) {
        const std::optional<quint64> read = sim::readNumber(args.at(4));
        if (!read || *read > 0xFFFFFFFFu)
            return usageError(QStringLiteral("--idcode needs a 32-bit number, not '%1'").arg(args.at(4)));
        if (!names7SeriesPart(*read))
            return usageError(notAPart(args.at(4), *read));
        part = static_cast<std::uint32_t>(*read);
    }
    // A mistyped parent would otherwise be made without a word.
    const QFileInfo parent(QFileInfo(args.at(0)).absolutePath());
    if (!parent.isDir())
        return fail(QStringLiteral("cannot create %1: %2 is no directory").arg(args.at(0), parent.filePath()));
    QString error;
    if (!lockBoard(args.at(0), error) || !sim::BoardDirectory::create(args.at(0), args.at(2), error, part))
        return fail(error);
    return 0;
}

int status(const QStringList& args)
{
    const bool json = args.size() == 2 && args.at(1) == QLatin1String("--json");
    if (args.size() != 1 && !json)
        return usageError("status needs DIR [--json]");
    int result = 0;
    std::unique_ptr<sim::BoardDirectory> board =
        openBoard(args.at(0), result, sim::BoardDirectory::DamagedFaults::SetAside);
    if (!board)
        return result;
    const QJsonObject status = fullStatus(*board);
    if (json) {
        std::fputs(QJsonDocument(status).toJson(QJsonDocument::Indented).constData(), stdout);
        return 0;
    }
    std::printf("Board %s (%s)\n", qUtf8Printable(args.at(0)), qUtf8Printable(status.value("kind").toString()));
    for (const QString& line : board->board().describe())
        std::printf("  %s\n", qUtf8Printable(line));
    if (status.contains("radio")) {
        const QJsonObject radio = status.value("radio").toObject();
        const int bytes = radio.value("firmware_bytes").toInt();
        if (bytes == 0)
            std::printf("  Radio AX8052: no firmware loaded\n");
        else
            std::printf("  Radio AX8052: %d bytes of firmware, sha256 %s\n", bytes,
                        qUtf8Printable(radio.value("sha256").toString()));
    }
    const QStringList faults = board->board().faults().describe();
    if (!board->faultsDamage().isEmpty())
        std::printf("  Faults: %s; 'lumo3-board fault %s --clear' clears them\n",
                    qUtf8Printable(board->faultsDamage()), qUtf8Printable(args.at(0)));
    else
        std::printf("  Faults: %s\n", faults.isEmpty() ? "none" : qUtf8Printable(faults.join("; ")));
    const QJsonObject last = status.value("last_run").toObject();
    if (!last.isEmpty()) {
        auto seconds = [&last](const char* key) { return last.value(key).toDouble() / 1e9; };
        std::printf("  Last run on the real board: %.3f s (bus transfers %.3f s, polling busy chips %.3f s, "
                    "fixed waits %.3f s)\n",
                    seconds("total_ns"), seconds("transfer_ns"), seconds("busy_ns"), seconds("wait_ns"));
    }
    const QStringList violations = board->violations().describe();
    std::printf("  Rules broken in the last run: %s\n", qUtf8Printable(violations.first()));
    for (const QString& line : violations.mid(1))
        std::printf("    %s\n", qUtf8Printable(line));
    return 0;
}

int fault(const QStringList& args)
{
    if (args.size() < 2)
        return usageError("fault needs DIR and a fault, or DIR --clear");
    const bool clear = args.at(1) == QLatin1String("--clear");
    if (clear && args.size() != 2)
        return usageError("fault DIR --clear takes nothing more");
    int result = 0;
    // Clearing mends a board whose faults are unreadable.
    std::unique_ptr<sim::BoardDirectory> board =
        openBoard(args.at(0), result,
                  clear ? sim::BoardDirectory::DamagedFaults::SetAside : sim::BoardDirectory::DamagedFaults::Refuse);
    if (!board)
        return result;
    if (clear) {
        board->clearFaults();
        return save(*board);
    }
    QString error;
    if (!board->board().faults().add(args.mid(1), board->board().kind(), board->flashBytes(), error))
        return fail(QStringLiteral("%1\n\n%2").arg(error, QString::fromLatin1(sim::BoardFaults::help())));
    return save(*board);
}

int powerCycle(const QStringList& args)
{
    if (args.size() != 1)
        return usageError("power-cycle needs DIR");
    int result = 0;
    std::unique_ptr<sim::BoardDirectory> board = openBoard(args.at(0), result);
    if (!board)
        return result;
    board->board().powerCycle();
    return save(*board);
}

}  // namespace board_tool
