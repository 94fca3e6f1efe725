// The N25Q256 driver on a recording worker: exact frames and their order.

#include "nt25q256.h"
#include "RecordingWorker.h"

#include <gtest/gtest.h>

#include <chrono>

using Bytes = std::vector<std::uint8_t>;
using Op = RecordingWorker::Op;

namespace {

Bytes frame(std::initializer_list<int> bytes)
{
    Bytes out;
    for (int b : bytes)
        out.push_back(static_cast<std::uint8_t>(b));
    return out;
}

// Answers like an idle chip: status 0x00, identification of an N25Q256,
// reads of `memory` (or 0xFF beyond it).
struct IdleChip {
    Bytes memory;
    void operator()(const Bytes& tx, char* rx, SPI_ChipSelect) const
    {
        if (tx.empty())
            return;
        if (tx[0] == 0x05 && tx.size() > 1)
            rx[1] = 0;
        if (tx[0] == 0x9E && tx.size() > 3)
            rx[3] = 0x19;
        if (tx[0] == 0x03) {
            const std::size_t address = (tx[1] << 16) | (tx[2] << 8) | tx[3];
            for (std::size_t i = 4; i < tx.size(); ++i) {
                const std::size_t at = address + i - 4;
                rx[i] = static_cast<char>(at < memory.size() ? memory[at] : 0xFF);
            }
        }
    }
};

struct N25Q256DriverTest : ::testing::Test {
    std::shared_ptr<RecordingWorker> worker = std::make_shared<RecordingWorker>();

    nt25q256 makeDriver()
    {
        worker->respond = IdleChip{};
        nt25q256 flash(worker);
        worker->calls.clear();
        return flash;
    }

