#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Whether an image is a full configuration that a Xilinx 7-series FPGA (the
// Lumo3's Artix-7) loads from this board's flash, read the way its
// configuration logic reads it: from the first byte of the image it looks
// for the sync word 0xAA995566, then follows 32-bit big-endian packets,
// passing over the words it ignores while synchronised (dummy words, the
// bus-width pattern, a repeated sync word, NOOP). A DESYNC before START only
// drops the sync, and the search for the next sync word goes on. The stream
// ends with START and then DESYNC.
//
// Beyond what the FPGA itself refuses (a bad header, a CRC word that does
// not match, a cut stream), an image is refused when writing it could leave
// the board without the design it expects: no IDCODE before the frame data
// (its part could not be checked), IDCODE writes for two parts or for
// another family, a partial reconfiguration image, an IPROG (in this layout
// only the golden header may send the FPGA elsewhere), an encrypted stream
// (its frames cannot be checked here), a startup sequence clocked by
// anything but CCLK (loaded from the flash, nothing else clocks it for
// sure), or a configuration watchdog that expires before the FPGA has read
// the stream at the stream's own clock.
struct Series7StreamCheck {
    enum class Verdict {
        Clean,          // START then DESYNC, every CRC word matching, nothing refused
        NotSeries7,     // the first header after the sync word, or an IDCODE's family, is not 7-series
        InvalidHeader,  // a later header is invalid
        CrcMismatch,    // a CRC word differs from the running CRC
        Truncated,      // the image ends before START and DESYNC, or holds no sync word
        NoStart,        // DESYNC before START dropped the sync, and no stream follows
        NoIdcode,       // frame data (or the end) before any IDCODE write
        TwoParts,       // an IDCODE write names another part than the first
        Partial,        // a partial reconfiguration image: SHUTDOWN, no COR0 write, or so marked
        Reboots,        // an IPROG command
        Encrypted,      // CTL0 turns the decryptor on: ciphertext follows
        StartupClock,   // COR0 clocks the startup sequence from the user clock or JTAG
        Watchdog,       // the configuration watchdog expires before DESYNC has been read
    };

    Verdict verdict = Verdict::Truncated;
    // The byte of the image the verdict names: the header, word or command
    // at fault, the end of the image (Truncated), the end of DESYNC (Clean).
    int at = 0;
    // The first word written to IDCODE before `at`: the part the stream is for.
    std::optional<quint32> idcode;
    // The IDCODE of a TwoParts verdict that differs from the first.
    quint32 otherIdcode = 0;
    // A clean stream wrote at least one CRC word. Without one (how the
    // vendor's tools write a stream with the CRC disabled) a damaged frame
    // loads unnoticed.
    bool crcChecked = false;
    // The stream turns the FPGA's fallback off somewhere (CTL0 bit 10, as the
    // vendor's tools write it by default): should it fail after that point,
    // the FPGA does not fall back to the golden image.
    bool fallbackOff = false;
    // COR0 bits 16-15 of a StartupClock verdict: 1 the user clock, 2 or 3 JTAG.
    quint32 startupClock = 0;
    // For a Watchdog verdict: when it expires and when DESYNC has been read,
    // both counted from the TIMER write, in microseconds.
    quint64 watchdogMicros = 0;
    quint64 readMicros = 0;

    bool clean() const { return verdict == Verdict::Clean; }
    // The writer's refusal, a line; empty for a clean stream.
    QString refusal() const;
    // The line printed before writing a clean stream that no CRC word covers.
    static QString uncheckedWarning();
    // The line printed before writing an update image that turns the
    // fallback off.
    static QString fallbackOffWarning();
};

// markedPartial: the file's header says it is a partial reconfiguration
// image (PARTIAL=TRUE in its design field).
Series7StreamCheck checkSeries7Stream(const QByteArray& image, bool markedPartial = false);

// IDCODE words name the same part when they differ at most in bits 31-28,
// the silicon revision.
bool sameSeries7Part(quint32 idcode, quint32 other);

// An IDCODE of the 7-series family (bits 27-21 0x1B).
bool series7Part(quint32 idcode);
