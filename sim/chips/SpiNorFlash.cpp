#include "SpiNorFlash.h"

#include "PowerCut.h"

#include <algorithm>

namespace sim {

namespace {
QString hexAddress(std::uint32_t address)
{
    return QStringLiteral("0x%1").arg(address, 6, 16, QLatin1Char('0'));
}

QString hexByte(std::uint8_t byte)
{
    return QStringLiteral("0x%1").arg(byte, 2, 16, QLatin1Char('0'));
}

// What a command that changes the chip is, in the words of a violation.
const char* kindOf(SpiNorAction action)
{
    switch (action) {
    case SpiNorAction::PageProgram:
        return "page program";
    case SpiNorAction::Erase:
        return "erase";
    default:
        return "status register write";
    }
}
}  // namespace

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

const char* SpiNorFlash::operationName() const
{
    switch (op_) {
    case Op::WriteStatus:
        return "a status register write";
    case Op::Program:
        return "a page program";
    case Op::Erase:
        return "an erase";
    case Op::None:
        break;
    }
    return "an operation that never ends";
}

bool SpiNorFlash::busy() const
{
    return faults_.busyStuck || (op_ != Op::None && period_.running());
}

std::uint8_t SpiNorFlash::status()
{
    settle();
    return statusWith(busy());
}

std::uint8_t SpiNorFlash::statusWith(bool busy) const
{
    return static_cast<std::uint8_t>(statusBits_ | (wel_ ? kWel : 0) | (busy ? kWip : 0));
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
        if (ignoring_) {
            const QString name = command_ ? QString::fromLatin1(command_->name) : "opcode " + hexByte(mosi);
            violated(QStringLiteral("%1 while busy with %2: only read status is allowed")
                         .arg(name, QLatin1String(operationName())));
        }
        if (!ignoring_ && command_ && command_->action == SpiNorAction::PageProgram) {
            std::fill(pageWritten_.begin(), pageWritten_.end(), false);
            std::fill(page_.begin(), page_.end(), 0x00);
        }
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

std::size_t SpiNorFlash::exchangeRun(const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count)
{
    if (inData(SpiNorAction::PageProgram)) {
        // Into the page buffer, wrapping inside the page, as exchange() takes them.
        const std::uint32_t mask = geometry_.pageSize - 1;
        for (std::size_t n = 0; n < count; ++n) {
            const std::uint32_t off = ((address_ & mask) + count_++ - 1 - kAddressBytes) & mask;
            page_[off] = mosi[n];
            pageWritten_[off] = true;
            miso[n] = 0xFF;
        }
        return count;
    }
    if (inData(SpiNorAction::Read))
        return readRun(miso, count);
    return SpiDevice::exchangeRun(mosi, miso, count);
}

std::size_t SpiNorFlash::answersAhead(std::uint8_t* miso, std::size_t count)
{
    return inData(SpiNorAction::Read) ? readRun(miso, count) : 0;
}

bool SpiNorFlash::inData(SpiNorAction action) const
{
    return !faults_.absent && !ignoring_ && command_ && command_->action == action && count_ > kAddressBytes;
}

std::size_t SpiNorFlash::readRun(std::uint8_t* miso, std::size_t count)
{
    // Up to where the address wraps, so that the copy is one piece.
    const std::size_t n = std::min<std::size_t>(count, geometry_.addressMask + 1 - address_);
    std::copy(mem_ + address_, mem_ + address_ + n, miso);
    if (faults_.readFlip && faults_.readFlip->first >= address_ && faults_.readFlip->first - address_ < n)
        miso[faults_.readFlip->first - address_] ^= faults_.readFlip->second;
    address_ = static_cast<std::uint32_t>((address_ + n) & geometry_.addressMask);
    count_ += static_cast<std::uint32_t>(n);
    return n;
}

bool SpiNorFlash::quietFrameHolds(const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count, Nanos end) const
{
    // Busy from select to deselect, the chip settles nothing at either end,
    // and every byte after the opcode reads the same status.
    const SpiNorCommand* command = byOpcode_[mosi[0]];
    if (faults_.absent || !command || command->action != SpiNorAction::ReadStatus ||
        !(faults_.busyStuck || (op_ != Op::None && period_.runningAt(end))))
        return false;
    if (miso) {
        miso[0] = 0xFF;
        std::fill(miso + 1, miso + count, statusWith(true));
    }
    return true;
}

bool SpiNorFlash::quietFrame(const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count, Nanos end)
{
    if (!quietFrameHolds(mosi, miso, count, end))
        return false;
    // As select and the bytes leave them.
    const SpiNorCommand* command = byOpcode_[mosi[0]];
    command_ = command;
    count_ = static_cast<std::uint32_t>(count);
    address_ = 0;
    ignoring_ = false;
    return true;
}

void SpiNorFlash::deselect()
{
    if (faults_.absent || ignoring_ || count_ == 0)
        return;
    if (command_ && wholeFrame(*command_))
        act(*command_);
    // An operation with no busy time (a zero timing) completes at once.
    settle();
}

bool SpiNorFlash::wholeFrame(const SpiNorCommand& command) const
{
    // The bytes of the frame up to where it may end, and whether it may
    // also go on (reads and programs do).
    std::uint32_t length = 1;
    bool goesOn = false;
    switch (command.action) {
    case SpiNorAction::WriteEnable:
    case SpiNorAction::WriteDisable:
        break;
    case SpiNorAction::ReadStatus:
    case SpiNorAction::ReadId:
        goesOn = true;
        break;
    case SpiNorAction::WriteStatus:
        length = 2;
        break;
    case SpiNorAction::ReadIdAt:
    case SpiNorAction::Read:
        length = 1 + kAddressBytes;
        goesOn = true;
        break;
    case SpiNorAction::PageProgram:
        length = 1 + kAddressBytes + 1;
        goesOn = true;
        break;
    case SpiNorAction::Erase:
        length = addressed(command, geometry_.size) ? 1 + kAddressBytes : 1;
        break;
    }
    if (count_ == length || (goesOn && count_ > length))
        return true;
    const QString name = QString::fromLatin1(command.name);
    if (addressed(command, geometry_.size) && count_ <= kAddressBytes)
        violated(QStringLiteral("chip select raised inside the address of %1 (%2 of its 3 bytes)")
                     .arg(name)
                     .arg(count_ - 1));
    else if (count_ < length)
        violated(QStringLiteral("chip select raised inside %1 (%2 of %3 %4 bytes): ignored")
                     .arg(name)
                     .arg(count_)
                     .arg(goesOn ? QStringLiteral("at least") : QStringLiteral("its"))
                     .arg(length));
    else
        violated(QStringLiteral("chip select not raised at the end of %1 (%2 bytes, not %3): ignored")
                     .arg(name)
                     .arg(count_)
                     .arg(length));
    return false;
}

QString SpiNorFlash::described(const SpiNorCommand& command) const
{
    const QString name = QString::fromLatin1(command.name);
    return addressed(command, geometry_.size) ? QStringLiteral("%1 at %2").arg(name, hexAddress(address_)) : name;
}

bool SpiNorFlash::writeEnabled(const SpiNorCommand& command) const
{
    if (!wel_)
        violated(QStringLiteral("%1 without write enable (%2): ignored")
                     .arg(QLatin1String(kindOf(command.action)), described(command)));
    return wel_;
}

bool SpiNorFlash::outsideProtection(const SpiNorCommand& command, std::uint32_t start, std::uint32_t length) const
{
    const std::uint32_t end = writableEnd();
    if (start + length <= end)
        return true;
    violated(QStringLiteral("%1 inside the protected area (%2; protected from %3): ignored")
                 .arg(QLatin1String(kindOf(command.action)), described(command), hexAddress(end)));
    return false;
}

void SpiNorFlash::checkOnlyClearsBits(std::uint32_t page) const
{
    // Every page program runs this: the bytes the frame left unwritten hold
    // 0 and raise nothing, so a plain pass tells whether anything does.
    std::uint8_t raised = 0;
    for (std::uint32_t off = 0; off < geometry_.pageSize; ++off)
        raised |= page_[off] & ~mem_[page + off];
    if (raised == 0)
        return;
    std::uint32_t raising = 0;
    std::uint32_t first = 0;
    for (std::uint32_t off = 0; off < geometry_.pageSize; ++off) {
        if ((page_[off] & ~mem_[page + off]) != 0 && raising++ == 0)
            first = off;
    }
    violated(QStringLiteral("page program sets bits from 0 to 1 at %1 (holds %2, given %3; bytes so in the page: "
                            "%4): a program only clears bits")
                 .arg(hexAddress(page + first), hexByte(mem_[page + first]), hexByte(page_[first]))
                 .arg(raising));
}

void SpiNorFlash::act(const SpiNorCommand& command)
{
    switch (command.action) {
    case SpiNorAction::WriteEnable:
        wel_ = true;
        break;
    case SpiNorAction::WriteDisable:
        wel_ = false;
        break;
    case SpiNorAction::WriteStatus:
        if (writeEnabled(command)) {
            newStatus_ = written_ & geometry_.statusWriteMask;
            start(Op::WriteStatus, 0, 0, command.busyTime);
        }
        break;
    case SpiNorAction::PageProgram: {
        const std::uint32_t page = address_ & ~(geometry_.pageSize - 1);
        if (writeEnabled(command) && outsideProtection(command, page, geometry_.pageSize)) {
            checkOnlyClearsBits(page);
            start(Op::Program, page, geometry_.pageSize, command.busyTime);
        }
        break;
    }
    case SpiNorAction::Erase: {
        // The whole array, or the unit that holds the address.
        const bool whole = !addressed(command, geometry_.size);
        const std::uint32_t unit = whole ? 0 : address_ & ~(command.eraseUnit - 1);
        const std::uint32_t length = whole ? geometry_.size : command.eraseUnit;
        if (writeEnabled(command) && outsideProtection(command, unit, length))
            start(Op::Erase, unit, length, command.busyTime);
        break;
    }
    default:
        break;
    }
}

}  // namespace sim
