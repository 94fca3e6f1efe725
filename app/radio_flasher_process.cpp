#include "radio_flasher_process.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

RadioFlasherProcess::~RadioFlasherProcess() = default;

void RadioFlasherProcess::killGroup()
{
    const auto pid = static_cast<pid_t>(processId());
    // A process id of 0 or below would name the updater's own group.
    if (pid > 0)
        ::kill(-pid, SIGKILL);
}

// Between fork and exec: only async-signal-safe calls.
void RadioFlasherProcess::setupChildProcess()
{
    ::setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (lockDescriptor_ >= 0) {
        const int flags = ::fcntl(lockDescriptor_, F_GETFD);
        if (flags >= 0)
            ::fcntl(lockDescriptor_, F_SETFD, flags & ~FD_CLOEXEC);
    }
}