    // The frames after the constructor's, as (opcode and header) prefixes.
    std::vector<Bytes> frames() const
    {
        std::vector<Bytes> out;
        for (const auto& call : worker->transfers())
            out.push_back(call.tx);
        return out;
    }
};

TEST_F(N25Q256DriverTest, ConstructionReadsTheIdentificationOnce)
{
    nt25q256 flash(worker);
    ASSERT_EQ(worker->calls.size(), 1u);
    const auto& call = worker->calls[0];
    EXPECT_EQ(call.op, Op::ReadWrite);
    EXPECT_EQ(call.cs, SPI_CS1);
    ASSERT_EQ(call.tx.size(), 21u);
    EXPECT_EQ(call.tx[0], 0x9E);
}

TEST_F(N25Q256DriverTest, ReadIdReturnsTheTwentyBytesAfterTheOpcode)
{
    worker->respond = [](const Bytes&, char* rx, SPI_ChipSelect) {
        for (int i = 0; i < 21; ++i)
            rx[i] = static_cast<char>(i);
    };
    nt25q256 flash(worker);
    const QByteArray id = flash.readID();
    ASSERT_EQ(id.size(), 20);
    EXPECT_EQ(id.at(0), 1);
    EXPECT_EQ(id.at(19), 20);
    EXPECT_FALSE(nt25q256::isN25Q256(id));
}

TEST_F(N25Q256DriverTest, ReadFramesOneTransactionWithTheAddressMostSignificantFirst)
{
    nt25q256 flash = makeDriver();
    worker->respond = IdleChip{frame({0x11, 0x22, 0x33, 0x44, 0x55})};

    EXPECT_EQ(flash.read(0x000001, 3), QByteArray("\x22\x33\x44", 3));
    EXPECT_EQ(flash.read(0x12345678, 0), QByteArray());
    EXPECT_EQ(flash.read(0xAB345678, 0), QByteArray());

    const auto f = frames();
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(Bytes(f[0].begin(), f[0].begin() + 4), frame({0x03, 0x00, 0x00, 0x01}));
    EXPECT_EQ(f[0].size(), 7u);
    // Bits 31-24 are not sent: both addresses give the same frame.
    EXPECT_EQ(f[1], frame({0x03, 0x34, 0x56, 0x78}));
    EXPECT_EQ(f[2], f[1]);
}

TEST_F(N25Q256DriverTest, WriteSplitsAtPageBoundaries)
{
    struct Case {
        unsigned address;
        int length;
        std::vector<std::pair<unsigned, int>> pages;  // address, length of each page program
    };
    const Case cases[] = {
        {0x10000, 600, {{0x10000, 256}, {0x10100, 256}, {0x10200, 88}}},
        {0xFFC, 4, {{0xFFC, 4}}},
        {0x2000 - 8, 16, {{0x2000 - 8, 8}, {0x2000, 8}}},
        {0x300, 256, {{0x300, 256}}},
        {0x400, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        nt25q256 flash = makeDriver();
        QByteArray data(c.length, 0);
        for (int i = 0; i < c.length; ++i)
            data[i] = static_cast<char>(i * 7);
        EXPECT_TRUE(flash.write(c.address, data));

        std::vector<std::pair<unsigned, int>> pages;
        int offset = 0;
        const auto f = frames();
        for (std::size_t i = 0; i < f.size(); ++i) {
            if (f[i][0] != 0x02)
                continue;
            // Every page program: its own write enable before, a status read after.
            ASSERT_GT(i, 0u);
            EXPECT_EQ(f[i - 1], frame({0x06}));
            ASSERT_LT(i + 1, f.size());
            EXPECT_EQ(f[i + 1][0], 0x05);
            EXPECT_EQ(f[i + 1].size(), 2u);
            const unsigned address = (f[i][1] << 16) | (f[i][2] << 8) | f[i][3];
            const int length = static_cast<int>(f[i].size()) - 4;
            EXPECT_EQ(Bytes(f[i].begin() + 4, f[i].end()),
                      Bytes(data.begin() + offset, data.begin() + offset + length));
            offset += length;
            pages.emplace_back(address, length);
        }
        EXPECT_EQ(pages, c.pages);
        if (c.length == 0) {
            EXPECT_TRUE(worker->calls.empty());
        }
    }
}

TEST_F(N25Q256DriverTest, EraseSendsWriteEnableTheCommandAndPollsStatus)
{
    nt25q256 flash = makeDriver();
    EXPECT_TRUE(flash.erase4K(0x00123456));
    EXPECT_TRUE(flash.erase64K(0x00400000));
    EXPECT_EQ(frames(), (std::vector<Bytes>{frame({0x06}), frame({0x20, 0x12, 0x34, 0x56}), frame({0x05, 0x00}),
                                            frame({0x06}), frame({0xD8, 0x40, 0x00, 0x00}), frame({0x05, 0x00})}));
    for (const auto& call : worker->calls)
        EXPECT_EQ(call.cs, SPI_CS1);
}

TEST_F(N25Q256DriverTest, ReadyWaitLooksOnlyAtBitZero)
{
    nt25q256 flash = makeDriver();
    std::vector<int> answers = {0x01, 0xFF, 0x03, 0xFE};
    std::size_t next = 0;
    worker->respond = [&](const Bytes& tx, char* rx, SPI_ChipSelect) {
        if (tx[0] == 0x05)
            rx[1] = static_cast<char>(answers.at(next++));
    };
    EXPECT_TRUE(flash.erase4K(0));
    EXPECT_EQ(next, answers.size());
}

TEST_F(N25Q256DriverTest, ReadyWaitGivesUpOnAChipThatStaysBusy)
{
    nt25q256 flash = makeDriver();
    worker->respond = [](const Bytes& tx, char* rx, SPI_ChipSelect) {
        if (tx[0] == 0x05)
            rx[1] = 0x01;
    };
    // The first page's wait reaches its bound; the rest of the data is not
    // sent to a chip that no longer works, and the caller learns of it.
    EXPECT_FALSE(flash.write(0, QByteArray(1024, 0x00)));
    int programs = 0;
    for (const auto& f : frames())
        programs += f[0] == 0x02;
    EXPECT_EQ(programs, 1);
}

TEST_F(N25Q256DriverTest, NeedToErase64KReadsOneBlockAndLooksForAnyUnerasedByte)
{
    struct Case {
        int position;  // of a non-0xFF byte, or -1
        bool expected;
    };
    for (const Case c : {Case{-1, false}, Case{0, true}, Case{65535, true}, Case{30000, true}}) {
        SCOPED_TRACE(c.position);
        nt25q256 flash = makeDriver();
        Bytes memory(0x20000, 0xFF);
        if (c.position >= 0)
            memory[0x10000 + c.position] = 0x7F;
        worker->respond = IdleChip{memory};
        EXPECT_EQ(flash.needToErase64K(0x10000), c.expected);
        const auto f = frames();
        ASSERT_EQ(f.size(), 1u);
        EXPECT_EQ(f[0].size(), 65536u + 4);
        EXPECT_EQ(Bytes(f[0].begin(), f[0].begin() + 4), frame({0x03, 0x01, 0x00, 0x00}));
    }
}

TEST_F(N25Q256DriverTest, BootArtixPulsesGpio26LowFor20Milliseconds)
{
    nt25q256 flash = makeDriver();
    flash.bootArtix();
    ASSERT_EQ(worker->calls.size(), 2u);
    // The line is low for the pulse's whole length, not just before the call returns.
    EXPECT_GE(worker->calls[1].at - worker->calls[0].at, std::chrono::milliseconds(20));
    EXPECT_EQ(worker->calls[0].op, Op::SetPin);
    EXPECT_EQ(worker->calls[0].pin, 26u);
    EXPECT_EQ(worker->calls[0].state, PIN_LOW);
    EXPECT_EQ(worker->calls[1].op, Op::SetPin);
    EXPECT_EQ(worker->calls[1].pin, 26u);
    EXPECT_EQ(worker->calls[1].state, PIN_HIGH);
}

}  // namespace
