// The automatic run ("-wifany"): end to end with a stand-in "python" first on
// PATH, and in-process where a test needs short time limits or a flash that
// misbehaves.

#include "auto_update_run.h"
#include "lumo3_keys.h"
#include "SampleBitstream.h"
#include "BoardTool.h"
#include "DebugCapture.h"
#include "StdoutCapture.h"
#include "VirtualLumo3.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

QStringList lines(const QByteArray& text)
{
    QStringList out = QString::fromUtf8(text).split('\n');
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

QByteArray bitFile(int dataBytes, quint32 seed, QByteArray* image = nullptr)
{
    sim::SampleBitstream sample;
    sample.dataBytes = dataBytes;
    sample.seed = seed;
    if (image)
        *image = sample.configurationData();
    return sample.file();
}

// A directory holding an executable "python" with the given shell body; it
// records its arguments in python.args beside itself.
struct StandIn {
    explicit StandIn(const QByteArray& body)
    {
        QFile script(dir.filePath("python"));
        script.open(QIODevice::WriteOnly);
        script.write("#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/python.args\"\n" + body + "\n");
        script.close();
        script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", dir.path() + ":" + env.value("PATH"));
        return env;
    }

    QByteArray args() const
    {
        QFile f(dir.filePath("python.args"));
        f.open(QIODevice::ReadOnly);
        return f.readAll().trimmed();
    }

    QTemporaryDir dir;
};

struct AutoRunE2E : ::testing::Test {
    BoardFixture board{"lumo3"};
    bool exists(const char* name) const { return QFile::exists(board.file(name)); }
};

TEST_F(AutoRunE2E, HexFilesOnlyGoToTheRadioFlasher)
{
    StandIn python("echo \"loaded $3\"");
    board.writeFile("a.hex", ":00000001FF\n");
    board.writeFile("b.hex", ":00000001FF\n");
    const ToolResult r = board.run({"-wifany"}, python.environment());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(lines(r.err).mid(2), (QStringList{"Flashing Lumo3...", "No bit-files to update",
                                                "Ready to update axsem firmware( \"b.hex\" ):",
                                                "Axsem update result: ", " \"loaded b.hex\\n\"",
                                                "lumo3update:  \"a.hex\"  deleted!", "",
                                                "lumo3update:  \"b.hex\"  deleted!", ""}));
    EXPECT_EQ(python.args(), "serial_flasher.py /dev/ttyS0 b.hex");
    EXPECT_FALSE(exists("a.hex"));
    EXPECT_FALSE(exists("b.hex"));
    EXPECT_TRUE(r.out.isEmpty());
}

TEST_F(AutoRunE2E, AnEntryThatCannotBeRemovedIsReported)
{
    StandIn python("true");
    QDir(board.work()).mkdir("a.hex");
    board.writeFile("b.hex", ":00000001FF\n");
    const ToolResult r = board.run({"-wifany"}, python.environment());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(lines(r.err).mid(7), (QStringList{"lumo3update:  \"a.hex\"  deleted!", "",
                                                "lumo3update:  \"a.hex\" could not be removed!",
                                                "lumo3update:  \"b.hex\"  deleted!", ""}));
    EXPECT_TRUE(exists("a.hex"));
    EXPECT_FALSE(exists("b.hex"));
}

TEST_F(AutoRunE2E, AFailingFlasherKeepsTheHexFiles)
{
    StandIn python("echo 'no answer from radio'; echo 'noise' >&2; exit 3");
    board.writeFile("r.hex", ":00000001FF\n");
    const ToolResult r = board.run({"-wifany"}, python.environment());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(lines(r.err).mid(5), (QStringList{"Axsem update result: ", " \"no answer from radio\\n\"",
                                                "lumo3update: axsem flasher failed with exit status 3 - hex-files kept!"}));
    EXPECT_TRUE(exists("r.hex"));
}

TEST_F(AutoRunE2E, AMissingInterpreterCountsAsATimeout)
{
    QTemporaryDir emptyPath;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", emptyPath.path());
    board.writeFile("r.hex", ":00000001FF\n");
    const ToolResult r = board.run({"-wifany"}, env);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(lines(r.err).mid(5), QStringList{"lumo3update: axsem update timeout!"});
    EXPECT_TRUE(exists("r.hex"));
}

TEST_F(AutoRunE2E, TheNewestBitstreamBecomesTheGoldenImageAndAllAreDeleted)
{
    StandIn python("echo done");
    QByteArray chosen;
    board.writeFile("fw10.bit", bitFile(3000, 10));
    board.writeFile("fw9.bit", bitFile(3000, 9, &chosen));  // character order: fw9 comes last
    board.writeFile("radio.hex", ":00000001FF\n");
    const ToolResult r = board.run({"-wifany"}, python.environment());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(lines(r.err).mid(2, 7), (QStringList{"Flashing Lumo3...", "Ready to update artix firmware( \"fw9.bit\" ):",
                                                   "lumo3update:  \"fw10.bit\"  deleted!", "",
                                                   "lumo3update:  \"fw9.bit\"  deleted!", "",
                                                   "Ready to update axsem firmware( \"radio.hex\" ):"}));
    EXPECT_TRUE(r.out.startsWith("Erasing golden boot area:"));
    EXPECT_TRUE(r.out.endsWith("Booting FPGA: OK\n"));
    EXPECT_EQ(board.flash().mid(0x1020, chosen.size()), chosen);
    EXPECT_EQ(board.statusJson("fpga.loaded"), "golden");
    EXPECT_FALSE(exists("fw9.bit"));
    EXPECT_FALSE(exists("fw10.bit"));
    EXPECT_FALSE(exists("radio.hex"));
}

TEST_F(AutoRunE2E, AFailedBitstreamKeepsItsFilesAndTheRadioStepStillRuns)
{
    QByteArray cut = bitFile(3000, 1);
    cut.chop(4);
    board.writeFile("b.bit", cut);
    board.writeFile("a.bit", bitFile(3000, 2));
    const ToolResult r = board.run({"-wifany"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(lines(r.err).mid(2), (QStringList{"Flashing Lumo3...", "Ready to update artix firmware( \"b.bit\" ):",
                                                "lumo3update: artix update false!", "No hex-files to update"}));
    EXPECT_TRUE(exists("a.bit"));
    EXPECT_TRUE(exists("b.bit"));
}

TEST_F(AutoRunE2E, ADirectoryNamedLikeTheNewestBitstreamIsRefusedAndNothingIsDeleted)
{
    board.writeFile("a.bit", bitFile(3000, 2));
    ASSERT_TRUE(QDir(board.work()).mkdir("b.bit"));
    const QByteArray before = board.flash();
    const ToolResult r = board.run({"-wifany"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "b.bit is not a regular file!\n");
    EXPECT_EQ(lines(r.err).mid(2), (QStringList{"Flashing Lumo3...", "Ready to update artix firmware( \"b.bit\" ):",
                                                "lumo3update: artix update false!", "No hex-files to update"}));
    EXPECT_TRUE(exists("a.bit"));
    EXPECT_TRUE(board.flash() == before);
}

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
    StandIn python("sleep 30");
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
    nt25q256 flash(board.worker);
    // The FPGA has just been released from reset and holds the flash while
    // it configures: identification reads answer 0xFF for a while.
    board.wiring.piDrive(26, false);
    board.wiring.piDrive(26, true);
    ASSERT_FALSE(nt25q256::isN25Q256(flash.readID()));
    board.events.clear();
    xapp1081 writer(&flash);
    StdoutCapture out;
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

}  // namespace
