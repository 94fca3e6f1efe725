#pragma once

// Helpers shared by the Mini Lumo tests: capturing the three output channels,
// a temporary working directory, a scripted chip for the recording worker and
// a readable trace of the flasher's calls.

#include "support/DebugCapture.h"
#include "support/QtPrinters.h"
#include "support/RecordingWorker.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace minilumo_test {

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

// Standard output split into lines; a spinner line keeps its carriage returns.
inline QStringList lines(const QByteArray& text)
{
    QStringList out = QString::fromUtf8(text).split('\n');
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

// The spinner line of an erase that the chip reported busy `busyReads` times.
inline QString spinnerLine(int busyReads)
{
    QString group;
    for (const char* frame : {"|", "/", "-", "\\", "|", "/", "-", "\\"})
        group += QStringLiteral("erasing... %1 \r").arg(frame);
    return group.repeated(busyReads);
}

// The test runs in a fresh temporary directory and returns to where it was.
class WorkingDirectory {
public:
    WorkingDirectory() : previous_(QDir::currentPath())
    {
        if (!dir_.isValid() || !QDir::setCurrent(dir_.path()))
            throw std::runtime_error("cannot enter a temporary directory");
    }
    ~WorkingDirectory() { QDir::setCurrent(previous_); }

    QString path() const { return dir_.path(); }

    void write(const QString& name, const QByteArray& contents) const
    {
        QFile f(dir_.filePath(name));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(contents) != contents.size())
            throw std::runtime_error("cannot write " + name.toStdString());
    }
    bool exists(const QString& name) const { return QFile::exists(dir_.filePath(name)); }

private:
    QString previous_;
    QTemporaryDir dir_;
};

inline QByteArray pattern(int size, int seed)
{
    QByteArray out(size, 0);
    for (int i = 0; i < size; ++i)
        out[i] = static_cast<char>((i * 7 + seed) ^ (i >> 8));
    return out;
}

inline std::vector<char> bytes(const QByteArray& data)
{
    return std::vector<char>(data.begin(), data.end());
}

// Answers the flasher's frames on a recording worker the way a working
// MX25L3206E would, without its timing: READ gives memory, PP clears bits,
// CE erases; after CE, PP and WRSR the chip reports busy for the given
// number of status reads.
struct ScriptedChip {
    static constexpr std::uint32_t kSize = 4u << 20;

    std::vector<std::uint8_t> memory = std::vector<std::uint8_t>(kSize, 0xFF);
    std::uint8_t manufacturer = 0xC2;
    std::uint8_t device = 0x15;
    int eraseBusyReads = 2;
    int pageBusyReads = 0;
    int statusBusyReads = 0;
    bool stuckBusy = false;
    bool programs = true;
    // The chip never finishes programming the page at this address.
    std::optional<std::uint32_t> stuckAtPage;

    void attach(RecordingWorker& worker)
    {
        worker.respond = [this](const std::vector<std::uint8_t>& tx, char* rx, SPI_ChipSelect) {
            answer(tx, rx);
        };
    }

    void load(const QByteArray& data) { std::copy(data.begin(), data.end(), memory.begin()); }

    QByteArray contents(int length) const
    {
        return QByteArray(reinterpret_cast<const char*>(memory.data()), length);
    }

private:
    static std::uint32_t address(const std::vector<std::uint8_t>& tx)
    {
        return (std::uint32_t(tx[1]) << 16 | std::uint32_t(tx[2]) << 8 | tx[3]) % kSize;
    }

    void answer(const std::vector<std::uint8_t>& tx, char* rx)
    {
        switch (tx.at(0)) {
        case 0x05:
            rx[1] = static_cast<char>(stuckBusy || busyLeft_-- > 0 ? 0x01 : 0x00);
            break;
        case 0x90:
            rx[4] = static_cast<char>(manufacturer);
            rx[5] = static_cast<char>(device);
            break;
        case 0x03:
            for (std::size_t i = 4; i < tx.size(); ++i)
                rx[i] = static_cast<char>(memory[(address(tx) + i - 4) % kSize]);
            break;
        case 0x60:
            std::fill(memory.begin(), memory.end(), 0xFF);
            busyLeft_ = eraseBusyReads;
            break;
        case 0x01:
            busyLeft_ = statusBusyReads;
            break;
        case 0x02:
            if (programs)
                for (std::size_t i = 4; i < tx.size(); ++i)
                    memory[address(tx) + i - 4] &= tx[i];
            busyLeft_ = pageBusyReads;
            stuckBusy = stuckBusy || stuckAtPage == address(tx);
            break;
        default:
            break;
        }
    }

    int busyLeft_ = 0;
};

inline std::string hex(std::uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

// The flasher's calls as words: "WREN", "WRSR 03", "READ 00FFFF", "PP 000100",
// "wait 6", "GPIO25 high", "DONE?". Every flash frame must be bracketed by
// GPIO 24 low and high and go out on SPI_CS0; a frame that is not is
// reported as a test failure.
inline std::vector<std::string> flashTrace(const std::vector<RecordingWorker::Call>& calls)
{
    using Op = RecordingWorker::Op;
    std::vector<std::string> words;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const RecordingWorker::Call& c = calls[i];
        if (c.op == Op::SetPin && c.pin == 24 && c.state == PIN_LOW) {
            const bool bracketed = i + 2 < calls.size() && calls[i + 1].op == Op::ReadWrite &&
                                   calls[i + 2].op == Op::SetPin && calls[i + 2].pin == 24 &&
                                   calls[i + 2].state == PIN_HIGH;
            if (!bracketed) {
                ADD_FAILURE() << "flash frame not bracketed by GPIO 24 at call " << i;
                return words;
            }
            const RecordingWorker::Call& frame = calls[i + 1];
            EXPECT_EQ(frame.cs, SPI_CS0) << "call " << i + 1;
            const std::vector<std::uint8_t>& tx = frame.tx;
            const std::uint32_t addr = tx.size() >= 4 ? (tx[1] << 16 | tx[2] << 8 | tx[3]) : 0;
            switch (tx.at(0)) {
            case 0x06: words.push_back("WREN"); break;
            case 0x04: words.push_back("WRDI"); break;
            case 0x01: words.push_back("WRSR " + hex(tx.at(1), 2)); break;
            case 0x03: words.push_back("READ " + hex(addr, 6)); break;
            case 0x05: words.push_back("RDSR"); break;
            case 0x90: words.push_back("REMS"); break;
            case 0x60: words.push_back("CE"); break;
            case 0x02: words.push_back("PP " + hex(addr, 6)); break;
            default: words.push_back("frame " + hex(tx[0], 2)); break;
            }
            i += 2;
        } else if (c.op == Op::Delay) {
            words.push_back("wait " + std::to_string(c.ms));
        } else if (c.op == Op::SetPin && c.pin == 25) {
            words.push_back(c.state == PIN_HIGH ? "GPIO25 high" : "GPIO25 low");
        } else if (c.op == Op::GetPin && c.pin == 13) {
            words.push_back("DONE?");
        } else {
            ADD_FAILURE() << "unexpected call " << static_cast<int>(c.op) << " at " << i;
        }
    }
    return words;
}

inline std::vector<const RecordingWorker::Call*> framesWithOpcode(const RecordingWorker& worker, std::uint8_t opcode)
{
    std::vector<const RecordingWorker::Call*> out;
    for (const RecordingWorker::Call& c : worker.calls)
        if (c.op == RecordingWorker::Op::ReadWrite && !c.tx.empty() && c.tx[0] == opcode)
            out.push_back(&c);
    return out;
}

}  // namespace minilumo_test
