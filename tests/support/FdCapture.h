#pragma once

// What the code under test prints on the three output channels: standard
// output and standard error at the descriptor level (stdio, iostreams and
// perror alike), and Qt's debug log.

#include "DebugCapture.h"
#include "QtPrinters.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>

#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <thread>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace test_support {

// What the code under test writes to one of the process's file descriptors
// (stdio, iostreams and perror alike) until take() is called.
class FdCapture {
public:
    explicit FdCapture(int fd) : fd_(fd)
    {
        if (!file_.open())
            throw std::runtime_error("cannot make a capture file");
        flushAll();
        saved_ = ::dup(fd_);
        ::dup2(file_.handle(), fd_);
    }
    ~FdCapture() { restore(); }

    QByteArray take()
    {
        restore();
        QFile reader(file_.fileName());
        if (!reader.open(QIODevice::ReadOnly))
            throw std::runtime_error("cannot read the capture file");
        return reader.readAll();
    }

private:
    static void flushAll()
    {
        std::cout.flush();
        std::fflush(stdout);
        std::fflush(stderr);
    }

    void restore()
    {
        if (saved_ < 0)
            return;
        flushAll();
        ::dup2(saved_, fd_);
        ::close(saved_);
        saved_ = -1;
    }

    int fd_;
    QTemporaryFile file_;
    int saved_ = -1;
};

// Everything one call of the code under test printed.
struct Output {
    QByteArray out;
    QByteArray err;
    QStringList log;
};

template <typename F>
Output captured(F&& body)
{
    DebugCapture log;
    FdCapture out(STDOUT_FILENO);
    FdCapture err(STDERR_FILENO);
    body();
    Output result;
    result.err = err.take();
    result.out = out.take();
    result.log = log.lines;
    return result;
}

// The same, with standard output a terminal (a pseudo-terminal in raw mode,
// drained by a thread so that no amount of output blocks the writer), as
// when a person runs the updater.
template <typename F>
Output capturedOnTerminal(F&& body)
{
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        throw std::runtime_error("cannot open a pseudo-terminal");
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    QByteArray terminal;
    std::thread drain([&] {
        char chunk[65536];
        for (ssize_t n; (n = ::read(master, chunk, sizeof chunk)) > 0;)
            terminal.append(chunk, static_cast<int>(n));
    });
    Output result = captured([&] {
        // Inside the capture, which the terminal then stands in for.
        ::dup2(slave, STDOUT_FILENO);
        ::close(slave);
        body();
        std::cout.flush();
        std::fflush(stdout);
    });
    // The capture put its own file back on standard output: the slave's last
    // descriptor is gone, and the reader sees the end.
    drain.join();
    ::close(master);
    result.out = terminal;
    return result;
}

// Standard output split into lines; a spinner line keeps its carriage returns.
inline QStringList lines(const QByteArray& text)
{
    QStringList out = QString::fromUtf8(text).split('\n');
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

}  // namespace test_support
