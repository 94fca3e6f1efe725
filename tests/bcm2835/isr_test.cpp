// The GPIO interrupt layer against a sysfs directory in a temporary folder,
// with the emulated register window behind the threads' timer and level loads.

#include "EmulatedPi.h"
#include "FakeSysfs.h"

#include <QFileInfo>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include <unistd.h>

namespace {

struct Call {
    int pin;
    int level;
    unsigned tick;
    void* user;
};

// What the callbacks saw; they run on the pins' threads.
class Seen {
public:
    void add(const Call& call)
    {
        std::lock_guard<std::mutex> guard(m_);
        calls_.push_back(call);
    }
    std::vector<Call> calls() const
    {
        std::lock_guard<std::mutex> guard(m_);
        return calls_;
    }
    std::size_t count() const
    {
        std::lock_guard<std::mutex> guard(m_);
        return calls_.size();
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(m_);
        calls_.clear();
    }

private:
    mutable std::mutex m_;
    std::vector<Call> calls_;
};

Seen seenA;
Seen seenB;

void recordA(int pin, int level, unsigned tick)
{
    seenA.add({pin, level, tick, nullptr});
}

void recordB(int pin, int level, unsigned tick)
{
    seenB.add({pin, level, tick, nullptr});
}

void recordEx(int pin, int level, unsigned tick, void* user)
{
    seenA.add({pin, level, tick, user});
}

std::atomic<int> selfRemovals{0};

void removeMyself(int pin, int level, unsigned tick)
{
    seenA.add({pin, level, tick, nullptr});
    if (bcm2835_gpioSetISRFunc(static_cast<unsigned>(pin), 0, 0, nullptr) == 0)
        ++selfRemovals;
}

void removeAndRegisterAgain(int pin, int level, unsigned tick)
{
    seenA.add({pin, level, tick, nullptr});
    bcm2835_gpioSetISRFunc(static_cast<unsigned>(pin), 0, 0, nullptr);
    bcm2835_gpioSetISRFunc(static_cast<unsigned>(pin), 2, 5, recordB);
}

void ignoreSignal(int) {}

int valueFd(unsigned pin)
{
    return __atomic_load_n(&gpioISR[pin].value_fd, __ATOMIC_RELAXED);
}

class Bcm2835Isr : public ::testing::Test {
protected:
    Bcm2835Isr()
    {
        seenA.clear();
        seenB.clear();
        selfRemovals = 0;
        baseline = baselineThreadCount();
        if (bcm2835_init() != 1)
            throw std::runtime_error("no emulated window");
    }
    ~Bcm2835Isr() override
    {
        for (unsigned pin = 0; pin < BCM2835_ISR_PINS; ++pin)
            if (gpioISR[pin].thread || gpioISR[pin].exported)
                bcm2835_gpioSetISRFunc(pin, 0, 0, nullptr);
    }

    EmulatedPi pi;
    FakeSysfs sysfs{pi.layer.sysfsPath};
    int baseline = 0;
};

TEST_F(Bcm2835Isr, RefusesPinsAbove53AndEdgeCodesAbove2BeforeTouchingAnything)
{
    EXPECT_EQ(bcm2835_gpioSetISRFunc(54, 0, 0, recordA), -3);
    EXPECT_EQ(bcm2835_gpioSetISRFuncEx(54, 0, 0, recordEx, nullptr), -3);
    EXPECT_EQ(bcm2835_gpioSetISRFunc(17, 3, 0, recordA), -122);
    EXPECT_EQ(bcm2835_gpioSetISRFunc(54, 3, 0, recordA), -3);
    EXPECT_EQ(sysfs.read("export"), "");
    EXPECT_EQ(threadCount(), baseline);
}

TEST_F(Bcm2835Isr, FirstRegistrationExportsMakesAnInputSetsTheEdgeAndStartsOneThread)
{
    sysfs.addPin(17);
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 1, 0, recordA), 0);
    EXPECT_EQ(sysfs.read("export"), "17\n");
    EXPECT_EQ(sysfs.read("gpio17/direction"), "in\n");
    EXPECT_EQ(sysfs.read("gpio17/edge"), "falling\n");
    const isr_record& r = gpioISR[17];
    EXPECT_EQ(r.pin, 17);
    EXPECT_EQ(r.edge, 1);
    EXPECT_EQ(r.timeout_ms, -1);
    EXPECT_EQ(r.exported, 1);
    EXPECT_EQ(r.extended, 0);
    EXPECT_EQ(r.callback, &recordA);
    ASSERT_NE(r.thread, nullptr);
    EXPECT_EQ(threadCount(), baseline + 1);
    EXPECT_TRUE(eventually([] { return valueFd(17) >= 0; }));
}

