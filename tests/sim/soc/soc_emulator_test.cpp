// The SoC emulator as hardware: what its registers do when the emulated
// layer's primitives touch them directly, beyond what the layer's own
// transfer loops exercise.

#include "EmulatedPi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace {

class SocEmulator : public ::testing::Test {
protected:
    SocEmulator()
    {
        if (!pi.begin())
            throw std::runtime_error("no emulated SPI0");
        csReg = pi.spiReg(BCM2835_SPI0_CS);
        fifo = pi.spiReg(BCM2835_SPI0_FIFO);
    }

    std::uint32_t cs() { return bcm2835_peri_read(csReg); }
    std::uint32_t direct(volatile std::uint32_t* reg) { return __atomic_load_n(reg, __ATOMIC_RELAXED); }
    void setTa() { bcm2835_peri_set_bits(csReg, BCM2835_SPI0_CS_TA, BCM2835_SPI0_CS_TA); }
    // Reads CS until the flag is set, as a transfer loop does; how many reads it took.
    int pollUntil(std::uint32_t flag, int most = 1000)
    {
        for (int reads = 1; reads <= most; ++reads)
            if (cs() & flag)
                return reads;
        return -1;
    }
    std::vector<sim::Violation> violations() { return pi.wiring.violations().first(); }
    // A chip whose chip select is GPIO 24, an output of the Pi that idles high.
    void attachOnGpio24(ProbeChip& chip)
    {
        pi.wiring.setPull(24, true);
        pi.wiring.attach(chip, 24);
        bcm2835_gpio_write(24, 1);
        bcm2835_gpio_fsel(24, BCM2835_GPIO_FSEL_OUTP);
    }

    EmulatedPi pi;
    volatile std::uint32_t* csReg = nullptr;
    volatile std::uint32_t* fifo = nullptr;
};

constexpr std::uint32_t kRxr = 1u << 19;
constexpr std::uint32_t kRxf = 1u << 20;

TEST_F(SocEmulator, TheTransmitFifoHolds64BytesUntilTaIsSet)
{
    for (int i = 0; i < 70; ++i)
        bcm2835_peri_write_nb(fifo, static_cast<std::uint32_t>(i));
    EXPECT_EQ(cs() & BCM2835_SPI0_CS_TXD, 0u);
    EXPECT_EQ(pi.wiring.bytesOnBus(), 0u);
    EXPECT_FALSE(pi.ce0.selected);
    // The last six were lost, each a breach.
    EXPECT_EQ(pi.wiring.violations().count(), 6u);
    EXPECT_EQ(violations()[0].rule, "a byte written to the FIFO with the TX FIFO full (TXD clear) is lost");

    setTa();
    EXPECT_TRUE(pi.ce0.selected);
    EXPECT_GT(pollUntil(BCM2835_SPI0_CS_DONE), 0);
    EXPECT_EQ(cs() & (kRxf | kRxr), kRxf | kRxr);
    ASSERT_EQ(pi.ce0.lastFrame().size(), 64u);
    EXPECT_EQ(pi.ce0.lastFrame()[63], 63);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(bcm2835_peri_read_nb(fifo), static_cast<std::uint32_t>(~i & 0xFF));
    EXPECT_EQ(cs() & BCM2835_SPI0_CS_RXD, 0u);
}

