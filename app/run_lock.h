#pragma once

#include <QString>

// The lock file that makes one updater run at a time on a Pi: two runs would
// share one SPI0 (a second one's start clears the first's FIFOs mid-frame)
// and one flash. The virtual board points it at the board's directory, one
// board one lock.
extern const char* lumo3update_lock_path;

// An exclusive lock on lumo3update_lock_path, held while it lives (a process
// that dies releases it with its descriptor). The file holds the holder's
// process id.
class RunLock {
public:
    RunLock();
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

    bool held() const { return fd_ >= 0; }
    // The descriptor of the lock this process holds, -1 for none: a child
    // that inherits it keeps the lock held while it lives.
    static int heldDescriptor() { return current_; }
    // Why the lock was not taken, a line.
    const QString& refusal() const { return refusal_; }

private:
    int fd_ = -1;
    static int current_;
    QString refusal_;
};
