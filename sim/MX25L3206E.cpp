#include "MX25L3206E.h"

#include "PowerCut.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {
constexpr std::uint8_t kWriteEnable = 0x06;
constexpr std::uint8_t kWriteDisable = 0x04;
constexpr std::uint8_t kWriteStatus = 0x01;
constexpr std::uint8_t kReadStatus = 0x05;
constexpr std::uint8_t kReadIds = 0x90;
constexpr std::uint8_t kRead = 0x03;
constexpr std::uint8_t kPageProgram = 0x02;
constexpr std::uint8_t kChipErase = 0x60;
constexpr std::uint8_t kChipEraseAlt = 0xC7;

constexpr std::uint32_t kAddressMask = MX25L3206E::kSize - 1;  // A23 and A22 are not decoded
constexpr std::uint32_t kAddressBytes = 3;
constexpr unsigned kWholeArrayLevel = 7;
}  // namespace

MX25L3206E::MX25L3206E(std::uint8_t* memory, const VirtualClock& clock, const FlashFaults& faults, Timing timing)
    : mem_(memory), clock_(clock), faults_(faults), timing_(timing)
{
}

const FlashFaults& MX25L3206E::noFaults()
{
    static const FlashFaults none;
    return none;
}

bool MX25L3206E::busy() const
{
    return faults_.busyStuck || (op_ != Op::None && period_.running());
}

FrameMeaning MX25L3206E::decode(const FrameSample& frame) const
{
    if (frame.mosi.empty())
        return {};
    switch (frame.mosi[0]) {
    case kWriteEnable:
        return decodeCommand("WREN");
    case kWriteDisable:
        return decodeCommand("WRDI");
    case kWriteStatus:
        return decodeData(frame, "WRSR", 1, false);
    case kReadStatus:
        return decodeData(frame, "RDSR", 1, true);
    case kReadIds:
        return decodeAddressed(frame, "REMS", true);
    case kRead:
        return decodeAddressed(frame, "READ", true);
    case kPageProgram:
        return decodeAddressed(frame, "PP", false);
    case kChipErase:
    case kChipEraseAlt:
        return decodeCommand("CE");
    default:
        return decodeData(frame, QStringLiteral("opcode 0x%1").arg(frame.mosi[0], 2, 16, QLatin1Char('0')), 1, false);
    }
}

std::uint8_t MX25L3206E::status()
{
    settle();
    return static_cast<std::uint8_t>(statusBits_ | (wel_ ? kWel : 0) | (busy() ? kWip : 0));
}

unsigned MX25L3206E::protectionLevel()
{
    settle();
    return level();
}

std::uint32_t MX25L3206E::protectedFrom()
{
    settle();
    return protectionStart();
}

std::uint32_t MX25L3206E::protectionStart() const
{
    const unsigned bp = level();
    if (bp == 0)
        return kSize;
    if (bp >= kWholeArrayLevel)
        return 0;
    return kSize - (kBlockSize << (bp - 1));
}

void MX25L3206E::start(Op op, Nanos duration)
{
    op_ = op;
    period_.begin(duration);
}

template <typename Done>
void MX25L3206E::apply(Done done)
{
    switch (op_) {
    case Op::WriteStatus:
        if (done(0))
            statusBits_ = newStatus_;
        break;
    case Op::Program:
        for (std::uint32_t off = 0; off < kPageSize; ++off) {
            const std::uint32_t address = pageAddress_ + off;
            if (pageWritten_[off] && !faults_.programFails(address) && done(address))
                mem_[address] &= page_[off];
        }
        break;
    case Op::Erase:
        for (std::uint32_t address = 0; address < kSize; ++address)
            if (done(address))
                mem_[address] = 0xFF;
        break;
    case Op::None:
        break;
    }
    op_ = Op::None;
    wel_ = false;
}

void MX25L3206E::settle()
{
    if (op_ == Op::None || busy())
        return;
    apply([](std::uint32_t) { return true; });
}

void MX25L3206E::finishOperation()
{
    period_.endNow();
    settle();
}

void MX25L3206E::cutPower(std::uint32_t seed)
{
    settle();
    if (op_ == Op::None)
        return;
    const double progress = period_.progress();
    apply([seed, progress](std::uint32_t address) { return doneAtPowerCut(seed, address, progress); });
}

void MX25L3206E::powerUp()
{
    finishOperation();
    wel_ = false;
}

void MX25L3206E::select()
{
    if (faults_.absent)
        return;
    settle();
    count_ = 0;
    address_ = 0;
    ignoring_ = false;
}

bool MX25L3206E::exchange(std::uint8_t mosi, std::uint8_t& miso)
{
    if (faults_.absent)
        return false;
    const std::uint32_t index = count_++;
    if (index == 0) {
        opcode_ = mosi;
        ignoring_ = busy() && opcode_ != kReadStatus;
        if (!ignoring_ && opcode_ == kPageProgram)
            pageWritten_.fill(false);
        return false;
    }
    if (ignoring_)
        return false;

    const bool addressByte = index <= kAddressBytes;
    switch (opcode_) {
    case kReadStatus:
        miso = status();
        return true;
    case kWriteStatus:
        if (index == 1)
            written_ = mosi;
        return false;
    case kReadIds:
        if (addressByte) {
            address_ = (address_ << 8) | mosi;
            return false;
        }
        // Address bit 0 chooses which ID comes first; the two then alternate.
        miso = ((index - 1 - kAddressBytes + (address_ & 1)) % 2) == 0 ? kManufacturerId : kDeviceId;
        return true;
    case kRead:
        if (addressByte) {
            address_ = (address_ << 8) | mosi;
            return false;
        }
        miso = mem_[address_ & kAddressMask];
        if (faults_.readFlip && faults_.readFlip->first == (address_ & kAddressMask))
            miso ^= faults_.readFlip->second;
        address_ = (address_ + 1) & kAddressMask;
        return true;
    case kPageProgram:
        if (addressByte) {
            address_ = (address_ << 8) | mosi;
        } else {
            const std::uint32_t off = ((address_ & (kPageSize - 1)) + index - 1 - kAddressBytes) % kPageSize;
            page_[off] = mosi;
            pageWritten_[off] = true;
        }
        return false;
    default:
        return false;
    }
}

void MX25L3206E::deselect()
{
    if (faults_.absent || ignoring_ || count_ == 0)
        return;
    switch (opcode_) {
    case kWriteEnable:
        if (count_ == 1)
            wel_ = true;
        break;
    case kWriteDisable:
        if (count_ == 1)
            wel_ = false;
        break;
    case kWriteStatus:
        if (wel_ && count_ == 2) {
            newStatus_ = written_ & kNonVolatileBits;
            start(Op::WriteStatus, timing_.writeStatus);
        }
        break;
    case kPageProgram:
        if (wel_ && count_ > 1 + kAddressBytes) {
            const std::uint32_t page = address_ & kAddressMask & ~(kPageSize - 1);
            if (page < protectionStart()) {
                pageAddress_ = page;
                start(Op::Program, timing_.pageProgram);
            }
        }
        break;
    case kChipErase:
    case kChipEraseAlt:
        if (wel_ && count_ == 1 && level() == 0)
            start(Op::Erase, timing_.chipErase);
        break;
    default:
        break;
    }
    // An operation with no busy time (a zero timing) completes at once.
    settle();
}

}  // namespace sim
