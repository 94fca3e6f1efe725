#include "BoardWiring.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace sim {

namespace {
Nanos byteTimeFor(unsigned divider)
{
    // The controller treats 0 as the largest divider.
    const std::uint64_t d = divider == 0 ? 65536 : divider;
    return 8 * d * kSecond / kCoreClockHz;
}
}  // namespace

BoardWiring::BoardWiring(VirtualClock& clock) : clock_(clock), byteTime_(byteTimeFor(32)) {}

void BoardWiring::noSuchLine(unsigned pin)
{
    throw std::out_of_range("no GPIO line " + std::to_string(pin));
}

bool BoardWiring::level(unsigned pin) const
{
    return (levels_ & bit(pin)) != 0;
}

void BoardWiring::reread(std::uint64_t b)
{
    const std::uint64_t level = (boardDriving_ & b) ? boardLevel_ : (piDriving_ & b) ? piLevel_ : pull_;
    if ((level ^ levels_) & b)
        lineChanged(static_cast<unsigned>(__builtin_ctzll(b)));
}

void BoardWiring::lineChanged(unsigned pin)
{
    const std::uint64_t b = std::uint64_t{1} << pin;
    levels_ ^= b;
    const bool high = (levels_ & b) != 0;
    // The board reacts first, so an observer sees the line change with
    // whatever the board did about it (the clock catching up on a pulse).
    if (chipSelects_ & b)
        updateSelections(pin, high);
    if (listened_ & b)
        for (auto& [p, listener] : listeners_)
            if (p == pin)
                listener(high);
    for (WireObserver* observer : observers_)
        observer->lineChanged(pin, high);
}

void BoardWiring::piDrive(unsigned pin, bool high)
{
    const std::uint64_t b = bit(pin);
    piDriving_ |= b;
    piLevel_ = high ? piLevel_ | b : piLevel_ & ~b;
    reread(b);
}

void BoardWiring::piRelease(unsigned pin)
{
    const std::uint64_t b = bit(pin);
    piDriving_ &= ~b;
    reread(b);
}

void BoardWiring::setPull(unsigned pin, bool high)
{
    const std::uint64_t b = bit(pin);
    pull_ = high ? pull_ | b : pull_ & ~b;
    reread(b);
}

void BoardWiring::boardDrive(unsigned pin, bool high)
{
    const std::uint64_t b = bit(pin);
    boardDriving_ |= b;
    boardLevel_ = high ? boardLevel_ | b : boardLevel_ & ~b;
    reread(b);
}

void BoardWiring::attach(SpiDevice& device, unsigned csPin, bool activeLow)
{
    device.watchRules(this);
    chipSelects_ |= bit(csPin);
    attachments_.push_back({&device, csPin, activeLow, device.spiModes(), false, false, false});
    findSingle();
    updateSelections(csPin, level(csPin));
}

void BoardWiring::onLineChange(unsigned pin, std::function<void(bool)> listener)
{
    listened_ |= bit(pin);
    listeners_.emplace_back(pin, std::move(listener));
}

void BoardWiring::addObserver(WireObserver& observer)
{
    observers_.push_back(&observer);
    if (observer.watchesBytes())
        byteObservers_.push_back(&observer);
}

void BoardWiring::removeObserver(WireObserver& observer)
{
    observers_.erase(std::remove(observers_.begin(), observers_.end(), &observer), observers_.end());
    byteObservers_.erase(std::remove(byteObservers_.begin(), byteObservers_.end(), &observer), byteObservers_.end());
}

void BoardWiring::violated(const QString& where, const QString& rule)
{
    // Numbered as the trace numbers bytes: the byte being exchanged, or the
    // last one on the bus when it happened between bytes.
    const Violation violation{exchanging_ ? bytes_ + 1 : bytes_, where, rule};
    violations_.record(violation);
    for (WireObserver* observer : observers_)
        observer->violated(violation);
}

bool BoardWiring::isChipSelect(unsigned pin) const
{
    return pin < kGpioCount && (chipSelects_ & bit(pin));
}

void BoardWiring::updateSelections(unsigned pin, bool level)
{
    for (Attachment& a : attachments_) {
        if (a.pin != pin)
            continue;
        const bool active = level != a.activeLow;
        if (active && !a.selected)
            select(a);
        else if (!active && a.selected)
            deselect(a);
    }
}

void BoardWiring::select(Attachment& a)
{
    a.selected = true;
    a.busyAtSelect = a.device->busy();
    a.wrongModeReported = false;
    ++selectedCount_;
    findSingle();
    a.device->select();
    for (WireObserver* observer : observers_)
        observer->selected(*a.device);
}

void BoardWiring::deselect(Attachment& a)
{
    a.selected = false;
    --selectedCount_;
    findSingle();
    a.device->deselect();
    for (WireObserver* observer : observers_)
        observer->deselected(*a.device);
}

