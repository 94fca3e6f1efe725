// The AT86 presence probe: its register access on a recording worker, and the
// probe against the transceiver model of the virtual Mini Lumo board.

#include "FdCapture.h"
#include "RecordingWorker.h"
#include "WorkingDirectory.h"
#include "Initializer_AT86.h"
#include "MiniLumoBoard.h"
#include "SimPinWorker.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

using namespace test_support;
using Op = RecordingWorker::Op;

namespace {

// A recording worker whose transceiver answers register reads from a table;
// the address is the one the preceding write transfer carried.
std::shared_ptr<RecordingWorker> transceiver(std::map<unsigned, std::uint8_t> registers)
{
    auto worker = std::make_shared<RecordingWorker>();
    RecordingWorker* w = worker.get();
    worker->respond = [w, registers](const std::vector<std::uint8_t>&, char* rx, SPI_ChipSelect) {
        const RecordingWorker::Call& command = w->calls.back();
        const unsigned address = command.tx.at(0) << 8 | command.tx.at(1);
        const auto value = registers.find(address);
        if (value != registers.end())
            rx[0] = static_cast<char>(value->second);
    };
    return worker;
}

TEST(At86ProbeTest, ReportsWhatTheIdentificationRegistersHold)
{
    struct Case {
        const char* what;
        std::map<unsigned, std::uint8_t> registers;
        bool initialized;
        bool connected;
        std::vector<unsigned> addressesRead;
    };
    const Case cases[] = {
        {"connected", {{0x0D, 0x34}, {0x0E, 0x03}}, true, true, {0x0D, 0x0E}},
        {"wrong version", {{0x0D, 0x34}, {0x0E, 0x01}}, true, false, {0x0D, 0x0E}},
        {"wrong part, version not read", {{0x0D, 0x35}, {0x0E, 0x03}}, true, false, {0x0D}},
        {"nothing answers", {}, true, false, {0x0D}},
        {"worker performs no transfers", {{0x0D, 0x34}, {0x0E, 0x03}}, false, false, {0x0D}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto worker = transceiver(c.registers);
        worker->initialized = c.initialized;
        bool connected = !c.connected;
        const Output output = captured([&] {
            Initializer_AT86 probe(worker);
            connected = probe.is_AT86_connected();
        });
        EXPECT_EQ(connected, c.connected);
        EXPECT_EQ(output.log, QStringList{c.connected ? "=======AT86 connected" : "=======AT86 not connected"});
        EXPECT_TRUE(output.out.isEmpty());

        // Every access: GPIO 16 low, a two-byte address write, a one-byte
        // full-duplex read, GPIO 16 high, both transfers on SPI_CS0.
        ASSERT_EQ(worker->calls.size(), 4 * c.addressesRead.size());
        for (std::size_t i = 0; i < c.addressesRead.size(); ++i) {
            const RecordingWorker::Call* access = &worker->calls[4 * i];
            EXPECT_EQ(access[0].op, Op::SetPin);
            EXPECT_EQ(access[0].pin, 16u);
            EXPECT_EQ(access[0].state, PIN_LOW);
            EXPECT_EQ(access[1].op, Op::Write);
            EXPECT_EQ(access[1].cs, SPI_CS0);
            EXPECT_EQ(access[1].tx, (std::vector<std::uint8_t>{0x00, static_cast<std::uint8_t>(c.addressesRead[i])}));
            EXPECT_EQ(access[2].op, Op::ReadWrite);
            EXPECT_EQ(access[2].cs, SPI_CS0);
            EXPECT_EQ(access[2].tx.size(), 1u);
            EXPECT_EQ(access[3].op, Op::SetPin);
            EXPECT_EQ(access[3].pin, 16u);
            EXPECT_EQ(access[3].state, PIN_HIGH);
        }
    }
}

TEST(At86ProbeTest, ReadsLongerRegisterRunsInOneFrame)
{
    auto worker = std::make_shared<RecordingWorker>();
    worker->respond = [](const std::vector<std::uint8_t>&, char* rx, SPI_ChipSelect) {
        rx[0] = 0x11;
        rx[1] = 0x22;
        rx[2] = 0x33;
    };
    Initializer_AT86 probe(worker);
    unsigned char data[3] = {};
    probe.pal_dev_read(Initializer_AT86::RF24, 0x1234, data, 3);
    ASSERT_EQ(worker->calls.size(), 4u);
    EXPECT_EQ(worker->calls[1].tx, (std::vector<std::uint8_t>{0x12, 0x34}));
    EXPECT_EQ(worker->calls[2].tx.size(), 3u);
    EXPECT_EQ(data[0], 0x11);
    EXPECT_EQ(data[2], 0x33);
}

// The probe on the virtual board: the write and the read transfer each
// toggle the SPI controller's own chip select, but GPIO 16 holds the
// transceiver selected across both, so it sees one frame.
TEST(At86OnTheVirtualBoard, ProbeSeesTheModelledTransceiver)
{
    struct Case {
        const char* what;
        sim::AT86Identity identity;
        bool connected;
    };
    const Case cases[] = {
        {"AT86RF215", {}, true},
        {"absent", {false, 0x34, 0x03}, false},
        {"other part", {true, 0x35, 0x03}, false},
        {"other version", {true, 0x34, 0x01}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> memory(sim::MX25L3206E::kSize, 0xFF);
        sim::MiniLumoOptions options;
        options.transceiver = c.identity;
        sim::MiniLumoBoard board(memory.data(), options);
        auto worker = std::make_shared<sim::SimPinWorker>(board.wiring());
        worker->init();
        bool connected = !c.connected;
        const Output output = captured([&] {
            Initializer_AT86 probe(worker);
            connected = probe.is_AT86_connected();
        });
        EXPECT_EQ(connected, c.connected);
        EXPECT_EQ(output.log.size(), 1);
    }
}

}  // namespace
