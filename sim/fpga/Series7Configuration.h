#pragma once

#include <QString>

#include <cstdint>

namespace sim {

// The configuration logic of a Xilinx 7-series FPGA in master SPI mode, as a
// function of the flash it reads: which image a power-up or a released
// PROGRAM_B loads from a MultiBoot flash, and why.
//
// One attempt reads from address 0: everything before the sync word is
// skipped, then the packet stream is interpreted word by word, the CRC and
// the IDCODE checked, until START and DESYNC end it. The golden header's
// IPROG (behind the switch word) sends the FPGA to the update image; an
// error there, or a watchdog that expires, sends it back to address 0 with
// IPROG ignored, which loads the golden image.
class Series7Configuration {
public:
    enum class Image { None, Golden, Update };

    struct Outcome {
        // Named by where the configuring stream's DESYNC lies.
        Image loaded = Image::None;
        // The image reached through IPROG failed and the FPGA configured
        // again from address 0.
        bool fallback = false;
        // The stream ran out before its end with the watchdog off: the FPGA
        // goes on reading the flash for ever.
        bool hangs = false;
        // Why the fallback or nothing, e.g. "update image: configuration CRC
        // mismatch at 0x41F2A4"; empty when the FPGA configured at the
        // first try.
        QString error;
        // Words written to FDRI and MFWR by the stream read last.
        std::uint64_t frameWords = 0;
        // The stream that configured is a partial design: it wrote no COR0,
        // shut the device down first or wrote no frame data. On a blank
        // device that leaves an almost empty design running.
        bool partial = false;
        // How long the FPGA read the flash, every attempt included: the bits
        // it read at its configuration clock over the data lines in use.
        // Meaningless for a configuration that hangs.
        std::uint64_t readNanos = 0;
    };

    // The configuration clock in master SPI mode: 3 MHz nominal, whatever
    // COR0 asks for (see sim/README.md).
    static constexpr std::uint64_t kConfigClockHz = 3000000;

    // Where the golden header's IPROG leads (its WBSTAR value is not read).
    static constexpr std::uint32_t kUpdateImageAddress = 0x400000;

    // flash: the bytes the FPGA reads, from address 0; part: the IDCODE of
    // the board's FPGA, of which bits 27-0 are compared.
    static Outcome configure(const std::uint8_t* flash, std::uint32_t size, std::uint32_t part);
};

}  // namespace sim
