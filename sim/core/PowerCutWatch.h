#pragma once

#include "BoardWiring.h"

#include <cstdint>
#include <functional>

namespace sim {

// Counts the bytes on the bus and, at the set count, calls the power cut:
// whatever the chips are doing then is what they are left with.
class PowerCutWatch : public WireObserver {
public:
    PowerCutWatch(BoardWiring& wiring, std::uint64_t afterBytes, std::function<void()> cut)
        : wiring_(wiring), afterBytes_(afterBytes), cut_(std::move(cut))
    {
        wiring_.addObserver(*this);
    }
    ~PowerCutWatch() override { wiring_.removeObserver(*this); }

    void byteDone(std::uint64_t bytesOnBus) override
    {
        if (bytesOnBus == afterBytes_)
            cut_();
    }

private:
    BoardWiring& wiring_;
    std::uint64_t afterBytes_;
    std::function<void()> cut_;
};

}  // namespace sim
