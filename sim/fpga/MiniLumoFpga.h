#pragma once

#include "BoardWiring.h"
#include "Faults.h"
#include "MX25L3206E.h"

#include <cstdint>

namespace sim {

// The FPGA of a Mini Lumo board. At power-up it loads its configuration from
// the MX25L3206E; its DONE line (GPIO 13, an input to the Pi) is high when
// that configuration was valid, that is when the sync word 0xAA995566 stands
// within the first 1 KiB of the flash. It keeps what it loaded until the
// next power-up, however the flash changes meanwhile.
class MiniLumoFpga {
public:
    static constexpr unsigned kDonePin = 13;
    static constexpr std::uint32_t kSyncWindow = 1024;

    // faults: the board's; with doneStuckLow the DONE line stays low.
    MiniLumoFpga(BoardWiring& wiring, MX25L3206E& flash, const std::uint8_t* memory,
                 const BoardFaults* faults = nullptr);

    // Whether the FPGA took a valid configuration at its last power-up.
    bool configured() const { return configured_; }
    // The level of the DONE line.
    bool done() const;
    // Power lost: nothing configured.
    void powerDown();
    // Power-up: configure from the flash as it is now.
    void powerUp();
    // Continues from a saved state.
    void restore(bool configured);

    // Whether a flash image of MX25L3206E::kSize bytes holds a configuration.
    static bool validConfiguration(const std::uint8_t* memory);

private:
    void configure(bool valid);

    BoardWiring& wiring_;
    MX25L3206E& flash_;
    const std::uint8_t* memory_;
    const BoardFaults* faults_;
    bool configured_ = false;
};

}  // namespace sim