TEST_F(SocEmulator, AByteShiftsOverEightClocksOfTheDivider)
{
    constexpr sim::Nanos kAccess = sim::SocEmulator::kAccessTime;
    // divider, eight SCLK periods of 250 MHz / divider, the status reads that see the byte shifting
    const std::vector<std::tuple<std::uint32_t, sim::Nanos, int>> cases = {
        {32, 1024, 1}, {256, 8192, 1}, {0, 8 * 65536 * 4, 1}, {16, 512, 1}, {2, 64, 0}};
    for (const auto& [divider, byteTime, shiftingReads] : cases) {
        bcm2835_spi_setClockDivider(divider);
        bcm2835_peri_set_bits(csReg, BCM2835_SPI0_CS_CLEAR, BCM2835_SPI0_CS_CLEAR);
        setTa();
        bcm2835_peri_write_nb(fifo, 0x5A);
        const sim::Nanos start = pi.clock.now();
        // While it shifts the FIFO has room, nothing is received and nothing is done.
        for (int read = 0; read < shiftingReads; ++read)
            EXPECT_EQ(cs() & (BCM2835_SPI0_CS_TXD | BCM2835_SPI0_CS_RXD | BCM2835_SPI0_CS_DONE),
                      BCM2835_SPI0_CS_TXD)
                << divider;
        // A read finding the same again spins: the clock moves on to the byte's end.
        EXPECT_EQ(cs() & (BCM2835_SPI0_CS_RXD | BCM2835_SPI0_CS_DONE), BCM2835_SPI0_CS_RXD | BCM2835_SPI0_CS_DONE)
            << divider;
        EXPECT_EQ(pi.clock.now() - start, std::max(byteTime, kAccess)) << divider;
        EXPECT_EQ(bcm2835_peri_read_nb(fifo), 0xA5u) << divider;
        bcm2835_peri_set_bits(csReg, 0, BCM2835_SPI0_CS_TA);
    }
    EXPECT_EQ(pi.wiring.violations().count(), 0u);
}

TEST_F(SocEmulator, EveryRegisterAccessTakesItsTime)
{
    const sim::Nanos start = pi.clock.now();
    for (int i = 0; i < 10; ++i)
        bcm2835_gpio_lev(26);
    bcm2835_gpio_set(26);
    EXPECT_EQ(pi.clock.now() - start, 11 * sim::SocEmulator::kAccessTime);
}

TEST_F(SocEmulator, AFullReceiveFifoStallsTheBusUntilRead)
{
    setTa();
    while (cs() & BCM2835_SPI0_CS_TXD)
        bcm2835_peri_write_nb(fifo, 0x11);
    EXPECT_GT(pollUntil(kRxf), 0);
    for (int read = 0; read < 5; ++read)
        EXPECT_EQ(cs() & (kRxf | BCM2835_SPI0_CS_DONE), kRxf);  // and nothing moves
    EXPECT_EQ(pi.wiring.bytesOnBus(), 64u);
    bcm2835_peri_read_nb(fifo);
    EXPECT_GT(pollUntil(kRxf), 0);
    cs();
    EXPECT_EQ(pi.wiring.bytesOnBus(), 65u);
    bcm2835_peri_write_nb(csReg, BCM2835_SPI0_CS_TA | BCM2835_SPI0_CS_CLEAR);
    EXPECT_EQ(cs() & (BCM2835_SPI0_CS_RXD | BCM2835_SPI0_CS_DONE), BCM2835_SPI0_CS_DONE);
    EXPECT_EQ(cs() & BCM2835_SPI0_CS_CLEAR, 0u);  // the clear bits act and read back 0
    EXPECT_EQ(pi.wiring.violations().count(), 0u);
}

TEST_F(SocEmulator, RxrFromThreeQuartersOfTheReceiveFifoWhileTaIsSet)
{
    setTa();
    for (int i = 0; i < 48; ++i)
        bcm2835_peri_write_nb(fifo, 0);
    EXPECT_GT(pollUntil(BCM2835_SPI0_CS_DONE), 0);
    EXPECT_EQ(cs() & (kRxr | kRxf), kRxr);
    bcm2835_peri_read_nb(fifo);
    EXPECT_EQ(cs() & kRxr, 0u);  // 47 left
    bcm2835_peri_write_nb(fifo, 0);
    EXPECT_GT(pollUntil(BCM2835_SPI0_CS_DONE), 0);
    bcm2835_peri_set_bits(csReg, 0, BCM2835_SPI0_CS_TA);
    EXPECT_EQ(cs() & (kRxr | BCM2835_SPI0_CS_RXD), BCM2835_SPI0_CS_RXD);  // not without TA
}

TEST_F(SocEmulator, DoneNeedsAnActiveTransfer)
{
    EXPECT_EQ(cs() & BCM2835_SPI0_CS_DONE, 0u);
    setTa();
    EXPECT_NE(cs() & BCM2835_SPI0_CS_DONE, 0u);
}

