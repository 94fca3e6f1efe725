// The rules of the chips' datasheets that a frame can break, each as the
// wiring records it: one violation per offending frame, in words that say
// what was done wrong, and none for what the datasheets allow.

#include "AT86.h"
#include "BoardWiring.h"
#include "MX25L3206E.h"
#include "N25Q256.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using sim::kMillisecond;

constexpr unsigned kN25Q256 = 7;
constexpr unsigned kMx25 = 24;
constexpr unsigned kAt86 = 16;

// The three chips, each on a chip-select line of its own.
struct Bench {
    Bench()
    {
        n25q256Memory[0x200] = 0x00;
        n25q256Memory[0x201] = 0xF0;
        for (unsigned pin : {kN25Q256, kMx25, kAt86})
            wiring.setPull(pin, true);
        wiring.attach(n25q256, kN25Q256);
        wiring.attach(mx25, kMx25);
        wiring.attach(at86, kAt86);
    }

    void frame(unsigned pin, const Bytes& bytes)
    {
        wiring.piDrive(pin, false);
        for (std::uint8_t b : bytes)
            wiring.transfer(b);
        wiring.piDrive(pin, true);
    }

    std::vector<std::uint8_t> n25q256Memory = std::vector<std::uint8_t>(sim::N25Q256::kSize, 0xFF);
    std::vector<std::uint8_t> mx25Memory = std::vector<std::uint8_t>(sim::MX25L3206E::kSize, 0xFF);
    sim::VirtualClock clock;
    sim::BoardWiring wiring{clock};
    sim::N25Q256 n25q256{n25q256Memory.data(), clock};
    sim::MX25L3206E mx25{mx25Memory.data(), clock};
    sim::AT86 at86;
};

// A frame to the chip of the row, or time passing.
struct Step {
    Bytes frame;
    sim::Nanos wait = 0;
};

struct Case {
    const char* what;
    unsigned pin;
    std::vector<Step> before;  // break no rule
    Bytes frame;
    QString breach;  // empty: allowed
};

Step timePasses(sim::Nanos t)
{
    return {{}, t};
}

const Step kWren{{0x06}};
const Step kProtectAll{{0x01, 0x3C}};
const Step kStatusWritten = timePasses(10 * kMillisecond);

const Case kCases[] = {
    // --- N25Q256 ---
    {"page program without write enable", kN25Q256, {}, {0x02, 0x00, 0x01, 0x00, 0x00},
     "page program without write enable (PAGE PROGRAM at 0x000100): ignored"},
    {"erase without write enable", kN25Q256, {}, {0x20, 0x00, 0x10, 0x00},
     "erase without write enable (SUBSECTOR ERASE at 0x001000): ignored"},
    {"read while busy", kN25Q256, {kWren, {{0xD8, 0x00, 0x00, 0x00}}}, {0x03, 0x00, 0x00, 0x00, 0x00, 0x00},
     "READ while busy with an erase: only read status is allowed"},
    {"write enable while busy", kN25Q256, {kWren, {{0x02, 0x00, 0x01, 0x00, 0x00}}}, {0x06},
     "WRITE ENABLE while busy with a page program: only read status is allowed"},
    {"unknown opcode while busy", kN25Q256, {kWren, {{0x02, 0x00, 0x01, 0x00, 0x00}}}, {0xB7},
     "opcode 0xb7 while busy with a page program: only read status is allowed"},
    {"chip select raised inside the address", kN25Q256, {}, {0x03, 0x00, 0x01},
     "chip select raised inside the address of READ (2 of its 3 bytes)"},
    {"read of no data", kN25Q256, {}, {0x03, 0x00, 0x01, 0x00}, ""},
    {"page program without data", kN25Q256, {kWren}, {0x02, 0x00, 0x01, 0x00},
     "chip select raised inside PAGE PROGRAM (4 of at least 5 bytes): ignored"},
    {"erase with a byte after the address", kN25Q256, {kWren}, {0x20, 0x00, 0x10, 0x00, 0x00},
     "chip select not raised at the end of SUBSECTOR ERASE (5 bytes, not 4): ignored"},
    {"write enable with a trailing byte", kN25Q256, {}, {0x06, 0x00},
     "chip select not raised at the end of WRITE ENABLE (2 bytes, not 1): ignored"},
    {"program over erased cells", kN25Q256, {kWren}, {0x02, 0x00, 0x01, 0x00, 0xFF, 0xA5}, ""},
    {"program of a 1 where the cell holds 0", kN25Q256, {kWren}, {0x02, 0x00, 0x02, 0x00, 0xFF, 0x0F, 0xF0},
     "page program sets bits from 0 to 1 at 0x000200 (holds 0x00, given 0xff; bytes so in the page: 2): "
     "a program only clears bits"},

    // --- MX25L3206E ---
    {"status write without write enable", kMx25, {}, {0x01, 0x00},
     "status register write without write enable (WRSR): ignored"},
    {"status write without its value", kMx25, {kWren}, {0x01},
     "chip select raised inside WRSR (1 of its 2 bytes): ignored"},
    {"chip erase with a trailing byte", kMx25, {kWren}, {0x60, 0x00},
     "chip select not raised at the end of CE (2 bytes, not 1): ignored"},
    {"write disable while erasing", kMx25, {kWren, {{0x60}}}, {0x04},
     "WRDI while busy with an erase: only read status is allowed"},
    {"chip erase with the array protected", kMx25, {kWren, kProtectAll, kStatusWritten, kWren}, {0x60},
     "erase inside the protected area (CE; protected from 0x000000): ignored"},
    {"page program into the top block protected", kMx25, {kWren, {{0x01, 0x04}}, kStatusWritten, kWren},
     {0x02, 0x3F, 0x00, 0x10, 0x00},
     "page program inside the protected area (PP at 0x3f0010; protected from 0x3f0000): ignored"},
    {"page program below the top block protected", kMx25, {kWren, {{0x01, 0x04}}, kStatusWritten, kWren},
     {0x02, 0x3E, 0xFF, 0x00, 0x00}, ""},
    {"identification read cut inside its address", kMx25, {}, {0x90, 0x00},
     "chip select raised inside the address of REMS (1 of its 3 bytes)"},

    // --- AT86 ---
    {"command word without data", kAt86, {}, {0x00, 0x0D}, ""},
    {"chip select raised inside the command word", kAt86, {}, {0x00},
     "chip select raised inside the command word (1 of its 2 bytes)"},
    {"reserved command bit set", kAt86, {}, {0x40, 0x0D, 0x00},
     "command word with its reserved bit 14 set (byte 0x40)"},
};

