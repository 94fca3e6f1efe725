// BCM2835_Pin_Worker over the emulated register layer: readiness, the SPI
// chip-select mapping, GPIO, delays and edge callbacks, seen on the board's
// wires, in the SoC's registers and in a temporary sysfs directory.

#include "EmulatedPi.h"
#include "FakeSysfs.h"
#include "BCM2835_Pin_Worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using Callback = std::function<void(int, int, unsigned int)>;

bool allCallbacksEmpty()
{
    for (const Callback& fn : BCM2835_Pin_Worker::_fn)
        if (fn)
            return false;
    return true;
}

void clearCallbacks()
{
    for (Callback& fn : BCM2835_Pin_Worker::_fn)
        fn = nullptr;
}

class Bcm2835Worker : public ::testing::Test {
protected:
    Bcm2835Worker() { baseline = baselineThreadCount(); }
    ~Bcm2835Worker() override
    {
        worker.reset();
        clearCallbacks();
    }

    std::uint32_t cs() { return bcm2835_peri_read(pi.spiReg(BCM2835_SPI0_CS)); }

    std::shared_ptr<BCM2835_Pin_Worker> ready()
    {
        worker = std::make_shared<BCM2835_Pin_Worker>();
        worker->init();
        if (!worker->initialized)
            throw std::runtime_error("the worker did not come up on the emulator");
        return worker;
    }

    EmulatedPi pi;
    FakeSysfs sysfs{pi.layer.sysfsPath};
    std::shared_ptr<BCM2835_Pin_Worker> worker;
    int baseline = 0;
};

// --- Readiness ---------------------------------------------------------------------

TEST_F(Bcm2835Worker, ConstructionTouchesNoHardware)
{
    worker = std::make_shared<BCM2835_Pin_Worker>();
    EXPECT_FALSE(worker->initialized);
    EXPECT_FALSE(pi.soc.mapped());
    EXPECT_EQ(pi.soc.registerAccesses(), 0u);
}

TEST_F(Bcm2835Worker, InitClaimsAndConfiguresSpi0)
{
    ready();
    for (unsigned pin = 7; pin <= 11; ++pin)
        EXPECT_EQ(pi.soc.function(pin), BCM2835_GPIO_FSEL_ALT0) << pin;
    EXPECT_EQ(cs() & (BCM2835_SPI0_CS_CS | 0x0Cu | 0x00E00000u | BCM2835_SPI0_CS_TA), 0u);
    EXPECT_EQ(bcm2835_peri_read(pi.spiReg(BCM2835_SPI0_CLK)), 32u);
    EXPECT_EQ(bcm2835_spi_bit_order, 1);
    EXPECT_TRUE(pi.wiring.level(7));
    EXPECT_TRUE(pi.wiring.level(8));
    EXPECT_EQ(pi.wiring.byteTime(), 1024u);
}

TEST(Bcm2835WorkerWithoutSoc, AFailedInitLeavesEveryOperationANoOpAndTouchesNoRegister)
{
    // With no SoC at all, any register access would end the test.
    LayerState layer;
    auto worker = std::make_shared<BCM2835_Pin_Worker>();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    worker->init();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "bcm2835_spi_begin failed.\n");  // as root
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "bcm2835_init: Unable to open /dev/mem: No such device\n");
    EXPECT_FALSE(worker->initialized);

    char tx[4] = {1, 2, 3, 4};
    char rx[4] = {};
    worker->read_write_spi(tx, rx, SPI_CS1, 4);
    worker->write_spi(tx, SPI_CS0, 4);
    worker->setChipSelectPolarity(SPI_CS1, true);
    worker->set_pin_state(26, PIN_HIGH);
    worker->delay_ms(10);
    worker->set_pin_isr(17, EDGE_BOTH, [](int, int, unsigned) {});
    EXPECT_EQ(worker->get_pin_state(26), PIN_UNDEFINED);
    EXPECT_TRUE(allCallbacksEmpty());
    EXPECT_EQ(rx[0], 0);
    worker.reset();
}

