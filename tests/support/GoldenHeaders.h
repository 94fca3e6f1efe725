#pragma once

#include <QByteArray>

// The 32 bytes in front of the golden image at 0x001000, as the writer lays
// them: NOOP, WBSTAR = 0x00400000 (the update area, where IPROG sends the
// FPGA), CMD = IPROG, three NOOPs. Written out here, not taken from the
// writer, so that the tests hold the writer to the bytes.
inline const QByteArray kGoldenHeader =
    QByteArray::fromHex("20000000300200010040000030008001"
                        "0000000F200000002000000020000000");

// The same as earlier versions wrote it, WBSTAR = 0x00001000: IPROG then
// sends the FPGA to the header itself, and on to the golden image.
inline const QByteArray kLegacyGoldenHeader =
    QByteArray::fromHex("20000000300200010000100030008001"
                        "0000000F200000002000000020000000");
