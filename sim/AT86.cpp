#include "AT86.h"

namespace sim {

namespace {
constexpr std::uint8_t kWriteFlag = 0x80;
constexpr std::uint16_t kAddressMask = AT86::kAddressSpace - 1;
}  // namespace

AT86::AT86(Identity identity) : identity_(identity) {}

std::uint8_t AT86::reg(std::uint16_t address) const
{
    switch (address & kAddressMask) {
    case kPartNumberAddress:
        return identity_.partNumber;
    case kVersionAddress:
        return identity_.version;
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
    if (!identity_.present)
        return false;
    const std::uint32_t index = count_++;
    if (index == 0) {
        write_ = (mosi & kWriteFlag) != 0;
        address_ = static_cast<std::uint16_t>((mosi & 0x3F) << 8);
        return false;
    }
    if (index == 1) {
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

}  // namespace sim