// Root is refused the hardware by the kernel's policy or by a kernel driver
// that owns SPI0: the reason and the remedy are named, no register is
// touched, and root is not asked whether it is root.
TEST_F(Bcm2835Worker, AKernelThatKeepsTheHardwareIsNamedAndNoRegisterIsTouched)
{
    const QDir platform(QString::fromLocal8Bit(pi.layer.platformPath));
    platform.mkpath("20204000.spi");
    struct Case {
        const char* what;
        bool strict;
        bool bound;
        const char* err;  // empty: the worker comes up
    };
    const Case cases[] = {
        {"strict /dev/mem", true, false,
         "bcm2835_init: gpio mmap failed: Operation not permitted\n"
         "bcm2835_init: the kernel refuses /dev/mem access to peripherals that its drivers claim (strict "
         "/dev/mem): add iomem=relaxed to the kernel command line and reboot\n"},
        {"SPI0 bound to spi-bcm2835", false, true,
         "bcm2835_spi_begin: SPI0 (20204000.spi) belongs to the kernel's spi-bcm2835 driver: free it with "
         "dtparam=spi=off in config.txt and a reboot, or by writing 20204000.spi to "
         "/sys/bus/platform/drivers/spi-bcm2835/unbind\n"},
        {"SPI0 in the device tree, no driver bound", false, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        pi.soc.setStrictDevMem(c.strict);
        QFile::remove(platform.filePath("20204000.spi/driver"));
        if (c.bound)
            QFile::link("../../../bus/platform/drivers/spi-bcm2835", platform.filePath("20204000.spi/driver"));
        const std::uint64_t accesses = pi.soc.registerAccesses();
        const bool ready = *c.err == '\0';
        worker = std::make_shared<BCM2835_Pin_Worker>();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        worker->init();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), ready ? "" : "bcm2835_spi_begin failed.\n");
        EXPECT_EQ(worker->initialized, ready);
        EXPECT_TRUE(ready || pi.soc.registerAccesses() == accesses);
        worker.reset();
    }
}

// SPI0 that stops mid-run: the worker lets go of everything but the pins it
// claimed, which it gives back so that the chip selects are released.
TEST_F(Bcm2835Worker, ATransferThatSpi0NeverFinishesLeavesAWorkerWithoutHardware)
{
    ready();
    pi.soc.stallSpiAfter(0);
    char tx[3] = {0x05, 0, 0};
    testing::internal::CaptureStderr();
    worker->read_write_spi(tx, tx, SPI_CS1, 3);
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(worker->initialized);

    const std::uint64_t accesses = pi.soc.registerAccesses();
    worker->write_spi(tx, SPI_CS0, 3);
    worker->set_pin_state(26, PIN_LOW);
    worker->delay_ms(20);
    EXPECT_EQ(worker->get_pin_state(26), PIN_UNDEFINED);
    EXPECT_EQ(pi.soc.registerAccesses(), accesses);
    worker.reset();
    for (unsigned pin = 7; pin <= 11; ++pin)
        EXPECT_EQ(pi.soc.function(pin), BCM2835_GPIO_FSEL_INPT) << pin;
}

TEST_F(Bcm2835Worker, WithoutRootSpiBeginFailsAndTheWorkerStaysNotReady)
{
    pi.soc.setRoot(false);
    worker = std::make_shared<BCM2835_Pin_Worker>();
    testing::internal::CaptureStdout();
    worker->init();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "bcm2835_spi_begin failed. Are you running as root??\n");
    EXPECT_FALSE(worker->initialized);
    EXPECT_TRUE(pi.soc.mapped());  // the GPIO window stays until close
    // The SPI pins belong to a kernel SPI driver, which keeps them.
    for (std::uint8_t pin = 7; pin <= 11; ++pin)
        bcm2835_gpio_fsel(pin, BCM2835_GPIO_FSEL_ALT0);
    const std::uint64_t accesses = pi.soc.registerAccesses();
    const sim::Nanos now = pi.clock.now();

    char tx[2] = {0x05, 0};
    worker->read_write_spi(tx, tx, SPI_CS0, 2);
    worker->set_pin_state(26, PIN_HIGH);
    worker->delay_ms(1000);
    EXPECT_EQ(worker->get_pin_state(26), PIN_UNDEFINED);
    EXPECT_EQ(pi.soc.registerAccesses(), accesses);
    EXPECT_EQ(pi.clock.now(), now);
    EXPECT_TRUE(pi.ce0.frames.empty());

    worker.reset();
    EXPECT_FALSE(pi.soc.mapped());
    EXPECT_EQ(pi.soc.registerAccesses(), accesses);
    for (unsigned pin = 7; pin <= 11; ++pin)
        EXPECT_EQ(pi.soc.function(pin), BCM2835_GPIO_FSEL_ALT0) << pin;
}

