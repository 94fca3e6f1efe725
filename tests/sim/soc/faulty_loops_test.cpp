// Transfer loops with a fault of their own, written here on the emulated
// register primitives beside the layer's correct ones: the board must catch
// each as a breach of the SPI controller's rules, where on the Pi the frame
// would silently come out short.

#include "EmulatedPi.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

volatile std::uint32_t* csRegister()
{
    return bcm2835_spi0 + BCM2835_SPI0_CS / 4;
}

volatile std::uint32_t* fifoRegister()
{
    return bcm2835_spi0 + BCM2835_SPI0_FIFO / 4;
}

void beginFrame()
{
    bcm2835_peri_set_bits(csRegister(), BCM2835_SPI0_CS_CLEAR, BCM2835_SPI0_CS_CLEAR);
    bcm2835_peri_set_bits(csRegister(), BCM2835_SPI0_CS_TA, BCM2835_SPI0_CS_TA);
}

void endFrame()
{
    bcm2835_peri_set_bits(csRegister(), 0, BCM2835_SPI0_CS_TA);
}

// Full duplex, but done as soon as the last byte is in the FIFO: TA goes
// while bytes still shift.
void transferClearingTaEarly(const char* tx, char* rx, std::uint32_t len)
{
    beginFrame();
    std::uint32_t sent = 0;
    std::uint32_t received = 0;
    while (sent < len) {
        while (sent < len && (bcm2835_peri_read(csRegister()) & BCM2835_SPI0_CS_TXD))
            bcm2835_peri_write_nb(fifoRegister(), static_cast<std::uint8_t>(tx[sent++]));
        while (received < len && (bcm2835_peri_read(csRegister()) & BCM2835_SPI0_CS_RXD))
            rx[received++] = static_cast<char>(bcm2835_peri_read_nb(fifoRegister()));
    }
    endFrame();
}

// Write-only, draining what comes back, but without waiting for DONE.
void writeWithoutDoneWait(const char* tx, char*, std::uint32_t len)
{
    beginFrame();
    for (std::uint32_t i = 0; i < len; ++i) {
        while (!(bcm2835_peri_read(csRegister()) & BCM2835_SPI0_CS_TXD)) {
        }
        bcm2835_peri_write_nb(fifoRegister(), static_cast<std::uint8_t>(tx[i]));
        while (bcm2835_peri_read(csRegister()) & BCM2835_SPI0_CS_RXD)
            bcm2835_peri_read_nb(fifoRegister());
    }
    endFrame();
}

void layerTransfer(const char* tx, char* rx, std::uint32_t len)
{
    std::vector<char> copy(tx, tx + len);
    bcm2835_spi_transfernb(copy.data(), rx, len);
}

void layerWrite(const char* tx, char*, std::uint32_t len)
{
    bcm2835_spi_writenb(tx, len);
}

using Loop = std::function<void(const char* tx, char* rx, std::uint32_t len)>;

struct Case {
    const char* name;
    Loop loop;
    bool faulty;
};

TEST(FaultyTransferLoops, TheBoardCatchesAFrameCutShort)
{
    const std::vector<Case> cases = {
        {"TA cleared early", transferClearingTaEarly, true},
        {"no DONE wait", writeWithoutDoneWait, true},
        {"the layer's transfer", layerTransfer, false},
        {"the layer's write", layerWrite, false},
    };
    for (const Case& c : cases) {
        for (const std::uint32_t len : {1u, 3u, 200u}) {
            SCOPED_TRACE(testing::Message() << c.name << ", " << len << " bytes");
            EmulatedPi pi;
            ASSERT_TRUE(pi.begin());
            std::vector<char> tx(len);
            for (std::uint32_t i = 0; i < len; ++i)
                tx[i] = static_cast<char>(i + 1);
            std::vector<char> rx(len);
            c.loop(tx.data(), rx.data(), len);

            ASSERT_EQ(pi.ce0.frames.size(), 1u);
            EXPECT_FALSE(pi.ce0.selected);
            const sim::Violations& v = pi.wiring.violations();
            if (!c.faulty) {
                EXPECT_EQ(pi.ce0.lastFrame().size(), len);
                EXPECT_EQ(v.count(), 0u);
                continue;
            }
            // On the Pi the chip would see its frame end early; so it does here.
            EXPECT_LT(pi.ce0.lastFrame().size(), len);
            ASSERT_EQ(v.count(), 1u);
            EXPECT_EQ(v.first()[0].where, "SPI0");
            EXPECT_TRUE(v.first()[0].rule.startsWith("TA cleared with ")) << qPrintable(v.first()[0].rule);
        }
    }
}

}  // namespace