TEST_F(SocEmulator, BytesFinishWhileThePiSleeps)
{
    setTa();
    for (int i = 0; i < 10; ++i)
        bcm2835_peri_write_nb(fifo, static_cast<std::uint32_t>(i));
    EXPECT_LT(pi.wiring.bytesOnBus(), 10u);
    bcm2835_delay(1);
    EXPECT_EQ(pi.wiring.bytesOnBus(), 10u);
    EXPECT_EQ(pi.ce0.lastFrame().size(), 10u);
    EXPECT_NE(cs() & BCM2835_SPI0_CS_DONE, 0u);
}

TEST_F(SocEmulator, TheControllerOnlyDrivesChipSelectPinsInAlternateFunction0)
{
    bcm2835_gpio_write(7, 1);  // latched first, so the line never dips
    bcm2835_gpio_fsel(7, BCM2835_GPIO_FSEL_OUTP);
    bcm2835_spi_chipSelect(1);
    char tx[] = {0x01, 0x02};
    bcm2835_spi_writenb(tx, 2);
    EXPECT_TRUE(pi.ce1.frames.empty());
    EXPECT_EQ(pi.wiring.bytesOnBus(), 2u);  // the bytes crossed a bus nobody listened on
    bcm2835_gpio_fsel(7, BCM2835_GPIO_FSEL_INPT);
    EXPECT_TRUE(pi.wiring.level(7));  // back to the pull-up
}

TEST_F(SocEmulator, ChipSelectTwoHasNoPin)
{
    bcm2835_spi_chipSelect(2);
    char tx[] = {0x01};
    bcm2835_spi_writenb(tx, 1);
    EXPECT_TRUE(pi.ce0.frames.empty());
    EXPECT_TRUE(pi.ce1.frames.empty());
}

TEST_F(SocEmulator, ChipsOnGpioChipSelectsFollowTheirLines)
{
    ProbeChip flash("on GPIO 24");
    attachOnGpio24(flash);
    EXPECT_FALSE(flash.selected);
    bcm2835_gpio_write(24, 0);
    EXPECT_TRUE(flash.selected);
    char frame[] = {static_cast<char>(0x90), 0, 0, 0, 0, 0};
    bcm2835_spi_transfernb(frame, frame, sizeof frame);
    bcm2835_gpio_write(24, 1);
    EXPECT_FALSE(flash.selected);
    EXPECT_EQ(flash.frames.size(), 1u);
    EXPECT_EQ(flash.lastFrame().size(), 6u);
    // CE0 went low around the bytes too, with nobody else on it but the probe.
    EXPECT_EQ(pi.ce0.lastFrame().size(), 6u);
}

TEST_F(SocEmulator, TheLevelAndTimerWordsInMemoryStayCurrent)
{
    volatile std::uint32_t* lev0 = pi.gpioReg(BCM2835_GPLEV0);
    volatile std::uint32_t* lev1 = pi.gpioReg(BCM2835_GPLEV0 + 4);
    volatile std::uint32_t* clo = bcm2835_st + BCM2835_ST_CLO / 4;
    EXPECT_NE(direct(lev0) & (1u << 8), 0u);  // CE0 idles high
    pi.wiring.boardDrive(45, true);
    EXPECT_EQ(direct(lev1), 1u << 13);
    bcm2835_gpio_fsel(26, BCM2835_GPIO_FSEL_OUTP);
    bcm2835_gpio_write(26, 1);
    EXPECT_NE(direct(lev0) & (1u << 26), 0u);
    char tx[100] = {};
    bcm2835_spi_writenb(tx, sizeof tx);
    EXPECT_GE(direct(clo), 102u);  // 100 bytes of 1.024 us, and the accesses
    EXPECT_EQ(direct(clo), pi.clock.now() / sim::kMicrosecond);
    const std::uint32_t before = direct(clo);
    bcm2835_delay(2);
    EXPECT_EQ(direct(clo), before + 2000);
}

