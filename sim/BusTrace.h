#pragma once

#include "BoardWiring.h"

#include <QString>

#include <cstdio>
#include <functional>
#include <map>

namespace sim {

// A decoded trace of a run, the way a logic analyser's protocol decoder shows
// it: one line per frame (virtual time, device, command, address, length,
// the first data bytes) and one per change of a GPIO line. Runs of identical
// status polls are folded into one line with their count and duration; the
// chip-select lines are not listed, since the frames show them.
class BusTrace : public WireObserver {
public:
    using LineNames = std::function<QString(unsigned pin)>;

    BusTrace(BoardWiring& wiring, std::FILE* out, LineNames names);
    ~BusTrace() override;

    void selected(SpiDevice& device) override;
    void exchanged(SpiDevice& device, std::uint8_t mosi, std::uint8_t miso) override;
    void deselected(SpiDevice& device) override;
    void lineChanged(unsigned pin, bool high) override;
    // Writes out a folded run of polls that may still be open.
    void flush();

private:
    struct Open {
        Nanos start = 0;
        FrameSample sample;
    };
    struct Repeat {
        QString device;
        QString command;
        Nanos start = 0;
        Nanos end = 0;
        unsigned count = 0;
        std::uint8_t last = 0;
    };

    void write(Nanos at, const QString& who, const QString& what);

    BoardWiring& wiring_;
    std::FILE* out_;
    LineNames names_;
    std::map<SpiDevice*, Open> open_;
    Repeat repeat_;
};

}  // namespace sim
