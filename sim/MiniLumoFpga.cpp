#include "MiniLumoFpga.h"

#include <cstring>

namespace sim {

namespace {
const std::uint8_t kSyncWord[4] = {0xAA, 0x99, 0x55, 0x66};
}  // namespace

MiniLumoFpga::MiniLumoFpga(BoardWiring& wiring, MX25L3206E& flash, const std::uint8_t* memory)
    : wiring_(wiring), flash_(flash), memory_(memory)
{
    drive(false);
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
    drive(validConfiguration(memory_));
}

void MiniLumoFpga::restore(bool done)
{
    drive(done);
}

void MiniLumoFpga::drive(bool done)
{
    done_ = done;
    wiring_.boardDrive(kDonePin, done);
}

}  // namespace sim
