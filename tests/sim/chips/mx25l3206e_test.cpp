// The MX25L3206E model behaves as the datasheet says, including what the
// updater never relies on, so that driver faults show up in the other tests.

#include "ChipFrame.h"
#include "MX25L3206E.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sim::MX25L3206E;
using sim::Nanos;
using sim::kMillisecond;
using sim::kSecond;

struct MX25L3206EModelTest : ::testing::Test {
    std::vector<std::uint8_t> memory = std::vector<std::uint8_t>(MX25L3206E::kSize, 0xFF);
    sim::VirtualClock clock;
    MX25L3206E chip{memory.data(), clock};

    std::vector<int> frame(const std::vector<std::uint8_t>& bytes) { return chipFrame(chip, bytes); }
    std::uint8_t status() { return static_cast<std::uint8_t>(frame({0x05, 0}).at(1)); }
    // Lets time pass; whatever finished meanwhile is then in memory.
    void wait(Nanos t)
    {
        clock.advance(t, sim::TimeKind::Wait);
        chip.settle();
    }
    void writeEnable() { frame({0x06}); }
    void writeStatus(std::uint8_t value)
    {
        writeEnable();
        frame({0x01, value});
        wait(10 * kMillisecond);
    }
    void program(std::uint32_t address, std::vector<std::uint8_t> data)
    {
        writeEnable();
        std::vector<std::uint8_t> f{0x02, std::uint8_t(address >> 16), std::uint8_t(address >> 8), std::uint8_t(address)};
        f.insert(f.end(), data.begin(), data.end());
        frame(f);
        wait(3 * kMillisecond);
    }
    std::vector<int> read(std::uint32_t address, std::size_t n)
    {
        std::vector<std::uint8_t> f{0x03, std::uint8_t(address >> 16), std::uint8_t(address >> 8), std::uint8_t(address)};
        f.resize(4 + n, 0);
        const std::vector<int> out = frame(f);
        return std::vector<int>(out.begin() + 4, out.end());
    }
};

TEST_F(MX25L3206EModelTest, RemsAnswersManufacturerThenDeviceAlternating)
{
    EXPECT_EQ(frame({0x90, 0, 0, 0x00, 0, 0, 0, 0}), (std::vector<int>{-1, -1, -1, -1, 0xC2, 0x15, 0xC2, 0x15}));
    EXPECT_EQ(frame({0x90, 0, 0, 0x01, 0, 0}), (std::vector<int>{-1, -1, -1, -1, 0x15, 0xC2}));
}

TEST_F(MX25L3206EModelTest, ReadContinuesAcrossPagesAndWrapsAtTheChipsEnd)
{
    memory[0xFF] = 0x11;
    memory[0x100] = 0x22;
    memory[MX25L3206E::kSize - 1] = 0x33;
    memory[0] = 0x44;
    EXPECT_EQ(read(0xFF, 2), (std::vector<int>{0x11, 0x22}));
    EXPECT_EQ(read(MX25L3206E::kSize - 1, 2), (std::vector<int>{0x33, 0x44}));
    // Address bits 23 and 22 are not decoded.
    EXPECT_EQ(read(0xC00000, 1), (std::vector<int>{0x44}));
}

TEST_F(MX25L3206EModelTest, PageProgramNeedsTheLatchClearsItAndOnlyClearsBits)
{
    frame({0x02, 0, 0, 0, 0x00});
    EXPECT_EQ(memory[0], 0xFF) << "program without WEL";

    memory[0x10] = 0xF0;
    program(0x10, {0x3C});
    EXPECT_EQ(memory[0x10], 0x30);
    EXPECT_EQ(status() & MX25L3206E::kWel, 0);
}

TEST_F(MX25L3206EModelTest, PageProgramWrapsInsideItsPage)
{
    std::vector<std::uint8_t> data(32);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i);
    program(0x1F0, data);
    EXPECT_EQ(memory[0x1F0], 0);
    EXPECT_EQ(memory[0x1FF], 15);
    EXPECT_EQ(memory[0x100], 16);
    EXPECT_EQ(memory[0x10F], 31);
    EXPECT_EQ(memory[0x200], 0xFF);
}

TEST_F(MX25L3206EModelTest, BusyChipAnswersOnlyStatusReads)
{
    writeEnable();
    frame({0x02, 0, 0, 0, 0x00});
    EXPECT_TRUE(chip.busy());
    EXPECT_EQ(status(), MX25L3206E::kWip | MX25L3206E::kWel);
    EXPECT_EQ(read(0, 1), (std::vector<int>{-1}));
    EXPECT_EQ(frame({0x90, 0, 0, 0, 0, 0}), (std::vector<int>(6, -1)));
    frame({0x04});  // WRDI ignored
    wait(3 * kMillisecond);
    EXPECT_EQ(status(), 0) << "the page finished and cleared WEL itself";
    EXPECT_EQ(memory[0], 0x00);
}

