// On a real ARM kernel (Debian's armhf kernel on QEMU's raspi2b, booted by
// tools/target-test.sh): the product's register layer on the real /dev/mem
// and sysfs, checked against QEMU's own model of the BCM2835 and the kernel's
// clock, and the updater itself, as the kernel lets it at the hardware or
// not. One suite per boot; the boot runs it with --gtest_filter.

#include "bcm2835.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char kUpdater[] = "/usr/bin/lumo3update";
const char kSpiPins[] = {7, 8, 9, 10, 11};

std::string slurp(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

double monotonicSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int threads()
{
    int n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir))
            n += entry->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

// The sysfs number of the SoC's first line, read here by the chip's size
// (54 lines on the BCM2835 family), not by the label the layer goes by.
int socGpioBase()
{
    DIR* dir = opendir("/sys/class/gpio");
    int base = -1;
    while (dir && base < 0) {
        const dirent* entry = readdir(dir);
        if (!entry)
            break;
        const std::string chip = std::string("/sys/class/gpio/") + entry->d_name;
        if (std::strncmp(entry->d_name, "gpiochip", 8) == 0 && std::atoi(slurp(chip + "/ngpio").c_str()) == 54)
            base = std::atoi(slurp(chip + "/base").c_str());
    }
    if (dir)
        closedir(dir);
    return base;
}

unsigned function(unsigned pin)
{
    return (bcm2835_peri_read(bcm2835_gpio + pin / 10) >> (3 * (pin % 10))) & 7u;
}

struct Outcome {
    int exitCode = -1;  // -1: killed at the time limit
    std::string out;
    std::string err;
    double seconds = 0;
};

// The updater in a fresh directory holding files, as user uid.
Outcome runUpdater(const std::vector<std::string>& args, const std::vector<std::string>& files, uid_t uid = 0)
{
    char dir[] = "/tmp/runXXXXXX";
    if (!mkdtemp(dir) || chmod(dir, 0777) != 0)
        return {};
    for (const std::string& name : files)
        std::ofstream(std::string(dir) + "/" + name) << "not looked at\n";
    const std::string out = std::string(dir) + "/.out";
    const std::string err = std::string(dir) + "/.err";
    const double start = monotonicSeconds();
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv{const_cast<char*>(kUpdater)};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (chdir(dir) != 0 || o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 ||
            (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0)))
            _exit(126);
        execv(kUpdater, argv.data());
        _exit(127);
    }
    Outcome outcome;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (monotonicSeconds() - start > 90) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            status = -1;
            break;
        }
        usleep(10000);
    }
    outcome.seconds = monotonicSeconds() - start;
    if (status != -1 && WIFEXITED(status))
        outcome.exitCode = WEXITSTATUS(status);
    outcome.out = slurp(out);
    outcome.err = slurp(err);
    return outcome;
}

struct RunCase {
    const char* what;
    std::vector<std::string> args;
    std::vector<std::string> files;
    uid_t uid;
    int exitCode;
    std::string out;                  // the whole of standard output
    std::vector<std::string> said;    // lines that standard error holds
    std::function<void()> afterwards = {};  // what the run must have left
};

void expectRuns(const std::vector<RunCase>& cases)
{
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome r = runUpdater(c.args, c.files, c.uid);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        EXPECT_EQ(r.out, c.out);
        for (const std::string& line : c.said)
            EXPECT_NE(r.err.find(line + "\n"), std::string::npos) << "missing: " << line << "\n" << r.err;
        // The waits are bounded at a fraction of a second; the rest is the
        // start of a Qt program under emulation, seconds at most.
        EXPECT_LT(r.seconds, 60);
        if (c.afterwards)
            c.afterwards();
    }
}

// The layer's view of the machine, mapped for the checks of one suite.
class Mapped : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(bcm2835_init(), 1); }
    void TearDown() override { bcm2835_close(); }

    void expectSpiPinsAre(unsigned fn)
    {
        for (unsigned pin : kSpiPins)
            EXPECT_EQ(function(pin), fn) << "GPIO " << pin;
    }
};

// --- iomem=relaxed: the whole window maps ------------------------------------------

using RelaxedKernel = Mapped;

TEST_F(RelaxedKernel, TheWindowComesFromTheDeviceTree)
{
    EXPECT_EQ(bcm2835_peripherals_base, 0x3F000000u);
    EXPECT_EQ(bcm2835_peripherals_size, 0x01000000u);
}

TEST_F(RelaxedKernel, FunctionSelectSetClearAndLevelOnPinsTheKernelLeaves)
{
    bcm2835_gpio_fsel(26, BCM2835_GPIO_FSEL_OUTP);
    EXPECT_EQ(function(26), BCM2835_GPIO_FSEL_OUTP);
    bcm2835_gpio_set(26);
    EXPECT_EQ(bcm2835_gpio_lev(26), 1);
    bcm2835_gpio_clr(26);
    EXPECT_EQ(bcm2835_gpio_lev(26), 0);
    bcm2835_gpio_fsel(26, BCM2835_GPIO_FSEL_INPT);
    EXPECT_EQ(function(26), BCM2835_GPIO_FSEL_INPT);

    ASSERT_EQ(bcm2835_spi_begin(), 1);
    expectSpiPinsAre(BCM2835_GPIO_FSEL_ALT0);
    bcm2835_spi_end();
    expectSpiPinsAre(BCM2835_GPIO_FSEL_INPT);
}