const char* chipOn(unsigned pin)
{
    return pin == kN25Q256 ? "N25Q256" : pin == kMx25 ? "MX25L3206E" : "AT86";
}

TEST(ChipRules, EachBreachIsRecordedOnceWithItsRule)
{
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        Bench bench;
        for (const Step& step : c.before) {
            if (step.frame.empty())
                bench.clock.advance(step.wait, sim::TimeKind::Wait);
            else
                bench.frame(c.pin, step.frame);
        }
        const sim::Violations& v = bench.wiring.violations();
        ASSERT_EQ(v.count(), 0u) << v.describe().join('\n').toStdString();
        bench.frame(c.pin, c.frame);
        if (c.breach.isEmpty()) {
            EXPECT_EQ(v.count(), 0u) << v.describe().join('\n').toStdString();
            continue;
        }
        ASSERT_EQ(v.count(), 1u) << v.describe().join('\n').toStdString();
        EXPECT_EQ(v.first().front().where, QString::fromLatin1(chipOn(c.pin)));
        EXPECT_EQ(v.first().front().rule, c.breach);
    }
}

TEST(ChipRules, ABreachIsNumberedByTheByteThatMadeIt)
{
    Bench bench;
    bench.frame(kN25Q256, {0x06});
    bench.frame(kN25Q256, {0xD8, 0x00, 0x00, 0x00});
    // A command to the busy chip is wrong from its opcode, byte 6 on the bus;
    // a frame cut short is wrong where chip select rose, after its last byte.
    bench.frame(kN25Q256, {0x03, 0x00, 0x00, 0x00, 0x00});
    bench.clock.advance(sim::kSecond, sim::TimeKind::Wait);
    bench.frame(kN25Q256, {0x03, 0x00});
    const std::vector<sim::Violation>& first = bench.wiring.violations().first();
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].busByte, 6u);
    EXPECT_EQ(first[1].busByte, 12u);
}

TEST(ChipRules, AbsentChipsReportNothing)
{
    Bench bench;
    sim::BoardFaults faults;
    faults.transceiver = sim::BoardFaults::Transceiver::Absent;
    faults.flash.absent = true;
    sim::N25Q256 absentFlash(bench.n25q256Memory.data(), bench.clock, faults.flash);
    sim::AT86 absentTransceiver({}, &faults);
    bench.wiring.setPull(5, true);
    bench.wiring.setPull(6, true);
    bench.wiring.attach(absentFlash, 5);
    bench.wiring.attach(absentTransceiver, 6);
    bench.frame(5, {0x02, 0x00, 0x01, 0x00, 0x00});
    bench.frame(6, {0x00});
    EXPECT_EQ(bench.wiring.violations().count(), 0u);
}

}  // namespace
