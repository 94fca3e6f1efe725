#pragma once

#include <QByteArray>
#include <QString>

namespace sim {

// A Xilinx bitstream file (.bit) laid out as the vendor's tools write it: the
// fixed preamble, the fields 'a' design, 'b' part, 'c' date, 'd' time, 'e'
// and the configuration data. The data has the real framing (dummy words, bus
// width detection, the sync word 0xAA995566, type 1 and type 2 packets,
// desync); the frame contents are pseudo-random from the seed, so two seeds
// give two different images of the same size.
struct SampleBitstream {
    QString design = QStringLiteral("lumo3_top;UserID=0XFFFFFFFF;Version=2021.2");
    QString part = QStringLiteral("7a35tcpg236");
    int dataBytes = 64 * 1024;  // length of the configuration data, a multiple of 4
    quint32 seed = 1;

    QByteArray configurationData() const;
    QByteArray file() const;
};

}  // namespace sim
