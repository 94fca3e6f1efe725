// The updater's bitstream check against the virtual FPGA, which follows the
// FPGA's configuration logic with code of its own: fed the same streams, the
// check passes exactly those the board loads as a whole design in either
// area, but for the refusals that are the updater's own policy (a stream
// without IDCODE loads, but its part cannot be checked; one started on the
// user clock may start, if the design drives that clock). Each row says what
// a real 7-series FPGA boots with the image as the golden image on a blank
// board and as the update image behind a sound golden one, as UG470 has it,
// which the virtual FPGA must match. The streams are the vendor's real
// files, and the plain Artix-7 file changed only in the words each case is
// about, its CRC words made to match again where a case changes words that
// a CRC covers.

#include "FpgaVerdict.h"
#include "QtPrinters.h"
#include "Series7Packets.h"
#include "SharedBitstreams.h"
#include "series7_stream.h"
#include "xilinx_bitstream.h"

#include <gtest/gtest.h>

#include <QtEndian>

namespace {

using Verdict = Series7StreamCheck::Verdict;
using namespace sim::series7;

QByteArray words(std::initializer_list<quint32> list)
{
    QByteArray out;
    for (quint32 w : list) {
        char b[4];
        qToBigEndian(w, b);
        out.append(b, 4);
    }
    return out;
}

QByteArray command(Command c)
{
    return words({type1Write(CMD, 1), c});
}

// Where the packet `bytes` first stands behind the sync word.
int find(const QByteArray& image, const QByteArray& bytes)
{
    const int at = image.indexOf(bytes, image.indexOf(words({kSyncWord})));
    EXPECT_GE(at, 0) << bytes.toHex().toStdString();
    return at;
}

// Each CRC word set to what the FPGA computes there, read as it reads the
// stream: the words passed over while synchronised feed nothing.
QByteArray resigned(QByteArray image)
{
    sim::ConfigurationCrc crc;
    auto word = [&image](int at) { return qFromBigEndian<quint32>(image.constData() + at); };
    int at = image.indexOf(words({kSyncWord})) + 4;
    std::uint32_t reg = 0;
    while (at + 4 <= image.size()) {
        const quint32 header = word(at);
        at += 4;
        quint32 count = 0;
        if (header >> 29 == 1 && header != kNoop) {
            reg = (header >> 13) & 0x1F;
            count = header & 0x7FF;
        } else if (header >> 29 == 2) {
            count = header & 0x07FFFFFF;
        }
        for (quint32 i = 0; i < count && at + 4 <= image.size(); ++i, at += 4) {
            if (reg == CRC) {
                qToBigEndian(crc.value(), image.data() + at);
                crc.reset();
                continue;
            }
            crc.feed(static_cast<Register>(reg), word(at));
            if (reg == CMD && word(at) == RCRC)
                crc.reset();
            if (reg == CMD && word(at) == DESYNC)
                return image;
        }
    }
    return image;
}

// The word of the packet `bytes` (its header first) at `index` set to value.
QByteArray withWord(QByteArray image, const QByteArray& bytes, int index, quint32 value)
{
    qToBigEndian(value, image.data() + find(image, bytes) + 4 * index);
    return image;
}

QByteArray flipped(QByteArray image, int at)
{
    image[at] = static_cast<char>(image[at] ^ 0x01);
    return image;
}

QByteArray configurationData(const char* name)
{
    QByteArray file;
    QByteArray image;
    QString error;
    if (loadSharedBitstream(name, file))
        extractConfigurationData(file, image, error);
    return image;
}

TEST(Series7Agreement, TheCheckPassesWhatTheFpgaLoadsAndNothingElse)
{
    const QByteArray artix = configurationData("artix7-35t-vivado2025.bit");
    if (artix.isEmpty())
        GTEST_SKIP() << "no ../shared/bitstreams beside the checkout";
    const int sync = find(artix, words({kSyncWord}));
    const int idcodeEnd = find(artix, words({type1Write(IDCODE, 1), kXc7a35t})) + 8;
    const int start = find(artix, command(START));
    const int firstCrc = find(artix, words({type1Write(CRC, 1)}));
    // The NULL command that Vivado writes as IPROG for a MultiBoot golden
    // image built with NEXT_CONFIG_REBOOT, after WBSTAR.
    const int placeholder = find(artix, command(Command(0)));
    QByteArray noCrc = artix;
    for (int at; (at = noCrc.indexOf(words({type1Write(CRC, 1)}))) >= 0;)
        noCrc.replace(at, 8, command(RCRC));

    // The words each case is about.
    const QByteArray cor0 = words({type1Write(COR0, 1)});
    const QByteArray timer = words({type1Write(TIMER, 1)});
    const QByteArray mask = words({type1Write(MASK, 1), 0x401});
    // Vivado writes the fallback bit twice, before the frames and after START.
    const QByteArray finalMask = words({type1Write(MASK, 1), 0x501});
    const auto withCor0 = [&](quint32 value) { return resigned(withWord(artix, cor0, 1, value)); };
    const QByteArray fallbackOn = resigned(withWord(withWord(artix, mask, 1, 0x001), finalMask, 1, 0x101));
    // Decryption turned on where Vivado turns the fallback off, then an IV
    // to CBC, then ciphertext.
    QByteArray encrypted = withWord(withWord(artix, mask, 1, 0x441), words({type1Write(CTL0, 1)}), 1, 0x541);
    const int iv = find(encrypted, words({type1Write(CTL0, 1)})) + 8;
    encrypted.insert(iv, words({type1Write(CBC, 4), 0x8C3E51D2, 0x0F6A9B14, 0x77E2C0A5, 0x3D91B6F8}));
    for (int at = iv + 20; at < encrypted.size(); ++at)
        encrypted[at] = static_cast<char>(encrypted[at] ^ 0x5A);

    struct Case {
        const char* name;
        QByteArray image;
        Verdict verdict;
        const char* asGolden;
        const char* asUpdate;
        quint32 part = kXc7a35t;
    };
    const char* none = "none";
    const char* hangs = "none hangs";
    const char* fallback = "golden after a fallback";
    const Case cases[] = {
        {"Artix-7 as Vivado wrote it", artix, Verdict::Clean, "golden", "update"},
        {"compressed Artix-7", configurationData("artix7-35t-compressed.bit"), Verdict::Clean, "golden", "update"},
        {"Kintex-7 MultiBoot golden, SPI x4, watchdog on", configurationData("kintex7-325t-multiboot-golden.bit"),
         Verdict::Clean, "golden", "update", 0x03651093},
        {"Kintex-7 MultiBoot update", configurationData("kintex7-325t-multiboot-update.bit"), Verdict::Clean, "golden",
         "update", 0x03651093},
        {"a dummy word right after the sync word", QByteArray(artix).insert(sync + 4, words({kDummy})), Verdict::Clean,
         "golden", "update"},
        {"a dummy word between packets", QByteArray(artix).insert(idcodeEnd, words({kDummy})), Verdict::Clean, "golden",
         "update"},
        {"the sync word repeated", QByteArray(artix).insert(sync + 4, words({kSyncWord})), Verdict::Clean, "golden",
         "update"},
        {"a first stream that ends without START, then the real one",
         QByteArray(artix).insert(sync + 4, command(RCRC) + command(DESYNC) + words({kSyncWord})), Verdict::Clean,
         "golden", "update"},
        {"no CRC word at all (CRC disabled), a frame bit flipped", flipped(noCrc, start - 4000), Verdict::Clean,
         "golden", "update"},
        {"a watchdog for user mode only", resigned(withWord(artix, timer, 1, 0x80000100)), Verdict::Clean, "golden",
         "update"},

        {"DESYNC without START", resigned(artix.left(start) + artix.mid(start + 8)), Verdict::NoStart, hangs, hangs},
        {"a first stream without START, then one with a wrong CRC word",
         flipped(QByteArray(artix).insert(sync + 4, command(RCRC) + command(DESYNC) + words({kSyncWord})), firstCrc + 20 + 7),
         Verdict::CrcMismatch, none, none},
        {"NEXT_CONFIG_REBOOT: WBSTAR set, IPROG for NULL",
         artix.left(placeholder - 4) + words({0x00400000}) + command(IPROG) + artix.mid(placeholder + 8),
         Verdict::Reboots, hangs, hangs},
        {"a second IDCODE for the 100T", resigned(QByteArray(artix).insert(idcodeEnd, words({type1Write(IDCODE, 1), kXc7a100t}))),
         Verdict::TwoParts, none, fallback},
        {"IDCODE of another family (Virtex-5)", configurationData("virtex5-lx110t.bit"), Verdict::NotSeries7, none,
         fallback},
        {"another packet format (Spartan-6)", configurationData("spartan6-lx9.bit"), Verdict::NotSeries7, none, fallback},
        {"a real partial image (Zynq-7000)", configurationData("zynq7020-partial.bit"), Verdict::Partial,
         "golden (partial)", "update (partial)", 0x03727093},
        {"COR0 left out", resigned(artix.left(find(artix, cor0)) + artix.mid(find(artix, cor0) + 8)), Verdict::Partial,
         "golden (partial)", "update (partial)"},
        {"a SHUTDOWN command", resigned(QByteArray(artix).insert(idcodeEnd, command(SHUTDOWN))), Verdict::Partial,
         "golden (partial)", "update (partial)"},
        // Vivado turns the fallback off by default: a damaged update boots nothing.
        {"a frame bit flipped", flipped(artix, start - 4000), Verdict::CrcMismatch, none, none},
        {"a frame bit flipped, the fallback left on", flipped(fallbackOn, start - 4000), Verdict::CrcMismatch, none,
         fallback},
        {"cut before its end", artix.left(start), Verdict::Truncated, hangs, hangs},
        {"startup on the JTAG clock", withCor0(0x02013FE5), Verdict::StartupClock, none, none},
        // The watchdog ends the first try; the fallback runs without it and
        // loads the golden image.
        {"a configuration watchdog of 1 ms, the fallback left on", resigned(withWord(fallbackOn, timer, 1, 0x40000100)),
         Verdict::Watchdog, fallback, fallback},
        {"encrypted: DEC in CTL0, an IV to CBC, ciphertext", encrypted, Verdict::Encrypted, none, none},

        // The board loads them; the updater refuses what it cannot check.
        {"no IDCODE write", resigned(artix.left(idcodeEnd - 8) + artix.mid(idcodeEnd)), Verdict::NoIdcode, "golden",
         "update"},
        {"startup on the user clock, which the design may drive", withCor0(0x0200BFE5), Verdict::StartupClock, "golden",
         "update"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.image.isEmpty());
        const Series7StreamCheck check = checkSeries7Stream(c.image);
        EXPECT_EQ(check.verdict, c.verdict) << check.refusal().toStdString();
        const FpgaBoots boots = fpgaBoots(c.image, c.part);
        EXPECT_EQ(boots.asGolden, c.asGolden);
        EXPECT_EQ(boots.asUpdate, c.asUpdate);
    }
    // Written, but with the warnings that no CRC word covers its frames, and
    // that a damaged update boots nothing.
    EXPECT_FALSE(checkSeries7Stream(noCrc).crcChecked);
    EXPECT_TRUE(checkSeries7Stream(artix).crcChecked);
    EXPECT_TRUE(checkSeries7Stream(artix).fallbackOff);
    EXPECT_FALSE(checkSeries7Stream(fallbackOn).fallbackOff);
}

}  // namespace
