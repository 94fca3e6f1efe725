#pragma once

#include <csignal>
#include <pthread.h>

// While one lives, every signal that would end the process waits: a flash
// change stopped half-way (an image erased and not yet written, say) leaves
// a board that boots nothing, while one that finishes leaves a board in a
// known state. A signal that arrives meanwhile takes effect when the last
// one goes, and ends the run as it asks. Every wait inside is bounded, so
// the hold is too. It holds for the process because no other thread of it
// takes signals (the interrupt threads start with every signal blocked).
class HeldEndSignals {
public:
    HeldEndSignals()
    {
        const sigset_t held = endSignals();
        pthread_sigmask(SIG_BLOCK, &held, &previous_);
    }
    ~HeldEndSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    HeldEndSignals(const HeldEndSignals&) = delete;
    HeldEndSignals& operator=(const HeldEndSignals&) = delete;

    // Every signal whose default action ends the process, but SIGKILL and
    // SIGSTOP, which no process can hold, the faults a thread raises on
    // itself (held, the kernel ends the process all the same), and SIGHUP
    // and SIGPIPE, which the updater ignores. Real-time signals end the
    // process too; those below SIGRTMIN are the C library's own.
    static sigset_t endSignals()
    {
        sigset_t set;
        sigemptyset(&set);
        for (int signal : {SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGSTKFLT, SIGXCPU, SIGXFSZ,
                           SIGVTALRM, SIGPROF, SIGIO, SIGPWR})
            sigaddset(&set, signal);
        for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
            sigaddset(&set, signal);
        return set;
    }

    // Whether a held signal waits to end the run: a long change can stop
    // at a point where nothing is half done instead of going on.
    static bool endAsked()
    {
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        const sigset_t ends = endSignals();
        for (int signal = 1; signal < NSIG; ++signal)
            if (sigismember(&ends, signal) == 1 && sigismember(&pending, signal) == 1)
                return true;
        return false;
    }

private:
    sigset_t previous_;
};
