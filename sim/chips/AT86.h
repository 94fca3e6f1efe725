#pragma once

#include "Faults.h"
#include "SpiDevice.h"

#include <array>
#include <cstdint>

namespace sim {

// What the transceiver answers to its identification reads; the defaults are
// the AT86RF215's.
struct AT86Identity {
    bool present = true;
    std::uint8_t partNumber = 0x34;
    std::uint8_t version = 0x03;
};

// Atmel AT86RF215 radio transceiver, as far as its SPI register access goes.
//
//   byte 0    bit 7: 1 write, 0 read; bits 5-0: address bits 13-8
//   byte 1    address bits 7-0
//   byte 2..  data, the address counting up by one per byte
//
// A frame that breaks the access rules is reported as a violation: chip
// select raised inside the 2-byte command word (the access then does
// nothing), or the reserved bit 6 of byte 0 set (address bit 14, beyond the
// register space).
//
// Registers are 8 bits wide in a 14-bit address space. The identification
// registers, part number at 0x000D and version at 0x000E, answer the
// identity's values and ignore writes; the others hold what was last
// written, 0 after reset. A transceiver that is absent never drives MISO,
// so the Pi reads 0xFF.
class AT86 : public SpiDevice {
public:
    static constexpr std::uint16_t kPartNumberAddress = 0x000D;
    static constexpr std::uint16_t kVersionAddress = 0x000E;
    static constexpr std::uint16_t kAddressSpace = 0x4000;

    using Identity = AT86Identity;

    // A part of the same family that is not the AT86RF215 (the RF215IQ).
    static constexpr std::uint8_t kOtherPartNumber = 0x35;

    // faults: the board's; a transceiver fault there overrides the identity.
    explicit AT86(Identity identity = {}, const BoardFaults* faults = nullptr);

    const char* name() const override { return "AT86"; }
    void select() override;
    bool exchange(std::uint8_t mosi, std::uint8_t& miso) override;
    void deselect() override;
    // The transceiver samples on the rising edge of a clock that idles low.
    unsigned spiModes() const override { return kMode0; }

    std::uint8_t reg(std::uint16_t address) const;
    FrameMeaning decode(const FrameSample& frame) const override;

private:
    Identity identity() const;

    Identity identity_;
    const BoardFaults* faults_;
    std::array<std::uint8_t, kAddressSpace> regs_{};
    std::uint32_t count_ = 0;
    bool write_ = false;
    std::uint16_t address_ = 0;
};

}  // namespace sim
