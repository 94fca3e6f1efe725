// The product variant of the register layer on a plain memory window: the
// exact words it reads and writes where nothing needs to react, and what
// bcm2835_init does on a machine that is not the Pi.

#include "bcm2835.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <array>
#include <cstdint>

namespace {

volatile std::uint32_t* const kUnmapped = static_cast<volatile std::uint32_t*>(MAP_FAILED);

// GPIO and SPI0 blocks in ordinary memory, hooked into the layer's block
// pointers for the life of the test.
class Bcm2835PlainWindow : public ::testing::Test {
protected:
    Bcm2835PlainWindow()
    {
        gpio.fill(0);
        spi.fill(0);
        bcm2835_gpio = gpio.data();
        bcm2835_spi0 = spi.data();
    }
    ~Bcm2835PlainWindow() override
    {
        bcm2835_gpio = kUnmapped;
        bcm2835_spi0 = kUnmapped;
    }

    std::uint32_t gpioWord(std::uint32_t offset) const { return gpio[offset / 4]; }
    std::uint32_t cs() const { return spi[BCM2835_SPI0_CS / 4]; }

    std::array<std::uint32_t, 64> gpio{};
    std::array<std::uint32_t, 8> spi{};
};

TEST_F(Bcm2835PlainWindow, FselChangesOnlyThreeBitsOfOneRegister)
{
    gpio[1] = 0xFFFFFFFF;
    bcm2835_gpio_fsel(11, BCM2835_GPIO_FSEL_ALT0);
    EXPECT_EQ(gpioWord(0x04), 0xFFFFFFE7u);
    EXPECT_EQ(gpioWord(0x00), 0u);
    EXPECT_EQ(gpioWord(0x08), 0u);

    bcm2835_gpio_fsel(29, BCM2835_GPIO_FSEL_OUTP);
    EXPECT_EQ(gpioWord(0x08), 1u << 27);
    bcm2835_gpio_fsel(29, BCM2835_GPIO_FSEL_INPT);
    EXPECT_EQ(gpioWord(0x08), 0u);
}

struct WordCase {
    std::uint8_t pin;
    std::uint8_t on;
    std::uint32_t reg;
    std::uint32_t word;
};

class Bcm2835SetAndClear : public Bcm2835PlainWindow, public ::testing::WithParamInterface<WordCase> {};

TEST_P(Bcm2835SetAndClear, WritesTheSingleBitToTheRightRegister)
{
    const WordCase& c = GetParam();
    bcm2835_gpio_write(c.pin, c.on);
    for (std::uint32_t offset = 0; offset < 0x40; offset += 4)
        EXPECT_EQ(gpioWord(offset), offset == c.reg ? c.word : 0u) << "register at " << offset;
}

INSTANTIATE_TEST_SUITE_P(Cases, Bcm2835SetAndClear,
                         ::testing::Values(WordCase{40, 1, 0x20, 0x00000100}, WordCase{40, 0, 0x2C, 0x00000100},
                                           WordCase{0, 1, 0x1C, 0x00000001}, WordCase{31, 0, 0x28, 0x80000000},
                                           WordCase{32, 2, 0x20, 0x00000001}, WordCase{53, 1, 0x20, 0x00200000}));

TEST_F(Bcm2835PlainWindow, LevelTestsThePinsBitOfItsBank)
{
    gpio[0x38 / 4] = 0x00000100;
    gpio[0x34 / 4] = 0x00002000;
    EXPECT_EQ(bcm2835_gpio_lev(40), 1);
    EXPECT_EQ(bcm2835_gpio_lev(41), 0);
    EXPECT_EQ(bcm2835_gpio_lev(13), 1);
    EXPECT_EQ(bcm2835_gpio_lev(8), 0);
}

TEST_F(Bcm2835PlainWindow, SetBitsReplacesOnlyTheMaskedBits)
{
    gpio[5] = 0xF0F0F0F0;
    bcm2835_peri_set_bits(&gpio[5], 0x12345678, 0x0000FFFF);
    EXPECT_EQ(gpio[5], 0xF0F05678u);
}

TEST_F(Bcm2835PlainWindow, DataModeSetsAndClearsCpolAndCpha)
{
    spi[0] = 0x00400081;
    bcm2835_spi_setDataMode(3);
    EXPECT_EQ(cs(), 0x0040008Du);
    bcm2835_spi_setDataMode(1);
    EXPECT_EQ(cs(), 0x00400085u);
    bcm2835_spi_setDataMode(0);
    EXPECT_EQ(cs(), 0x00400081u);
}

TEST_F(Bcm2835PlainWindow, ChipSelectPolarityTouchesOneBit)
{
    spi[0] = 0x0000008D;
    bcm2835_spi_setChipSelectPolarity(1, 1);
    EXPECT_EQ(cs(), 0x0040008Du);
    bcm2835_spi_setChipSelectPolarity(0, 1);
    EXPECT_EQ(cs(), 0x0060008Du);
    bcm2835_spi_setChipSelectPolarity(2, 1);
    EXPECT_EQ(cs(), 0x00E0008Du);
    bcm2835_spi_setChipSelectPolarity(1, 0);
    EXPECT_EQ(cs(), 0x00A0008Du);
}

TEST_F(Bcm2835PlainWindow, ChipSelectAndDivider)
{
    spi[0] = 0x00E0000C;
    bcm2835_spi_chipSelect(1);
    EXPECT_EQ(cs(), 0x00E0000Du);
    bcm2835_spi_chipSelect(2);
    EXPECT_EQ(cs(), 0x00E0000Eu);
    bcm2835_spi_chipSelect(0);
    EXPECT_EQ(cs(), 0x00E0000Cu);
    bcm2835_spi_setClockDivider(32);
    EXPECT_EQ(spi[BCM2835_SPI0_CLK / 4], 32u);
}

TEST_F(Bcm2835PlainWindow, BeginClaimsTheFivePinsAndClearsTheController)
{
    spi[0] = 0x00E0008F;
    ASSERT_EQ(bcm2835_spi_begin(), 1);
    EXPECT_EQ(gpioWord(0x00), (4u << 21) | (4u << 24) | (4u << 27));  // GPIO 7, 8, 9
    EXPECT_EQ(gpioWord(0x04), (4u << 0) | (4u << 3));                 // GPIO 10, 11
    EXPECT_EQ(cs(), BCM2835_SPI0_CS_CLEAR);  // 0 with barriers, then the FIFO clear bits

    bcm2835_spi_end();
    EXPECT_EQ(gpioWord(0x00), 0u);
    EXPECT_EQ(gpioWord(0x04), 0u);
    EXPECT_EQ(cs(), BCM2835_SPI0_CS_CLEAR);
}

TEST_F(Bcm2835PlainWindow, BeginOnAGpioOnlyWindowFailsAndLeavesThePins)
{
    bcm2835_spi0 = kUnmapped;
    gpio[0] = 0x12345678;
    gpio[1] = 0x0ABCDEF0;
    EXPECT_EQ(bcm2835_spi_begin(), 0);
    EXPECT_EQ(gpio[0], 0x12345678u);
    EXPECT_EQ(gpio[1], 0x0ABCDEF0u);
}

#if !defined(__arm__) && !defined(__aarch64__)
// Off the Pi the product variant must not map the SoC's physical address,
// which on this machine is its own memory.
TEST(Bcm2835ProductLayer, InitRefusesToMapOnAMachineThatIsNotArm)
{
    QTemporaryDir dir;
    const QByteArray ranges = QDir(dir.path()).filePath("ranges").toLocal8Bit();
    const QByteArray compatible = QDir(dir.path()).filePath("compatible").toLocal8Bit();
    bcm2835_soc_ranges_file = ranges.constData();
    bcm2835_compatible_file = compatible.constData();
    testing::internal::CaptureStderr();
    EXPECT_EQ(bcm2835_init(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "bcm2835_init: not built for ARM, so there are no BCM2835 peripherals to map\n");
    for (volatile std::uint32_t* block : {bcm2835_peripherals, bcm2835_gpio, bcm2835_spi0, bcm2835_st})
        EXPECT_EQ(block, kUnmapped);
    EXPECT_EQ(bcm2835_spi_begin(), 0);
    bcm2835_soc_ranges_file = "/proc/device-tree/soc/ranges";
    bcm2835_compatible_file = "/proc/device-tree/compatible";
}
#endif

}  // namespace
