// The MultiBoot writer on a virtual Lumo3 board: what ends up in the flash,
// what it prints, and what it does when the flash misbehaves.

#include "xapp1081.h"
#include "GoldenHeaders.h"
#include "SampleBitstream.h"
#include "SharedBitstreams.h"
#include "FdCapture.h"
#include "VirtualLumo3.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <QtEndian>

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

namespace {

const QByteArray kSwitchWord("\xAA\x99\x55\x66", 4);

struct Xapp1081WriterTest : ::testing::Test {
    VirtualLumo3 board;
    nt25q256 flash{board.worker};
    QTemporaryDir dir;

    QString bitFile(const char* name, int dataBytes, quint32 seed, QByteArray* image = nullptr)
    {
        sim::SampleBitstream sample;
        sample.dataBytes = dataBytes;
        sample.seed = seed;
        QFile file(dir.filePath(name));
        file.open(QIODevice::WriteOnly);
        file.write(sample.file());
        if (image)
            *image = sample.configurationData();
        return file.fileName();
    }

    QString textFile(const char* name, const QByteArray& contents)
    {
        QFile file(dir.filePath(name));
        file.open(QIODevice::WriteOnly);
        file.write(contents);
        return file.fileName();
    }

    // What an update needs in front of it: the FPGA reaches the update image
    // only through the golden header.
    void goldenHeaderInPlace() { board.store(0x1000, xapp1081::goldenHeader()); }