TEST_F(Bcm2835Isr, RegisteringAgainWithTheSameEdgeWritesNoFileAndStartsNoThread)
{
    sysfs.addPin(17);
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 1, 0, recordA), 0);
    pthread_t* thread = gpioISR[17].thread;
    // Any file the layer opened now would be missing.
    sysfs.remove("export");
    sysfs.remove("gpio17/direction");
    sysfs.remove("gpio17/edge");
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 1, 0, recordB), 0);
    EXPECT_EQ(gpioISR[17].thread, thread);
    EXPECT_EQ(gpioISR[17].callback, &recordB);
    EXPECT_EQ(threadCount(), baseline + 1);
}

TEST_F(Bcm2835Isr, ANewEdgeIsWrittenAndTheThreadKeepsRunning)
{
    sysfs.addPin(17);
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 1, 0, recordA), 0);
    pthread_t* thread = gpioISR[17].thread;
    sysfs.create("gpio17/edge");
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 2, 0, recordA), 0);
    EXPECT_EQ(sysfs.read("gpio17/edge"), "both\n");
    EXPECT_EQ(gpioISR[17].edge, 2);
    EXPECT_EQ(gpioISR[17].thread, thread);
    sysfs.create("gpio17/edge");
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 0, 0, recordA), 0);
    EXPECT_EQ(sysfs.read("gpio17/edge"), "rising\n");
    EXPECT_EQ(threadCount(), baseline + 1);
}

TEST_F(Bcm2835Isr, RemovalCancelsAndJoinsTheThreadClosesTheValueFileAndUnexports)
{
    sysfs.addPin(17);
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 1, 0, recordA), 0);
    ASSERT_TRUE(eventually([] { return valueFd(17) >= 0; }));
    const int fd = valueFd(17);
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 1, 0, nullptr), 0);
    EXPECT_TRUE(eventually([this] { return threadCount() == baseline; }));
    EXPECT_EQ(gpioISR[17].thread, nullptr);
    EXPECT_EQ(gpioISR[17].callback, nullptr);
    EXPECT_EQ(gpioISR[17].value_fd, -1);
    EXPECT_EQ(gpioISR[17].exported, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(sysfs.read("unexport"), "17\n");
    // Edge and time-out stay until the next export resets them.
    EXPECT_EQ(gpioISR[17].edge, 1);
}

