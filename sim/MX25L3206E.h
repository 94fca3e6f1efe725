#pragma once

#include "BusyPeriod.h"
#include "Faults.h"
#include "SpiDevice.h"
#include "VirtualClock.h"

#include <array>
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
// WREN, WRDI, WRSR, PP and CE act when the chip is deselected after a whole
// frame (any other length is ignored). WRSR, PP and CE then keep WIP set for
// their busy time, apply their change when it has passed, and clear WEL.
// While WIP is set every command but RDSR is ignored. Programming only
// clears bits.
//
// Block protection, by the level BP3-BP0 (status bits 2-5): level 0 protects
// nothing, levels 1 to 6 protect the top 1, 2, 4, 8, 16 or 32 blocks of
// 64 KiB, level 7 and above (0x3F sets level 15) the whole array. A PP into
// a protected page and a CE with any level set are refused: memory, WEL and
// WIP stay as they are. SRWD (bit 7) is kept but has no effect, as the
// board holds WP# high.
class MX25L3206E : public SpiDevice {
public:
    static constexpr std::uint32_t kSize = 4u << 20;
    static constexpr std::uint32_t kPageSize = 256;
    static constexpr std::uint32_t kBlockSize = 65536;
    static constexpr std::uint8_t kManufacturerId = 0xC2;
    static constexpr std::uint8_t kDeviceId = 0x15;

    static constexpr std::uint8_t kWip = 0x01;
    static constexpr std::uint8_t kWel = 0x02;
    // The status bits that WRSR writes and that survive a power cycle.
    static constexpr std::uint8_t kNonVolatileBits = 0xBC;

    using Timing = MX25L3206ETiming;

    // memory: kSize bytes, byte i at flash address i; not owned. faults: the
    // board's, looked at on every access; the slow factor scales the timing.
    MX25L3206E(std::uint8_t* memory, const VirtualClock& clock, const FlashFaults& faults = noFaults(),
               Timing timing = {});

    static const FlashFaults& noFaults();

    const char* name() const override { return "MX25L3206E"; }
    void select() override;
    bool exchange(std::uint8_t mosi, std::uint8_t& miso) override;
    void deselect() override;
    bool busy() const override;
    FrameMeaning decode(const FrameSample& frame) const override;

    // These three first finish an operation whose busy time has passed.
    std::uint8_t status();
    // The protection level BP3-BP0 in force (0 to 15).
    unsigned protectionLevel();
    // The first address that the protection level covers (kSize for none).
    std::uint32_t protectedFrom();

    // Finishes an operation whose busy time has passed.
    void settle();
    // Lets a running operation complete now, as it would with the power on.
    void finishOperation();
    // Power off and on: a running operation completes, WEL starts cleared.
    void powerUp();
    // The power goes: an operation under way is left partly done.
    void cutPower(std::uint32_t seed);

    // The non-volatile status bits, for keeping the chip between runs.
    std::uint8_t nonVolatileStatus() const { return statusBits_; }
    void restoreNonVolatileStatus(std::uint8_t bits) { statusBits_ = bits & kNonVolatileBits; }

private:
    enum class Op { None, WriteStatus, Program, Erase };

    void start(Op op, Nanos duration);
    // Applies the pending operation where done(address) is true.
    template <typename Done>
    void apply(Done done);
    unsigned level() const { return (statusBits_ >> 2) & 0x0F; }
    std::uint32_t protectionStart() const;

    std::uint8_t* mem_;
    const VirtualClock& clock_;
    const FlashFaults& faults_;
    Timing timing_;

    std::uint8_t statusBits_ = 0;
    bool wel_ = false;
    Op op_ = Op::None;
    BusyPeriod period_{clock_, faults_};
    std::uint8_t newStatus_ = 0;
    std::uint32_t pageAddress_ = 0;

    // The frame being clocked in.
    bool ignoring_ = false;
    std::uint8_t opcode_ = 0;
    std::uint32_t count_ = 0;
    std::uint32_t address_ = 0;
    std::uint8_t written_ = 0;
    std::array<std::uint8_t, kPageSize> page_{};
    std::array<bool, kPageSize> pageWritten_{};
};

}  // namespace sim
