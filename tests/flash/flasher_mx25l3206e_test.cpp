// The MX25L3206E updater on a recording worker: the exact bus sequence with
// its waits, the frame layouts, the comparison, and every way a run can fail.

#include "FdCapture.h"
#include "ScriptedMx25.h"
#include "WorkingDirectory.h"
#include "Flasher_MX25L3206E.h"

#include <gtest/gtest.h>

#include <QFile>

#include <functional>
#include <memory>
#include <new>
#include <numeric>
#include <optional>
#include <stdexcept>

using namespace test_support;
using Op = RecordingWorker::Op;

namespace {

// The bus sequence of a run as the update procedure lists it.
class ExpectedRun {
public:
    std::vector<std::string> words;

    void add(std::initializer_list<std::string> w) { words.insert(words.end(), w); }
    void writeStatus(const std::string& value)
    {
        add({"WREN", "wait 6", "WRSR " + value, "wait 10", "RDSR", "WRDI", "wait 6"});
    }
    void unprotect() { writeStatus("03"); }
    void protect() { writeStatus("3F"); }
    void readBack()
    {
        unprotect();
        for (std::uint32_t i = 0; i < 64; ++i)
            add({"READ " + hex(i * 0xFFFF, 6)});
    }
    void erase(int busyReads)
    {
        unprotect();
        add({"WREN", "wait 6", "CE", "wait 30"});
        for (int i = 0; i < busyReads; ++i)
            add({"RDSR", "wait 10"});
        add({"RDSR", "WRDI", "wait 6"});
        protect();
    }
    void program(std::size_t size)
    {
        unprotect();
        add({"WREN", "wait 6"});
        for (std::size_t page = 0; page * 256 < size; ++page)
            add({"WREN", "wait 6", "PP " + hex(static_cast<std::uint32_t>(page * 256), 6), "wait 3", "RDSR"});
        add({"WRDI", "wait 6"});
        protect();
    }

    static std::vector<std::string> successful(std::size_t size, int busyReads)
    {
        ExpectedRun run;
        run.add({"DONE?", "GPIO25 high"});
        run.unprotect();
        run.add({"REMS"});
        run.readBack();
        run.erase(busyReads);
        run.program(size);
        run.readBack();
        run.add({"DONE?", "GPIO25 low"});
        return run.words;
    }
};

struct Mx25FlasherTest : ::testing::Test {
    WorkingDirectory dir;
    std::shared_ptr<RecordingWorker> worker = std::make_shared<RecordingWorker>();
    ScriptedChip chip;

    void SetUp() override { chip.attach(*worker); }

    Output tryFlash(int& result, bool onTerminal = false)
    {
        auto run = [&] {
            Flasher_MX25L3206E flasher(worker);
            result = flasher.try_flash();
        };
        return onTerminal ? capturedOnTerminal(run) : captured(run);
    }