TEST_F(MX25L3206EModelTest, StatusWriteNeedsTheLatchAndKeepsOnlyItsOwnBits)
{
    frame({0x01, 0x3C});
    EXPECT_EQ(chip.protectionLevel(), 0u) << "WRSR without WEL";

    writeEnable();
    frame({0x01, 0xFF});
    EXPECT_EQ(status() & MX25L3206E::kWip, MX25L3206E::kWip);
    wait(10 * kMillisecond);
    EXPECT_EQ(status(), 0xBC) << "WIP and WEL are read-only, bit 6 is reserved";
    writeStatus(0x03);
    EXPECT_EQ(status(), 0x00);
}

TEST_F(MX25L3206EModelTest, WholeArrayProtectionRefusesProgramAndErase)
{
    writeStatus(0x3F);
    EXPECT_EQ(chip.protectionLevel(), 15u);
    EXPECT_EQ(chip.protectedFrom(), 0u);

    writeEnable();
    frame({0x02, 0, 0, 0, 0x00});
    EXPECT_FALSE(chip.busy());
    EXPECT_EQ(memory[0], 0xFF);
    EXPECT_EQ(status(), 0x3C | MX25L3206E::kWel) << "a refused command leaves WEL as it was";

    memory[5] = 0x00;
    frame({0x60});
    EXPECT_FALSE(chip.busy());
    EXPECT_EQ(memory[5], 0x00);
}

TEST_F(MX25L3206EModelTest, PartialProtectionCoversTheTopBlocks)
{
    struct Case {
        std::uint8_t status;
        std::uint32_t protectedFrom;
    };
    const Case cases[] = {
        {0x00, MX25L3206E::kSize},  {0x04, 0x3F0000}, {0x08, 0x3E0000}, {0x0C, 0x3C0000}, {0x10, 0x380000},
        {0x14, 0x300000},           {0x18, 0x200000}, {0x1C, 0x000000}, {0x20, 0x000000}, {0x3C, 0x000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.status));
        writeStatus(c.status);
        EXPECT_EQ(chip.protectedFrom(), c.protectedFrom);
        if (c.protectedFrom > 0) {
            program(c.protectedFrom - 256, {0x00});
            EXPECT_EQ(memory[c.protectedFrom - 256], 0x00) << "last unprotected page";
        }
        if (c.protectedFrom < MX25L3206E::kSize) {
            program(c.protectedFrom, {0x00});
            EXPECT_EQ(memory[c.protectedFrom], 0xFF) << "first protected page";
            writeEnable();
            frame({0x60});
            EXPECT_FALSE(chip.busy()) << "no chip erase with any block protected";
            frame({0x04});
        }
    }
}

TEST_F(MX25L3206EModelTest, ChipEraseTakesSecondsAndIsPolled)
{
    memory[0] = 0x00;
    memory[MX25L3206E::kSize - 1] = 0x00;
    writeEnable();
    frame({0x60});
    EXPECT_EQ(status() & MX25L3206E::kWip, MX25L3206E::kWip);
    wait(10 * kSecond);
    EXPECT_EQ(status() & MX25L3206E::kWip, MX25L3206E::kWip);
    EXPECT_EQ(memory[0], 0x00) << "applied when the erase ends";
    wait(20 * kSecond);
    EXPECT_EQ(status(), 0);
    EXPECT_EQ(memory[0], 0xFF);
    EXPECT_EQ(memory[MX25L3206E::kSize - 1], 0xFF);
}

TEST_F(MX25L3206EModelTest, CommandsActOnlyOnWholeFrames)
{
    frame({0x06, 0x00});
    EXPECT_EQ(status() & MX25L3206E::kWel, 0) << "WREN with a trailing byte";
    writeEnable();
    frame({0x60, 0x00});
    EXPECT_FALSE(chip.busy()) << "CE with a trailing byte";
    frame({0x01, 0x3C, 0x00});
    EXPECT_FALSE(chip.busy()) << "WRSR with a trailing byte";
    frame({0x02, 0, 0, 0});
    EXPECT_FALSE(chip.busy()) << "PP without data";
}

TEST_F(MX25L3206EModelTest, FinishOperationAndPowerUp)
{
    writeEnable();
    frame({0x60});
    memory[7] = 0x00;
    chip.finishOperation();
    EXPECT_FALSE(chip.busy());
    EXPECT_EQ(memory[7], 0xFF);

    writeStatus(0x3F);
    writeEnable();
    chip.powerUp();
    EXPECT_EQ(status(), 0x3C) << "block protection is non-volatile, WEL is not";
}

TEST(MX25L3206EModelTiming, TypicalChipFitsTheFixedWaitsAndASlowOneDoesNot)
{
    const sim::MX25L3206ETiming typical;
    const sim::MX25L3206ETiming slow = sim::MX25L3206ETiming::slow();
    EXPECT_LT(typical.writeStatus, 10 * kMillisecond);
    EXPECT_LT(typical.pageProgram, 3 * kMillisecond);
    EXPECT_GE(typical.chipErase, kSecond);
    EXPECT_GT(slow.writeStatus, 10 * kMillisecond);
    EXPECT_GT(slow.pageProgram, 3 * kMillisecond);
    EXPECT_GT(slow.chipErase, typical.chipErase);
}

}  // namespace
