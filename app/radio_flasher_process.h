#pragma once

#include <QProcess>

// The external radio flasher as a child of the updater. It runs in a process
// group of its own, so that a terminal's Ctrl-C reaches the updater only,
// which waits for it; it starts with no signal blocked, whatever the updater
// holds; and it inherits the run lock, so that a second updater stays out
// until the flasher has ended, even when this one was killed meanwhile.
class RadioFlasherProcess : public QProcess {
public:
    // The descriptor of the run lock, -1 for none.
    explicit RadioFlasherProcess(int lockDescriptor) : lockDescriptor_(lockDescriptor) {}
    ~RadioFlasherProcess() override;

    // Kills the flasher and everything it started.
    void killGroup();

protected:
    void setupChildProcess() override;

private:
    int lockDescriptor_;
};