TEST_F(SocEmulator, OutputsKeepTheirLatchWhileInputs)
{
    bcm2835_gpio_set(20);
    EXPECT_FALSE(pi.wiring.level(20));
    bcm2835_gpio_fsel(20, BCM2835_GPIO_FSEL_OUTP);
    EXPECT_TRUE(pi.wiring.level(20));
    bcm2835_gpio_clr(20);
    EXPECT_FALSE(pi.wiring.level(20));
    EXPECT_EQ(bcm2835_peri_read(pi.gpioReg(BCM2835_GPSET0)), 0u);  // set and clear read as 0
}

TEST_F(SocEmulator, OtherRegistersAreMemory)
{
    volatile std::uint32_t* pads = bcm2835_pads + 0x2C / 4;
    bcm2835_peri_write(pads, 0x5A000018);
    EXPECT_EQ(bcm2835_peri_read(pads), 0x5A000018u);
    volatile std::uint32_t* dlen = pi.spiReg(0x0C);
    bcm2835_peri_write(dlen, 7);
    EXPECT_EQ(bcm2835_peri_read(dlen), 7u);
}

// --- The controller's rules ----------------------------------------------------------------

TEST(SocEmulatorPins, ChipsSeeTheClockOnlyThroughTheSpiPins)
{
    struct Case {
        std::uint8_t pin;    // taken out of alternate function 0
        bool chipSeesBytes;  // SCLK and MOSI reach it
        std::uint8_t read;   // what the controller reads back
        const char* rule;
    };
    const std::vector<Case> cases = {
        {11, false, 0xFF, "bytes shifted with GPIO 11 (SCLK) not in alternate function 0"},
        {10, false, 0xFF, "bytes shifted with GPIO 10 (MOSI) not in alternate function 0"},
        {9, true, 0x00, "bytes shifted with GPIO 9 (MISO) not in alternate function 0"},
    };
    for (const Case& c : cases) {
        EmulatedPi pi;
        ASSERT_TRUE(pi.begin());
        bcm2835_gpio_fsel(c.pin, BCM2835_GPIO_FSEL_INPT);
        char buffer[] = {0x0F, 0x0F};
        bcm2835_spi_transfernb(buffer, buffer, sizeof buffer);
        EXPECT_EQ(pi.ce0.lastFrame().size(), c.chipSeesBytes ? 2u : 0u) << int(c.pin);
        EXPECT_EQ(static_cast<std::uint8_t>(buffer[1]), c.read) << int(c.pin);
        EXPECT_EQ(pi.wiring.bytesOnBus(), 2u) << int(c.pin);
        ASSERT_EQ(pi.wiring.violations().count(), 1u) << int(c.pin);  // once a frame
        EXPECT_EQ(pi.wiring.violations().first()[0].where, "SPI0");
        EXPECT_EQ(pi.wiring.violations().first()[0].rule, c.rule);
    }
}

TEST_F(SocEmulator, AFrameReachesOnlyAChipThatTakesItsMode)
{
    ProbeChip modeZero("MODE0 CHIP", sim::SpiDevice::kMode0);
    pi.wiring.setPull(16, true);
    pi.wiring.attach(modeZero, 16);
    bcm2835_gpio_write(16, 1);
    bcm2835_gpio_fsel(16, BCM2835_GPIO_FSEL_OUTP);
    // mode, whether the probe on CE0 (modes 0 and 3) sees it, whether the mode-0 chip does
    const std::vector<std::tuple<std::uint8_t, bool, bool>> cases = {
        {0, true, true}, {1, false, false}, {2, false, false}, {3, true, false}};
    for (const auto& [mode, ce0Sees, modeZeroSees] : cases) {
        bcm2835_spi_setDataMode(mode);
        bcm2835_gpio_write(16, 0);
        char tx[] = {0x42, 0x43};
        bcm2835_spi_writenb(tx, 2);
        bcm2835_gpio_write(16, 1);
        EXPECT_EQ(pi.ce0.lastFrame().size(), ce0Sees ? 2u : 0u) << int(mode);
        EXPECT_EQ(modeZero.lastFrame().size(), modeZeroSees ? 2u : 0u) << int(mode);
    }
    // Modes 1 and 2 to both chips, mode 3 to the mode-0 chip: once a frame each.
    ASSERT_EQ(pi.wiring.violations().count(), 5u);
    EXPECT_EQ(violations().back().where, "SPI0");
    EXPECT_EQ(violations().back().rule, "a frame in SPI mode 3 to the MODE0 CHIP, which takes no such mode");
}

