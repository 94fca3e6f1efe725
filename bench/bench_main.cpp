// Speed and memory of whole updates on the virtual board: host seconds (and
// per MiB of image), peak resident memory and the modelled time the same run
// takes on the real board. Each scenario runs in a child process of its own,
// so that its peak memory is its own. Beside them, when flashrom is
// installed, its dummy emulator writing a whole 8 MiB chip: the peer that a
// rehearsal on the emulated registers should keep up with. Then the time the
// image writer's check of the configuration stream takes on a full 4 MiB
// update image (it should stay under 50 ms).

#include "lumo3update_main.h"
#include "board_settings.h"
#include "run_lock.h"
#include "series7_stream.h"
#include "BoardDirectory.h"
#include "EmulatedWorker.h"
#include "SampleBitstream.h"
#include "SimPinWorker.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Scenario {
    const char* name;
    const char* kind;
    double mebibytes;  // of the image written
    // Puts the firmware files into the working directory; returns the updater's arguments.
    std::function<QStringList(const QString& work)> prepare;
    std::function<std::shared_ptr<BasePinWorker>(sim::VirtualBoard&)> makeWorker;
};

struct Result {
    double hostSeconds = 0;
    double modelledSeconds = 0;
    int exitCode = -1;
};

std::shared_ptr<BasePinWorker> workerLevel(sim::VirtualBoard& board)
{
    return std::make_shared<sim::SimPinWorker>(board.wiring());
}

// BCM2835_Pin_Worker on the emulated register layer and SoC: the same update
// through every layer the Pi runs, down to the registers.
std::shared_ptr<BasePinWorker> registerLevel(sim::VirtualBoard& board)
{
    return sim::makeEmulatedWorker(board.wiring());
}

// The same, with no status poll answered from memory: what each poll's
// dozen register accesses cost when every one is emulated.
std::shared_ptr<BasePinWorker> registerLevelEveryAccess(sim::VirtualBoard& board)
{
    return sim::makeEmulatedWorker(board.wiring(), std::nullopt, false);
}

void writeFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size()) {
        std::fprintf(stderr, "bench: cannot write %s\n", qUtf8Printable(path));
        std::exit(2);
    }
}

QStringList lumo3Update(const QString& work)
{
    sim::SampleBitstream sample;
    sample.dataBytes = 4 * 1024 * 1024 - 4096;
    writeFile(QDir(work).filePath("update.bit"), sample.file());
    return {"-wupdate", "update.bit"};
}

// An update is written only behind a golden image: the board gets one, as
// the golden image writer lays it out, before the measured run.
void goldenImageInPlace(const QString& boardDir)
{
    static const char kGoldenHeader[] = "\x20\x00\x00\x00\x30\x02\x00\x01\x00\x40\x00\x00\x30\x00\x80\x01"
                                        "\x00\x00\x00\x0F\x20\x00\x00\x00\x20\x00\x00\x00\x20\x00\x00\x00";
    sim::SampleBitstream golden;
    golden.dataBytes = 100 * 1024;
    golden.seed = 2;
    QFile flash(QDir(boardDir).filePath("n25q256.img"));
    if (!flash.open(QIODevice::ReadWrite) || !flash.seek(0x1000) ||
        flash.write(QByteArray(kGoldenHeader, 32) + golden.configurationData()) < 0) {
        std::fprintf(stderr, "bench: cannot lay a golden image into %s\n", qUtf8Printable(flash.fileName()));
        std::exit(2);
    }
}

QStringList miniLumoUpdate(const QString& work)
{
    sim::SampleBitstream sample;
    sample.dataBytes = 4194240;  // all that the read-back verifies
    writeFile(QDir(work).filePath("fw.bin"), sample.configurationData());
    return {"-wifany"};
}

// Runs in the child: the update on a board made for it, output discarded.
Result runScenario(const Scenario& scenario, const QString& boardDir, const QString& work)
{
    QString error;
    std::unique_ptr<sim::BoardDirectory> board = sim::BoardDirectory::open(boardDir, error);
    if (!board) {
        std::fprintf(stderr, "bench: %s\n", qUtf8Printable(error));
        std::exit(2);
    }
    QDir::setCurrent(work);
    const QByteArray lock = QFile::encodeName(QDir(boardDir).filePath("lumo3update.lock"));
    lumo3update_lock_path = lock.constData();
    const QByteArray settings = QFile::encodeName(QDir(boardDir).filePath("lumo3update.conf"));
    lumo3update_config_path = settings.constData();
    const QStringList args = scenario.prepare(work);
    std::vector<QByteArray> storage{"lumo3update"};
    for (const QString& a : args)
        storage.push_back(a.toUtf8());
    std::vector<char*> argv;
    for (QByteArray& a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(storage.size());

    const int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, STDOUT_FILENO);
    ::dup2(devnull, STDERR_FILENO);

    Result result;
    const auto start = std::chrono::steady_clock::now();
    board->beginRun();
    sim::VirtualBoard& virtualBoard = board->board();
    result.exitCode = lumo3updateMain(argc, argv.data(), [&] { return scenario.makeWorker(virtualBoard); });
    board->endRun();
    result.hostSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.modelledSeconds = board->status().value("last_run").toObject().value("total_ns").toDouble() / 1e9;
    return result;
}