TEST_F(Bcm2835Worker, CloseReleasesTheSpiPinsAndTheWindowAndEndsReadiness)
{
    ready()->close();
    EXPECT_FALSE(worker->initialized);
    EXPECT_FALSE(pi.soc.mapped());
    char tx[1] = {0x06};
    worker->write_spi(tx, SPI_CS0, 1);
    EXPECT_EQ(worker->get_pin_state(8), PIN_UNDEFINED);
    EXPECT_TRUE(pi.ce0.frames.empty());
    // The pins went back to inputs, so the pull-ups hold the chip selects.
    EXPECT_EQ(pi.soc.function(8), BCM2835_GPIO_FSEL_INPT);
}

// --- SPI ----------------------------------------------------------------------------------

struct CsCase {
    int cs;
    bool onCe1;
};

class WorkerChipSelect : public Bcm2835Worker, public ::testing::WithParamInterface<CsCase> {};

TEST_P(WorkerChipSelect, ReadWriteAndWriteOnlyPickTheHardwareChipSelect)
{
    const CsCase& c = GetParam();
    ready();
    const auto cs = static_cast<SPI_ChipSelect>(c.cs);
    char tx[] = {static_cast<char>(0x9F), 0x00};
    char rx[2] = {};
    worker->read_write_spi(tx, rx, cs, 2);
    char wtx[] = {0x06};
    worker->write_spi(wtx, cs, 1);
    ProbeChip& chosen = c.onCe1 ? pi.ce1 : pi.ce0;
    ProbeChip& other = c.onCe1 ? pi.ce0 : pi.ce1;
    ASSERT_EQ(chosen.frames.size(), 2u);
    EXPECT_EQ(chosen.frames[0], bytes({0x9F, 0x00}));
    EXPECT_EQ(chosen.frames[1], bytes({0x06}));
    EXPECT_TRUE(other.frames.empty());
    EXPECT_EQ(static_cast<std::uint8_t>(rx[1]), 0xFF);
}

INSTANTIATE_TEST_SUITE_P(Cases, WorkerChipSelect,
                         ::testing::Values(CsCase{0, false}, CsCase{1, true}, CsCase{2, true}, CsCase{3, true}));

TEST_F(Bcm2835Worker, ChipSelectPolarityIsSetForTheChosenLineAndLeavesItSelected)
{
    ready();
    worker->setChipSelectPolarity(SPI_CS1, true);
    EXPECT_EQ(cs() & (BCM2835_SPI0_CS_CS | 0x00E00000u), BCM2835_SPI0_CS_CSPOL1 | 1u);
    EXPECT_FALSE(pi.wiring.level(7));  // active high idles low
    worker->setChipSelectPolarity(static_cast<SPI_ChipSelect>(3), false);
    EXPECT_EQ(cs() & (BCM2835_SPI0_CS_CS | 0x00E00000u), 1u);
    EXPECT_TRUE(pi.wiring.level(7));
    worker->setChipSelectPolarity(SPI_CS0, true);
    EXPECT_EQ(cs() & (BCM2835_SPI0_CS_CS | 0x00E00000u), BCM2835_SPI0_CS_CSPOL0);
    EXPECT_FALSE(pi.wiring.level(8));
}

TEST_F(Bcm2835Worker, TheSameBufferMaySendAndReceive)
{
    ready();
    char buffer[] = {0x05, 0x00, 0x11};
    worker->read_write_spi(buffer, buffer, SPI_CS0, 3);
    EXPECT_EQ(pi.ce0.lastFrame(), bytes({0x05, 0x00, 0x11}));
    EXPECT_EQ(static_cast<std::uint8_t>(buffer[0]), 0xFA);
    EXPECT_EQ(static_cast<std::uint8_t>(buffer[2]), 0xEE);
}

TEST_F(Bcm2835Worker, TransfersFromTwoThreadsNeverInterleave)
{
    ready();
    auto run = [this](SPI_ChipSelect cs, char pattern) {
        for (int i = 0; i < 200; ++i) {
            char tx[16];
            std::fill(std::begin(tx), std::end(tx), pattern);
            char rx[16];
            worker->read_write_spi(tx, rx, cs, sizeof tx);
        }
    };
    std::thread a(run, SPI_CS0, static_cast<char>(0xAA));
    std::thread b(run, SPI_CS1, static_cast<char>(0x55));
    a.join();
    b.join();
    for (const ProbeChip* chip : {&pi.ce0, &pi.ce1}) {
        ASSERT_EQ(chip->frames.size(), 200u);
        const std::uint8_t expected = chip == &pi.ce0 ? 0xAA : 0x55;
        for (const auto& frame : chip->frames)
            EXPECT_EQ(frame, std::vector<std::uint8_t>(16, expected));
    }
}

