#pragma once

#include "Series7Packets.h"

#include <QByteArray>
#include <QString>

namespace sim {

// A Xilinx bitstream file (.bit) laid out as the vendor's tools write it: the
// fixed preamble, the fields 'a' design, 'b' part, 'c' date, 'd' time, 'e'
// and the configuration data. The data is a well-formed 7-series
// configuration stream in the order of real files: dummy words, bus width
// detection, sync word, NOOP, (TIMER, with the watchdog on), RCRC, COR0,
// IDCODE, WCFG, the frame data through FDRI (a type 2 packet), the CRC word, START,
// DESYNC, NOOP padding. The frame
// contents are pseudo-random from the seed, so two seeds give two different
// images of the same size.
struct SampleBitstream {
    // The smallest well-formed stream: one word of frame data.
    static constexpr int kMinimumBytes = 132;
    // Where the frame data begins in the configuration data.
    static constexpr int kFrameDataOffset = 96;
    // COR0 as the vendor's tools write it by default: among others the
    // configuration clock at its default rate (OSCFSEL, bits 22-17, 0).
    static constexpr quint32 kOptions = 0x02003FE5;
    // What the TIMER write of a stream with the watchdog on adds in front of
    // the frame data.
    static constexpr int kWatchdogBytes = 8;
    // The TIMER value written then: bit 30 runs the watchdog during
    // configuration, bits 29-0 its count of 256 cycles of the configuration
    // oscillator (65 MHz), set to twice the time the FPGA takes to read the
    // stream at its default clock, as a designer would set it.
    quint32 watchdogTimer() const;

    QString design = QStringLiteral("lumo3_top;UserID=0XFFFFFFFF;Version=2021.2");
    QString part = QStringLiteral("7a35tcpg236");
    // The length of the configuration data, exactly. From kMinimumBytes on,
    // the frame data takes what the framing leaves, and a length that is not
    // a multiple of 4 ends in 1 to 3 bytes of padding after the last NOOP;
    // below it, the data is the start of the smallest stream, cut short.
    int dataBytes = 64 * 1024;
    quint32 seed = 1;
    quint32 idcode = series7::kXc7a35t;
    // The COR0 word written, its CRC covering it.
    quint32 options = kOptions;
    // One bit of the frame data flipped after the CRC word was computed.
    bool corrupt = false;
    // The configuration watchdog on: a stream that runs out before its end
    // makes the FPGA fall back instead of waiting for ever; a whole stream
    // is read well before it expires.
    bool watchdog = false;

    int minimumBytes() const { return kMinimumBytes + (watchdog ? kWatchdogBytes : 0); }

    QByteArray configurationData() const;
    QByteArray file() const;
    // The .bit file around other configuration data (a cut or edited stream),
    // its 'e' length matching.
    QByteArray file(const QByteArray& data) const;
};

}  // namespace sim