void measure(const Scenario& scenario)
{
    QTemporaryDir root;
    const QString boardDir = root.filePath("board");
    const QString work = root.filePath("work");
    QDir().mkpath(work);
    QString error;
    if (!sim::BoardDirectory::create(boardDir, scenario.kind, error)) {
        std::fprintf(stderr, "bench: %s\n", qUtf8Printable(error));
        std::exit(2);
    }
    if (QString(scenario.kind) == QLatin1String("lumo3"))
        goldenImageInPlace(boardDir);

    int fds[2];
    if (::pipe(fds) != 0)
        std::exit(2);
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        const Result result = runScenario(scenario, boardDir, work);
        if (::write(fds[1], &result, sizeof result) != sizeof result)
            ::_exit(2);
        ::_exit(0);
    }
    ::close(fds[1]);
    Result result;
    const bool got = ::read(fds[0], &result, sizeof result) == sizeof result;
    ::close(fds[0]);
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    if (!got) {
        std::printf("%-62s failed\n", scenario.name);
        return;
    }
    std::printf("%-62s host %6.2f s %6.3f s/MiB   peak %5.1f MiB   real board %7.1f s   exit %d\n", scenario.name,
                result.hostSeconds, result.hostSeconds / scenario.mebibytes, usage.ru_maxrss / 1024.0,
                result.modelledSeconds, result.exitCode);
}

const char* const kPeer = "flashrom's dummy emulator, 8 MiB MX25L6436E chip written";

// flashrom erases and writes the whole chip in its own emulator, verifying
// as it goes; run as a child, timed from start to end, its peak memory its own.
void measurePeer()
{
    QString flashrom = QStandardPaths::findExecutable("flashrom");
    if (flashrom.isEmpty())  // a user's PATH may leave out the system's sbin
        flashrom = QStandardPaths::findExecutable("flashrom", {"/usr/sbin", "/sbin"});
    if (flashrom.isEmpty()) {
        std::printf("%-62s flashrom is not installed: no side-by-side figure\n", kPeer);
        return;
    }
    constexpr int kChip = 8 << 20;
    QTemporaryDir root;
    QByteArray image(kChip, 0);
    for (int i = 0; i < kChip; ++i)
        image[i] = static_cast<char>((i * 13) ^ (i >> 9));
    writeFile(root.filePath("chip.bin"), QByteArray(kChip, '\xFF'));
    writeFile(root.filePath("new.bin"), image);
    const std::string program = flashrom.toStdString();
    const std::string dummy = "dummy:emulate=MX25L6436,image=" + root.filePath("chip.bin").toStdString();
    const std::string file = root.filePath("new.bin").toStdString();
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execl(program.c_str(), program.c_str(), "-p", dummy.c_str(), "-c",
                "MX25L6436E/MX25L6445E/MX25L6465E/MX25L6473E/MX25L6473F", "-w", file.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::printf("%-62s failed (%s)\n", kPeer, qUtf8Printable(flashrom));
        return;
    }
    std::printf("%-62s host %6.2f s %6.3f s/MiB   peak %5.1f MiB\n", kPeer, seconds, seconds / 8,
                usage.ru_maxrss / 1024.0);
}

const char* const kStreamCheck = "Lumo3 configuration stream check, 4 MiB image";

void measureStreamCheck()
{
    sim::SampleBitstream sample;
    sample.dataBytes = 4 * 1024 * 1024;
    const QByteArray image = sample.configurationData();
    std::vector<double> ms;
    bool clean = true;
    for (int run = 0; run < 21; ++run) {
        const auto start = std::chrono::steady_clock::now();
        clean = checkSeries7Stream(image).clean() && clean;
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-62s best %6.2f ms   median %6.2f ms   %s\n", kStreamCheck, ms.front(),
                ms[ms.size() / 2], clean ? "clean" : "NOT CLEAN");
}

}  // namespace

// lumo3-bench [WORD...]: only the measurements whose names hold one of the
// words ("emulated", "Mini Lumo", "flashrom", "stream"), as when profiling
// one of them.
int main(int argc, char** argv)
{
    const std::vector<std::string> words(argv + 1, argv + argc);
    const auto chosen = [&words](const std::string& name) {
        return words.empty() || std::any_of(words.begin(), words.end(), [&name](const std::string& word) {
                   return name.find(word) != std::string::npos;
               });
    };
    constexpr double kMiniLumoImage = 4194240.0 / (1 << 20);
    const std::vector<Scenario> scenarios = {
        {"Lumo3 -wupdate, 4 MiB image (SimPinWorker)", "lumo3", 4, lumo3Update, workerLevel},
        {"Lumo3 -wupdate, 4 MiB image (emulated BCM2835)", "lumo3", 4, lumo3Update, registerLevel},
        {"Lumo3 -wupdate, 4 MiB image (emulated BCM2835, every poll)", "lumo3", 4, lumo3Update,
         registerLevelEveryAccess},
        {"Mini Lumo -wifany, 4,194,240 bytes (SimPinWorker)", "minilumo", kMiniLumoImage, miniLumoUpdate, workerLevel},
        {"Mini Lumo -wifany, 4,194,240 bytes (emulated BCM2835)", "minilumo", kMiniLumoImage, miniLumoUpdate,
         registerLevel},
    };
    for (const Scenario& scenario : scenarios)
        if (chosen(scenario.name))
            measure(scenario);
    if (chosen(kPeer))
        measurePeer();
    if (chosen(kStreamCheck))
        measureStreamCheck();
    return 0;
}
