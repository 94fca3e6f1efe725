// A whole update run twice on fresh boards: once on SimPinWorker, once through
// BCM2835_Pin_Worker, the emulated register layer and the SoC emulator. The
// run must end the same way, print the same and leave the same flash, with no
// rule of a part broken, and the chips must see the same frames but for how
// often a busy chip is polled.
//
// At register level every register access takes SocEmulator::kAccessTime of
// virtual time, which SimPinWorker does not spend: a poll takes longer there,
// so a busy chip is polled fewer times in its busy time (and a flash that the
// FPGA still holds is asked for its identification fewer times). A poll is a
// frame that repeats the one before it, out and in; each run of repeats
// counts once, and the frames that are left must be the same at both levels,
// in the same order.

#include "GoldenHeaders.h"
#include "lumo3update_main.h"
#include "board_settings.h"
#include "run_lock.h"
#include "EmulatedWorker.h"
#include "FdCapture.h"
#include "Lumo3Board.h"
#include "MiniLumoBoard.h"
#include "NoViolations.h"
#include "SampleBitstream.h"
#include "SimPinWorker.h"
#include "SocEmulator.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace {

// Every frame with at least one byte, as the chip saw it, folded into a hash,
// the repeats of a frame counted instead; a chip selected without bytes on
// the bus leaves no trace.
class FrameLog : public sim::WireObserver {
public:
    explicit FrameLog(sim::BoardWiring& wiring) : wiring_(wiring) { wiring_.addObserver(*this); }
    ~FrameLog() override { wiring_.removeObserver(*this); }

    void selected(sim::SpiDevice&) override { frameHash_ = kSeed; frameBytes_ = 0; }
    void exchanged(sim::SpiDevice& device, std::uint8_t mosi, std::uint8_t miso) override
    {
        mix(frameHash_, reinterpret_cast<std::uintptr_t>(&device));
        mix(frameHash_, mosi);
        mix(frameHash_, miso);
        ++frameBytes_;
    }
    void deselected(sim::SpiDevice&) override
    {
        if (frameBytes_ == 0)
            return;
        mix(frameHash_, frameBytes_);
        if (frameHash_ == lastFrame_) {
            ++repeats;
        } else {
            ++frames;
            bytes += frameBytes_;
            mix(hash, frameHash_);
        }
        lastFrame_ = frameHash_;
        frameBytes_ = 0;
    }

    std::uint64_t frames = 0;  // a run of repeats counted once
    std::uint64_t bytes = 0;   // in those frames
    std::uint64_t repeats = 0;
    std::uint64_t hash = kSeed;

private:
    static constexpr std::uint64_t kSeed = 1469598103934665603ull;
    static void mix(std::uint64_t& h, std::uint64_t v) { h = (h ^ v) * 1099511628211ull; }

    sim::BoardWiring& wiring_;
    std::uint64_t frameHash_ = kSeed;
    std::uint64_t frameBytes_ = 0;
    std::uint64_t lastFrame_ = 0;
};

struct Outcome {
    int exitCode = -99;
    std::uint64_t frames = 0;
    std::uint64_t frameBytes = 0;
    std::uint64_t repeats = 0;
    std::uint64_t trafficHash = 0;
    test_support::Output output;
    std::vector<std::uint8_t> flash;
    std::array<sim::Nanos, 3> spent{};
    std::uint64_t bytesOnBus = 0;
};

using Factory = std::function<std::shared_ptr<BasePinWorker>(sim::BoardWiring&)>;

std::shared_ptr<BasePinWorker> workerLevel(sim::BoardWiring& wiring)
{
    return std::make_shared<sim::SimPinWorker>(wiring);
}

std::shared_ptr<BasePinWorker> registerLevel(sim::BoardWiring& wiring)
{
    return sim::makeEmulatedWorker(wiring);
}

// Bytes laid into the flash before the board powers up, by address.
using Preset = std::vector<std::pair<std::size_t, QByteArray>>;

