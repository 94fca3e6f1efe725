#pragma once

#include <cstdint>

namespace sim {

// A chip on the SPI bus, seen as the wires show it: select, one byte in and
// out per eight clocks, deselect. A device answers only while selected.
class SpiDevice {
public:
    virtual ~SpiDevice() = default;

    virtual const char* name() const = 0;
    virtual void select() = 0;
    // Returns true when the device drives MISO for this byte, with the byte in miso.
    virtual bool exchange(std::uint8_t mosi, std::uint8_t& miso) = 0;
    virtual void deselect() = 0;
    // Whether an internal operation (program, erase) is still running; only
    // used to tell status polls from useful traffic.
    virtual bool busy() const { return false; }
};

}  // namespace sim
