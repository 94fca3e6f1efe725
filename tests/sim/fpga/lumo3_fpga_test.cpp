// Which image the virtual Lumo3 FPGA boots, and how it holds the flash while
// it configures.

#include "Lumo3Fpga.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Image = sim::Lumo3Fpga::Image;

const std::uint8_t kSync[4] = {0xAA, 0x99, 0x55, 0x66};
const std::uint8_t kGoldenHeader[32] = {0x20, 0, 0, 0, 0x30, 0x02, 0, 0x01, 0, 0, 0x10, 0, 0x30, 0, 0x80, 0x01,
                                        0, 0, 0, 0x0F, 0x20, 0, 0, 0, 0x20, 0, 0, 0, 0x20, 0, 0, 0};

struct Layout {
    bool switchWord;
    bool goldenHeader;
    int goldenSyncAt;  // offset from 0x001020, or -1
    int updateSyncAt;  // offset from 0x400000, or -1
    Image boots;
};

TEST(Lumo3Fpga, MultiBootDecision)
{
    const Layout cases[] = {
        {false, false, -1, -1, Image::None},
        {false, true, 0, -1, Image::Golden},
        {false, true, 0, 0, Image::Golden},      // no switch word: the update image is not looked at
        {true, true, 0, 0, Image::Update},
        {true, true, 0, 1020, Image::Update},    // the sync word ends inside the first KiB
        {true, true, 0, 1021, Image::Golden},    // it does not
        {true, true, -1, -1, Image::None},
        {true, false, 0, 0, Image::Golden},      // a switch word without the golden header leads nowhere
        {true, true, -1, 0, Image::Update},
        {false, false, 1020, -1, Image::Golden},
    };
    for (const Layout& c : cases) {
        std::vector<std::uint8_t> flash(sim::N25Q256::kSize, 0xFF);
        if (c.switchWord)
            std::memcpy(&flash[0xFFC], kSync, 4);
        if (c.goldenHeader)
            std::memcpy(&flash[0x1000], kGoldenHeader, 32);
        if (c.goldenSyncAt >= 0)
            std::memcpy(&flash[0x1020 + c.goldenSyncAt], kSync, 4);
        if (c.updateSyncAt >= 0)
            std::memcpy(&flash[0x400000 + c.updateSyncAt], kSync, 4);
        EXPECT_EQ(sim::Lumo3Fpga::selectImage(flash.data()), c.boots)
            << c.switchWord << c.goldenHeader << " " << c.goldenSyncAt << " " << c.updateSyncAt;
    }
}

TEST(Lumo3Fpga, HoldsTheFlashForItsConfigurationTimeAfterAPulse)
{
    std::vector<std::uint8_t> flash(sim::N25Q256::kSize, 0xFF);
    std::memcpy(&flash[0x1020], kSync, 4);
    sim::VirtualClock clock;
    sim::BoardWiring wiring{clock};
    sim::N25Q256 chip{flash.data(), clock};
    sim::Lumo3Fpga fpga{wiring, chip, flash.data()};
    wiring.setPull(7, true);
    wiring.attach(fpga.flashPort(), 7);
    fpga.powerUp();
    ASSERT_EQ(fpga.loaded(), Image::Golden);

    const auto idByte2 = [&] {
        wiring.piDrive(7, false);
        std::uint8_t b = 0;
        for (int i = 0; i < 4; ++i)
            b = wiring.transfer(0x9E);
        wiring.piDrive(7, true);
        return b;
    };
    EXPECT_EQ(idByte2(), 0x19);
    wiring.piDrive(26, false);
    EXPECT_EQ(fpga.loaded(), Image::None);  // in reset
    EXPECT_EQ(idByte2(), 0x19);             // the flash is free while the FPGA is held in reset
    wiring.piDrive(26, true);
    EXPECT_EQ(idByte2(), 0xFF);
    clock.advance(sim::Lumo3Fpga::kDefaultConfigTime, sim::TimeKind::Wait);
    EXPECT_EQ(idByte2(), 0x19);
    EXPECT_EQ(fpga.loaded(), Image::Golden);
}

TEST(Lumo3Fpga, AnFpgaThatNeverConfiguresHoldsTheFlashForGood)
{
    std::vector<std::uint8_t> flash(sim::N25Q256::kSize, 0xFF);
    std::memcpy(&flash[0x1020], kSync, 4);
    sim::BoardFaults faults;
    faults.fpgaNeverConfigures = true;
    sim::VirtualClock clock;
    sim::BoardWiring wiring{clock};
    sim::N25Q256 chip{flash.data(), clock};
    sim::Lumo3Fpga fpga{wiring, chip, flash.data(), faults};
    wiring.piDrive(26, false);
    wiring.piDrive(26, true);
    clock.advance(100 * sim::kSecond, sim::TimeKind::Wait);
    EXPECT_TRUE(fpga.configuring());
    fpga.finishConfiguration();
    EXPECT_EQ(fpga.loaded(), Image::None);
    EXPECT_TRUE(fpga.configuring());
    fpga.powerUp();
    EXPECT_TRUE(fpga.configuring());
}

}  // namespace
