// What the virtual Lumo3 FPGA's configuration logic makes of a flash: one
// case per rule, on flash images laid out as the MultiBoot writer lays them,
// and the vendor's real files.

#include "GoldenHeaders.h"
#include "SampleBitstream.h"
#include "Series7Configuration.h"
#include "SharedBitstreams.h"

#include <gtest/gtest.h>

#include <QtEndian>

#include <vector>

namespace {

using Image = sim::Series7Configuration::Image;
using sim::series7::kXc7a100t;
using sim::series7::kXc7a35t;

constexpr std::uint32_t kGolden = 0x001020;
constexpr std::uint32_t kUpdate = 0x400000;
const QByteArray kSwitchWord("\xAA\x99\x55\x66", 4);

QByteArray word(quint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    return QByteArray(bytes, 4);
}

// Sample streams of 4,000 bytes: 970 words of frame data.
enum class Stream { Absent, Good, OtherRevision, Corrupt, Foreign, ReadPacket, Truncated, TruncatedWatchdog };

QByteArray stream(Stream kind, quint32 seed)
{
    sim::SampleBitstream sample;
    sample.dataBytes = 4000;
    sample.seed = seed;
    sample.corrupt = kind == Stream::Corrupt;
    sample.watchdog = kind == Stream::TruncatedWatchdog;
    sample.idcode = kind == Stream::Foreign ? kXc7a100t : kind == Stream::OtherRevision ? 0x1362D093 : kXc7a35t;
    QByteArray data = sample.configurationData();
    if (kind == Stream::ReadPacket)  // the WCFG command's header turned into a read
        data.replace(data.indexOf(word(0x30008001) + word(1)), 4, word(0x28008001));
    if (kind == Stream::Truncated || kind == Stream::TruncatedWatchdog)
        data.truncate(2002);  // inside the frame data, after a byte that is not 0xFF
    return kind == Stream::Absent ? QByteArray() : data;
}

// Where in a sample stream the word that breaks it lies.
int offsetOf(Stream kind)
{
    const QByteArray good = stream(Stream::Good, 1);
    switch (kind) {
    case Stream::Corrupt:
        return good.indexOf(word(0x30000001)) + 4;  // the CRC word
    case Stream::Foreign:
        return good.indexOf(word(0x30018001)) + 4;  // the IDCODE word
    case Stream::ReadPacket:
        return good.indexOf(word(0x30008001) + word(1));
    default:
        return 2002;
    }
}

QString at(std::uint32_t address)
{
    return "0x" + QString::number(address, 16).toUpper().rightJustified(6, QLatin1Char('0'));
}

// The golden header as the writer lays it, as earlier versions laid it
// (WBSTAR 0x001000), and one whose WBSTAR is 0.
enum class Header { Current, Legacy, ToAddressZero };

std::vector<std::uint8_t> flash(bool switchWord, Stream golden, Stream update, Header header = Header::Current)
{
    std::vector<std::uint8_t> memory(8u << 20, 0xFF);
    const auto put = [&memory](std::uint32_t address, const QByteArray& bytes) {
        std::copy(bytes.begin(), bytes.end(), memory.begin() + address);
    };
    if (switchWord)
        put(0xFFC, kSwitchWord);
    QByteArray headerBytes = header == Header::Legacy ? kLegacyGoldenHeader : kGoldenHeader;
    if (header == Header::ToAddressZero)
        headerBytes.replace(8, 4, word(0));
    put(0x1000, headerBytes);
    put(kGolden, stream(golden, 1));
    put(kUpdate, stream(update, 2));
    return memory;
}

struct Case {
    const char* name;
    bool switchWord;
    Stream golden;
    Stream update;
    Image loaded;
    bool fallback;
    bool hangs;
    QString error;
    Header header = Header::Current;
};

TEST(Series7Configuration, MultiBootOutcomes)
{
    const QString crc = QStringLiteral("configuration CRC mismatch at %1");
    const QString erased = QStringLiteral("the stream runs into erased flash at %1 before DESYNC");
    const QString updateCrc = "update image: " + crc.arg(at(kUpdate + offsetOf(Stream::Corrupt)));
    const Case cases[] = {
        {"blank flash", false, Stream::Absent, Stream::Absent, Image::None, false, false,
         "no sync word in the flash"},
        {"golden alone", false, Stream::Good, Stream::Absent, Image::Golden, false, false, ""},
        {"no switch word: the update is not read", false, Stream::Good, Stream::Corrupt, Image::Golden, false,
         false, ""},
        {"update", true, Stream::Good, Stream::Good, Image::Update, false, false, ""},
        {"the silicon revision is not compared", true, Stream::Good, Stream::OtherRevision, Image::Update, false,
         false, ""},
        {"the golden image is not read on the way to the update", true, Stream::Corrupt, Stream::Good,
         Image::Update, false, false, ""},
        {"corrupt update", true, Stream::Good, Stream::Corrupt, Image::Golden, true, false, updateCrc},
        {"foreign update", true, Stream::Good, Stream::Foreign, Image::Golden, true, false,
         QStringLiteral("update image: IDCODE 0x03631093 is not the board's part 0x0362D093 at %1")
             .arg(at(kUpdate + offsetOf(Stream::Foreign)))},
        {"invalid packet in the update", true, Stream::Good, Stream::ReadPacket, Image::Golden, true, false,
         QStringLiteral("update image: invalid packet header 0x28008001 at %1")
             .arg(at(kUpdate + offsetOf(Stream::ReadPacket)))},
        {"truncated update, watchdog off", true, Stream::Good, Stream::Truncated, Image::None, false, true,
         "update image: " + erased.arg(at(kUpdate + 2002)) + ", the watchdog is off"},
        {"truncated update, watchdog on", true, Stream::Good, Stream::TruncatedWatchdog, Image::Golden, true,
         false, "update image: " + erased.arg(at(kUpdate + 2002)) + ", the configuration watchdog expired"},
        {"switch word before an empty update area", true, Stream::Good, Stream::Absent, Image::None, false, true,
         "update image: no sync word from 0x400000 on, the watchdog is off"},
        {"corrupt golden", false, Stream::Corrupt, Stream::Absent, Image::None, false, false,
         "golden image: " + crc.arg(at(kGolden + offsetOf(Stream::Corrupt)))},
        {"foreign golden", false, Stream::Foreign, Stream::Absent, Image::None, false, false,
         QStringLiteral("golden image: IDCODE 0x03631093 is not the board's part 0x0362D093 at %1")
             .arg(at(kGolden + offsetOf(Stream::Foreign)))},
        {"corrupt update, then corrupt golden", true, Stream::Corrupt, Stream::Corrupt, Image::None, true, false,
         updateCrc + "; golden image: " + crc.arg(at(kGolden + offsetOf(Stream::Corrupt)))},
        {"truncated golden", false, Stream::Truncated, Stream::Absent, Image::None, false, true,
         "golden image: " + erased.arg(at(kGolden + 2002)) + ", the watchdog is off"},
        {"a truncated golden image's stream runs on into the update image", false, Stream::Truncated,
         Stream::Good, Image::Update, false, false, ""},
        // IPROG reads on from WBSTAR's byte address: 0x001000 is the header
        // itself, which the FPGA, not in sync there, passes over.
        {"an earlier version's header boots the golden image, switch word or not", true, Stream::Good, Stream::Good,
         Image::Golden, false, false, "", Header::Legacy},
        {"a header that IPROGs to address 0 reboots for ever", true, Stream::Good, Stream::Good, Image::None, false,
         true,
         "golden image: IPROG at 0x001010 leads back to 0x000000, where this boot has begun before: the FPGA "
         "reboots for ever",
         Header::ToAddressZero},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::uint8_t> memory = flash(c.switchWord, c.golden, c.update, c.header);
        const auto outcome = sim::Series7Configuration::configure(memory.data(), memory.size(), kXc7a35t);
        EXPECT_EQ(outcome.loaded, c.loaded);
        EXPECT_EQ(outcome.fallback, c.fallback);
        EXPECT_EQ(outcome.hangs, c.hangs);
        EXPECT_EQ(outcome.error, c.error);
    }
}

// Hand-made streams for the rules the sample streams do not reach.
TEST(Series7Configuration, PacketRules)
{
    const QByteArray sync = word(0xAA995566);
    const QByteArray good = stream(Stream::Good, 1);
    struct Packets {
        const char* name;
        QByteArray golden;
        Image loaded;
        QString error;
    };
    const Packets cases[] = {
        {"a type 2 packet after a NOOP", sync + word(0x20000000) + word(0x50000001) + word(0), Image::None,
         "golden image: invalid packet header 0x50000001 at 0x001028"},
        {"a register above 0x1F", sync + word(0x30040001) + word(0), Image::None,
         "golden image: invalid packet header 0x30040001 at 0x001024"},
        {"a DESYNC before START loses the sync: the next sync word starts again",
         sync + word(0x30008001) + word(0x0000000D) + word(0x12345678) + good, Image::Golden, ""},
        {"START without DESYNC never ends", good.left(good.indexOf(word(0x0000000D)) - 4), Image::None,
         QStringLiteral("golden image: the stream runs into erased flash at %1 before DESYNC, the watchdog is off")
             .arg(at(kGolden + good.indexOf(word(0x0000000D)) - 4))},
    };
    for (const Packets& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> memory(8u << 20, 0xFF);
        std::copy(c.golden.begin(), c.golden.end(), memory.begin() + kGolden);
        const auto outcome = sim::Series7Configuration::configure(memory.data(), memory.size(), kXc7a35t);
        EXPECT_EQ(outcome.loaded, c.loaded);
        EXPECT_EQ(outcome.error, c.error);
    }
}

// The configuration clock is the one the stream switches to: the Kintex-7
// MultiBoot golden image (1.7 MB, 50 MHz, four lines) reads in about 80 ms
// behind the header area, where 3 MHz on one line would take 4.5 s.
TEST(Series7Configuration, TheFpgaReadsAtTheClockTheStreamSets)
{
    QByteArray file;
    if (!loadSharedBitstream("kintex7-325t-multiboot-golden.bit", file))
        GTEST_SKIP() << "no ../shared/bitstreams beside the checkout";
    std::vector<std::uint8_t> memory(8u << 20, 0xFF);
    const QByteArray golden = kGoldenHeader + file.mid(125);
    std::copy(golden.begin(), golden.end(), memory.begin() + 0x1000);
    const auto outcome = sim::Series7Configuration::configure(memory.data(), memory.size(), 0x03651093);
    EXPECT_EQ(outcome.loaded, Image::Golden) << outcome.error.toStdString();
    EXPECT_NEAR(static_cast<double>(outcome.readNanos) / 1e9, 0.080, 0.003);
}

// The vendor's compressed Artix-7 35T file, frame data through FDRI and MFWR.
TEST(Series7Configuration, TheRealArtix7FileConfiguresA35TAndNotA100T)
{
    QByteArray file;
    QByteArray spartan;
    if (!loadSharedBitstream("artix7-35t-compressed.bit", file) || !loadSharedBitstream("spartan6-lx9.bit", spartan))
        GTEST_SKIP() << "no ../shared/bitstreams beside the checkout";
    const QByteArray artix = file.mid(113);
    const quint64 frameWords = 152045;
    struct Real {
        const char* name;
        bool asUpdate;
        QByteArray image;
        quint32 part;
        Image loaded;
        quint64 frameWords;
    };
    const Real cases[] = {
        {"golden on a 35T", false, artix, kXc7a35t, Image::Golden, frameWords},
        {"golden on a 100T", false, artix, kXc7a100t, Image::None, 0},
        {"update on a 35T", true, artix, kXc7a35t, Image::Update, frameWords},
        {"update on a 100T: back to its golden image", true, artix, kXc7a100t, Image::Golden, 968},
        {"a Spartan-6 file", false, spartan.mid(88), kXc7a35t, Image::None, 0},
    };
    for (const Real& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SampleBitstream golden;
        golden.dataBytes = 4000;
        golden.idcode = c.part;
        std::vector<std::uint8_t> memory(8u << 20, 0xFF);
        const QByteArray goldenArea = kGoldenHeader + (c.asUpdate ? golden.configurationData() : c.image);
        std::copy(goldenArea.begin(), goldenArea.end(), memory.begin() + 0x1000);
        if (c.asUpdate) {
            std::copy(kSwitchWord.begin(), kSwitchWord.end(), memory.begin() + 0xFFC);
            std::copy(c.image.begin(), c.image.end(), memory.begin() + kUpdate);
        }
        const auto outcome = sim::Series7Configuration::configure(memory.data(), memory.size(), c.part);
        EXPECT_EQ(outcome.loaded, c.loaded) << outcome.error.toStdString();
        EXPECT_EQ(outcome.frameWords, c.frameWords);
        EXPECT_EQ(outcome.fallback, c.asUpdate && c.part == kXc7a100t);
    }
}

}  // namespace
