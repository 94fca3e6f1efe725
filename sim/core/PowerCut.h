#pragma once

#include <cstdint>

namespace sim {

// When the power goes in the middle of a program or erase, some bytes of the
// unit are done and some are not. Which ones is decided per byte from the
// seed and the address, so a given cut always leaves the same pattern, with
// the share of bytes done following the operation's progress (0 to 1).
inline bool doneAtPowerCut(std::uint32_t seed, std::uint32_t address, double progress)
{
    std::uint64_t x = (static_cast<std::uint64_t>(seed) << 32) ^ address;
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    return static_cast<double>(x >> 11) / static_cast<double>(1ull << 53) < progress;
}

}  // namespace sim