// Current kernels number the SoC's pins from their gpiochip's base; the chip
// is the one the SoC's pin controller labels.
TEST_F(Bcm2835Isr, EveryPathUsesTheSysfsNumberOfTheSocsGpiochip)
{
    struct Case {
        const char* what;
        const char* chip;
        const char* label;
        int base;
        unsigned pin;
        int number;
    };
    const Case cases[] = {
        {"Debian's 6.1", "gpiochip1994", "pinctrl-bcm2835", 1994, 26, 2020},
        {"Raspberry Pi OS's 6.6 on a Pi 4", "gpiochip512", "pinctrl-bcm2711", 512, 17, 529},
        {"another chip only", "gpiochip504", "raspberrypi-exp-gpio", 504, 17, 17},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QByteArray root = pi.layer.sysfsPath + "-" + c.chip;
        FakeSysfs kernel{root};
        bcm2835_sysfs_gpio_dir = root.constData();
        kernel.addChip(c.chip, c.label, c.base);
        kernel.addPin(c.number);
        const QString dir = kernel.pinDir(c.number);

        ASSERT_EQ(bcm2835_gpioSetISRFunc(c.pin, 1, 0, recordA), 0);
        EXPECT_EQ(kernel.read("export"), QByteArray::number(c.number) + "\n");
        EXPECT_EQ(kernel.read(dir + "/direction"), "in\n");
        EXPECT_EQ(kernel.read(dir + "/edge"), "falling\n");
        EXPECT_TRUE(eventually([&c] { return valueFd(c.pin) >= 0; }));
        ASSERT_EQ(bcm2835_gpioSetISRFunc(c.pin, 1, 0, nullptr), 0);
        EXPECT_EQ(kernel.read("unexport"), QByteArray::number(c.number) + "\n");
        bcm2835_sysfs_gpio_dir = pi.layer.sysfsPath.constData();
    }
}

TEST_F(Bcm2835Isr, RemovingAPinThatWasNeverRegisteredWritesNothing)
{
    EXPECT_EQ(bcm2835_gpioSetISRFunc(22, 0, 0, nullptr), 0);
    EXPECT_EQ(sysfs.read("unexport"), "");
}

TEST_F(Bcm2835Isr, TimeOutsOfZeroOrLessMeanNone)
{
    sysfs.addPin(17);
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 1, 0, recordA), 0);
    EXPECT_EQ(gpioISR[17].timeout_ms, -1);
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 1, -5, recordA), 0);
    EXPECT_EQ(gpioISR[17].timeout_ms, -1);
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 1, 250, recordA), 0);
    EXPECT_EQ(gpioISR[17].timeout_ms, 250);
}

TEST_F(Bcm2835Isr, NoExportFileFailsWith123)
{
    sysfs.remove("export");
    EXPECT_EQ(bcm2835_gpioSetISRFunc(17, 1, 0, recordA), -123);
    EXPECT_EQ(gpioISR[17].exported, 0);
    EXPECT_EQ(threadCount(), baseline);
}

TEST_F(Bcm2835Isr, APinThatIsExportedAlreadyIsRegisteredAgain)
{
    // The kernel refuses to export a pin twice, as one left exported by a
    // run that was killed; this export file refuses every write.
    sysfs.addPin(17);
    sysfs.remove("export");
    ASSERT_TRUE(QFile::link("/dev/full", sysfs.path("export")));
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 1, 0, recordA), 0);
    EXPECT_EQ(sysfs.read("gpio17/direction"), "in\n");
    EXPECT_EQ(sysfs.read("gpio17/edge"), "falling\n");
    EXPECT_EQ(gpioISR[17].exported, 1);
    EXPECT_NE(gpioISR[17].thread, nullptr);
    EXPECT_EQ(threadCount(), baseline + 1);
}

TEST_F(Bcm2835Isr, NoDirectionFileFailsWith123AfterTheExport)
{
    EXPECT_EQ(bcm2835_gpioSetISRFunc(17, 1, 0, recordA), -123);
    EXPECT_EQ(sysfs.read("export"), "17\n");
    EXPECT_EQ(gpioISR[17].exported, 0);
    EXPECT_EQ(gpioISR[17].thread, nullptr);
}

TEST_F(Bcm2835Isr, NoEdgeFileFailsWith123AndLeavesThePinExported)
{
    sysfs.addPin(17);
    sysfs.remove("gpio17/edge");
    EXPECT_EQ(bcm2835_gpioSetISRFunc(17, 1, 0, recordA), -123);
    EXPECT_EQ(gpioISR[17].exported, 1);
    EXPECT_EQ(gpioISR[17].edge, -1);
    EXPECT_EQ(gpioISR[17].thread, nullptr);
    EXPECT_EQ(bcm2835_gpioSetISRFunc(17, 1, 0, nullptr), 0);
    EXPECT_EQ(sysfs.read("unexport"), "17\n");
    EXPECT_EQ(gpioISR[17].exported, 0);
}

