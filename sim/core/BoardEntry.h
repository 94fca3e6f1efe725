#pragma once

#include <csignal>

namespace sim {

// Marks a call of the program into the virtual board: a register access, a
// sleep on the virtual clock, a pin worker call. Between two such calls the
// board's state is whole; during one it may be half changed (a frame half
// shifted, a chip half through its state machine). A process ended by a
// signal while it is inside the board stops as soon as the call it is in
// returns, the board's time resolution: the one that sees the signal asks
// for that with endOnLeave().
//
// The program calls the board from one thread, so the count is that
// thread's; a signal handler on the same thread reads it.
class BoardEntry {
public:
    BoardEntry() noexcept { ++depth_; }
    ~BoardEntry()
    {
        if (--depth_ == 0 && leaveAsked_) {
            if (settle_)
                settle_();
            onLeave_();
        }
    }
    BoardEntry(const BoardEntry&) = delete;
    BoardEntry& operator=(const BoardEntry&) = delete;

    static bool inside() noexcept { return depth_ != 0; }

    // From a signal handler: `then` (which does not return) runs when the
    // outermost call under way returns.
    static void endOnLeave(void (*then)()) noexcept
    {
        onLeave_ = then;
        leaveAsked_ = 1;
    }

    // What makes the board's state whole before a run ends there: a part
    // that took a shortcut through the calls so far catches up.
    static void settleBeforeLeaving(void (*settle)()) noexcept { settle_ = settle; }

private:
    static inline thread_local int depth_ = 0;
    static inline void (*settle_)() = nullptr;
    static inline void (*volatile onLeave_)() = nullptr;
    static inline volatile std::sig_atomic_t leaveAsked_ = 0;
};

}  // namespace sim
