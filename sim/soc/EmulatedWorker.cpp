#include "EmulatedWorker.h"

#include "SocEmulator.h"
#include "BCM2835_Pin_Worker.h"

namespace sim {

namespace {
// One allocation, as std::make_shared of the worker would be; the worker is
// declared last so that it lets go of the window before the SoC goes.
struct EmulatedPi {
    explicit EmulatedPi(BoardWiring& wiring) : soc(wiring) {}
    SocEmulator soc;
    BCM2835_Pin_Worker worker;
};
}  // namespace

std::shared_ptr<BasePinWorker> makeEmulatedWorker(BoardWiring& wiring, std::optional<std::uint64_t> spiStallAfterBytes,
                                                  bool pollsFromMemory)
{
    auto pi = std::make_shared<EmulatedPi>(wiring);
    if (spiStallAfterBytes)
        pi->soc.stallSpiAfter(*spiStallAfterBytes);
    pi->soc.answerPollsFromMemory(pollsFromMemory);
    return std::shared_ptr<BasePinWorker>(pi, &pi->worker);
}

}  // namespace sim
