// lumo3-board run DIR [--trace FILE] -- ARGS...

#include "BoardDirectory.h"
#include "BusTrace.h"
#include "PowerCutWatch.h"
#include "EmulatedWorker.h"
#include "app/lumo3update_main.h"
#include "board_tool.h"

#include <QByteArray>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace board_tool {

namespace {
// What has to be saved however the run ends.
struct RunningBoard {
    sim::BoardDirectory* board = nullptr;
    std::FILE* traceFile = nullptr;
    sim::BusTrace* trace = nullptr;
};
RunningBoard g_running;

void closeTrace()
{
    if (g_running.trace)
        g_running.trace->flush();
    if (g_running.traceFile)
        std::fclose(g_running.traceFile);
    g_running.trace = nullptr;
    g_running.traceFile = nullptr;
}

void saveBoard(sim::BoardDirectory& board)
{
    QString error;
    if (!board.save(error))
        std::fprintf(stderr, "lumo3-board: %s\n", qUtf8Printable(error));
}

// The updater may end the process itself (its command-line parser exits);
// the board is saved on that path too.
void endRun()
{
    if (!g_running.board)
        return;
    sim::BoardDirectory& board = *g_running.board;
    g_running.board = nullptr;
    board.endRun();
    saveBoard(board);
    closeTrace();
}

// Losing power stops the process on the spot: no destructor, no exit
// handler, no output still buffered. The chips keep what they hold.
[[noreturn]] void cutPower()
{
    sim::BoardDirectory& board = *g_running.board;
    g_running.board = nullptr;
    board.endRunByPowerCut();
    saveBoard(board);
    closeTrace();
    std::fprintf(stderr, "lumo3-board: power cut after %llu bytes on the bus\n",
                 static_cast<unsigned long long>(board.board().wiring().bytesOnBus()));
    ::_exit(kPowerCut);
}
}  // namespace

int run(const QStringList& args)
{
    const int separator = args.indexOf("--");
    if (separator < 1)
        return usageError("run needs DIR [--trace FILE] -- ARGS...");
    QString tracePath;
    const QStringList options = args.mid(1, separator - 1);
    if (options.size() == 2 && options.at(0) == QLatin1String("--trace"))
        tracePath = options.at(1);
    else if (!options.isEmpty())
        return usageError(QStringLiteral("run: unknown options %1").arg(options.join(' ')));

    QString error;
    std::unique_ptr<sim::BoardDirectory> board = sim::BoardDirectory::open(args.at(0), error);
    if (!board)
        return fail(error);
    sim::VirtualBoard& virtualBoard = board->board();

    std::unique_ptr<sim::BusTrace> trace;
    if (!tracePath.isEmpty()) {
        g_running.traceFile = std::fopen(QFile::encodeName(tracePath).constData(), "w");
        if (!g_running.traceFile)
            return fail(QStringLiteral("cannot write the trace to %1").arg(tracePath));
        trace = std::make_unique<sim::BusTrace>(virtualBoard.wiring(), g_running.traceFile,
                                                [&virtualBoard](unsigned pin) { return virtualBoard.lineName(pin); });
        g_running.trace = trace.get();
    }
    std::unique_ptr<sim::PowerCutWatch> powerCut;
    if (const auto after = virtualBoard.faults().powerCutAfterBytes)
        powerCut = std::make_unique<sim::PowerCutWatch>(virtualBoard.wiring(), *after, cutPower);

    std::vector<QByteArray> storage{QByteArray("lumo3update")};
    for (int i = separator + 1; i < args.size(); ++i)
        storage.push_back(args.at(i).toLocal8Bit());
    std::vector<char*> updaterArgv;
    for (QByteArray& arg : storage)
        updaterArgv.push_back(arg.data());
    updaterArgv.push_back(nullptr);
    int updaterArgc = static_cast<int>(storage.size());

    board->beginRun();
    g_running.board = board.get();
    std::atexit(endRun);
    const int code = lumo3updateMain(updaterArgc, updaterArgv.data(), [&virtualBoard] {
        return sim::makeEmulatedWorker(virtualBoard.wiring());
    });
    endRun();
    return code;
}

}  // namespace board_tool
