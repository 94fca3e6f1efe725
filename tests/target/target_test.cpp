// On a real ARM kernel (Debian's armhf kernel on QEMU's raspi2b, its arm64
// kernel on raspi3b, booted by tools/target-test.sh): the product's register
// layer on the real /dev/mem and sysfs, held against QEMU's model of the
// BCM2835 and the kernel's clock, and the updater itself as the kernel lets
// it at the hardware or not. One suite per boot, which runs it with
// --gtest_filter.

#include "bcm2835.h"

#include <gtest/gtest.h>

#include <glob.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string slurp(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

double seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int threads()
{
    const std::string status = slurp("/proc/self/status");
    return std::atoi(status.c_str() + status.find("Threads:") + 8);
}

// The kernel counts a joined thread out only a moment after the join
// returns: the count is given 5 s to reach `expected`.
int threadsSettledAt(int expected)
{
    const double until = seconds() + 5;
    int now = threads();
    while (now != expected && seconds() < until) {
        usleep(1000);
        now = threads();
    }
    return now;
}

// The sysfs number of the SoC's first line, found here by the chip's 54
// lines rather than by the label that the layer goes by.
int socGpioBase()
{
    glob_t chips{};
    int base = -1;
    if (glob("/sys/class/gpio/gpiochip*", 0, nullptr, &chips) == 0)
        for (std::size_t i = 0; i < chips.gl_pathc; ++i)
            if (std::atoi(slurp(std::string(chips.gl_pathv[i]) + "/ngpio").c_str()) == 54)
                base = std::atoi(slurp(std::string(chips.gl_pathv[i]) + "/base").c_str());
    globfree(&chips);
    return base;
}

unsigned function(unsigned pin)
{
    return (bcm2835_peri_read(bcm2835_gpio + pin / 10) >> (3 * (pin % 10))) & 7u;
}

// GPIO 7-11, one octal digit each.
unsigned spiPins()
{
    unsigned functions = 0;
    for (unsigned pin = 7; pin <= 11; ++pin)
        functions = functions << 3 | function(pin);
    return functions;
}

struct Run {
    const char* what;
    const char* command;  // busybox sh, in a fresh directory
    int exitCode;
    const char* out;                // the whole of standard output
    std::vector<const char*> said;  // lines that standard error holds
    std::function<void()> afterwards = {};
};

void expectRuns(const std::vector<Run>& runs)
{
    for (const Run& r : runs) {
        SCOPED_TRACE(r.what);
        char dir[] = "/tmp/runXXXXXX";
        ASSERT_TRUE(mkdtemp(dir) && chmod(dir, 0777) == 0);
        const double start = seconds();
        const int status = std::system((std::string("cd ") + dir + " && " + r.command + " >.out 2>.err").c_str());
        // The updater's waits are bounded at a fraction of a second; the rest
        // is the start of a Qt program under emulation.
        EXPECT_LT(seconds() - start, 60);
        const std::string err = slurp(std::string(dir) + "/.err");
        EXPECT_EQ(WEXITSTATUS(status), r.exitCode) << err;
        EXPECT_EQ(slurp(std::string(dir) + "/.out"), r.out);
        for (const char* line : r.said)
            EXPECT_NE(err.find(std::string(line) + "\n"), std::string::npos) << "missing: " << line << "\n" << err;
        if (r.afterwards)
            r.afterwards();
    }
}

const char kRefused[] = "bcm2835_spi_begin failed.\n";

class Mapped : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(bcm2835_init(), 1); }
    void TearDown() override { bcm2835_close(); }
};

// --- iomem=relaxed: the whole window maps ------------------------------------------------

using RelaxedKernel = Mapped;

TEST_F(RelaxedKernel, WindowGpioAndTimerAgreeWithTheModelAndTheKernel)
{
    EXPECT_EQ(bcm2835_peripherals_base, 0x3F000000u);
    EXPECT_EQ(bcm2835_peripherals_size, 0x01000000u);

    bcm2835_gpio_fsel(26, BCM2835_GPIO_FSEL_OUTP);
    EXPECT_EQ(function(26), 1u);
    bcm2835_gpio_set(26);
    EXPECT_EQ(bcm2835_gpio_lev(26), 1);
    bcm2835_gpio_clr(26);
    EXPECT_EQ(bcm2835_gpio_lev(26), 0);
    bcm2835_gpio_fsel(26, BCM2835_GPIO_FSEL_INPT);
    EXPECT_EQ(function(26), 0u);
    ASSERT_EQ(bcm2835_spi_begin(), 1);
    EXPECT_EQ(spiPins(), 044444u);
    bcm2835_spi_end();
    EXPECT_EQ(spiPins(), 0u);

    // Each timer read between two of the kernel's clock, so that a pause of
    // the emulator between them widens the bounds instead of failing.
    const double firstBefore = seconds();
    const std::uint64_t first = bcm2835_st_read();
    const double firstAfter = seconds();
    usleep(100000);
    const double lastBefore = seconds();
    const double timer = static_cast<double>(bcm2835_st_read() - first) / 1e6;
    const double lastAfter = seconds();
    EXPECT_GE(timer, 0.98 * (lastBefore - firstAfter));
    EXPECT_LE(timer, 1.02 * (lastAfter - firstBefore));
    const double before = seconds();
    bcm2835_delay(100);
    EXPECT_GE(seconds() - before, 0.1);
    EXPECT_LT(seconds() - before, 1.0);
}

