#pragma once

#include <QByteArray>
#include <QFile>
#include <QTemporaryFile>

#include <cstdio>
#include <stdexcept>
#include <unistd.h>

// Collects what the code under test writes to the process's standard output
// (stdio and streams on it alike) until take() is called.
class StdoutCapture {
public:
    StdoutCapture()
    {
        if (!file_.open())
            throw std::runtime_error("cannot make a capture file");
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        ::dup2(file_.handle(), STDOUT_FILENO);
    }

    ~StdoutCapture() { restore(); }

    QByteArray take()
    {
        restore();
        QFile reader(file_.fileName());
        reader.open(QIODevice::ReadOnly);
        return reader.readAll();
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        saved_ = -1;
    }

    QTemporaryFile file_;
    int saved_ = -1;
};
