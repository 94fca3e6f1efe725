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
#include "run_lock.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

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

    // The run with one radio file and a stand-in flasher of that body first
    // on PATH, given timeoutMs.
    int runRadio(const QByteArray& body, int timeoutMs)
    {
        PythonStandIn python(body);
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", python.dir.path().toUtf8() + ":" + path);
        writeFile("r.hex", ":00000001FF\n");
        nt25q256 flash(board.worker);
        xapp1081 writer(&flash);
        const int code = AutoUpdateRun(flash, writer, true, timeoutMs).run();
        qputenv("PATH", path);
        return code;
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
    EXPECT_EQ(runRadio("sleep 30", 300), 0);
    EXPECT_EQ(log.lines.mid(1), (QStringList{"No bit-files to update", "Ready to update axsem firmware( \"r.hex\" ):",
                                             "lumo3update: axsem update timeout!"}));
    EXPECT_TRUE(QFile::exists(work.filePath("r.hex")));
}

// The flasher within bounds: killed at its limit with whatever it started,
// its output kept to a bounded size with the rest counted, and the run lock
// held on its behalf for as long as it lives.
TEST_F(AutoRunInProcess, TheFlasherStaysWithinItsBoundsAndHoldsTheRunLock)
{
    struct Row {
        const char* name;
        QByteArray body;
        QString logged;  // in the log
        bool kept;       // the hex file stays
    };
    const Row rows[] = {
        {"a programmer it started", "sleep 30 & echo $! >programmer.pid; wait", "lumo3update: axsem update timeout!",
         true},
        {"a megabyte of output", "head -c 1048576 /dev/zero | tr '\\0' a",
         "lumo3update: axsem flasher output cut at 65536 bytes, 983040 bytes more not kept", false},
        {"the lock", "ls -l /proc/$$/fd | grep -q lumo3update.lock && echo inherited", " \"inherited\\n\"", false},
    };
    const QByteArray lockPath = QFile::encodeName(work.filePath("lumo3update.lock"));
    lumo3update_lock_path = lockPath.constData();
    const RunLock lock;
    ASSERT_TRUE(lock.held());
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        log.lines.clear();
        EXPECT_EQ(runRadio(r.body, 1000), 0);
        const QString all = log.lines.join('\n');
        EXPECT_TRUE(all.contains(r.logged)) << all.toStdString();
        EXPECT_LT(all.size(), 2 * AutoUpdateRun::kKeptOutputBytes);
        EXPECT_EQ(QFile::exists(work.filePath("r.hex")), r.kept);
        QFile programmer(work.filePath("programmer.pid"));
        if (programmer.open(QIODevice::ReadOnly)) {
            // Gone, or a zombie that no one has reaped yet, once the kill
            // has been delivered.
            const QString stat = "/proc/" + programmer.readAll().trimmed() + "/stat";
            auto dead = [&stat] {
                QFile f(stat);
                return !f.open(QIODevice::ReadOnly) || f.readAll().contains(") Z ");
            };
            for (int i = 0; i < 100 && !dead(); ++i)
                QThread::msleep(10);
            EXPECT_TRUE(dead());
            programmer.remove();
        }
    }
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
