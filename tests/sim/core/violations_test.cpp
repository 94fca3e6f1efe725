// The violations a run's parts report: stamped with their byte on the bus as
// the trace numbers them, counted, the first ones kept, saved and read back.

#include "BoardWiring.h"

#include <gtest/gtest.h>

namespace {

// Breaks a rule at its second byte and again when deselected after it.
class Offender : public sim::SpiDevice {
public:
    const char* name() const override { return "OFFENDER"; }
    void select() override { count_ = 0; }
    bool exchange(std::uint8_t, std::uint8_t&) override
    {
        if (++count_ == 2)
            violated("second byte");
        return false;
    }
    void deselect() override
    {
        if (count_ >= 2)
            violated("deselected late");
    }

private:
    int count_ = 0;
};

TEST(Violations, StampedCountedKeptAndSaved)
{
    sim::VirtualClock clock;
    sim::BoardWiring wiring(clock);
    Offender chip;
    wiring.setPull(5, true);
    wiring.attach(chip, 5);
    wiring.transfer(0x00);  // byte 1, nobody selected
    for (unsigned frame = 0; frame < sim::Violations::kKept; ++frame) {
        wiring.piDrive(5, false);
        wiring.transfer(0x01);
        wiring.transfer(0x02);
        wiring.transfer(0x03);
        wiring.piDrive(5, true);
    }
    const sim::Violations& v = wiring.violations();
    EXPECT_EQ(v.count(), 2 * sim::Violations::kKept);
    ASSERT_EQ(v.first().size(), sim::Violations::kKept);
    EXPECT_EQ(v.first()[0].busByte, 3u);  // the second byte of the first frame
    EXPECT_EQ(v.first()[0].where, "OFFENDER");
    EXPECT_EQ(v.first()[0].rule, "second byte");
    EXPECT_EQ(v.first()[1].busByte, 4u);  // after the frame's last byte
    EXPECT_EQ(v.first()[1].rule, "deselected late");

    const sim::Violations back = sim::Violations::fromJson(v.toJson());
    EXPECT_EQ(back.count(), v.count());
    EXPECT_EQ(back.describe(), v.describe());
    EXPECT_EQ(v.describe().first(), "32, the first 16:");
    EXPECT_EQ(v.describe().at(1), "bus byte 3, OFFENDER: second byte");
    EXPECT_EQ(sim::Violations().describe(), QStringList{"none"});
}

}  // namespace
