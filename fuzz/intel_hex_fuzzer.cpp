// The Intel HEX check of the radio flasher stand-in, on whatever a .hex file
// may hold, for the AX8052's 64 KiB of flash.

#include "FuzzCheck.h"
#include "AX8052.h"
#include "IntelHex.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    constexpr std::uint32_t kMemory = sim::AX8052::kFlashSize;
    const QByteArray text(reinterpret_cast<const char*>(data), static_cast<int>(size));
    sim::IntelHex hex;
    QString error;
    if (!sim::IntelHex::parse(text, kMemory, hex, error)) {
        FUZZ_REQUIRE(error.startsWith(QLatin1String("line ")) || error == QLatin1String("no end-of-file record"));
        return 0;
    }
    FUZZ_REQUIRE(hex.extent() <= kMemory);
    const QByteArray image = hex.image(kMemory);
    FUZZ_REQUIRE(image.size() == static_cast<int>(kMemory));
    for (const auto& [address, value] : hex.bytes)
        FUZZ_REQUIRE(static_cast<std::uint8_t>(image.at(static_cast<int>(address))) == value);

    // The memory written out as a file of its own reads back the same.
    sim::IntelHex again;
    FUZZ_REQUIRE(sim::IntelHex::parse(sim::IntelHex::write(image), kMemory, again, error));
    FUZZ_REQUIRE(again.image(kMemory) == image);
    return 0;
}