void BoardWiring::findSingle()
{
    single_ = nullptr;
    if (selectedCount_ == 1)
        for (Attachment& a : attachments_)
            if (a.selected)
                single_ = &a;
}

void BoardWiring::setClockDivider(unsigned divider)
{
    byteTime_ = byteTimeFor(divider);
}

bool BoardWiring::reaches(Attachment& a, ByteClocks clocks)
{
    if (!clocks.reachChips)
        return false;
    if ((a.modes >> clocks.mode) & 1u)
        return true;
    if (!a.wrongModeReported) {
        a.wrongModeReported = true;
        violated(QStringLiteral("SPI0"), QStringLiteral("a frame in SPI mode %1 to the %2, which takes no such mode")
                                             .arg(clocks.mode)
                                             .arg(QString::fromLatin1(a.device->name())));
    }
    return false;
}

std::uint8_t BoardWiring::transfer(std::uint8_t mosi, ByteClocks clocks)
{
    // One chip selected that takes the byte, nobody watching it: the common case.
    Attachment* a = single_;
    if (a && byteObservers_.empty() && clocks.reachChips && ((a->modes >> clocks.mode) & 1u)) {
        std::uint8_t out = 0xFF;
        exchanging_ = true;
        if (!a->device->exchange(mosi, out))
            out = 0xFF;
        exchanging_ = false;
        ++bytes_;
        lastKind_ = a->busyAtSelect ? TimeKind::BusyPoll : TimeKind::Transfer;
        clock_.advance(clocks.time, lastKind_);
        if (bytes_ == alarmAt_)
            ring();
        return out;
    }
    std::uint8_t miso = 0xFF;
    bool polling = false;
    exchanging_ = true;
    if (selectedCount_ > 0) {
        for (Attachment& a : attachments_) {
            if (!a.selected)
                continue;
            polling = polling || a.busyAtSelect;
            if (!reaches(a, clocks))
                continue;
            std::uint8_t out = 0xFF;
            // Several drivers on MISO: a low bit from any of them wins.
            if (a.device->exchange(mosi, out))
                miso &= out;
            else
                out = 0xFF;
            for (WireObserver* observer : byteObservers_)
                observer->exchanged(*a.device, mosi, out);
        }
    }
    exchanging_ = false;
    ++bytes_;
    lastKind_ = polling ? TimeKind::BusyPoll : TimeKind::Transfer;
    clock_.advance(clocks.time, lastKind_);
    if (bytes_ == alarmAt_)
        ring();
    return miso;
}

std::size_t BoardWiring::answersAhead(std::uint8_t* miso, std::size_t count, ByteClocks clocks)
{
    Attachment* a = single_;
    if (!a || !byteObservers_.empty() || !clocks.reachChips || !((a->modes >> clocks.mode) & 1u))
        return 0;
    return a->device->answersAhead(miso, count);
}

void BoardWiring::aheadByteDone(Nanos time)
{
    ++bytes_;
    lastKind_ = single_ && single_->busyAtSelect ? TimeKind::BusyPoll : TimeKind::Transfer;
    clock_.advance(time, lastKind_);
    if (bytes_ == alarmAt_)
        ring();
}

std::uint8_t BoardWiring::transfer(std::uint8_t mosi)
{
    return transfer(mosi, ByteClocks{0, true, byteTime_});
}

void BoardWiring::transfer(const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count)
{
    Attachment* a = byteObservers_.empty() ? single_ : nullptr;
    if (a && (a->modes & SpiDevice::kMode0)) {
        exchangeFrame(*a, mosi, miso, count);
        return;
    }
    for (std::size_t n = 0; n < count; ++n) {
        const std::uint8_t in = transfer(mosi[n]);
        if (miso)
            miso[n] = in;
    }
}

void BoardWiring::exchangeFrame(Attachment& a, const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count)
{
    // A frame to one chip that nobody watches byte by byte, the common case:
    // its command and address byte by byte, then runs of data, which the
    // chip takes at once where their time does not matter to it.
    constexpr std::size_t kFrameHead = 4;
    SpiDevice& device = *a.device;
    const TimeKind kind = a.busyAtSelect ? TimeKind::BusyPoll : TimeKind::Transfer;
    lastKind_ = kind;
    std::uint8_t discard[256];
    for (std::size_t n = 0; n < count;) {
        std::uint8_t* out = miso ? miso + n : discard;
        std::size_t took = 1;
        exchanging_ = true;
        if (n < kFrameHead) {
            if (!device.exchange(mosi[n], *out))
                *out = 0xFF;
        } else {
            took = device.exchangeRun(mosi + n, out, beforeAlarm(miso ? count - n : std::min(count - n, sizeof discard)));
        }
        exchanging_ = false;
        bytes_ += took;
        clock_.advance(took * byteTime_, kind);
        if (bytes_ == alarmAt_)
            ring();
        n += took;
    }
}