TEST_F(Bcm2835Isr, AValueFileThatNeverSignalsGivesTimeOutCallbacksWithLevel2)
{
    sysfs.addPin(17);
    bcm2835_delay(1234);  // the timer now reads 1234000 us
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 2, 5, recordA), 0);
    ASSERT_TRUE(eventually([] { return seenA.count() >= 3; }));
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 2, 5, nullptr), 0);
    for (const Call& call : seenA.calls()) {
        EXPECT_EQ(call.pin, 17);
        EXPECT_EQ(call.level, 2);
        EXPECT_EQ(call.tick, 1234000u);
    }
}

// A signal that would end the process goes to the thread that holds it
// during a flash change, never to an interrupt thread, which would take it
// at once; SIGCHLD, with which a new time-out wakes the thread, is left open.
namespace {
std::atomic<bool> maskSeen{false};
sigset_t callbackMask;

void recordMask(int, int, std::uint32_t)
{
    if (!maskSeen.load()) {
        pthread_sigmask(SIG_BLOCK, nullptr, &callbackMask);
        maskSeen.store(true);
    }
}
}  // namespace

TEST_F(Bcm2835Isr, InterruptThreadsTakeNoSignalButSigchld)
{
    sysfs.addPin(17);
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 2, 5, recordMask), 0);
    ASSERT_TRUE(eventually([] { return maskSeen.load(); }));
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 2, 5, nullptr), 0);
    // Of the real-time signals the lowest: qemu-user, which runs the ARM
    // builds' suites, has no host signal for the guest's highest.
    for (int signal : {SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF,
                       SIGIO, SIGPWR, SIGHUP, SIGRTMIN, SIGRTMIN + 1})
        EXPECT_EQ(sigismember(&callbackMask, signal), 1) << signal;
    EXPECT_EQ(sigismember(&callbackMask, SIGCHLD), 0);
}

TEST_F(Bcm2835Isr, ExtendedCallbacksGetTheirUserData)
{
    sysfs.addPin(5);
    int marker = 0;
    ASSERT_EQ(bcm2835_gpioSetISRFuncEx(5, 0, 5, recordEx, &marker), 0);
    EXPECT_EQ(gpioISR[5].extended, 1);
    ASSERT_TRUE(eventually([] { return seenA.count() >= 1; }));
    ASSERT_EQ(bcm2835_gpioSetISRFuncEx(5, 0, 5, nullptr, nullptr), 0);
    EXPECT_EQ(seenA.calls().front().user, &marker);
    EXPECT_EQ(seenA.calls().front().pin, 5);
}

TEST_F(Bcm2835Isr, AnEdgeOnPin40ReportsBit8OfTheSecondLevelRegister)
{
    sysfs.addPin(40);
    EdgeSource edge(sysfs.path("gpio40/value"));
    pi.wiring.boardDrive(40, true);
    pi.wiring.boardDrive(8, false);  // bit 8 of the first bank must not count
    bcm2835_delay(77);
    ASSERT_EQ(bcm2835_gpioSetISRFunc(40, 0, 0, recordA), 0);
    ASSERT_TRUE(eventually([] { return valueFd(40) >= 0; }));
    edge.arm();
    edge.fire();
    ASSERT_TRUE(eventually([] { return seenA.count() >= 1; }));
    ASSERT_EQ(bcm2835_gpioSetISRFunc(40, 0, 0, nullptr), 0);
    const Call first = seenA.calls().front();
    EXPECT_EQ(first.pin, 40);
    EXPECT_EQ(first.level, 1);
    EXPECT_EQ(first.tick, 77000u);
}

