// Taking the configuration data out of Xilinx .bit files (the vendor's real
// files, generated fixtures, and files whose header does not parse), and
// checking it as a 7-series configuration stream.

#include "series7_stream.h"
#include "xilinx_bitstream.h"
#include "SampleBitstream.h"
#include "SharedBitstreams.h"

#include <gtest/gtest.h>

#include <QtEndian>

#include <optional>

namespace {

TEST(XilinxBitstream, RealFilesLoseExactlyTheirHeader)
{
    struct Case {
        const char* file;
        int headerLength;
        int syncOffset;
    };
    for (const Case& c : {Case{"artix7-35t-compressed.bit", 113, 161}, Case{"spartan6-lx9.bit", 88, 104}}) {
        SCOPED_TRACE(c.file);
        QByteArray file;
        if (!loadSharedBitstream(c.file, file))
            GTEST_SKIP() << "no ../shared/bitstreams beside the checkout";
        QByteArray image;
        QString error;
        ASSERT_TRUE(extractConfigurationData(file, image, error));
        EXPECT_EQ(image, file.mid(c.headerLength));
        EXPECT_EQ(image.indexOf(QByteArray("\xAA\x99\x55\x66", 4)), c.syncOffset - c.headerLength);
    }
}

TEST(XilinxBitstream, GeneratedFixturesParseLikeRealFiles)
{
    sim::SampleBitstream sample;
    sample.dataBytes = 4096;
    const QByteArray file = sample.file();
    QByteArray image;
    QString error;
    ASSERT_TRUE(extractConfigurationData(file, image, error));
    EXPECT_EQ(image, sample.configurationData());
    EXPECT_EQ(image.size(), 4096);
    // The sync word stands where the vendor's tools put it: after the dummy
    // words and the bus width pattern.
    EXPECT_EQ(image.indexOf(QByteArray("\xAA\x99\x55\x66", 4)), 48);
}

TEST(XilinxBitstream, ARawStreamIsTakenWholeAndADamagedHeaderIsCutAtItsFirstEZeroPair)
{
    struct Case {
        const char* name;
        QByteArray file;
        QByteArray image;
    };
    const QByteArray payload("\xAA\x99\x55\x66\x20\x00\x00\x00", 8);
    const QByteArray preamble("\x00\x09\x0F\xF0\x0F\xF0\x0F\xF0\x0F\xF0\x00\x00\x02", 13);
    // A stream as the vendor's tools write a .bin: its frame data may hold
    // the pair 'e', 0x00 anywhere.
    const QByteArray raw = QByteArray(8, '\xFF') + payload + QByteArray("e\0\0\0\x08", 5) + payload;
    const Case cases[] = {
        {"a raw stream", raw, raw},
        {"a raw stream of two bytes", QByteArray("e\0", 2), QByteArray("e\0", 2)},
        // A design name ending in 'e' in a header whose later fields are
        // damaged: the cut falls at the name's end, as older files were
        // always taken.
        {"earlier pair wins", preamble + QByteArray("a\0\x05", 3) + QByteArray("core\0", 5) + QByteArray("tail"),
         QByteArray("l")},
        {"no pair behind the first field: the first four bytes go", preamble + payload, preamble.mid(4) + payload},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QByteArray image;
        QString error;
        EXPECT_TRUE(extractConfigurationData(c.file, image, error));
        EXPECT_EQ(image, c.image);
    }
}

TEST(XilinxBitstream, AParsedHeaderIsTakenEvenWhenAFieldEndsInE)
{
    sim::SampleBitstream sample;
    sample.design = QStringLiteral("core");  // "core\0" holds the pair 'e', 0x00
    sample.dataBytes = 1024;
    QByteArray image;
    QString error;
    ASSERT_TRUE(extractConfigurationData(sample.file(), image, error));
    EXPECT_EQ(image, sample.configurationData());
}

TEST(XilinxBitstream, ATruncatedFileIsRefused)
{
    sim::SampleBitstream sample;
    sample.dataBytes = 2048;
    const QByteArray file = sample.file();
    QByteArray image;
    QString error;
    EXPECT_FALSE(extractConfigurationData(file.left(file.size() - 1), image, error));
    EXPECT_EQ(error, QStringLiteral("Bitstream truncated: header announces 2048 bytes, file holds 2047!\n"));
}

// The configuration stream check. Offsets are those of the image, the
// configuration data behind the .bit header.

using Verdict = Series7StreamCheck::Verdict;

QByteArray flipped(QByteArray image, int at, char mask)
{
    image[at] = static_cast<char>(image[at] ^ mask);
    return image;
}

QByteArray withWord(QByteArray image, int at, quint32 word)
{
    char bytes[4];
    qToBigEndian(word, bytes);
    image.replace(at, 4, bytes, 4);
    return image;
}

TEST(Series7Stream, TheVendorsFilesAndWhatDamagesThem)
{
    QByteArray artix7;
    QByteArray spartan6;
    if (!loadSharedBitstream("artix7-35t-compressed.bit", artix7) || !loadSharedBitstream("spartan6-lx9.bit", spartan6))
        GTEST_SKIP() << "no ../shared/bitstreams beside the checkout";
    const QByteArray image = artix7.mid(113);
    struct Case {
        const char* name;
        QByteArray image;
        Verdict verdict;
        int at;
        std::optional<quint32> idcode;
    };
    // In the Artix-7 file: sync word at 48, RCRC at 104, IDCODE at 144, frame
    // data through FDRI at 252 (404 words) and through MFWR from 1928, the
    // first CRC word at 668888, DESYNC ending at 669396.
    const Case cases[] = {
        {"Artix-7 as the vendor wrote it", image, Verdict::Clean, 669396, 0x0362D093},
        {"a bit of FDRI frame data", flipped(image, 653, 0x04), Verdict::CrcMismatch, 668888, 0x0362D093},
        {"a bit of MFWR frame data", flipped(image, 1930, 0x01), Verdict::CrcMismatch, 668888, 0x0362D093},
        {"a bit of the IDCODE word", flipped(image, 151, 0x01), Verdict::CrcMismatch, 668888, 0x0362D092},
        {"a header bit after RCRC", flipped(image, 145, 0x10), Verdict::InvalidHeader, 144, std::nullopt},
        {"a word before the first RCRC, which no CRC covers", flipped(image, 63, 0x01), Verdict::Clean, 669396,
         0x0362D093},
        {"cut after the first FDRI packet", image.left(1868), Verdict::Truncated, 1868, 0x0362D093},
        {"cut inside the first FDRI packet", image.left(1000), Verdict::Truncated, 1000, 0x0362D093},
        // 16-bit packets: 0x30A1 0x0007 reads as a write to register 0x50.
        {"Spartan-6", spartan6.mid(88), Verdict::NotSeries7, 20, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Series7StreamCheck check = checkSeries7Stream(c.image);
        EXPECT_EQ(check.verdict, c.verdict);
        EXPECT_EQ(check.at, c.at);
        EXPECT_EQ(check.idcode, c.idcode);
    }
}

TEST(Series7Stream, HeaderRules)
{
    sim::SampleBitstream sample;
    sample.dataBytes = 136;
    // Sync word at 48, NOOP at 52, WCFG's header at 80, FDRI's type 1 and
    // type 2 headers at 88 and 92, DESYNC's header at 120.
    const QByteArray image = sample.configurationData();
    struct Case {
        const char* name;
        QByteArray image;
        Verdict verdict;
        int at;
    };
    const Case cases[] = {
        {"well-formed", image, Verdict::Clean, 128},
        {"padding after DESYNC is not read", image + "\x12\x34\x56\x78 whatever", Verdict::Clean, 128},
        {"damage right behind the sync word", withWord(image, 52, 0x20000001), Verdict::NotSeries7, 52},
        {"a type 2 header first", withWord(image, 52, 0x50000000), Verdict::NotSeries7, 52},
        {"read opcode", withWord(image, 80, 0x28008001), Verdict::InvalidHeader, 80},
        {"opcode 3", withWord(image, 80, 0x38008001), Verdict::InvalidHeader, 80},
        {"NOOP with a word count", withWord(image, 80, 0x20000001), Verdict::InvalidHeader, 80},
        {"register above 0x1F", withWord(image, 80, 0x30048001), Verdict::InvalidHeader, 80},
        {"bits 12-11 set", withWord(image, 80, 0x30008801), Verdict::InvalidHeader, 80},
        {"header type 3", withWord(image, 80, 0x60008001), Verdict::InvalidHeader, 80},
        {"a type 2 header after a NOOP", withWord(image, 88, 0x20000000), Verdict::InvalidHeader, 92},
        {"a word count past the end", withWord(image, 92, 0x50000100), Verdict::Truncated, 136},
        {"cut inside the DESYNC packet", image.left(122), Verdict::Truncated, 122},
        {"no sync word", withWord(image, 48, 0xAA995567), Verdict::Truncated, 136},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Series7StreamCheck check = checkSeries7Stream(c.image);
        EXPECT_EQ(check.verdict, c.verdict);
        EXPECT_EQ(check.at, c.at);
    }
}

// The virtual board computes the CRC with code of its own: a generated
// sample passing here is two implementations agreeing.
TEST(Series7Stream, GeneratedSamplesPassAndTheirCorruptionIsFound)
{
    for (int bytes : {132, 40000, 40003, 1 << 20}) {
        SCOPED_TRACE(bytes);
        sim::SampleBitstream sample;
        sample.dataBytes = bytes;
        sample.seed = static_cast<quint32>(bytes);
        sample.idcode = 0x23631093;
        Series7StreamCheck check = checkSeries7Stream(sample.configurationData());
        EXPECT_EQ(check.verdict, Verdict::Clean);
        EXPECT_EQ(check.at, bytes - bytes % 4 - 8);
        EXPECT_EQ(check.idcode, 0x23631093u);

        sample.corrupt = true;
        check = checkSeries7Stream(sample.configurationData());
        EXPECT_EQ(check.verdict, Verdict::CrcMismatch);
        EXPECT_EQ(check.at, bytes - bytes % 4 - 28);
    }
    // A CRC word clears the running CRC: a second one right after it is 0.
    sim::Series7StreamWriter stream;
    stream.word(sim::series7::kSyncWord);
    stream.write(sim::series7::COR0, {sim::SampleBitstream::kOptions});
    stream.write(sim::series7::IDCODE, {0x0362D093});
    stream.write(sim::series7::FDRI, {0x12345678});
    stream.writeCrc();
    stream.writeCrc();
    stream.command(sim::series7::START);
    stream.command(sim::series7::DESYNC);
    EXPECT_EQ(checkSeries7Stream(stream.bytes()).verdict, Verdict::Clean);
}

}  // namespace
