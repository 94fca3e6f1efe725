#include "BoardWiring.h"

#include <algorithm>

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

bool BoardWiring::level(unsigned pin) const
{
    const Line& l = lines_.at(pin);
    if (l.boardDriving)
        return l.boardLevel;
    if (l.piDriving)
        return l.piLevel;
    return l.pull;
}

void BoardWiring::changeLine(unsigned pin, const std::function<void(Line&)>& change)
{
    const bool before = level(pin);
    change(lines_.at(pin));
    if (level(pin) == before)
        return;
    // The board reacts first, so an observer sees the line change with
    // whatever the board did about it (the clock catching up on a pulse).
    const bool now = level(pin);
    updateSelections(pin);
    for (auto& [p, listener] : listeners_)
        if (p == pin)
            listener(now);
    for (WireObserver* observer : observers_)
        observer->lineChanged(pin, now);
}

void BoardWiring::piDrive(unsigned pin, bool high)
{
    changeLine(pin, [high](Line& l) {
        l.piDriving = true;
        l.piLevel = high;
    });
}

void BoardWiring::piRelease(unsigned pin)
{
    changeLine(pin, [](Line& l) { l.piDriving = false; });
}

void BoardWiring::setPull(unsigned pin, bool high)
{
    changeLine(pin, [high](Line& l) { l.pull = high; });
}

void BoardWiring::boardDrive(unsigned pin, bool high)
{
    changeLine(pin, [high](Line& l) {
        l.boardDriving = true;
        l.boardLevel = high;
    });
}

void BoardWiring::attach(SpiDevice& device, unsigned csPin, bool activeLow)
{
    device.watchRules(this);
    attachments_.push_back({&device, csPin, activeLow, false, false});
    updateSelections(csPin);
}

void BoardWiring::onLineChange(unsigned pin, std::function<void(bool)> listener)
{
    listeners_.emplace_back(pin, std::move(listener));
}

void BoardWiring::addObserver(WireObserver& observer)
{
    observers_.push_back(&observer);
}

void BoardWiring::removeObserver(WireObserver& observer)
{
    observers_.erase(std::remove(observers_.begin(), observers_.end(), &observer), observers_.end());
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
    return std::any_of(attachments_.begin(), attachments_.end(), [pin](const Attachment& a) { return a.pin == pin; });
}

void BoardWiring::updateSelections(unsigned pin)
{
    for (Attachment& a : attachments_) {
        if (a.pin != pin)
            continue;
        const bool active = level(pin) != a.activeLow;
        if (active && !a.selected) {
            a.selected = true;
            a.busyAtSelect = a.device->busy();
            a.device->select();
            for (WireObserver* observer : observers_)
                observer->selected(*a.device);
        } else if (!active && a.selected) {
            a.selected = false;
            a.device->deselect();
            for (WireObserver* observer : observers_)
                observer->deselected(*a.device);
        }
    }
}

void BoardWiring::setClockDivider(unsigned divider)
{
    byteTime_ = byteTimeFor(divider);
}

std::uint8_t BoardWiring::transfer(std::uint8_t mosi)
{
    std::uint8_t miso = 0xFF;
    bool polling = false;
    exchanging_ = true;
    for (Attachment& a : attachments_) {
        if (!a.selected)
            continue;
        std::uint8_t out = 0xFF;
        // Several drivers on MISO: a low bit from any of them wins.
        if (a.device->exchange(mosi, out))
            miso &= out;
        else
            out = 0xFF;
        polling = polling || a.busyAtSelect;
        for (WireObserver* observer : observers_)
            observer->exchanged(*a.device, mosi, out);
    }
    exchanging_ = false;
    ++bytes_;
    clock_.advance(byteTime_, polling ? TimeKind::BusyPoll : TimeKind::Transfer);
    for (WireObserver* observer : observers_)
        observer->byteDone(bytes_);
    return miso;
}

}  // namespace sim
