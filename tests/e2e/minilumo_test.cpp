// The updater on a virtual Mini Lumo board, run through `lumo3-board run` in
// a temporary working directory: the command line, every output line, exit
// codes, what the flash holds and which files are left.

#include "FdCapture.h"
#include "ScriptedMx25.h"
#include "WorkingDirectory.h"
#include "BoardTool.h"

#include <gtest/gtest.h>

#include <QDir>

using namespace test_support;

namespace {

const QStringList kStart = {"lumo3update. Ver. 3.0.0b", "Recognized lumo type:  1", "=======AT86 connected",
                            "=======AT86 connected"};

struct MiniLumoE2E : ::testing::Test {
    BoardFixture board{"minilumo"};

    bool exists(const QString& name) const { return QFile::exists(board.file(name)); }
};

TEST_F(MiniLumoE2E, CreatedBoardIsErasedWithDoneLow)
{
    EXPECT_EQ(board.flash().size(), 4194304);
    EXPECT_EQ(board.flash().count('\xFF'), 4194304);
    EXPECT_EQ(board.statusJson("kind"), "minilumo");
    EXPECT_EQ(board.statusJson("fpga.done"), "false");
    EXPECT_EQ(board.statusJson("update_active_at_end"), "false");
    EXPECT_EQ(board.statusJson("flash.chip"), "MX25L3206E");
}

TEST_F(MiniLumoE2E, CommandLineWithoutAnUpdate)
{
    struct Case {
        QStringList args;
        int exitCode;
        QString stdoutStart;
        QStringList stderrAfterProbe;
    };
    const Case cases[] = {
        {{}, 255, "Usage: lumo3update [options]\nFirmware updater for Lumo3 and Mini Lumo. Must be run under root privileges\n", {}},
        {{"-h"}, 0, "Usage: lumo3update [options]\nFirmware updater for Lumo3 and Mini Lumo. Must be run under root privileges\n", {}},
        {{"-v"}, 0, "lumo3update 3.0.0b\n", {}},
        {{"-w", "image.bin"}, 1, "", {"lumo3update: Unknown option 'w'."}},
        {{"-boot"}, 1, "", {"lumo3update: Unknown option 'boot'."}},
    };
    board.writeFile("image.bin", pattern(300, 1));
    const QByteArray before = board.flash();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const ToolResult r = board.run(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(lines(r.err), kStart + c.stderrAfterProbe);
        EXPECT_TRUE(r.out.startsWith(c.stdoutStart.toUtf8())) << r.out.toStdString();
        if (c.stdoutStart.startsWith("Usage")) {
            EXPECT_TRUE(r.out.contains("Write update image if any"));
        }
        EXPECT_TRUE(exists("image.bin"));
    }
    EXPECT_EQ(board.flash(), before);
    EXPECT_FALSE(board.flash().isEmpty());
}

TEST_F(MiniLumoE2E, WifanyFlashesTheFirstBinFileAndDeletesOnlyIt)
{
    const QByteArray a = pattern(300, 2);
    board.writeFile("B.bin", pattern(500, 3));
    board.writeFile("a.bin", a);
    const ToolResult r = board.run({"-wifany"});

    EXPECT_EQ(r.exitCode, 0);
    EXPECT_FALSE(exists("a.bin"));
    EXPECT_TRUE(exists("B.bin"));
    EXPECT_EQ(board.flash().left(300), a);
    EXPECT_EQ(board.flash().mid(300).count('\xFF'), 4194304 - 300);

    const QStringList out = lines(r.out);
    ASSERT_EQ(out.size(), 14);
    EXPECT_EQ(out, (QStringList{"REMS. Manufacturer ID: c2, Device ID: 15",
                                "begin read current firmware...",
                                "current firmware read",
                                "Loading firmware from file a.bin...",
                                "file size = 300",
                                "File loaded",
                                "comparing: res=false",
                                "begin erasing...",
                                // Not a terminal: no spinner, the erase's line stays empty.
                                "",
                                "flash_() flashing...",
                                "End of flash_()",
                                "begin read current firmware...",
                                "current firmware read",
                                "comparing: res=true"}));
    EXPECT_EQ(lines(r.err), kStart + QStringList({"Flashing Mini Lumo...", "PIN_FPGA_DONE NOT OK", "Firmware erased",
                                                  "PIN_FPGA_DONE NOT OK", "Firmware flashed! is_PIN_FPGA_DONE= false"}));

    EXPECT_EQ(board.statusJson("update_active_at_end"), "false");
    EXPECT_EQ(board.statusJson("flash.block_protect_level"), "0");
    EXPECT_GT(board.statusJson("last_run.wait_ns").toDouble(), 25e9);
}

TEST_F(MiniLumoE2E, DoubleDashWifanyWorksAlike)
{
    board.writeFile("fw.bin", pattern(100, 4));
    const ToolResult r = board.run({"--wifany"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_FALSE(exists("fw.bin"));
    EXPECT_EQ(board.flash().left(100), pattern(100, 4));
}

TEST_F(MiniLumoE2E, RefusedFilesLeaveTheChipAndTheFileAlone)
{
    struct Case {
        int size;
        QString refusal;
    };
    const Case cases[] = {
        {0, "File fw.bin is empty, flash not erased"},
        {4194241, "File fw.bin is too large (4194241 bytes, at most 4194240), flash not erased"},
    };
    const QByteArray old = pattern(4194304, 7);
    board.setFlash(old);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        board.writeFile("fw.bin", pattern(c.size, 8));
        const ToolResult r = board.run({"-wifany"});
        EXPECT_EQ(r.exitCode, 255);
        EXPECT_EQ(lines(r.out).mid(3), (QStringList{"Loading firmware from file fw.bin...",
                                                    QStringLiteral("file size = %1").arg(c.size), c.refusal}));
        EXPECT_EQ(lines(r.err), kStart + QStringList({"Flashing Mini Lumo...", "PIN_FPGA_DONE NOT OK"}));
        EXPECT_TRUE(board.flash() == old);
        EXPECT_TRUE(exists("fw.bin"));
        EXPECT_EQ(board.statusJson("update_active_at_end"), "false");
    }
}

TEST_F(MiniLumoE2E, FullSizeFileIsFlashedAndVerified)
{
    const QByteArray file = pattern(4194240, 9);
    board.writeFile("full.bin", file);
    const ToolResult r = board.run({"-wifany"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(board.flash().left(4194240) == file);
    EXPECT_FALSE(exists("full.bin"));
    EXPECT_EQ(lines(r.out).last(), "comparing: res=true");
    // 16,384 pages of at least 9 ms of fixed waits each.
    EXPECT_GT(board.statusJson("last_run.total_ns").toDouble(), 16384 * 9e6);
}

}  // namespace
