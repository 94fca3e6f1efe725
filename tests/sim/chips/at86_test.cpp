// The AT86 transceiver model: 16-bit register frames with auto-increment,
// read-only identification.

#include "AT86.h"
#include "ChipFrame.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(AT86ModelTest, RegistersReadAndWriteWithAutoIncrement)
{
    sim::AT86 chip;
    auto frame = [&chip](const std::vector<std::uint8_t>& bytes) { return chipFrame(chip, bytes); };
    EXPECT_EQ(frame({0x00, 0x0D, 0, 0}), (std::vector<int>{-1, -1, 0x34, 0x03}));
    frame({0x81, 0x00, 0xAB, 0xCD});
    EXPECT_EQ(chip.reg(0x0100), 0xAB);
    EXPECT_EQ(chip.reg(0x0101), 0xCD);
    EXPECT_EQ(frame({0x01, 0x00, 0, 0}), (std::vector<int>{-1, -1, 0xAB, 0xCD}));
    frame({0x80, 0x0D, 0x99});  // identification is read-only
    EXPECT_EQ(chip.reg(0x000D), 0x34);
}

}  // namespace
