// The virtual Mini Lumo board (its wiring, the FPGA's DONE line, its saved
// state) and the updater running on it in-process.

#include "FdCapture.h"
#include "ScriptedMx25.h"
#include "VirtualMiniLumo.h"
#include "WorkingDirectory.h"
#include "Flasher_MX25L3206E.h"

#include <gtest/gtest.h>

using namespace test_support;

namespace {

// A configuration the FPGA accepts: the sync word at `at`, the rest a pattern.
QByteArray configuration(int size, int at)
{
    QByteArray data = pattern(size, 17);
    data.replace(at, 4, QByteArray("\xAA\x99\x55\x66", 4));
    return data;
}

TEST(MiniLumoWiring, EachChipSelectLineReachesOnlyItsChip)
{
    VirtualMiniLumo v;
    struct Case {
        const char* what;
        int lowPin;
        std::vector<std::uint8_t> rems;      // answer to the flash's REMS frame
        std::vector<std::uint8_t> partRead;  // answer to the transceiver's read of 0x000D
    };
    const std::vector<std::uint8_t> undriven(6, 0xFF);
    const Case cases[] = {
        {"nobody selected", -1, undriven, undriven},
        {"flash on GPIO 24", 24, {0xFF, 0xFF, 0xFF, 0xFF, 0xC2, 0x15}, undriven},
        {"transceiver on GPIO 16", 16, undriven, {0xFF, 0xFF, 0x34, 0x03, 0x00, 0x00}},
    };
    auto frame = [&v](int lowPin, std::vector<char> tx) {
        std::vector<char> rx(tx.size(), 0);
        if (lowPin >= 0)
            v.worker->set_pin_state(static_cast<unsigned char>(lowPin), PIN_LOW);
        v.worker->read_write_spi(tx.data(), rx.data(), SPI_CS0, static_cast<unsigned>(tx.size()));
        if (lowPin >= 0)
            v.worker->set_pin_state(static_cast<unsigned char>(lowPin), PIN_HIGH);
        return std::vector<std::uint8_t>(rx.begin(), rx.end());
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(frame(c.lowPin, {static_cast<char>(0x90), 0, 0, 0, 0, 0}), c.rems);
        EXPECT_EQ(frame(c.lowPin, {0x00, 0x0D, 0, 0, 0, 0}), c.partRead);
    }
}

TEST(MiniLumoWiring, FlashFrameSpansSeveralTransfersUnderOneSelect)
{
    VirtualMiniLumo v;
    v.memory[0x123456] = 0x5A;
    char command[4] = {0x03, 0x12, 0x34, 0x56};
    char data[1] = {};
    v.worker->set_pin_state(24, PIN_LOW);
    v.worker->write_spi(command, SPI_CS0, 4);
    v.worker->read_write_spi(data, data, SPI_CS0, 1);
    v.worker->set_pin_state(24, PIN_HIGH);
    EXPECT_EQ(static_cast<std::uint8_t>(data[0]), 0x5A);
}

TEST(MiniLumoFpga, DoneFollowsTheConfigurationLoadedAtPowerUp)
{
    struct Case {
        const char* what;
        QByteArray image;
        bool done;
    };
    const Case cases[] = {
        {"erased flash", QByteArray(), false},
        {"sync word at the start", configuration(4096, 0), true},
        {"sync word ending at 1 KiB", configuration(4096, 1020), true},
        {"sync word past 1 KiB", configuration(4096, 1021), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualMiniLumo v;
        v.load(c.image);
        v.board.powerCycle();
        EXPECT_EQ(v.board.fpga().done(), c.done);
        EXPECT_EQ(v.worker->get_pin_state(13), c.done ? PIN_HIGH : PIN_LOW);

        // The FPGA keeps its configuration while the flash changes under it.
        v.load(configuration(4096, c.done ? 2000 : 0));
        EXPECT_EQ(v.worker->get_pin_state(13), c.done ? PIN_HIGH : PIN_LOW);
        v.board.powerCycle();
        EXPECT_EQ(v.worker->get_pin_state(13), c.done ? PIN_LOW : PIN_HIGH);
    }
}

TEST(MiniLumoState, SavedStateRoundTripsAndDamageIsReported)
{
    VirtualMiniLumo v;
    v.load(configuration(64, 8));
    v.board.powerCycle();
    v.worker->set_pin_state(25, PIN_HIGH);
    {
        Flasher_MX25L3206E flasher(v.worker);
        captured([&] { flasher.enable_block_protection(); });
    }
    v.board.finishRun();
    const QJsonObject state = v.board.saveState();
    EXPECT_EQ(v.board.status().value("update_active_at_end").toBool(), true);
    EXPECT_EQ(v.board.status().value("fpga").toObject().value("done").toBool(), true);
    EXPECT_EQ(v.board.status().value("flash").toObject().value("block_protect_level").toInt(), 15);

    std::vector<std::uint8_t> memory(sim::MX25L3206E::kSize, 0xFF);
    sim::MiniLumoBoard restored(memory.data());
    QString error;
    ASSERT_TRUE(restored.restoreState(state, error)) << error.toStdString();
    EXPECT_TRUE(restored.fpga().done());
    EXPECT_TRUE(restored.wiring().level(13));
    EXPECT_TRUE(restored.updateActiveAtEnd());
    EXPECT_EQ(restored.flash().protectionLevel(), 15u);

    QJsonObject damaged = state;
    damaged.insert("fpga", QJsonObject{{"done", "maybe"}});
    EXPECT_FALSE(restored.restoreState(damaged, error));
    EXPECT_FALSE(error.isEmpty());
}

// --- the updater on the board ---

struct MiniLumoBoardUpdate : ::testing::Test {
    WorkingDirectory dir;

    static Output tryFlash(VirtualMiniLumo& v, int& result, bool onTerminal = false)
    {
        auto run = [&] {
            Flasher_MX25L3206E flasher(v.worker);
            result = flasher.try_flash();
        };
        return onTerminal ? capturedOnTerminal(run) : captured(run);
    }
};

TEST_F(MiniLumoBoardUpdate, FlashesTheFileAndLeavesTheChipUnprotectedAndTheLineLow)
{
    VirtualMiniLumo v;
    v.load(pattern(5000, 2));
    const QByteArray file = configuration(3000, 100);
    dir.write("fw.bin", file);
    int result = 1;
    const Output output = tryFlash(v, result);
    v.board.finishRun();

    EXPECT_EQ(result, 0);
    EXPECT_EQ(v.contents(3000), file);
    EXPECT_EQ(std::count(v.memory.begin() + 3000, v.memory.end(), 0xFF), sim::MX25L3206E::kSize - 3000);
    EXPECT_EQ(v.board.flash().protectionLevel(), 0u);
    EXPECT_FALSE(v.board.updateActiveAtEnd());
    EXPECT_FALSE(dir.exists("fw.bin"));
    EXPECT_GE(v.board.clock().spent(sim::TimeKind::Wait), 25 * sim::kSecond);
    EXPECT_EQ(output.log.last(), "Firmware flashed! is_PIN_FPGA_DONE= false");

    // A power cycle brings the new configuration up.
    v.board.powerCycle();
    EXPECT_TRUE(v.board.fpga().done());
}

TEST_F(MiniLumoBoardUpdate, ReportsDoneHighWhenTheFpgaRunsAValidConfiguration)
{
    VirtualMiniLumo v;
    v.load(configuration(2000, 0));
    v.board.powerCycle();
    dir.write("fw.bin", configuration(2000, 4));
    int result = 1;
    const Output output = tryFlash(v, result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(output.log, (QStringList{"PIN_FPGA_DONE OK", "Firmware erased", "PIN_FPGA_DONE OK",
                                       "Firmware flashed! is_PIN_FPGA_DONE= true"}));
}

TEST_F(MiniLumoBoardUpdate, FileAlreadyInTheChipIsStillErasedAndProgrammed)
{
    VirtualMiniLumo v;
    const QByteArray file = pattern(700, 3);
    v.load(file);
    dir.write("same.bin", file);
    int result = 1;
    const Output output = tryFlash(v, result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(lines(output.out).count("comparing: res=true"), 2);
    EXPECT_TRUE(lines(output.out).contains("End of flash_()"));
    EXPECT_EQ(v.contents(700), file);
    EXPECT_FALSE(dir.exists("same.bin"));
}

TEST_F(MiniLumoBoardUpdate, ChipLeftProtectedIsUnprotectedFirst)
{
    VirtualMiniLumo v;
    {
        Flasher_MX25L3206E flasher(v.worker);
        captured([&] { flasher.enable_block_protection(); });
    }
    ASSERT_EQ(v.board.flash().protectionLevel(), 15u);
    const QByteArray file = pattern(1000, 4);
    dir.write("fw.bin", file);
    int result = 1;
    tryFlash(v, result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(v.contents(1000), file);
}

TEST_F(MiniLumoBoardUpdate, BusyTimesAreWaitedForUpToTheirBounds)
{
    struct Case {
        const char* what;
        sim::MX25L3206ETiming timing;
        int result;
        QString outcome;
    };
    const Case cases[] = {
        // Status writes and pages outlast the fixed waits, the erase takes
        // the datasheet's longest time.
        {"slow chip", sim::MX25L3206ETiming::slow(), 0, "Firmware flashed! is_PIN_FPGA_DONE= false"},
        {"page beyond its bound", {5 * sim::kMillisecond, 60 * sim::kMillisecond, 25 * sim::kSecond}, -1,
         "Firmware not flashed.  Page program not finished."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::MiniLumoOptions options;
        options.flashTiming = c.timing;
        VirtualMiniLumo v(options);
        // A page beyond the datasheet's bound is a faulty chip: the updater
        // gives up its wait, and its next commands reach a busy chip.
        v.breachesRules = c.result != 0;
        v.load(pattern(2000, 5));
        const QByteArray file = pattern(2000, 6);
        dir.write("fw.bin", file);
        int result = 1;
        const Output output = tryFlash(v, result);
        v.board.finishRun();

        EXPECT_EQ(result, c.result);
        EXPECT_EQ(output.log.last(), c.outcome);
        EXPECT_EQ(dir.exists("fw.bin"), c.result != 0);
        EXPECT_FALSE(v.board.updateActiveAtEnd());
        if (c.result == 0) {
            EXPECT_EQ(v.contents(2000), file);
            continue;
        }
        // The first page finished after the wait was given up; nothing came after it.
        EXPECT_TRUE(lines(output.out).contains("Page program not finished after 50 ms at 0x000000, programming stopped"));
        EXPECT_EQ(v.contents(256), file.left(256));
        EXPECT_EQ(v.contents(2000).mid(256), QByteArray(2000 - 256, '\xFF'));
    }
}

TEST_F(MiniLumoBoardUpdate, TypicalChipIsPolledAbout2500TimesAndPrintsAFewHundredKilobytes)
{
    VirtualMiniLumo v;
    dir.write("fw.bin", pattern(256, 1));
    int result = 1;
    const Output output = tryFlash(v, result, true);
    EXPECT_EQ(result, 0);
    const int frames = static_cast<int>(output.out.count("erasing... "));
    const int busyReads = frames / 8;
    EXPECT_EQ(frames % 8, 0);
    // 25 s of erase, 30 ms before the first read and 10 ms between reads.
    EXPECT_NEAR(busyReads, (25000 - 30) / 10 + 1, 2);
    EXPECT_LT(output.out.size(), 400 * 1024);
    EXPECT_TRUE(lines(output.out).contains(spinnerLine(busyReads)));
}

}  // namespace