    std::size_t count(const std::string& word) const
    {
        const std::vector<std::string> trace = flashTrace(worker->calls);
        return static_cast<std::size_t>(std::count(trace.begin(), trace.end(), word));
    }
};

TEST_F(Mx25FlasherTest, SuccessfulRunSendsTheListedSequenceWithItsWaits)
{
    const QByteArray file = pattern(300, 1);
    dir.write("fw.bin", file);
    int result = 1;
    // On a terminal, as a person runs it: with the erase spinner.
    const Output output = tryFlash(result, true);

    EXPECT_EQ(result, 0);
    EXPECT_EQ(flashTrace(worker->calls), ExpectedRun::successful(300, 2));
    EXPECT_EQ(chip.contents(300), file);
    EXPECT_FALSE(dir.exists("fw.bin"));
    EXPECT_EQ(lines(output.out), (QStringList{"REMS. Manufacturer ID: c2, Device ID: 15",
                                              "begin read current firmware...",
                                              "current firmware read",
                                              "Loading firmware from file fw.bin...",
                                              "file size = 300",
                                              "File loaded",
                                              "comparing: res=false",
                                              "begin erasing...",
                                              spinnerLine(2),
                                              "flash_() flashing...",
                                              "End of flash_()",
                                              "begin read current firmware...",
                                              "current firmware read",
                                              "comparing: res=true"}));
    EXPECT_EQ(output.log, (QStringList{"PIN_FPGA_DONE NOT OK", "Firmware erased", "PIN_FPGA_DONE NOT OK",
                                       "Firmware flashed! is_PIN_FPGA_DONE= false"}));
    EXPECT_TRUE(output.err.isEmpty());
}

TEST_F(Mx25FlasherTest, PageFramesCarryTheFileAndPadTheLastPageWithFF)
{
    struct Case {
        int size;
        std::vector<std::uint32_t> addresses;
        int lastPageFileBytes;
    };
    const Case cases[] = {
        {300, {0x000000, 0x000100}, 44},
        {512, {0x000000, 0x000100}, 256},
        {256, {0x000000}, 256},
        {1, {0x000000}, 1},
        {0x10000 + 256, {}, 256},  // crosses into address byte 23-16
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        worker->calls.clear();
        const QByteArray file = pattern(c.size, c.size);
        dir.write("fw.bin", file);
        int result = 1;
        tryFlash(result);
        EXPECT_EQ(result, 0);

        const auto pages = framesWithOpcode(*worker, 0x02);
        ASSERT_EQ(pages.size(), static_cast<std::size_t>((c.size + 255) / 256));
        for (std::size_t i = 0; i < pages.size(); ++i) {
            const std::vector<std::uint8_t>& tx = pages[i]->tx;
            ASSERT_EQ(tx.size(), 260u);
            const std::uint32_t address = tx[1] << 16 | tx[2] << 8 | tx[3];
            EXPECT_EQ(address, i * 256);
            if (!c.addresses.empty()) {
                EXPECT_EQ(address, c.addresses.at(i));
            }
            const int fileBytes = i + 1 == pages.size() ? c.lastPageFileBytes : 256;
            EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(tx.data()) + 4, fileBytes),
                      file.mid(static_cast<int>(i * 256), fileBytes));
            EXPECT_EQ(std::count(tx.begin() + 4 + fileBytes, tx.end(), 0xFF), 256 - fileBytes);
        }
    }
}

TEST_F(Mx25FlasherTest, ReadBackIs64FramesOfWholeChunks)
{
    std::vector<char> image;
    const Output output = captured([&] {
        Flasher_MX25L3206E flasher(worker);
        flasher.read_current_firmware_from_plis_to(image);
    });
    EXPECT_EQ(lines(output.out), (QStringList{"begin read current firmware...", "current firmware read"}));

    const auto reads = framesWithOpcode(*worker, 0x03);
    ASSERT_EQ(reads.size(), 64u);
    for (std::size_t i = 0; i < reads.size(); ++i) {
        ASSERT_EQ(reads[i]->tx.size(), 65539u);
        const std::uint32_t address = reads[i]->tx[1] << 16 | reads[i]->tx[2] << 8 | reads[i]->tx[3];
        EXPECT_EQ(address, i * 0xFFFF);
    }
    EXPECT_EQ(hex(reads.back()->tx[1] << 16 | reads.back()->tx[2] << 8 | reads.back()->tx[3], 6), "3EFFC1");

    // A blank chip: 4,194,240 bytes of 0xFF, then 63 bytes never read.
    ASSERT_EQ(image.size(), 4194303u);
    EXPECT_EQ(std::count(image.begin(), image.begin() + 4194240, static_cast<char>(0xFF)), 4194240);
    EXPECT_EQ(std::count(image.begin() + 4194240, image.end(), 0), 63);
}

TEST_F(Mx25FlasherTest, StatusWritesAreBracketedByTheLatchWithTheirWaits)
{
    captured([&] {
        Flasher_MX25L3206E flasher(worker);
        flasher.disable_block_protection();
        flasher.enable_block_protection();
    });
    EXPECT_EQ(flashTrace(worker->calls),
              (std::vector<std::string>{"WREN", "wait 6", "WRSR 03", "wait 10", "RDSR", "WRDI", "wait 6", "WREN",
                                        "wait 6", "WRSR 3F", "wait 10", "RDSR", "WRDI", "wait 6"}));
}

