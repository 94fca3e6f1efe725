// The wiring's own bookkeeping: a power cut's byte alarm rings at its byte
// wherever that byte falls, and a frame reaches only a chip that takes its
// SPI mode.

#include "BoardWiring.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A chip that answers each byte with its number in the frame and takes the
// bytes after the first four in runs as long as it is offered.
class Counter : public sim::SpiDevice {
public:
    explicit Counter(unsigned modes = kMode0 | kMode3) : modes_(modes) {}
    const char* name() const override { return "COUNTER"; }
    unsigned spiModes() const override { return modes_; }
    void select() override { n_ = 0; }
    bool exchange(std::uint8_t, std::uint8_t& miso) override
    {
        miso = static_cast<std::uint8_t>(n_++);
        return true;
    }
    std::size_t exchangeRun(const std::uint8_t*, std::uint8_t* miso, std::size_t count) override
    {
        for (std::size_t i = 0; i < count; ++i)
            miso[i] = static_cast<std::uint8_t>(n_++);
        return count;
    }
    void deselect() override {}

private:
    unsigned modes_;
    unsigned n_ = 0;
};

TEST(BoardWiring, TheByteAlarmRingsAtItsByteWhereverItFalls)
{
    // alarm at byte, with frames of 300 bytes: in a frame's head, in a run, a
    // run's last byte, the next frame's first, never
    for (const std::uint64_t at : {2u, 150u, 300u, 301u, 0u}) {
        sim::VirtualClock clock;
        sim::BoardWiring wiring(clock);
        Counter chip;
        wiring.setPull(5, true);
        wiring.attach(chip, 5);
        std::uint64_t rangAt = 0;
        sim::Nanos rangTime = 0;
        wiring.setByteAlarm(at, [&] {
            rangAt = wiring.bytesOnBus();
            rangTime = clock.now();
        });
        std::vector<std::uint8_t> mosi(300);
        std::vector<std::uint8_t> miso(300);
        for (int frame = 0; frame < 2; ++frame)
            wiring.frame(5, false, mosi.data(), miso.data(), mosi.size());
        EXPECT_EQ(rangAt, at) << at;
        EXPECT_EQ(rangTime, at * wiring.byteTime()) << at;  // with the byte's time spent
        EXPECT_EQ(miso[299], 43) << at;                     // 299 counted from the frame's start, as a byte
    }
}

TEST(BoardWiring, AChipGetsOnlyTheModesItTakes)
{
    sim::VirtualClock clock;
    sim::BoardWiring wiring(clock);
    Counter modeZero(sim::SpiDevice::kMode0);
    wiring.setPull(5, true);
    wiring.attach(modeZero, 5);
    wiring.piDrive(5, false);
    // mode, what the bus reads back
    const std::vector<std::pair<unsigned, std::uint8_t>> cases = {{0, 0}, {3, 0xFF}, {0, 1}, {1, 0xFF}};
    for (const auto& [mode, read] : cases)
        EXPECT_EQ(wiring.transfer(0x00, sim::ByteClocks{mode, true, wiring.byteTime()}), read) << mode;
    // Once in the frame, however many bytes go astray.
    EXPECT_EQ(wiring.violations().count(), 1u);
    EXPECT_EQ(wiring.violations().first()[0].rule, "a frame in SPI mode 3 to the COUNTER, which takes no such mode");
    EXPECT_EQ(wiring.bytesOnBus(), 4u);
}

}  // namespace
