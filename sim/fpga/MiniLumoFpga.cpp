#include "MiniLumoFpga.h"

#include <cstring>

namespace sim {

namespace {
const std::uint8_t kSyncWord[4] = {0xAA, 0x99, 0x55, 0x66};
}  // namespace

MiniLumoFpga::MiniLumoFpga(BoardWiring& wiring, MX25L3206E& flash, const std::uint8_t* memory,
                           const BoardFaults* faults)
    : wiring_(wiring), flash_(flash), memory_(memory), faults_(faults)
{
    configure(false);
}

bool MiniLumoFpga::done() const
{
    return configured_ && !(faults_ && faults_->doneStuckLow);
}

bool MiniLumoFpga::validConfiguration(const std::uint8_t* memory)
{
    for (std::uint32_t i = 0; i + sizeof kSyncWord <= kSyncWindow; ++i)
        if (std::memcmp(memory + i, kSyncWord, sizeof kSyncWord) == 0)
            return true;
    return false;
}

void MiniLumoFpga::powerUp()
{
    flash_.settle();
    configure(validConfiguration(memory_));
}

void MiniLumoFpga::powerDown()
{
    configure(false);
}

void MiniLumoFpga::restore(bool configured)
{
    configure(configured);
}

void MiniLumoFpga::configure(bool valid)
{
    configured_ = valid;
    wiring_.boardDrive(kDonePin, done());
}

}  // namespace sim
