#pragma once

#include "BoardWiring.h"

#include <cstdint>
#include <functional>

namespace sim {

// Calls the power cut when the bus has carried the set count of bytes:
// whatever the chips are doing then is what they are left with.
class PowerCutWatch {
public:
    PowerCutWatch(BoardWiring& wiring, std::uint64_t afterBytes, std::function<void()> cut) : wiring_(wiring)
    {
        wiring_.setByteAlarm(afterBytes, std::move(cut));
    }
    ~PowerCutWatch() { wiring_.clearByteAlarm(); }
    PowerCutWatch(const PowerCutWatch&) = delete;
    PowerCutWatch& operator=(const PowerCutWatch&) = delete;

private:
    BoardWiring& wiring_;
};

}  // namespace sim