    QByteArray write(bool update, const QString& file, bool* result, int bootWaitMs = xapp1081::kDefaultBootWaitMs)
    {
        xapp1081 writer(&flash, bootWaitMs);
        board.events.clear();
        board.probe.frames.clear();
        test_support::FdCapture out(STDOUT_FILENO);
        *result = update ? writer.saveUpdateImage(file) : writer.saveGoldenImage(file);
        return out.take();
    }
};

QByteArray marks(const char* pattern)
{
    // "64-" or "3*61-": counts and marks.
    QByteArray out;
    QByteArray count;
    for (const char* p = pattern; *p; ++p) {
        if (*p >= '0' && *p <= '9') {
            count += *p;
        } else {
            out += QByteArray(count.toInt(), *p);
            count.clear();
        }
    }
    return out;
}

TEST_F(Xapp1081WriterTest, GoldenImageOnABlankFlash)
{
    QByteArray image;
    const QString file = bitFile("gold.bit", 300000, 1, &image);
    bool ok = false;
    const QByteArray out = write(false, file, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "Erasing golden boot area:" + marks("64-") + " OK\nWriting new image: OK\nVerifying: OK\n"
                   "Booting FPGA: OK\n");
    EXPECT_EQ(board.bytes(0x1000, 32), kGoldenHeader);
    EXPECT_EQ(board.bytes(0x1020, image.size()), image);
    EXPECT_TRUE(board.blank(0, 0x1000));
    EXPECT_TRUE(board.blank(0x1020 + image.size(), 0x400000 - 0x1020 - image.size()));
    EXPECT_EQ(board.fpga.loaded(), sim::Lumo3Fpga::Image::Golden);
}

TEST_F(Xapp1081WriterTest, UpdateImageReplacesTheOldOneAndSetsTheSwitchWord)
{
    QByteArray oldImage;
    QByteArray newImage;
    bool ok = false;
    write(false, bitFile("gold.bit", 200000, 1), &ok);
    ASSERT_TRUE(ok);
    write(true, bitFile("old.bit", 200000, 2, &oldImage), &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(board.bytes(0x400000, oldImage.size()), oldImage);

    const QByteArray out = write(true, bitFile("new.bit", 150000, 3, &newImage), &ok);
    EXPECT_TRUE(ok);
    // 200,000 bytes of the old image span four 64 KiB sectors.
    EXPECT_EQ(out, "Erasing header area: OK\nErasing update boot area:" + marks("4*60-") +
                       " OK\nWriting new image: OK\nVerifying: OK\nWriting header: OK\nBooting FPGA: OK\n");
    EXPECT_EQ(board.bytes(0x400000, newImage.size()), newImage);
    EXPECT_TRUE(board.blank(0x400000 + newImage.size(), 0x400000 - newImage.size()));
    EXPECT_TRUE(board.blank(0, 0xFFC));
    EXPECT_EQ(board.bytes(0xFFC, 4), kSwitchWord);
    EXPECT_EQ(board.bytes(0x1000, 32), xapp1081::goldenHeader());
    EXPECT_EQ(board.fpga.loaded(), sim::Lumo3Fpga::Image::Update);
}

TEST_F(Xapp1081WriterTest, UpdateImageFillingTheWholeAreaPassesTheBlankCheck)
{
    QByteArray image;
    bool ok = false;
    goldenHeaderInPlace();
    write(true, bitFile("full.bit", 0x400000, 4, &image), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(image.size(), 0x400000);
    EXPECT_EQ(board.bytes(0x400000, 0x400000), image);
}

TEST_F(Xapp1081WriterTest, RebootGivesTwoPulsesBeforeTheFirstIdentificationRead)
{
    bool ok = false;
    goldenHeaderInPlace();
    write(true, bitFile("new.bit", 5000, 3), &ok);
    ASSERT_TRUE(ok);
    const auto& e = board.events;
    const auto header = std::find(e.begin(), e.end(), "frame 02");  // the last program is the switch word
    const auto lastProgram = std::find(e.rbegin(), e.rend(), "frame 02").base();
    ASSERT_NE(header, e.end());
    const std::vector<std::string> expected = {"frame 03", "pin26 low", "pin26 high", "pin26 low", "pin26 high",
                                               "frame 9E"};
    // After the switch word's page program, its status polls and its read-back: the pulses.
    auto at = std::find(lastProgram, e.end(), "pin26 low");
    ASSERT_NE(at, e.end());
    EXPECT_EQ(std::vector<std::string>(at - 1, at + 5), expected);
}

TEST_F(Xapp1081WriterTest, VerificationFailureLeavesNoSwitchWordAndNoReboot)
{
    bool ok = false;
    goldenHeaderInPlace();
    write(true, bitFile("old.bit", 100000, 2), &ok);
    ASSERT_TRUE(ok);
    // Reads of the update area come back with one bit flipped at 0x400100.
    board.probe.disturb = [](const std::vector<std::uint8_t>& frame, std::uint8_t& miso) {
        if (frame[0] != 0x03 || frame.size() < 5)
            return;
        const unsigned start = (frame[1] << 16) | (frame[2] << 8) | frame[3];
        if (start + frame.size() - 5 == 0x400100)
            miso ^= 0x01;
    };
    const QByteArray out = write(true, bitFile("new.bit", 100000, 3), &ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(out.endsWith("Writing new image: OK\nVerifying: FALSE!"));
    EXPECT_TRUE(board.blank(0, 0x1000));
    EXPECT_EQ(std::count_if(board.events.begin(), board.events.end(),
                            [](const std::string& e) { return e.rfind("pin26", 0) == 0; }),
              0);
}

TEST_F(Xapp1081WriterTest, RefusedFilesLeaveTheFlashUntouched)
{
    sim::SampleBitstream sample;
    sample.dataBytes = 4096;
    QByteArray truncated = sample.file();
    truncated.chop(10);
    QFile t(dir.filePath("truncated.bit"));
    t.open(QIODevice::WriteOnly);
    t.write(truncated);
    t.close();

    const QString fifo = dir.filePath("fifo.bit");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString directory = dir.filePath("dir.bit");
    ASSERT_TRUE(QDir().mkdir(directory));
    // Sparse: its size alone refuses it.
    QFile oversized(dir.filePath("oversized.bit"));
    ASSERT_TRUE(oversized.open(QIODevice::WriteOnly) && oversized.resize(0x400000 + 0x10000 + 1));
    oversized.close();
    sample.dataBytes = 40000;
    sample.corrupt = true;
    const QByteArray corrupt = sample.file();
    sample.corrupt = false;
    QByteArray foreign = sample.configurationData();
    foreign.replace(52, 4, "\x30\xA1\x00\x07", 4);  // 16-bit packets behind the sync word
    QByteArray reading = sample.configurationData();
    reading[72] = 0x28;  // WCFG's header turned into a read

    struct Case {
        bool update;
        QString file;
        QByteArray output;
    };
    const Case cases[] = {
        {true, fifo, fifo.toUtf8() + " is not a regular file!\n"},
        {false, directory, directory.toUtf8() + " is not a regular file!\n"},
        {true, oversized.fileName(),
         "File " + oversized.fileName().toUtf8() +
             " is too large: 4259841 bytes, a bitstream for this area has at most 4259840!\n"},
        {true, textFile("corrupt.bit", corrupt),
         "Bitstream corrupt: configuration CRC mismatch at byte 39972 of the image!\n"},
        {false, textFile("cut.bit", sample.file(sample.configurationData().left(40000 - 32))),
         "Bitstream truncated: no end of configuration before byte 39968 of the image!\n"},
        {true, textFile("spartan.bit", sample.file(foreign)), "Bitstream is not a 7-series configuration stream!\n"},
        {false, textFile("read.bit", sample.file(reading)),
         "Bitstream corrupt: invalid packet header at byte 72 of the image!\n"},
        {true, dir.filePath("missing.bit"), "File not found!\n"},
        {false, dir.filePath("missing.bit"), "File not found!\n"},
        {true, t.fileName(), "Bitstream truncated: header announces 4096 bytes, file holds 4086!\n"},
        {true, bitFile("huge.bit", 0x400004, 5), "Image too large: 4194308 bytes, the area holds 4194304!\n"},
        {false, textFile("notes.bit", "not a bitstream at all\n"),
         "No FPGA configuration in the file: the sync word 0xAA995566 is not in its first 1 KiB!\n"},
        {true, textFile("empty.bit", ""),
         "No FPGA configuration in the file: the sync word 0xAA995566 is not in its first 1 KiB!\n"},
        {false, bitFile("big.bit", 0x3FEFE4, 6), "Image too large: 4190180 bytes, the area holds 4190176!\n"},
    };
    bool ok = false;
    goldenHeaderInPlace();
    write(true, bitFile("old.bit", 100000, 2), &ok);
    const std::vector<std::uint8_t> before = board.memory;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        EXPECT_EQ(write(c.update, c.file, &ok), c.output);
        EXPECT_FALSE(ok);
        EXPECT_TRUE(board.probe.frames.empty());
        EXPECT_TRUE(board.memory == before);
    }
}

TEST_F(Xapp1081WriterTest, AnUpdateWithoutTheGoldenHeaderIsRefusedBeforeAnythingIsErased)
{
    bool ok = false;
    board.store(0x400000, QByteArray(0x20000, '\x5A'));  // an old update image stays as it is
    const std::vector<std::uint8_t> before = board.memory;
    EXPECT_EQ(write(true, bitFile("new.bit", 5000, 3), &ok),
              "No golden header at 0x001000: write the golden image first!\n");
    EXPECT_FALSE(ok);
    EXPECT_TRUE(board.memory == before);
    // Its only bus traffic: the read of the header's 32 bytes.
    ASSERT_EQ(board.probe.frames.size(), 1u);
    EXPECT_EQ(board.probe.frames[0].size(), 36u);
    EXPECT_EQ(std::vector<std::uint8_t>(board.probe.frames[0].begin(), board.probe.frames[0].begin() + 4),
              (std::vector<std::uint8_t>{0x03, 0x00, 0x10, 0x00}));
}

// A chip that stays busy, or a switch word that does not read back: the step
// ends with " FALSE!", nothing later runs, and the FPGA is not rebooted.
TEST_F(Xapp1081WriterTest, AnAbandonedEraseOrProgramOrAMissingSwitchWordFailsItsStep)
{
    using Frame = std::vector<std::uint8_t>;
    // From the first frame for which starts() holds on, every status read says busy.
    const auto busyFrom = [](std::function<bool(const Frame&)> starts) {
        return [starts, stuck = false](const Frame& frame, std::uint8_t& miso) mutable {
            stuck = stuck || starts(frame);
            if (stuck && frame[0] == 0x05 && frame.size() == 2)
                miso |= 0x01;
        };
    };
    const auto opcode = [](std::uint8_t op) { return [op](const Frame& f) { return f[0] == op; }; };
    struct Case {
        const char* name;
        bool update;
        FrameProbe::Disturb disturb;
        QByteArray outputEnd;
        std::uint8_t lastCommand;  // the last erase or program frame sent
    };
    const Case cases[] = {
        {"header erase", true, busyFrom(opcode(0x20)), "Erasing header area: FALSE!", 0x20},
        {"update area erase", true, busyFrom(opcode(0xD8)), "Erasing update boot area: FALSE!", 0xD8},
        {"golden area erase", false, busyFrom(opcode(0xD8)), "Erasing golden boot area: FALSE!", 0xD8},
        {"image program", true, busyFrom(opcode(0x02)), "Writing new image: FALSE!", 0x02},
        {"switch word program", true,
         busyFrom([](const Frame& f) { return f.size() >= 4 && f[0] == 0x02 && f[2] == 0x0F && f[3] == 0xFC; }),
         "Writing header: FALSE!", 0x02},
        {"switch word read back", true,
         [](const Frame& f, std::uint8_t& miso) {
             if (f[0] == 0x03 && f.size() == 8 && f[1] == 0x00 && f[2] == 0x0F && f[3] == 0xFC)
                 miso = 0x00;
         },
         "Writing header: FALSE!", 0x02},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualLumo3 fresh;
        board.memory = fresh.memory;
        bool ok = false;
        // Sectors with data in both areas, so that each has something to erase.
        goldenHeaderInPlace();
        board.store(0x10000, QByteArray(16, '\x00'));
        board.store(0x400000, QByteArray(16, '\x00'));
        board.probe.disturb = c.disturb;
        const QByteArray out = write(c.update, bitFile("new.bit", 5000, 3), &ok);
        board.probe.disturb = nullptr;
        EXPECT_FALSE(ok);
        EXPECT_TRUE(out.endsWith(c.outputEnd)) << out.toStdString();
        const auto& frames = board.probe.frames;
        const auto last = std::find_if(frames.rbegin(), frames.rend(), [](const Frame& f) {
            return f[0] == 0x20 || f[0] == 0xD8 || f[0] == 0x02;
        });
        ASSERT_NE(last, frames.rend());
        EXPECT_EQ((*last)[0], c.lastCommand);
        EXPECT_EQ(std::count_if(board.events.begin(), board.events.end(),
                                [](const std::string& e) { return e.rfind("pin26", 0) == 0; }),
                  0);
    }
}

TEST_F(Xapp1081WriterTest, TheVendorsFilesAreCheckedAndTheArtix7OneWritten)
{
    QByteArray artix7;
    QByteArray spartan6;
    if (!loadSharedBitstream("artix7-35t-compressed.bit", artix7) || !loadSharedBitstream("spartan6-lx9.bit", spartan6))
        GTEST_SKIP() << "no ../shared/bitstreams beside the checkout";
    // Cut after its first FDRI packet, the header's length made to match.
    QByteArray cut = artix7.left(113 + 1868);
    char length[4];
    qToBigEndian(quint32{1868}, length);
    cut.replace(109, 4, length, 4);
    auto flipped = [&artix7](int at, char mask) {
        QByteArray file = artix7;
        file[113 + at] = static_cast<char>(file[113 + at] ^ mask);
        return file;
    };
    struct Case {
        bool update;
        QString file;
        QByteArray output;
    };
    const Case cases[] = {
        {true, textFile("fdri.bit", flipped(653, 0x04)),
         "Bitstream corrupt: configuration CRC mismatch at byte 668888 of the image!\n"},
        {false, textFile("idcode.bit", flipped(151, 0x01)),
         "Bitstream corrupt: configuration CRC mismatch at byte 668888 of the image!\n"},
        {true, textFile("cut.bit", cut), "Bitstream truncated: no end of configuration before byte 1868 of the image!\n"},
        {false, textFile("spartan6.bit", spartan6), "Bitstream is not a 7-series configuration stream!\n"},
    };
    bool ok = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        EXPECT_EQ(write(c.update, c.file, &ok), c.output);
        EXPECT_FALSE(ok);
        EXPECT_TRUE(board.probe.frames.empty());
        EXPECT_TRUE(board.blank(0, 0x800000));
    }

    write(false, textFile("artix7.bit", artix7), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(board.bytes(0x1020, artix7.size() - 113), artix7.mid(113));
}

// The golden image names the board's FPGA, unless it is damaged or absent.
TEST_F(Xapp1081WriterTest, AnImageForAnotherPartThanTheGoldenImageIsRefused)
{
    auto stream = [](quint32 idcode, bool corrupt) {
        sim::SampleBitstream sample;
        sample.dataBytes = 200000;
        sample.idcode = idcode;
        sample.corrupt = corrupt;
        return sample;
    };
    const QByteArray xc7a35t = stream(0x0362D093, false).configurationData();
    const QByteArray refusal = "Bitstream is for FPGA 0x03631093, the board's golden image for 0x0362D093! If the "
                               "board's FPGA is the 0x03631093, set fpga_idcode = 0x03631093 in "
                               "/etc/lumo3update.conf.\n";
    struct Case {
        const char* name;
        bool update;
        quint32 idcode;
        QByteArray golden;  // behind the golden header; empty: a blank golden area
        QByteArray output;  // empty: written
    };
    const Case cases[] = {
        {"update for another part", true, 0x03631093, xc7a35t, refusal},
        {"golden image for another part", false, 0x03631093, xc7a35t, refusal},
        {"another revision of the same part", true, 0x1362D093, xc7a35t, ""},
        {"golden image corrupt", true, 0x03631093, stream(0x0362D093, true).configurationData(), ""},
        {"golden image cut", false, 0x03631093, xc7a35t.left(100000), ""},
        {"golden area blank", false, 0x03631093, QByteArray(), ""},
    };
    bool ok = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::fill(board.memory.begin(), board.memory.end(), 0xFF);
        if (!c.golden.isEmpty())
            board.store(0x1000, xapp1081::goldenHeader() + c.golden);
        const std::vector<std::uint8_t> before = board.memory;
        sim::SampleBitstream sample = stream(c.idcode, false);
        sample.seed = 2;
        const QByteArray out = write(c.update, textFile("new.bit", sample.file()), &ok);
        if (c.output.isEmpty()) {
            EXPECT_TRUE(ok);
            EXPECT_TRUE(out.endsWith("Booting FPGA: OK\n")) << out.toStdString();
            EXPECT_EQ(board.bytes(c.update ? 0x400000 : 0x1020, 200000), sample.configurationData());
            continue;
        }
        EXPECT_FALSE(ok);
        EXPECT_EQ(out, c.output);
        EXPECT_TRUE(board.memory == before);
        // Nothing on the bus but reads: the update's of the golden header,
        // then the golden image's first 4 KiB, and on, doubling, to its end.
        std::vector<std::pair<unsigned, unsigned>> reads;
        for (const std::vector<std::uint8_t>& f : board.probe.frames) {
            ASSERT_EQ(f.at(0), 0x03);
            reads.emplace_back((f[1] << 16) | (f[2] << 8) | f[3], static_cast<unsigned>(f.size() - 4));
        }
        std::vector<std::pair<unsigned, unsigned>> expected = {{0x1020, 4096},   {0x2020, 4096},  {0x3020, 8192},
                                                               {0x5020, 16384},  {0x9020, 32768}, {0x11020, 65536},
                                                               {0x21020, 131072}};
        if (c.update)
            expected.insert(expected.begin(), {0x1000, 32});
        EXPECT_EQ(reads, expected);
    }
}

TEST_F(Xapp1081WriterTest, AFlashThatNeverAnswersAfterTheRebootFails)
{
    bool ok = false;
    bool pulsed = false;
    board.wiring.onLineChange(26, [&pulsed](bool) { pulsed = true; });
    board.probe.disturb = [&pulsed](const std::vector<std::uint8_t>& frame, std::uint8_t& miso) {
        if (pulsed && frame[0] == 0x9E)
            miso = 0xFF;
    };
    const QByteArray out = write(false, bitFile("gold.bit", 5000, 1), &ok, 300);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(out.endsWith("Verifying: OK\nBooting FPGA: FALSE!"));
    // The bound is counted in the board's time, 1 ms between tries.
    EXPECT_GE(board.clock.spent(sim::TimeKind::Wait), 300 * sim::kMillisecond);
    EXPECT_LT(board.clock.spent(sim::TimeKind::Wait), 400 * sim::kMillisecond);
}

}  // namespace