TEST_F(Mx25FlasherTest, IdentificationPrintsHexWithoutLeadingZerosAndAnotherChipIsNotErased)
{
    struct Case {
        std::uint8_t manufacturer, device;
        QString line;
        int result;
        QString next;  // the line after the identification
    };
    const Case cases[] = {
        {0xC2, 0x15, "REMS. Manufacturer ID: c2, Device ID: 15", 0, "begin read current firmware..."},
        {0x05, 0x00, "REMS. Manufacturer ID: 5, Device ID: 0", -1,
         "Flash is not an MX25L3206E (REMS 5 0, expected c2 15), flash not erased"},
        {0xFF, 0xFF, "REMS. Manufacturer ID: ff, Device ID: ff", -1,
         "Flash is not an MX25L3206E (REMS ff ff, expected c2 15), flash not erased"},
    };
    for (const Case& c : cases) {
        dir.write("fw.bin", pattern(300, 9));
        chip.manufacturer = c.manufacturer;
        chip.device = c.device;
        chip.memory.assign(chip.memory.size(), 0x5A);
        int result = 1;
        const Output output = tryFlash(result);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(lines(output.out).value(0), c.line);
        EXPECT_TRUE(lines(output.out).value(1).startsWith(c.next)) << output.out.toStdString();
        EXPECT_EQ(chip.memory[1000] == 0x5A, c.result != 0);  // erased only for the MX25L3206E
    }
}

TEST(Mx25FlasherCompare, ComparesOverTheFileAndNeverPastEitherBuffer)
{
    struct Case {
        const char* what;
        std::vector<char> image;
        std::vector<char> file;
        bool result;
        QStringList out;
    };
    const std::vector<char> image = bytes(pattern(1000, 3));
    std::vector<char> lastByteDiffers = bytes(pattern(1000, 3));
    lastByteDiffers.back() ^= 1;
    std::vector<char> longer = image;
    longer.push_back(0);
    const Case cases[] = {
        {"file equals the image's start", image, bytes(pattern(600, 3)), true, {"comparing: res=true"}},
        {"file equals the image", image, image, true, {"comparing: res=true"}},
        {"last byte differs", image, lastByteDiffers, false, {"comparing: res=false"}},
        {"file longer than the image", image, longer, false, {"comparing: res=false"}},
        {"image empty", {}, image, false, {}},
        {"file empty", image, {}, false, {}},
    };
    auto worker = std::make_shared<RecordingWorker>();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool result = !c.result;
        const Output output = captured([&] {
            Flasher_MX25L3206E flasher(worker);
            result = flasher.compare_firmwares(c.image, c.file);
        });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(lines(output.out), c.out);
    }
    EXPECT_TRUE(worker->calls.empty());
}

TEST(Mx25FlasherNotReady, SendsNoLatchOrStatusFramesAndReadsZeros)
{
    auto worker = std::make_shared<RecordingWorker>(false);
    std::vector<char> image;
    bool done = true;
    const Output output = captured([&] {
        Flasher_MX25L3206E flasher(worker);
        flasher.set_WEL_status(Flasher_MX25L3206E::WEL_SET);
        flasher.enable_block_protection();
        flasher.read_current_firmware_from_plis_to(image);
        done = flasher.check_PIN_FPGA_DONE();
    });
    EXPECT_FALSE(done);
    EXPECT_EQ(output.log, QStringList{"PIN_FPGA_DONE NOT OK"});
    EXPECT_EQ(framesWithOpcode(*worker, 0x06).size() + framesWithOpcode(*worker, 0x04).size() +
                  framesWithOpcode(*worker, 0x01).size(),
              0u);
    EXPECT_EQ(framesWithOpcode(*worker, 0x03).size(), 64u);
    EXPECT_EQ(std::count(image.begin(), image.end(), 0), 4194303);
    EXPECT_EQ(lines(output.out), (QStringList{"begin read current firmware...", "current firmware read"}));
}