TEST_F(SocEmulator, ClearingTaEarlyEndsTheFrameAtTheHardwareChipSelectOnly)
{
    ProbeChip onGpio("on GPIO 24");
    attachOnGpio24(onGpio);
    bcm2835_gpio_write(24, 0);
    setTa();
    for (int i = 0; i < 5; ++i)
        bcm2835_peri_write_nb(fifo, static_cast<std::uint32_t>(i));
    cs();
    cs();  // the first byte done, the second shifting
    bcm2835_peri_set_bits(csReg, 0, BCM2835_SPI0_CS_TA);
    EXPECT_FALSE(pi.ce0.selected);
    EXPECT_TRUE(onGpio.selected);
    EXPECT_EQ(pi.ce0.lastFrame(), bytes({0}));
    EXPECT_EQ(onGpio.lastFrame(), bytes({0}));
    EXPECT_EQ(pi.wiring.bytesOnBus(), 1u);  // the partial byte is lost
    ASSERT_EQ(pi.wiring.violations().count(), 1u);
    EXPECT_EQ(violations()[0].where, "SPI0");
    EXPECT_EQ(violations()[0].rule, "TA cleared with 4 bytes of the frame still to shift");
    EXPECT_EQ(violations()[0].busByte, 1u);
}

TEST_F(SocEmulator, ReadingAnEmptyReceiveFifoIsABreach)
{
    setTa();
    EXPECT_EQ(bcm2835_peri_read_nb(fifo), 0u);
    ASSERT_EQ(pi.wiring.violations().count(), 1u);
    EXPECT_EQ(violations()[0].rule, "FIFO read with the RX FIFO empty (RXD clear)");
}

// A chip that only talks after its first byte: it answers its byte number
// in the frame, and gives answers ahead.
class Talker : public sim::SpiDevice {
public:
    const char* name() const override { return "TALKER"; }
    void select() override { n_ = 0; }
    bool exchange(std::uint8_t, std::uint8_t& miso) override
    {
        ++exchanged;
        miso = static_cast<std::uint8_t>(n_++);
        return true;
    }
    std::size_t answersAhead(std::uint8_t* miso, std::size_t count) override
    {
        if (n_ == 0)
            return 0;
        for (std::size_t i = 0; i < count; ++i)
            miso[i] = static_cast<std::uint8_t>(n_++);
        answered += count;
        return count;
    }
    void deselect() override {}

    unsigned exchanged = 0;
    unsigned answered = 0;

private:
    unsigned n_ = 0;
};

TEST(SocEmulatorAhead, AnswersGivenAheadCrossTheBusInTheirOwnTime)
{
    EmulatedPi pi;
    Talker talker;
    pi.wiring.setPull(24, true);
    pi.wiring.attach(talker, 24);
    ASSERT_TRUE(pi.begin());
    bcm2835_spi_chipSelect(2);  // the talker alone on the bus
    bcm2835_gpio_write(24, 1);
    bcm2835_gpio_fsel(24, BCM2835_GPIO_FSEL_OUTP);
    bcm2835_gpio_write(24, 0);
    std::vector<char> buffer(200);
    const sim::Nanos start = pi.clock.now();
    bcm2835_spi_transfernb(buffer.data(), buffer.data(), 200);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(static_cast<std::uint8_t>(buffer[i]), i) << i;
    EXPECT_GT(talker.answered, 0u);
    EXPECT_EQ(talker.exchanged + talker.answered, 200u);
    EXPECT_EQ(pi.wiring.bytesOnBus(), 200u);
    EXPECT_GE(pi.clock.now() - start, 200 * pi.wiring.byteTime());

    // Cut short: what was answered ahead but never shifted is not on the bus.
    char more[100] = {};
    bcm2835_peri_set_bits(pi.spiReg(BCM2835_SPI0_CS), BCM2835_SPI0_CS_CLEAR, BCM2835_SPI0_CS_CLEAR);
    bcm2835_peri_set_bits(pi.spiReg(BCM2835_SPI0_CS), BCM2835_SPI0_CS_TA, BCM2835_SPI0_CS_TA);
    for (int i = 0; i < 50; ++i)
        bcm2835_peri_write_nb(pi.spiReg(BCM2835_SPI0_FIFO), static_cast<std::uint8_t>(more[i]));
    for (int i = 0; i < 4; ++i)
        bcm2835_peri_read(pi.spiReg(BCM2835_SPI0_CS));
    bcm2835_peri_read_nb(pi.spiReg(BCM2835_SPI0_FIFO));
    bcm2835_peri_set_bits(pi.spiReg(BCM2835_SPI0_CS), 0, BCM2835_SPI0_CS_TA);
    EXPECT_LT(pi.wiring.bytesOnBus(), 250u);
    EXPECT_EQ(pi.wiring.violations().count(), 1u);
}

