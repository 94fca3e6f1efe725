#pragma once

#include "MiniLumoBoard.h"
#include "NoViolations.h"
#include "SimPinWorker.h"

#include <QByteArray>

#include <cstring>
#include <memory>
#include <vector>

// A whole Mini Lumo board in the test's own process, its flash in memory.
// Whatever the test does on it must break none of the chips' rules, unless
// the test says it means to.
struct VirtualMiniLumo {
    explicit VirtualMiniLumo(sim::MiniLumoOptions options = {}) : board(memory.data(), options) { worker->init(); }

    ~VirtualMiniLumo()
    {
        if (!breachesRules)
            expectNoViolations(board.wiring().violations(), "the virtual Mini Lumo");
    }

    QByteArray contents(int length) const { return QByteArray(reinterpret_cast<const char*>(memory.data()), length); }
    void load(const QByteArray& data) { std::memcpy(memory.data(), data.constData(), static_cast<std::size_t>(data.size())); }

    bool breachesRules = false;  // set by a test that breaks the rules on purpose
    std::vector<std::uint8_t> memory = std::vector<std::uint8_t>(sim::MX25L3206E::kSize, 0xFF);
    sim::MiniLumoBoard board;
    std::shared_ptr<sim::SimPinWorker> worker = std::make_shared<sim::SimPinWorker>(board.wiring());
};
