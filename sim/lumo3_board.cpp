// lumo3-board: makes, runs and inspects virtual boards kept in directories.

#include "BoardDirectory.h"
#include "SampleBitstream.h"
#include "SimPinWorker.h"
#include "app/lumo3update_main.h"

#include <QFile>
#include <QJsonDocument>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: lumo3-board <command> [arguments]\n"
    "\n"
    "A virtual Lumo3 or Mini Lumo board kept in a directory, on which the\n"
    "updater runs unchanged.\n"
    "\n"
    "Commands:\n"
    "  create DIR --kind lumo3|minilumo  make a new board with erased chips\n"
    "  run DIR -- ARGS...                run the updater with ARGS in the current\n"
    "                                    directory on the board; its output and\n"
    "                                    exit status are the updater's own\n"
    "  status DIR [--json]               what the board holds and runs\n"
    "  make-bitstream FILE [--bytes N] [--seed S]\n"
    "                                    write a sample Xilinx .bit file with N\n"
    "                                    bytes of configuration data\n"
    "  --help                            this text\n"
    "\n"
    "Exit status: the updater's own for 'run'; otherwise 0, or 2 on an error.\n";

constexpr int kToolError = 2;

int fail(const QString& message)
{
    std::fprintf(stderr, "lumo3-board: %s\n", qUtf8Printable(message));
    return kToolError;
}

int usageError(const QString& message)
{
    std::fprintf(stderr, "lumo3-board: %s\n\n%s", qUtf8Printable(message), kUsage);
    return kToolError;
}

sim::BoardDirectory* g_running = nullptr;

// The updater may end the process itself (its command-line parser exits);
// the board is saved on that path too.
void saveRunningBoard()
{
    if (!g_running)
        return;
    sim::BoardDirectory* board = g_running;
    g_running = nullptr;
    board->endRun();
    QString error;
    if (!board->save(error))
        std::fprintf(stderr, "lumo3-board: %s\n", qUtf8Printable(error));
}

int create(const QStringList& args)
{
    if (args.size() != 3 || args.at(1) != QLatin1String("--kind"))
        return usageError("create needs DIR --kind KIND");
    QString error;
    if (!sim::BoardDirectory::create(args.at(0), args.at(2), error))
        return fail(error);
    return 0;
}

int run(const QStringList& args)
{
    const int separator = args.indexOf("--");
    if (separator != 1)
        return usageError("run needs DIR -- ARGS...");
    QString error;
    std::unique_ptr<sim::BoardDirectory> board = sim::BoardDirectory::open(args.at(0), error);
    if (!board)
        return fail(error);

    std::vector<QByteArray> storage{QByteArray("lumo3update")};
    for (int i = separator + 1; i < args.size(); ++i)
        storage.push_back(args.at(i).toLocal8Bit());
    std::vector<char*> updaterArgv;
    for (QByteArray& arg : storage)
        updaterArgv.push_back(arg.data());
    updaterArgv.push_back(nullptr);
    int updaterArgc = static_cast<int>(storage.size());

    board->beginRun();
    g_running = board.get();
    std::atexit(saveRunningBoard);
    sim::VirtualBoard& virtualBoard = board->board();
    const int code = lumo3updateMain(updaterArgc, updaterArgv.data(), [&virtualBoard] {
        return std::make_shared<sim::SimPinWorker>(virtualBoard.wiring());
    });
    saveRunningBoard();
    return code;
}

int status(const QStringList& args)
{
    const bool json = args.size() == 2 && args.at(1) == QLatin1String("--json");
    if (args.size() != 1 && !json)
        return usageError("status needs DIR [--json]");
    QString error;
    std::unique_ptr<sim::BoardDirectory> board = sim::BoardDirectory::open(args.at(0), error);
    if (!board)
        return fail(error);
    const QJsonObject status = board->status();
    if (json) {
        std::fputs(QJsonDocument(status).toJson(QJsonDocument::Indented).constData(), stdout);
        return 0;
    }
    std::printf("Board %s (%s)\n", qUtf8Printable(args.at(0)), qUtf8Printable(status.value("kind").toString()));
    for (const QString& line : board->board().describe())
        std::printf("  %s\n", qUtf8Printable(line));
    const QJsonObject last = status.value("last_run").toObject();
    if (!last.isEmpty()) {
        auto seconds = [&last](const char* key) { return last.value(key).toDouble() / 1e9; };
        std::printf("  Last run on the real board: %.3f s (bus %.3f s, waiting on busy chips %.3f s, "
                    "fixed waits %.3f s)\n",
                    seconds("total_ns"), seconds("transfer_ns"), seconds("busy_ns"), seconds("wait_ns"));
    }
    return 0;
}

int makeBitstream(QStringList args)
{
    if (args.isEmpty())
        return usageError("make-bitstream needs FILE");
    const QString path = args.takeFirst();
    sim::SampleBitstream sample;
    while (args.size() >= 2) {
        const QString option = args.takeFirst();
        bool ok = false;
        const uint value = args.takeFirst().toUInt(&ok, 0);
        if (!ok)
            return usageError(QStringLiteral("%1 needs a number").arg(option));
        if (option == QLatin1String("--bytes") && value <= 0x1000000)
            sample.dataBytes = static_cast<int>(value);
        else if (option == QLatin1String("--seed"))
            sample.seed = value;
        else
            return usageError(QStringLiteral("bad option %1").arg(option));
    }
    if (!args.isEmpty())
        return usageError(QStringLiteral("%1 needs a value").arg(args.first()));
    QFile file(path);
    const QByteArray contents = sample.file();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size())
        return fail(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (args.isEmpty())
        return usageError("no command given");
    const QString command = args.takeFirst();
    if (command == QLatin1String("--help") || command == QLatin1String("-h") || command == QLatin1String("help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == QLatin1String("create"))
        return create(args);
    if (command == QLatin1String("run"))
        return run(args);
    if (command == QLatin1String("status"))
        return status(args);
    if (command == QLatin1String("make-bitstream"))
        return makeBitstream(args);
    return usageError(QStringLiteral("unknown command '%1'").arg(command));
}
