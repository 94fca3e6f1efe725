#pragma once

#include "SpiNorFlash.h"

#include <cstdint>

namespace sim {

// Busy times. The defaults are typical ones, each well inside the fixed wait
// that the updater allows for it (10 ms after a status write, 3 ms after a
// page); the chip erase takes long enough to be polled.
struct MX25L3206ETiming {
    Nanos writeStatus = 5 * kMillisecond;
    Nanos pageProgram = 1400 * kMicrosecond;
    Nanos chipErase = 25 * kSecond;

    // A slow chip: the status write and the page outlast the updater's fixed
    // waits, and the erase takes the longest time the datasheet allows.
    static MX25L3206ETiming slow() { return {40 * kMillisecond, 5 * kMillisecond, 50 * kSecond}; }
};

// Macronix MX25L3206E serial NOR flash, 4 MiB in 256-byte pages.
//
//   opcode  command                 frame after the opcode       effect
//   0x06    WREN write enable       -                            sets WEL
//   0x04    WRDI write disable      -                            clears WEL
//   0x01    WRSR write status       status byte                  SRWD, BP3-BP0; needs WEL
//   0x05    RDSR read status        status byte, repeated        bit 0 WIP, bit 1 WEL, bits 2-5 BP0-BP3
//   0x90    REMS read IDs           addr[3], IDs, repeated       0xC2 0x15, or 0x15 0xC2 when addr bit 0 is 1
//   0x03    READ read data          addr[3], data...             continues, wraps at the chip's end
//   0x02    PP   page program       addr[3], data...             wraps inside the 256-byte page; needs WEL
//   0x60    CE   chip erase         -                            whole array; needs WEL and BP3-BP0 clear
//   0xC7    CE   chip erase (same as 0x60)
//
// Block protection, by the level BP3-BP0 (status bits 2-5): level 0 protects
// nothing, levels 1 to 6 protect the top 1, 2, 4, 8, 16 or 32 blocks of
// 64 KiB, level 7 and above (0x3F sets level 15) the whole array. A PP into
// a protected page and a CE with any level set are refused, and reported as
// violations: memory, WEL and WIP stay as they are. SRWD (bit 7) is kept but has no effect, as the
// board holds WP# high.
class MX25L3206E : public SpiNorFlash {
public:
    static constexpr std::uint8_t kManufacturerId = 0xC2;
    static constexpr std::uint8_t kDeviceId = 0x15;
    static constexpr std::uint32_t kSize = 4u << 20;
    static constexpr std::uint32_t kPageSize = 256;
    static constexpr std::uint32_t kBlockSize = 65536;
    // The status bits that WRSR writes and that survive a power cycle.
    static constexpr std::uint8_t kNonVolatileBits = 0xBC;

    MX25L3206E(std::uint8_t* memory, const VirtualClock& clock, const FlashFaults& faults = noFaults(),
               MX25L3206ETiming timing = {});

    const char* name() const override { return "MX25L3206E"; }

    // These two first finish an operation whose busy time has passed.
    // The protection level BP3-BP0 in force (0 to 15).
    unsigned protectionLevel();
    // The first address that the protection level covers (kSize for none).
    std::uint32_t protectedFrom();

private:
    std::uint8_t idByte(std::uint32_t n, std::uint32_t address) const override;
    std::uint32_t writableEnd() const override;
    unsigned level() const { return (statusBits() >> 2) & 0x0F; }
};

}  // namespace sim
