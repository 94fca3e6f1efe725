#pragma once

#include "Faults.h"
#include "VirtualClock.h"

#include <algorithm>

namespace sim {

// How long a flash chip stays busy with its current program, erase or status
// write, in virtual time: scaled by a slow chip's factor, endless with a
// stuck busy bit, and how far it got when the power went.
class BusyPeriod {
public:
    BusyPeriod(const VirtualClock& clock, const FlashFaults& faults) : clock_(clock), faults_(faults) {}

    void begin(Nanos typical)
    {
        start_ = clock_.now();
        end_ = start_ + typical * faults_.slowFactor;
    }

    bool running() const { return runningAt(clock_.now()); }
    bool runningAt(Nanos time) const { return faults_.busyStuck || time < end_; }

    // The chip goes on with the power on after the program has ended.
    void endNow()
    {
        if (!faults_.busyStuck)
            end_ = std::min(end_, clock_.now());
    }

    // From 0 (just begun, or stuck) to 1 (done).
    double progress() const
    {
        if (!running())
            return 1.0;
        if (faults_.busyStuck)
            return 0.0;
        return static_cast<double>(clock_.now() - start_) / static_cast<double>(end_ - start_);
    }

private:
    const VirtualClock& clock_;
    const FlashFaults& faults_;
    Nanos start_ = 0;
    Nanos end_ = 0;
};

}  // namespace sim
