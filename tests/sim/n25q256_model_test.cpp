// The N25Q256 model behaves as the datasheet says, including what the driver
// never relies on, so that driver faults show up on the virtual board.

#include "sim/BoardWiring.h"
#include "sim/N25Q256.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct ModelTest : ::testing::Test {
    ModelTest() : memory(sim::N25Q256::kSize, 0xFF)
    {
        wiring.setPull(7, true);
        wiring.attach(chip, 7);
    }

    Bytes frame(const Bytes& tx)
    {
        wiring.piDrive(7, false);
        Bytes rx;
        for (std::uint8_t b : tx)
            rx.push_back(wiring.transfer(b));
        wiring.piDrive(7, true);
        return rx;
    }

    Bytes command(std::uint8_t opcode, std::uint32_t address, Bytes data = {})
    {
        Bytes tx = {opcode, std::uint8_t(address >> 16), std::uint8_t(address >> 8), std::uint8_t(address)};
        tx.insert(tx.end(), data.begin(), data.end());
        return frame(tx);
    }

    std::uint8_t status() { return frame({0x05, 0x00})[1]; }

    void waitReady()
    {
        while (status() & 0x01) {
        }
    }

    Bytes read(std::uint32_t address, std::size_t length)
    {
        const Bytes rx = command(0x03, address, Bytes(length, 0));
        return Bytes(rx.begin() + 4, rx.end());
    }

    std::vector<std::uint8_t> memory;
    sim::VirtualClock clock;
    sim::BoardWiring wiring{clock};
    sim::N25Q256 chip{memory.data(), clock};
};

TEST_F(ModelTest, IdentificationAndUndrivenBytes)
{
    const Bytes id = frame(Bytes(21, 0x9E));
    EXPECT_EQ(Bytes(id.begin() + 1, id.begin() + 4), (Bytes{0x20, 0xBA, 0x19}));
    EXPECT_EQ(id[0], 0xFF);  // nothing drives MISO during the opcode
    // Nobody selected: MISO floats high.
    EXPECT_EQ(wiring.transfer(0x9E), 0xFF);
}

TEST_F(ModelTest, ProgramNeedsWriteEnableAndOnlyClearsBits)
{
    command(0x02, 0x100, {0x00});
    waitReady();
    EXPECT_EQ(memory[0x100], 0xFF);  // ignored without WEL

    frame({0x06});
    EXPECT_EQ(status() & 0x02, 0x02);
    command(0x02, 0x100, {0xF0, 0x0F});
    EXPECT_EQ(status() & 0x01, 0x01);
    waitReady();
    EXPECT_EQ(status() & 0x02, 0x00);  // WEL cleared when the program ends
    frame({0x06});
    command(0x02, 0x100, {0x3C, 0xFF});
    waitReady();
    EXPECT_EQ(read(0x100, 2), (Bytes{0x30, 0x0F}));
}

TEST_F(ModelTest, PageProgramWrapsInsideItsPage)
{
    frame({0x06});
    command(0x02, 0x2FE, {1, 2, 3, 4});
    waitReady();
    EXPECT_EQ(read(0x2FE, 2), (Bytes{1, 2}));
    EXPECT_EQ(read(0x200, 2), (Bytes{3, 4}));
    EXPECT_EQ(memory[0x300], 0xFF);
}

TEST_F(ModelTest, EraseClearsTheWholeUnitHoldingTheAddress)
{
    std::fill(memory.begin(), memory.begin() + 0x30000, 0x00);
    frame({0x06});
    command(0x20, 0x1234);
    waitReady();
    EXPECT_EQ(read(0x0FFF, 3), (Bytes{0x00, 0xFF, 0xFF}));
    EXPECT_EQ(read(0x1FFF, 2), (Bytes{0xFF, 0x00}));

    frame({0x06});
    command(0xD8, 0x1ABCD);
    waitReady();
    EXPECT_EQ(read(0x0FFFF, 2), (Bytes{0x00, 0xFF}));
    EXPECT_EQ(read(0x1FFFF, 2), (Bytes{0xFF, 0x00}));
}

TEST_F(ModelTest, AnEraseFrameWithExtraBytesDoesNothing)
{
    std::fill(memory.begin(), memory.begin() + 0x1000, 0x00);
    frame({0x06});
    command(0x20, 0x0, {0x00});
    waitReady();
    EXPECT_EQ(memory[0], 0x00);
}

TEST_F(ModelTest, BusyTimesAreTheDatasheetsTypicalOnes)
{
    struct Case {
        std::uint8_t opcode;
        Bytes data;
        sim::Nanos typical;
    };
    for (const Case& c : {Case{0x02, {0}, 500 * sim::kMicrosecond}, Case{0x20, {}, 250 * sim::kMillisecond},
                          Case{0xD8, {}, 700 * sim::kMillisecond}}) {
        frame({0x06});
        command(c.opcode, 0x10000, c.data);
        const sim::Nanos start = clock.now();
        waitReady();
        EXPECT_GE(clock.now() - start, c.typical);
        EXPECT_LT(clock.now() - start, c.typical + 10 * sim::kMicrosecond);
    }
}

TEST_F(ModelTest, CommandsOtherThanReadStatusAreIgnoredWhileBusy)
{
    memory[0x5000] = 0x42;
    frame({0x06});
    command(0xD8, 0x0);
    EXPECT_EQ(read(0x5000, 1), Bytes{0xFF});            // read ignored: MISO floats
    EXPECT_EQ(frame(Bytes(4, 0x9E))[3], 0xFF);         // identification ignored
    frame({0x06});
    command(0x20, 0x40000);                             // a second erase ignored
    waitReady();
    EXPECT_EQ(read(0x5000, 1), Bytes{0xFF});            // the sector erase did happen
    memory[0x40000] = 0x42;
    waitReady();
    EXPECT_EQ(memory[0x40000], 0x42);
}

TEST_F(ModelTest, ReadsContinueAndWrapAtSixteenMebibytes)
{
    memory[0xFFFFFF] = 0x11;
    memory[0x000000] = 0x22;
    memory[0x1000000] = 0x33;  // beyond 3-byte addressing
    EXPECT_EQ(read(0xFFFFFF, 2), (Bytes{0x11, 0x22}));
}

}  // namespace
