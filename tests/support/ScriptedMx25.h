#pragma once

// The MX25L3206E flasher's side of a test: a scripted chip behind the
// recording worker, the flasher's calls as words, and the spinner its erase
// prints.

#include "RecordingWorker.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

// The spinner line of an erase that the chip reported busy `busyReads` times.
inline QString spinnerLine(int busyReads)
{
    QString group;
    for (const char* frame : {"|", "/", "-", "\\", "|", "/", "-", "\\"})
        group += QStringLiteral("erasing... %1 \r").arg(frame);
    return group.repeated(busyReads);
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

}  // namespace test_support
