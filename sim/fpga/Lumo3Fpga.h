#pragma once

#include "BoardWiring.h"
#include "Faults.h"
#include "N25Q256.h"
#include "Series7Configuration.h"
#include "Series7Packets.h"

#include <cstdint>

namespace sim {

// The Artix FPGA of a Lumo3 board. A low level on its PROGRAM line (GPIO 26)
// resets it; when the line goes high again it reads its configuration from
// the N25Q256 for as long as the stream makes it read (Outcome::readNanos),
// during which it owns the flash's pins and the Pi's transfers reach nothing
// (MISO floats high). What it then runs is what the 7-series configuration
// logic makes of the flash (Series7Configuration); a configuration that hangs
// goes on holding the flash until PROGRAM_B is pulled low again.
//
// The program holds the line low with a sleep of its own, which the virtual
// clock does not see and does not count: a host's sleep lasts as long as the
// host's load makes it, and the modelled time of a run must not depend on it.
class Lumo3Fpga {
public:
    using Image = Series7Configuration::Image;
    using Outcome = Series7Configuration::Outcome;

    static constexpr unsigned kProgramPin = 26;

    static constexpr std::uint32_t kSwitchWordAddress = 0x000FFC;
    // The FPGA reads with 3-byte addresses: the lowest 16 MiB of the flash.
    static constexpr std::uint32_t kReadWindow = 16u << 20;

    // faults: the board's; with fpgaNeverConfigures a configuration never ends.
    Lumo3Fpga(BoardWiring& wiring, N25Q256& flash, const std::uint8_t* memory,
              const BoardFaults& faults = noFaults());

    static const BoardFaults& noFaults();

    // The flash as the Pi's SPI bus sees it through the FPGA.
    SpiDevice& flashPort() { return port_; }

    Image loaded();
    // What the last configuration came to, and why.
    const Outcome& outcome();
    // The board's part, the IDCODE that images must name.
    void setPart(std::uint32_t idcode) { part_ = idcode; }
    std::uint32_t part() const { return part_; }
    bool configuring();
    // Lets a configuration that is under way run to its end, as it would
    // after the program has exited. One that never ends (a fault, or a
    // stream that hangs) goes on holding the flash.
    void finishConfiguration();
    // Power-up: configure from the flash as it is now.
    void powerUp();
    // Power lost: nothing configured.
    void powerDown();
    // Continues from a saved state; holdingFlash: a configuration that never
    // ended is still under way.
    void restore(const Outcome& outcome, bool holdingFlash);

    // What a configuration from the flash as it is now would come to.
    Outcome nextBoot() const;
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
        bool quietFrame(const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count, Nanos end) override;
        bool quietFrameHolds(const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count,
                             Nanos end) const override
        {
            return !fpga_.configuring() && flash_.quietFrameHolds(mosi, miso, count, end);
        }
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
    FlashPort port_;
    std::uint32_t part_ = series7::kXc7a35t;
    Outcome outcome_;
    bool configuring_ = false;
    Nanos configEnd_ = 0;
};

}  // namespace sim