// watchFrames: with the frame log, which watches every byte.
template <typename Board>
Outcome runOn(std::size_t flashSize, const QStringList& args, const std::function<void(const QDir&)>& prepare,
              const Factory& factory, const Preset& preset = {}, bool watchFrames = true)
{
    std::vector<std::uint8_t> flash(flashSize, 0xFF);
    for (const auto& [address, bytes] : preset)
        std::copy(bytes.begin(), bytes.end(), flash.begin() + static_cast<std::ptrdiff_t>(address));
    Board board(flash.data());
    board.powerCycle();
    QTemporaryDir work;
    prepare(QDir(work.path()));
    const QString previous = QDir::currentPath();
    QDir::setCurrent(work.path());
    const QByteArray lock = QFile::encodeName(work.filePath("lumo3update.lock"));
    lumo3update_lock_path = lock.constData();
    const QByteArray settings = QFile::encodeName(work.filePath("lumo3update.conf"));
    lumo3update_config_path = settings.constData();

    std::vector<QByteArray> storage{"lumo3update"};
    for (const QString& arg : args)
        storage.push_back(arg.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(storage.size());

    Outcome outcome;
    {
        std::optional<FrameLog> log;
        if (watchFrames)
            log.emplace(board.wiring());
        outcome.output = test_support::captured([&] {
            outcome.exitCode =
                lumo3updateMain(argc, argv.data(), [&board, &factory] { return factory(board.wiring()); });
        });
        if (log) {
            outcome.frames = log->frames;
            outcome.frameBytes = log->bytes;
            outcome.repeats = log->repeats;
            outcome.trafficHash = log->hash;
        }
    }
    for (int kind = 0; kind < 3; ++kind)
        outcome.spent[kind] = board.wiring().clock().spent(static_cast<sim::TimeKind>(kind));
    outcome.bytesOnBus = board.wiring().bytesOnBus();
    QDir::setCurrent(previous);
    expectNoViolations(board.wiring().violations(), "the run");
    outcome.flash = std::move(flash);
    return outcome;
}

void writeFile(const QDir& dir, const QString& name, const QByteArray& contents)
{
    QFile file(dir.filePath(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(contents), contents.size());
}

void expectSame(const Outcome& worker, const Outcome& registers)
{
    EXPECT_EQ(registers.exitCode, worker.exitCode);
    EXPECT_EQ(registers.output.out, worker.output.out);
    EXPECT_EQ(registers.output.err, worker.output.err);
    EXPECT_EQ(registers.output.log, worker.output.log);
    EXPECT_GT(worker.frames, 0u);
    EXPECT_EQ(registers.frames, worker.frames);
    EXPECT_EQ(registers.frameBytes, worker.frameBytes);
    EXPECT_EQ(registers.trafficHash, worker.trafficHash);
    EXPECT_LE(registers.repeats, worker.repeats);
    EXPECT_TRUE(registers.flash == worker.flash);
}

TEST(WholeStack, Lumo3UpdateReachesTheFlashAsOnTheWorkerLevel)
{
    sim::SampleBitstream sample;
    sample.dataBytes = 256 * 1024;
    auto prepare = [&sample](const QDir& dir) { writeFile(dir, "fw.bit", sample.file()); };
    // The update is written only behind a golden header.
    const Preset golden = {
        {0x1000, kGoldenHeader}};
    const QStringList args = {"-wupdate", "fw.bit"};
    const Outcome worker = runOn<sim::Lumo3Board>(sim::N25Q256::kSize, args, prepare, workerLevel, golden);
    const Outcome registers = runOn<sim::Lumo3Board>(sim::N25Q256::kSize, args, prepare, registerLevel, golden);
    EXPECT_EQ(worker.exitCode, 0);
    // Every page program is waited for by polls, fewer of them at register level.
    EXPECT_LT(registers.repeats, worker.repeats);
    const QByteArray image = sample.configurationData();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), worker.flash.begin() + 0x400000,
                           [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
    expectSame(worker, registers);
}

TEST(WholeStack, Lumo3RawReadIsTheSame)
{
    auto prepare = [](const QDir& dir) { writeFile(dir, "marker.bit", QByteArray("x")); };
    const QStringList args = {"-r", "dump.bin", "-add", "0x1000", "-len", "5000"};
    const Outcome worker = runOn<sim::Lumo3Board>(sim::N25Q256::kSize, args, prepare, workerLevel);
    const Outcome registers = runOn<sim::Lumo3Board>(sim::N25Q256::kSize, args, prepare, registerLevel);
    expectSame(worker, registers);
}

TEST(WholeStack, MiniLumoUpdateReachesTheFlashAsOnTheWorkerLevel)
{
    QByteArray image(70000, 0);
    for (int i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>((i * 31) ^ (i >> 8));
    auto prepare = [&image](const QDir& dir) { writeFile(dir, "image.bin", image); };
    const QStringList args = {"-wifany"};
    const Outcome worker = runOn<sim::MiniLumoBoard>(4u << 20, args, prepare, workerLevel);
    const Outcome registers = runOn<sim::MiniLumoBoard>(4u << 20, args, prepare, registerLevel);
    EXPECT_EQ(worker.exitCode, 0);
    std::vector<std::uint8_t> expected(4u << 20, 0xFF);
    std::copy(image.begin(), image.end(), expected.begin());
    EXPECT_TRUE(worker.flash == expected);
    expectSame(worker, registers);
}

// A busy chip's status polls answered from memory leave everything as the
// ordinary way does, down to the nanosecond of each kind and the byte count.
// (The Mini Lumo selects its flash with a GPIO, around the controller's
// frame, and is answered the ordinary way.)
TEST(WholeStack, PollsAnsweredFromMemoryLeaveWhatEveryAccessWouldLeave)
{
    sim::SampleBitstream sample;
    sample.dataBytes = 256 * 1024;
    const auto run = [&sample](const Factory& factory) {
        return runOn<sim::Lumo3Board>(
            sim::N25Q256::kSize, {"-wupdate", "fw.bit"},
            [&sample](const QDir& dir) { writeFile(dir, "fw.bit", sample.file()); }, factory,
            {{0x1000, kGoldenHeader}}, false);
    };
    std::uint64_t fromMemory = 0;
    const Outcome memo = run([&fromMemory](sim::BoardWiring& wiring) {
        // Counted as the run lets go of the worker, with which the emulator goes.
        std::shared_ptr<BasePinWorker> worker = sim::makeEmulatedWorker(wiring);
        BasePinWorker* raw = worker.get();
        return std::shared_ptr<BasePinWorker>(raw, [worker, &fromMemory](BasePinWorker*) mutable {
            fromMemory = sim::SocEmulator::current()->framesFromMemory();
            worker.reset();
        });
    });
    const Outcome plain = run([](sim::BoardWiring& wiring) { return sim::makeEmulatedWorker(wiring, std::nullopt, false); });
    EXPECT_GT(fromMemory, 1000u);
    EXPECT_EQ(memo.exitCode, 0);
    EXPECT_EQ(memo.output.out, plain.output.out);
    EXPECT_EQ(memo.output.err, plain.output.err);
    EXPECT_EQ(memo.spent, plain.spent);
    EXPECT_EQ(memo.bytesOnBus, plain.bytesOnBus);
    EXPECT_TRUE(memo.flash == plain.flash);
}

}  // namespace