// A flash busy until `until`: READ STATUS answers WIP and WEL, then WEL
// alone; it takes a status poll whole while it stays busy past the poll.
class BusyFlash : public sim::SpiDevice {
public:
    explicit BusyFlash(const sim::VirtualClock& clock) : clock_(clock) {}
    const char* name() const override { return "busy flash"; }
    void select() override
    {
        ++frames;
        opcode_.reset();
    }
    bool exchange(std::uint8_t mosi, std::uint8_t& miso) override
    {
        if (!opcode_) {
            opcode_ = mosi;
            return false;
        }
        miso = *opcode_ == 0x05 ? (clock_.now() < until ? 0x03 : 0x02) : 0x5A;
        return true;
    }
    void deselect() override {}
    bool quietFrameHolds(const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count,
                         sim::Nanos end) const override
    {
        if (mosi[0] != 0x05 || end >= until)
            return false;
        if (miso) {
            miso[0] = 0xFF;
            std::fill(miso + 1, miso + count, 0x03);
        }
        return true;
    }
    bool quietFrame(const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count, sim::Nanos end) override
    {
        frames += quietFrameHolds(mosi, miso, count, end) ? 1 : 0;
        return quietFrameHolds(mosi, miso, count, end);
    }
    bool busy() const override { return clock_.now() < until; }

    sim::Nanos until = 0;
    unsigned frames = 0;

private:
    const sim::VirtualClock& clock_;
    std::optional<std::uint8_t> opcode_;
};

