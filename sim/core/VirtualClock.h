#pragma once

#include <array>
#include <cstdint>

namespace sim {

using Nanos = std::uint64_t;

constexpr Nanos kMicrosecond = 1000;
constexpr Nanos kMillisecond = 1000 * kMicrosecond;
constexpr Nanos kSecond = 1000 * kMillisecond;

// What the Pi was doing while virtual time passed. The kinds do not overlap,
// so their sum is the time the run would take on the real board.
enum class TimeKind {
    Transfer,  // bytes on the bus to a chip that was idle
    BusyPoll,  // bytes on the bus to a chip that was still busy (status polls)
    Wait,      // fixed delays and sleeps of the program
};

// Virtual time of one board. It moves only when the program puts bytes on the
// bus or waits, so long chip operations cost no host time.
class VirtualClock {
public:
    Nanos now() const { return now_; }

    void advance(Nanos duration, TimeKind kind)
    {
        now_ += duration;
        spent_[static_cast<int>(kind)] += duration;
    }

    Nanos spent(TimeKind kind) const { return spent_[static_cast<int>(kind)]; }

    // Continues a clock saved by an earlier run; per-run accounting starts at 0.
    void resume(Nanos at) { now_ = at; }

private:
    Nanos now_ = 0;
    std::array<Nanos, 3> spent_{};
};

}  // namespace sim
