// The Intel HEX check of the radio flasher's stand-in.

#include "IntelHex.h"

#include <gtest/gtest.h>

namespace {

TEST(IntelHex, WrittenFilesReadBack)
{
    QByteArray data(70000 % 65536 + 300, 0);
    for (int i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 13);
    sim::IntelHex hex;
    QString error;
    ASSERT_TRUE(sim::IntelHex::parse(sim::IntelHex::write(data), 65536, hex, error)) << error.toStdString();
    EXPECT_EQ(hex.extent(), static_cast<std::uint32_t>(data.size()));
    EXPECT_EQ(hex.image(65536).left(data.size()), data);
    EXPECT_EQ(hex.image(65536).mid(data.size()), QByteArray(65536 - data.size(), '\xFF'));
}

TEST(IntelHex, RecordTypesAndAddresses)
{
    // Extended linear address 0x0000, a segment base of 0x1000 (0x100 << 4),
    // start addresses, lower-case digits and CRLF line ends.
    const QByteArray text = ":020000040000FA\r\n"
                            ":0400000001020304F2\r\n"
                            ":020000020100FB\r\n"
                            ":02000000AABB99\r\n"
                            ":0400000300001000e9\r\n"
                            ":0400000500001000E7\r\n"
                            ":00000001FF\r\n";
    sim::IntelHex hex;
    QString error;
    ASSERT_TRUE(sim::IntelHex::parse(text, 65536, hex, error)) << error.toStdString();
    EXPECT_EQ(hex.bytes.size(), 6u);
    EXPECT_EQ(hex.bytes.at(0x0003), 0x04);
    EXPECT_EQ(hex.bytes.at(0x1000), 0xAA);
    EXPECT_EQ(hex.bytes.at(0x1001), 0xBB);
}

TEST(IntelHex, DamagedFilesAreRefusedWithTheLine)
{
    struct Case {
        QByteArray text;
        QString error;
    };
    const Case cases[] = {
        {":0400000001020304F3\n:00000001FF\n", "line 1: checksum mismatch"},
        {"0400000001020304F2\n:00000001FF\n", "line 1: a record must start with ':'"},
        {":04000000010203G4F2\n:00000001FF\n", "line 1: not a hexadecimal digit"},
        {":0500000001020304F1\n:00000001FF\n", "line 1: length 5 does not match the record"},
        {":00000006FA\n:00000001FF\n", "line 1: unknown record type 06"},
        {":0100000401FA\n:00000001FF\n", "line 1: record type 04 must hold 2 bytes"},
        {":0400000001020304F2\n", "no end-of-file record"},
        {":00000001FF\n:0400000001020304F2\n", "line 2: data after the end-of-file record"},
        {":0200000001020304F2\n:00000001FF\n", "line 1: length 2 does not match the record"},
        {":02FFFF000102FD\n:00000001FF\n", "line 1: address 0x10000 is outside the 65536-byte memory"},
        {":020000040001F9\n:0100000001FE\n:00000001FF\n", "line 2: address 0x10000 is outside the 65536-byte memory"},
        {":0100100001EE\n:0100100002ED\n:00000001FF\n", "line 2: address 0x10 is given twice"},
        {":0\n", "line 1: record too short"},
        {"", "no end-of-file record"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        sim::IntelHex hex;
        QString error;
        EXPECT_FALSE(sim::IntelHex::parse(c.text, 65536, hex, error));
        EXPECT_EQ(error, c.error);
    }
}

}  // namespace
