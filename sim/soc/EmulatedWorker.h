#pragma once

#include "BoardWiring.h"
#include "BasePinWorker.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace sim {

// The product's pin worker, BCM2835_Pin_Worker, on an emulated BCM2835
// wired to a board: below the drivers, everything runs as on the Pi, down to
// the registers. The emulator lives and dies with the worker; its SPI0 stops
// after spiStallAfterBytes bytes when that is given, and it answers no poll
// from memory without pollsFromMemory.
std::shared_ptr<BasePinWorker> makeEmulatedWorker(BoardWiring& wiring,
                                                  std::optional<std::uint64_t> spiStallAfterBytes = std::nullopt,
                                                  bool pollsFromMemory = true);

}  // namespace sim
