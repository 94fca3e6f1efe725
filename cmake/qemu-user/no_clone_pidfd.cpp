// Preloaded into every test process of an emulated cross build.
//
// qemu-user 7.2 (Debian 12) passes waitid(P_PIDFD) through to the host
// kernel, which supports it, but refuses clone() with CLONE_PIDFD. Qt takes
// the first as proof of the second, so every QProcess::start fails under the
// emulator. Reporting P_PIDFD as unknown sends Qt down its fork() path, which
// the emulator handles.
//
// The preload is for the emulated process alone: it leaves the environment
// before main() runs, so that the host programs the process starts (the
// shell of a script, the emulator of a child) never try to load it.

#include <dlfcn.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

extern "C" long syscall(long number, ...)
{
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (long& argument : a)
        argument = va_arg(ap, long);
    va_end(ap);
    if (number == SYS_waitid && a[0] == P_PIDFD) {
        errno = ENOSYS;
        return -1;
    }
    using Syscall = long (*)(long, ...);
    static const Syscall next = reinterpret_cast<Syscall>(dlsym(RTLD_NEXT, "syscall"));
    return next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

[[gnu::constructor]] static void leaveTheEnvironment()
{
    unsetenv("LD_PRELOAD");
}
