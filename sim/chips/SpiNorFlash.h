#pragma once

#include "BusyPeriod.h"
#include "Faults.h"
#include "SpiDevice.h"
#include "VirtualClock.h"

#include <array>
#include <cstdint>
#include <vector>

namespace sim {

// What a serial NOR flash command does. Each part's command table maps its
// opcodes to these.
enum class SpiNorAction {
    WriteEnable,   // sets WEL
    WriteDisable,  // clears WEL
    ReadStatus,    // the status register, repeated
    WriteStatus,   // one status byte; needs WEL
    ReadId,        // identification bytes
    ReadIdAt,      // 3 address bytes, then identification bytes
    Read,          // 3 address bytes, then data, wrapping at the decoded addresses' end
    PageProgram,   // 3 address bytes, then data, wrapping inside the page; needs WEL
    Erase,         // 3 address bytes, or none for the whole array; needs WEL
};

struct SpiNorCommand {
    std::uint8_t opcode;
    const char* name;  // as a protocol decoder shows it
    SpiNorAction action;
    Nanos busyTime = 0;  // typical; WIP stays set this long after WriteStatus, PageProgram, Erase
    std::uint32_t eraseUnit = 0;  // Erase: bytes of the unit; the array's size: the whole array, no address
};

// The sizes that set one part apart.
struct SpiNorGeometry {
    std::uint32_t size;         // bytes in the array
    std::uint32_t addressMask;  // the address bits the chip decodes
    std::uint32_t pageSize;
    std::uint8_t statusWriteMask;  // the status bits that WRSR writes; they survive a power cycle
};

// The mechanics that serial NOR flash parts share, as the wires see them:
//
// - A frame is one command: the opcode, for most commands 3 address bytes
//   (most significant first), then data. Commands that change the chip act
//   when it is deselected after a frame of the right length; any other
//   length is ignored.
// - PageProgram, Erase and WriteStatus need the write-enable latch (WEL),
//   keep WIP set for their busy time (scaled by a slow chip's factor,
//   endless with a stuck busy bit), apply their change when it has passed,
//   and clear WEL. While WIP is set every command but ReadStatus is ignored.
// - Programming only clears bits; a page program wraps inside its page.
//   Erase works on whole units.
// - What the datasheet forbids is reported as a violation, once per frame,
//   and the chip then does what the real one does (mostly: nothing). The
//   rules: no command but ReadStatus while busy; chip select raised only
//   where a frame may end (not inside the address, and for a command that
//   changes the chip right after its last byte); program, erase and status
//   write only with WEL set; program and erase only outside the protected
//   area; a page program's data may hold a 1 only where the cell holds one
//   (the chip cannot raise a bit, and a driver that counts on it is wrong).
// - Status register: bit 0 WIP, bit 1 WEL, the rest as the part's WRSR writes them.
// - When the power goes mid-operation, the unit is left partly done, the
//   same bytes for the same seed and progress.
//
// A part is its geometry, its command table, its identification and,
// where it has one, its write protection.
class SpiNorFlash : public SpiDevice {
public:
    static constexpr std::uint8_t kWip = 0x01;
    static constexpr std::uint8_t kWel = 0x02;

    void select() override;
    bool exchange(std::uint8_t mosi, std::uint8_t& miso) override;
    // The data of a read or a page program at once; anything else byte by byte.
    std::size_t exchangeRun(const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count) override;
    // The data of a read.
    std::size_t answersAhead(std::uint8_t* miso, std::size_t count) override;
    void deselect() override;
    // A status poll while the operation runs on past the frame.
    bool quietFrame(const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count, Nanos end) override;
    bool quietFrameHolds(const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count, Nanos end) const override;
    bool busy() const override;
    FrameMeaning decode(const FrameSample& frame) const override;

    // The status register, after finishing an operation whose time has passed.
    std::uint8_t status();
    // Finishes an operation whose busy time has passed.
    void settle();
    // Lets a running operation complete now, as it would with the power on.
    void finishOperation();
    // Power off and on: a running operation completes, WEL starts cleared.
    void powerUp();
    // The power goes: an operation under way is left partly done.
    void cutPower(std::uint32_t seed);

    // The status bits that WRSR writes, for keeping the chip between runs.
    std::uint8_t nonVolatileStatus() const { return statusBits_; }
    void restoreNonVolatileStatus(std::uint8_t bits) { statusBits_ = bits & geometry_.statusWriteMask; }

    static const FlashFaults& noFaults();

protected:
    // memory: geometry.size bytes, byte i at address i; not owned. faults:
    // the board's, looked at on every access (a slow chip's factor scales the
    // commands' busy times).
    SpiNorFlash(const SpiNorGeometry& geometry, const std::vector<SpiNorCommand>& commands, std::uint8_t* memory,
                const VirtualClock& clock, const FlashFaults& faults);

    // Byte n (from 0) of the part's identification; address: what the frame
    // sent before it, for ReadIdAt.
    virtual std::uint8_t idByte(std::uint32_t n, std::uint32_t address) const = 0;
    // The first address that program and erase must not reach: the array's
    // size when nothing is protected.
    virtual std::uint32_t writableEnd() const { return geometry_.size; }

    std::uint8_t statusBits() const { return statusBits_; }

private:
    // The status register as it reads with the busy bit so.
    std::uint8_t statusWith(bool busy) const;
    enum class Op { None, WriteStatus, Program, Erase };
    static constexpr std::uint32_t kAddressBytes = 3;

    static bool addressed(const SpiNorCommand& command, std::uint32_t size);
    // Whether the frame being clocked in is past the address of this command.
    bool inData(SpiNorAction action) const;
    std::size_t readRun(std::uint8_t* miso, std::size_t count);
    // Whether the frame that has just ended is one the command acts on;
    // reports it when chip select rose where the command forbids it.
    bool wholeFrame(const SpiNorCommand& command) const;
    // What a whole frame of the command does when the chip is deselected.
    void act(const SpiNorCommand& command);
    // The checks of a command that changes the memory or the status
    // register; each reports the breach when it fails.
    bool writeEnabled(const SpiNorCommand& command) const;
    bool outsideProtection(const SpiNorCommand& command, std::uint32_t start, std::uint32_t length) const;
    void checkOnlyClearsBits(std::uint32_t page) const;
    // The command as a violation names it: "PP at 0x000100", "CE".
    QString described(const SpiNorCommand& command) const;
    // What the chip is busy with, as a violation names it.
    const char* operationName() const;
    void start(Op op, std::uint32_t address, std::uint32_t length, Nanos typical);
    // Applies the pending operation to the bytes for which done() is true.
    template <typename Done>
    void apply(Done done);

    SpiNorGeometry geometry_;
    std::vector<SpiNorCommand> commands_;
    std::array<const SpiNorCommand*, 256> byOpcode_{};
    std::uint8_t* mem_;
    const VirtualClock& clock_;
    const FlashFaults& faults_;

    std::uint8_t statusBits_ = 0;
    bool wel_ = false;
    Op op_ = Op::None;
    BusyPeriod period_{clock_, faults_};
    std::uint32_t opAddress_ = 0;
    std::uint32_t opLength_ = 0;
    std::uint8_t newStatus_ = 0;

    // The frame being clocked in.
    const SpiNorCommand* command_ = nullptr;
    bool ignoring_ = false;
    std::uint32_t count_ = 0;
    std::uint32_t address_ = 0;
    std::uint8_t written_ = 0;
    std::vector<std::uint8_t> page_;
    std::vector<bool> pageWritten_;
};

}  // namespace sim
