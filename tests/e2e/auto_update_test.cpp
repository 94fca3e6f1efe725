// The automatic run ("-wifany") end to end, with a stand-in "python" first on
// PATH.

#include "BoardTool.h"
#include "PythonStandIn.h"
#include "SampleFiles.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

QStringList lines(const QByteArray& text)
{
    QStringList out = QString::fromUtf8(text).split('\n');
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

struct AutoRunE2E : ::testing::Test {
    BoardFixture board{"lumo3"};
    bool exists(const char* name) const { return QFile::exists(board.file(name)); }
};

TEST_F(AutoRunE2E, HexFilesOnlyGoToTheRadioFlasher)
{
    PythonStandIn python("echo \"loaded $3\"");
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

TEST_F(AutoRunE2E, AFailingFlasherKeepsTheHexFiles)
{
    PythonStandIn python("echo 'no answer from radio'; echo 'noise' >&2; exit 3");
    board.writeFile("r.hex", ":00000001FF\n");
    const ToolResult r = board.run({"-wifany"}, python.environment());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(lines(r.err).mid(5), (QStringList{"Axsem update result: ", " \"no answer from radio\\n\"",
                                                "lumo3update: axsem flasher failed with exit status 3 - hex-files kept!",
                                                "lumo3update: axsem flasher error output:", "noise"}));
    EXPECT_TRUE(exists("r.hex"));
}

TEST_F(AutoRunE2E, AMissingInterpreterIsNamedWithTheSystemsReason)
{
    QTemporaryDir emptyPath;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", emptyPath.path());
    board.writeFile("r.hex", ":00000001FF\n");
    const ToolResult r = board.run({"-wifany"}, env);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(lines(r.err).mid(5),
              QStringList{"lumo3update: can't start python: No such file or directory - hex-files kept!"});
    EXPECT_TRUE(exists("r.hex"));
}

TEST_F(AutoRunE2E, TheNewestBitstreamBecomesTheGoldenImageAndAllAreDeleted)
{
    PythonStandIn python("echo done");
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

// A directory named like firmware is no candidate: the file beside it is
// applied, and the directory stays.
TEST_F(AutoRunE2E, EntriesThatAreNoRegularFilesArePassedOver)
{
    PythonStandIn python("true");
    board.writeFile("a.bit", bitFile(3000, 2));
    ASSERT_TRUE(QDir(board.work()).mkdir("b.bit"));
    ASSERT_TRUE(QDir(board.work()).mkdir("c.hex"));
    board.writeFile("a.hex", ":00000001FF\n");
    const ToolResult r = board.run({"-wifany"}, python.environment());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.endsWith("Booting FPGA: OK\n"));
    EXPECT_EQ(lines(r.err).mid(2, 4), (QStringList{"Flashing Lumo3...",
                                                   "lumo3update:  \"b.bit\"  is not a regular file, passed over!",
                                                   "Ready to update artix firmware( \"a.bit\" ):",
                                                   "lumo3update:  \"a.bit\"  deleted!"}));
    EXPECT_TRUE(lines(r.err).contains("lumo3update:  \"c.hex\"  is not a regular file, passed over!"));
    EXPECT_EQ(board.statusJson("fpga.loaded"), "golden");
    EXPECT_FALSE(exists("a.bit"));
    EXPECT_FALSE(exists("a.hex"));
    EXPECT_TRUE(exists("b.bit") && exists("c.hex"));
}

// Sets or clears a directory's immutable flag: with it, not even root may
// delete a file in it.
bool setImmutable(const QString& path, bool on)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    const bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                      (flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL,
                       ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (fd >= 0)
        ::close(fd);
    return done;
}

// A firmware file that would stay after it is applied is not applied: the
// boot unit would apply it again at every boot.
TEST(AutoRunUndeletable, AFileThatCannotBeDeletedLeavesTheFlashAlone)
{
    struct Row {
        const char* kind;
        const char* name;
        QByteArray contents;
        int exitCode;
        QString refusal;
    };
    const Row rows[] = {
        {"lumo3", "fw.bit", bitFile(3000, 2), 0, "artix update skipped!"},
        {"lumo3", "radio.hex", ":00000001FF\n", 0, "axsem update skipped!"},
        {"minilumo", "fw.bin", QByteArray(300, '\x5A'), 255, "flash not erased"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        BoardFixture board(r.kind);
        PythonStandIn python("true");
        board.writeFile(r.name, r.contents);
        const QByteArray before = board.flash();
        if (!setImmutable(board.work(), true))
            GTEST_SKIP() << "needs root and a file system with an immutable flag";
        const ToolResult result = board.run({"-wifany"}, python.environment());
        setImmutable(board.work(), false);
        const QString all = QString::fromUtf8(result.out + result.err);
        EXPECT_EQ(result.exitCode, r.exitCode);
        EXPECT_TRUE(all.contains(QStringLiteral("%1 can't be removed (").arg(r.name)) && all.contains(r.refusal))
            << all.toStdString();
        EXPECT_TRUE(board.flash() == before);
        EXPECT_TRUE(QFile::exists(board.file(r.name)));
        EXPECT_FALSE(all.contains("Ready to update")) << all.toStdString();
    }
}

}  // namespace
