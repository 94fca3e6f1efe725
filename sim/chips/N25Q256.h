#pragma once

#include "SpiNorFlash.h"

#include <array>
#include <cstdint>

namespace sim {

// Micron N25Q256 serial NOR flash, 32 MiB in 256-byte pages, in its power-up
// 3-byte address mode: addresses reach the lowest 16 MiB and wrap there.
//
//   opcode  command             frame after the opcode       effect
//   0x06    write enable        -                            sets WEL
//   0x04    write disable       -                            clears WEL
//   0x05    read status         status byte, repeated        bit 0 WIP, bit 1 WEL
//   0x9E    read identification 20 bytes, then 0x00          0x20 0xBA 0x19 ...
//   0x9F    read identification (same as 0x9E)
//   0x03    read data           addr[3], data...             continues, wraps at 16 MiB
//   0x02    page program        addr[3], data...             wraps inside the 256-byte page; needs WEL
//   0x20    subsector erase     addr[3]                      the 4 KiB unit holding addr; needs WEL
//   0xD8    sector erase        addr[3]                      the 64 KiB unit holding addr; needs WEL
//
// Busy times are the datasheet's typical ones: 0.5 ms a page, 250 ms a
// subsector, 700 ms a sector.
//
// No write protection is modelled: the board never sets the block-protect bits.
class N25Q256 : public SpiNorFlash {
public:
    static constexpr std::uint32_t kSize = 32u << 20;
    static constexpr std::uint32_t kPageSize = 256;
    static constexpr std::uint32_t kSubsectorSize = 4096;
    static constexpr std::uint32_t kSectorSize = 65536;

    static const std::array<std::uint8_t, 20>& identification();

    N25Q256(std::uint8_t* memory, const VirtualClock& clock, const FlashFaults& faults = noFaults());
    const char* name() const override { return "N25Q256"; }

private:
    std::uint8_t idByte(std::uint32_t n, std::uint32_t address) const override;
};

}  // namespace sim
