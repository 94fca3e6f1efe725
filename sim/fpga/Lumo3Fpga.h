#pragma once

#include "BoardWiring.h"
#include "Faults.h"
#include "N25Q256.h"

#include <chrono>
#include <cstdint>

namespace sim {

// The Artix FPGA of a Lumo3 board. A low level on its PROGRAM line (GPIO 26)
// resets it; when the line goes high again it reads its configuration from
// the N25Q256 for configTime, during which it owns the flash's pins and the
// Pi's transfers reach nothing (MISO floats high). Which image it then runs
// follows the MultiBoot layout (selectImage).
//
// The program holds the line low with a sleep of its own, which the virtual
// clock does not see; the time the line stays low on the host's clock, in
// whole milliseconds, is added to the virtual clock as a wait when it rises.
class Lumo3Fpga {
public:
    enum class Image { None, Golden, Update };

    static constexpr unsigned kProgramPin = 26;
    static constexpr Nanos kDefaultConfigTime = 100 * kMillisecond;

    static constexpr std::uint32_t kSwitchWordAddress = 0x000FFC;
    static constexpr std::uint32_t kGoldenHeaderAddress = 0x001000;
    static constexpr std::uint32_t kGoldenImageAddress = 0x001020;
    static constexpr std::uint32_t kUpdateImageAddress = 0x400000;
    static constexpr std::uint32_t kSyncWindow = 1024;

    // faults: the board's; with fpgaNeverConfigures a configuration never ends.
    Lumo3Fpga(BoardWiring& wiring, N25Q256& flash, const std::uint8_t* memory,
              const BoardFaults& faults = noFaults(), Nanos configTime = kDefaultConfigTime);

    static const BoardFaults& noFaults();

    // The flash as the Pi's SPI bus sees it through the FPGA.
    SpiDevice& flashPort() { return port_; }

    Image loaded();
    bool configuring();
    // Lets a configuration that is under way run to its end, as it would
    // after the program has exited. One that never ends (a fault) goes on
    // holding the flash.
    void finishConfiguration();
    // Power-up: configure from the flash as it is now.
    void powerUp();
    // Power lost: nothing configured.
    void powerDown();
    // Continues from a saved state; holdingFlash: a configuration that never
    // ended is still under way.
    void restore(Image loaded, bool holdingFlash);

    // The MultiBoot decision on a flash image of N25Q256::kSize bytes.
    static Image selectImage(const std::uint8_t* memory);
    static const char* imageName(Image image);

private:
    class FlashPort : public SpiDevice {
    public:
        FlashPort(Lumo3Fpga& fpga, N25Q256& flash) : fpga_(fpga), flash_(flash) {}
        const char* name() const override { return flash_.name(); }
        void select() override;
        bool exchange(std::uint8_t mosi, std::uint8_t& miso) override;
        std::size_t exchangeRun(const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count) override;
        std::size_t answersAhead(std::uint8_t* miso, std::size_t count) override
        {
            return connected_ ? flash_.answersAhead(miso, count) : 0;
        }
        void deselect() override;
        bool busy() const override { return flash_.busy(); }
        FrameMeaning decode(const FrameSample& frame) const override { return flash_.decode(frame); }

    private:
        Lumo3Fpga& fpga_;
        N25Q256& flash_;
        bool connected_ = false;
    };

    void onProgramLine(bool high);
    void settle();

    BoardWiring& wiring_;
    N25Q256& flash_;
    const std::uint8_t* memory_;
    const BoardFaults& faults_;
    Nanos configTime_;
    FlashPort port_;
    Image loaded_ = Image::None;
    bool configuring_ = false;
    Nanos configEnd_ = 0;
    std::chrono::steady_clock::time_point lowSince_;
};

}  // namespace sim
