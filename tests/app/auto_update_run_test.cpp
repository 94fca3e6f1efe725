// The automatic run in-process, where a test needs short time limits or a
// flash that misbehaves: against a board in this process, in a temporary
// working directory, with a stand-in "python" first on PATH.

#include "DebugCapture.h"
#include "PythonStandIn.h"
#include "SampleFiles.h"
#include "FdCapture.h"
#include "VirtualLumo3.h"
#include "auto_update_run.h"
#include "lumo3_keys.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>

namespace {

// In-process: the run against a board in this process, in a temporary
// working directory.
struct AutoRunInProcess : ::testing::Test {
    AutoRunInProcess() : previous(QDir::currentPath()) { QDir::setCurrent(work.path()); }
    ~AutoRunInProcess() override { QDir::setCurrent(previous); }

    void writeFile(const QString& name, const QByteArray& contents)
    {
        QFile f(work.filePath(name));
        f.open(QIODevice::WriteOnly);
        f.write(contents);
    }

    int pulses() const
    {
        return static_cast<int>(std::count(board.events.begin(), board.events.end(), "pin26 low"));
    }

    QString previous;
    QTemporaryDir work;
    VirtualLumo3 board;
    DebugCapture log;
};

TEST_F(AutoRunInProcess, AFlasherRunningPastTheLimitIsKilledAndTheFilesStay)
{
    PythonStandIn python("sleep 30");
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", python.dir.path().toUtf8() + ":" + path);
    writeFile("r.hex", ":00000001FF\n");
    nt25q256 flash(board.worker);
    xapp1081 writer(&flash);
    EXPECT_EQ(AutoUpdateRun(flash, writer, true, 300).run(), 0);
    qputenv("PATH", path);
    EXPECT_EQ(log.lines.mid(1), (QStringList{"No bit-files to update", "Ready to update axsem firmware( \"r.hex\" ):",
                                             "lumo3update: axsem update timeout!"}));
    EXPECT_TRUE(QFile::exists(work.filePath("r.hex")));
}

TEST_F(AutoRunInProcess, TheRunWaitsForAFlashThatAnswersLate)
{
    writeFile("fw.bit", bitFile(3000, 1));
    QByteArray golden;
    bitFile(3000, 2, &golden);
    board.store(0x1000, xapp1081::goldenHeader() + golden);
    nt25q256 flash(board.worker);
    // The FPGA has just been released from reset and holds the flash while
    // it configures its golden image: identification reads answer 0xFF for
    // a while.
    board.wiring.piDrive(26, false);
    board.wiring.piDrive(26, true);
    ASSERT_FALSE(nt25q256::isN25Q256(flash.readID()));
    board.events.clear();
    xapp1081 writer(&flash);
    test_support::FdCapture out(STDOUT_FILENO);
    EXPECT_EQ(AutoUpdateRun(flash, writer, false).run(), 0);
    EXPECT_TRUE(out.take().endsWith("Booting FPGA: OK\n"));
    EXPECT_EQ(log.lines.mid(1, 1), QStringList{"Ready to update artix firmware( \"fw.bit\" ):"});
    // Two pulses from the writer's reboot, one after the deletion of the file.
    EXPECT_EQ(pulses(), 3);
    EXPECT_FALSE(QFile::exists(work.filePath("fw.bit")));
}

TEST_F(AutoRunInProcess, AFlashThatNeverAnswersSkipsTheBitstreamStep)
{
    writeFile("fw.bit", bitFile(3000, 1));
    board.probe.disturb = [](const std::vector<std::uint8_t>& frame, std::uint8_t& miso) {
        if (frame[0] == 0x9E)
            miso = 0xFF;
    };
    nt25q256 flash(board.worker);
    xapp1081 writer(&flash);
    const std::vector<std::uint8_t> before = board.memory;
    EXPECT_EQ(AutoUpdateRun(flash, writer, false, 1000, 200).run(), 0);
    EXPECT_EQ(log.lines, (QStringList{"Flashing Lumo3...", "lumo3update: flash not answering, artix update skipped!",
                                      "No hex-files to update"}));
    EXPECT_TRUE(board.memory == before);
    EXPECT_TRUE(QFile::exists(work.filePath("fw.bit")));
}

TEST_F(AutoRunInProcess, AnUnknownFlashIsReportedAndKeysStillRun)
{
    board.probe.disturb = [](const std::vector<std::uint8_t>& frame, std::uint8_t& miso) {
        if (frame[0] == 0x9E)
            miso = static_cast<std::uint8_t>(frame.size() == 4 ? 0x18 : 0x20);
    };
    board.events.clear();
    EXPECT_EQ(runLumo3({"lumo3update", "-boot"}, board.worker), 0);
    EXPECT_EQ(log.lines, QStringList{"Memory not found! ID =  \"2020182020202020202020202020202020202020\""});
    EXPECT_EQ(pulses(), 1);
}

// A new file moved in over the old name while the old one is written (as
// scp then mv does) was never applied: it stays for the next run.
TEST_F(AutoRunInProcess, AFileReplacedDuringTheWriteIsKept)
{
    writeFile("fw.bit", bitFile(3000, 1));
    writeFile("old.bit", bitFile(3000, 3));
    const QByteArray newer = bitFile(3000, 2);
    bool replaced = false;
    board.probe.disturb = [&](const std::vector<std::uint8_t>& frame, std::uint8_t&) {
        if (!replaced && frame.size() == 1 && frame[0] == 0x02) {
            replaced = true;
            writeFile("next.tmp", newer);
            ASSERT_TRUE(QFile::remove(work.filePath("fw.bit")));
            ASSERT_TRUE(QFile::rename(work.filePath("next.tmp"), work.filePath("fw.bit")));
        }
    };
    nt25q256 flash(board.worker);
    xapp1081 writer(&flash);
    test_support::FdCapture out(STDOUT_FILENO);
    EXPECT_EQ(AutoUpdateRun(flash, writer, true).run(), 0);
    EXPECT_TRUE(out.take().endsWith("Booting FPGA: OK\n"));
    ASSERT_TRUE(replaced);
    EXPECT_TRUE(log.lines.contains("lumo3update:  \"fw.bit\"  changed during the update, kept for the next run!"));
    EXPECT_TRUE(log.lines.contains("lumo3update:  \"old.bit\"  deleted!\n"));
    QFile kept(work.filePath("fw.bit"));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), newer);
    EXPECT_FALSE(QFile::exists(work.filePath("old.bit")));
}

}  // namespace
