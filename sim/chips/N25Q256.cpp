#include "N25Q256.h"

namespace sim {

namespace {
using A = SpiNorAction;

const std::vector<SpiNorCommand> kCommands = {
    {0x06, "WRITE ENABLE", A::WriteEnable},
    {0x04, "WRITE DISABLE", A::WriteDisable},
    {0x05, "READ STATUS", A::ReadStatus},
    {0x9E, "READ ID", A::ReadId},
    {0x9F, "READ ID", A::ReadId},
    {0x03, "READ", A::Read},
    {0x20, "SUBSECTOR ERASE", A::Erase, 250 * kMillisecond, N25Q256::kSubsectorSize},
    {0xD8, "SECTOR ERASE", A::Erase, 700 * kMillisecond, N25Q256::kSectorSize},
    {0x02, "PAGE PROGRAM", A::PageProgram, 500 * kMicrosecond},
};

// 3-byte addressing reaches 16 MiB; nothing is written through WRSR.
constexpr SpiNorGeometry kGeometry{N25Q256::kSize, 0xFFFFFF, N25Q256::kPageSize, 0x00};
}  // namespace

N25Q256::N25Q256(std::uint8_t* memory, const VirtualClock& clock, const FlashFaults& faults)
    : SpiNorFlash(kGeometry, kCommands, memory, clock, faults)
{
}

const std::array<std::uint8_t, 20>& N25Q256::identification()
{
    // Manufacturer, memory type, capacity, remaining length, extended ID and
    // configuration, then a 14-byte unique ID.
    static const std::array<std::uint8_t, 20> id = {0x20, 0xBA, 0x19, 0x10, 0x00, 0x00, 0x17,
                                                    0x4C, 0x33, 0x02, 0x91, 0x5E, 0x6A, 0x08,
                                                    0xC4, 0x27, 0x1D, 0x80, 0x53, 0xE9};
    return id;
}

std::uint8_t N25Q256::idByte(std::uint32_t n, std::uint32_t) const
{
    return n < identification().size() ? identification()[n] : 0x00;
}

}  // namespace sim
