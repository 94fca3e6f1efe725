// The `lumo3-board` tool's contract: create, run, status, and clear errors
// for boards that are missing or damaged.

#include "BoardTool.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

namespace {

TEST(BoardTool, HelpAndUsageErrors)
{
    QTemporaryDir dir;
    ToolResult r = runBoardTool({"--help"}, dir.path());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.startsWith("Usage: lumo3-board <command>"));
    r = runBoardTool({"--version"}, dir.path());
    EXPECT_EQ(r.out, "lumo3-board 3.0.0~b\n");
    r = runBoardTool({"make-hex", "--help"}, dir.path());
    EXPECT_EQ(r.out, "Usage:\n  make-hex FILE [--bytes N] [--seed S]\n"
                     "                                    sample radio firmware in Intel HEX\n");

    // A usage error names the mistake and the command's own usage, not the whole help.
    struct Case {
        QStringList args;
        QString err;
    };
    const Case cases[] = {
        {{}, "lumo3-board: no command given\nUsage: lumo3-board <command> [arguments]\n"
             "Try 'lumo3-board --help' for more.\n"},
        {{"create", "x"}, "lumo3-board: create needs DIR --kind KIND [--idcode ID]\n"
                          "Usage: lumo3-board create DIR --kind lumo3|minilumo [--idcode ID]\n"
                          "Try 'lumo3-board create --help' for more.\n"},
        {{"fault", "x"}, "lumo3-board: fault needs DIR and a fault, or DIR --clear\n"
                         "Usage: lumo3-board fault DIR FAULT [ARGS]\nUsage: lumo3-board fault DIR --clear\n"
                         "Try 'lumo3-board fault --help' for more.\n"},
        {{"make-bitstream", "f.bit", "--bytes", "1x"},
         "lumo3-board: --bytes needs a number up to 16777216\n"
         "Usage: lumo3-board make-bitstream FILE [--bytes N] [--seed S] [--idcode ID] [--corrupt] [--watchdog] [--raw]\n"
         "Try 'lumo3-board make-bitstream --help' for more.\n"},
        {{"create", dir.filePath("missing/b"), "--kind", "lumo3"},
         "lumo3-board: cannot create " + dir.filePath("missing/b") + ": " + dir.filePath("missing") + " is no directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        r = runBoardTool(c.args, dir.path());
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(QString::fromUtf8(r.err), c.err);
    }
    EXPECT_FALSE(QFile::exists(dir.filePath("missing")));
}

// One spelling, one value, in every command; a board's files are the board's.
TEST(BoardTool, NumbersReadAlikeAndBoardFilesAreNotOverwritten)
{
    BoardFixture board("lumo3");
    const QString a = board.file("a.bit"), b = board.file("b.bit");
    ASSERT_EQ(runBoardTool({"make-bitstream", a, "--idcode", "0362D093", "--bytes", "0200"}, board.work()).exitCode, 0);
    ASSERT_EQ(runBoardTool({"make-bitstream", b, "--idcode", "0x0362D093", "--bytes", "0xC8"}, board.work()).exitCode, 0);
    EXPECT_EQ(board.readFile("a.bit"), board.readFile("b.bit"));

    const QByteArray flash = board.flash();
    for (const char* command : {"make-bitstream", "make-hex"}) {
        const ToolResult r = runBoardTool({command, board.board() + "/n25q256.img"}, board.work());
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.err, "lumo3-board: " + board.board().toUtf8() +
                             "/n25q256.img is a board's own n25q256.img, which only the board may write\n");
    }
    EXPECT_EQ(board.flash(), flash);
}

TEST(BoardTool, ANewLumo3BoardHasAnErasedFlashAndRunsNothing)
{
    BoardFixture board("lumo3");
    const QByteArray flash = board.flash();
    EXPECT_EQ(flash.size(), 33554432);
    EXPECT_EQ(flash.count('\xFF'), flash.size());

    const ToolResult r = runBoardTool({"status", board.board(), "--json"}, board.work());
    EXPECT_EQ(r.exitCode, 0);
    const QJsonObject status = QJsonDocument::fromJson(r.out).object();
    EXPECT_EQ(status.value("kind").toString(), "lumo3");
    EXPECT_EQ(status.value("fpga").toObject().value("loaded").toString(), "none");

    const ToolResult text = runBoardTool({"status", board.board()}, board.work());
    EXPECT_TRUE(text.out.contains("FPGA runs: no image"));
}

TEST(BoardTool, CreateRefusesAnExistingBoardAndUnknownKinds)
{
    BoardFixture board("lumo3");
    ToolResult r = runBoardTool({"create", board.board(), "--kind", "lumo3"}, board.work());
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "lumo3-board: " + board.board().toUtf8() + " already holds a board\n");

    QTemporaryDir dir;
    r = runBoardTool({"create", dir.filePath("b"), "--kind", "lumo4"}, dir.path());
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "lumo3-board: unknown board kind 'lumo4'\n");
}

TEST(BoardTool, MissingAndDamagedBoardsAreReportedClearly)
{
    QTemporaryDir dir;
    const QString missing = dir.filePath("nothing");
    ToolResult r = runBoardTool({"run", missing, "--", "-boot"}, dir.path());
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "lumo3-board: no board at " + missing.toUtf8() + ": the directory does not exist\n");

    r = runBoardTool({"status", dir.path()}, dir.path());
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.contains("state.json is missing")) << r.err.toStdString();

    struct Damage {
        const char* file;
        QByteArray contents;
        const char* message;
    };
    const Damage damages[] = {
        {"state.json", "{ not json", "state.json is unreadable"},
        {"state.json", R"({"format": 1, "kind": "lumo9"})", "unknown kind 'lumo9'"},
        {"state.json", R"({"format": 1, "kind": "lumo3", "board": {}})", "the FPGA state is unreadable"},
        {"n25q256.img", QByteArray(1000, '\xFF'), "1000 bytes, a chip image has 33554432"},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.message);
        BoardFixture board("lumo3");
        QFile f(QDir(board.board()).filePath(d.file));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(d.contents);
        f.close();
        r = board.run({"-boot"});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.startsWith("lumo3-board: the board at ")) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(d.message)) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
}

TEST(BoardTool, TheBoardIsSavedWhenTheUpdaterEndsTheProcessItself)
{
    // A *.bin file makes the updater take the Mini Lumo path, whose
    // command-line parser ends the process when the option is missing.
    BoardFixture board("lumo3");
    board.writeFile("image.bin", "x");
    const ToolResult r = board.run({});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(board.statusJson("last_run.total_ns"), "");
}

}  // namespace
