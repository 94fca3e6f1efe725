// lumo3-board run DIR [--trace FILE] [--worker-level] -- ARGS...

#include "BoardDirectory.h"
#include "BoardEntry.h"
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
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <pthread.h>
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

// How a signal ends a run. The updater runs in this process, and the tool
// catches every signal whose default action would end it, so that it can
// save the board on the way; the updater holds those signals during its
// flash changes as it does on the board. The handler therefore runs at the
// moment the real process would end: at once, or where the updater's hold
// ends. From then on the run does nothing more: no frame, no line change,
// no file deleted, no line printed.
//
// Saving the board takes Qt and the heap, which the interrupted code may be
// in the middle of. So the handler hands the saving to a thread of its own,
// which blocks every signal, and waits for it, bounded, before the process
// ends by the signal. Inside a call into the board, whose state is whole
// only between calls, the run ends as that call returns, on the updater's
// own thread (see sim::BoardEntry).
std::atomic<int> g_endSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only store a lock-free atomic");
int g_saveAsked[2] = {-1, -1};
int g_saved[2] = {-1, -1};
// Far above what saving a board takes: a save stuck behind what the
// interrupted code held must not keep the tool from ending.
constexpr int kSaveBoundMs = 60000;

void writeError(const QByteArray& message)
{
    const QByteArray line = "lumo3-board: " + message + '\n';
    for (qsizetype done = 0; done < line.size();) {
        const ssize_t n = ::write(STDERR_FILENO, line.constData() + done, static_cast<size_t>(line.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += n;
    }
}

sigset_t endSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGSTKFLT, SIGXCPU, SIGXFSZ,
                       SIGVTALRM, SIGPROF, SIGIO, SIGPWR})
        sigaddset(&set, signal);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        sigaddset(&set, signal);
    return set;
}

// The tool's own ending (a run that returned, the updater's exit) is not
// interrupted: a signal that comes meanwhile ends the tool once it is done.
void holdEndSignals()
{
    const sigset_t set = endSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// Ends the process the way the signal would have.
[[noreturn]] void endBySignal(int signal)
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    ::raise(signal);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::_exit(128 + signal);
}

bool endRun();

[[noreturn]] void endRunBySignal()
{
    holdEndSignals();
    endRun();
    endBySignal(g_endSignal.load());
}

void noteEndSignal(int signal)
{
    const int savedErrno = errno;
    g_endSignal.store(signal);
    if (sim::BoardEntry::inside()) {
        sim::BoardEntry::endOnLeave(endRunBySignal);
        errno = savedErrno;
        return;
    }
    const char ask = 1;
    if (::write(g_saveAsked[1], &ask, 1) == 1) {
        pollfd saved{g_saved[0], POLLIN, 0};
        while (::poll(&saved, 1, kSaveBoundMs) < 0 && errno == EINTR) {
        }
        if (!(saved.revents & POLLIN)) {
            static const char late[] = "lumo3-board: the board could not be saved in time; it stays as saved before\n";
            [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, late, sizeof late - 1);
        }
    }
    endBySignal(signal);
}

void* saveWhenAsked(void*)
{
    char ask = 0;
    while (::read(g_saveAsked[0], &ask, 1) < 0 && errno == EINTR) {
    }
    endRun();
    const char done = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_saved[1], &done, 1);
    return nullptr;
}

// Caught unless the tool was started with it ignored (nohup, a shell's
// trap ""), which the updater on the board would inherit just the same.
// Restarting what a signal interrupts keeps the updater's reads, writes and
// waits as they would be without the signal; the updater may then set
// SIGHUP aside itself, as it does on the board. The handler runs with every
// other end signal held, so one ending is under way at a time.
void catchEndSignal(int signal)
{
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
        return;
    struct sigaction action {};
    action.sa_handler = noteEndSignal;
    action.sa_flags = SA_RESTART;
    action.sa_mask = endSignals();
    sigaction(signal, &action, nullptr);
}

// Every signal the kernel ends a process for by default is caught, but those
// no process can catch and the faults a thread raises on itself.
bool catchEndSignals(QString& error)
{
    if (::pipe2(g_saveAsked, O_CLOEXEC) != 0 || ::pipe2(g_saved, O_CLOEXEC) != 0) {
        error = QStringLiteral("run: cannot prepare for signals: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t saver{};
    const int started = pthread_create(&saver, nullptr, saveWhenAsked, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (started != 0) {
        error = QStringLiteral("run: cannot prepare for signals: %1").arg(QString::fromLocal8Bit(std::strerror(started)));
        return false;
    }
    pthread_detach(saver);
    sigset_t ends = endSignals();
    for (int signal = 1; signal < NSIG; ++signal)
        if (sigismember(&ends, signal) == 1)
            catchEndSignal(signal);
    return true;
}

// False, with a message, when the trace could not be written whole.
bool closeTrace()
{
    if (g_running.trace)
        g_running.trace->finish();
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
            writeError("the trace " + g_running.tracePath.toUtf8() + " is incomplete: " +
                       (error ? std::strerror(error) : "a write failed"));
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
    writeError(error.toUtf8());
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
// the board is saved on that path too.
void endRunAtExit()
{
    holdEndSignals();
    endRun();
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
    const QByteArray compatible = kernelFiles + "/compatible";
    bcm2835_soc_ranges_file = ranges.constData();
    bcm2835_compatible_file = compatible.constData();
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

    if (!catchEndSignals(error))
        return fail(error);
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
    const int code = lumo3updateMain(updaterArgc, updaterArgv.data(), [&virtualBoard, workerLevel, spiStall] {
        return workerLevel ? std::shared_ptr<BasePinWorker>(std::make_shared<sim::SimPinWorker>(virtualBoard.wiring()))
                           : sim::makeEmulatedWorker(virtualBoard.wiring(), spiStall);
    });
    holdEndSignals();
    const bool written = endRun();
    // One that came meanwhile ends the tool now, as it would have ended
    // the updater.
    const sigset_t ends = endSignals();
    pthread_sigmask(SIG_UNBLOCK, &ends, nullptr);
    return written ? code : kToolError;
}

}  // namespace board_tool
