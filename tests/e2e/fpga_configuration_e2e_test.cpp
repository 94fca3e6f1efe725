// What a Lumo3 board's FPGA boots after images that the updater's own checks
// would refuse are put in place with raw -w writes: the reason shows in
// `status`.

#include "GoldenHeaders.h"
#include "BoardTool.h"
#include "SampleBitstream.h"
#include "SharedBitstreams.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

namespace {

using sim::series7::kXc7a100t;
using sim::series7::kXc7a35t;

enum class Update { Corrupt, Foreign, Truncated, TruncatedWatchdog, None };

QByteArray sample(quint32 seed, quint32 idcode, bool corrupt = false, bool watchdog = false)
{
    sim::SampleBitstream s;
    s.dataBytes = 8000;
    s.seed = seed;
    s.idcode = idcode;
    s.corrupt = corrupt;
    s.watchdog = watchdog;
    return s.configurationData();
}

// The raw configuration data put at 0x400000 behind a switch word.
QByteArray update(Update kind)
{
    switch (kind) {
    case Update::Corrupt:
        return sample(2, kXc7a35t, true);
    case Update::Foreign:  // on the 100T board
        return sample(2, kXc7a35t);
    case Update::Truncated:
        return sample(2, kXc7a35t).left(5000);
    case Update::TruncatedWatchdog:
        return sample(2, kXc7a35t, false, true).left(5000);
    case Update::None:
        break;
    }
    return QByteArray();
}

struct Case {
    const char* name;
    quint32 part;        // the board's, and its golden image's
    bool corruptGolden;  // written over the golden image with -w
    Update update;
    const char* loaded;
    bool fallback;
    bool hangs;
    const char* error;  // how it begins
};

TEST(FpgaConfigurationE2E, ImagesPutInPlaceAroundTheUpdatersChecks)
{
    const Case cases[] = {
        {"corrupt update", kXc7a35t, false, Update::Corrupt, "golden", true, false,
         "update image: configuration CRC mismatch at 0x40"},
        {"update for another part", kXc7a100t, false, Update::Foreign, "golden", true, false,
         "update image: IDCODE 0x0362D093 is not the board's part 0x03631093 at 0x40"},
        {"truncated update, watchdog off", kXc7a35t, false, Update::Truncated, "none", false, true,
         "update image: the stream runs into erased flash at 0x401388 before DESYNC, the watchdog is off"},
        {"truncated update, watchdog on", kXc7a35t, false, Update::TruncatedWatchdog, "golden", true, false,
         "update image: the stream runs into erased flash at 0x401388 before DESYNC, the configuration watchdog "
         "expired"},
        {"corrupt golden", kXc7a35t, true, Update::None, "none", false, false,
         "golden image: configuration CRC mismatch at 0x00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BoardFixture board("lumo3", {"--idcode", "0x" + QString::number(c.part, 16)});
        sim::SampleBitstream golden;
        golden.dataBytes = 8000;
        golden.idcode = c.part;
        board.writeFile("gold.bit", golden.file());
        ASSERT_EQ(board.run({"-wgold", "gold.bit"}).exitCode, 0);
        ASSERT_EQ(board.statusJson("fpga.loaded"), "golden");

        QList<std::pair<QByteArray, QString>> writes;
        if (c.corruptGolden)
            writes.append({kGoldenHeader + sample(1, c.part, true), "0x1000"});
        if (c.update != Update::None) {
            writes.append({QByteArray("\xAA\x99\x55\x66", 4), "0xFFC"});
            writes.append({update(c.update), "0x400000"});
        }
        for (const auto& [bytes, address] : writes) {
            board.writeFile("raw.dat", bytes);
            ASSERT_EQ(board.run({"-w", "raw.dat", "-add", address, "-len", QString::number(bytes.size())}).exitCode,
                      0);
        }
        board.run({"-boot"});

        EXPECT_EQ(board.statusJson("fpga.loaded"), c.loaded);
        EXPECT_EQ(board.statusJson("fpga.fallback"), c.fallback ? "true" : "false");
        EXPECT_EQ(board.statusJson("fpga.hangs"), c.hangs ? "true" : "false");
        const QString error = board.statusJson("fpga.error");
        EXPECT_TRUE(error.startsWith(c.error)) << error.toStdString();
        const QByteArray runs = c.loaded == QLatin1String("none") ? QByteArray("FPGA runs: no image")
                                                                   : "FPGA runs: the " + QByteArray(c.loaded) + " image";
        const ToolResult text = runBoardTool({"status", board.board()}, board.work());
        EXPECT_TRUE(text.out.contains(runs)) << text.out.toStdString();
        EXPECT_TRUE(text.out.contains(error.toUtf8()));
        // What a power-up makes of the flash is the same.
        ASSERT_EQ(runBoardTool({"power-cycle", board.board()}, board.work()).exitCode, 0);
        EXPECT_EQ(board.statusJson("fpga.loaded"), c.loaded);
        EXPECT_EQ(board.statusJson("fpga.error"), error);
    }
}

QByteArray command(quint32 c)
{
    return QByteArray::fromHex("30008001") + QByteArray::fromHex(QByteArray::number(c, 16).rightJustified(8, '0'));
}

// A raw stream (a .bin renamed) whose frame data holds the pair 'e', 0x00
// that a .bit header search would cut at.
QByteArray rawStreamWithAnEPair()
{
    for (quint32 seed = 1;; ++seed) {
        const QByteArray data = sample(seed, kXc7a35t);
        if (data.indexOf(QByteArray("e\0", 2)) > sim::SampleBitstream::kFrameDataOffset)
            return data;
    }
}

// What a board holds before the row's run.
enum class Before {
    Golden,            // a golden image (35T) written with -wgold
    LegacyGolden,      // the same, its header as an earlier version wrote it
    Blank,             // nothing
    GoldenOfAnotherPart,  // a 35T golden image on a 100T board
};

TEST(FpgaConfigurationE2E, TheUpdaterWritesOnlyWhatTheFpgaLoads)
{
    sim::SampleBitstream base;
    base.dataBytes = 8000;
    base.seed = 3;
    const QByteArray data = base.configurationData();
    const int crc = data.indexOf(QByteArray::fromHex("30000001"));
    QByteArray noCrc = data;
    noCrc.replace(crc, 8, command(7));
    noCrc[1000] = static_cast<char>(noCrc[1000] ^ 0x01);
    QByteArray noStart = data;
    noStart.remove(noStart.indexOf(command(5)), 8);
    sim::SampleBitstream jtag = base;
    jtag.options |= 2u << 15;  // COR0's startup clock: JtagClk
    // A watchdog of 256 counts, 1 ms, where the stream takes 21 ms.
    sim::SampleBitstream watched = base;
    watched.watchdog = true;
    QByteArray shortWatchdog = watched.configurationData();
    shortWatchdog.replace(shortWatchdog.indexOf(QByteArray::fromHex("30022001")) + 4, 4, QByteArray::fromHex("40000100"));
    sim::SampleBitstream xc7a100t = base;
    xc7a100t.idcode = kXc7a100t;
    // A partial image is marked so in a field of its own of the design name.
    sim::SampleBitstream partial = base;
    partial.design = "top;PARTIAL=TRUE;UserID=0XFFFFFFFF";
    sim::SampleBitstream named = base;
    named.design = "top_PARTIAL=TRUE_v2;UserID=0XFFFFFFFF";
    // The vendor's own file turns the FPGA's fallback off, as Vivado does by default.
    QByteArray vendor;
    loadSharedBitstream("artix7-35t-vivado2025.bit", vendor);

    struct Row {
        const char* name;
        const char* key;
        QByteArray file;
        int exitCode;
        QByteArray says;  // a line of its output
        const char* loaded;
        Before before = Before::Golden;
        QByteArray settings = QByteArray();  // the board's lumo3update.conf
    };
    const QByteArray other = "Bitstream is for FPGA 0x03631093, the board's golden image for 0x0362D093! If the board's "
                             "FPGA is the 0x03631093, set fpga_idcode = 0x03631093 in ";
    const Row rows[] = {
        {"DESYNC without START as the update", "-wupdate", base.file(noStart), 1,
         "Bitstream never starts the FPGA: DESYNC without START at byte 7980 of the image!", "golden"},
        {"IPROG in a golden image", "-wgold", base.file(data.left(56) + command(0x0F) + data.mid(56)), 1,
         "Bitstream reboots the FPGA (IPROG at byte 60 of the image): it was built for another flash layout!",
         "golden"},
        {"a raw stream", "-wupdate", rawStreamWithAnEPair(), 0, "Booting FPGA: OK", "update"},
        {"no CRC word, a frame bit flipped", "-wupdate", base.file(noCrc), 0,
         "Warning: the bitstream has no CRC word, so damage to its frame data cannot be detected.", "update"},
        {"an update on a board whose golden image an earlier version wrote", "-wupdate", base.file(), 1,
         "The golden header at 0x001000 sends the FPGA back to the golden image (warm boot address 0x00001000, as "
         "earlier versions wrote it): write the golden image again with -wgold before an update can boot!",
         "golden", Before::LegacyGolden},
        {"which -wgold mends", "-wgold", base.file(), 0, "Booting FPGA: OK", "golden", Before::LegacyGolden},
        {"a golden image started by the JTAG clock, on a blank board", "-wgold", jtag.file(), 1,
         "Bitstream starts up on the JTAG clock (COR0 at byte 68 of the image): it cannot start from the flash!",
         "none", Before::Blank},
        {"a configuration watchdog that expires before the read", "-wupdate", base.file(shortWatchdog), 1,
         "Bitstream's configuration watchdog (TIMER at byte 60 of the image) expires after 1.0 ms, before the FPGA "
         "has read the image (21.1 ms at its configuration clock): it would fall back at every boot!",
         "golden"},
        {"a 100T image on a blank 35T board that says so", "-wgold", xc7a100t.file(), 1,
         "Bitstream is for FPGA 0x03631093, the board's FPGA is 0x0362D093 (fpga_idcode in ", "none", Before::Blank,
         "fpga_idcode = 0x0362D093\n"},
        {"a 100T image on a 100T board that took a 35T golden image", "-wgold", xc7a100t.file(), 1, other, "none",
         Before::GoldenOfAnotherPart},
        {"which its setting mends", "-wgold", xc7a100t.file(), 0, "Booting FPGA: OK", "golden",
         Before::GoldenOfAnotherPart, "# the board's FPGA\nfpga_idcode = 0x03631093\n"},
        {"a setting that names no part stops the write", "-wgold", base.file(), 1,
         "fpga_idcode = 03631093 in ", "none", Before::Blank, "fpga_idcode = 03631093\n"},
        {"PARTIAL=TRUE in the design field", "-wgold", partial.file(), 1,
         "Bitstream is a partial reconfiguration image (byte 0 of the image)!", "none", Before::Blank},
        {"a design that is only named so", "-wgold", named.file(), 0, "Booting FPGA: OK", "golden", Before::Blank},
        {"an update that turns the fallback off", "-wupdate", vendor, 0,
         "Warning: the bitstream turns the FPGA's fallback off (CTL0 ConfigFallback): should the update image ever be "
         "damaged in the flash, the FPGA loads nothing, not the golden image.\nErasing header area: OK",
         "update"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        if (r.file.isEmpty())
            continue;  // no ../shared/bitstreams beside the checkout
        const bool xc7a100tBoard = r.before == Before::GoldenOfAnotherPart;
        BoardFixture board("lumo3", xc7a100tBoard ? QStringList{"--idcode", "0x03631093"} : QStringList{});
        if (r.before != Before::Blank) {
            sim::SampleBitstream golden;
            golden.dataBytes = 8000;
            board.writeFile("gold.bit", golden.file());
            ASSERT_EQ(board.run({"-wgold", "gold.bit"}).exitCode, 0);
        }
        if (r.before == Before::LegacyGolden) {
            QByteArray flash = board.flash();
            board.setFlash(flash.replace(0x1000, 32, kLegacyGoldenHeader));
            board.run({"-boot"});
        }
        if (!r.settings.isEmpty()) {
            QFile settings(QDir(board.board()).filePath("lumo3update.conf"));
            ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
            settings.write(r.settings);
        }
        const QByteArray before = board.flash();
        board.writeFile("fw.bit", r.file);
        const ToolResult result = board.run({r.key, "fw.bit"});
        EXPECT_EQ(result.exitCode, r.exitCode);
        EXPECT_TRUE(result.out.contains(r.says)) << result.out.toStdString();
        if (r.exitCode != 0) {
            EXPECT_EQ(board.flash(), before);  // refused before anything was erased
        }
        EXPECT_EQ(board.statusJson("fpga.loaded"), r.loaded);
        EXPECT_EQ(board.statusJson("fpga.fallback"), "false");
    }
}

// A 100T reads its 3.8 MB image for about 10 s at the default clock: the
// wait after the reboot outlasts it.
TEST(FpgaConfigurationE2E, AFullSize100TImageAtTheDefaultClockBoots)
{
    BoardFixture board("lumo3", {"--idcode", "0x03631093"});
    for (const char* key : {"-wgold", "-wupdate"}) {
        SCOPED_TRACE(key);
        sim::SampleBitstream image;
        image.dataBytes = 3825788;
        image.idcode = kXc7a100t;
        image.seed = key[2] == 'g' ? 1 : 2;
        board.writeFile("fw.bit", image.file());
        const ToolResult result = board.run({key, "fw.bit"});
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_TRUE(result.out.endsWith("Booting FPGA: OK\n")) << result.out.toStdString();
        EXPECT_GT(board.statusJson("fpga.read_seconds").toDouble(), 10.0);
    }
    EXPECT_EQ(board.statusJson("fpga.loaded"), "update");
}

TEST(FpgaConfigurationE2E, CreateTakesThePartOfALumo3Only)
{
    BoardFixture board("lumo3");
    struct Bad {
        QStringList options;
        const char* kind;
        const char* message;
    };
    const Bad cases[] = {
        {{"--idcode", "xyz"}, "lumo3", "lumo3-board: --idcode needs a 32-bit number, not 'xyz'"},
        {{"--idcode", "0362D093"}, "minilumo", "lumo3-board: a minilumo board has no FPGA part to set"},
        {{"--idcode", "03631093"}, "lumo3", "lumo3-board: --idcode 03631093 is 0x003767F5, no 7-series part"},
    };
    for (const Bad& c : cases) {
        SCOPED_TRACE(c.message);
        const ToolResult r =
            runBoardTool(QStringList{"create", board.file("other"), "--kind", c.kind} + c.options, board.work());
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.startsWith(c.message)) << r.err.toStdString();
    }
    EXPECT_EQ(board.statusJson("fpga.idcode"), "0x0362D093");
}

}  // namespace