TEST_F(RelaxedKernel, TheSystemTimerKeepsTheKernelsTimeAndDelaysLastTheirTime)
{
    const double from = monotonicSeconds();
    const std::uint64_t ticks = bcm2835_st_read();
    usleep(100000);
    const double seconds = monotonicSeconds() - from;
    const double timer = static_cast<double>(bcm2835_st_read() - ticks) / 1e6;
    EXPECT_NEAR(timer / seconds, 1.0, 0.02) << timer << " s of the timer in " << seconds << " s";

    const double before = monotonicSeconds();
    bcm2835_delay(100);
    const double slept = monotonicSeconds() - before;
    EXPECT_GE(slept, 0.1);
    EXPECT_LT(slept, 1.0);
}

void noEdge(int, int, unsigned) {}

// QEMU raises no GPIO interrupt, so no callback can come: registration and
// removal are what the kernel shows here.
TEST_F(RelaxedKernel, AnEdgeCallbackIsRegisteredAndRemovedUnderTheChipsNumbers)
{
    const int base = socGpioBase();
    ASSERT_GE(base, 0);
    const std::string pin = "/sys/class/gpio/gpio" + std::to_string(base + 26);
    const int before = threads();
    ASSERT_EQ(bcm2835_gpioSetISRFunc(26, 1, -1, noEdge), 0);
    EXPECT_EQ(slurp(pin + "/direction"), "in\n");
    EXPECT_EQ(slurp(pin + "/edge"), "falling\n");
    EXPECT_EQ(threads(), before + 1);
    ASSERT_EQ(bcm2835_gpioSetISRFunc(26, 1, -1, nullptr), 0);
    EXPECT_EQ(threads(), before);
    EXPECT_FALSE(exists(pin));
}

TEST_F(RelaxedKernel, TheUpdaterReleasesWhatItTookAndGivesUpOnAnSpi0ThatNeverAnswers)
{
    // QEMU models no SPI0: its registers read 0, and DONE never comes.
    expectRuns({
        {"nothing to do", {}, {}, 0, 0, "", {"No files for update"},
         [this] { expectSpiPinsAre(BCM2835_GPIO_FSEL_INPT); }},
        {"reboot on an SPI0 that never answers", {"-boot"}, {"a.bit"}, 0, 255, "",
         {"bcm2835_spi_transfernb: SPI0 stopped, no TXD for 100 ms: transfer abandoned with 0 of 21 bytes sent",
          "SPI0 stopped: nothing more was sent to the board, and no file was written or deleted"},
         [this] {
             EXPECT_EQ(function(26), BCM2835_GPIO_FSEL_INPT);  // never pulsed
             expectSpiPinsAre(BCM2835_GPIO_FSEL_INPT);
         }},
    });
}

// --- Debian's stock command line: strict /dev/mem ---------------------------------

TEST(StockKernel, TheUpdaterNamesTheKernelsPolicyToRootAndAsksOthersForRoot)
{
    expectRuns({
        {"as root", {}, {}, 0, 255, "bcm2835_spi_begin failed.\n",
         {"bcm2835_init: gpio mmap failed: Operation not permitted",
          "bcm2835_init: the kernel refuses /dev/mem access to peripherals that its drivers claim (strict /dev/mem): "
          "add iomem=relaxed to the kernel command line and reboot"}},
        {"as a user", {}, {}, 1000, 255, "bcm2835_spi_begin failed. Are you running as root??\n",
         {"bcm2835_init: Unable to open /dev/gpiomem: No such file or directory"}},
    });
}

// --- SPI0 enabled in the device tree, spi-bcm2835 bound, iomem=relaxed ----------------

using KernelOwnsSpi0 = Mapped;

TEST_F(KernelOwnsSpi0, TheUpdaterRefusesBeforeTouchingSpi0AndLeavesItsPins)
{
    unsigned before[sizeof kSpiPins];
    for (std::size_t i = 0; i < sizeof kSpiPins; ++i)
        before[i] = function(static_cast<unsigned>(kSpiPins[i]));
    expectRuns({
        {"as root", {}, {}, 0, 255, "bcm2835_spi_begin failed.\n",
         {"bcm2835_spi_begin: SPI0 (3f204000.spi) belongs to the kernel's spi-bcm2835 driver: free it with "
          "dtparam=spi=off in config.txt and a reboot, or by writing 3f204000.spi to "
          "/sys/bus/platform/drivers/spi-bcm2835/unbind"},
         [&] {
             for (std::size_t i = 0; i < sizeof kSpiPins; ++i)
                 EXPECT_EQ(function(static_cast<unsigned>(kSpiPins[i])), before[i]) << "GPIO " << int(kSpiPins[i]);
         }},
    });
}

}  // namespace

// Only inside the virtual machine that tools/target-test.sh boots: anywhere
// else /dev/mem is the host's, or a real board's.
int main(int argc, char** argv)
{
    if (slurp("/proc/cmdline").find("lumo3.target") == std::string::npos) {
        std::fprintf(stderr, "lumo3-target-tests: only for the kernel that tools/target-test.sh boots\n");
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
