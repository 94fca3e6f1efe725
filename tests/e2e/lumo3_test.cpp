// The updater on a virtual Lumo3 board, run through `lumo3-board run` in a
// temporary working directory: recognition, every key, every message and
// exit code, and what the flash holds afterwards.

#include "SampleBitstream.h"
#include "BoardTool.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const QStringList kBanner = {"lumo3update. Ver. 3.0.0b"};

QStringList lines(const QByteArray& text)
{
    QStringList out = QString::fromUtf8(text).split('\n');
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

QByteArray pattern(int size, int seed)
{
    QByteArray out(size, 0);
    for (int i = 0; i < size; ++i)
        out[i] = static_cast<char>((i * 31 + seed) ^ (i >> 8));
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

struct Lumo3E2E : ::testing::Test {
    BoardFixture board{"lumo3"};
};

TEST_F(Lumo3E2E, RecognitionFromTheFilesPresent)
{
    struct Case {
        QStringList files;
        QStringList dirs;
        int kind;
        int exitCode;
    };
    const Case cases[] = {
        {{}, {}, -1, 0},
        {{".x.bit"}, {}, -1, 0},
        {{"FW.BIT"}, {}, -2, 255},
        {{"fw.new.bit"}, {}, -2, 255},
        {{"a.bin", "b.hex"}, {}, 0, 255},
        // A Mini Lumo without -wifany: the parser's help, then -1.
        {{"A.hex", "b.bin"}, {}, 1, 255},
        {{"a.hex"}, {"images.bin"}, 1, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.files.join(' ').toStdString());
        BoardFixture fresh("lumo3");
        for (const QString& f : c.files)
            fresh.writeFile(f, "x");
        for (const QString& d : c.dirs)
            QDir(fresh.work()).mkdir(d);
        const ToolResult r = fresh.run({});
        const QStringList err = lines(r.err);
        ASSERT_GE(err.size(), 2);
        EXPECT_EQ(err.at(0), kBanner.at(0));
        EXPECT_EQ(err.at(1), QStringLiteral("Recognized lumo type:  %1").arg(c.kind));
        EXPECT_EQ(r.exitCode, c.exitCode);
        if (c.kind == -1) {
            EXPECT_EQ(err.mid(2), QStringList{"No files for update"});
        }
        if (c.kind == -2) {
            EXPECT_EQ(err.mid(2), QStringList{"Can't recognize Lumo type! Lumo type:  -2 Exit."});
        }
        EXPECT_TRUE(r.out.isEmpty() || c.kind == 1);
    }
}

TEST_F(Lumo3E2E, WithoutAKeyTheUsageTextIsPrinted)
{
    board.writeFile("fw.bit", "x");
    for (const QStringList& args : {QStringList{}, QStringList{"-add", "0", "-len", "4"}, QStringList{"-W"}}) {
        const ToolResult r = board.run(args);
        EXPECT_EQ(r.exitCode, 255);
        EXPECT_EQ(lines(r.err).mid(2),
                  (QStringList{"lumo3update.exe <-key> [-add <address>] [-len <length>] ", "Keys:",
                               "-wupdate <filename>                             Write update image and reboot",
                               "-wgold <filename>                               Write golden image",
                               "-w <filename> [-add <address>] [-len <length>]  Write file to flash",
                               "-r <filename> [-add <address>] [-len <length>]  Read file from flash",
                               "-wifany                                         Write update image if any",
                               "-boot                                           Reboot FPGA"}));
    }
}

TEST_F(Lumo3E2E, KeyAndValueErrors)
{
    board.writeFile("fw.bit", "x");
    struct Case {
        QStringList args;
        QString message;
    };
    const Case cases[] = {
        {{"-wgold"}, "Incorrect value after -wgold!"},
        {{"-boot", "-wupdate"}, "Incorrect value after -wupdate!"},
        {{"-r"}, "Incorrect value after -r!"},
        {{"-w"}, "Incorrect value after -w!"},
        {{"-r", "out.dat", "-len", "4"}, "Key -add not found "},
        {{"-r", "out.dat", "-add", "4"}, "Key -len not found "},
        {{"-r", "out.dat", "-add", "xyz", "-len", "4"}, "Incorrect value after -add!"},
        {{"-r", "out.dat", "-add", "4", "-len", "0x"}, "Incorrect value after -len!"},
        {{"-r", "out.dat", "-len", "4", "-add"}, "Incorrect value after -add!"},
        {{"-w", "fw.bit", "-add", "4", "-len"}, "Incorrect value after -len!"},
        {{"-r", "out.dat", "-add", "0xFFFFFF", "-len", "2"}, "Range out of flash: 0x2 bytes from 0xffffff end past 0x1000000!"},
        {{"-r", "out.dat", "-add", "0", "-len", "0xFFFFFFFF"},
         "Range out of flash: 0xffffffff bytes from 0x0 end past 0x1000000!"},
        {{"-w", "missing.bin", "-add", "0", "-len", "4"}, "Can't open file missing.bin: No such file or directory!"},
        {{"-r", "no/such/dir.bin", "-add", "0", "-len", "4"}, "Can't create file no/such/dir.bin!"},
    };
    const QByteArray before = board.flash();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const ToolResult r = board.run(c.args);
        EXPECT_EQ(r.exitCode, 255);
        EXPECT_EQ(lines(r.err).mid(2), QStringList{c.message});
        EXPECT_FALSE(QFile::exists(board.file("out.dat")));
        // Refused ranges and unreadable files are refused before the flash
        // check; every other refusal comes after it.
        const bool beforeTheBus = c.message.startsWith("Range out of flash") || c.message.startsWith("Can't open");
        EXPECT_EQ(board.statusJson("last_run.bus_bytes") == "0", beforeTheBus);
    }
    EXPECT_TRUE(board.flash() == before);
}

// One key per run, as ever; what else the line holds is named as ignored
// before anything is done, and the exit status is the applied key's.
TEST_F(Lumo3E2E, KeysThatExcludeEachOtherAndExtraArgumentsAreNamed)
{
    board.writeFile("fw.bit", "x");
    struct Case {
        QStringList args;
        int exitCode;
        QStringList lines;
    };
    const Case cases[] = {
        {{"-wupdate", "fw.bit", "-wgold", "fw.bit"}, 1, {"lumo3update: -wgold applied; -wupdate ignored (one key per run)"}},
        {{"-r", "a.dat", "-add", "0", "-len", "16", "-wgold", "fw.bit"},
         1,
         {"lumo3update: -wgold applied; -r, -add, -len ignored (one key per run)"}},
        {{"-boot", "-wifany"}, 0, {"lumo3update: -boot applied; -wifany ignored (one key per run)"}},
        {{"-r", "b.dat", "-add", "0", "-len", "4", "-add", "8"}, 0, {"lumo3update: -r applied; -add ignored (one key per run)"}},
        {{"-boot", "now", "please"}, 0, {"lumo3update: extra arguments ignored: \"now\" \"please\""}},
        // The argument after a key is its file, whatever it looks like.
        {{"-wgold", "-boot"}, 1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const ToolResult r = board.run(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        QStringList named;
        for (const QString& line : lines(r.err))
            if (line.startsWith("lumo3update: ") && line.contains("ignored"))
                named << line;
        EXPECT_EQ(named, c.lines);
        if (!c.lines.isEmpty()) {
            ASSERT_GE(lines(r.err).size(), 3);
            EXPECT_EQ(lines(r.err).at(2), c.lines.first());
        }
    }
    EXPECT_FALSE(QFile::exists(board.file("a.dat")));
}

TEST_F(Lumo3E2E, KeyErrorsFollowTheMissingFlashMessageAndARefusedRangeUsesNoBus)
{
    board.writeFile("fw.bit", "x");
    ASSERT_EQ(runBoardTool({"fault", board.board(), "flash-absent"}, board.work()).exitCode, 0);
    ToolResult r = board.run({"-r", "out.dat", "-add", "xyz", "-len", "4"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(lines(r.err).mid(2), (QStringList{"Memory not found! ID =  \"ffffffffffffffffffffffffffffffffffffffff\"",
                                                "Incorrect value after -add!"}));
    r = board.run({"-r", "out.dat", "-add", "0xFFFFFF", "-len", "2"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(lines(r.err).mid(2), QStringList{"Range out of flash: 0x2 bytes from 0xffffff end past 0x1000000!"});
    EXPECT_EQ(board.statusJson("last_run.bus_bytes"), "0");
    // An absent flash reads like an erased one: no backup file is made of it.
    r = board.run({"-r", "out.dat", "-add", "0", "-len", "16"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(lines(r.err).mid(2), (QStringList{"Memory not found! ID =  \"ffffffffffffffffffffffffffffffffffffffff\"",
                                                "No flash: nothing read"}));
    EXPECT_FALSE(QFile::exists(board.file("out.dat")));
}

TEST_F(Lumo3E2E, ReadTakesAddressesInDecimalOrHexadecimal)
{
    QByteArray flash = board.flash();
    flash.replace(0, 0x20000, pattern(0x20000, 5));
    board.setFlash(flash);
    board.writeFile("fw.bit", "x");
    board.writeFile("out.dat", QByteArray(1000, 'x'));
    // A second name for the earlier file: a backup replaced by a rename, not
    // rewritten in place, leaves it as it was.
    ASSERT_EQ(::link(QFile::encodeName(board.file("out.dat")).constData(),
                     QFile::encodeName(board.file("earlier.dat")).constData()),
              0);

    struct Case {
        QString add;
        QString len;
        int address;
        int length;
    };
    for (const Case& c : {Case{"10", "5", 10, 5}, Case{"1A", "0x10", 26, 16}, Case{"0x10", "256", 16, 256},
                          Case{"1F000", "0", 0x1F000, 0}, Case{"4096", "0x1000", 4096, 4096}}) {
        SCOPED_TRACE(c.add.toStdString());
        const ToolResult r = board.run({"-r", "out.dat", "-add", c.add, "-len", c.len});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(board.readFile("out.dat"), flash.mid(c.address, c.length));
    }
    EXPECT_TRUE(board.flash() == flash);
    EXPECT_EQ(board.readFile("earlier.dat"), QByteArray(1000, 'x'));
    EXPECT_EQ(QDir(board.work()).entryList(QDir::Files), (QStringList{"earlier.dat", "fw.bit", "out.dat"}));
}

TEST_F(Lumo3E2E, WriteErasesEveryTouchedSubsectorAndProgramsTheFile)
{
    QByteArray flash = board.flash();
    flash.replace(0, 0x5000, QByteArray(0x5000, '\x00'));
    board.setFlash(flash);
    board.writeFile("fw.bit", "x");

    // 10 bytes at 0x1000: only the subsector 0x1000-0x1FFF changes.
    board.writeFile("ten.dat", pattern(100, 1));
    ToolResult r = board.run({"-w", "ten.dat", "-add", "0x1000", "-len", "10"});
    EXPECT_EQ(r.exitCode, 0);
    QByteArray expected = flash;
    expected.replace(0x1000, 0x1000, pattern(10, 1) + QByteArray(0x1000 - 10, '\xFF'));
    EXPECT_TRUE(board.flash() == expected);

    // 8192 bytes at 4096: subsectors 0x1000 and 0x2000, nothing at 0x3000.
    board.writeFile("eight.dat", pattern(8192, 2));
    r = board.run({"-w", "eight.dat", "-add", "4096", "-len", "8192"});
    EXPECT_EQ(r.exitCode, 0);
    expected.replace(0x1000, 0x2000, pattern(8192, 2));
    EXPECT_TRUE(board.flash() == expected);

    // A length beyond the file writes the file.
    board.writeFile("short.dat", pattern(300, 3));
    r = board.run({"-w", "short.dat", "-add", "0x4010", "-len", "0x100000"});
    EXPECT_EQ(r.exitCode, 0);
    expected.replace(0x4000, 0x1000, QByteArray(0x10, '\xFF') + pattern(300, 3) + QByteArray(0x1000 - 0x10 - 300, '\xFF'));
    EXPECT_TRUE(board.flash() == expected);
    EXPECT_TRUE(r.out.isEmpty());
}

TEST_F(Lumo3E2E, WriteReadsNoMoreOfItsFileThanItWrites)
{
    board.writeFile("fw.bit", "x");
    // 3 GiB, all but its first 16 bytes a hole: whole, it would not even load.
    QFile big(board.file("big.dat"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    ASSERT_EQ(big.write(pattern(16, 9)), 16);
    ASSERT_TRUE(big.resize(qint64(3) << 30));
    big.close();
    const ToolResult r = board.run({"-w", "big.dat", "-add", "0x500000", "-len", "16"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QByteArray flash = board.flash();
    EXPECT_EQ(flash.mid(0x500000, 0x1000), pattern(16, 9) + QByteArray(0x1000 - 16, '\xFF'));
}

TEST_F(Lumo3E2E, WriteRefusesARangeBeyondTheReachableFlash)
{
    board.writeFile("fw.bit", "x");
    board.writeFile("page.dat", pattern(512, 4));
    const QByteArray before = board.flash();
    const ToolResult r = board.run({"-w", "page.dat", "-add", "0xFFFF00", "-len", "512"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(lines(r.err).mid(2), QStringList{"Range out of flash: 0x200 bytes from 0xffff00 end past 0x1000000!"});
    EXPECT_EQ(board.statusJson("last_run.bus_bytes"), "0");
    EXPECT_TRUE(board.flash() == before);
    // The last 256 bytes still fit.
    EXPECT_EQ(board.run({"-w", "page.dat", "-add", "0xFFFF00", "-len", "256"}).exitCode, 0);
    EXPECT_EQ(board.flash().mid(0xFFFF00, 256), pattern(256, 4));
}

TEST_F(Lumo3E2E, GoldenThenUpdateImagesBootTheRightImage)
{
    QByteArray golden;
    QByteArray update;
    board.writeFile("gold.bit", bitFile(100000, 1, &golden));
    board.writeFile("up.bit", bitFile(120000, 2, &update));

    ToolResult r = board.run({"-wgold", "gold.bit"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Erasing golden boot area:" + QByteArray(64, '-') +
                         " OK\nWriting new image: OK\nVerifying: OK\nBooting FPGA: OK\n");
    EXPECT_EQ(board.statusJson("fpga.loaded"), "golden");

    r = board.run({"-wupdate", "up.bit", "-wgold", "gold.bit"});  // -wgold comes first
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.startsWith("Erasing golden boot area:**-"));
    EXPECT_EQ(board.statusJson("fpga.loaded"), "golden");

    r = board.run({"-boot", "-wupdate", "up.bit"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Erasing header area: OK\nErasing update boot area:" + QByteArray(64, '-') +
                         " OK\nWriting new image: OK\nVerifying: OK\nWriting header: OK\nBooting FPGA: OK\n");
    EXPECT_EQ(board.statusJson("fpga.loaded"), "update");
    const QByteArray flash = board.flash();
    EXPECT_EQ(flash.mid(0x1020, golden.size()), golden);
    EXPECT_EQ(flash.mid(0x400000, update.size()), update);
    EXPECT_EQ(flash.mid(0xFFC, 4), QByteArray("\xAA\x99\x55\x66", 4));
    // Both files stay: only the automatic run deletes what it applied.
    EXPECT_TRUE(QFile::exists(board.file("gold.bit")));
    EXPECT_TRUE(QFile::exists(board.file("up.bit")));
}

TEST_F(Lumo3E2E, WriterFailuresGiveExitCodeOne)
{
    board.writeFile("fw.bit", "x");
    QByteArray truncated = bitFile(4096, 1);
    truncated.chop(1);
    board.writeFile("cut.bit", truncated);
    const QByteArray before = board.flash();

    ToolResult r = board.run({"-wupdate", "missing.bit"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "File not found!\n");
    r = board.run({"-wgold", "cut.bit"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "Bitstream truncated: header announces 4096 bytes, file holds 4095!\n");
    // With no golden image, nothing could ever boot the update.
    board.writeFile("up.bit", bitFile(5000, 2));
    r = board.run({"-wupdate", "up.bit"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "No golden header at 0x001000: write the golden image first!\n");
    EXPECT_TRUE(board.flash() == before);
}

TEST_F(Lumo3E2E, ASwitchWordThatDoesNotReadBackFailsWithoutAReboot)
{
    board.writeFile("gold.bit", bitFile(5000, 1));
    board.writeFile("up.bit", bitFile(6000, 2));
    ASSERT_EQ(board.run({"-wgold", "gold.bit"}).exitCode, 0);
    ASSERT_EQ(runBoardTool({"fault", board.board(), "program-fail", "0xFFC", "4"}, board.work()).exitCode, 0);
    const ToolResult r = board.run({"-wupdate", "up.bit"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.endsWith("Verifying: OK\nWriting header: FALSE!")) << r.out.toStdString();
    EXPECT_EQ(board.flash().mid(0xFFC, 4), QByteArray(4, '\xFF'));
    // No pulse: the FPGA runs the golden image it ran, and boots it again.
    EXPECT_EQ(board.statusJson("fpga.loaded"), "golden");
    ASSERT_EQ(runBoardTool({"power-cycle", board.board()}, board.work()).exitCode, 0);
    EXPECT_EQ(board.statusJson("fpga.loaded"), "golden");
}

// A reader that goes away must not stop the flash work half-way: the golden
// image is written whole whatever happens to the output.
TEST_F(Lumo3E2E, AClosedOutputOrAHangupDoesNotStopTheFlashWork)
{
    QByteArray golden;
    board.writeFile("gold.bit", bitFile(3000000, 1, &golden));
    const QStringList run = board.runCommand() + QStringList{"-wgold", "gold.bit"};

    // The pipe's reader takes the first line and leaves.
    QProcess pipeline;
    pipeline.setWorkingDirectory(board.work());
    pipeline.start("bash", QStringList{"-c", "\"$@\" | head -c 27 >/dev/null; exit ${PIPESTATUS[0]}", "bash",
                                       boardToolPath()} +
                               run);
    ASSERT_TRUE(pipeline.waitForFinished(120000));
    EXPECT_EQ(pipeline.exitCode(), 0) << pipeline.readAllStandardError().toStdString();
    EXPECT_EQ(board.flash().mid(0x1020, golden.size()), golden);
    board.expectNoViolations();

    // The terminal's session ends while the golden area is being erased.
    board.setFlash(QByteArray(32 << 20, '\xFF'));
    QProcess updater;
    updater.setWorkingDirectory(board.work());
    updater.start(boardToolPath(), run);
    ASSERT_TRUE(updater.waitForReadyRead(60000));
    ::kill(static_cast<pid_t>(updater.processId()), SIGHUP);
    ASSERT_TRUE(updater.waitForFinished(120000));
    EXPECT_EQ(updater.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(updater.exitCode(), 0);
    EXPECT_EQ(board.flash().mid(0x1020, golden.size()), golden);
    EXPECT_EQ(board.statusJson("fpga.loaded"), "golden");
    board.expectNoViolations();
}

TEST_F(Lumo3E2E, BootRestartsTheFpgaFromTheFlash)
{
    board.writeFile("gold.bit", bitFile(5000, 1));
    ASSERT_EQ(board.run({"-wgold", "gold.bit"}).exitCode, 0);
    // Clear the golden image behind the program's back: a reboot finds nothing.
    QByteArray flash = board.flash();
    flash.replace(0x1000, 0x2000, QByteArray(0x2000, '\xFF'));
    board.setFlash(flash);
    EXPECT_EQ(board.statusJson("fpga.loaded"), "golden");
    const ToolResult r = board.run({"-boot"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_EQ(board.statusJson("fpga.loaded"), "none");
}

// Holds path's lock as a running updater or board tool would, with pid in it.
struct HeldLock {
    HeldLock(const QString& path, const char* pid) : fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT, 0644))
    {
        EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        EXPECT_GT(::write(fd, pid, std::strlen(pid)), 0);
    }
    ~HeldLock() { ::close(fd); }
    int fd;
};

// One run at a time on a board: a second one refuses before the bus sees a
// byte, and the board tool's commands that change a board wait for nobody.
TEST(RunLockE2E, ABoardInUseIsRefusedAtOnce)
{
    BoardFixture board("lumo3");
    sim::SampleBitstream sample;
    sample.dataBytes = 8000;
    board.writeFile("fw.bit", sample.file());
    const QByteArray before = board.flash();
    {
        const HeldLock updater(QDir(board.board()).filePath("lumo3update.lock"), "4242\n");
        for (const QStringList& args : {QStringList{"-wupdate", "fw.bit"}, QStringList{"-wifany"}}) {
            SCOPED_TRACE(args.join(' ').toStdString());
            const ToolResult r = board.run(args);
            EXPECT_EQ(r.exitCode, 255);
            EXPECT_EQ(r.err, "lumo3update. Ver. 3.0.0b\nlumo3update is already running (pid 4242)\n");
            EXPECT_EQ(board.statusJson("last_run.bus_bytes"), "0");
        }
        EXPECT_EQ(board.flash(), before);
        EXPECT_TRUE(QFile::exists(board.file("fw.bit")));
    }
    {
        const HeldLock tool(QDir(board.board()).filePath("board.lock"), "4243\n");
        for (const QStringList& command : {QStringList{"run", board.board(), "--", "-boot"},
                                           QStringList{"fault", board.board(), "flash-absent"},
                                           QStringList{"power-cycle", board.board()}}) {
            SCOPED_TRACE(command.first().toStdString());
            const ToolResult r = runBoardTool(command, board.work());
            EXPECT_EQ(r.exitCode, 2);
            EXPECT_EQ(r.err, "lumo3-board: " + board.board().toUtf8() + " is in use by another lumo3-board (pid 4243)\n");
        }
    }
    EXPECT_EQ(board.run({"-wupdate", "fw.bit"}).exitCode, 1);  // free again: no golden image yet
}

}  // namespace
