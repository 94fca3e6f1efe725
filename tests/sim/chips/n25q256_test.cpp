// The N25Q256 model behaves as the datasheet says, including what the driver
// never relies on, so that driver faults show up on the virtual board.

#include "BoardWiring.h"
#include "N25Q256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct N25Q256ModelTest : ::testing::Test {
    N25Q256ModelTest() : memory(sim::N25Q256::kSize, 0xFF)
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
    sim::FlashFaults faults;
    sim::N25Q256 chip{memory.data(), clock, faults};
};

TEST_F(N25Q256ModelTest, IdentificationAndUndrivenBytes)
{
    const Bytes id = frame(Bytes(21, 0x9E));
    EXPECT_EQ(Bytes(id.begin() + 1, id.begin() + 4), (Bytes{0x20, 0xBA, 0x19}));
    EXPECT_EQ(id[0], 0xFF);  // nothing drives MISO during the opcode
    // Nobody selected: MISO floats high.
    EXPECT_EQ(wiring.transfer(0x9E), 0xFF);
}

TEST_F(N25Q256ModelTest, ProgramNeedsWriteEnableAndOnlyClearsBits)
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

TEST_F(N25Q256ModelTest, PageProgramWrapsInsideItsPage)
{
    frame({0x06});
    command(0x02, 0x2FE, {1, 2, 3, 4});
    waitReady();
    EXPECT_EQ(read(0x2FE, 2), (Bytes{1, 2}));
    EXPECT_EQ(read(0x200, 2), (Bytes{3, 4}));
    EXPECT_EQ(memory[0x300], 0xFF);
}

TEST_F(N25Q256ModelTest, EraseClearsTheWholeUnitHoldingTheAddress)
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

TEST_F(N25Q256ModelTest, AnEraseFrameWithExtraBytesDoesNothing)
{
    std::fill(memory.begin(), memory.begin() + 0x1000, 0x00);
    frame({0x06});
    command(0x20, 0x0, {0x00});
    waitReady();
    EXPECT_EQ(memory[0], 0x00);
}

TEST_F(N25Q256ModelTest, BusyTimesAreTheDatasheetsTypicalOnes)
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

TEST_F(N25Q256ModelTest, CommandsOtherThanReadStatusAreIgnoredWhileBusy)
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

TEST_F(N25Q256ModelTest, ReadsContinueAndWrapAtSixteenMebibytes)
{
    memory[0xFFFFFF] = 0x11;
    memory[0x000000] = 0x22;
    memory[0x1000000] = 0x33;  // beyond 3-byte addressing
    EXPECT_EQ(read(0xFFFFFF, 2), (Bytes{0x11, 0x22}));
}

TEST_F(N25Q256ModelTest, AnAbsentChipLeavesMisoFloating)
{
    faults.absent = true;
    EXPECT_EQ(frame(Bytes(21, 0x9E)), Bytes(21, 0xFF));
    EXPECT_EQ(status(), 0xFF);
    frame({0x06});
    command(0x20, 0);
    faults.absent = false;
    EXPECT_EQ(status(), 0x00);  // the erase never started
}

TEST_F(N25Q256ModelTest, AStuckBusyBitIgnoresEverythingButStatus)
{
    memory[0x10] = 0x42;
    faults.busyStuck = true;
    for (int i = 0; i < 1000; ++i)
        EXPECT_EQ(status() & 0x01, 0x01);
    EXPECT_EQ(read(0x10, 1), Bytes{0xFF});
    EXPECT_EQ(frame(Bytes(4, 0x9E))[3], 0xFF);
}

TEST_F(N25Q256ModelTest, BitsInAFailingRangeStayAsTheyWere)
{
    faults.programFail = std::make_pair(0x102u, 2u);
    frame({0x06});
    command(0x02, 0x100, {0x00, 0x00, 0x00, 0x00, 0x00});
    waitReady();
    EXPECT_EQ(read(0x100, 5), (Bytes{0x00, 0x00, 0xFF, 0xFF, 0x00}));
}

TEST_F(N25Q256ModelTest, AReadDisturbanceFlipsBitsAtOneAddress)
{
    memory[0x2000] = 0x10;
    memory[0x2001] = 0x10;
    faults.readFlip = std::make_pair(0x2001u, std::uint8_t{0x81});
    EXPECT_EQ(read(0x2000, 3), (Bytes{0x10, 0x91, 0xFF}));
    EXPECT_EQ(memory[0x2001], 0x10);  // the stored byte is intact
}

TEST_F(N25Q256ModelTest, ASlowChipStaysBusyLonger)
{
    faults.slowFactor = 10;
    frame({0x06});
    command(0x02, 0, {0});
    const sim::Nanos start = clock.now();
    waitReady();
    EXPECT_GE(clock.now() - start, 5 * sim::kMillisecond);
}

