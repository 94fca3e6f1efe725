// What the virtual Lumo3 FPGA boots, for its part, and how it holds the flash
// while it configures.

#include "GoldenHeaders.h"
#include "Lumo3Fpga.h"
#include "SampleBitstream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Image = sim::Lumo3Fpga::Image;

const std::uint8_t kSync[4] = {0xAA, 0x99, 0x55, 0x66};

void put(std::vector<std::uint8_t>& flash, std::uint32_t at, const QByteArray& bytes)
{
    std::copy(bytes.begin(), bytes.end(), flash.begin() + at);
}

QByteArray image(quint32 idcode, int bytes = 2000)
{
    sim::SampleBitstream sample;
    sample.dataBytes = bytes;
    sample.idcode = idcode;
    return sample.configurationData();
}

// A golden image for the 35T; an update behind the switch word when given.
std::vector<std::uint8_t> multiBootFlash(const QByteArray& update = QByteArray())
{
    std::vector<std::uint8_t> flash(sim::N25Q256::kSize, 0xFF);
    put(flash, 0x1000, kGoldenHeader + image(sim::series7::kXc7a35t));
    if (!update.isEmpty()) {
        std::memcpy(&flash[0xFFC], kSync, 4);
        put(flash, 0x400000, update);
    }
    return flash;
}

struct Fpga {
    explicit Fpga(std::vector<std::uint8_t> contents, const sim::BoardFaults& faults = sim::Lumo3Fpga::noFaults())
        : flash(std::move(contents)), fpga(wiring, chip, flash.data(), faults)
    {
        wiring.setPull(7, true);
        wiring.attach(fpga.flashPort(), 7);
    }

    // Byte 2 of the flash's identification as the Pi reads it: 0xFF while
    // the FPGA holds the flash.
    std::uint8_t idByte2()
    {
        wiring.piDrive(7, false);
        std::uint8_t b = 0;
        for (int i = 0; i < 4; ++i)
            b = wiring.transfer(0x9E);
        wiring.piDrive(7, true);
        return b;
    }

    std::vector<std::uint8_t> flash;
    sim::VirtualClock clock;
    sim::BoardWiring wiring{clock};
    sim::N25Q256 chip{flash.data(), clock};
    sim::Lumo3Fpga fpga;
};

TEST(Lumo3Fpga, PowerUpConfiguresForTheBoardsPart)
{
    struct Case {
        std::uint32_t part;
        QByteArray update;
        Image boots;
        bool fallback;
    };
    const Case cases[] = {
        {sim::series7::kXc7a35t, image(sim::series7::kXc7a35t), Image::Update, false},
        {sim::series7::kXc7a35t, image(sim::series7::kXc7a100t), Image::Golden, true},
        {sim::series7::kXc7a100t, image(sim::series7::kXc7a35t), Image::None, true},
    };
    for (const Case& c : cases) {
        Fpga board(multiBootFlash(c.update));
        board.fpga.setPart(c.part);
        board.fpga.powerUp();
        EXPECT_EQ(board.fpga.loaded(), c.boots) << std::hex << c.part << " " << c.update.size();
        EXPECT_EQ(board.fpga.outcome().fallback, c.fallback);
        EXPECT_EQ(board.fpga.nextBoot().loaded, c.boots);
    }
}

// The golden image read from address 0 to the end of its DESYNC, one data
// line at 3 MHz.
sim::Nanos goldenReadTime()
{
    const QByteArray golden = image(sim::series7::kXc7a35t);
    const int desyncEnd = golden.lastIndexOf(QByteArray::fromHex("300080010000000D")) + 8;
    return (0x1020 + desyncEnd) * 8ull * sim::kSecond / 3000000;
}

TEST(Lumo3Fpga, HoldsTheFlashForItsConfigurationTimeAfterAPulse)
{
    Fpga board(multiBootFlash());
    board.fpga.powerUp();
    ASSERT_EQ(board.fpga.loaded(), Image::Golden);
    EXPECT_EQ(board.fpga.outcome().readNanos, goldenReadTime());

    EXPECT_EQ(board.idByte2(), 0x19);
    board.wiring.piDrive(26, false);
    EXPECT_EQ(board.fpga.loaded(), Image::None);  // in reset
    EXPECT_EQ(board.idByte2(), 0x19);             // the flash is free while the FPGA is held in reset
    const sim::Nanos pulled = board.clock.now();
    // The host's own time in reset is no modelled time.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    board.wiring.piDrive(26, true);
    const sim::Nanos released = board.clock.now();
    EXPECT_LT(released - pulled, sim::kMillisecond);
    EXPECT_EQ(board.idByte2(), 0xFF);
    board.clock.advance(released + goldenReadTime() - 1 - board.clock.now(), sim::TimeKind::Wait);
    EXPECT_EQ(board.idByte2(), 0xFF);
    board.clock.advance(1, sim::TimeKind::Wait);
    EXPECT_EQ(board.idByte2(), 0x19);
    EXPECT_EQ(board.fpga.loaded(), Image::Golden);
}

TEST(Lumo3Fpga, AStreamThatHangsHoldsTheFlashUntilProgramGoesLow)
{
    // An update cut short behind the switch word, the watchdog off.
    Fpga board(multiBootFlash(image(sim::series7::kXc7a35t).left(1000)));
    board.fpga.powerUp();
    EXPECT_TRUE(board.fpga.outcome().hangs);
    EXPECT_EQ(board.fpga.loaded(), Image::None);
    EXPECT_EQ(board.idByte2(), 0xFF);
    board.clock.advance(100 * sim::kSecond, sim::TimeKind::Wait);
    EXPECT_EQ(board.idByte2(), 0xFF);

    board.wiring.piDrive(26, false);
    EXPECT_EQ(board.idByte2(), 0x19);
    std::fill(board.flash.begin() + 0xFFC, board.flash.begin() + 0x1000, 0xFF);  // the switch word gone
    board.wiring.piDrive(26, true);
    board.clock.advance(goldenReadTime(), sim::TimeKind::Wait);
    EXPECT_EQ(board.idByte2(), 0x19);
    EXPECT_EQ(board.fpga.loaded(), Image::Golden);
    EXPECT_FALSE(board.fpga.outcome().hangs);
}

TEST(Lumo3Fpga, AnFpgaThatNeverConfiguresHoldsTheFlashForGood)
{
    sim::BoardFaults faults;
    faults.fpgaNeverConfigures = true;
    Fpga board(multiBootFlash(), faults);
    board.wiring.piDrive(26, false);
    board.wiring.piDrive(26, true);
    board.clock.advance(100 * sim::kSecond, sim::TimeKind::Wait);
    EXPECT_TRUE(board.fpga.configuring());
    board.fpga.finishConfiguration();
    EXPECT_EQ(board.fpga.loaded(), Image::None);
    EXPECT_TRUE(board.fpga.configuring());
    board.fpga.powerUp();
    EXPECT_TRUE(board.fpga.configuring());
}

}  // namespace