void BoardWiring::setByteAlarm(std::uint64_t at, std::function<void()> alarm)
{
    alarmAt_ = at == 0 ? kNoAlarm : at;
    alarm_ = std::move(alarm);
}

void BoardWiring::clearByteAlarm()
{
    alarmAt_ = kNoAlarm;
    alarm_ = nullptr;
}

std::size_t BoardWiring::beforeAlarm(std::size_t count) const
{
    return alarmAt_ > bytes_ ? static_cast<std::size_t>(std::min<std::uint64_t>(count, alarmAt_ - bytes_)) : count;
}

void BoardWiring::ring()
{
    alarmAt_ = kNoAlarm;
    const std::function<void()> alarm = std::move(alarm_);
    alarm_ = nullptr;
    if (alarm)
        alarm();
}

const BoardWiring::Attachment* BoardWiring::quietFrameTarget(unsigned pin, bool activeHigh) const
{
    const std::uint64_t b = bit(pin);
    if (selectedCount_ != 0 || (listened_ & b) || (boardDriving_ & b) || !(piDriving_ & b) ||
        ((levels_ & b) != 0) != !activeHigh)
        return nullptr;
    const Attachment* target = nullptr;
    for (const Attachment& a : attachments_) {
        if (a.pin != pin)
            continue;
        if (target || a.activeLow == activeHigh || !(a.modes & SpiDevice::kMode0))
            return nullptr;
        target = &a;
    }
    return target;
}

void BoardWiring::frame(unsigned csPin, bool activeHigh, const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count)
{
    // The target is one of ours; only the lookup is const.
    Attachment* a = const_cast<Attachment*>(quietFrameTarget(csPin, activeHigh));
    if (!a) {
        piDrive(csPin, activeHigh);
        transfer(mosi, miso, count);
        piDrive(csPin, !activeHigh);
        return;
    }
    if (quietExchange(*a, mosi, miso, count)) {
        toldQuietFrame(*a, csPin, activeHigh);
        return;
    }
    const std::uint64_t b = std::uint64_t{1} << csPin;
    levels_ ^= b;
    select(*a);
    for (WireObserver* observer : observers_)
        observer->lineChanged(csPin, activeHigh);
    transfer(mosi, miso, count);
    levels_ ^= b;
    deselect(*a);
    for (WireObserver* observer : observers_)
        observer->lineChanged(csPin, !activeHigh);
}

void BoardWiring::toldQuietFrame(const Attachment& a, unsigned pin, bool activeHigh)
{
    // The line goes active and back with nobody to tell but the chip and
    // the observers, in the order the line's change would tell them.
    const std::uint64_t b = std::uint64_t{1} << pin;
    levels_ ^= b;
    for (WireObserver* observer : observers_)
        observer->selected(*a.device);
    for (WireObserver* observer : observers_)
        observer->lineChanged(pin, activeHigh);
    levels_ ^= b;
    for (WireObserver* observer : observers_)
        observer->deselected(*a.device);
    for (WireObserver* observer : observers_)
        observer->lineChanged(pin, !activeHigh);
}

bool BoardWiring::quietFrameHolds(unsigned csPin, bool activeHigh, unsigned mode, const std::uint8_t* mosi,
                                  std::uint8_t* miso, std::size_t count, Nanos end) const
{
    const Attachment* a = quietFrameTarget(csPin, activeHigh);
    return a && count > 0 && byteObservers_.empty() && alarmAt_ - bytes_ > count && ((a->modes >> mode) & 1u) &&
           a->device->quietFrameHolds(mosi, miso, count, end);
}

void BoardWiring::takeQuietFrame(unsigned csPin, bool activeHigh, const std::uint8_t* mosi, std::size_t count,
                                 Nanos end, TimeKind kind)
{
    Attachment& a = *const_cast<Attachment*>(quietFrameTarget(csPin, activeHigh));
    a.device->quietFrame(mosi, nullptr, count, end);
    bytes_ += count;
    lastKind_ = kind;
    toldQuietFrame(a, csPin, activeHigh);
}

bool BoardWiring::quietExchange(Attachment& a, const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count)
{
    if (count == 0 || !byteObservers_.empty() || alarmAt_ - bytes_ <= count)
        return false;
    const TimeKind kind = a.device->busy() ? TimeKind::BusyPoll : TimeKind::Transfer;
    const Nanos took = count * byteTime_;
    if (!a.device->quietFrame(mosi, miso, count, clock_.now() + took))
        return false;
    bytes_ += count;
    lastKind_ = kind;
    clock_.advance(took, kind);
    return true;
}

}  // namespace sim
