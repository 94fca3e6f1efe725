#pragma once

#include "SpiDevice.h"
#include "VirtualClock.h"

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

constexpr unsigned kGpioCount = 54;
constexpr unsigned kCoreClockHz = 250000000;

// Sees what happens on the wires: frames as each chip sees them, line
// changes, and every byte on the bus. Traces and power cuts watch this way.
class WireObserver {
public:
    virtual ~WireObserver() = default;
    virtual void selected(SpiDevice&) {}
    // miso: what the device drove, 0xFF when it left MISO floating.
    virtual void exchanged(SpiDevice&, std::uint8_t /*mosi*/, std::uint8_t /*miso*/) {}
    virtual void deselected(SpiDevice&) {}
    virtual void lineChanged(unsigned /*pin*/, bool /*high*/) {}
    virtual void byteDone(std::uint64_t /*bytesOnBus*/) {}
    virtual void violated(const Violation&) {}
};

// The wires between the Pi and a board: GPIO lines 0-53 and the SPI bus
// (SCLK/MOSI/MISO). A line's level is what its drivers make it: a board
// device driving it wins, else the Pi's output, else the line's pull.
// Chips sit on chip-select lines and are selected while their line is at the
// active level, whoever drives it (the SPI controller's CE pins or a GPIO).
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
    // One byte on the bus: MOSI out, MISO back (0xFF when nobody drives it).
    std::uint8_t transfer(std::uint8_t mosi);
    // SCLK = 250 MHz / divider; sets how much virtual time a byte takes.
    void setClockDivider(unsigned divider);
    Nanos byteTime() const { return byteTime_; }
    std::uint64_t bytesOnBus() const { return bytes_; }

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
    struct Line {
        bool pull = false;
        bool piDriving = false;
        bool piLevel = false;
        bool boardDriving = false;
        bool boardLevel = false;
    };
    struct Attachment {
        SpiDevice* device;
        unsigned pin;
        bool activeLow;
        bool selected;
        bool busyAtSelect;
    };

    void changeLine(unsigned pin, const std::function<void(Line&)>& change);
    void updateSelections(unsigned pin);

    VirtualClock& clock_;
    std::array<Line, kGpioCount> lines_{};
    std::vector<Attachment> attachments_;
    std::vector<std::pair<unsigned, std::function<void(bool)>>> listeners_;
    std::vector<WireObserver*> observers_;
    Nanos byteTime_;
    std::uint64_t bytes_ = 0;
    bool exchanging_ = false;
    Violations violations_;
};

}  // namespace sim
