#pragma once

#include "VirtualClock.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

// One SPI0 frame as the register traffic showed it, from the first write of
// CS with the controller idle (choosing the chip, clearing the FIFOs,
// setting TA) to the one that cleared TA: every access to CS and the FIFO
// with what it wrote or read and when it ended, the bytes that crossed the
// bus and their answers, and the time the frame spent of each kind.
//
// A status poll of a chip that stays busy is the same frame over and over:
// the program runs the same code on the same flags. The SoC emulator keeps
// the last such frame and answers the next one that starts alike from it
// (SocEmulator, "Polls answered from memory").
struct RepeatedFrame {
    // Longer frames are data, which does not come again.
    static constexpr std::size_t kMaxSteps = 64;

    struct Step {
        std::uintptr_t offset = 0;
        bool write = false;
        std::uint32_t value = 0;  // written, or read
        Nanos at = 0;             // when the access ended, from the frame's start
    };

    // The controller as the frame found it.
    std::uint32_t csBefore = 0;
    std::uint32_t clk = 0;
    std::array<std::uint32_t, 6> fsel{};
    TimeKind kindBefore = TimeKind::Transfer;
    Nanos byteTime = 0;

    std::vector<Step> steps;
    std::size_t taStep = 0;  // the write that set TA
    std::vector<std::uint8_t> mosi;
    std::vector<std::uint8_t> miso;
    std::array<Nanos, 3> spent{};
    Nanos duration = 0;

    // The controller as the frame left it.
    TimeKind kindAfter = TimeKind::Transfer;
    std::uint32_t csAfter = 0;
    std::uint32_t lastStatus = 0;
    bool touched = false;

    std::uint32_t active() const { return steps[taStep].value; }

    bool matches(std::size_t step, std::uintptr_t at, bool isWrite, std::uint32_t written) const
    {
        const Step& s = steps[step];
        return s.offset == at && s.write == isWrite && (!isWrite || s.value == written);
    }
};

}  // namespace sim
