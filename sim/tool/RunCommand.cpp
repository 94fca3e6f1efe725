// lumo3-board run DIR [--trace FILE] [--worker-level] -- ARGS...

#include "BoardDirectory.h"
#include "BoardFiles.h"
#include "BoardLock.h"
#include "BusTrace.h"
#include "PowerCutWatch.h"
#include "EmulatedWorker.h"
#include "bcm2835.h"
#include "board_settings.h"
#include "SimPinWorker.h"
#include "lumo3update_main.h"
#include "run_lock.h"
#include "ToolCommands.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <unistd.h>
#include <vector>

namespace board_tool {

namespace {
// What has to be saved however the run ends.
struct RunningBoard {
    sim::BoardDirectory* board = nullptr;
    std::FILE* traceFile = nullptr;
    QString tracePath;
    sim::BusTrace* trace = nullptr;
};
RunningBoard g_running;

// The number of the signal (SIGTERM, SIGQUIT...) that asked the tool to end,
// 0 while none has. The handler only notes it: saving the board takes
// Qt and the heap, which a signal handler must not touch, and the board's
// state is whole only between two frames on the bus. The run acts on it when
// the next frame ends (see SignalWatch) or when the updater returns, which
// it does on its own when nothing goes on the bus any more.
std::atomic<int> g_endSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only store a lock-free atomic");

// A second signal ends the tool at once, as the kernel would have: a run
// that no frame and no return will ever end (a call that blocks for good)
// must still give way.
void noteEndSignal(int signal)
{
    if (g_endSignal.exchange(signal) != 0) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}

// Caught unless the tool was started with it ignored (nohup, a shell's
// trap ""), which the updater on the board would inherit just the same.
void catchEndSignal(int signal)
{
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
        return;
    struct sigaction action {};
    action.sa_handler = noteEndSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

// The updater runs in this process, and restarting what a signal interrupts
// keeps its reads, writes and waits as they would be without the signal.
// The updater may then set SIGHUP aside itself, as it does on the board.
// Every signal the kernel ends a process for by default is caught, but those
// no process can catch and the faults a thread raises on itself.
void catchEndSignals()
{
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGSTKFLT, SIGXCPU, SIGXFSZ,
                       SIGVTALRM, SIGPROF, SIGIO, SIGPWR})
        catchEndSignal(signal);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        catchEndSignal(signal);
}

// Ends the process the way the signal would have.
[[noreturn]] void endBySignal(int signal)
{
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    ::_exit(128 + signal);
}

// False, with a message, when the trace could not be written whole.
bool closeTrace()
{
    if (g_running.trace)
        g_running.trace->flush();
    bool written = true;
    if (g_running.traceFile) {
        errno = 0;
        written = std::fflush(g_running.traceFile) == 0 && !std::ferror(g_running.traceFile);
        int error = errno;
        if (std::fclose(g_running.traceFile) != 0) {
            written = false;
            error = error ? error : errno;
        }
        if (!written)
            std::fprintf(stderr, "lumo3-board: the trace %s is incomplete: %s\n",
                         qUtf8Printable(g_running.tracePath), error ? std::strerror(error) : "a write failed");
    }
    g_running.trace = nullptr;
    g_running.traceFile = nullptr;
    return written;
}

bool saveBoard(sim::BoardDirectory& board)
{
    QString error;
    if (board.save(error))
        return true;
    std::fprintf(stderr, "lumo3-board: %s\n", qUtf8Printable(error));
    return false;
}

// The run is over: the board finishes what it does with the power on and is
// saved. False when the board or the trace could not be written.
bool endRun()
{
    if (!g_running.board)
        return true;
    sim::BoardDirectory& board = *g_running.board;
    g_running.board = nullptr;
    board.endRun();
    const bool saved = saveBoard(board);
    return closeTrace() && saved;
}

// The updater may end the process itself (its command-line parser exits);
// the board is saved on that path too, and a signal noted meanwhile has the
// last word.
void endRunAtExit()
{
    endRun();
    if (const int signal = g_endSignal.load())
        endBySignal(signal);
}

// Ends the run at the end of the first frame after a signal, as the process
// would stop on the board: the chips keep what they hold and, the power
// staying on, finish an erase or program under way.
class SignalWatch : public sim::WireObserver {
public:
    explicit SignalWatch(sim::BoardWiring& wiring) : wiring_(wiring) { wiring_.addObserver(*this); }
    ~SignalWatch() override { wiring_.removeObserver(*this); }
    bool watchesBytes() const override { return false; }

    void deselected(sim::SpiDevice&) override
    {
        if (const int signal = g_endSignal.load()) {
            endRun();
            endBySignal(signal);
        }
    }

private:
    sim::BoardWiring& wiring_;
};

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
        return usageError("run needs DIR [--trace FILE] [--worker-level] -- ARGS...");
    std::optional<QString> tracePath;
    bool workerLevel = false;
    QStringList options = args.mid(1, separator - 1);
    if (options.removeAll(QStringLiteral("--worker-level")) == 1)
        workerLevel = true;
    if (options.size() == 2 && options.at(0) == QLatin1String("--trace"))
        tracePath = options.at(1);
    else if (!options.isEmpty())
        return usageError(QStringLiteral("run: unknown options %1").arg(options.join(' ')));
    if (tracePath && tracePath->isEmpty())
        return fail("run: --trace needs a file name");
    const QStringList updaterArgs = args.mid(separator + 1);