// QEMU raises no GPIO interrupt, so no callback can come: registration and
// removal are what the kernel shows.
TEST_F(RelaxedKernel, AnEdgeCallbackComesAndGoesUnderTheChipsNumbers)
{
    const std::string pin = "/sys/class/gpio/gpio" + std::to_string(socGpioBase() + 26);
    const int before = threads();
    ASSERT_EQ(bcm2835_gpioSetISRFunc(26, 1, -1, [](int, int, unsigned) {}), 0);
    EXPECT_EQ(slurp(pin + "/direction") + slurp(pin + "/edge"), "in\nfalling\n");
    EXPECT_EQ(threadsSettledAt(before + 1), before + 1);
    ASSERT_EQ(bcm2835_gpioSetISRFunc(26, 1, -1, nullptr), 0);
    EXPECT_EQ(threadsSettledAt(before), before);
    EXPECT_NE(access(pin.c_str(), F_OK), 0);
}

// This machine's own device tree is accepted (the fixture mapped it); one
// that names another SoC is refused before anything is mapped.
TEST_F(RelaxedKernel, AnotherSocInTheDeviceTreeIsRefusedBeforeMapping)
{
    bcm2835_close();
    const char pi5[] = "raspberrypi,5-model-b\0brcm,bcm2712";
    std::ofstream("/tmp/compatible").write(pi5, sizeof pi5);
    bcm2835_compatible_file = "/tmp/compatible";
    testing::internal::CaptureStderr();
    EXPECT_EQ(bcm2835_init(), 0);
    const std::string said = testing::internal::GetCapturedStderr();
    bcm2835_compatible_file = "/proc/device-tree/compatible";
    EXPECT_EQ(said.rfind("bcm2835_init: the device tree names raspberrypi,5-model-b, brcm,bcm2712: not a ", 0), 0u)
        << said;
    EXPECT_EQ(bcm2835_gpio, static_cast<volatile std::uint32_t*>(MAP_FAILED));
    ASSERT_EQ(bcm2835_init(), 1);
}

TEST_F(RelaxedKernel, TheUpdaterGivesBackItsPinsAndGivesUpOnQemusSpi0)
{
    // QEMU models no SPI0: its registers read 0, so no flag ever comes.
    expectRuns({
        {"nothing to do", "timeout 90 /usr/bin/lumo3update", 0, "", {"No files for update"}, [] { EXPECT_EQ(spiPins(), 0u); }},
        {"reboot", "touch a.bit && timeout 90 /usr/bin/lumo3update -boot", 255, "",
         {"bcm2835_spi_transfernb: SPI0 stopped, no TXD for 100 ms: transfer abandoned with 0 of 21 bytes sent",
          "SPI0 stopped: nothing more was sent to the board, and no file was written or deleted",
          "SPI0 stopped: check that no kernel driver or other program uses SPI0 (dtparam=spi=off in config.txt), "
          "that GPIO 7 to 11 reach the board, and that the board is powered"},
         [] {
             EXPECT_EQ(function(26), 0u);  // never pulsed
             EXPECT_EQ(spiPins(), 0u);
         }},
    });
}

// --- Debian's own command line: strict /dev/mem ----------------------------------------

TEST(StockKernel, RootIsToldTheKernelsPolicyAndOthersToBeRoot)
{
    expectRuns({
        {"root", "timeout 90 /usr/bin/lumo3update", 255, kRefused,
         {"bcm2835_init: gpio mmap failed: Operation not permitted",
          "bcm2835_init: the kernel refuses /dev/mem access to peripherals that its drivers claim (strict /dev/mem): "
          "add iomem=relaxed to the kernel command line and reboot"}},
        // The lock's directory is root's: another user stops there.
        {"a user", "su user -c 'timeout 90 /usr/bin/lumo3update'", 255, "",
         {"lumo3update: can't open the lock /run/lumo3update/lumo3update.lock: Permission denied: run lumo3update "
          "as root"}},
    });
}

// --- SPI0 on in the device tree and bound to spi-bcm2835, iomem=relaxed --------------------

using KernelOwnsSpi0 = Mapped;

TEST_F(KernelOwnsSpi0, TheUpdaterNamesTheDriverAndLeavesItsPins)
{
    // The Pi 2's device tree gives the driver GPIO 7-11 in ALT0; the Pi 3's
    // leaves them inputs, which a run that made them inputs would not change.
    // In ALT0 on both, the check sees any pin the updater takes back.
    for (unsigned pin = 7; pin <= 11; ++pin)
        bcm2835_gpio_fsel(pin, BCM2835_GPIO_FSEL_ALT0);
    const unsigned pins = spiPins();
    ASSERT_EQ(pins, 044444u);
    expectRuns({
        {"root", "timeout 90 /usr/bin/lumo3update", 255, kRefused,
         {"bcm2835_spi_begin: SPI0 (3f204000.spi) belongs to the kernel's spi-bcm2835 driver: free it with "
          "dtparam=spi=off in config.txt and a reboot, or by writing 3f204000.spi to "
          "/sys/bus/platform/drivers/spi-bcm2835/unbind"},
         [pins] { EXPECT_EQ(spiPins(), pins); }},
    });
}

}  // namespace

// Only in the virtual machine that tools/target-test.sh boots: anywhere else
// /dev/mem is the host's, or a real board's.
int main(int argc, char** argv)
{
    if (slurp("/proc/cmdline").find("lumo3.target") == std::string::npos) {
        std::fputs("lumo3-target-tests: only for the kernel that tools/target-test.sh boots\n", stderr);
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
