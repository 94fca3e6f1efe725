// The sample bitstreams every test writes: a 7-series configuration stream
// word for word as real files have it, its CRC by the definition, its exact
// length, and the board tool's make-bitstream around it.

#include "SampleBitstream.h"
#include "BoardTool.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <random>
#include <utility>
#include <vector>

namespace {

QByteArray words(const std::vector<quint32>& list)
{
    QByteArray out;
    for (quint32 word : list) {
        char bytes[4];
        qToBigEndian(word, bytes);
        out.append(bytes, 4);
    }
    return out;
}

// The configuration CRC as defined, one bit at a time: a reference that
// shares nothing with the table-driven one.
quint32 referenceCrc(const std::vector<std::pair<quint32, quint32>>& writes)
{
    quint32 crc = 0;
    for (const auto& [reg, word] : writes) {
        const quint64 value = (quint64{reg} << 32) | word;
        for (int bit = 0; bit < 37; ++bit) {
            crc ^= static_cast<quint32>(value >> bit) & 1;
            crc = (crc & 1) ? (crc >> 1) ^ 0x82F63B78 : crc >> 1;
        }
    }
    return crc;
}

TEST(SampleBitstream, IsAWellFormedStreamInTheOrderOfRealFiles)
{
    sim::SampleBitstream sample;
    sample.dataBytes = 136;  // two words of frame data
    sample.seed = 9;
    sample.idcode = 0x13631093;
    std::mt19937 random(9);
    const quint32 f0 = random();
    const quint32 f1 = random();
    const quint32 crc = referenceCrc({{0x09, 0x02003FE5}, {0x0C, 0x13631093}, {0x04, 0x01}, {0x02, f0}, {0x02, f1}});
    const QByteArray expected = words({
        0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF,  // dummy
        0x000000BB, 0x11220044, 0xFFFFFFFF, 0xFFFFFFFF,  // bus width detection
        0xAA995566, 0x20000000,                          // sync, NOOP
        0x30008001, 0x00000007,                          // CMD RCRC
        0x30012001, 0x02003FE5,                          // COR0
        0x30018001, 0x13631093,                          // IDCODE
        0x30008001, 0x00000001,                          // CMD WCFG
        0x30004000, 0x50000002, f0, f1,                  // FDRI, type 2
        0x30000001, crc,                                 // CRC
        0x30008001, 0x00000005,                          // CMD START
        0x30008001, 0x0000000D,                          // CMD DESYNC
        0x20000000, 0x20000000,                          // padding
    });
    EXPECT_EQ(sample.configurationData(), expected);

    sample.corrupt = true;
    QByteArray flipped = expected;
    const int middle = sim::SampleBitstream::kFrameDataOffset + 4 + 3;  // the middle frame word's lowest bit
    flipped[middle] = static_cast<char>(flipped[middle] ^ 0x01);
    EXPECT_EQ(sample.configurationData(), flipped);

    // The watchdog: a TIMER write behind the sync word's NOOP, before the
    // CRC starts (as in real files), and the same frames in 8 more bytes. It
    // runs during configuration for twice the stream's read at 3 MHz (0.768
    // ms for 144 bytes), in counts of 256 / 65 MHz: 196.
    sample.corrupt = false;
    sample.watchdog = true;
    sample.dataBytes = 144;
    EXPECT_EQ(sample.configurationData(), expected.left(56) + words({0x30022001, 0x400000C4}) + expected.mid(56));
}

TEST(SampleBitstream, HoldsExactlyDataBytes)
{
    sim::SampleBitstream smallest;
    smallest.dataBytes = sim::SampleBitstream::kMinimumBytes;
    const QByteArray minimum = smallest.configurationData();
    ASSERT_EQ(minimum.size(), 132);

    for (int n : {0, 1, 95, 131, 132, 133, 135, 136, 40000, 40003}) {
        SCOPED_TRACE(n);
        sim::SampleBitstream sample;
        sample.dataBytes = n;
        const QByteArray data = sample.configurationData();
        ASSERT_EQ(data.size(), n);
        if (n < 132) {
            EXPECT_EQ(data, minimum.left(n));  // the smallest stream, cut
        } else {
            // The words of the multiple of 4 below, then padding.
            sample.dataBytes = n - n % 4;
            EXPECT_EQ(data, sample.configurationData() + QByteArray("\x20\x00\x00", 3).left(n % 4));
        }
    }
}

TEST(SampleBitstream, MakeBitstreamWritesTheSampleOrSaysWhyNot)
{
    auto sample = [](int bytes, quint32 idcode, bool corrupt) {
        sim::SampleBitstream s;
        s.dataBytes = bytes;
        s.idcode = idcode;
        s.corrupt = corrupt;
        return s;
    };
    sim::SampleBitstream watchdog = sample(4000, 0x0362D093, false);
    watchdog.watchdog = true;
    struct Case {
        QStringList args;
        int exitCode;
        QByteArray file;  // what FILE holds afterwards
        QByteArray err;
    };
    const Case cases[] = {
        {{"--raw", "--bytes", "0"}, 0, QByteArray(), ""},
        {{"--raw", "--bytes", "1"}, 0, QByteArray(1, '\xFF'), ""},
        {{"--raw", "--bytes", "130"}, 0, sample(130, 0x0362D093, false).configurationData(), ""},
        {{"--bytes", "132"}, 0, sample(132, 0x0362D093, false).file(), ""},
        {{"--bytes", "4000", "--idcode", "0x03631093", "--corrupt"}, 0, sample(4000, 0x03631093, true).file(), ""},
        {{"--bytes", "4000", "--watchdog"}, 0, watchdog.file(), ""},
        {{"--bytes", "139", "--watchdog"}, 2, QByteArray(),
         "lumo3-board: --bytes 139 is too small for a configuration stream (at least 140;"},
        {{"--bytes", "131"}, 2, QByteArray(),
         "lumo3-board: --bytes 131 is too small for a configuration stream (at least 132; --raw writes its first N "
         "bytes)\n"},
        {{"--idcode", "0x1FFFFFFFF"}, 2, QByteArray(), "lumo3-board: --idcode needs a number up to 4294967295\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QTemporaryDir dir;
        const ToolResult r = runBoardTool(QStringList{"make-bitstream", "fw.bit"} + c.args, dir.path());
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_TRUE(r.err.startsWith(c.err)) << r.err.toStdString();
        QFile file(dir.filePath("fw.bit"));
        EXPECT_EQ(file.exists(), c.exitCode == 0);
        EXPECT_EQ(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(), c.file);
    }
}

}  // namespace
