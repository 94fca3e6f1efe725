// The SoC emulator as hardware: what its registers do when the emulated
// layer's primitives touch them directly, beyond what the layer's own
// transfer loops exercise.

#include "EmulatedPi.h"

#include <gtest/gtest.h>

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

    EmulatedPi pi;
    volatile std::uint32_t* csReg = nullptr;
    volatile std::uint32_t* fifo = nullptr;
};

TEST_F(SocEmulator, TheTransmitFifoHolds64BytesUntilTaIsSet)
{
    for (int i = 0; i < 70; ++i)
        bcm2835_peri_write_nb(fifo, static_cast<std::uint32_t>(i));
    EXPECT_EQ(cs() & BCM2835_SPI0_CS_TXD, 0u);
    EXPECT_EQ(pi.wiring.bytesOnBus(), 0u);
    EXPECT_FALSE(pi.ce0.selected);

    bcm2835_peri_set_bits(csReg, BCM2835_SPI0_CS_TA, BCM2835_SPI0_CS_TA);
    EXPECT_TRUE(pi.ce0.selected);
    EXPECT_NE(cs() & BCM2835_SPI0_CS_DONE, 0u);
    EXPECT_NE(cs() & BCM2835_SPI0_CS_RXD, 0u);
    ASSERT_EQ(pi.ce0.lastFrame().size(), 64u);  // the last six were dropped
    EXPECT_EQ(pi.ce0.lastFrame()[63], 63);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(bcm2835_peri_read_nb(fifo), static_cast<std::uint32_t>(~i & 0xFF));
    EXPECT_EQ(cs() & BCM2835_SPI0_CS_RXD, 0u);
}

TEST_F(SocEmulator, AFullReceiveFifoStallsTheBusUntilRead)
{
    bcm2835_peri_set_bits(csReg, BCM2835_SPI0_CS_TA, BCM2835_SPI0_CS_TA);
    for (int i = 0; i < 64; ++i)
        bcm2835_peri_write_nb(fifo, 0x11);
    for (int i = 0; i < 10; ++i)
        bcm2835_peri_write_nb(fifo, 0x22);
    EXPECT_EQ(pi.wiring.bytesOnBus(), 64u);
    EXPECT_EQ(cs() & BCM2835_SPI0_CS_DONE, 0u);  // ten bytes still wait
    bcm2835_peri_read_nb(fifo);
    EXPECT_EQ(pi.wiring.bytesOnBus(), 65u);
    bcm2835_peri_write_nb(csReg, BCM2835_SPI0_CS_TA | BCM2835_SPI0_CS_CLEAR);
    EXPECT_EQ(cs() & (BCM2835_SPI0_CS_RXD | BCM2835_SPI0_CS_DONE), BCM2835_SPI0_CS_DONE);
    EXPECT_EQ(cs() & BCM2835_SPI0_CS_CLEAR, 0u);  // the clear bits act and read back 0
}

TEST_F(SocEmulator, DoneNeedsAnActiveTransfer)
{
    EXPECT_EQ(cs() & BCM2835_SPI0_CS_DONE, 0u);
    bcm2835_peri_set_bits(csReg, BCM2835_SPI0_CS_TA, BCM2835_SPI0_CS_TA);
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
    pi.wiring.setPull(24, true);
    pi.wiring.attach(flash, 24);
    bcm2835_gpio_write(24, 1);
    bcm2835_gpio_fsel(24, BCM2835_GPIO_FSEL_OUTP);
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
    EXPECT_EQ(direct(clo), 102u);  // 100 bytes of 1.024 us
    bcm2835_delay(2);
    EXPECT_EQ(direct(clo), 2102u);
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

using SocEmulatorDeathTest = SocEmulator;

TEST_F(SocEmulatorDeathTest, AnAccessOutsideTheWindowIsFatal)
{
    volatile std::uint32_t* beyond = bcm2835_peripherals + BCM2835_PERI_SIZE / 4;
    EXPECT_DEATH(bcm2835_peri_read(beyond), "outside the mapped peripherals");
}

}  // namespace
