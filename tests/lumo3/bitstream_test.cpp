// Taking the configuration data out of Xilinx .bit files: the vendor's real
// files, generated fixtures, and files whose header does not parse.

#include "flash/xilinx_bitstream.h"
#include "sim/SampleBitstream.h"
#include "support/SharedBitstreams.h"

#include <gtest/gtest.h>

namespace {

TEST(Bitstream, RealFilesLoseExactlyTheirHeader)
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

TEST(Bitstream, GeneratedFixturesParseLikeRealFiles)
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

TEST(Bitstream, WithoutAParsableHeaderTheFirstEZeroPairDecides)
{
    struct Case {
        const char* name;
        QByteArray file;
        QByteArray image;
    };
    const QByteArray payload("\xAA\x99\x55\x66\x20\x00\x00\x00", 8);
    const Case cases[] = {
        {"no pair: the first four bytes go", QByteArray("\x01\x02\x03\x04", 4) + payload, payload},
        {"pair and length", QByteArray("xx") + QByteArray("e\0\0\0\x08", 5) + payload, payload},
        // A design name ending in 'e' in a header with a damaged preamble:
        // the cut falls at the name's end, as older files were always taken.
        {"earlier pair wins", QByteArray("\x00\x09\x0F\xF0\x0F\xF0\x0F\xF0\x0F\xF0\x00\x00\x02", 13) +
                                  QByteArray("a\0\x05", 3) + QByteArray("core\0", 5) + QByteArray("tail"),
         QByteArray("l")},
        {"file too short", QByteArray("e\0", 2), QByteArray()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QByteArray image;
        QString error;
        EXPECT_TRUE(extractConfigurationData(c.file, image, error));
        EXPECT_EQ(image, c.image);
    }
}

TEST(Bitstream, AParsedHeaderIsTakenEvenWhenAFieldEndsInE)
{
    sim::SampleBitstream sample;
    sample.design = QStringLiteral("core");  // "core\0" holds the pair 'e', 0x00
    sample.dataBytes = 1024;
    QByteArray image;
    QString error;
    ASSERT_TRUE(extractConfigurationData(sample.file(), image, error));
    EXPECT_EQ(image, sample.configurationData());
}

TEST(Bitstream, ATruncatedFileIsRefused)
{
    sim::SampleBitstream sample;
    sample.dataBytes = 2048;
    const QByteArray file = sample.file();
    QByteArray image;
    QString error;
    EXPECT_FALSE(extractConfigurationData(file.left(file.size() - 1), image, error));
    EXPECT_EQ(error, QStringLiteral("Bitstream truncated: header announces 2048 bytes, file holds 2047!\n"));
}

}  // namespace
