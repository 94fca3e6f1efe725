#pragma once

#include "FrameProbe.h"
#include "Lumo3Fpga.h"
#include "N25Q256.h"
#include "NoViolations.h"
#include "SimPinWorker.h"

#include <QByteArray>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

// A Lumo3 board in the test's own process, wired as the real one, with a
// probe in front of the flash and a log of frames and reboot-line changes.
// Whatever the test does on it must break none of the flash's rules, unless
// the test says it means to.
struct VirtualLumo3 {
    VirtualLumo3() : memory(sim::N25Q256::kSize, 0xFF)
    {
        wiring.setPull(7, true);
        wiring.setPull(8, true);
        wiring.attach(probe, 7);
        // The probe stands where the chip would be attached.
        chip.watchRules(&wiring);
        wiring.onLineChange(26, [this](bool high) { events.push_back(high ? "pin26 high" : "pin26 low"); });
        worker->init();
    }

    ~VirtualLumo3()
    {
        if (!breachesRules)
            expectNoViolations(wiring.violations(), "the virtual Lumo3");
    }

    void store(unsigned address, const QByteArray& bytes)
    {
        std::copy(bytes.begin(), bytes.end(), memory.begin() + address);
    }

    QByteArray bytes(unsigned address, unsigned length) const
    {
        return QByteArray(reinterpret_cast<const char*>(memory.data()) + address, static_cast<int>(length));
    }

    bool blank(unsigned address, unsigned length) const
    {
        return std::all_of(memory.begin() + address, memory.begin() + address + length,
                           [](std::uint8_t b) { return b == 0xFF; });
    }

    bool breachesRules = false;  // set by a test that breaks the rules on purpose
    std::vector<std::uint8_t> memory;
    sim::VirtualClock clock;
    sim::BoardWiring wiring{clock};
    sim::N25Q256 chip{memory.data(), clock};
    sim::Lumo3Fpga fpga{wiring, chip, memory.data()};
    std::vector<std::string> events;
    FrameProbe probe{fpga.flashPort(), &events};
    std::shared_ptr<sim::SimPinWorker> worker = std::make_shared<sim::SimPinWorker>(wiring);
};
