#pragma once

#include "SpiDevice.h"
#include "VirtualClock.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

constexpr unsigned kGpioCount = 54;
constexpr unsigned kCoreClockHz = 250000000;

// Sees what happens on the wires: frames as each chip sees them, line
// changes, and every byte on the bus. Traces watch this way.
class WireObserver {
public:
    virtual ~WireObserver() = default;
    // Whether exchanged() is wanted. An observer of frames and lines alone
    // says no, and the bus does not call it for every byte.
    virtual bool watchesBytes() const { return true; }
    virtual void selected(SpiDevice&) {}
    // miso: what the device drove, 0xFF when it left MISO floating.
    virtual void exchanged(SpiDevice&, std::uint8_t /*mosi*/, std::uint8_t /*miso*/) {}
    virtual void deselected(SpiDevice&) {}
    virtual void lineChanged(unsigned /*pin*/, bool /*high*/) {}
    virtual void violated(const Violation&) {}
};

// How one byte from a controller that shifts on its own crosses the bus.
struct ByteClocks {
    unsigned mode = 0;        // the SPI mode, CPOL << 1 | CPHA
    bool reachChips = true;   // SCLK and MOSI are on the bus, so the chips see the clocks
    Nanos time = 0;           // what is left of the byte's eight clocks to pass on the virtual clock
};

// The wires between the Pi and a board: GPIO lines 0-53 and the SPI bus
// (SCLK/MOSI/MISO). A line's level is what its drivers make it: a board
// device driving it wins, else the Pi's output, else the line's pull.
// Chips sit on chip-select lines and are selected while their line is at the
// active level, whoever drives it (the SPI controller's CE pins or a GPIO).
// A byte reaches a selected chip only in an SPI mode the chip takes
// (SpiDevice::spiModes, asked once when the chip is attached); a frame in
// another mode is a breach of the controller's, reported once per frame.
//
// The wiring also keeps the run's violations: every device attached reports
// the rules it sees broken here, and the Pi's side reports its own.
class BoardWiring : public ViolationWatch {
public:
    explicit BoardWiring(VirtualClock& clock);

    VirtualClock& clock() { return clock_; }

    // --- the Pi's side ---
    void piDrive(unsigned pin, bool high);
    void piRelease(unsigned pin);
    bool level(unsigned pin) const;
    // One byte on the bus in SPI mode 0, its eight clocks spent now: MOSI
    // out, MISO back (0xFF when nobody drives it).
    std::uint8_t transfer(std::uint8_t mosi);
    // count bytes, as count calls of the above would; miso may be null.
    void transfer(const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count);
    // A whole frame on a chip-select line that the Pi drives: the line to
    // active (high when activeHigh), count bytes as above, the line back.
    void frame(unsigned csPin, bool activeHigh, const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count);
    // One byte as a controller that shifts on its own clocked it out.
    std::uint8_t transfer(std::uint8_t mosi, ByteClocks clocks);
    // What the one selected chip will answer to the next bytes (up to count)
    // where it only talks (SpiDevice::answersAhead) and nobody watches the
    // bytes; none when that is not so. The bytes have not crossed the bus
    // yet: each does with aheadByteDone() when its time comes.
    std::size_t answersAhead(std::uint8_t* miso, std::size_t count, ByteClocks clocks);
    void aheadByteDone(Nanos time);
    // For a controller that knows a frame's register traffic ahead: whether
    // the frame on the Pi-driven chip-select line csPin (active high when
    // activeHigh), in SPI mode `mode`, would be taken whole by its one chip
    // (SpiDevice::quietFrameHolds) with nobody watching its bytes and the
    // alarm not due in it, and the chip's answers. Nothing is done.
    bool quietFrameHolds(unsigned csPin, bool activeHigh, unsigned mode, const std::uint8_t* mosi, std::uint8_t* miso,
                         std::size_t count, Nanos end) const;
    // Then takes it, as the line going active and back with the bytes would
    // leave the chip, the line, the observers and the count of bytes; the
    // controller has spent the frame's time itself, the last of it as kind.
    void takeQuietFrame(unsigned csPin, bool activeHigh, const std::uint8_t* mosi, std::size_t count, Nanos end,
                        TimeKind kind);
    // Whether an observer watches every byte (a trace).
    bool bytesWatched() const { return !byteObservers_.empty(); }
    // What the time between the bus's bytes counts as now (spend()).
    TimeKind lastKind() const { return lastKind_; }
    // Time the Pi spends between the bus's bytes (on its own register
    // accesses), counted as the last byte on the bus was: a poll of a busy
    // chip, or a transfer.
    void spend(Nanos time) { clock_.advance(time, lastKind_); }
    // SCLK = 250 MHz / divider; sets how much virtual time a byte takes.
    void setClockDivider(unsigned divider);
    Nanos byteTime() const { return byteTime_; }
    std::uint64_t bytesOnBus() const { return bytes_; }
    // Calls alarm once, when the bus has carried `at` bytes (0: never), with
    // that byte's time spent: a power cut after a count of bytes.
    void setByteAlarm(std::uint64_t at, std::function<void()> alarm);
    void clearByteAlarm();