TEST_F(Bcm2835Isr, AnEdgeReportsTheLevelTheLineHasThen)
{
    sysfs.addPin(13);
    EdgeSource edge(sysfs.path("gpio13/value"));
    pi.wiring.boardDrive(13, false);
    pi.wiring.boardDrive(45, true);  // bit 13 of the other bank must not count
    ASSERT_EQ(bcm2835_gpioSetISRFunc(13, 2, 0, recordA), 0);
    ASSERT_TRUE(eventually([] { return valueFd(13) >= 0; }));
    edge.arm();
    edge.fire();
    ASSERT_TRUE(eventually([] { return seenA.count() >= 1; }));
    ASSERT_EQ(bcm2835_gpioSetISRFunc(13, 2, 0, nullptr), 0);
    EXPECT_EQ(seenA.calls().front().level, 0);
}

TEST_F(Bcm2835Isr, ANewTimeOutSignalsTheWaitingThread)
{
    // The signal only interrupts poll() when it has a handler; by default
    // SIGCHLD is discarded.
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGCHLD, &action, &previous), 0);

    sysfs.addPin(17);
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 1, 0, recordA), 0);  // waits without limit
    ASSERT_TRUE(eventually([] { return valueFd(17) >= 0; }));
    // A signal that arrives after the thread has read the old time-out but
    // before it is inside poll() is spent, and the wait without limit goes
    // on. Nothing outside tells when the thread is inside, so each new
    // time-out is given for a moment; one of them must end the wait.
    bool ended = false;
    for (int attempt = 0; attempt < 50 && !ended; ++attempt) {
        ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 1, 5 + attempt % 2, recordA), 0);
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (!(ended = seenA.count() >= 2) && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(ended);
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 1, 0, nullptr), 0);
    sigaction(SIGCHLD, &previous, nullptr);
}

TEST_F(Bcm2835Isr, AThreadThatCannotOpenTheValueFileEndsSilently)
{
    sysfs.addPin(17);
    sysfs.remove("gpio17/value");
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 1, 5, recordA), 0);
    EXPECT_TRUE(eventually([this] { return threadCount() == baseline; }));
    EXPECT_NE(gpioISR[17].thread, nullptr);
    EXPECT_EQ(seenA.count(), 0u);
    EXPECT_EQ(bcm2835_gpioSetISRFunc(17, 1, 5, nullptr), 0);
    EXPECT_EQ(gpioISR[17].thread, nullptr);
    EXPECT_EQ(sysfs.read("unexport"), "17\n");
}

TEST_F(Bcm2835Isr, ACallbackMayRemoveItsOwnRegistration)
{
    sysfs.addPin(17);
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 1, 5, removeMyself), 0);
    ASSERT_TRUE(eventually([] { return selfRemovals.load() == 1; }));
    ASSERT_TRUE(eventually([this] { return threadCount() == baseline; }));
    EXPECT_EQ(seenA.count(), 1u);
    EXPECT_EQ(gpioISR[17].thread, nullptr);
    EXPECT_EQ(gpioISR[17].callback, nullptr);
    EXPECT_EQ(gpioISR[17].value_fd, -1);
    EXPECT_EQ(gpioISR[17].exported, 0);
    EXPECT_EQ(sysfs.read("unexport"), "17\n");
    // No descriptor of the value file is left open.
    const QString value = QFileInfo(sysfs.path("gpio17/value")).canonicalFilePath();
    for (const QFileInfo& fd : QDir("/proc/self/fd").entryInfoList(QDir::Files | QDir::System))
        EXPECT_NE(fd.symLinkTarget(), value);
}

TEST_F(Bcm2835Isr, ACallbackMayRemoveAndRegisterItsPinAgain)
{
    sysfs.addPin(17);
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 1, 5, removeAndRegisterAgain), 0);
    ASSERT_TRUE(eventually([] { return seenB.count() >= 2; }));
    EXPECT_EQ(seenA.count(), 1u);
    EXPECT_EQ(gpioISR[17].callback, &recordB);
    EXPECT_EQ(gpioISR[17].edge, 2);
    ASSERT_EQ(bcm2835_gpioSetISRFunc(17, 1, 0, nullptr), 0);
    EXPECT_TRUE(eventually([this] { return threadCount() == baseline; }));
}

}  // namespace
