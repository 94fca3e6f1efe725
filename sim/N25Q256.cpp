#include "N25Q256.h"

#include "PowerCut.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {
constexpr std::uint8_t kWriteEnable = 0x06;
constexpr std::uint8_t kWriteDisable = 0x04;
constexpr std::uint8_t kReadStatus = 0x05;
constexpr std::uint8_t kReadId = 0x9E;
constexpr std::uint8_t kReadIdAlt = 0x9F;
constexpr std::uint8_t kRead = 0x03;
constexpr std::uint8_t kPageProgram = 0x02;
constexpr std::uint8_t kSubsectorErase = 0x20;
constexpr std::uint8_t kSectorErase = 0xD8;

constexpr std::uint32_t kAddressMask = 0xFFFFFF;  // 3-byte addressing reaches 16 MiB
constexpr std::uint32_t kAddressBytes = 3;
}  // namespace

const std::array<std::uint8_t, 20>& N25Q256::identification()
{
    // Manufacturer, memory type, capacity, remaining length, extended ID and
    // configuration, then a 14-byte unique ID.
    static const std::array<std::uint8_t, 20> id = {0x20, 0xBA, 0x19, 0x10, 0x00, 0x00, 0x17,
                                                    0x4C, 0x33, 0x02, 0x91, 0x5E, 0x6A, 0x08,
                                                    0xC4, 0x27, 0x1D, 0x80, 0x53, 0xE9};
    return id;
}

FrameMeaning N25Q256::decode(const FrameSample& frame) const
{
    if (frame.mosi.empty())
        return {};
    switch (frame.mosi[0]) {
    case kWriteEnable:
        return decodeCommand("WRITE ENABLE");
    case kWriteDisable:
        return decodeCommand("WRITE DISABLE");
    case kReadStatus:
        return decodeData(frame, "READ STATUS", 1, true);
    case kReadId:
    case kReadIdAlt:
        return decodeData(frame, "READ ID", 1, true);
    case kRead:
        return decodeAddressed(frame, "READ", true);
    case kPageProgram:
        return decodeAddressed(frame, "PAGE PROGRAM", false);
    case kSubsectorErase:
        return decodeAddressed(frame, "SUBSECTOR ERASE", false);
    case kSectorErase:
        return decodeAddressed(frame, "SECTOR ERASE", false);
    default:
        return decodeData(frame, QStringLiteral("opcode 0x%1").arg(frame.mosi[0], 2, 16, QLatin1Char('0')), 1, false);
    }
}

N25Q256::N25Q256(std::uint8_t* memory, const VirtualClock& clock, const FlashFaults& faults, Timing timing)
    : mem_(memory), clock_(clock), faults_(faults), timing_(timing)
{
}

const FlashFaults& N25Q256::noFaults()
{
    static const FlashFaults none;
    return none;
}

bool N25Q256::busy() const
{
    return faults_.busyStuck || (op_ != Op::None && period_.running());
}

void N25Q256::startOperation(Op op, std::uint32_t address, std::uint32_t length, Nanos typical)
{
    op_ = op;
    opAddress_ = address;
    opLength_ = length;
    period_.begin(typical);
}

template <typename Done>
void N25Q256::apply(Done done)
{
    for (std::uint32_t off = 0; off < opLength_; ++off) {
        const std::uint32_t address = opAddress_ + off;
        if (!done(address))
            continue;
        if (op_ == Op::Erase)
            mem_[address] = 0xFF;
        else if (pageWritten_[off] && !faults_.programFails(address))
            mem_[address] &= page_[off];
    }
    op_ = Op::None;
    wel_ = false;
}

void N25Q256::settle()
{
    if (op_ == Op::None || busy())
        return;
    apply([](std::uint32_t) { return true; });
}

void N25Q256::finishOperation()
{
    period_.endNow();
    settle();
}

void N25Q256::cutPower(std::uint32_t seed)
{
    settle();
    if (op_ == Op::None)
        return;
    const double progress = period_.progress();
    apply([seed, progress](std::uint32_t address) { return doneAtPowerCut(seed, address, progress); });
}

std::uint8_t N25Q256::status() const
{
    return static_cast<std::uint8_t>((busy() ? 0x01 : 0x00) | (wel_ ? 0x02 : 0x00));
}

void N25Q256::select()
{
    if (faults_.absent)
        return;
    settle();
    count_ = 0;
    address_ = 0;
    ignoring_ = false;
}

bool N25Q256::exchange(std::uint8_t mosi, std::uint8_t& miso)
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
        settle();
        miso = status();
        return true;
    case kReadId:
    case kReadIdAlt:
        miso = index <= identification().size() ? identification()[index - 1] : 0x00;
        return true;
    case kRead:
        if (addressByte) {
            address_ = (address_ << 8) | mosi;
            return false;
        }
        miso = mem_[address_];
        if (faults_.readFlip && faults_.readFlip->first == address_)
            miso ^= faults_.readFlip->second;
        address_ = (address_ + 1) & kAddressMask;
        return true;
    case kPageProgram:
        if (addressByte) {
            address_ = (address_ << 8) | mosi;
        } else {
            const std::uint32_t off = ((address_ & (kPageSize - 1)) + index - 4) % kPageSize;
            page_[off] = mosi;
            pageWritten_[off] = true;
        }
        return false;
    case kSubsectorErase:
    case kSectorErase:
        if (addressByte)
            address_ = (address_ << 8) | mosi;
        return false;
    default:
        return false;
    }
}

void N25Q256::deselect()
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
    case kPageProgram:
        if (wel_ && count_ > 1 + kAddressBytes)
            startOperation(Op::Program, address_ & kAddressMask & ~(kPageSize - 1), kPageSize, timing_.pageProgram);
        break;
    case kSubsectorErase:
    case kSectorErase:
        // The erase runs only when the chip is deselected right after the address.
        if (wel_ && count_ == 1 + kAddressBytes) {
            const bool sector = opcode_ == kSectorErase;
            const std::uint32_t unit = sector ? kSectorSize : kSubsectorSize;
            startOperation(Op::Erase, address_ & ~(unit - 1), unit, sector ? timing_.sectorErase : timing_.subsectorErase);
        }
        break;
    default:
        break;
    }
    // An operation with no busy time (a zero timing) completes at once.
    settle();
}

}  // namespace sim