    // --- the board's side ---
    void setPull(unsigned pin, bool high);
    void boardDrive(unsigned pin, bool high);
    void attach(SpiDevice& device, unsigned csPin, bool activeLow = true);
    void onLineChange(unsigned pin, std::function<void(bool high)> listener);
    void addObserver(WireObserver& observer);
    void removeObserver(WireObserver& observer);
    // Whether a chip is selected through this line.
    bool isChipSelect(unsigned pin) const;

    // --- the rules of the parts ---
    // A breach, stamped with the number of its byte on the bus.
    void violated(const QString& where, const QString& rule) override;
    Violations& violations() { return violations_; }

private:
    static constexpr std::uint64_t kNoAlarm = ~std::uint64_t{0};

    struct Attachment {
        SpiDevice* device;
        unsigned pin;
        bool activeLow;
        unsigned modes;
        bool selected;
        bool busyAtSelect;
        bool wrongModeReported;
    };

    [[noreturn]] static void noSuchLine(unsigned pin);
    static std::uint64_t bit(unsigned pin)
    {
        if (pin >= kGpioCount)
            noSuchLine(pin);
        return std::uint64_t{1} << pin;
    }
    // Re-reads the line of bit b after one of its drivers changed.
    void reread(std::uint64_t b);
    void lineChanged(unsigned pin);
    void updateSelections(unsigned pin, bool level);
    void select(Attachment& a);
    void deselect(Attachment& a);
    // The attachment a frame on pin may go to without the general line
    // machinery: the only chip on a line that only the Pi drives and no
    // board part listens to, with nothing else selected; or null.
    const Attachment* quietFrameTarget(unsigned pin, bool activeHigh) const;
    // The line going active and back around a frame the chip took whole.
    void toldQuietFrame(const Attachment& a, unsigned pin, bool activeHigh);
    void exchangeFrame(Attachment& a, const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count);
    // A frame the chip takes whole (SpiDevice::quietFrame), where nobody
    // watches its bytes and the alarm is not due inside it; false, with
    // nothing done, otherwise.
    bool quietExchange(Attachment& a, const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count);
    // Keeps single_: the attachment selected when exactly one is.
    void findSingle();
    bool reaches(Attachment& a, ByteClocks clocks);
    // The bytes a run may take before the alarm is due.
    std::size_t beforeAlarm(std::size_t count) const;
    void ring();

    VirtualClock& clock_;
    // One bit per line.
    std::uint64_t pull_ = 0;
    std::uint64_t piDriving_ = 0;
    std::uint64_t piLevel_ = 0;
    std::uint64_t boardDriving_ = 0;
    std::uint64_t boardLevel_ = 0;
    std::uint64_t levels_ = 0;
    std::uint64_t chipSelects_ = 0;
    std::uint64_t listened_ = 0;

    std::vector<Attachment> attachments_;
    unsigned selectedCount_ = 0;
    Attachment* single_ = nullptr;
    std::vector<std::pair<unsigned, std::function<void(bool)>>> listeners_;
    std::vector<WireObserver*> observers_;
    std::vector<WireObserver*> byteObservers_;
    Nanos byteTime_;
    TimeKind lastKind_ = TimeKind::Transfer;
    std::uint64_t bytes_ = 0;
    std::uint64_t alarmAt_ = kNoAlarm;
    std::function<void()> alarm_;
    bool exchanging_ = false;
    Violations violations_;
};

}  // namespace sim
