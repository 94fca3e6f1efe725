#pragma once

#include "SpiDevice.h"

#include <cstdint>
#include <vector>

// One frame straight into a chip model, as the wires would give it: select,
// the bytes, deselect. What came back per byte; -1 where the chip left MISO
// undriven.
inline std::vector<int> chipFrame(sim::SpiDevice& chip, const std::vector<std::uint8_t>& bytes)
{
    std::vector<int> out;
    chip.select();
    for (std::uint8_t b : bytes) {
        std::uint8_t miso = 0xFF;
        out.push_back(chip.exchange(b, miso) ? miso : -1);
    }
    chip.deselect();
    return out;
}
