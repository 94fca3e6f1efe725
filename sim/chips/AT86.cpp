#include "AT86.h"

namespace sim {

namespace {
constexpr std::uint8_t kWriteFlag = 0x80;
constexpr std::uint8_t kReservedBit = 0x40;
constexpr std::uint32_t kCommandBytes = 2;
constexpr std::uint16_t kAddressMask = AT86::kAddressSpace - 1;
}  // namespace

AT86::AT86(Identity identity, const BoardFaults* faults) : identity_(identity), faults_(faults) {}

AT86::Identity AT86::identity() const
{
    Identity id = identity_;
    if (faults_ && faults_->transceiver == BoardFaults::Transceiver::Absent)
        id.present = false;
    if (faults_ && faults_->transceiver == BoardFaults::Transceiver::OtherPart)
        id.partNumber = kOtherPartNumber;
    return id;
}

FrameMeaning AT86::decode(const FrameSample& frame) const
{
    if (frame.mosi.size() < 2)
        return SpiDevice::decode(frame);
    const bool write = (frame.mosi[0] & kWriteFlag) != 0;
    FrameMeaning meaning = decodeData(frame, write ? QStringLiteral("WRITE REG") : QStringLiteral("READ REG"), 2, !write);
    meaning.address = static_cast<std::uint32_t>(((frame.mosi[0] & 0x3F) << 8) | frame.mosi[1]);
    return meaning;
}

std::uint8_t AT86::reg(std::uint16_t address) const
{
    switch (address & kAddressMask) {
    case kPartNumberAddress:
        return identity().partNumber;
    case kVersionAddress:
        return identity().version;
    default:
        return regs_[address & kAddressMask];
    }
}

void AT86::select()
{
    count_ = 0;
    address_ = 0;
}

bool AT86::exchange(std::uint8_t mosi, std::uint8_t& miso)
{
    if (!identity().present)
        return false;
    const std::uint32_t index = count_++;
    if (index == 0) {
        if (mosi & kReservedBit)
            violated(QStringLiteral("command word with its reserved bit 14 set (byte 0x%1)")
                         .arg(mosi, 2, 16, QLatin1Char('0')));
        write_ = (mosi & kWriteFlag) != 0;
        address_ = static_cast<std::uint16_t>((mosi & 0x3F) << 8);
        return false;
    }
    if (index == kCommandBytes - 1) {
        address_ = static_cast<std::uint16_t>(address_ | mosi);
        return false;
    }
    const std::uint16_t at = address_ & kAddressMask;
    address_ = static_cast<std::uint16_t>(address_ + 1);
    if (write_) {
        if (at != kPartNumberAddress && at != kVersionAddress)
            regs_[at] = mosi;
        return false;
    }
    miso = reg(at);
    return true;
}

void AT86::deselect()
{
    if (identity().present && count_ > 0 && count_ < kCommandBytes)
        violated(QStringLiteral("chip select raised inside the command word (%1 of its %2 bytes)")
                     .arg(count_)
                     .arg(kCommandBytes));
}

}  // namespace sim
