#pragma once

#include "BusyPeriod.h"
#include "Faults.h"
#include "SpiDevice.h"
#include "VirtualClock.h"

#include <array>
#include <cstdint>

namespace sim {

// Busy times, datasheet-typical.
struct N25Q256Timing {
    Nanos pageProgram = 500 * kMicrosecond;
    Nanos subsectorErase = 250 * kMillisecond;
    Nanos sectorErase = 700 * kMillisecond;
};

// Micron N25Q256 serial NOR flash, 32 MiB, in its power-up 3-byte address mode.
//
//   opcode  command             frame after the opcode
//   0x06    write enable        -                          sets WEL
//   0x04    write disable       -                          clears WEL
//   0x05    read status         status byte, repeated      bit 0 WIP, bit 1 WEL
//   0x9E    read identification 20 bytes                   0x20 0xBA 0x19 ...
//   0x9F    read identification (same as 0x9E)
//   0x03    read data           addr[3], data...           continues, wraps at 16 MiB
//   0x02    page program        addr[3], data...           wraps inside the 256-byte page
//   0x20    subsector erase     addr[3]                    4 KiB unit holding addr
//   0xD8    sector erase        addr[3]                    64 KiB unit holding addr
//
// Program and erase need WEL, start when the chip is deselected after a whole
// frame, keep WIP set for their busy time, then clear WEL. While WIP is set
// every command but read status is ignored. Programming only clears bits.
class N25Q256 : public SpiDevice {
public:
    static constexpr std::uint32_t kSize = 32u << 20;
    static constexpr std::uint32_t kPageSize = 256;
    static constexpr std::uint32_t kSubsectorSize = 4096;
    static constexpr std::uint32_t kSectorSize = 65536;

    using Timing = N25Q256Timing;

    // memory: kSize bytes, byte i at flash address i; not owned. faults: the
    // board's, looked at on every access.
    N25Q256(std::uint8_t* memory, const VirtualClock& clock, const FlashFaults& faults = noFaults(),
            Timing timing = {});

    static const FlashFaults& noFaults();

    const char* name() const override { return "N25Q256"; }
    void select() override;
    bool exchange(std::uint8_t mosi, std::uint8_t& miso) override;
    void deselect() override;
    bool busy() const override;
    FrameMeaning decode(const FrameSample& frame) const override;

    std::uint8_t status() const;
    // Finishes an operation whose busy time has passed.
    void settle();
    // Lets a running operation complete now, as it would with the power on.
    void finishOperation();
    // The power goes: an operation under way is left partly done.
    void cutPower(std::uint32_t seed);

    static const std::array<std::uint8_t, 20>& identification();

private:
    enum class Op { None, Program, Erase };

    void startOperation(Op op, std::uint32_t address, std::uint32_t length, Nanos typical);
    // Applies the pending operation to the bytes for which done() is true.
    template <typename Done>
    void apply(Done done);

    std::uint8_t* mem_;
    const VirtualClock& clock_;
    const FlashFaults& faults_;
    Timing timing_;

    bool wel_ = false;
    Op op_ = Op::None;
    BusyPeriod period_{clock_, faults_};
    std::uint32_t opAddress_ = 0;
    std::uint32_t opLength_ = 0;

    // The frame being clocked in.
    bool ignoring_ = false;
    std::uint8_t opcode_ = 0;
    std::uint32_t count_ = 0;
    std::uint32_t address_ = 0;
    std::array<std::uint8_t, kPageSize> page_{};
    std::array<bool, kPageSize> pageWritten_{};
};

}  // namespace sim