    QString error;
    if (!lockBoard(args.at(0), error))
        return fail(error);
    std::unique_ptr<sim::BoardDirectory> board = sim::BoardDirectory::open(args.at(0), error);
    if (!board)
        return fail(error);
    sim::VirtualBoard& virtualBoard = board->board();
    // One board, one lock: runs on different boards never wait on each other.
    const QByteArray lockPath = QFile::encodeName(QDir(board->path()).filePath(QStringLiteral("lumo3update.lock")));
    lumo3update_lock_path = lockPath.constData();
    // The board's settings, as the operator states them for this board.
    const QByteArray settingsPath =
        QFile::encodeName(QDir(board->path()).filePath(QStringLiteral("lumo3update.conf")));
    lumo3update_config_path = settingsPath.constData();
    // The virtual Pi's kernel is not the host's: its files are looked for in
    // the board's directory, where none lie, so that a rehearsal on a Pi
    // whose own kernel holds SPI0 is not refused for it.
    const QByteArray kernelFiles = QFile::encodeName(QDir(board->path()).filePath(QStringLiteral("kernel")));
    const QByteArray ranges = kernelFiles + "/soc-ranges";
    const QByteArray gpio = kernelFiles + "/gpio";
    const QByteArray platform = kernelFiles + "/platform";
    bcm2835_soc_ranges_file = ranges.constData();
    bcm2835_sysfs_gpio_dir = gpio.constData();
    bcm2835_sysfs_platform_dir = platform.constData();
    const std::optional<std::uint64_t> spiStall = virtualBoard.faults().spiStallAfterBytes;
    if (spiStall && workerLevel)
        return fail("run: the spi0-stalls fault is the SoC's, which a --worker-level run leaves out");

    // The chip images are mapped: a file written over one of them takes the
    // memory from under the run, and the board is left damaged.
    for (const QString& path : tracePath ? QStringList{*tracePath} + updaterArgs : updaterArgs) {
        const QString own = boardFileAt(*board, path);
        if (!own.isEmpty())
            return fail(QStringLiteral("run: %1 is the board's own %2, which the run must leave alone")
                            .arg(path, QFileInfo(own).fileName()));
    }

    std::unique_ptr<sim::BusTrace> trace;
    if (tracePath) {
        g_running.tracePath = *tracePath;
        g_running.traceFile = std::fopen(QFile::encodeName(*tracePath).constData(), "w");
        if (g_running.traceFile)
            trace = std::make_unique<sim::BusTrace>(virtualBoard.wiring(), g_running.traceFile,
                                                    [&virtualBoard](unsigned pin) { return virtualBoard.lineName(pin); });
        // The heading goes out at once: a file that takes nothing is found
        // out before the run.
        if (!g_running.traceFile || std::fflush(g_running.traceFile) != 0) {
            const QString why = QString::fromLocal8Bit(std::strerror(errno));
            trace.reset();
            if (g_running.traceFile)
                std::fclose(g_running.traceFile);
            g_running.traceFile = nullptr;
            return fail(QStringLiteral("cannot write the trace to %1: %2").arg(*tracePath, why));
        }
        g_running.trace = trace.get();
    }
    std::unique_ptr<sim::PowerCutWatch> powerCut;
    if (const auto after = virtualBoard.faults().powerCutAfterBytes)
        powerCut = std::make_unique<sim::PowerCutWatch>(virtualBoard.wiring(), *after, cutPower);
    // After the trace, which so sees the frame that the signal ends the run at.
    const SignalWatch signalWatch(virtualBoard.wiring());

    std::vector<QByteArray> storage{QByteArray("lumo3update")};
    for (const QString& arg : updaterArgs)
        storage.push_back(arg.toLocal8Bit());
    std::vector<char*> updaterArgv;
    for (QByteArray& arg : storage)
        updaterArgv.push_back(arg.data());
    updaterArgv.push_back(nullptr);
    int updaterArgc = static_cast<int>(storage.size());

    board->beginRun();
    g_running.board = board.get();
    std::atexit(endRunAtExit);
    catchEndSignals();
    const int code = lumo3updateMain(updaterArgc, updaterArgv.data(), [&virtualBoard, workerLevel, spiStall] {
        return workerLevel ? std::shared_ptr<BasePinWorker>(std::make_shared<sim::SimPinWorker>(virtualBoard.wiring()))
                           : sim::makeEmulatedWorker(virtualBoard.wiring(), spiStall);
    });
    const bool written = endRun();
    if (const int signal = g_endSignal.load())
        endBySignal(signal);
    return written ? code : kToolError;
}

}  // namespace board_tool
