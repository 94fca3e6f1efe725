#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Whether an image is a configuration stream that a Xilinx 7-series FPGA
// (the Lumo3's Artix-7) takes, read the way its configuration logic reads
// it: from the first sync word 0xAA995566 on, 32-bit big-endian packets up
// to the DESYNC command, every word written to the CRC register compared
// with the configuration CRC.
//
// The words between the sync word and the first RCRC command are covered by
// no CRC word, on the FPGA as here: damage there shows only where it breaks
// a packet header.
struct Series7StreamCheck {
    enum class Verdict {
        Clean,          // packets up to DESYNC, every CRC word matching
        NotSeries7,     // the first header after the sync word is no 7-series header
        InvalidHeader,  // a later header is invalid
        CrcMismatch,    // a CRC word differs from the running CRC
        Truncated,      // the image ends before DESYNC, or holds no sync word
    };

    Verdict verdict = Verdict::Truncated;
    // The byte of the image the verdict names: the invalid header, the CRC
    // word, the end of the image (Truncated) or the end of DESYNC (Clean).
    int at = 0;
    // The first word written to IDCODE before `at`: the part the stream is for.
    std::optional<quint32> idcode;

    bool clean() const { return verdict == Verdict::Clean; }
    // The writer's refusal, a line; empty for a clean stream.
    QString refusal() const;
};

Series7StreamCheck checkSeries7Stream(const QByteArray& image);

// IDCODE words name the same part when they differ at most in bits 31-28,
// the silicon revision.
bool sameSeries7Part(quint32 idcode, quint32 other);
