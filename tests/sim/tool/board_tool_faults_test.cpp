// The board tool's rehearsal commands: faults, power cycles, traces and the
// radio flasher's stand-in.

#include "SampleBitstream.h"
#include "BoardTool.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

namespace {

QByteArray bitFile(int bytes, quint32 seed)
{
    sim::SampleBitstream sample;
    sample.dataBytes = bytes;
    sample.seed = seed;
    return sample.file();
}

QJsonObject status(const BoardFixture& board)
{
    return QJsonDocument::fromJson(runBoardTool({"status", board.board(), "--json"}, board.work()).out).object();
}

ToolResult tool(const BoardFixture& board, const QStringList& args)
{
    return runBoardTool(args, board.work());
}

TEST(BoardToolFaults, FaultsAreKeptShownAndCleared)
{
    BoardFixture board("lumo3");
    EXPECT_EQ(tool(board, {"fault", board.board(), "busy-stuck"}).exitCode, 0);
    EXPECT_EQ(tool(board, {"fault", board.board(), "read-flip", "0x400000", "0x80"}).exitCode, 0);
    const QJsonObject faults = status(board).value("faults").toObject();
    EXPECT_TRUE(faults.value("busy_stuck").toBool());
    EXPECT_EQ(faults.value("read_flip").toObject().value("mask").toInt(), 0x80);
    EXPECT_TRUE(tool(board, {"status", board.board()}).out.contains(
        "Faults: flash busy bit stuck; reads of 0x400000 flip bits 0x80"));

    EXPECT_EQ(tool(board, {"fault", board.board(), "--clear"}).exitCode, 0);
    EXPECT_TRUE(status(board).value("faults").toObject().isEmpty());
}

TEST(BoardToolFaults, FaultsThatDoNotFitTheBoardAreRefused)
{
    BoardFixture lumo3("lumo3");
    BoardFixture mini("minilumo");
    struct Case {
        const BoardFixture& board;
        QStringList fault;
        QString error;
    };
    const Case cases[] = {
        {lumo3, {"done-stuck-low"}, "done-stuck-low: only a Mini Lumo board's Pi reads the DONE line"},
        {lumo3, {"transceiver-absent"}, "transceiver-absent: only a Mini Lumo board has an AT86 transceiver"},
        {mini, {"fpga-never-configures"}, "fpga-never-configures: only a Lumo3 board has a reboot line"},
        {mini, {"power-cut", "0"}, "power-cut: BYTES 0 is out of range (1 to 9007199254740992)"},
        {mini, {"program-fail", "0x100"}, "unknown fault or wrong arguments: program-fail 0x100"},
        {mini, {"melt"}, "unknown fault or wrong arguments: melt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault.join(' ').toStdString());
        const ToolResult r = tool(c.board, QStringList{"fault", c.board.board()} + c.fault);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.startsWith("lumo3-board: " + c.error.toUtf8() + "\n")) << r.err.toStdString();
        EXPECT_TRUE(status(c.board).value("faults").toObject().isEmpty());
    }
}

TEST(BoardToolFaults, SPI0StallingIsTheSocsAndAWorkerLevelRunIsRefusedIt)
{
    BoardFixture board("minilumo");
    ASSERT_EQ(tool(board, {"fault", board.board(), "spi0-stalls", "0x10"}).exitCode, 0);
    EXPECT_TRUE(tool(board, {"status", board.board()}).out.contains("Faults: SPI0 stalls after 16 bus bytes"));
    const ToolResult r = tool(board, {"run", board.board(), "--worker-level", "--", "-wifany"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "lumo3-board: run: the spi0-stalls fault is the SoC's, which a --worker-level run leaves out\n");
}

TEST(BoardToolFaults, APowerCutIsSpentByTheRunItEndsAndPowerCycleReloadsTheFpga)
{
    BoardFixture board("lumo3");
    board.writeFile("gold.bit", bitFile(30000, 1));
    ASSERT_EQ(board.run({"-wgold", "gold.bit"}).exitCode, 0);
    ASSERT_EQ(tool(board, {"fault", board.board(), "power-cut", "100"}).exitCode, 0);

    ToolResult r = board.run({"-boot"});
    EXPECT_EQ(r.exitCode, 0);  // -boot needs only 42 bytes on the bus: no cut
    EXPECT_TRUE(status(board).value("faults").toObject().contains("power_cut"));

    r = board.run({"-wgold", "gold.bit"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_TRUE(r.err.endsWith("lumo3-board: power cut after 100 bytes on the bus\n"));
    QJsonObject s = status(board);
    EXPECT_FALSE(s.value("faults").toObject().contains("power_cut"));
    EXPECT_TRUE(s.value("last_run").toObject().value("power_cut").toBool());
    EXPECT_EQ(s.value("fpga").toObject().value("loaded").toString(), "none");  // no power, nothing runs

    ASSERT_EQ(tool(board, {"power-cycle", board.board()}).exitCode, 0);
    EXPECT_EQ(status(board).value("fpga").toObject().value("loaded").toString(), "golden");
}

TEST(BoardToolFaults, AWorkerLevelRunWritesWhatTheRegistersWouldAndIsCutByItsOwnBytes)
{
    BoardFixture registers("lumo3");
    BoardFixture worker("lumo3");
    registers.writeFile("gold.bit", bitFile(30000, 1));
    worker.writeFile("gold.bit", bitFile(30000, 1));
    const ToolResult r = tool(registers, {"run", registers.board(), "--", "-wgold", "gold.bit"});
    const ToolResult w = tool(worker, {"run", worker.board(), "--worker-level", "--", "-wgold", "gold.bit"});
    EXPECT_EQ(w.exitCode, 0);
    EXPECT_EQ(w.exitCode, r.exitCode);
    EXPECT_EQ(w.out, r.out);
    EXPECT_EQ(w.err, r.err);
    EXPECT_TRUE(worker.flash() == registers.flash());
    worker.expectNoViolations();
    // Its polls take no register accesses' time, so there are more of them.
    EXPECT_GT(worker.statusJson("last_run.bus_bytes").toDouble(), registers.statusJson("last_run.bus_bytes").toDouble());

    ASSERT_EQ(tool(worker, {"fault", worker.board(), "power-cut", "5000"}).exitCode, 0);
    const ToolResult cut = tool(worker, {"run", worker.board(), "--worker-level", "--", "-wgold", "gold.bit"});
    EXPECT_EQ(cut.exitCode, 3);
    EXPECT_TRUE(cut.err.endsWith("lumo3-board: power cut after 5000 bytes on the bus\n"));
}

TEST(BoardToolFaults, TheTraceDecodesEveryFrameAndLine)
{
    BoardFixture board("lumo3");
    board.writeFile("gold.bit", bitFile(3000, 1));
    const ToolResult r = runBoardTool({"run", board.board(), "--trace", board.file("run.trace"), "--", "-wgold",
                                       "gold.bit"},
                                      board.work());
    ASSERT_EQ(r.exitCode, 0);
    board.expectNoViolations();
    const QStringList lines = QString::fromUtf8(board.readFile("run.trace")).split('\n');
    ASSERT_GT(lines.size(), 70);
    EXPECT_EQ(lines.at(0).simplified(), "time bus byte device event");
    // The clock starts with the 3 us of register accesses that set up the Pi.
    EXPECT_EQ(lines.at(1).simplified(), "0.003 ms 1 N25Q256 READ ID len 20 20 BA 19 10 00 00 17 4C ... (x2 over 0.045 ms)");
    // The writer looks for the part of a golden image already on the flash.
    EXPECT_EQ(lines.at(2).simplified(), "0.048 ms 43 N25Q256 READ 0x001020 len 4096 FF FF FF FF FF FF FF FF ...");
    EXPECT_EQ(lines.at(3).simplified(), "4.248 ms 4143 N25Q256 READ 0x000000 len 65536 FF FF FF FF FF FF FF FF ...");
    const QString all = lines.join('\n');
    EXPECT_TRUE(all.contains(QRegularExpression("N25Q256 +PAGE PROGRAM  0x001000  len 256  20 00 00 00 30 02 00 01")));
    // A poll takes its two bytes and its register accesses: about 3.2 us.
    EXPECT_TRUE(all.contains(QRegularExpression("N25Q256 +READ STATUS  00  \\(x1[45]\\d over 0\\.5\\d\\d ms, the last shown\\)")));
    EXPECT_TRUE(all.contains(QRegularExpression("GPIO 26 +low  \\(FPGA PROGRAM_B\\)")));
    // The reboot pulse is as long as the program held it, about 20 ms.
    EXPECT_TRUE(all.contains(QRegularExpression(
        "\\n +([0-9.]+) ms +\\d+  GPIO 26 +low[^\\n]*\\n +[0-9.]+ ms +\\d+  GPIO 26 +high")));
}

// The rules a chip saw broken reach the status and the trace. A stuck busy
// bit makes every identification read, the driver's own and start-up's two,
// a command to a busy chip.
TEST(BoardToolFaults, TheRulesAChipSawBrokenAreShownAndTraced)
{
    BoardFixture board("lumo3");
    board.writeFile("fw.bit", bitFile(3000, 1));  // what makes the updater take the board for a Lumo3
    ASSERT_EQ(tool(board, {"fault", board.board(), "busy-stuck"}).exitCode, 0);
    ASSERT_EQ(tool(board, {"run", board.board(), "--trace", board.file("run.trace"), "--", "-boot"}).exitCode, 0);
    const QString rule = "READ ID while busy with an operation that never ends: only read status is allowed";
    const QJsonObject violations = status(board).value("violations").toObject();
    EXPECT_EQ(violations.value("count").toInt(), 3);
    const QJsonObject first = violations.value("first").toArray().at(0).toObject();
    EXPECT_EQ(first.value("bus_byte").toInt(), 1);
    EXPECT_EQ(first.value("where").toString(), "N25Q256");
    EXPECT_EQ(first.value("rule").toString(), rule);
    EXPECT_TRUE(tool(board, {"status", board.board()}).out.contains("bus byte 22, N25Q256: " + rule.toUtf8()));
    const QString trace = QString::fromUtf8(board.readFile("run.trace"));
    EXPECT_TRUE(trace.contains(QRegularExpression(" 43  N25Q256 +!! " + QRegularExpression::escape(rule))));
}

TEST(BoardToolFaults, TheRadioFlasherStandInChecksAndLoadsTheHexFile)
{
    BoardFixture board("lumo3");
    const QString bin = board.file("bin");
    ASSERT_EQ(tool(board, {"install-radio-flasher", board.board(), bin}).exitCode, 0);
    ASSERT_EQ(tool(board, {"make-hex", board.file("radio.hex"), "--bytes", "1000"}).exitCode, 0);

    struct Case {
        QStringList args;
        int exitCode;
        QByteArray out;
    };
    QByteArray damaged = board.readFile("radio.hex");
    damaged[20] = damaged[20] == 'A' ? 'B' : 'A';
    board.writeFile("bad.hex", damaged);
    const Case cases[] = {
        {{"serial_flasher.py", "/dev/ttyS1", "radio.hex"}, 1,
         "serial_flasher.py: cannot open /dev/ttyS1: no such serial device\n"},
        {{"serial_flasher.py", "/dev/ttyS0", "bad.hex"}, 1, "serial_flasher.py: bad.hex: line 1: checksum mismatch\n"},
        {{"serial_flasher.py", "/dev/ttyS0", "none.hex"}, 1, "serial_flasher.py: cannot read none.hex\n"},
        {{"serial_flasher.py", "/dev/ttyS0", "radio.hex"}, 0, "serial_flasher.py: AX8052 programmed, 1000 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QProcess python;
        python.setWorkingDirectory(board.work());
        python.start(QDir(bin).filePath("python"), c.args);
        ASSERT_TRUE(python.waitForFinished(30000));
        EXPECT_EQ(python.exitCode(), c.exitCode);
        EXPECT_TRUE(python.readAllStandardOutput().startsWith(c.out));
    }
    const QJsonObject radio = status(board).value("radio").toObject();
    EXPECT_EQ(radio.value("firmware_bytes").toInt(), 1000);
    EXPECT_EQ(radio.value("sha256").toString().size(), 64);
}

// A write that fails is a failure, and the earlier file stays: the limit on
// file sizes (with its signal ignored, as a shell's trap "" leaves it) fails
// writes the way a full disk does, with a reason of its own.
TEST(BoardToolFaults, AWriteThatFailsIsAFailureAndTheEarlierFileStays)
{
    struct Case {
        const char* name;
        int blocks;  // the limit, in 512-byte blocks
        QStringList args;
        int exitCode;
        QString message;
    };
    const Case cases[] = {
        {"backup past the limit", 256, {"-r", "o.dat", "-add", "0", "-len", "0x100000"}, 255,
         "Can't write file o.dat: File too large!"},
        {"board state not saved", 0, {"-wgold", "fw.bit"}, 2, "lumo3-board: cannot save the board at "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BoardFixture board("lumo3");
        board.writeFile("fw.bit", bitFile(40000, 3));
        board.writeFile("o.dat", "the earlier backup");
        QFile stateFile(QDir(board.board()).filePath("state.json"));
        ASSERT_TRUE(stateFile.open(QIODevice::ReadOnly));
        const QByteArray state = stateFile.readAll();
        stateFile.close();
        QProcess process;
        process.setWorkingDirectory(board.work());
        process.start("sh", QStringList{"-c", QStringLiteral("ulimit -f %1; trap '' XFSZ; exec \"$0\" \"$@\"")
                                                  .arg(c.blocks),
                                        boardToolPath(), "run", board.board(), "--"} +
                                c.args);
        ASSERT_TRUE(process.waitForFinished(120000));
        const QString all = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
        EXPECT_EQ(process.exitCode(), c.exitCode) << all.toStdString();
        EXPECT_TRUE(all.contains(c.message)) << all.toStdString();
        EXPECT_EQ(board.readFile("o.dat"), "the earlier backup");
        // An unsaved run leaves the board as the run before it saved it.
        ASSERT_TRUE(stateFile.open(QIODevice::ReadOnly));
        EXPECT_TRUE(c.exitCode != 2 || stateFile.readAll() == state);
        EXPECT_EQ(QDir(board.work()).entryList(QDir::Files).size(), 2);
        EXPECT_EQ(tool(board, {"status", board.board()}).exitCode, 0);
    }
}

}  // namespace
