// The board tool's own weak spots: fault numbers read as the updater reads
// them, kept exactly and kept inside the flash; a board whose faults are
// damaged; a run that would write the board's own files, or a trace that
// cannot be written; and a run ended by a signal, which is saved as it
// stands.

#include "GoldenHeaders.h"
#include "SampleBitstream.h"
#include "BoardTool.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <csignal>
#include <functional>
#include <ostream>

#include <signal.h>

namespace {

QString inBoard(const BoardFixture& board, const QString& name)
{
    return QDir(board.board()).filePath(name);
}

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// A power-cut count that a JSON double cannot hold, as an earlier version
// of the tool saved it.
void damageTheFaults(const BoardFixture& board)
{
    QFile f(inBoard(board, "state.json"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QJsonObject state = QJsonDocument::fromJson(f.readAll()).object();
    f.close();
    state.insert("faults", QJsonObject{{"power_cut", QJsonObject{{"after_bytes", 1.8446744073709552e19},
                                                                 {"seed", 1}}}});
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(QJsonDocument(state).toJson());
}

struct ToolCase {
    const char* name;
    const char* kind;
    std::function<void(const BoardFixture&)> prepare;
    QStringList args;  // %B stands for the board's directory
    int exitCode;
    QString message;  // on standard output or standard error
    // A value of `status --json` afterwards, as "path=value".
    QString status;
};

void PrintTo(const ToolCase& c, std::ostream* os)
{
    *os << c.name;
}

class BoardToolCases : public ::testing::TestWithParam<ToolCase> {};

TEST_P(BoardToolCases, MessageExitCodeAndTheBoardsFiles)
{
    const ToolCase& c = GetParam();
    BoardFixture board(c.kind);
    if (c.prepare)
        c.prepare(board);
    const QByteArray flash = board.flash();
    const QByteArray state = contents(inBoard(board, "state.json"));

    QStringList args;
    for (const QString& arg : c.args)
        args << QString(arg).replace("%B", board.board());
    const ToolResult r = runBoardTool(args, board.work());
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err.toStdString();
    const QString all = QString::fromUtf8(r.out + r.err).replace(board.board(), "%B");
    EXPECT_TRUE(all.contains(c.message)) << "missing: " << c.message.toStdString() << "\n" << all.toStdString();

    EXPECT_TRUE(board.flash() == flash);
    if (c.exitCode != 0) {
        EXPECT_EQ(contents(inBoard(board, "state.json")), state);
    }
    if (!c.status.isEmpty()) {
        const QStringList pathAndValue = c.status.split('=');
        EXPECT_EQ(board.statusJson(pathAndValue.at(0)), pathAndValue.at(1));
    }
}

const auto damaged = [](const BoardFixture& board) { damageTheFaults(board); };
const auto linkToImage = [](const BoardFixture& board) {
    ASSERT_TRUE(QFile::link(inBoard(board, "n25q256.img"), board.file("backup.img")));
};

// The radio's state is written only once the radio is first flashed.
const auto linkToRadioState = [](const BoardFixture& board) {
    ASSERT_FALSE(QFile::exists(inBoard(board, "radio.json")));
    ASSERT_TRUE(QFile::link(inBoard(board, "radio.json"), board.file("radio.link")));
};

const ToolCase kToolCases[] = {
    // Fault numbers.
    {"count beyond 2^53", "lumo3", {}, {"fault", "%B", "power-cut", "18446744073709551615"}, 2,
     "lumo3-board: power-cut: BYTES 18446744073709551615 is out of range (1 to 9007199254740992)\n", {}},
    {"count a double would round", "lumo3", {}, {"fault", "%B", "power-cut", "9007199254740993"}, 2,
     "power-cut: BYTES 9007199254740993 is out of range (1 to 9007199254740992)", {}},
    {"count beyond 64 bits", "minilumo", {}, {"fault", "%B", "power-cut", "0x10000000000000000"}, 2,
     "power-cut: BYTES 0x10000000000000000 is out of range (1 to 9007199254740992)", {}},
    {"leading zero is decimal", "lumo3", {}, {"fault", "%B", "program-fail", "010", "1"}, 0, "",
     "faults.program_fail.address=10"},
    {"hexadecimal without 0x", "lumo3", {}, {"fault", "%B", "read-flip", "1F000"}, 0, "",
     "faults.read_flip.address=126976"},
    {"address past the flash", "minilumo", {}, {"fault", "%B", "program-fail", "0x400000", "1"}, 2,
     "program-fail: ADDR 0x400000 is out of range (0x0 to 0x3fffff)", {}},
    {"range running past the flash", "lumo3", {}, {"fault", "%B", "program-fail", "0x1FFFF00", "0x101"}, 2,
     "program-fail: LEN 0x101 is out of range (0x1 to 0x100)", {}},
    {"negative address", "lumo3", {}, {"fault", "%B", "read-flip", "-1"}, 2, "read-flip: ADDR '-1' is not a number",
     {}},
    {"mask wider than a byte", "minilumo", {}, {"fault", "%B", "read-flip", "0", "0x100"}, 2,
     "read-flip: MASK 0x100 is out of range (0x1 to 0xff)", {}},
    // A board whose saved faults are damaged.
    {"damaged faults: status", "lumo3", damaged, {"status", "%B"}, 0,
     "Faults: the faults are unreadable (power_cut.after_bytes); 'lumo3-board fault %B --clear' clears them\n",
     "faults.unreadable=the faults are unreadable (power_cut.after_bytes)"},
    {"damaged faults: run", "lumo3", damaged, {"run", "%B", "--", "-boot"}, 2,
     "lumo3-board: the board at %B is damaged: the faults are unreadable (power_cut.after_bytes); "
     "'lumo3-board fault %B --clear' clears them\n",
     {}},
    {"damaged faults: cleared", "minilumo", damaged, {"fault", "%B", "--clear"}, 0, "", "faults.unreadable="},
    // Runs that would write the board's own files, and traces that cannot be written.
    {"trace without a name", "lumo3", {}, {"run", "%B", "--trace", "", "--", "-boot"}, 2,
     "lumo3-board: run: --trace needs a file name\n", {}},
    {"trace to a full device", "lumo3", {}, {"run", "%B", "--trace", "/dev/full", "--", "-boot"}, 2,
     "lumo3-board: cannot write the trace to /dev/full: No space left on device\n", {}},
    {"trace over the flash image", "lumo3", {}, {"run", "%B", "--trace", "%B/n25q256.img", "--", "-boot"}, 2,
     "lumo3-board: run: %B/n25q256.img is the board's own n25q256.img, which the run must leave alone\n", {}},
    {"read into the flash image", "minilumo", {}, {"run", "%B", "--", "-r", "%B/mx25l3206e.img", "-add", "0"}, 2,
     "run: %B/mx25l3206e.img is the board's own mx25l3206e.img", {}},
    {"read into a link to the flash image", "lumo3", linkToImage,
     {"run", "%B", "--", "-r", "backup.img", "-add", "0", "-len", "16"}, 2,
     "run: backup.img is the board's own n25q256.img", {}},
    {"trace through a link to a board file not written yet", "lumo3", linkToRadioState,
     {"run", "%B", "--trace", "radio.link", "--", "-boot"}, 2,
     "run: radio.link is the board's own radio.json", {}},
    {"read into the board's lock", "lumo3", {}, {"run", "%B", "--", "-r", "%B/lumo3update.lock", "-add", "0"}, 2,
     "run: %B/lumo3update.lock is the board's own lumo3update.lock", {}},
    {"write from the board's state", "lumo3", {}, {"run", "%B", "--", "-w", "%B/state.json", "-add", "0"}, 2,
     "run: %B/state.json is the board's own state.json", {}},
};

std::string caseName(const ::testing::TestParamInfo<ToolCase>& info)
{
    std::string name;
    for (const char* p = info.param.name; *p; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Tool, BoardToolCases, ::testing::ValuesIn(kToolCases), caseName);

// --- a run ended by a signal ---

QByteArray pattern(int size, int seed)
{
    QByteArray out(size, 0);
    for (int i = 0; i < size; ++i)
        out[i] = static_cast<char>((i * 13 + seed) ^ (i >> 9));
    return out;
}

struct Interrupted {
    QProcess::ExitStatus status{};
    int code = 0;
    QByteArray output;  // standard output and error
    QStringList trace;  // its lines
};

// Runs the updater with a trace, sends the signal a moment after its output
// shows `marker`, and returns what the run left once the tool has ended. The
// moment only makes it likely that an operation is under way; what a test
// asserts holds wherever the signal lands. registerLevel keeps the run on
// the register stack whatever the stage asks.
Interrupted interrupted(const BoardFixture& board, const QStringList& args, const QByteArray& marker, int signal,
                        bool registerLevel = false)
{
    const QStringList trace{"--trace", board.file("run.trace")};
    Interrupted run;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(board.work());
    process.start(boardToolPath(),
                  (registerLevel ? QStringList{"run", board.board()} + trace << "--" : board.runCommand(trace)) + args);
    while (!run.output.contains(marker) && process.waitForReadyRead(120000))
        run.output += process.readAllStandardOutput();
    // A process id of 0 would send the signal to the whole process group.
    const auto pid = static_cast<pid_t>(process.processId());
    if (!run.output.contains(marker) || pid <= 0) {
        ADD_FAILURE() << "the run ended before " << marker.toStdString() << ":\n" << run.output.toStdString();
        process.waitForFinished(120000);
        return run;
    }
    QThread::msleep(100);
    ::kill(pid, signal);
    EXPECT_TRUE(process.waitForFinished(120000));
    run.output += process.readAllStandardOutput();
    run.status = process.exitStatus();
    run.code = process.exitCode();
    // A process that ends breaks no rule of a chip, even in mid-frame.
    board.expectNoViolations();
    run.trace = QString::fromUtf8(board.readFile("run.trace")).split('\n', Qt::SkipEmptyParts);
    return run;
}

// Each rehearses what the real process does with the signal. Held while the
// flash is changed, it ends the run once the change is done and before
// anything after it: the image is whole, the FPGA is not rebooted, a Mini
// Lumo's file stays and its update-active line is low. Any signal whose
// default ends a process, SIGQUIT (Ctrl-\) too. A Mini Lumo run asked to end
// before its erase leaves the chip as it was.
TEST(BoardToolSignals, ASignalDuringAFlashChangeEndsTheRunOnceTheImageIsWhole)
{
    struct Row {
        const char* name;
        const char* kind;
        QStringList args;
        QByteArray marker;
        int signal;
        bool mayStayOld = false;
    };
    const Row rows[] = {
        {"Mini Lumo, SIGTERM while programming", "minilumo", {"-wifany"}, "flash_() flashing...\n", SIGTERM},
        {"Mini Lumo, SIGUSR1 before the erase", "minilumo", {"-wifany"}, "begin read current firmware...\n", SIGUSR1,
         true},
        {"Lumo3 update, SIGINT while erasing", "lumo3", {"-wupdate", "new.bit"}, "Erasing update boot area:",
         SIGINT},
        {"Lumo3 golden, SIGQUIT while erasing", "lumo3", {"-wgold", "new.bit"}, "Erasing golden boot area:*",
         SIGQUIT},
        {"Lumo3 golden, SIGTERM while erasing", "lumo3", {"-wgold", "new.bit"}, "Erasing golden boot area:*",
         SIGTERM},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        BoardFixture board(r.kind);
        const bool lumo3 = QLatin1String(r.kind) == QLatin1String("lumo3");
        sim::SampleBitstream sample;
        sample.dataBytes = 0x100000;
        QByteArray expected;
        unsigned at = 0;
        if (lumo3) {
            board.writeFile("old.bit", sample.file());
            ASSERT_EQ(board.run({"-wgold", "old.bit"}).exitCode, 0);
            sample.seed = 2;
            board.writeFile("new.bit", sample.file());
            const bool golden = r.args.first() == QLatin1String("-wgold");
            expected = (golden ? kGoldenHeader : QByteArray()) +
                       sample.configurationData();
            at = golden ? 0x1000 : 0x400000;
        } else {
            board.writeFile("old.bin", pattern(300000, 1));
            ASSERT_EQ(board.run({"-wifany"}).exitCode, 0);
            expected = pattern(4194240, 2);
            board.writeFile("new.bin", expected);
        }

        const QByteArray old = board.flash();
        const Interrupted run = interrupted(board, r.args, r.marker, r.signal);
        EXPECT_EQ(run.status, QProcess::CrashExit);
        EXPECT_EQ(run.code, r.signal);
        const QByteArray now = board.flash();
        EXPECT_TRUE(now.mid(static_cast<int>(at), expected.size()) == expected || (r.mayStayOld && now == old));
        if (lumo3) {
            EXPECT_FALSE(run.output.contains("Booting FPGA")) << run.output.toStdString();
            EXPECT_TRUE(run.trace.filter("GPIO 26").isEmpty()) << run.trace.join('\n').toStdString();
        } else {
            EXPECT_TRUE(QFile::exists(board.file("new.bin")));
            EXPECT_EQ(board.statusJson("update_active_at_end"), "false");
        }
    }
}

// Outside a flash change the real process ends at once, here in the middle
// of reading the flash: the frame stays open and no file is written. Only
// the register stack has a frame to be in the middle of.
TEST(BoardToolSignals, ASignalWhileReadingEndsTheRunAtOnce)
{
    BoardFixture board("lumo3");
    // A firmware file beside it tells the board's kind.
    board.writeFile("new.bit", sim::SampleBitstream().file());
    const Interrupted run =
        interrupted(board, {"-r", "back.dat", "-add", "0", "-len", "0x1000000"}, "Recognized lumo type", SIGTERM, true);
    EXPECT_EQ(run.status, QProcess::CrashExit);
    EXPECT_EQ(run.code, SIGTERM);
    EXPECT_EQ(QDir(board.work()).entryList({"back.dat*"}), QStringList());
    ASSERT_FALSE(run.trace.isEmpty());
    EXPECT_TRUE(run.trace.last().contains("READ  0x000000") && run.trace.last().endsWith("(still selected at the end)"))
        << run.trace.last().toStdString();
}

}  // namespace
