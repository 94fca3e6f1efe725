#pragma once

#include <csignal>
#include <pthread.h>

// While one lives, SIGTERM, SIGINT and SIGHUP wait: a flash change stopped
// half-way (an image erased and not yet written, say) leaves a board that
// boots nothing, while one that finishes leaves a board in a known state.
// A signal that arrives meanwhile takes effect when the last one goes, and
// ends the run as it asks. Every wait inside is bounded, so the hold is too.
class HeldEndSignals {
public:
    HeldEndSignals()
    {
        sigset_t held;
        sigemptyset(&held);
        for (int signal : {SIGTERM, SIGINT, SIGHUP})
            sigaddset(&held, signal);
        pthread_sigmask(SIG_BLOCK, &held, &previous_);
    }
    ~HeldEndSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    HeldEndSignals(const HeldEndSignals&) = delete;
    HeldEndSignals& operator=(const HeldEndSignals&) = delete;

private:
    sigset_t previous_;
};
