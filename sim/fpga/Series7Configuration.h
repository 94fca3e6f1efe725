#pragma once

#include <QString>

#include <cstdint>

namespace sim {

// The configuration logic of a Xilinx 7-series FPGA in master SPI mode, as a
// function of the flash it reads: which image a power-up or a released
// PROGRAM_B loads from a MultiBoot flash, and why. Every rule is UG470's;
// sim/README.md lists them with their sections.
//
// A boot is a chain of passes. The first reads from address 0: everything
// before the sync word is skipped, then the packet stream is interpreted word
// by word, the CRC and the IDCODE checked, until START and DESYNC end it and
// the startup sequence runs. An IPROG (the golden header's, behind the switch
// word) starts a pass at the byte address that WBSTAR holds; an error there,
// or a configuration watchdog that expires, sends the FPGA back to address 0
// with WBSTAR and IPROG ignored and the watchdog off (the fallback), unless
// the failing stream turned the fallback off in CTL0.
class Series7Configuration {
public:
    enum class Image { None, Golden, Update };

    struct Outcome {
        // Named by where the configuring stream's DESYNC lies.
        Image loaded = Image::None;
        // An image failed and the FPGA configured again from address 0.
        bool fallback = false;
        // The FPGA goes on reading the flash for ever: a stream that ran out
        // before its end with the watchdog off, or IPROGs that lead round in
        // a circle.
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
        // How long the FPGA read the flash, every pass included: the bits it
        // read at its configuration clock over the data lines in use, and a
        // watchdog's wait. Meaningless for a configuration that hangs.
        std::uint64_t readNanos = 0;
    };

    // Where the update area begins: a stream whose DESYNC lies at or above
    // it is the update image.
    static constexpr std::uint32_t kUpdateImageAddress = 0x400000;

    // flash: the bytes the FPGA reads, from address 0; part: the IDCODE of
    // the board's FPGA, of which bits 27-0 are compared.
    static Outcome configure(const std::uint8_t* flash, std::uint32_t size, std::uint32_t part);
};

}  // namespace sim
