#pragma once

// A sysfs GPIO directory in a temporary directory, for the interrupt layer:
// the export and unexport files, and per pin the direction, edge and value
// files that the kernel would create on export.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <chrono>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

class FakeSysfs {
public:
    explicit FakeSysfs(const QByteArray& root) : root_(QString::fromLocal8Bit(root))
    {
        QDir().mkpath(root_);
        create("export");
        create("unexport");
    }

    // The pin's directory with its files; value is a regular file, which
    // never reports an edge.
    void addPin(int pin) const
    {
        QDir(root_).mkpath(pinDir(pin));
        create(pinDir(pin) + "/direction");
        create(pinDir(pin) + "/edge");
        create(pinDir(pin) + "/value", "0\n");
    }

    // A gpiochip directory as the kernel shows it: the chip's label and the
    // sysfs number of its first line.
    void addChip(const QString& name, const QByteArray& label, int base) const
    {
        QDir(root_).mkpath(name);
        create(name + "/label", label + "\n");
        create(name + "/base", QByteArray::number(base) + "\n");
    }

    QString path(const QString& name) const { return QDir(root_).filePath(name); }
    QString pinDir(int pin) const { return QStringLiteral("gpio%1").arg(pin); }

    QByteArray read(const QString& name) const
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    void create(const QString& name, const QByteArray& contents = {}) const
    {
        QFile file(path(name));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size())
            throw std::runtime_error("cannot create " + name.toStdString());
    }
    void remove(const QString& name) const { QFile::remove(path(name)); }

private:
    QString root_;
};

// A value file that can report an edge. The thread blocks in poll() for
// POLLPRI; a FIFO whose writers have all gone reports POLLHUP instead, which
// wakes poll() the same way. Once fired it keeps reporting, so the pin's
// thread calls back until the registration is removed.
class EdgeSource {
public:
    explicit EdgeSource(const QString& path) : path_(QFile::encodeName(path))
    {
        ::unlink(path_.constData());
        if (mkfifo(path_.constData(), 0600) != 0)
            throw std::runtime_error("cannot make a FIFO");
        // Read-write, so that neither side blocks in open(); the level text
        // is there for the thread's first read.
        keeper_ = ::open(path_.constData(), O_RDWR | O_NONBLOCK);
        if (keeper_ < 0 || ::write(keeper_, "0\n", 2) != 2)
            throw std::runtime_error("cannot open the FIFO");
    }
    ~EdgeSource()
    {
        closeWriters();
        ::unlink(path_.constData());
    }

    // Call once the thread has opened the file: a writer that came after
    // the reader makes its departure count as a hang-up on every kernel.
    void arm() { late_ = ::open(path_.constData(), O_WRONLY | O_NONBLOCK); }
    void fire() { closeWriters(); }

private:
    void closeWriters()
    {
        if (keeper_ >= 0)
            ::close(keeper_);
        if (late_ >= 0)
            ::close(late_);
        keeper_ = late_ = -1;
    }

    QByteArray path_;
    int keeper_ = -1;
    int late_ = -1;
};

// Waits for a condition that another thread brings about; the bound only
// keeps a broken build from hanging.
template <typename Condition>
bool eventually(Condition condition)
{
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Threads of this process, as the kernel counts them. A joined thread can
// still be counted for a moment: the kernel wakes the joining thread before it
// takes the ended one out of /proc/self/task (a long moment under qemu-user),
// so a count that must drop is waited for.
inline int threadCount()
{
    return static_cast<int>(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// The count to compare with later. A sanitizer starts a helper thread of its
// own when the process makes its first thread; a short-lived one first keeps
// that helper out of the difference. That one is waited out of
// /proc/self/task too: counted, it would raise the baseline above what the
// process returns to.
inline int baselineThreadCount()
{
    pid_t tid = 0;
    std::thread([&tid] { tid = static_cast<pid_t>(syscall(SYS_gettid)); }).join();
    const QString entry = QStringLiteral("/proc/self/task/%1").arg(tid);
    if (!eventually([&entry] { return !QFileInfo::exists(entry); }))
        throw std::runtime_error("a joined thread stays in /proc/self/task");
    return threadCount();
}
