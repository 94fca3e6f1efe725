#pragma once

// A Pi on a bench: the SoC emulator over a board's wiring, with a probe chip
// on each of SPI0's chip selects, for tests of the emulated bcm2835 layer and
// of the pin worker above it.

#include "bcm2835.h"
#include "SocEmulator.h"
#include "BoardWiring.h"
#include "SpiDevice.h"
#include "VirtualClock.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A chip that records each frame it is selected for and answers every byte
// with `respond` (by default the byte inverted), in the SPI modes `modes`.
class ProbeChip : public sim::SpiDevice {
public:
    explicit ProbeChip(const char* name, unsigned modes = kMode0 | kMode3) : name_(name), modes_(modes) {}

    const char* name() const override { return name_; }
    unsigned spiModes() const override { return modes_; }
    void select() override
    {
        selected = true;
        frames.emplace_back();
    }
    bool exchange(std::uint8_t mosi, std::uint8_t& miso) override
    {
        frames.back().push_back(mosi);
        miso = respond(mosi);
        return true;
    }
    void deselect() override { selected = false; }

    std::vector<std::uint8_t> lastFrame() const { return frames.empty() ? std::vector<std::uint8_t>{} : frames.back(); }

    bool selected = false;
    std::vector<std::vector<std::uint8_t>> frames;
    std::function<std::uint8_t(std::uint8_t)> respond = [](std::uint8_t mosi) {
        return static_cast<std::uint8_t>(~mosi);
    };

private:
    const char* name_;
    unsigned modes_;
};

// Resets the layer's process-wide state when a test is done with it.
struct LayerState {
    LayerState()
    {
        bcm2835_soc_ranges_file = rangesPath.constData();
        bcm2835_compatible_file = compatiblePath.constData();
        bcm2835_sysfs_gpio_dir = sysfsPath.constData();
        bcm2835_sysfs_platform_dir = platformPath.constData();
    }
    ~LayerState()
    {
        bcm2835_set_debug(0);
        bcm2835_close();
        bcm2835_spi_setBitOrder(1);
        bcm2835_peripherals_base = BCM2835_PERI_BASE;
        bcm2835_peripherals_size = BCM2835_PERI_SIZE;
        pud_type_rpi4 = 0;
        bcm2835_soc_ranges_file = "/proc/device-tree/soc/ranges";
        bcm2835_compatible_file = "/proc/device-tree/compatible";
        bcm2835_sysfs_gpio_dir = "/sys/class/gpio";
        bcm2835_sysfs_platform_dir = "/sys/bus/platform/devices";
    }

    // Write the device tree's properties the layer will read.
    void setRanges(const QByteArray& contents) const { write(rangesPath, contents); }
    void setCompatible(const QByteArray& contents) const { write(compatiblePath, contents); }

    QTemporaryDir dir;
    // Nothing there until a test writes it.
    QByteArray rangesPath = QDir(dir.path()).filePath("ranges").toLocal8Bit();
    QByteArray compatiblePath = QDir(dir.path()).filePath("compatible").toLocal8Bit();
    QByteArray sysfsPath = QDir(dir.path()).filePath("gpio").toLocal8Bit();
    QByteArray platformPath = QDir(dir.path()).filePath("platform").toLocal8Bit();

private:
    static void write(const QByteArray& path, const QByteArray& contents)
    {
        QFile file(QString::fromLocal8Bit(path));
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(contents);
    }
};

struct EmulatedPi {
    EmulatedPi()
    {
        // The Pi's pull-ups keep both chip selects inactive.
        wiring.setPull(BCM2835_SPI0_CE0_PIN, true);
        wiring.setPull(BCM2835_SPI0_CE1_PIN, true);
        wiring.attach(ce0, BCM2835_SPI0_CE0_PIN);
        wiring.attach(ce1, BCM2835_SPI0_CE1_PIN);
    }

    // init and spi_begin as the worker does them.
    bool begin() { return bcm2835_init() == 1 && bcm2835_spi_begin() == 1; }

    volatile std::uint32_t* gpioReg(std::uint32_t offset) const { return bcm2835_gpio + offset / 4; }
    volatile std::uint32_t* spiReg(std::uint32_t offset) const { return bcm2835_spi0 + offset / 4; }

    sim::VirtualClock clock;
    sim::BoardWiring wiring{clock};
    sim::SocEmulator soc{wiring};
    ProbeChip ce0{"ce0"};
    ProbeChip ce1{"ce1"};
    // Last, so that the layer lets go of the window before the SoC goes.
    LayerState layer;
};

inline std::vector<std::uint8_t> bytes(std::initializer_list<int> values)
{
    std::vector<std::uint8_t> out;
    for (int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}
