// The boards catch a worker that breaks the chips' rules under the real
// drivers: each mistake here is one a faulty pin worker could make, and each
// must show up as the breach a logic analyser on the board would show.

#include "FdCapture.h"
#include "Flasher_MX25L3206E.h"
#include "VirtualLumo3.h"
#include "VirtualMiniLumo.h"
#include "WorkingDirectory.h"
#include "nt25q256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>

using namespace test_support;

namespace {

// What a worker does wrong.
struct Mistake {
    std::optional<std::uint8_t> drops;      // leaves out every frame with this opcode
    bool answersStatusItself = false;       // reports "ready" without asking the chip
    std::optional<unsigned> cutsAfter;      // ends every transfer after this many bytes
};

// The real worker of the virtual board, with one mistake in its transfers.
class MisbehavingWorker : public BasePinWorker {
public:
    MisbehavingWorker(std::shared_ptr<BasePinWorker> real, Mistake mistake)
        : real_(std::move(real)), mistake_(mistake)
    {
        initialized = real_->initialized;
    }

    void init() override { real_->init(); }
    void close() override { real_->close(); }
    void setChipSelectPolarity(SPI_ChipSelect cs, bool activeHigh) override
    {
        real_->setChipSelectPolarity(cs, activeHigh);
    }
    void read_write_spi(char* tx, char* rx, SPI_ChipSelect cs, unsigned int len) override
    {
        const std::uint8_t opcode = len > 0 ? static_cast<std::uint8_t>(tx[0]) : 0;
        if (mistake_.drops && len > 0 && opcode == *mistake_.drops)
            return;
        if (mistake_.answersStatusItself && len == 2 && opcode == 0x05) {
            rx[1] = 0x00;
            return;
        }
        real_->read_write_spi(tx, rx, cs, mistake_.cutsAfter ? std::min(len, *mistake_.cutsAfter) : len);
    }
    void write_spi(char* tx, SPI_ChipSelect cs, unsigned int len) override { real_->write_spi(tx, cs, len); }
    void set_pin_state(unsigned char pin, PIN_State state) override { real_->set_pin_state(pin, state); }
    PIN_State get_pin_state(unsigned char pin) override { return real_->get_pin_state(pin); }
    void delay_ms(unsigned long long ms) override { real_->delay_ms(ms); }

private:
    std::shared_ptr<BasePinWorker> real_;
    Mistake mistake_;
};

struct Case {
    const char* what;
    Mistake mistake;
    QString firstBreach;  // empty: the run breaks no rule
};

// The first breach the board recorded, or empty; and how many in all.
QString firstBreach(const sim::Violations& violations, const char* chip, std::uint64_t& count)
{
    count = violations.count();
    if (violations.first().empty())
        return {};
    EXPECT_EQ(violations.first().front().where, QString::fromLatin1(chip));
    return violations.first().front().rule;
}

TEST(MisbehavingWorker, TheLumo3FlashCatchesEachMistake)
{
    struct Lumo3Case {
        Case c;
        std::function<void(nt25q256&)> drive;
    };
    const QByteArray sixteen(16, '\x5A');
    const auto eraseThenWrite = [&sixteen](nt25q256& flash) {
        (void)flash.erase4K(0x1000);
        (void)flash.write(0x1000, sixteen);
    };
    const Lumo3Case cases[] = {
        {{"no mistake", {}, ""}, eraseThenWrite},
        {{"drops write enable", {0x06, false, {}},
          "page program without write enable (PAGE PROGRAM at 0x001000): ignored"},
         [&sixteen](nt25q256& flash) { (void)flash.write(0x1000, sixteen); }},
        {{"answers status reads itself", {{}, true, {}},
          "WRITE ENABLE while busy with an erase: only read status is allowed"},
         eraseThenWrite},
        {{"cuts transfers after 3 bytes", {{}, false, 3u},
          "chip select raised inside the address of READ (2 of its 3 bytes)"},
         [](nt25q256& flash) { flash.read(0x1000, 16); }},
        {{"drops sector erase", {0xD8, false, {}},
          "page program sets bits from 0 to 1 at 0x010000 (holds 0x0f, given 0xf0; bytes so in the page: 16): "
          "a program only clears bits"},
         [](nt25q256& flash) {
             (void)flash.erase64K(0x10000);
             (void)flash.write(0x10000, QByteArray(16, '\xF0'));
         }},
    };
    for (const Lumo3Case& row : cases) {
        SCOPED_TRACE(row.c.what);
        VirtualLumo3 board;
        board.breachesRules = true;
        board.store(0x10000, QByteArray(16, '\x0F'));
        nt25q256 flash(std::make_shared<MisbehavingWorker>(board.worker, row.c.mistake));
        row.drive(flash);
        std::uint64_t count = 0;
        EXPECT_EQ(firstBreach(board.wiring.violations(), "N25Q256", count), row.c.firstBreach);
        EXPECT_EQ(count > 0, !row.c.firstBreach.isEmpty()) << count;
    }
}

TEST(MisbehavingWorker, TheMiniLumoFlashCatchesEachMistakeOfAnUpdate)
{
    const Case cases[] = {
        {"no mistake", {}, ""},
        {"drops write enable", {0x06, false, {}}, "status register write without write enable (WRSR): ignored"},
        {"answers status reads itself", {{}, true, {}}, "WRDI while busy with an erase: only read status is allowed"},
        {"cuts transfers after 3 bytes", {{}, false, 3u},
         "chip select raised inside the address of REMS (2 of its 3 bytes)"},
        // The board was left protected; the status writes that would lift
        // the protection never reach it.
        {"drops status writes", {0x01, false, {}},
         "erase inside the protected area (CE; protected from 0x000000): ignored"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WorkingDirectory dir;
        dir.write("fw.bin", pattern(600, 1));
        VirtualMiniLumo board;
        board.breachesRules = true;
        captured([&] { Flasher_MX25L3206E(board.worker).enable_block_protection(); });
        ASSERT_EQ(board.board.wiring().violations().count(), 0u);
        int result = 1;
        captured([&] {
            Flasher_MX25L3206E flasher(std::make_shared<MisbehavingWorker>(board.worker, c.mistake));
            result = flasher.try_flash();
        });
        EXPECT_EQ(result, c.firstBreach.isEmpty() ? 0 : -1);
        std::uint64_t count = 0;
        EXPECT_EQ(firstBreach(board.board.wiring().violations(), "MX25L3206E", count), c.firstBreach);
        EXPECT_EQ(count > 0, !c.firstBreach.isEmpty()) << count;
    }
}

}  // namespace
