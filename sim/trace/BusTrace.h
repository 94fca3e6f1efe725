#pragma once

#include "BoardWiring.h"

#include <QString>

#include <cstdio>
#include <functional>
#include <map>

namespace sim {

// A decoded trace of a run, the way a logic analyser's protocol decoder shows
// it: one line per frame (virtual time since the run began, the number of the
// frame's first byte on the bus, device, command, address, length, the first
// data bytes) and one per change of a GPIO line. A run of identical frames is
// folded into one line with its count and duration (status polls count as
// identical whatever they read; the line shows the last); the chip-select
// lines are not listed, since the frames show them. A rule of a part that the
// run breaks gets a line of its own, marked "!!". The byte numbers are what
// `fault power-cut` counts.
class BusTrace : public WireObserver {
public:
    using LineNames = std::function<QString(unsigned pin)>;

    BusTrace(BoardWiring& wiring, std::FILE* out, LineNames names);
    ~BusTrace() override;

    void selected(SpiDevice& device) override;
    void exchanged(SpiDevice& device, std::uint8_t mosi, std::uint8_t miso) override;
    void deselected(SpiDevice& device) override;
    void lineChanged(unsigned pin, bool high) override;
    void violated(const Violation& violation) override;
    // Writes out a folded run of polls that may still be open.
    void flush();
    // The run is over: what flush() writes, then each frame that a run
    // ended in the middle of, its chip still selected.
    void finish();

private:
    struct Open {
        Nanos start = 0;
        std::uint64_t firstByte = 0;
        FrameSample sample;
    };
    struct Repeat {
        QString device;
        QString text;  // the frame's decoded line, without a status poll's byte
        bool poll = false;
        Nanos start = 0;
        std::uint64_t firstByte = 0;
        Nanos end = 0;
        unsigned count = 0;
        std::uint8_t last = 0;
    };

    void write(Nanos at, std::uint64_t byte, const QString& who, const QString& what);

    BoardWiring& wiring_;
    std::FILE* out_;
    LineNames names_;
    Nanos runStart_;
    std::map<SpiDevice*, Open> open_;
    Repeat repeat_;
};

}  // namespace sim