// --- GPIO and delays ---------------------------------------------------------------------

TEST_F(Bcm2835Worker, SetPinStateMakesAnOutputAndDrivesEverythingButHighLow)
{
    ready();
    pi.wiring.setPull(26, true);
    worker->set_pin_state(26, PIN_UNDEFINED);
    EXPECT_EQ(pi.soc.function(26), BCM2835_GPIO_FSEL_OUTP);
    EXPECT_FALSE(pi.wiring.level(26));
    worker->set_pin_state(26, PIN_HIGH);
    EXPECT_TRUE(pi.wiring.level(26));
    worker->set_pin_state(26, PIN_LOW);
    EXPECT_FALSE(pi.wiring.level(26));
}

TEST_F(Bcm2835Worker, GetPinStateReadsTheLineAndLeavesItsFunction)
{
    ready();
    pi.wiring.boardDrive(13, true);
    EXPECT_EQ(worker->get_pin_state(13), PIN_HIGH);
    EXPECT_EQ(pi.soc.function(13), BCM2835_GPIO_FSEL_INPT);
    pi.wiring.boardDrive(13, false);
    EXPECT_EQ(worker->get_pin_state(13), PIN_LOW);
    worker->set_pin_state(25, PIN_HIGH);
    EXPECT_EQ(worker->get_pin_state(25), PIN_HIGH);
    EXPECT_EQ(pi.soc.function(25), BCM2835_GPIO_FSEL_OUTP);
}

TEST_F(Bcm2835Worker, DelayUsesTheLow32BitsOfItsArgument)
{
    ready();
    worker->delay_ms((1ull << 32) + 5);
    EXPECT_EQ(pi.soc.lastSleep().tv_sec, 0);
    EXPECT_EQ(pi.soc.lastSleep().tv_nsec, 5000000);
    EXPECT_EQ(pi.clock.spent(sim::TimeKind::Wait), 5 * sim::kMillisecond);
    worker->delay_ms(20);
    EXPECT_EQ(pi.clock.spent(sim::TimeKind::Wait), 25 * sim::kMillisecond);
}

// --- Edge callbacks ------------------------------------------------------------------------

TEST_F(Bcm2835Worker, IsrCallbackForwardsToTheTableAndIgnoresPinsOutsideIt)
{
    std::vector<std::tuple<int, int, unsigned>> calls;
    for (Callback& fn : BCM2835_Pin_Worker::_fn)
        fn = [&calls](int pin, int level, unsigned tick) { calls.emplace_back(pin, level, tick); };
    isr_callback(52, 1, 4000000000u);
    isr_callback(53, 1, 1);
    isr_callback(200, 0, 1);
    isr_callback(-1, 0, 1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], std::make_tuple(52, 1, 4000000000u));
}

TEST_F(Bcm2835Worker, RegistrationFillsTheTableAndStartsThePinsThread)
{
    ready();
    sysfs.addPin(17);
    worker->set_pin_isr(17, EDGE_FALLING, [](int, int, unsigned) {});
    EXPECT_TRUE(static_cast<bool>(BCM2835_Pin_Worker::_fn[17]));
    EXPECT_EQ(sysfs.read("export"), "17\n");
    EXPECT_EQ(sysfs.read("gpio17/edge"), "falling\n");
    EXPECT_EQ(gpioISR[17].callback, &isr_callback);
    EXPECT_EQ(gpioISR[17].timeout_ms, -1);
    EXPECT_EQ(threadCount(), baseline + 1);
}

struct EdgeCase {
    PIN_Edge edge;
    const char* text;
};

class WorkerEdge : public Bcm2835Worker, public ::testing::WithParamInterface<EdgeCase> {};