TEST_F(N25Q256ModelTest, APowerCutLeavesAnEraseUnderWayPartlyDone)
{
    std::fill(memory.begin(), memory.begin() + 0x10000, 0x00);
    const std::vector<std::uint8_t> before = memory;
    frame({0x06});
    command(0xD8, 0);
    clock.advance(350 * sim::kMillisecond, sim::TimeKind::Wait);  // half of the 0.7 s
    chip.cutPower(7);
    const auto erased = std::count(memory.begin(), memory.begin() + 0x10000, 0xFF);
    EXPECT_GT(erased, 0x10000 * 4 / 10);
    EXPECT_LT(erased, 0x10000 * 6 / 10);
    EXPECT_EQ(status(), 0x00);  // nothing under way after the power comes back

    // The same cut with the same seed leaves the same bytes.
    const std::vector<std::uint8_t> first = memory;
    memory = before;
    frame({0x06});
    command(0xD8, 0);
    clock.advance(350 * sim::kMillisecond, sim::TimeKind::Wait);
    chip.cutPower(7);
    EXPECT_TRUE(memory == first);
}

TEST_F(N25Q256ModelTest, AFrameCutShortByThePowerDoesNothing)
{
    frame({0x06});
    wiring.piDrive(7, false);
    for (std::uint8_t b : {0x02, 0x00, 0x01, 0x00, 0x00})
        wiring.transfer(b);
    chip.cutPower(1);  // the chip never saw its chip select rise
    EXPECT_EQ(memory[0x100], 0xFF);
}

// A status poll of a busy chip goes over the wiring as one whole frame where
// nothing watches its bytes; it must be the poll byte by byte all the same:
// the same answers, bus bytes and time, the last busy poll at the same byte,
// a power cut inside a poll at the same byte with the same erase left.
TEST(N25Q256QuietPolls, APollTakenWholeIsThePollByteByByte)
{
    // Passes every call on to the chip, counting selections: a poll taken
    // whole selects nothing.
    class CountingPort : public sim::SpiDevice {
    public:
        explicit CountingPort(sim::N25Q256& chip) : chip_(chip) {}
        const char* name() const override { return chip_.name(); }
        void select() override
        {
            ++selects;
            chip_.select();
        }
        bool exchange(std::uint8_t mosi, std::uint8_t& miso) override { return chip_.exchange(mosi, miso); }
        void deselect() override { chip_.deselect(); }
        bool quietFrame(const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count, sim::Nanos end) override
        {
            return chip_.quietFrame(mosi, miso, count, end);
        }
        bool busy() const override { return chip_.busy(); }
        int selects = 0;

    private:
        sim::N25Q256& chip_;
    };
    struct Board {
        explicit Board(bool bytesWatched)
        {
            wiring.setPull(7, true);
            wiring.piDrive(7, true);
            wiring.attach(port, 7);
            if (bytesWatched)
                wiring.addObserver(byteWatch);
        }
        std::vector<std::uint8_t> memory = std::vector<std::uint8_t>(sim::N25Q256::kSize, 0x00);
        sim::VirtualClock clock;
        sim::BoardWiring wiring{clock};
        sim::FlashFaults faults;
        sim::N25Q256 chip{memory.data(), clock, faults};
        CountingPort port{chip};
        sim::WireObserver byteWatch;  // sees every byte, so the bus takes them one by one
        std::vector<std::uint8_t> answers;
        std::uint64_t cutAtByte = 0;
    };
    struct Case {
        const char* name;
        unsigned slowFactor;
        std::uint64_t cutAt;  // bus bytes; 0: no power cut
    };
    const Case cases[] = {
        {"a subsector erase", 1, 0},
        {"a slow chip", 3, 0},
        {"a power cut inside the 1000th poll", 1, 5 + 3 * 999 + 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Board quiet(false);
        Board watched(true);
        for (Board* b : {&quiet, &watched}) {
            b->faults.slowFactor = c.slowFactor;
            b->wiring.setByteAlarm(c.cutAt, [b] {
                b->cutAtByte = b->wiring.bytesOnBus();
                b->chip.cutPower(3);
            });
            const std::uint8_t writeEnable[] = {0x06};
            const std::uint8_t erase[] = {0x20, 0x01, 0x00, 0x00};
            b->wiring.frame(7, false, writeEnable, nullptr, 1);
            b->wiring.frame(7, false, erase, nullptr, 4);
            std::uint8_t rx[3] = {};
            do {
                const std::uint8_t poll[] = {0x05, 0x00, 0x00};
                b->wiring.frame(7, false, poll, rx, 3);
                b->answers.insert(b->answers.end(), rx, rx + 3);
            } while (rx[2] & 0x01);
        }
        EXPECT_LT(quiet.port.selects, watched.port.selects / 2);
        EXPECT_GE(quiet.answers.size(), 3000u);
        EXPECT_TRUE(quiet.answers == watched.answers);
        EXPECT_EQ(quiet.wiring.bytesOnBus(), watched.wiring.bytesOnBus());
        EXPECT_EQ(quiet.clock.now(), watched.clock.now());
        EXPECT_EQ(quiet.clock.spent(sim::TimeKind::BusyPoll), watched.clock.spent(sim::TimeKind::BusyPoll));
        EXPECT_EQ(quiet.cutAtByte, c.cutAt);
        EXPECT_EQ(watched.cutAtByte, c.cutAt);
        EXPECT_TRUE(quiet.memory == watched.memory);
        EXPECT_EQ(quiet.wiring.violations().count(), 0u);
    }
}

}  // namespace