// Status polls by hand, as the layer's transfer loop makes them, with one
// thing more in the middle of one of them. Answered from memory or not,
// every read gives the same, and the clock, the bus and the chip end alike.
TEST(SocEmulatorPolls, APollAnsweredFromMemoryGoesAsEveryAccessWouldWhateverComesInBetween)
{
    enum class Extra { None, LevelRead, Sleep, OtherCommand };
    struct Row {
        const char* name;
        Extra extra;
        int frame;  // the poll it comes in
        int at;     // after this many of the poll's steps
        sim::Nanos busyFor;
    };
    const Row rows[] = {
        {"polls alone", Extra::None, 0, 0, 10000000},
        {"a GPIO level read after the bytes are written", Extra::LevelRead, 4, 4, 10000000},
        {"a GPIO level read before the answers are read", Extra::LevelRead, 4, 5, 10000000},
        {"a sleep while the bytes shift", Extra::Sleep, 4, 4, 10000000},
        {"another command", Extra::OtherCommand, 5, 0, 10000000},
        {"the chip done part way", Extra::None, 0, 0, 60000},
    };
    struct Result {
        std::vector<std::uint32_t> seen;
        sim::Nanos now = 0;
        std::array<sim::Nanos, 3> spent{};
        std::uint64_t bytes = 0;
        std::uint64_t accesses = 0;
        std::uint64_t fromMemory = 0;
        unsigned frames = 0;
    };
    const auto run = [](const Row& row, bool memo) {
        sim::VirtualClock clock;
        sim::BoardWiring wiring{clock};
        sim::SocEmulator soc{wiring};
        BusyFlash flash{clock};
        wiring.setPull(BCM2835_SPI0_CE0_PIN, true);
        wiring.setPull(BCM2835_SPI0_CE1_PIN, true);
        wiring.attach(flash, BCM2835_SPI0_CE0_PIN);
        soc.answerPollsFromMemory(memo);
        LayerState layer;
        Result r;
        if (bcm2835_init() != 1 || bcm2835_spi_begin() != 1) {
            ADD_FAILURE() << "no emulated SPI0";
            return r;
        }
        flash.until = clock.now() + row.busyFor;
        volatile std::uint32_t* cs = bcm2835_spi0 + BCM2835_SPI0_CS / 4;
        volatile std::uint32_t* fifo = bcm2835_spi0 + BCM2835_SPI0_FIFO / 4;
        const auto read = [&r](volatile std::uint32_t* reg) {
            r.seen.push_back(bcm2835_peri_read(reg));
            return r.seen.back();
        };
        const auto waitFor = [&](std::uint32_t flag) {
            for (int reads = 0; reads < 1000 && !(read(cs) & flag); ++reads) {
            }
        };
        for (int frame = 0; frame < 8; ++frame) {
            const std::uint8_t out[2] = {
                static_cast<std::uint8_t>(row.extra == Extra::OtherCommand && frame == row.frame ? 0x9F : 0x05), 0};
            int step = 0;
            const auto next = [&] {
                if (frame != row.frame || step++ != row.at)
                    return;
                if (row.extra == Extra::LevelRead)
                    read(bcm2835_gpio + BCM2835_GPLEV0 / 4);
                else if (row.extra == Extra::Sleep)
                    bcm2835_delay(1);
            };
            next();
            bcm2835_peri_set_bits(cs, BCM2835_SPI0_CS_CLEAR, BCM2835_SPI0_CS_CLEAR);
            next();
            bcm2835_peri_set_bits(cs, BCM2835_SPI0_CS_TA, BCM2835_SPI0_CS_TA);
            for (std::uint8_t byte : out) {
                next();
                waitFor(BCM2835_SPI0_CS_TXD);
                bcm2835_peri_write_nb(fifo, byte);
            }
            for (int i = 0; i < 2; ++i) {
                next();
                waitFor(BCM2835_SPI0_CS_RXD);
                read(fifo);
            }
            next();
            waitFor(BCM2835_SPI0_CS_DONE);
            bcm2835_peri_set_bits(cs, 0, BCM2835_SPI0_CS_TA);
        }
        r.now = clock.now();
        for (int kind = 0; kind < 3; ++kind)
            r.spent[kind] = clock.spent(static_cast<sim::TimeKind>(kind));
        r.bytes = wiring.bytesOnBus();
        r.accesses = soc.registerAccesses();
        r.fromMemory = soc.framesFromMemory();
        r.frames = flash.frames;
        EXPECT_EQ(wiring.violations().count(), 0u) << wiring.violations().describe().join("\n").toStdString();
        return r;
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Result memo = run(row, true);
        const Result plain = run(row, false);
        EXPECT_GE(memo.fromMemory, row.busyFor > 1000000 ? 5u : 1u);
        EXPECT_EQ(plain.fromMemory, 0u);
        EXPECT_EQ(memo.seen, plain.seen);
        EXPECT_EQ(memo.now, plain.now);
        EXPECT_EQ(memo.spent, plain.spent);
        EXPECT_EQ(memo.bytes, plain.bytes);
        EXPECT_EQ(memo.accesses, plain.accesses);
        EXPECT_EQ(memo.frames, plain.frames);
    }
}

using SocEmulatorDeathTest = SocEmulator;

TEST_F(SocEmulatorDeathTest, AnAccessOutsideTheWindowIsFatal)
{
    volatile std::uint32_t* beyond = bcm2835_peripherals + BCM2835_PERI_SIZE / 4;
    EXPECT_DEATH(bcm2835_peri_read(beyond), "outside the mapped peripherals");
}

}  // namespace
