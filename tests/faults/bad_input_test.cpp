// Bad input and broken hardware, tried the way a new user would meet them,
// end to end on both boards: each case gives a clear message and its
// documented exit code, and the flash outside what the command was asked to
// change stays byte for byte as it was.

#include "SampleBitstream.h"
#include "BoardTool.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <ostream>

namespace {

QByteArray bitFile(int dataBytes, quint32 seed, bool raw = false)
{
    sim::SampleBitstream sample;
    sample.dataBytes = dataBytes;
    sample.seed = seed;
    return raw ? sample.configurationData() : sample.file();
}

struct Region {
    int from = 0;
    int to = 0;  // past the end; from == to: nothing may change
};

constexpr Region kNothing{};
constexpr Region kHeaderArea{0, 0x1000};
constexpr Region kHeaderAndUpdate{0, 0x800000};  // -wupdate's areas (header, golden untouched, update)
constexpr Region kWholeMx25{0, 4 << 20};

struct Case {
    const char* name;
    const char* kind;
    QList<QStringList> faults;
    std::function<void(BoardFixture&)> prepare;
    QStringList args;
    int exitCode;
    QString message;  // appears on standard output or standard error
    Region mayChange;
    // What else must hold afterwards, given the run's output.
    std::function<void(const BoardFixture&, const QString&)> after = {};
};

// Keeps the test log to the case's name instead of a dump of its bytes.
void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

void file(BoardFixture& b, const char* name, const QByteArray& data)
{
    b.writeFile(name, data);
}

std::function<void(BoardFixture&)> files(std::vector<std::pair<const char*, QByteArray>> list)
{
    return [list](BoardFixture& b) {
        for (const auto& [name, data] : list)
            file(b, name, data);
    };
}

std::function<void(BoardFixture&)> fifo(const char* name)
{
    return [name](BoardFixture& b) {
        ASSERT_EQ(::mkfifo(QFile::encodeName(b.file(name)).constData(), 0600), 0);
    };
}

// Holes only: its size is all that is known of it before reading.
std::function<void(BoardFixture&)> sparse(const char* name, qint64 size)
{
    return [name, size](BoardFixture& b) {
        QFile f(b.file(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.resize(size));
    };
}

std::function<void(BoardFixture&)> unreadable(const char* name)
{
    return [name](BoardFixture& b) { ASSERT_TRUE(QFile::link("/proc/sys/vm/drop_caches", b.file(name))); };
}

// A name given as bytes, which Qt cannot write when they are not valid in
// the locale's encoding; the fixture's clean-up, through Qt, cannot see it
// either, so the check afterwards removes it.
std::function<void(BoardFixture&)> rawName(const char* name, const QByteArray& data)
{
    return [name, data](BoardFixture& b) {
        ASSERT_TRUE(std::ofstream(QFile::encodeName(b.work()).toStdString() + '/' + name) << data.toStdString());
    };
}

std::function<void(const BoardFixture&, const QString&)> removeRawName(const char* name)
{
    return [name](const BoardFixture& b, const QString&) {
        EXPECT_EQ(::unlink((QFile::encodeName(b.work()) + '/' + name).constData()), 0);
    };
}

QByteArray truncated(int dataBytes)
{
    QByteArray f = bitFile(dataBytes, 7);
    f.chop(100);
    return f;
}

// The listing that recognises the board leaves FIFOs out: a bitstream beside
// them makes it a Lumo3.
std::function<void(BoardFixture&)> withLumo3Files(std::function<void(BoardFixture&)> prepare)
{
    return [prepare](BoardFixture& b) {
        b.writeFile("fw.bit", bitFile(40000, 5));
        prepare(b);
    };
}

// 40,000 bytes of configuration data, a stream for the part idcode.
QByteArray streamFile(quint32 idcode, bool corrupt = false)
{
    sim::SampleBitstream sample;
    sample.dataBytes = 40000;
    sample.seed = 8;
    sample.idcode = idcode;
    sample.corrupt = corrupt;
    return sample.file();
}

// The same stream edited, in a .bit file whose header announces its length.
QByteArray editedStreamFile(const std::function<QByteArray(QByteArray)>& edit)
{
    sim::SampleBitstream sample;
    sample.dataBytes = 40000;
    sample.seed = 8;
    return sample.file(edit(sample.configurationData()));
}

// The prepared boards' golden images are for the XC7A35T.
using sim::series7::kXc7a100t;
using sim::series7::kXc7a35t;

const QString kNoConfig = "No FPGA configuration in the file";

// An update must keep the golden image: the writer's areas are the header
// area and the update area only, never 0x001000-0x3FFFFF.
bool unchangedOutside(const QByteArray& before, const QByteArray& after, Region allowed, bool keepGolden)
{
    if (before.size() != after.size())
        return false;
    if (before.left(allowed.from) != after.left(allowed.from) || before.mid(allowed.to) != after.mid(allowed.to))
        return false;
    return !keepGolden || before.mid(0x1000, 0x3FF000) == after.mid(0x1000, 0x3FF000);
}

class BadInput : public ::testing::TestWithParam<Case> {
protected:
    static void SetUpTestSuite()
    {
        // Lumo3: a golden image and an update image in place.
        BoardFixture lumo3("lumo3");
        lumo3.writeFile("gold.bit", bitFile(50000, 1));
        lumo3.writeFile("up.bit", bitFile(60000, 2));
        ASSERT_EQ(lumo3.run({"-wgold", "gold.bit"}).exitCode, 0);
        ASSERT_EQ(lumo3.run({"-wupdate", "up.bit"}).exitCode, 0);
        lumo3Flash() = lumo3.flash();
        // Mini Lumo: a configuration in place.
        BoardFixture mini("minilumo");
        mini.writeFile("old.bin", bitFile(60000, 3, true));
        ASSERT_EQ(mini.run({"-wifany"}).exitCode, 0);
        miniFlash() = mini.flash();
    }

    static QByteArray& lumo3Flash()
    {
        static QByteArray flash;
        return flash;
    }
    static QByteArray& miniFlash()
    {
        static QByteArray flash;
        return flash;
    }
};

TEST_P(BadInput, ClearMessageExitCodeAndTheRestOfTheFlashKept)
{
    const Case& c = GetParam();
    const bool lumo3 = QString(c.kind) == "lumo3";
    BoardFixture board(c.kind);
    const QByteArray before = lumo3 ? lumo3Flash() : miniFlash();
    board.setFlash(before);
    ASSERT_EQ(runBoardTool({"power-cycle", board.board()}, board.work()).exitCode, 0);
    for (const QStringList& fault : c.faults)
        ASSERT_EQ(runBoardTool(QStringList{"fault", board.board()} + fault, board.work()).exitCode, 0);
    if (c.prepare)
        c.prepare(board);

    const ToolResult r = board.run(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out.toStdString() << r.err.toStdString();
    const QString all = QString::fromUtf8(r.out + r.err);
    EXPECT_TRUE(all.contains(c.message)) << "missing: " << c.message.toStdString() << "\n" << all.toStdString();
    EXPECT_TRUE(unchangedOutside(before, board.flash(), c.mayChange, lumo3));
    // However a Mini Lumo run ends, SPI0 stopped included, its update-active
    // line falls; only a power cut leaves it where it was.
    if (!lumo3 && c.exitCode != 3) {
        EXPECT_EQ(board.statusJson("update_active_at_end"), "false");
    }
    if (c.after)
        c.after(board, all);
}

const auto lumo3Files = files({{"fw.bit", bitFile(40000, 5)}});

const QString kSpiStopped = "SPI0 stopped: nothing more was sent to the board, and no file was written or deleted";

// Afterwards these files are there (one named with a leading '!' is not),
// and the run never said notSaid.
std::function<void(const BoardFixture&, const QString&)> leaves(QStringList names, QString notSaid = {})
{
    return [names, notSaid](const BoardFixture& b, const QString& output) {
        for (QString name : names) {
            const bool gone = name.startsWith('!');
            EXPECT_EQ(QFile::exists(b.file(name.remove(0, gone ? 1 : 0))), !gone) << name.toStdString();
        }
        EXPECT_TRUE(notSaid.isEmpty() || !output.contains(notSaid)) << notSaid.toStdString();
    };
}

const Case kCases[] = {
    // Bitstream files that are not what they claim to be.
    {"truncated update", "lumo3", {}, files({{"cut.bit", truncated(40000)}}), {"-wupdate", "cut.bit"}, 1,
     "Bitstream truncated: header announces 40000 bytes, file holds 39900!", kNothing},
    {"truncated golden", "lumo3", {}, files({{"cut.bit", truncated(40000)}}), {"-wgold", "cut.bit"}, 1,
     "Bitstream truncated", kNothing},
    {"oversized update", "lumo3", {}, files({{"big.bit", bitFile(0x400004, 6)}}), {"-wupdate", "big.bit"}, 1,
     "Image too large: 4194308 bytes, the area holds 4194304!", kNothing},
    {"oversized golden", "lumo3", {}, files({{"big.bit", bitFile(0x3FEFE4, 6)}}), {"-wgold", "big.bit"}, 1,
     "Image too large: 4190180 bytes, the area holds 4190176!", kNothing},
    {"empty update", "lumo3", {}, files({{"empty.bit", QByteArray()}}), {"-wupdate", "empty.bit"}, 1, kNoConfig,
     kNothing},
    {"text file as golden", "lumo3", {}, files({{"readme.bit", "This is not a bitstream.\n"}}),
     {"-wgold", "readme.bit"}, 1, kNoConfig, kNothing},
    {"corrupt update", "lumo3", {}, files({{"bad.bit", streamFile(kXc7a35t, true)}}), {"-wupdate", "bad.bit"}, 1,
     "Bitstream corrupt: configuration CRC mismatch at byte 39972 of the image!", kNothing},
    {"corrupt golden in the unattended run", "lumo3", {}, files({{"bad.bit", streamFile(kXc7a35t, true)}}),
     {"-wifany"}, 0, "lumo3update: artix update false!", kNothing},
    {"stream cut short, header length matching", "lumo3", {},
     files({{"cut.bit", editedStreamFile([](QByteArray d) { return d.left(40000 - 32); })}}), {"-wgold", "cut.bit"},
     1, "Bitstream truncated: no end of configuration before byte 39968 of the image!", kNothing},
    {"another family's stream", "lumo3", {},
     files({{"s6.bit", editedStreamFile([](QByteArray d) { return d.replace(52, 4, "\x30\xA1\x00\x07", 4); })}}),
     {"-wgold", "s6.bit"}, 1, "Bitstream is not a 7-series configuration stream!", kNothing},
    {"update for another FPGA", "lumo3", {}, files({{"fw.bit", streamFile(kXc7a100t)}}), {"-wupdate", "fw.bit"}, 1,
     "Bitstream is for FPGA 0x03631093, the board's golden image for 0x0362D093!", kNothing},
    {"golden image for another FPGA", "lumo3", {}, files({{"fw.bit", streamFile(kXc7a100t)}}), {"-wgold", "fw.bit"},
     1, "Bitstream is for FPGA 0x03631093, the board's golden image for 0x0362D093!", kNothing},
    {"Mini Lumo image as update", "lumo3", {}, files({{"fw.bit", bitFile(40000, 5)}, {"x.hex", "x"}}),
     {"-wupdate", "x.hex"}, 1, kNoConfig, kNothing},
    {"missing bitstream", "lumo3", {}, lumo3Files, {"-wupdate", "nothere.bit"}, 1, "File not found!", kNothing},
    {"directory named like a bitstream", "lumo3", {}, [](BoardFixture& b) { QDir(b.work()).mkdir("dir.bit"); },
     {"-wgold", "dir.bit"}, 1, "dir.bit is not a regular file!", kNothing},
    {"FIFO as the update", "lumo3", {}, withLumo3Files(fifo("pipe.bit")), {"-wupdate", "pipe.bit"}, 1,
     "pipe.bit is not a regular file!", kNothing},
    {"FIFO as raw data", "lumo3", {}, withLumo3Files(fifo("pipe.bit")), {"-w", "pipe.bit", "-add", "0x500000", "-len", "16"}, 255,
     "pipe.bit is not a regular file!", kNothing},
    {"device as raw data", "lumo3", {}, lumo3Files, {"-w", "/dev/zero", "-add", "0x500000", "-len", "16"}, 255,
     "/dev/zero is not a regular file!", kNothing},
    // There but not to be read, even by root: a write-only sysctl.
    {"unreadable bitstream", "lumo3", {}, unreadable("fw.bit"), {"-wgold", "fw.bit"}, 1,
     "Can't read file fw.bit: Permission denied!", kNothing},
    {"unreadable raw data", "lumo3", {}, unreadable("fw.bit"), {"-w", "fw.bit", "-add", "0x500000", "-len", "16"},
     255, "Can't open file fw.bit: Permission denied!", kNothing},
    {"unreadable Mini Lumo firmware", "minilumo", {}, unreadable("fw.bin"), {"-wifany"}, 255,
     "File fw.bin not opened: Permission denied", kNothing, leaves({"fw.bin"})},
    // Qt's listing leaves such a name out: it is named, not silently lost.
    {"firmware name not valid in the locale's encoding", "lumo3", {}, rawName("fw\xFF.bit", bitFile(40000, 5)),
     {"-wifany"}, 0, "lumo3update: fw\\xFF.bit is not a valid name in the locale's encoding (UTF-8), passed over!",
     kNothing, removeRawName("fw\xFF.bit")},
    {"bitstream file too large to load", "lumo3", {}, sparse("huge.bit", 0x410001), {"-wupdate", "huge.bit"}, 1,
     "File huge.bit is too large: 4259841 bytes, a bitstream for this area has at most 4259840!", kNothing},
    {"upper-case suffix only", "lumo3", {}, files({{"FW.BIT", bitFile(40000, 5)}}), {"-wupdate", "FW.BIT"}, 255,
     "Can't recognize Lumo type! Lumo type:  -2 Exit.", kNothing},
    {"two dots in the name", "lumo3", {}, files({{"fw.v2.bit", bitFile(40000, 5)}}), {"-wupdate", "fw.v2.bit"}, 255,
     "Can't recognize Lumo type!", kNothing},
    // The board kind comes from the working directory: a key that asks for
    // flash work there did nothing.
    {"image key where no firmware lies", "lumo3", {}, files({}), {"-wupdate", "/nonexistent/fw.bit"}, 255,
     "No files for update", kNothing},
    {"-wifany where no firmware lies", "lumo3", {}, files({}), {"-wifany"}, 0, "No files for update", kNothing},
    // Numbers and ranges.
    {"address past the flash", "lumo3", {}, lumo3Files, {"-r", "o.dat", "-add", "0x1000000", "-len", "1"}, 255,
     "Range out of flash", kNothing},
    {"negative address", "lumo3", {}, lumo3Files, {"-r", "o.dat", "-add", "-1", "-len", "1"}, 255,
     "Range out of flash: 0x1 bytes from -0x1 end past 0x1000000!", kNothing},
    {"address past the flash, nothing to read", "lumo3", {}, lumo3Files,
     {"-r", "o.dat", "-add", "0x1000000", "-len", "0"}, 255,
     "Range out of flash: 0x0 bytes from 0x1000000 end past 0x1000000!", kNothing},
    {"address past the flash, nothing to write", "lumo3", {}, lumo3Files,
     {"-w", "fw.bit", "-add", "0x1000000", "-len", "0"}, 255,
     "Range out of flash: 0x0 bytes from 0x1000000 end past 0x1000000!", kNothing},
    {"address beyond 32 bits", "lumo3", {}, lumo3Files, {"-w", "fw.bit", "-add", "0x100000000", "-len", "16"}, 255,
     "Range out of flash: 0x10 bytes from 0x100000000 end past 0x1000000!", kNothing},
    {"decimal address beyond 32 bits", "lumo3", {}, lumo3Files,
     {"-r", "o.dat", "-add", "4294967296", "-len", "16"}, 255,
     "Range out of flash: 0x10 bytes from 0x100000000 end past 0x1000000!", kNothing},
    {"most negative address", "lumo3", {}, lumo3Files,
     {"-w", "fw.bit", "-add", "-9223372036854775808", "-len", "16"}, 255,
     "Range out of flash: 0x10 bytes from -0x8000000000000000 end past 0x1000000!", kNothing},
    {"negative hexadecimal address", "lumo3", {}, lumo3Files, {"-r", "o.dat", "-add", "-0xFFFFFFFF", "-len", "16"},
     255, "Range out of flash: 0x10 bytes from -0xffffffff end past 0x1000000!", kNothing},
    {"length beyond 32 bits", "lumo3", {}, lumo3Files, {"-w", "fw.bit", "-add", "0", "-len", "0x100000010"}, 255,
     "Range out of flash: 0x100000010 bytes from 0x0 end past 0x1000000!", kNothing},
    {"empty raw data", "lumo3", {}, files({{"fw.bit", bitFile(40000, 5)}, {"e.dat", QByteArray()}}), {"-w", "e.dat", "-add", "0x400000", "-len", "100"},
     255, "File e.dat is empty, nothing written!", kNothing},
    {"fraction", "lumo3", {}, lumo3Files, {"-r", "o.dat", "-add", "1.5", "-len", "1"}, 255,
     "Incorrect value after -add!", kNothing},
    {"bare 0x", "lumo3", {}, lumo3Files, {"-w", "fw.bit", "-add", "0", "-len", "0x"}, 255,
     "Incorrect value after -len!", kNothing},
    {"empty value", "lumo3", {}, lumo3Files, {"-w", "fw.bit", "-add", "", "-len", "4"}, 255,
     "Incorrect value after -add!", kNothing},
    {"length overflowing 32 bits", "lumo3", {}, lumo3Files, {"-r", "o.dat", "-add", "0x10", "-len", "0xFFFFFFFF"},
     255, "Range out of flash", kNothing},
    {"write past the flash", "lumo3", {}, lumo3Files, {"-w", "fw.bit", "-add", "0xFFF000", "-len", "0x2000"}, 255,
     "Range out of flash", kNothing},
    {"missing value after -add", "lumo3", {}, lumo3Files, {"-r", "o.dat", "-len", "4", "-add"}, 255,
     "Incorrect value after -add!", kNothing},
    {"missing -len", "lumo3", {}, lumo3Files, {"-w", "fw.bit", "-add", "4"}, 255, "Key -len not found ", kNothing},
    {"missing file name", "lumo3", {}, lumo3Files, {"-wgold"}, 255, "Incorrect value after -wgold!", kNothing},
    {"write from a missing file", "lumo3", {}, lumo3Files, {"-w", "gone.dat", "-add", "0", "-len", "4"}, 255,
     "Can't open file gone.dat: No such file or directory!", kNothing},
    {"read into a missing directory", "lumo3", {}, lumo3Files, {"-r", "no/dir/o.dat", "-add", "0", "-len", "4"}, 255,
     "Can't create file no/dir/o.dat!", kNothing},
    {"read into a device", "lumo3", {}, lumo3Files, {"-r", "/dev/full", "-add", "0", "-len", "4096"}, 255,
     "/dev/full is not a regular file!", kNothing},
    {"read into a FIFO", "lumo3", {}, withLumo3Files(fifo("o.dat")),
     {"-r", "o.dat", "-add", "0", "-len", "4096"}, 255, "o.dat is not a regular file!", kNothing},
    // Broken Lumo3 hardware.
    {"flash absent", "lumo3", {{"flash-absent"}}, lumo3Files, {"-wupdate", "fw.bit"}, 1, "No flash: nothing written",
     kNothing},
    {"flash absent, golden", "lumo3", {{"flash-absent"}}, lumo3Files, {"-wgold", "fw.bit"}, 1,
     "No flash: nothing written", kNothing},
    {"flash absent, reboot", "lumo3", {{"flash-absent"}}, lumo3Files, {"-boot"}, 0, "Memory not found! ID = ",
     kNothing},
    // A chip that answers nothing but its status does not identify itself.
    {"busy bit stuck", "lumo3", {{"busy-stuck"}}, lumo3Files, {"-wupdate", "fw.bit"}, 1,
     "No flash: nothing written", kNothing},
    {"busy bit stuck, golden", "lumo3", {{"busy-stuck"}}, lumo3Files, {"-wgold", "fw.bit"}, 1,
     "No flash: nothing written", kNothing},
    {"flash absent, raw read", "lumo3", {{"flash-absent"}}, lumo3Files, {"-r", "o.dat", "-add", "0", "-len", "16"},
     255, "No flash: nothing read", kNothing},
    {"flash absent, raw write", "lumo3", {{"flash-absent"}}, lumo3Files,
     {"-w", "fw.bit", "-add", "0x500000", "-len", "16"}, 255, "No flash: nothing written", kNothing},
    // Erases that outlast their bound: 20 times the typical 250 ms of a subsector.
    {"erase abandoned, update", "lumo3", {{"slow-chip", "20"}}, lumo3Files, {"-wupdate", "fw.bit"}, 1,
     "Erasing header area: FALSE!", kHeaderArea},
    {"erase abandoned, raw write", "lumo3", {{"slow-chip", "20"}}, lumo3Files,
     {"-w", "fw.bit", "-add", "0x500000", "-len", "0x10000"}, 255,
     "Erase at 0x500000 abandoned: the flash stayed busy!", {0x500000, 0x501000}},
    {"switch word fails to program", "lumo3", {{"program-fail", "0xFFC", "4"}}, lumo3Files, {"-wupdate", "fw.bit"},
     1, "Writing header: FALSE!", kHeaderAndUpdate},
    {"raw write fails to program", "lumo3", {{"program-fail", "0x500010", "0x100"}}, lumo3Files,
     {"-w", "fw.bit", "-add", "0x500000", "-len", "0x1000"}, 255, "Verify failed at 0x500010!",
     {0x500000, 0x501000}},
    {"bits that fail to program", "lumo3", {{"program-fail", "0x400100", "16"}}, lumo3Files,
     {"-wupdate", "fw.bit"}, 1, "Verifying: FALSE!", kHeaderAndUpdate},
    {"a bit flipped on read", "lumo3", {{"read-flip", "0x400200", "0x10"}}, lumo3Files, {"-wupdate", "fw.bit"}, 1,
     "Verifying: FALSE!", kHeaderAndUpdate},
    {"FPGA never configures", "lumo3", {{"fpga-never-configures"}}, lumo3Files, {"-wupdate", "fw.bit"}, 1,
     "Booting FPGA: FALSE!", kHeaderAndUpdate},
    {"slow chip", "lumo3", {{"slow-chip", "4"}}, lumo3Files, {"-wupdate", "fw.bit"}, 0, "Booting FPGA: OK",
     kHeaderAndUpdate},
    {"power cut mid-update", "lumo3", {{"power-cut", "3000000"}}, lumo3Files, {"-wupdate", "fw.bit"}, 3,
     "lumo3-board: power cut after 3000000 bytes on the bus", kHeaderAndUpdate},
    {"flash never answers for the unattended run", "lumo3", {{"fpga-never-configures"}},
     [](BoardFixture& b) {
         file(b, "fw.bit", bitFile(40000, 5));
         // A reboot first, so that the FPGA holds the flash when the run starts.
         ASSERT_EQ(b.run({"-boot"}).exitCode, 0);
     },
     {"-wifany"}, 0, "lumo3update: flash not answering, artix update skipped!", kNothing},
    // SPI0 stops: at the first frame, or after that many bytes on the bus.
    {"SPI0 stalls, reboot", "lumo3", {{"spi0-stalls"}}, lumo3Files, {"-boot"}, 255, kSpiStopped, kNothing,
     [](const BoardFixture&, const QString& output) {
         EXPECT_TRUE(output.contains("SPI0 stopped: check that no kernel driver or other program uses SPI0"));
     }},
    {"SPI0 stalls mid-read", "lumo3", {{"spi0-stalls", "50000"}}, lumo3Files,
     {"-r", "o.dat", "-add", "0", "-len", "0x20000"}, 255, kSpiStopped, kNothing, leaves({"!o.dat"})},
    {"SPI0 stalls mid-program, raw write", "lumo3", {{"spi0-stalls", "309000"}}, lumo3Files,
     {"-w", "fw.bit", "-add", "0x500000", "-len", "0x1000"}, 255, kSpiStopped, {0x500000, 0x501000},
     leaves({}, "abandoned: the flash stayed busy")},
    {"SPI0 stalls mid-update", "lumo3", {{"spi0-stalls", "300000"}}, lumo3Files, {"-wupdate", "fw.bit"}, 1,
     kSpiStopped, kHeaderAndUpdate},
    {"SPI0 stalls, golden", "lumo3", {{"spi0-stalls"}}, lumo3Files, {"-wgold", "fw.bit"}, 1, kSpiStopped, kNothing},
    {"SPI0 stalls in the unattended run", "lumo3", {{"spi0-stalls", "5000"}},
     files({{"fw.bit", bitFile(40000, 5)}, {"radio.hex", ":00000001FF\n"}}), {"-wifany"}, 0, kSpiStopped, kNothing,
     leaves({"fw.bit", "radio.hex"}, "Ready to update axsem firmware")},
    // The file's bytes were read back before SPI0 stopped, the rest was not.
    {"SPI0 stalls in the read-back, Mini Lumo", "minilumo", {{"spi0-stalls", "4300000"}},
     files({{"fw.bin", bitFile(40000, 4, true)}}), {"-wifany"}, 255, "Firmware not flashed.  SPI0 stopped.",
     kWholeMx25, leaves({"fw.bin"}, "Firmware flashed!")},
    // Mini Lumo.
    {"empty firmware", "minilumo", {}, files({{"fw.bin", QByteArray()}}), {"-wifany"}, 255,
     "File fw.bin is empty, flash not erased", kNothing},
    {"oversized firmware", "minilumo", {}, files({{"fw.bin", QByteArray(4194241, '\x11')}}), {"-wifany"}, 255,
     "File fw.bin is too large (4194241 bytes, at most 4194240), flash not erased", kNothing},
    {"directory named like firmware", "minilumo", {}, [](BoardFixture& b) { QDir(b.work()).mkdir("a.bin"); },
     {"-wifany"}, 255, "Flasher: \"a.bin\" is not a regular file, passed over", kNothing},
    {"endless device named like firmware", "minilumo", {},
     [](BoardFixture& b) { ASSERT_TRUE(QFile::link("/dev/zero", b.file("zero.bin"))); }, {"-wifany"}, 255,
     "Flasher: \"zero.bin\" is not a regular file, passed over", kNothing},
    {"huge sparse firmware", "minilumo", {},
     [](BoardFixture& b) {
         file(b, "fw.bin", "x");
         ASSERT_TRUE(QFile::resize(b.file("fw.bin"), 3ll << 30));
     },
     {"-wifany"}, 255, "File fw.bin is too large (3221225472 bytes, at most 4194240), flash not erased", kNothing},
    {"Lumo3 key on a Mini Lumo", "minilumo", {}, files({{"fw.bin", bitFile(40000, 4, true)}}),
     {"-w", "fw.bin", "-add", "0", "-len", "4"}, 1, "Unknown option", kNothing},
    {"no option", "minilumo", {}, files({{"fw.bin", bitFile(40000, 4, true)}}), {}, 255, "--wifany", kNothing},
    // An undriven MISO reads 0xFF, and a chip that stays busy answers its
    // status only: neither identifies itself, and neither is erased.
    {"MX25 absent", "minilumo", {{"flash-absent"}}, files({{"fw.bin", bitFile(40000, 4, true)}}), {"-wifany"}, 255,
     "Flash is not an MX25L3206E (REMS ff ff, expected c2 15), flash not erased", kNothing},
    {"MX25 busy bit stuck", "minilumo", {{"busy-stuck"}}, files({{"fw.bin", bitFile(40000, 4, true)}}), {"-wifany"},
     255, "Flash is not an MX25L3206E (REMS ff ff, expected c2 15), flash not erased", kNothing},
    {"MX25 bits that fail to program", "minilumo", {{"program-fail", "0x100", "4"}},
     files({{"fw.bin", bitFile(40000, 4, true)}}), {"-wifany"}, 255, "Error on flashing firmware.", kWholeMx25},
    {"MX25 bit flipped on read", "minilumo", {{"read-flip", "0x200", "0x01"}},
     files({{"fw.bin", bitFile(40000, 4, true)}}), {"-wifany"}, 255, "Error on flashing firmware.", kWholeMx25},
    // Pages of 4.2 ms, status writes of 15 ms, a chip erase of 75 s.
    {"slow MX25 inside the datasheet", "minilumo", {{"slow-chip", "3"}}, files({{"fw.bin", bitFile(40000, 4, true)}}),
     {"-wifany"}, 0, "Firmware flashed! is_PIN_FPGA_DONE= true", kWholeMx25},
    // A chip erase of 100 s, as long as its bound: the status reads' own
    // time on the bus carries the last one past the erase's end.
    {"slow MX25", "minilumo", {{"slow-chip", "4"}}, files({{"fw.bin", bitFile(40000, 4, true)}}), {"-wifany"}, 0,
     "Firmware flashed! is_PIN_FPGA_DONE= true", kWholeMx25},
    {"transceiver absent", "minilumo", {{"transceiver-absent"}}, files({{"fw.bin", bitFile(40000, 4, true)}}),
     {"-wifany"}, 0, "=======AT86 not connected", kWholeMx25},
    {"transceiver of another part", "minilumo", {{"transceiver-other"}},
     files({{"fw.bin", bitFile(40000, 4, true)}}), {"-wifany"}, 0, "=======AT86 not connected", kWholeMx25},
    {"DONE stuck low", "minilumo", {{"done-stuck-low"}}, files({{"fw.bin", bitFile(40000, 4, true)}}), {"-wifany"},
     0, "Firmware flashed! is_PIN_FPGA_DONE= false", kWholeMx25},
    {"power cut mid-erase", "minilumo", {{"power-cut", "4300000"}}, files({{"fw.bin", bitFile(40000, 4, true)}}),
     {"-wifany"}, 3, "lumo3-board: power cut after 4300000 bytes on the bus", kWholeMx25},
};

std::string caseName(const ::testing::TestParamInfo<Case>& info)
{
    std::string name;
    for (const char* p = info.param.name; *p; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(BothBoards, BadInput, ::testing::ValuesIn(kCases), caseName);

}  // namespace
