#pragma once

#include "BoardWiring.h"
#include "BasePinWorker.h"

#include <memory>

namespace sim {

// The product's pin worker, BCM2835_Pin_Worker, on an emulated BCM2835
// wired to a board: below the drivers, everything runs as on the Pi, down to
// the registers. The emulator lives and dies with the worker.
std::shared_ptr<BasePinWorker> makeEmulatedWorker(BoardWiring& wiring);

}  // namespace sim
