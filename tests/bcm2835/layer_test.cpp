// The register layer's emulated variant on the SoC emulator: mapping, GPIO,
// SPI0, delays and debug mode, seen in registers and on the board's wires.

#include "EmulatedPi.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <numeric>
#include <string>

namespace {

volatile std::uint32_t* const kUnmapped = static_cast<volatile std::uint32_t*>(MAP_FAILED);

std::vector<volatile std::uint32_t*> allBlocks()
{
    return {bcm2835_peripherals, bcm2835_gpio, bcm2835_pwm, bcm2835_clk, bcm2835_pads, bcm2835_spi0,
            bcm2835_bsc0,        bcm2835_bsc1, bcm2835_st,  bcm2835_aux, bcm2835_spi1};
}

std::uintptr_t address(volatile std::uint32_t* p)
{
    return reinterpret_cast<std::uintptr_t>(p);
}

// --- Mapping ------------------------------------------------------------------------

TEST(Bcm2835Mapping, InitAsRootMapsTheWholeWindowWithEveryBlockAtItsOffset)
{
    EmulatedPi pi;
    ASSERT_EQ(bcm2835_init(), 1);
    EXPECT_EQ(pi.soc.mappedDevice(), "/dev/mem");
    EXPECT_EQ(pi.soc.mappedOffset(), 0x20000000u);
    EXPECT_EQ(pi.soc.mappedSize(), 0x01000000u);
    const std::uintptr_t base = address(bcm2835_peripherals);
    const std::pair<volatile std::uint32_t*, std::uintptr_t> blocks[] = {
        {bcm2835_st, 0x003000},   {bcm2835_pads, 0x100000}, {bcm2835_clk, 0x101000}, {bcm2835_gpio, 0x200000},
        {bcm2835_spi0, 0x204000}, {bcm2835_bsc0, 0x205000}, {bcm2835_pwm, 0x20C000}, {bcm2835_aux, 0x215000},
        {bcm2835_spi1, 0x215080}, {bcm2835_bsc1, 0x804000}};
    for (const auto& [block, offset] : blocks)
        EXPECT_EQ(address(block) - base, offset);
}

TEST(Bcm2835Mapping, WithoutRootOnlyGpioIsMappedFromGpiomem)
{
    EmulatedPi pi;
    pi.soc.setRoot(false);
    ASSERT_EQ(bcm2835_init(), 1);
    EXPECT_EQ(pi.soc.mappedDevice(), "/dev/gpiomem");
    EXPECT_EQ(pi.soc.mappedOffset(), 0u);
    EXPECT_EQ(bcm2835_peripherals_base, 0u);
    EXPECT_EQ(bcm2835_gpio, bcm2835_peripherals);
    EXPECT_EQ(bcm2835_spi0, kUnmapped);
    EXPECT_EQ(bcm2835_st, kUnmapped);

    // GPIO works on that window.
    bcm2835_gpio_fsel(17, BCM2835_GPIO_FSEL_OUTP);
    bcm2835_gpio_write(17, 1);
    EXPECT_TRUE(pi.wiring.level(17));
}

TEST(Bcm2835Mapping, SpiBeginOnAGpioOnlyWindowFailsAndTouchesNothing)
{
    EmulatedPi pi;
    pi.soc.setRoot(false);
    ASSERT_EQ(bcm2835_init(), 1);
    const std::uint64_t accesses = pi.soc.registerAccesses();
    EXPECT_EQ(bcm2835_spi_begin(), 0);
    EXPECT_EQ(pi.soc.registerAccesses(), accesses);
    for (unsigned pin = 7; pin <= 11; ++pin)
        EXPECT_EQ(pi.soc.function(pin), BCM2835_GPIO_FSEL_INPT) << pin;
}

struct RangesCase {
    const char* what;
    std::vector<std::uint8_t> contents;
    std::uint32_t base;
    std::uint32_t size;
    std::uint8_t rpi4;
};

class Bcm2835Ranges : public ::testing::TestWithParam<RangesCase> {};

TEST_P(Bcm2835Ranges, DecidesTheWindow)
{
    const RangesCase& c = GetParam();
    EmulatedPi pi;
    if (!c.contents.empty())
        pi.layer.setRanges(QByteArray(reinterpret_cast<const char*>(c.contents.data()),
                                      static_cast<int>(c.contents.size())));
    ASSERT_EQ(bcm2835_init(), 1);
    EXPECT_EQ(bcm2835_peripherals_base, c.base);
    EXPECT_EQ(bcm2835_peripherals_size, c.size);
    EXPECT_EQ(pud_type_rpi4, c.rpi4);
    EXPECT_EQ(pi.soc.mappedOffset(), c.base);
    EXPECT_EQ(pi.soc.mappedSize(), c.size);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Bcm2835Ranges,
    ::testing::Values(
        RangesCase{"missing file", {}, 0x20000000, 0x01000000, 0},
        RangesCase{"Pi 2 and 3", bytes({0x7E, 0, 0, 0, 0x3F, 0, 0, 0, 0x01, 0, 0, 0}), 0x3F000000, 0x01000000, 0},
        RangesCase{"Pi 4, two-cell parent address",
                   bytes({0x7E, 0, 0, 0, 0, 0, 0, 0, 0xFE, 0, 0, 0, 0x01, 0x80, 0, 0}), 0xFE000000, 0x01800000, 1},
        RangesCase{"Pi 1", bytes({0x7E, 0, 0, 0, 0x20, 0, 0, 0, 0x02, 0, 0, 0}), 0x20000000, 0x02000000, 0},
        RangesCase{"other child address", bytes({0x7F, 0, 0, 0, 0x3F, 0, 0, 0, 0x01, 0, 0, 0}), 0x20000000,
                   0x01000000, 0},
        RangesCase{"unknown base", bytes({0x7E, 0, 0, 0, 0x40, 0, 0, 0, 0x01, 0, 0, 0}), 0x20000000, 0x01000000, 0},
        RangesCase{"short read", bytes({0x7E, 0, 0, 0, 0x3F, 0, 0}), 0x20000000, 0x01000000, 0},
        RangesCase{"size word missing", bytes({0x7E, 0, 0, 0, 0x3F, 0, 0, 0}), 0x20000000, 0x01000000, 0},
        RangesCase{"two-cell form cut short", bytes({0x7E, 0, 0, 0, 0, 0, 0, 0, 0xFE, 0, 0, 0}), 0x20000000,
                   0x01000000, 0}),
    [](const ::testing::TestParamInfo<RangesCase>& info) {
        std::string name = info.param.what;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return name;
    });

// A device tree's compatible property: its strings, each ended by a NUL.
QByteArray dt(std::initializer_list<const char*> names)
{
    QByteArray out;
    for (const char* name : names)
        out += QByteArray(name) + '\0';
    return out;
}

// The machine as its device tree names it: a Pi of the family is mapped at
// the window its ranges give, anything else is refused before a register is
// mapped.
TEST(Bcm2835Mapping, OnlyAPiOfTheFamilyIsMapped)
{
    const QByteArray onePi1 = QByteArray::fromHex("7E000000" "20000000" "01000000");
    const QByteArray onePi2 = QByteArray::fromHex("7E000000" "3F000000" "01000000");
    const QByteArray twoPi4 = QByteArray::fromHex("7E000000" "00000000" "FE000000" "01800000");
    struct Case {
        const char* what;
        QByteArray compatible;
        QByteArray ranges;
        std::uint32_t base;  // 0: refused with a line that holds `said`
        const char* said;
    };
    const Case cases[] = {
        {"Pi 1 B", dt({"raspberrypi,model-b", "brcm,bcm2835"}), onePi1, 0x20000000, ""},
        {"Pi Zero W", dt({"raspberrypi,model-zero-w", "brcm,bcm2835"}), onePi1, 0x20000000, ""},
        {"Pi 2", dt({"raspberrypi,2-model-b", "brcm,bcm2836"}), onePi2, 0x3F000000, ""},
        {"Pi 3, an old Raspberry Pi kernel", dt({"raspberrypi,3-model-b", "brcm,bcm2710"}), onePi2, 0x3F000000, ""},
        {"Pi Zero 2 W, model string alone", dt({"raspberrypi,model-zero-2-w"}), onePi2, 0x3F000000, ""},
        {"Pi 4", dt({"raspberrypi,4-model-b", "brcm,bcm2711"}), twoPi4, 0xFE000000, ""},
        {"CM4", dt({"raspberrypi,4-compute-module", "brcm,bcm2711"}), twoPi4, 0xFE000000, ""},
        {"Pi 5", dt({"raspberrypi,5-model-b", "brcm,bcm2712"}),
         QByteArray::fromHex("7C000000" "00000010" "7C000000" "04000000"), 0,
         "bcm2835_init: the device tree names raspberrypi,5-model-b, brcm,bcm2712: not a BCM2835-family Raspberry "
         "Pi. The updater drives the Pi 1, Zero, Zero W, 2, 3, Zero 2 W, 4, 400 and Compute Modules 1, 3 and 4 "
         "(BCM2835, BCM2836, BCM2837, BCM2711), not the Pi 5 (BCM2712)\n"},
        {"another ARM board", dt({"pine64,rockpro64", "rockchip,rk3399"}), QByteArray(), 0,
         "the device tree names pine64,rockpro64, rockchip,rk3399: not a BCM2835-family Raspberry Pi."},
        {"Pi 4 whose ranges name no window", dt({"raspberrypi,4-model-b", "brcm,bcm2711"}),
         QByteArray::fromHex("7E000000" "00000000" "40000000" "01800000"), 0,
         "ranges names none of the family's peripheral windows (0x7E000000 at 0x20000000, 0x3F000000 or "
         "0xFE000000): nothing is mapped\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EmulatedPi pi;
        pi.layer.setCompatible(c.compatible);
        if (!c.ranges.isEmpty())
            pi.layer.setRanges(c.ranges);
        testing::internal::CaptureStderr();
        EXPECT_EQ(bcm2835_init(), c.base ? 1 : 0);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(c.base ? said.empty() : said.find(c.said) != std::string::npos) << said;
        EXPECT_EQ(pi.soc.mapped(), c.base != 0);
        EXPECT_EQ(c.base ? pi.soc.mappedOffset() : 0u, c.base);
    }
}

TEST(Bcm2835Mapping, AFailedMappingReportsAndLeavesEveryPointerUnmapped)
{
    LayerState layer;  // and no SoC to map
    testing::internal::CaptureStderr();
    EXPECT_EQ(bcm2835_init(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "bcm2835_init: Unable to open /dev/mem: No such device\n");
    for (volatile std::uint32_t* block : allBlocks())
        EXPECT_EQ(block, kUnmapped);
}

TEST(Bcm2835Mapping, CloseUnmapsAndResetsEveryPointer)
{
    EmulatedPi pi;
    ASSERT_EQ(bcm2835_init(), 1);
    EXPECT_EQ(bcm2835_close(), 1);
    EXPECT_FALSE(pi.soc.mapped());
    for (volatile std::uint32_t* block : allBlocks())
        EXPECT_EQ(block, kUnmapped);
    EXPECT_EQ(bcm2835_close(), 1);
}

TEST(Bcm2835Mapping, VersionIs10060)
{
    EXPECT_EQ(bcm2835_version(), 10060u);
}

// --- Debug mode -------------------------------------------------------------------------

TEST(Bcm2835Debug, InitSetsFakeAddressesAndTouchesNothing)
{
    EmulatedPi pi;
    bcm2835_set_debug(1);
    ASSERT_EQ(bcm2835_init(), 1);
    EXPECT_FALSE(pi.soc.mapped());
    EXPECT_EQ(address(bcm2835_peripherals), 0x20000000u);
    EXPECT_EQ(address(bcm2835_gpio), 0x20200000u);
    EXPECT_EQ(address(bcm2835_spi0), 0x20204000u);
    EXPECT_EQ(address(bcm2835_st), 0x20003000u);
    EXPECT_EQ(address(bcm2835_bsc1), 0x20804000u);
    EXPECT_EQ(bcm2835_close(), 1);
    EXPECT_EQ(address(bcm2835_gpio), 0x20200000u);  // close leaves debug addresses alone
    bcm2835_set_debug(0);
}

TEST(Bcm2835Debug, RegisterAccessesArePrintedInsteadOfPerformed)
{
    EmulatedPi pi;
    bcm2835_set_debug(1);
    ASSERT_EQ(bcm2835_init(), 1);
    volatile std::uint32_t* lev1 = bcm2835_gpio + 0x38 / 4;
    volatile std::uint32_t* set1 = bcm2835_gpio + 0x20 / 4;
    testing::internal::CaptureStdout();
    EXPECT_EQ(bcm2835_peri_read(lev1), 0u);
    EXPECT_EQ(bcm2835_peri_read_nb(lev1), 0u);
    bcm2835_peri_write(set1, 0x100);
    bcm2835_peri_write_nb(set1, 0xABCDEF);
    bcm2835_gpio_fsel(11, BCM2835_GPIO_FSEL_ALT0);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "bcm2835_peri_read  paddr 0x20200038\n"
              "bcm2835_peri_read_nb  paddr 0x20200038\n"
              "bcm2835_peri_write paddr 0x20200020, value 00000100\n"
              "bcm2835_peri_write_nb paddr 0x20200020, value 00ABCDEF\n"
              "bcm2835_peri_read  paddr 0x20200004\n"
              "bcm2835_peri_write paddr 0x20200004, value 00000020\n");
    EXPECT_EQ(pi.soc.registerAccesses(), 0u);
    bcm2835_set_debug(0);
}

// --- GPIO ---------------------------------------------------------------------------------

struct FselCase {
    std::uint8_t pin;
    std::uint8_t mode;
    std::uint32_t reg;
    unsigned shift;
};

class Bcm2835Fsel : public ::testing::TestWithParam<FselCase> {};

TEST_P(Bcm2835Fsel, ChangesOnlyThePinsField)
{
    const FselCase& c = GetParam();
    EmulatedPi pi;
    ASSERT_EQ(bcm2835_init(), 1);
    // Every other field holds 7 (alternate function 3), so a stray change shows.
    volatile std::uint32_t* reg = pi.gpioReg(c.reg);
    bcm2835_peri_write(reg, 0x3FFFFFFF);
    bcm2835_gpio_fsel(c.pin, c.mode);
    const std::uint32_t expected = (0x3FFFFFFFu & ~(7u << c.shift)) | (static_cast<std::uint32_t>(c.mode) << c.shift);
    EXPECT_EQ(bcm2835_peri_read(reg), expected);
    EXPECT_EQ(pi.soc.function(c.pin), c.mode);
}

INSTANTIATE_TEST_SUITE_P(Cases, Bcm2835Fsel,
                         ::testing::Values(FselCase{11, 4, 0x04, 3}, FselCase{0, 1, 0x00, 0}, FselCase{9, 1, 0x00, 27},
                                           FselCase{26, 0, 0x08, 18}, FselCase{40, 1, 0x10, 0},
                                           FselCase{53, 4, 0x14, 9}));

TEST(Bcm2835Gpio, AnOutputDrivesTheBoardsLine)
{
    EmulatedPi pi;
    ASSERT_EQ(bcm2835_init(), 1);
    bcm2835_gpio_fsel(26, BCM2835_GPIO_FSEL_OUTP);
    bcm2835_gpio_write(26, 1);
    EXPECT_TRUE(pi.wiring.level(26));
    bcm2835_gpio_write(26, 0);
    EXPECT_FALSE(pi.wiring.level(26));
    bcm2835_gpio_write(40, 1);  // not an output: the latch changes, the line does not
    EXPECT_FALSE(pi.wiring.level(40));
    bcm2835_gpio_fsel(40, BCM2835_GPIO_FSEL_OUTP);
    EXPECT_TRUE(pi.wiring.level(40));
    bcm2835_gpio_fsel(40, BCM2835_GPIO_FSEL_INPT);
    EXPECT_FALSE(pi.wiring.level(40));
}

TEST(Bcm2835Gpio, LevelReadsWhatTheBoardDrives)
{
    EmulatedPi pi;
    ASSERT_EQ(bcm2835_init(), 1);
    pi.wiring.boardDrive(13, true);
    pi.wiring.boardDrive(40, true);
    EXPECT_EQ(bcm2835_gpio_lev(13), 1);
    EXPECT_EQ(bcm2835_gpio_lev(40), 1);
    EXPECT_EQ(bcm2835_gpio_lev(12), 0);
    EXPECT_EQ(bcm2835_peri_read(pi.gpioReg(0x38)) & 0x100u, 0x100u);
    pi.wiring.boardDrive(13, false);
    EXPECT_EQ(bcm2835_gpio_lev(13), 0);
    // Reading a level does not change the pin's function.
    EXPECT_EQ(pi.soc.function(13), BCM2835_GPIO_FSEL_INPT);
}

// --- Delays -----------------------------------------------------------------------------------

TEST(Bcm2835Delay, SplitsIntoSecondsAndNanoseconds)
{
    EmulatedPi pi;
    ASSERT_EQ(bcm2835_init(), 1);
    bcm2835_delay(2500);
    EXPECT_EQ(pi.soc.lastSleep().tv_sec, 2);
    EXPECT_EQ(pi.soc.lastSleep().tv_nsec, 500000000);
    EXPECT_EQ(pi.clock.spent(sim::TimeKind::Wait), 2500 * sim::kMillisecond);
    bcm2835_delay(999);
    EXPECT_EQ(pi.soc.lastSleep().tv_sec, 0);
    EXPECT_EQ(pi.soc.lastSleep().tv_nsec, 999000000);
    bcm2835_delay(4294967295u);
    EXPECT_EQ(pi.soc.lastSleep().tv_sec, 4294967);
    EXPECT_EQ(pi.soc.lastSleep().tv_nsec, 295000000);
}

// --- SPI0 -----------------------------------------------------------------------------------------

TEST(Bcm2835Spi, BeginClaimsThePinsAndResetsTheController)
{
    EmulatedPi pi;
    ASSERT_EQ(bcm2835_init(), 1);
    bcm2835_peri_write(pi.spiReg(BCM2835_SPI0_CS), 0x00E0000F);  // polarities, mode 3, CS 3
    ASSERT_EQ(bcm2835_spi_begin(), 1);
    for (unsigned pin = 7; pin <= 11; ++pin)
        EXPECT_EQ(pi.soc.function(pin), BCM2835_GPIO_FSEL_ALT0) << pin;
    EXPECT_EQ(bcm2835_peri_read(pi.spiReg(BCM2835_SPI0_CS)) & ~BCM2835_SPI0_CS_TXD, 0u);
    EXPECT_TRUE(pi.wiring.level(7));
    EXPECT_TRUE(pi.wiring.level(8));
    EXPECT_FALSE(pi.ce0.selected);
    EXPECT_FALSE(pi.ce1.selected);
}

TEST(Bcm2835Spi, EndReturnsThePinsToInputsAndLeavesTheController)
{
    EmulatedPi pi;
    ASSERT_TRUE(pi.begin());
    bcm2835_spi_setDataMode(3);
    bcm2835_spi_setClockDivider(64);
    bcm2835_spi_end();
    for (unsigned pin = 7; pin <= 11; ++pin)
        EXPECT_EQ(pi.soc.function(pin), BCM2835_GPIO_FSEL_INPT) << pin;
    EXPECT_EQ(bcm2835_peri_read(pi.spiReg(BCM2835_SPI0_CS)) & 0x0Cu, 0x0Cu);
    EXPECT_EQ(bcm2835_peri_read(pi.spiReg(BCM2835_SPI0_CLK)), 64u);
}

TEST(Bcm2835Spi, TransferExchangesEveryByteWithTheSelectedChip)
{
    EmulatedPi pi;
    ASSERT_TRUE(pi.begin());
    char tx[] = {0x03, 0x12, 0x34, 0x56, 0x00};
    char rx[sizeof tx] = {};
    bcm2835_spi_transfernb(tx, rx, sizeof tx);
    EXPECT_EQ(pi.ce0.frames.size(), 1u);
    EXPECT_EQ(pi.ce0.lastFrame(), bytes({0x03, 0x12, 0x34, 0x56, 0x00}));
    for (std::size_t i = 0; i < sizeof tx; ++i)
        EXPECT_EQ(static_cast<std::uint8_t>(rx[i]), static_cast<std::uint8_t>(~tx[i])) << i;
    EXPECT_TRUE(pi.ce1.frames.empty());
    EXPECT_FALSE(pi.ce0.selected);
    EXPECT_EQ(bcm2835_peri_read(pi.spiReg(BCM2835_SPI0_CS)) & BCM2835_SPI0_CS_TA, 0u);
}

TEST(Bcm2835Spi, ChipSelectOneAssertsGpio7)
{
    EmulatedPi pi;
    ASSERT_TRUE(pi.begin());
    bool gpio7LowDuringBytes = true;
    pi.ce1.respond = [&](std::uint8_t) {
        gpio7LowDuringBytes = gpio7LowDuringBytes && !pi.wiring.level(7) && pi.wiring.level(8);
        return std::uint8_t{0x5A};
    };
    bcm2835_spi_chipSelect(1);
    char tx[] = {static_cast<char>(0x9E), 0x00, 0x00};
    char rx[sizeof tx] = {};
    bcm2835_spi_transfernb(tx, rx, sizeof tx);
    EXPECT_TRUE(gpio7LowDuringBytes);
    EXPECT_EQ(pi.ce1.lastFrame(), bytes({0x9E, 0x00, 0x00}));
    EXPECT_TRUE(pi.ce0.frames.empty());
    EXPECT_EQ(static_cast<std::uint8_t>(rx[2]), 0x5A);
    EXPECT_TRUE(pi.wiring.level(7));
}

TEST(Bcm2835Spi, ActiveHighChipSelectIdlesLowAndRisesForTheTransfer)
{
    EmulatedPi pi;
    ProbeChip highChip("active high");
    pi.wiring.attach(highChip, 7, false);
    ASSERT_TRUE(pi.begin());
    bcm2835_spi_chipSelect(1);
    bcm2835_spi_setChipSelectPolarity(1, 1);
    EXPECT_FALSE(pi.wiring.level(7));
    char tx[] = {0x42};
    bcm2835_spi_writenb(tx, 1);
    EXPECT_EQ(highChip.lastFrame(), bytes({0x42}));
    EXPECT_FALSE(pi.wiring.level(7));
}

TEST(Bcm2835Spi, SettersChangeOnlyTheirBits)
{
    EmulatedPi pi;
    ASSERT_TRUE(pi.begin());
    volatile std::uint32_t* cs = pi.spiReg(BCM2835_SPI0_CS);
    const std::uint32_t config = BCM2835_SPI0_CS_CS | 0x0Cu | 0x00E00000u;
    auto configBits = [&] { return bcm2835_peri_read(cs) & config; };

    bcm2835_spi_setChipSelectPolarity(1, 1);
    EXPECT_EQ(configBits(), 1u << 22);
    bcm2835_spi_setDataMode(3);
    EXPECT_EQ(configBits(), (1u << 22) | 0x0Cu);
    bcm2835_spi_chipSelect(2);
    EXPECT_EQ(configBits(), (1u << 22) | 0x0Cu | 2u);
    bcm2835_spi_setDataMode(0);
    EXPECT_EQ(configBits(), (1u << 22) | 2u);
    bcm2835_spi_setChipSelectPolarity(1, 0);
    EXPECT_EQ(configBits(), 2u);
}

TEST(Bcm2835Spi, BitOrderLsbFirstReversesBothWays)
{
    EmulatedPi pi;
    ASSERT_TRUE(pi.begin());
    bcm2835_spi_setBitOrder(0);
    pi.ce0.respond = [](std::uint8_t) { return std::uint8_t{0x80}; };
    char tx[] = {0x01, 0x03, static_cast<char>(0xF0)};
    char rx[sizeof tx] = {};
    bcm2835_spi_transfernb(tx, rx, sizeof tx);
    EXPECT_EQ(pi.ce0.lastFrame(), bytes({0x80, 0xC0, 0x0F}));
    for (char byte : rx)
        EXPECT_EQ(byte, 0x01);
    bcm2835_spi_writenb(tx, sizeof tx);
    EXPECT_EQ(pi.ce0.lastFrame(), bytes({0x80, 0xC0, 0x0F}));
}

TEST(Bcm2835Spi, ByteReverseTable)
{
    EXPECT_EQ(bcm2835_byte_reverse_table[0x01], 0x80);
    EXPECT_EQ(bcm2835_byte_reverse_table[0x03], 0xC0);
    EXPECT_EQ(bcm2835_byte_reverse_table[0x00], 0x00);
    EXPECT_EQ(bcm2835_byte_reverse_table[0xFF], 0xFF);
    for (unsigned i = 0; i < 256; ++i)
        EXPECT_EQ(bcm2835_byte_reverse_table[bcm2835_byte_reverse_table[i]], i);
}

TEST(Bcm2835Spi, TheSameBufferMaySendAndReceive)
{
    EmulatedPi pi;
    ASSERT_TRUE(pi.begin());
    std::vector<char> buffer(300);
    std::iota(buffer.begin(), buffer.end(), 0);
    const std::vector<char> sent = buffer;
    bcm2835_spi_transfernb(buffer.data(), buffer.data(), static_cast<std::uint32_t>(buffer.size()));
    ASSERT_EQ(pi.ce0.lastFrame().size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(pi.ce0.lastFrame()[i], static_cast<std::uint8_t>(sent[i]));
        EXPECT_EQ(buffer[i], static_cast<char>(~sent[i]));
    }
}

TEST(Bcm2835Spi, ZeroBytesStillRaiseAndLowerTheChipSelect)
{
    EmulatedPi pi;
    ASSERT_TRUE(pi.begin());
    bcm2835_spi_transfernb(nullptr, nullptr, 0);
    bcm2835_spi_writenb(nullptr, 0);
    EXPECT_EQ(pi.ce0.frames.size(), 2u);
    EXPECT_TRUE(pi.ce0.frames[0].empty());
    EXPECT_TRUE(pi.ce0.frames[1].empty());
    EXPECT_EQ(pi.wiring.bytesOnBus(), 0u);
    EXPECT_FALSE(pi.ce0.selected);
}

TEST(Bcm2835Spi, SeveralMegabytesInOneTransfer)
{
    EmulatedPi pi;
    ASSERT_TRUE(pi.begin());
    const std::size_t size = 3u << 20;
    std::vector<char> tx(size);
    for (std::size_t i = 0; i < size; ++i)
        tx[i] = static_cast<char>((i * 7) ^ (i >> 11));
    std::vector<char> rx(size);
    bcm2835_spi_transfernb(tx.data(), rx.data(), static_cast<std::uint32_t>(size));
    ASSERT_EQ(pi.ce0.frames.size(), 1u);
    EXPECT_TRUE(std::equal(tx.begin(), tx.end(), pi.ce0.frames[0].begin(), pi.ce0.frames[0].end(),
                           [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
    bool inverted = true;
    for (std::size_t i = 0; i < size; ++i)
        inverted = inverted && rx[i] == static_cast<char>(~tx[i]);
    EXPECT_TRUE(inverted);

    bcm2835_spi_writenb(tx.data(), static_cast<std::uint32_t>(size));
    ASSERT_EQ(pi.ce0.frames.size(), 2u);
    EXPECT_EQ(pi.ce0.frames[1].size(), size);
    EXPECT_EQ(pi.wiring.bytesOnBus(), 2 * size);
}

// A controller that stops holds every flag the loops wait for; each wait ends
// 100 ms beyond the frame's own time at the divider, with the frame ended.
TEST(Bcm2835Spi, AControllerThatStopsEndsTheTransferAtItsBound)
{
    struct Case {
        const char* what;
        bool writeOnly;
        std::uint32_t len;
        std::uint64_t stallAfter;
        sim::Nanos bound;
        const char* message;
        bool timerStops = false;  // the kernel's clock bounds the wait then
    };
    const Case cases[] = {
        {"no byte shifts, read", false, 4, 0, 100004096,
         "bcm2835_spi_transfernb: SPI0 stopped, no RXD for 100 ms: transfer abandoned with 4 of 4 bytes sent\n"},
        {"no byte shifts, write", true, 100, 0, 100102400,
         "bcm2835_spi_writenb: SPI0 stopped, no TXD for 100 ms: transfer abandoned with 64 of 100 bytes sent\n"},
        {"every byte shifted, read", false, 4, 4, 100004096,
         "bcm2835_spi_transfernb: SPI0 stopped, no DONE for 100 ms: transfer abandoned with 4 of 4 bytes sent\n"},
        {"every byte shifted, write", true, 4, 4, 100004096,
         "bcm2835_spi_writenb: SPI0 stopped, no DONE for 100 ms: transfer abandoned with 4 of 4 bytes sent\n"},
        {"no byte shifts, the system timer stopped", false, 4, 0, 100004096,
         "bcm2835_spi_transfernb: SPI0 stopped, no RXD for 100 ms: transfer abandoned with 4 of 4 bytes sent\n", true},
        {"a long frame", false, 100000, 0, 202400000,
         "bcm2835_spi_transfernb: SPI0 stopped, no TXD for 202 ms: transfer abandoned with 64 of 100000 bytes "
         "sent\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EmulatedPi pi;
        ASSERT_TRUE(pi.begin());
        bcm2835_spi_setClockDivider(32);
        pi.soc.stallSpiAfter(c.stallAfter);
        if (c.timerStops)
            pi.soc.stopTimer();
        std::vector<char> buf(c.len, 0x5A);
        const sim::Nanos start = pi.clock.now();
        testing::internal::CaptureStderr();
        const int done = c.writeOnly ? bcm2835_spi_writenb(buf.data(), c.len)
                                     : bcm2835_spi_transfernb(buf.data(), buf.data(), c.len);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_EQ(done, 0);
        EXPECT_GE(pi.clock.now() - start, c.bound);
        EXPECT_LT(pi.clock.now() - start, c.bound + 1000000);
        EXPECT_EQ(bcm2835_peri_read(pi.spiReg(BCM2835_SPI0_CS)) & BCM2835_SPI0_CS_TA, 0u);
        EXPECT_FALSE(pi.ce0.selected);
    }
}

TEST(Bcm2835Spi, WriteOnlyTransferDiscardsWhatComesBack)
{
    EmulatedPi pi;
    ASSERT_TRUE(pi.begin());
    const char tx[] = {0x06, 0x07, 0x08};
    bcm2835_spi_writenb(tx, sizeof tx);
    EXPECT_EQ(pi.ce0.lastFrame(), bytes({0x06, 0x07, 0x08}));
    // What the last byte brought back may still wait in the receive FIFO;
    // the next transfer starts without it.
    char next[] = {0x11, 0x22};
    bcm2835_spi_transfernb(next, next, sizeof next);
    EXPECT_EQ(static_cast<std::uint8_t>(next[0]), 0xEE);
    EXPECT_EQ(static_cast<std::uint8_t>(next[1]), 0xDD);
}

TEST(Bcm2835Spi, TheDividerSetsTheBusTime)
{
    EmulatedPi pi;
    ASSERT_TRUE(pi.begin());
    char tx[10] = {};
    char rx[10] = {};
    // divider, 8 clocks of 250 MHz / divider per byte
    for (const auto& [divider, byteTime] : {std::pair<std::uint16_t, sim::Nanos>{32, 1024}, {256, 8192}}) {
        bcm2835_spi_setClockDivider(divider);
        const sim::Nanos start = pi.clock.now();
        const std::uint64_t accesses = pi.soc.registerAccesses();
        bcm2835_spi_transfernb(tx, rx, 10);
        // The bytes follow each other; the layer's register accesses add
        // their time only where the bus does not already take longer.
        const sim::Nanos took = pi.clock.now() - start;
        EXPECT_GE(took, 10 * byteTime) << divider;
        EXPECT_LE(took, 10 * byteTime + (pi.soc.registerAccesses() - accesses) * sim::SocEmulator::kAccessTime)
            << divider;
    }
}

// --- System timer ---------------------------------------------------------------------------

TEST(Bcm2835Timer, CountsMicrosecondsOfTheVirtualClock)
{
    EmulatedPi pi;
    ASSERT_EQ(bcm2835_init(), 1);
    pi.clock.advance(5 * sim::kSecond + 123, sim::TimeKind::Wait);
    EXPECT_EQ(bcm2835_peri_read(bcm2835_st + BCM2835_ST_CLO / 4), 5000000u);
    EXPECT_EQ(bcm2835_peri_read(bcm2835_st + BCM2835_ST_CHI / 4), 0u);
    pi.clock.advance(((std::uint64_t{1} << 32) + 7 - 5000000) * sim::kMicrosecond, sim::TimeKind::Wait);
    EXPECT_EQ(bcm2835_peri_read(bcm2835_st + BCM2835_ST_CLO / 4), 7u);
    EXPECT_EQ(bcm2835_peri_read(bcm2835_st + BCM2835_ST_CHI / 4), 1u);
}

}  // namespace
