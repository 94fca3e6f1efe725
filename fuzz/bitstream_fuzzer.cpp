// The Xilinx bitstream header parser and the configuration stream check, on
// whatever a .bit file may hold; every stream the check passes is one the
// virtual FPGA loads whole in either area.

#include "FpgaVerdict.h"
#include "FuzzCheck.h"
#include "series7_stream.h"
#include "xilinx_bitstream.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray file(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const QByteArray untouched("untouched");
    QByteArray image = untouched;
    QString error;
    if (extractConfigurationData(file, image, error)) {
        // The configuration data is what follows the header: a tail of the file.
        FUZZ_REQUIRE(file.endsWith(image));
        FUZZ_REQUIRE(error.isEmpty());
        // The check names a byte inside the image, the end for a cut stream,
        // and gives a reason for every stream it does not pass.
        const Series7StreamCheck check = checkSeries7Stream(image);
        FUZZ_REQUIRE(check.at >= 0 && check.at <= image.size());
        FUZZ_REQUIRE(check.verdict != Series7StreamCheck::Verdict::Truncated || check.at == image.size());
        FUZZ_REQUIRE(check.clean() == check.refusal().isEmpty());
        if (check.clean()) {
            FUZZ_REQUIRE(check.idcode.has_value());
            FUZZ_REQUIRE(fpgaLoadsInBothAreas(image, *check.idcode));
        }
    } else {
        // Refused files leave the image alone and say why.
        FUZZ_REQUIRE(image == untouched);
        FUZZ_REQUIRE(error.startsWith(QLatin1String("Bitstream truncated: ")));
    }
    return 0;
}
