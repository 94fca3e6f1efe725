#pragma once

#include "IntelHex.h"

#include <QJsonObject>
#include <QString>

namespace sim {

// The Lumo3's AXSEM AX8052 radio microcontroller, as far as its firmware
// goes: 64 KiB of code flash that the external flasher loads over the serial
// port. The flash lives in the board directory (ax8052.img, raw), with what
// was last loaded in radio.json. It is written by the flasher stand-in, a
// process of its own, while the updater's run holds the rest of the board.
class AX8052 {
public:
    static constexpr std::uint32_t kFlashSize = 64 * 1024;
    static constexpr const char* kImageFile = "ax8052.img";
    static constexpr const char* kStateFile = "radio.json";
    // The serial port the board wires to the radio.
    static constexpr const char* kSerialDevice = "/dev/ttyS0";

    // Replaces the firmware with the file's bytes (erased elsewhere).
    static bool load(const QString& boardDir, const IntelHex& firmware, QString& error);
    // "firmware": {"bytes": N, "sha256": "..."} or {"bytes": 0} when never loaded.
    static QJsonObject status(const QString& boardDir);
};

}  // namespace sim