TEST_P(WorkerEdge, TranslatesTheEdgeForTheInterruptLayer)
{
    ready();
    sysfs.addPin(4);
    worker->set_pin_isr(4, GetParam().edge, [](int, int, unsigned) {});
    EXPECT_EQ(sysfs.read("gpio4/edge"), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Cases, WorkerEdge,
                         ::testing::Values(EdgeCase{EDGE_RISING, "rising\n"}, EdgeCase{EDGE_FALLING, "falling\n"},
                                           EdgeCase{EDGE_BOTH, "both\n"},
                                           EdgeCase{static_cast<PIN_Edge>(3), "both\n"}));

TEST_F(Bcm2835Worker, ARefusedRegistrationLeavesTheTableAsItWas)
{
    ready();
    sysfs.addPin(17);
    int which = 0;
    worker->set_pin_isr(17, EDGE_RISING, [&which](int, int, unsigned) { which = 1; });
    sysfs.remove("gpio17/edge");
    worker->set_pin_isr(17, EDGE_BOTH, [&which](int, int, unsigned) { which = 2; });  // -123
    isr_callback(17, 1, 0);
    EXPECT_EQ(which, 1);

    worker->set_pin_isr(23, EDGE_RISING, [&which](int, int, unsigned) { which = 3; });  // no sysfs files
    EXPECT_FALSE(static_cast<bool>(BCM2835_Pin_Worker::_fn[23]));
}

TEST_F(Bcm2835Worker, PinsWithoutATableEntryNeverTouchTheTable)
{
    ready();
    sysfs.addPin(53);
    worker->set_pin_isr(54, EDGE_RISING, [](int, int, unsigned) {});
    worker->set_pin_isr(200, EDGE_RISING, [](int, int, unsigned) {});
    EXPECT_EQ(sysfs.read("export"), "");
    worker->set_pin_isr(53, EDGE_RISING, [](int, int, unsigned) {});
    worker->set_pin_isr(53, EDGE_RISING, nullptr);
    worker->set_pin_isr(60, EDGE_RISING, nullptr);
    EXPECT_TRUE(allCallbacksEmpty());
}

TEST_F(Bcm2835Worker, AnEmptyCallbackRemovesTheRegistration)
{
    ready();
    sysfs.addPin(17);
    worker->set_pin_isr(17, EDGE_BOTH, [](int, int, unsigned) {});
    worker->set_pin_isr(17, EDGE_BOTH, nullptr);
    EXPECT_FALSE(static_cast<bool>(BCM2835_Pin_Worker::_fn[17]));
    EXPECT_EQ(gpioISR[17].thread, nullptr);
    EXPECT_EQ(sysfs.read("unexport"), "17\n");
    EXPECT_TRUE(eventually([this] { return threadCount() == baseline; }));
}

TEST_F(Bcm2835Worker, ANotReadyWorkerRegistersNothing)
{
    worker = std::make_shared<BCM2835_Pin_Worker>();
    sysfs.addPin(17);
    worker->set_pin_isr(17, EDGE_BOTH, [](int, int, unsigned) {});
    EXPECT_TRUE(allCallbacksEmpty());
    EXPECT_EQ(sysfs.read("export"), "");
}

TEST_F(Bcm2835Worker, AnEdgeReachesTheCallbackWithPinLevelAndTick)
{
    ready();
    sysfs.addPin(13);
    EdgeSource edge(sysfs.path("gpio13/value"));
    pi.wiring.boardDrive(13, true);
    worker->delay_ms(3);
    std::mutex m;
    std::vector<std::tuple<int, int, unsigned>> calls;
    worker->set_pin_isr(13, EDGE_RISING, [&](int pin, int level, unsigned tick) {
        std::lock_guard<std::mutex> guard(m);
        calls.emplace_back(pin, level, tick);
    });
    ASSERT_TRUE(eventually([] { return __atomic_load_n(&gpioISR[13].value_fd, __ATOMIC_RELAXED) >= 0; }));
    // The 3 ms waited and the register accesses of the worker so far.
    const auto tick = static_cast<unsigned>(pi.clock.now() / sim::kMicrosecond);
    EXPECT_GE(tick, 3000u);
    edge.arm();
    edge.fire();
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> guard(m);
        return !calls.empty();
    }));
    worker->set_pin_isr(13, EDGE_RISING, nullptr);
    EXPECT_EQ(calls.front(), std::make_tuple(13, 1, tick));
}