TEST(Mx25FlasherCheckDone, ReadsGpio13UnderTheLock)
{
    struct Case {
        PIN_State level;
        bool done;
        const char* message;
    };
    const Case cases[] = {{PIN_HIGH, true, "PIN_FPGA_DONE OK"},
                          {PIN_LOW, false, "PIN_FPGA_DONE NOT OK"},
                          {PIN_UNDEFINED, false, "PIN_FPGA_DONE NOT OK"}};
    for (const Case& c : cases) {
        auto worker = std::make_shared<RecordingWorker>();
        worker->pinLevels[13] = c.level;
        bool done = !c.done;
        const Output output = captured([&] {
            Flasher_MX25L3206E flasher(worker);
            done = flasher.check_PIN_FPGA_DONE();
        });
        EXPECT_EQ(done, c.done);
        EXPECT_EQ(output.log, QStringList{c.message});
        ASSERT_EQ(worker->calls.size(), 1u);
        EXPECT_EQ(worker->calls[0].op, Op::GetPin);
        EXPECT_EQ(worker->calls[0].pin, 13u);
    }
}

// --- the failure table ---

TEST_F(Mx25FlasherTest, NotReadyReturnsAtOnceWithoutOutput)
{
    worker->initialized = false;
    dir.write("fw.bin", pattern(300, 1));
    int result = 0;
    const Output output = tryFlash(result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(worker->calls.empty());
    EXPECT_TRUE(output.out.isEmpty());
    EXPECT_TRUE(output.err.isEmpty());
    EXPECT_TRUE(output.log.isEmpty());
    EXPECT_TRUE(dir.exists("fw.bin"));
}

TEST_F(Mx25FlasherTest, NoBinFileLeavesGpio25Untouched)
{
    dir.write("fw.bit", pattern(300, 1));
    QDir(dir.path()).mkdir(".hidden.bin");
    int result = 0;
    const Output output = tryFlash(result);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(output.log, QStringList{"No *.bin files for firmware"});
    EXPECT_TRUE(output.out.isEmpty());
    EXPECT_TRUE(worker->calls.empty());
}

// Takes the firmware file away when the flasher reads the DONE line for the
// given time (the first read comes before the file is opened, the second
// after the verification, before the file is deleted), or moves another one
// in over its name (as scp then mv does) when given one.
class FileThief : public RecordingWorker {
public:
    FileThief(QString path, int atDoneRead, QByteArray replacement = QByteArray())
        : path_(std::move(path)), atDoneRead_(atDoneRead), replacement_(std::move(replacement))
    {
    }
    PIN_State get_pin_state(unsigned char pin) override
    {
        if (pin == 13 && ++doneReads_ == atDoneRead_) {
            QFile::remove(path_);
            QFile next(path_ + ".tmp");
            if (!replacement_.isEmpty() && next.open(QIODevice::WriteOnly) && next.write(replacement_) > 0) {
                next.close();
                QFile::rename(next.fileName(), path_);
            }
        }
        return RecordingWorker::get_pin_state(pin);
    }

private:
    QString path_;
    int atDoneRead_;
    QByteArray replacement_;
    int doneReads_ = 0;
};

TEST_F(Mx25FlasherTest, AFileGoneWhenItIsOpenedStopsBeforeTheErase)
{
    struct Case {
        const char* what;
        std::function<void()> prepare;
        QString refusal;
    };
    const QString name = QDir(dir.path()).filePath("fw.bin");
    const Case cases[] = {
        {"gone when it is opened",
         [&] {
             dir.write("fw.bin", pattern(300, 1));
             auto thief = std::make_shared<FileThief>(name, 1);
             chip.attach(*thief);
             worker = thief;
         },
         "File fw.bin not opened: No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(name);
        QDir(dir.path()).rmdir("fw.bin");
        worker = std::make_shared<RecordingWorker>();
        chip.attach(*worker);
        c.prepare();
        int result = 0;
        const Output output = tryFlash(result);
        EXPECT_EQ(result, -1);
        const QStringList out = lines(output.out);
        EXPECT_EQ(out.mid(3), (QStringList{"Loading firmware from file fw.bin...", c.refusal}));
        EXPECT_EQ(count("CE"), 0u);
        const std::vector<std::string> trace = flashTrace(worker->calls);
        EXPECT_EQ(trace.front(), "DONE?");
        EXPECT_EQ(trace.at(1), "GPIO25 high");
        EXPECT_EQ(trace.back(), "GPIO25 low");
        EXPECT_EQ(output.log, QStringList{"PIN_FPGA_DONE NOT OK"});
    }
}

TEST_F(Mx25FlasherTest, FirstBinFileByNameIgnoringCaseIsUsed)
{
    dir.write("B.bin", pattern(300, 1));
    dir.write("a.BIN", pattern(200, 2));
    int result = 1;
    const Output output = tryFlash(result);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(output.out.contains("Loading firmware from file a.BIN...\nfile size = 200\n"));
    EXPECT_FALSE(dir.exists("a.BIN"));
    EXPECT_TRUE(dir.exists("B.bin"));
}

TEST_F(Mx25FlasherTest, VerificationFailureNamesWhetherTheFileWasAlreadyInTheChip)
{
    struct Case {
        bool fileInChip;
        QString comparing;
        QString reason;
    };
    const Case cases[] = {
        {true, "comparing: res=true", "Current firmware is same in file."},
        {false, "comparing: res=false", "Error on flashing firmware."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason.toStdString());
        worker->calls.clear();
        const QByteArray file = pattern(1000, 5);
        chip.memory.assign(ScriptedChip::kSize, 0xFF);
        if (c.fileInChip)
            chip.load(file);
        chip.programs = false;
        dir.write("fw.bin", file);
        int result = 0;
        const Output output = tryFlash(result);

        EXPECT_EQ(result, -1);
        EXPECT_EQ(lines(output.out).value(6), c.comparing);
        EXPECT_EQ(lines(output.out).last(), "comparing: res=false");
        EXPECT_EQ(output.log.last(), "Firmware not flashed.  " + c.reason);
        EXPECT_EQ(count("PP 000000"), 1u);  // erased and programmed all the same
        EXPECT_TRUE(dir.exists("fw.bin"));
        EXPECT_EQ(flashTrace(worker->calls).back(), "GPIO25 low");
    }
}

TEST_F(Mx25FlasherTest, AFileReplacedDuringTheUpdateIsKeptForTheNextRun)
{
    const QByteArray newer = pattern(400, 2);
    auto thief = std::make_shared<FileThief>(QDir(dir.path()).filePath("fw.bin"), 2, newer);
    chip.attach(*thief);
    worker = thief;
    dir.write("fw.bin", pattern(300, 1));
    int result = 1;
    const Output output = tryFlash(result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(output.log.mid(output.log.size() - 2),
              (QStringList{"Firmware flashed! is_PIN_FPGA_DONE= false",
                           "Flasher: \"fw.bin\" changed during the update, kept for the next run"}));
    QFile kept(QDir(dir.path()).filePath("fw.bin"));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), newer);
    EXPECT_EQ(flashTrace(worker->calls).back(), "GPIO25 low");
}

// Listed like files, but a directory would open as an empty file and a
// device be read for ever: neither is a candidate, and nothing is erased.
TEST_F(Mx25FlasherTest, EntriesThatAreNoRegularFilesArePassedOver)
{
    const QString name = QDir(dir.path()).filePath("fw.bin");
    for (const auto& make : std::vector<std::function<void()>>{[&] { QDir(dir.path()).mkdir("fw.bin"); },
                                                               [&] { QFile::link("/dev/zero", name); }}) {
        QFile::remove(name);
        QDir(dir.path()).rmdir("fw.bin");
        make();
        int result = 0;
        const Output output = tryFlash(result);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(output.log, (QStringList{"Flasher: \"fw.bin\" is not a regular file, passed over",
                                           "No *.bin files for firmware"}));
        EXPECT_EQ(count("CE"), 0u);
    }
    // Beside a directory listed first, the file is applied.
    QDir(dir.path()).mkdir("a.bin");
    dir.write("b.bin", pattern(300, 1));
    int result = 1;
    const Output output = tryFlash(result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(output.log.value(0), "Flasher: \"a.bin\" is not a regular file, passed over");
    EXPECT_EQ(count("CE"), 1u);
}

TEST_F(Mx25FlasherTest, DoneLineIsReportedButDoesNotDecideTheResult)
{
    struct Case {
        PIN_State level;
        QString check;
        QString flashed;
    };
    const Case cases[] = {
        {PIN_LOW, "PIN_FPGA_DONE NOT OK", "Firmware flashed! is_PIN_FPGA_DONE= false"},
        {PIN_HIGH, "PIN_FPGA_DONE OK", "Firmware flashed! is_PIN_FPGA_DONE= true"},
    };
    for (const Case& c : cases) {
        worker->pinLevels[13] = c.level;
        dir.write("fw.bin", pattern(300, 1));
        int result = 1;
        const Output output = tryFlash(result);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(output.log, (QStringList{c.check, "Firmware erased", c.check, c.flashed}));
        EXPECT_FALSE(dir.exists("fw.bin"));
    }
}

// --- the departures ---

TEST_F(Mx25FlasherTest, EmptyOrOverlongFileIsRefusedByItsSizeBeforeTheErase)
{
    struct Case {
        int size;
        QString refusal;
    };
    const Case cases[] = {
        {0, "File fw.bin is empty, flash not erased"},
        {4194241, "File fw.bin is too large (4194241 bytes, at most 4194240), flash not erased"},
        {4194304, "File fw.bin is too large (4194304 bytes, at most 4194240), flash not erased"},
    };
    const QByteArray old = pattern(5000, 8);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        worker->calls.clear();
        chip.memory.assign(ScriptedChip::kSize, 0xFF);
        chip.load(old);
        dir.write("fw.bin", pattern(c.size, 4));
        int result = 0;
        const Output output = tryFlash(result);

        EXPECT_EQ(result, -1);
        EXPECT_EQ(lines(output.out).mid(3),
                  (QStringList{"Loading firmware from file fw.bin...", QStringLiteral("file size = %1").arg(c.size),
                               c.refusal}));
        EXPECT_EQ(count("CE") + count("PP 000000"), 0u);
        EXPECT_EQ(chip.contents(old.size()), old);
        EXPECT_EQ(flashTrace(worker->calls).back(), "GPIO25 low");
        EXPECT_TRUE(dir.exists("fw.bin"));
        EXPECT_EQ(output.log, QStringList{"PIN_FPGA_DONE NOT OK"});
    }
}

TEST_F(Mx25FlasherTest, FileOfTheWholeVerifiedLengthIsFlashed)
{
    const QByteArray file = pattern(4194240, 6);
    dir.write("fw.bin", file);
    int result = 1;
    tryFlash(result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(framesWithOpcode(*worker, 0x02).size(), 16384u);
    EXPECT_EQ(chip.contents(file.size()), file);
    EXPECT_FALSE(dir.exists("fw.bin"));
}

TEST_F(Mx25FlasherTest, ErasePollIsPacedByTenMillisecondWaits)
{
    chip.eraseBusyReads = 5;
    dir.write("fw.bin", pattern(300, 1));
    int result = 1;
    const Output output = tryFlash(result, true);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(flashTrace(worker->calls), ExpectedRun::successful(300, 5));
    EXPECT_TRUE(lines(output.out).contains(spinnerLine(5)));
}

// The status reads after `command` up to the next frame of another kind, and
// the waits among them from the command on.
struct Poll {
    std::size_t reads = 0;
    unsigned long long waitedMs = 0;
};

Poll pollAfter(const std::vector<std::string>& trace, const std::string& command)
{
    const auto found = std::find(trace.begin(), trace.end(), command);
    if (found == trace.end()) {
        ADD_FAILURE() << "no " << command;
        return {};
    }
    Poll poll;
    for (auto it = found + 1; it != trace.end(); ++it) {
        if (*it == "RDSR")
            ++poll.reads;
        else if (it->rfind("wait ", 0) == 0 && it + 1 != trace.end() && it[1] == "RDSR")
            poll.waitedMs += std::stoull(it->substr(5));
        else if (it->rfind("wait ", 0) != 0)
            break;
    }
    return poll;
}

TEST_F(Mx25FlasherTest, EraseThatNeverEndsIsAbandonedAtTheBoundAndTheRunSaysSo)
{
    // With the file already in the chip, the verification's message would
    // say so, and hide that the chip was erased.
    for (const bool fileInChip : {false, true}) {
        SCOPED_TRACE(fileInChip);
        worker->calls.clear();
        const QByteArray file = pattern(300, 1);
        chip.memory.assign(ScriptedChip::kSize, 0xFF);
        if (fileInChip)
            chip.load(file);
        chip.stuckBusy = true;
        dir.write("fw.bin", file);
        int result = 0;
        const Output output = tryFlash(result, true);
        EXPECT_EQ(result, -1);

        const std::vector<std::string> trace = flashTrace(worker->calls);
        const Poll erase = pollAfter(trace, "CE");
        EXPECT_EQ(erase.waitedMs, Flasher_MX25L3206E::MX25_ERASE_BOUND_MS);
        EXPECT_EQ(erase.reads, 9998u);
        EXPECT_EQ(count("PP 000000"), 0u);
        EXPECT_EQ(framesWithOpcode(*worker, 0x03).size(), 128u);

        const QStringList out = lines(output.out);
        const int spinner = out.indexOf(spinnerLine(static_cast<int>(erase.reads)));
        ASSERT_GE(spinner, 0);
        const QString statusWrite = "Status register write not finished after 500 ms";
        EXPECT_EQ(out.mid(spinner + 1),
                  (QStringList{"Chip erase not finished after 100000 ms, flash not programmed", statusWrite,
                               "begin read current firmware...", statusWrite, "current firmware read",
                               "comparing: res=false"}));
        EXPECT_FALSE(output.log.contains("Firmware erased"));
        EXPECT_EQ(output.log.last(), "Firmware not flashed.  Chip erase not finished.");
        EXPECT_EQ(trace.back(), "GPIO25 low");
        EXPECT_TRUE(dir.exists("fw.bin"));
    }
}

TEST_F(Mx25FlasherTest, PagesAndStatusWritesAreWaitedForOneReadPerMillisecondUpToTheirBounds)
{
    struct Case {
        const char* what;
        int pageBusyReads;
        int statusBusyReads;
        std::optional<std::uint32_t> stuckAtPage;
        std::string command;  // the first command whose wait is looked at
        Poll poll;
        int result;
    };
    const Case cases[] = {
        {"quick chip", 0, 0, {}, "PP 000000", {1, 3}, 0},
        {"page busy for 4 ms more", 4, 0, {}, "PP 000000", {5, 7}, 0},
        {"status write busy for 2 ms more", 0, 2, {}, "WRSR 03", {3, 12}, 0},
        // A read at 3 ms, then one a millisecond until the last at 50 ms.
        {"second page never finishes", 0, 0, 0x000100u, "PP 000100", {48, 50}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        worker->calls.clear();
        chip.memory.assign(ScriptedChip::kSize, 0xFF);
        chip.pageBusyReads = c.pageBusyReads;
        chip.statusBusyReads = c.statusBusyReads;
        chip.stuckAtPage = c.stuckAtPage;
        chip.stuckBusy = false;
        const QByteArray file = pattern(300, 2);
        dir.write("fw.bin", file);
        int result = 1;
        const Output output = tryFlash(result);
        EXPECT_EQ(result, c.result);

        const std::vector<std::string> trace = flashTrace(worker->calls);
        const Poll poll = pollAfter(trace, c.command);
        EXPECT_EQ(poll.reads, c.poll.reads);
        EXPECT_EQ(poll.waitedMs, c.poll.waitedMs);
        const auto command = std::find(trace.begin(), trace.end(), c.command);
        ASSERT_NE(command, trace.end());
        EXPECT_EQ(command[1], c.command[0] == 'P' ? "wait 3" : "wait 10");
        EXPECT_EQ(command[2], "RDSR");
        if (c.result == 0) {
            EXPECT_EQ(chip.contents(300), file);
            EXPECT_EQ(output.log.last(), "Firmware flashed! is_PIN_FPGA_DONE= false");
            continue;
        }
        // Programming stops; the closing steps run and the verification fails.
        EXPECT_EQ(count("PP 000000") + count("PP 000100"), 2u);
        EXPECT_EQ(command[2 * static_cast<std::ptrdiff_t>(poll.reads) + 1], "WRDI");
        const QStringList out = lines(output.out);
        const int stopped = out.indexOf("Page program not finished after 50 ms at 0x000100, programming stopped");
        ASSERT_GE(stopped, 0);
        EXPECT_EQ(out.mid(stopped + 1, 2),
                  (QStringList{"Status register write not finished after 500 ms", "End of flash_()"}));
        // This chip answers reads while busy, with the page in place: a
        // matching read-back does not make the abandoned page a success.
        EXPECT_EQ(out.last(), "comparing: res=true");
        EXPECT_EQ(output.log.last(), "Firmware not flashed.  Page program not finished.");
        EXPECT_EQ(trace.back(), "GPIO25 low");
        EXPECT_TRUE(dir.exists("fw.bin"));
    }
}

// Fails once the transfer with the given number has gone out, and at every
// call after it when `forGood` is set.
class FailingWorker : public RecordingWorker {
public:
    FailingWorker(int atTransfer, std::function<void()> fail, bool forGood)
        : atTransfer_(atTransfer), fail_(std::move(fail)), forGood_(forGood)
    {
    }
    void read_write_spi(char* tx, char* rx, SPI_ChipSelect cs, unsigned int len) override
    {
        RecordingWorker::read_write_spi(tx, rx, cs, len);
        failIfDue(++transfers_ >= atTransfer_);
    }
    void set_pin_state(unsigned char pin, PIN_State state) override
    {
        RecordingWorker::set_pin_state(pin, state);
        failIfDue(transfers_ >= atTransfer_);
    }

private:
    void failIfDue(bool reached)
    {
        if (reached && (forGood_ || !failed_)) {
            failed_ = true;
            fail_();
        }
    }

    int atTransfer_;
    std::function<void()> fail_;
    bool forGood_;
    int transfers_ = 0;
    bool failed_ = false;
};

TEST_F(Mx25FlasherTest, AnyExceptionEndsTheRunWithTheLineLowAndMinusOne)
{
    struct Case {
        const char* what;
        std::function<void()> fail;
        bool forGood;
        QString message;
    };
    const Case cases[] = {
        {"memory exhausted", [] { throw std::bad_alloc(); }, false, "Update stopped: out of memory"},
        {"a standard exception", [] { throw std::runtime_error("bus gone"); }, false, "Update stopped: bus gone"},
        {"anything else", [] { throw 42; }, false, "Update stopped by an unknown error"},
        {"a worker failing for good", [] { throw std::runtime_error("bus gone"); }, true,
         "Update stopped: bus gone"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Transfer 79 is the chip erase, after the read-back.
        auto failing = std::make_shared<FailingWorker>(79, c.fail, c.forGood);
        chip.attach(*failing);
        worker = failing;
        dir.write("fw.bin", pattern(300, 1));
        int result = 0;
        Output output;
        EXPECT_NO_THROW(output = tryFlash(result));
        EXPECT_EQ(result, -1);
        EXPECT_EQ(framesWithOpcode(*worker, 0x60).size(), 1u);
        EXPECT_TRUE(lines(output.out).contains(c.message)) << output.out.toStdString();
        const RecordingWorker::Call& last = worker->calls.back();
        EXPECT_EQ(last.op, Op::SetPin);
        EXPECT_EQ(last.pin, 25u);
        EXPECT_EQ(last.state, PIN_LOW);
        EXPECT_TRUE(dir.exists("fw.bin"));
    }
}

}  // namespace
