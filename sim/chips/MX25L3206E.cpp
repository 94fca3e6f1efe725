#include "MX25L3206E.h"

namespace sim {

namespace {
std::vector<SpiNorCommand> commands(const MX25L3206ETiming& t)
{
    using A = SpiNorAction;
    return {
        {0x06, "WREN", A::WriteEnable},
        {0x04, "WRDI", A::WriteDisable},
        {0x01, "WRSR", A::WriteStatus, t.writeStatus},
        {0x05, "RDSR", A::ReadStatus},
        {0x90, "REMS", A::ReadIdAt},
        {0x03, "READ", A::Read},
        {0x02, "PP", A::PageProgram, t.pageProgram},
        {0x60, "CE", A::Erase, t.chipErase, MX25L3206E::kSize},
        {0xC7, "CE", A::Erase, t.chipErase, MX25L3206E::kSize},
    };
}

// A23 and A22 are not decoded: addresses wrap at the chip's end.
constexpr SpiNorGeometry kGeometry{MX25L3206E::kSize, MX25L3206E::kSize - 1, MX25L3206E::kPageSize,
                                   MX25L3206E::kNonVolatileBits};
constexpr unsigned kWholeArrayLevel = 7;
}  // namespace

MX25L3206E::MX25L3206E(std::uint8_t* memory, const VirtualClock& clock, const FlashFaults& faults,
                       MX25L3206ETiming timing)
    : SpiNorFlash(kGeometry, commands(timing), memory, clock, faults)
{
}

std::uint8_t MX25L3206E::idByte(std::uint32_t n, std::uint32_t address) const
{
    // Address bit 0 chooses which ID comes first; the two then alternate.
    return (n + (address & 1)) % 2 == 0 ? kManufacturerId : kDeviceId;
}

unsigned MX25L3206E::protectionLevel()
{
    settle();
    return level();
}

std::uint32_t MX25L3206E::protectedFrom()
{
    settle();
    return writableEnd();
}

std::uint32_t MX25L3206E::writableEnd() const
{
    const unsigned bp = level();
    if (bp == 0)
        return kSize;
    if (bp >= kWholeArrayLevel)
        return 0;
    return kSize - (kBlockSize << (bp - 1));
}

}  // namespace sim
