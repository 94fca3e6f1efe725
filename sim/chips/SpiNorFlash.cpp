#include "SpiNorFlash.h"

#include "PowerCut.h"

#include <algorithm>

namespace sim {

SpiNorFlash::SpiNorFlash(const SpiNorGeometry& geometry, const std::vector<SpiNorCommand>& commands,
                         std::uint8_t* memory, const VirtualClock& clock, const FlashFaults& faults)
    : geometry_(geometry), commands_(commands), mem_(memory), clock_(clock), faults_(faults),
      page_(geometry.pageSize), pageWritten_(geometry.pageSize)
{
    for (const SpiNorCommand& command : commands_)
        byOpcode_[command.opcode] = &command;
}

const FlashFaults& SpiNorFlash::noFaults()
{
    static const FlashFaults none;
    return none;
}

bool SpiNorFlash::addressed(const SpiNorCommand& command, std::uint32_t size)
{
    switch (command.action) {
    case SpiNorAction::ReadIdAt:
    case SpiNorAction::Read:
    case SpiNorAction::PageProgram:
        return true;
    case SpiNorAction::Erase:
        return command.eraseUnit < size;
    default:
        return false;
    }
}

FrameMeaning SpiNorFlash::decode(const FrameSample& frame) const
{
    if (frame.mosi.empty())
        return {};
    const SpiNorCommand* command = byOpcode_[frame.mosi[0]];
    if (!command)
        return decodeData(frame, QStringLiteral("opcode 0x%1").arg(frame.mosi[0], 2, 16, QLatin1Char('0')), 1, false);
    const QString name = QString::fromLatin1(command->name);
    switch (command->action) {
    case SpiNorAction::ReadStatus:
    case SpiNorAction::ReadId:
        return decodeData(frame, name, 1, true);
    case SpiNorAction::WriteStatus:
        return decodeData(frame, name, 1, false);
    case SpiNorAction::ReadIdAt:
    case SpiNorAction::Read:
        return decodeAddressed(frame, name, true);
    case SpiNorAction::PageProgram:
        return decodeAddressed(frame, name, false);
    case SpiNorAction::Erase:
        return addressed(*command, geometry_.size) ? decodeAddressed(frame, name, false) : decodeCommand(name);
    default:
        return decodeCommand(name);
    }
}

bool SpiNorFlash::busy() const
{
    return faults_.busyStuck || (op_ != Op::None && period_.running());
}

std::uint8_t SpiNorFlash::status()
{
    settle();
    return static_cast<std::uint8_t>(statusBits_ | (wel_ ? kWel : 0) | (busy() ? kWip : 0));
}

void SpiNorFlash::start(Op op, std::uint32_t address, std::uint32_t length, Nanos typical)
{
    op_ = op;
    opAddress_ = address;
    opLength_ = length;
    period_.begin(typical);
}

template <typename Done>
void SpiNorFlash::apply(Done done)
{
    switch (op_) {
    case Op::WriteStatus:
        if (done(0))
            statusBits_ = newStatus_;
        break;
    case Op::Program:
        for (std::uint32_t off = 0; off < opLength_; ++off) {
            const std::uint32_t address = opAddress_ + off;
            if (pageWritten_[off] && !faults_.programFails(address) && done(address))
                mem_[address] &= page_[off];
        }
        break;
    case Op::Erase:
        for (std::uint32_t address = opAddress_; address < opAddress_ + opLength_; ++address)
            if (done(address))
                mem_[address] = 0xFF;
        break;
    case Op::None:
        break;
    }
    op_ = Op::None;
    wel_ = false;
}

void SpiNorFlash::settle()
{
    if (op_ == Op::None || busy())
        return;
    apply([](std::uint32_t) { return true; });
}

void SpiNorFlash::finishOperation()
{
    period_.endNow();
    settle();
}

void SpiNorFlash::powerUp()
{
    finishOperation();
    wel_ = false;
}

void SpiNorFlash::cutPower(std::uint32_t seed)
{
    settle();
    if (op_ == Op::None)
        return;
    const double progress = period_.progress();
    apply([seed, progress](std::uint32_t address) { return doneAtPowerCut(seed, address, progress); });
}

void SpiNorFlash::select()
{
    if (faults_.absent)
        return;
    settle();
    command_ = nullptr;
    count_ = 0;
    address_ = 0;
    ignoring_ = false;
}

bool SpiNorFlash::exchange(std::uint8_t mosi, std::uint8_t& miso)
{
    if (faults_.absent)
        return false;
    const std::uint32_t index = count_++;
    if (index == 0) {
        command_ = byOpcode_[mosi];
        ignoring_ = busy() && !(command_ && command_->action == SpiNorAction::ReadStatus);
        if (!ignoring_ && command_ && command_->action == SpiNorAction::PageProgram)
            std::fill(pageWritten_.begin(), pageWritten_.end(), false);
        return false;
    }
    if (ignoring_ || !command_)
        return false;

    if (index <= kAddressBytes && addressed(*command_, geometry_.size)) {
        address_ = (address_ << 8) | mosi;
        if (index == kAddressBytes)
            address_ &= geometry_.addressMask;
        return false;
    }
    switch (command_->action) {
    case SpiNorAction::ReadStatus:
        miso = status();
        return true;
    case SpiNorAction::WriteStatus:
        if (index == 1)
            written_ = mosi;
        return false;
    case SpiNorAction::ReadId:
        miso = idByte(index - 1, 0);
        return true;
    case SpiNorAction::ReadIdAt:
        miso = idByte(index - 1 - kAddressBytes, address_);
        return true;
    case SpiNorAction::Read:
        miso = mem_[address_];
        if (faults_.readFlip && faults_.readFlip->first == address_)
            miso ^= faults_.readFlip->second;
        address_ = (address_ + 1) & geometry_.addressMask;
        return true;
    case SpiNorAction::PageProgram: {
        const std::uint32_t mask = geometry_.pageSize - 1;
        const std::uint32_t off = ((address_ & mask) + index - 1 - kAddressBytes) & mask;
        page_[off] = mosi;
        pageWritten_[off] = true;
        return false;
    }
    default:
        return false;
    }
}

void SpiNorFlash::deselect()
{
    if (faults_.absent || ignoring_ || count_ == 0)
        return;
    if (command_)
        act(*command_);
    // An operation with no busy time (a zero timing) completes at once.
    settle();
}

void SpiNorFlash::act(const SpiNorCommand& command)
{
    switch (command.action) {
    case SpiNorAction::WriteEnable:
        if (count_ == 1)
            wel_ = true;
        break;
    case SpiNorAction::WriteDisable:
        if (count_ == 1)
            wel_ = false;
        break;
    case SpiNorAction::WriteStatus:
        if (wel_ && count_ == 2) {
            newStatus_ = written_ & geometry_.statusWriteMask;
            start(Op::WriteStatus, 0, 0, command.busyTime);
        }
        break;
    case SpiNorAction::PageProgram:
        if (wel_ && count_ > 1 + kAddressBytes) {
            const std::uint32_t page = address_ & ~(geometry_.pageSize - 1);
            if (page + geometry_.pageSize <= writableEnd())
                start(Op::Program, page, geometry_.pageSize, command.busyTime);
        }
        break;
    case SpiNorAction::Erase:
        // The erase runs only when the chip is deselected right after the address.
        if (!addressed(command, geometry_.size)) {
            if (wel_ && count_ == 1 && geometry_.size <= writableEnd())
                start(Op::Erase, 0, geometry_.size, command.busyTime);
        } else if (wel_ && count_ == 1 + kAddressBytes) {
            const std::uint32_t unit = address_ & ~(command.eraseUnit - 1);
            if (unit + command.eraseUnit <= writableEnd())
                start(Op::Erase, unit, command.eraseUnit, command.busyTime);
        }
        break;
    default:
        break;
    }
}

}  // namespace sim