TEST_F(Bcm2835Worker, ACallbackMayRemoveItsOwnRegistration)
{
    ready();
    sysfs.addPin(13);
    EdgeSource edge(sysfs.path("gpio13/value"));
    std::atomic<int> calls{0};
    std::atomic<bool> removed{false};
    worker->set_pin_isr(13, EDGE_RISING, [this, &calls, &removed](int pin, int, unsigned) {
        ++calls;
        worker->set_pin_isr(static_cast<unsigned char>(pin), EDGE_RISING, nullptr);
        removed = true;
    });
    ASSERT_TRUE(eventually([] { return __atomic_load_n(&gpioISR[13].value_fd, __ATOMIC_RELAXED) >= 0; }));
    edge.arm();
    edge.fire();
    ASSERT_TRUE(eventually([&removed] { return removed.load(); }));
    ASSERT_TRUE(eventually([this] { return threadCount() == baseline; }));
    EXPECT_EQ(calls.load(), 1);
    EXPECT_FALSE(static_cast<bool>(BCM2835_Pin_Worker::_fn[13]));
    EXPECT_EQ(gpioISR[13].value_fd, -1);
    EXPECT_EQ(gpioISR[13].exported, 0);
    EXPECT_EQ(sysfs.read("unexport"), "13\n");
}

TEST_F(Bcm2835Worker, CloseRemovesEveryEdgeCallbackBeforeTheWindowGoes)
{
    ready();
    sysfs.addPin(17);
    sysfs.addPin(22);
    worker->set_pin_isr(17, EDGE_RISING, [](int, int, unsigned) {});
    worker->set_pin_isr(22, EDGE_FALLING, [](int, int, unsigned) {});
    EXPECT_EQ(threadCount(), baseline + 2);
    worker->close();
    EXPECT_TRUE(eventually([this] { return threadCount() == baseline; }));
    for (unsigned pin : {17u, 22u}) {
        EXPECT_EQ(gpioISR[pin].thread, nullptr) << pin;
        EXPECT_EQ(gpioISR[pin].exported, 0) << pin;
        EXPECT_EQ(gpioISR[pin].value_fd, -1) << pin;
    }
    EXPECT_EQ(sysfs.read("unexport"), "22\n");
    EXPECT_TRUE(allCallbacksEmpty());
    EXPECT_FALSE(pi.soc.mapped());
}

TEST_F(Bcm2835Worker, ACallbackRunningWhileCloseRemovesThemCannotRegisterAPin)
{
    ready();
    // close() removes the pins in order: pin 5's unexport shows that it has
    // begun and is past pin 2, while it waits for pin 17's callback.
    sysfs.addPin(2);
    sysfs.addPin(5);
    sysfs.addPin(17);
    EdgeSource edge(sysfs.path("gpio17/value"));
    std::atomic<bool> inCallback{false};
    std::atomic<bool> closeSeen{false};
    worker->set_pin_isr(5, EDGE_RISING, [](int, int, unsigned) {});
    worker->set_pin_isr(17, EDGE_RISING, [&](int, int, unsigned) {
        if (inCallback.exchange(true))
            return;
        closeSeen = eventually([this] { return sysfs.read("unexport") == "5\n"; });
        worker->set_pin_isr(2, EDGE_RISING, [](int, int, unsigned) {});
    });
    ASSERT_TRUE(eventually([] { return __atomic_load_n(&gpioISR[17].value_fd, __ATOMIC_RELAXED) >= 0; }));
    edge.arm();
    edge.fire();
    ASSERT_TRUE(eventually([&inCallback] { return inCallback.load(); }));
    worker->close();

    EXPECT_TRUE(closeSeen);
    EXPECT_EQ(gpioISR[2].thread, nullptr);
    EXPECT_EQ(gpioISR[2].exported, 0);
    EXPECT_FALSE(static_cast<bool>(BCM2835_Pin_Worker::_fn[2]));
    EXPECT_TRUE(eventually([this] { return threadCount() == baseline; }));
    // Whatever the outcome, no thread may outlive the test.
    bcm2835_gpioSetISRFunc(2, 0, -1, nullptr);
}

TEST_F(Bcm2835Worker, DestructionRemovesEveryEdgeCallbackToo)
{
    ready();
    sysfs.addPin(6);
    worker->set_pin_isr(6, EDGE_BOTH, [](int, int, unsigned) {});
    worker.reset();
    EXPECT_TRUE(eventually([this] { return threadCount() == baseline; }));
    EXPECT_EQ(gpioISR[6].thread, nullptr);
    EXPECT_EQ(sysfs.read("unexport"), "6\n");
    EXPECT_TRUE(allCallbacksEmpty());
    EXPECT_FALSE(pi.soc.mapped());
}

}  // namespace
