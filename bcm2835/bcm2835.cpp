#include "bcm2835.h"

#ifdef BCM2835_EMULATED
#include "bcm2835_emulation.h"
#endif

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <ctime>
#include <new>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

// --- Process-wide state ----------------------------------------------------------

namespace {
volatile std::uint32_t* unmapped()
{
    return static_cast<volatile std::uint32_t*>(MAP_FAILED);
}

// Debug mode prints register accesses instead of performing them.
std::uint8_t debug = 0;

// Set on a pin's interrupt thread when its own callback removed the
// registration; the thread ends as soon as the callback returns.
thread_local bool isr_thread_ending = false;

constexpr std::array<std::uint8_t, 256> make_reverse_table()
{
    std::array<std::uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned reversed = 0;
        for (unsigned bit = 0; bit < 8; ++bit)
            if (i & (1u << bit))
                reversed |= 0x80u >> bit;
        table[i] = static_cast<std::uint8_t>(reversed);
    }
    return table;
}
}  // namespace

std::uint32_t bcm2835_peripherals_base = BCM2835_PERI_BASE;
std::uint32_t bcm2835_peripherals_size = BCM2835_PERI_SIZE;

volatile std::uint32_t* bcm2835_peripherals = unmapped();
volatile std::uint32_t* bcm2835_gpio = unmapped();
volatile std::uint32_t* bcm2835_pwm = unmapped();
volatile std::uint32_t* bcm2835_clk = unmapped();
volatile std::uint32_t* bcm2835_pads = unmapped();
volatile std::uint32_t* bcm2835_spi0 = unmapped();
volatile std::uint32_t* bcm2835_bsc0 = unmapped();
volatile std::uint32_t* bcm2835_bsc1 = unmapped();
volatile std::uint32_t* bcm2835_st = unmapped();
volatile std::uint32_t* bcm2835_aux = unmapped();
volatile std::uint32_t* bcm2835_spi1 = unmapped();

std::uint8_t pud_type_rpi4 = 0;

std::uint8_t bcm2835_spi_bit_order = 1;
const std::array<std::uint8_t, 256> bcm2835_byte_reverse_table = make_reverse_table();

isr_record gpioISR[BCM2835_ISR_PINS];

const char* bcm2835_sysfs_gpio_dir = "/sys/class/gpio";
const char* bcm2835_soc_ranges_file = "/proc/device-tree/soc/ranges";
const char* bcm2835_compatible_file = "/proc/device-tree/compatible";
const char* bcm2835_sysfs_platform_dir = "/sys/bus/platform/devices";

// --- What differs between the product and the emulated variant ------------------

namespace {

#ifdef BCM2835_EMULATED

std::uint32_t load(volatile std::uint32_t* paddr)
{
    return bcm2835_emu_read(paddr);
}

std::uint32_t load_nb(volatile std::uint32_t* paddr)
{
    return bcm2835_emu_read(paddr);
}

void store(volatile std::uint32_t* paddr, std::uint32_t value)
{
    bcm2835_emu_write(paddr, value);
}

void store_nb(volatile std::uint32_t* paddr, std::uint32_t value)
{
    bcm2835_emu_write(paddr, value);
}

int open_device(const char* device)
{
    return bcm2835_emu_open(device);
}

volatile std::uint32_t* map_device(int, const char* device, std::uint32_t offset)
{
    return bcm2835_emu_map(device, offset, bcm2835_peripherals_size);
}

void close_device(int) {}

void unmap_window(volatile std::uint32_t* window, std::uint32_t size)
{
    bcm2835_emu_unmap(window, size);
}

unsigned effective_uid()
{
    return bcm2835_emu_geteuid();
}

void sleep_for(const struct timespec& request)
{
    bcm2835_emu_nanosleep(&request);
}

std::uint64_t monotonic_us()
{
    return bcm2835_emu_monotonic_us();
}

#else

void memory_barrier()
{
    // The compiler's full fence is dmb ish on ARMv7 and ARMv8 and the CP15
    // barrier on ARMv6, which has no dmb instruction.
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

std::uint32_t load(volatile std::uint32_t* paddr)
{
    memory_barrier();
    const std::uint32_t value = *paddr;
    memory_barrier();
    return value;
}

std::uint32_t load_nb(volatile std::uint32_t* paddr)
{
    return *paddr;
}

void store(volatile std::uint32_t* paddr, std::uint32_t value)
{
    memory_barrier();
    *paddr = value;
    memory_barrier();
}

void store_nb(volatile std::uint32_t* paddr, std::uint32_t value)
{
    *paddr = value;
}

#if defined(__arm__) || defined(__aarch64__)
int open_device(const char* device)
{
    return open(device, O_RDWR | O_SYNC);
}

volatile std::uint32_t* map_device(int fd, const char*, std::uint32_t offset)
{
    return static_cast<volatile std::uint32_t*>(mmap(nullptr, bcm2835_peripherals_size, PROT_READ | PROT_WRITE,
                                                     MAP_SHARED, fd, static_cast<off_t>(offset)));
}

void close_device(int fd)
{
    close(fd);
}
#endif

void unmap_window(volatile std::uint32_t* window, std::uint32_t size)
{
    munmap(const_cast<std::uint32_t*>(window), size);
}

unsigned effective_uid()
{
    return geteuid();
}

void sleep_for(const struct timespec& request)
{
    nanosleep(&request, nullptr);
}

std::uint64_t monotonic_us()
{
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

#endif

#if defined(BCM2835_EMULATED) || defined(__arm__) || defined(__aarch64__)
volatile std::uint32_t* map_window(const char* device, std::uint32_t offset)
{
    const int fd = open_device(device);
    if (fd < 0) {
        std::fprintf(stderr, "bcm2835_init: Unable to open %s: %s\n", device, std::strerror(errno));
        return unmapped();
    }
    volatile std::uint32_t* window = map_device(fd, device, offset);
    const int error = errno;
    close_device(fd);
    if (window == unmapped()) {
        std::fprintf(stderr, "bcm2835_init: %s mmap failed: %s\n", "gpio", std::strerror(error));
        // A kernel built with CONFIG_IO_STRICT_DEVMEM (Debian's) refuses root
        // a mapping that covers a region one of its drivers claims, and the
        // window always covers the GPIO block, which pinctrl claims.
        if (error == EPERM && std::strcmp(device, "/dev/mem") == 0)
            std::fprintf(stderr, "bcm2835_init: the kernel refuses /dev/mem access to peripherals that its drivers "
                                 "claim (strict /dev/mem): add iomem=relaxed to the kernel command line and reboot\n");
    }
    return window;
}
#else
// Only an ARM build runs on the SoC. Elsewhere the physical address of the
// peripherals is ordinary memory of the machine, and writing registers there
// as root would corrupt it.
volatile std::uint32_t* map_window(const char*, std::uint32_t)
{
    std::fprintf(stderr, "bcm2835_init: not built for ARM, so there are no BCM2835 peripherals to map\n");
    return unmapped();
}
#endif

// The interrupt threads take the timer and level words with a single load and
// no barrier. The relaxed atomic load is that same instruction on ARM, and
// keeps the emulator's concurrent updates of those words well defined.
std::uint32_t load_direct(volatile std::uint32_t* paddr)
{
    return __atomic_load_n(paddr, __ATOMIC_RELAXED);
}

void* shown(volatile std::uint32_t* paddr)
{
    return const_cast<std::uint32_t*>(paddr);
}

volatile std::uint32_t* at(volatile std::uint32_t* block, std::uint32_t byteOffset)
{
    return reinterpret_cast<volatile std::uint32_t*>(reinterpret_cast<std::uintptr_t>(block) + byteOffset);
}

void set_blocks(volatile std::uint32_t* window)
{
    bcm2835_st = at(window, BCM2835_ST_BASE);
    bcm2835_pads = at(window, BCM2835_GPIO_PADS);
    bcm2835_clk = at(window, BCM2835_CLOCK_BASE);
    bcm2835_gpio = at(window, BCM2835_GPIO_BASE);
    bcm2835_spi0 = at(window, BCM2835_SPI0_BASE);
    bcm2835_bsc0 = at(window, BCM2835_BSC0_BASE);
    bcm2835_pwm = at(window, BCM2835_GPIO_PWM);
    bcm2835_aux = at(window, BCM2835_AUX_BASE);
    bcm2835_spi1 = at(window, BCM2835_SPI1_BASE);
    bcm2835_bsc1 = at(window, BCM2835_BSC1_BASE);
}

std::uint32_t big_endian(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

// The device tree names the window: child address 0x7E000000, then the
// parent address in one cell (base, size) or in two cells (0, base, size).
// A word that was not read counts as a short read. False, with the defaults
// kept, when it names none of the family's windows.
bool probe_window()
{
    std::FILE* fp = std::fopen(bcm2835_soc_ranges_file, "rb");
    if (!fp)
        return false;
    unsigned char buf[16] = {};
    const std::size_t n = std::fread(buf, 1, sizeof buf, fp);
    std::fclose(fp);
    if (n < 12)
        return false;
    std::uint32_t base = big_endian(buf + 4);
    std::uint32_t size = big_endian(buf + 8);
    if (base == 0) {
        if (n < 16)
            return false;
        base = big_endian(buf + 8);
        size = big_endian(buf + 12);
    }
    static const unsigned char kChildAddress[4] = {0x7E, 0x00, 0x00, 0x00};
    const bool known = base == BCM2835_PERI_BASE || base == BCM2835_RPI2_PERI_BASE || base == BCM2835_RPI4_PERI_BASE;
    if (std::memcmp(buf, kChildAddress, sizeof kChildAddress) != 0 || !known)
        return false;
    bcm2835_peripherals_base = base;
    bcm2835_peripherals_size = size;
    if (base == BCM2835_RPI4_PERI_BASE)
        pud_type_rpi4 = 1;
    return true;
}

// The device tree's root names the machine, most specific first (a Pi 3:
// "raspberrypi,3-model-b", "brcm,bcm2837"). The Raspberry Pi kernels of old
// named the same SoCs bcm2708, bcm2709 and bcm2710; a model string alone
// counts for the SoC it implies.
constexpr const char* kFamilyCompatibles[] = {
    "brcm,bcm2835", "brcm,bcm2836", "brcm,bcm2837", "brcm,bcm2711", "brcm,bcm2708", "brcm,bcm2709", "brcm,bcm2710",
    "raspberrypi,model-a", "raspberrypi,model-a-plus", "raspberrypi,model-b", "raspberrypi,model-b-i2c0",
    "raspberrypi,model-b-rev2", "raspberrypi,model-b-plus", "raspberrypi,compute-module", "raspberrypi,model-zero",
    "raspberrypi,model-zero-w", "raspberrypi,2-model-b", "raspberrypi,3-model-a-plus", "raspberrypi,3-model-b",
    "raspberrypi,3-model-b-plus", "raspberrypi,3-compute-module", "raspberrypi,3-compute-module-lite",
    "raspberrypi,model-zero-2-w", "raspberrypi,4-model-b", "raspberrypi,400", "raspberrypi,4-compute-module"};

enum class Machine { NoDeviceTree, Family, Other };

// What the machine is, found before any register is mapped: elsewhere than
// on a Pi of the family (a Pi 5, whose GPIO and SPI sit behind PCIe on its
// RP1; another ARM board) the family's addresses are other devices or RAM.
// With no device tree at all, as on the oldest Pi 1 systems, the defaults
// stand.
Machine machine()
{
    std::FILE* fp = std::fopen(bcm2835_compatible_file, "rb");
    if (!fp) {
        if (errno == ENOENT || errno == ENOTDIR)
            return Machine::NoDeviceTree;
        std::fprintf(stderr, "bcm2835_init: cannot read %s: %s\n", bcm2835_compatible_file, std::strerror(errno));
        return Machine::Other;
    }
    char buf[1024] = {};
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, fp);
    std::fclose(fp);
    std::string names;
    bool family = false;
    for (std::size_t at = 0; at < n;) {
        const std::string name(buf + at);
        at += name.size() + 1;
        if (name.empty())
            continue;
        for (const char* known : kFamilyCompatibles)
            family = family || name == known;
        names += (names.empty() ? "" : ", ") + name;
    }
    if (family)
        return Machine::Family;
    for (char& c : names)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            c = '?';
    std::fprintf(stderr,
                 "bcm2835_init: the device tree names %s: not a BCM2835-family Raspberry Pi. The updater drives "
                 "the Pi 1, Zero, Zero W, 2, 3, Zero 2 W, 4, 400 and Compute Modules 1, 3 and 4 (BCM2835, BCM2836, "
                 "BCM2837, BCM2711), not the Pi 5 (BCM2712)\n",
                 names.empty() ? "no machine" : names.c_str());
    return Machine::Other;
}

}  // namespace

// --- Mapping ------------------------------------------------------------------------

int bcm2835_init()
{
    if (debug) {
        bcm2835_peripherals = reinterpret_cast<volatile std::uint32_t*>(std::uintptr_t{BCM2835_PERI_BASE});
        set_blocks(bcm2835_peripherals);
        return 1;
    }
    const Machine found = machine();
    if (found == Machine::Other)
        return 0;
    if (!probe_window() && found == Machine::Family) {
        std::fprintf(stderr,
                     "bcm2835_init: %s names none of the family's peripheral windows (0x7E000000 at 0x20000000, "
                     "0x3F000000 or 0xFE000000): nothing is mapped\n",
                     bcm2835_soc_ranges_file);
        return 0;
    }
    if (effective_uid() == 0) {
        volatile std::uint32_t* window = map_window("/dev/mem", bcm2835_peripherals_base);
        if (window == unmapped()) {
            bcm2835_close();
            return 0;
        }
        bcm2835_peripherals = window;
        set_blocks(window);
        return 1;
    }
    // Without root only the GPIO block is offered, at the start of /dev/gpiomem.
    bcm2835_peripherals_base = 0;
    volatile std::uint32_t* window = map_window("/dev/gpiomem", 0);
    if (window == unmapped()) {
        bcm2835_close();
        return 0;
    }
    bcm2835_peripherals = window;
    bcm2835_gpio = window;
    return 1;
}

int bcm2835_close()
{
    if (debug)
        return 1;
    if (bcm2835_peripherals != unmapped())
        unmap_window(bcm2835_peripherals, bcm2835_peripherals_size);
    for (volatile std::uint32_t** block : {&bcm2835_peripherals, &bcm2835_gpio, &bcm2835_pwm, &bcm2835_clk,
                                           &bcm2835_pads, &bcm2835_spi0, &bcm2835_bsc0, &bcm2835_bsc1,
                                           &bcm2835_st, &bcm2835_aux, &bcm2835_spi1})
        *block = unmapped();
    return 1;
}

void bcm2835_set_debug(std::uint8_t d)
{
    debug = d;
}

std::uint32_t bcm2835_version()
{
    return BCM2835_VERSION;
}

// --- Register primitives ---------------------------------------------------------------

std::uint32_t bcm2835_peri_read(volatile std::uint32_t* paddr)
{
    if (debug) {
        std::printf("bcm2835_peri_read  paddr %p\n", shown(paddr));
        return 0;
    }
    return load(paddr);
}

std::uint32_t bcm2835_peri_read_nb(volatile std::uint32_t* paddr)
{
    if (debug) {
        std::printf("bcm2835_peri_read_nb  paddr %p\n", shown(paddr));
        return 0;
    }
    return load_nb(paddr);
}

void bcm2835_peri_write(volatile std::uint32_t* paddr, std::uint32_t value)
{
    if (debug) {
        std::printf("bcm2835_peri_write paddr %p, value %08X\n", shown(paddr), value);
        return;
    }
    store(paddr, value);
}

void bcm2835_peri_write_nb(volatile std::uint32_t* paddr, std::uint32_t value)
{
    if (debug) {
        std::printf("bcm2835_peri_write_nb paddr %p, value %08X\n", shown(paddr), value);
        return;
    }
    store_nb(paddr, value);
}

void bcm2835_peri_set_bits(volatile std::uint32_t* paddr, std::uint32_t value, std::uint32_t mask)
{
    const std::uint32_t v = bcm2835_peri_read(paddr);
    bcm2835_peri_write(paddr, (v & ~mask) | (value & mask));
}

// --- GPIO -------------------------------------------------------------------------------

void bcm2835_gpio_fsel(std::uint8_t pin, std::uint8_t mode)
{
    volatile std::uint32_t* paddr = at(bcm2835_gpio, BCM2835_GPFSEL0 + 4u * (pin / 10));
    const unsigned shift = 3u * (pin % 10);
    bcm2835_peri_set_bits(paddr, static_cast<std::uint32_t>(mode) << shift,
                          static_cast<std::uint32_t>(BCM2835_GPIO_FSEL_MASK) << shift);
}

void bcm2835_gpio_set(std::uint8_t pin)
{
    bcm2835_peri_write(at(bcm2835_gpio, BCM2835_GPSET0 + 4u * (pin / 32)), 1u << (pin % 32));
}

void bcm2835_gpio_clr(std::uint8_t pin)
{
    bcm2835_peri_write(at(bcm2835_gpio, BCM2835_GPCLR0 + 4u * (pin / 32)), 1u << (pin % 32));
}

void bcm2835_gpio_write(std::uint8_t pin, std::uint8_t on)
{
    if (on)
        bcm2835_gpio_set(pin);
    else
        bcm2835_gpio_clr(pin);
}

std::uint8_t bcm2835_gpio_lev(std::uint8_t pin)
{
    const std::uint32_t value = bcm2835_peri_read(at(bcm2835_gpio, BCM2835_GPLEV0 + 4u * (pin / 32)));
    return (value & (1u << (pin % 32))) ? 1 : 0;
}

// --- Delays ---------------------------------------------------------------------------------

void bcm2835_delay(unsigned int millis)
{
    struct timespec sleeper {};
    sleeper.tv_sec = static_cast<time_t>(millis / 1000);
    sleeper.tv_nsec = static_cast<long>(millis % 1000) * 1000000L;
    sleep_for(sleeper);
}

// --- System timer ----------------------------------------------------------------------------

std::uint64_t bcm2835_st_read()
{
    volatile std::uint32_t* high = at(bcm2835_st, BCM2835_ST_CHI);
    volatile std::uint32_t* low = at(bcm2835_st, BCM2835_ST_CLO);
    std::uint32_t hi = bcm2835_peri_read(high);
    std::uint32_t lo = bcm2835_peri_read(low);
    const std::uint32_t again = bcm2835_peri_read(high);
    // The low word wrapped between the reads: it is read again under the new high word.
    if (again != hi) {
        hi = again;
        lo = bcm2835_peri_read(low);
    }
    return static_cast<std::uint64_t>(hi) << 32 | lo;
}

// --- SPI0 master ------------------------------------------------------------------------------

namespace {
constexpr std::uint8_t kSpiPins[] = {BCM2835_SPI0_CE1_PIN, BCM2835_SPI0_CE0_PIN, BCM2835_SPI0_MISO_PIN,
                                     BCM2835_SPI0_MOSI_PIN, BCM2835_SPI0_SCLK_PIN};

// The divider last set; the controller comes out of reset with 0, which it
// takes as 65536.
unsigned spi_divider = 0;

std::uint8_t wire_order(std::uint8_t byte)
{
    return bcm2835_spi_bit_order == 0 ? bcm2835_byte_reverse_table[byte] : byte;
}

// A wait of the transfer loops for one of the controller's flags. A
// controller that stops (no clock, a kernel driver that took it over or
// reset it mid-frame) would hold the loops for ever, so a wait ends at a
// bound far above anything a working controller needs: the time of the
// whole frame at the divider on the family's slowest core clock (250 MHz),
// and 100 ms more. Time is read from the system timer only after a run of
// polls that found nothing, so a transfer that flows reads no clock at all;
// and the wait gives up only when a poll after the bound found nothing
// either, so a process that was paused past the bound does not give up on a
// controller that went on meanwhile. The kernel's monotonic clock bounds the
// wait as well: a system timer that does not move (a window that is not the
// SoC's peripherals, a stuck SoC) must not make the wait endless.
class SpiWait {
public:
    explicit SpiWait(std::uint32_t len)
        : boundUs_(std::uint64_t{len} * 8 * (spi_divider == 0 ? 65536 : spi_divider) / 250 + 100000)
    {
    }

    unsigned boundMs() const { return static_cast<unsigned>((boundUs_ + 500) / 1000); }

    // A flag came: the next wait starts anew.
    void progressed()
    {
        idle_ = 0;
        timed_ = false;
        expired_ = false;
    }

    // Called after a poll that found nothing.
    bool gaveUp()
    {
        if (expired_)
            return true;
        if (++idle_ < kPollsPerClockRead)
            return false;
        idle_ = 0;
        const std::uint64_t now = bcm2835_st_read();
        const std::uint64_t kernelNow = monotonic_us();
        if (!timed_) {
            since_ = now;
            kernelSince_ = kernelNow;
            timed_ = true;
        }
        expired_ = now - since_ > boundUs_ || kernelNow - kernelSince_ > boundUs_;
        return false;
    }

private:
    static constexpr unsigned kPollsPerClockRead = 64;
    std::uint64_t boundUs_;
    std::uint64_t since_ = 0;
    std::uint64_t kernelSince_ = 0;
    unsigned idle_ = 0;
    bool timed_ = false;
    bool expired_ = false;
};

// Ends a transfer whose controller stopped: TA off ends the frame, so that no
// chip on a hardware chip select stays selected, and the FIFOs are emptied
// of what will never shift.
int abandon(volatile std::uint32_t* paddr, const char* function, const char* flag, const SpiWait& wait,
            std::uint32_t sent, std::uint32_t len)
{
    bcm2835_peri_set_bits(paddr, BCM2835_SPI0_CS_CLEAR, BCM2835_SPI0_CS_CLEAR | BCM2835_SPI0_CS_TA);
    std::fprintf(stderr, "bcm2835_spi_%s: SPI0 stopped, no %s for %u ms: transfer abandoned with %u of %u bytes sent\n",
                 function, flag, wait.boundMs(), static_cast<unsigned>(sent), static_cast<unsigned>(len));
    return 0;
}

// Two masters of one controller clear each other's FIFOs and chip selects
// mid-frame: SPI0 is the updater's only when no kernel driver is bound to
// it. The kernel names the platform device after its physical address.
const char* spi0_kernel_driver(char (&device)[32], char (&link)[PATH_MAX])
{
    std::snprintf(device, sizeof device, "%x.spi",
                  static_cast<unsigned>(bcm2835_peripherals_base + BCM2835_SPI0_BASE));
    char path[PATH_MAX];
    const int n = std::snprintf(path, sizeof path, "%s/%s/driver", bcm2835_sysfs_platform_dir, device);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof path)
        return nullptr;
    const ssize_t length = readlink(path, link, sizeof link - 1);
    if (length < 0)
        return nullptr;
    link[length] = '\0';
    const char* name = std::strrchr(link, '/');
    return name ? name + 1 : link;
}
}  // namespace

int bcm2835_spi_begin()
{
    if (bcm2835_spi0 == unmapped())
        return 0;
    char device[32];
    char link[PATH_MAX];
    if (const char* driver = spi0_kernel_driver(device, link)) {
        std::fprintf(stderr,
                     "bcm2835_spi_begin: SPI0 (%s) belongs to the kernel's %s driver: free it with dtparam=spi=off "
                     "in config.txt and a reboot, or by writing %s to /sys/bus/platform/drivers/%s/unbind\n",
                     device, driver, device, driver);
        return 0;
    }
    for (std::uint8_t pin : kSpiPins)
        bcm2835_gpio_fsel(pin, BCM2835_GPIO_FSEL_ALT0);
    volatile std::uint32_t* paddr = at(bcm2835_spi0, BCM2835_SPI0_CS);
    bcm2835_peri_write(paddr, 0);
    bcm2835_peri_write_nb(paddr, BCM2835_SPI0_CS_CLEAR);
    return 1;
}

void bcm2835_spi_end()
{
    for (std::uint8_t pin : kSpiPins)
        bcm2835_gpio_fsel(pin, BCM2835_GPIO_FSEL_INPT);
}

void bcm2835_spi_setBitOrder(std::uint8_t order)
{
    bcm2835_spi_bit_order = order;
}

void bcm2835_spi_setClockDivider(unsigned int divider)
{
    spi_divider = divider & 0xFFFF;
    bcm2835_peri_write(at(bcm2835_spi0, BCM2835_SPI0_CLK), divider);
}

void bcm2835_spi_setDataMode(std::uint8_t mode)
{
    bcm2835_peri_set_bits(at(bcm2835_spi0, BCM2835_SPI0_CS), static_cast<std::uint32_t>(mode) << 2,
                          BCM2835_SPI0_CS_CPOL | BCM2835_SPI0_CS_CPHA);
}

void bcm2835_spi_chipSelect(std::uint8_t cs)
{
    bcm2835_peri_set_bits(at(bcm2835_spi0, BCM2835_SPI0_CS), cs, BCM2835_SPI0_CS_CS);
}

void bcm2835_spi_setChipSelectPolarity(std::uint8_t cs, std::uint8_t active)
{
    const unsigned shift = 21u + cs;
    bcm2835_peri_set_bits(at(bcm2835_spi0, BCM2835_SPI0_CS), static_cast<std::uint32_t>(active) << shift,
                          1u << shift);
}

int bcm2835_spi_transfernb(char* tbuf, char* rbuf, std::uint32_t len)
{
    volatile std::uint32_t* paddr = at(bcm2835_spi0, BCM2835_SPI0_CS);
    volatile std::uint32_t* fifo = at(bcm2835_spi0, BCM2835_SPI0_FIFO);
    bcm2835_peri_set_bits(paddr, BCM2835_SPI0_CS_CLEAR, BCM2835_SPI0_CS_CLEAR);
    bcm2835_peri_set_bits(paddr, BCM2835_SPI0_CS_TA, BCM2835_SPI0_CS_TA);

    // Byte i is received only after byte i was taken from tbuf, so the two
    // buffers may be the same.
    SpiWait wait(len);
    std::uint32_t sent = 0;
    std::uint32_t received = 0;
    while (sent < len || received < len) {
        bool moved = false;
        while (sent < len && (bcm2835_peri_read(paddr) & BCM2835_SPI0_CS_TXD)) {
            bcm2835_peri_write_nb(fifo, wire_order(static_cast<std::uint8_t>(tbuf[sent])));
            ++sent;
            moved = true;
        }
        while (received < len && (bcm2835_peri_read(paddr) & BCM2835_SPI0_CS_RXD)) {
            const auto byte = static_cast<std::uint8_t>(bcm2835_peri_read_nb(fifo));
            rbuf[received] = static_cast<char>(wire_order(byte));
            ++received;
            moved = true;
        }
        if (moved)
            wait.progressed();
        else if (wait.gaveUp())
            return abandon(paddr, "transfernb", sent < len ? "TXD" : "RXD", wait, sent, len);
    }
    wait.progressed();
    while (!(bcm2835_peri_read_nb(paddr) & BCM2835_SPI0_CS_DONE)) {
        if (wait.gaveUp())
            return abandon(paddr, "transfernb", "DONE", wait, sent, len);
    }
    bcm2835_peri_set_bits(paddr, 0, BCM2835_SPI0_CS_TA);
    return 1;
}

int bcm2835_spi_writenb(const char* tbuf, std::uint32_t len)
{
    volatile std::uint32_t* paddr = at(bcm2835_spi0, BCM2835_SPI0_CS);
    volatile std::uint32_t* fifo = at(bcm2835_spi0, BCM2835_SPI0_FIFO);
    bcm2835_peri_set_bits(paddr, BCM2835_SPI0_CS_CLEAR, BCM2835_SPI0_CS_CLEAR);
    bcm2835_peri_set_bits(paddr, BCM2835_SPI0_CS_TA, BCM2835_SPI0_CS_TA);

    const auto drain = [&] {
        bool drained = false;
        while (bcm2835_peri_read(paddr) & BCM2835_SPI0_CS_RXD) {
            bcm2835_peri_read_nb(fifo);
            drained = true;
        }
        return drained;
    };
    SpiWait wait(len);
    for (std::uint32_t i = 0; i < len; ++i) {
        while (!(bcm2835_peri_read(paddr) & BCM2835_SPI0_CS_TXD)) {
            if (wait.gaveUp())
                return abandon(paddr, "writenb", "TXD", wait, i, len);
        }
        bcm2835_peri_write_nb(fifo, wire_order(static_cast<std::uint8_t>(tbuf[i])));
        drain();
        wait.progressed();
    }
    while (!(bcm2835_peri_read_nb(paddr) & BCM2835_SPI0_CS_DONE)) {
        if (drain())
            wait.progressed();
        else if (wait.gaveUp())
            return abandon(paddr, "writenb", "DONE", wait, len, len);
    }
    bcm2835_peri_set_bits(paddr, 0, BCM2835_SPI0_CS_TA);
    return 1;
}

// --- GPIO edge callbacks -------------------------------------------------------------------------

namespace {
constexpr std::size_t kIsrStackSize = 0x40000;
const char* const kEdgeText[] = {"rising\n", "falling\n", "both\n"};

// The record's thread reads these fields while the registering thread may
// change them; single relaxed loads and stores, as plain word accesses would
// be on the target, but without a data race.
// The record keeps either kind of callback in one field; the extended flag
// tells which type to call it as.
template <typename To, typename From>
To function_cast(From f)
{
    return reinterpret_cast<To>(reinterpret_cast<void (*)()>(f));
}

template <typename T>
T shared_load(const T& field)
{
    return __atomic_load_n(&field, __ATOMIC_RELAXED);
}

template <typename T>
void shared_store(T& field, T value)
{
    __atomic_store_n(&field, value, __ATOMIC_RELAXED);
}

template <typename... Args>
bool sysfs_path(char (&path)[PATH_MAX], const char* format, Args... args)
{
    const int n = std::snprintf(path, sizeof path, format, bcm2835_sysfs_gpio_dir, args...);
    return n > 0 && static_cast<std::size_t>(n) < sizeof path;
}

// A sysfs attribute's text without its line end; false when it cannot be read.
bool read_sysfs(const char* path, char* text, std::size_t size)
{
    const int fd = open(path, O_RDONLY);
    if (fd < 0)
        return false;
    const ssize_t n = read(fd, text, size - 1);
    close(fd);
    if (n < 0)
        return false;
    text[n] = '\0';
    text[std::strcspn(text, "\n")] = '\0';
    return true;
}

// Kernels since 6.x number the SoC's pins in sysfs from the base of their
// gpiochip, no longer from 0: 1994 on Debian's 6.1, 512 on Raspberry Pi
// OS's 6.6, where writing a bare BCM number to export fails. The chip is the
// one whose label names the SoC's pin controller; without one (older
// kernels) the base is 0.
int sysfs_gpio_base()
{
    DIR* dir = opendir(bcm2835_sysfs_gpio_dir);
    if (!dir)
        return 0;
    int base = 0;
    while (const dirent* entry = readdir(dir)) {
        char path[PATH_MAX];
        char text[64];
        if (std::strncmp(entry->d_name, "gpiochip", 8) != 0 || !sysfs_path(path, "%s/%s/label", entry->d_name) ||
            !read_sysfs(path, text, sizeof text) ||
            (std::strcmp(text, "pinctrl-bcm2835") != 0 && std::strcmp(text, "pinctrl-bcm2711") != 0))
            continue;
        char* end = nullptr;
        if (sysfs_path(path, "%s/%s/base", entry->d_name) && read_sysfs(path, text, sizeof text)) {
            const long value = std::strtol(text, &end, 10);
            if (end != text && *end == '\0' && value >= 0 && value <= INT_MAX - 64)
                base = static_cast<int>(value);
        }
        break;
    }
    closedir(dir);
    return base;
}

// One write of text to the file, as sysfs wants it. False when the file
// cannot be opened, or, where the count matters, when it took less than the
// whole text.
enum class Count { Matters, Ignored };
bool write_sysfs(const char* path, const char* text, Count count = Count::Matters)
{
    const int fd = open(path, O_WRONLY);
    if (fd < 0)
        return false;
    const ssize_t written = write(fd, text, std::strlen(text));
    close(fd);
    return count == Count::Ignored || written == static_cast<ssize_t>(std::strlen(text));
}

// A pin's thread ends by cancellation in poll() or read(). Forced unwinding
// does not lift AddressSanitizer's poison from the frames it leaves, and the
// sanitizer's own thread teardown then trips over it; the two functions a
// cancelled thread can be in keep no instrumented stack objects.
#define BCM2835_CANCELLED_HERE [[gnu::no_sanitize_address]]

BCM2835_CANCELLED_HERE void consume_value(int fd)
{
    char discard[64];
    lseek(fd, 0, SEEK_SET);
    const ssize_t n = read(fd, discard, sizeof discard);
    static_cast<void>(n);
}

// The handle is published with release and read with acquire: a pin's own
// thread reads it when its callback removes the registration.
pthread_t* thread_of(const isr_record& r)
{
    return __atomic_load_n(&r.thread, __ATOMIC_ACQUIRE);
}

void set_thread(isr_record& r, pthread_t* thread)
{
    __atomic_store_n(&r.thread, thread, __ATOMIC_RELEASE);
}

void signal_thread(const isr_record& r)
{
    if (pthread_t* thread = thread_of(r))
        pthread_kill(*thread, SIGCHLD);
}
}  // namespace

int bcm2835_gpioSetISRFunc(unsigned pin, unsigned edge, int timeout, gpioISRFunc_t f)
{
    if (pin > 53)
        return BCM2835_ISR_BAD_PIN;
    if (edge > 2)
        return BCM2835_ISR_BAD_EDGE;
    return intGpioSetISRFunc(pin, edge, timeout, f, 0, nullptr);
}

int bcm2835_gpioSetISRFuncEx(unsigned pin, unsigned edge, int timeout, gpioISRFuncEx_t f, void* user_data)
{
    if (pin > 53)
        return BCM2835_ISR_BAD_PIN;
    if (edge > 2)
        return BCM2835_ISR_BAD_EDGE;
    return intGpioSetISRFunc(pin, edge, timeout, function_cast<gpioISRFunc_t>(f), 1, user_data);
}

int intGpioSetISRFunc(unsigned pin, unsigned edge, int timeout, gpioISRFunc_t f, int extended, void* user_data)
{
    isr_record& r = gpioISR[pin];
    char path[PATH_MAX];
    char number[16];

    if (f) {
        if (!r.exported) {
            const int sysfsGpio = sysfs_gpio_base() + static_cast<int>(pin);
            std::snprintf(number, sizeof number, "%d\n", sysfsGpio);
            // The kernel refuses to export a pin that is exported already,
            // as one left so by a run that was killed: only the opening counts.
            if (!sysfs_path(path, "%s/export") || !write_sysfs(path, number, Count::Ignored))
                return BCM2835_ISR_SYSFS_FAILED;
            if (!sysfs_path(path, "%s/gpio%d/direction", sysfsGpio) || !write_sysfs(path, "in\n"))
                return BCM2835_ISR_SYSFS_FAILED;
            r.pin = static_cast<int>(pin);
            r.sysfs_gpio = sysfsGpio;
            r.edge = -1;
            shared_store(r.timeout_ms, -1);
            r.exported = 1;
        }
        if (static_cast<int>(edge) != r.edge) {
            if (!sysfs_path(path, "%s/gpio%d/edge", r.sysfs_gpio) || !write_sysfs(path, kEdgeText[edge]))
                return BCM2835_ISR_SYSFS_FAILED;
            r.edge = static_cast<int>(edge);
            signal_thread(r);
        }
        if (timeout <= 0)
            timeout = -1;
        if (timeout != shared_load(r.timeout_ms)) {
            shared_store(r.timeout_ms, timeout);
            signal_thread(r);
        }
        shared_store(r.extended, extended);
        shared_store(r.callback, f);
        shared_store(r.user_data, user_data);
        if (!thread_of(r)) {
            // The table starts zero-filled; until the thread has opened the
            // value file, no descriptor is the pin's.
            shared_store(r.value_fd, -1);
            set_thread(r, gpioStartThread(pthISRThread, &r));
        }
        return 0;
    }

    if (pthread_t* thread = thread_of(r)) {
        gpioStopThread(thread);
        const int fd = shared_load(r.value_fd);
        if (fd >= 0) {
            close(fd);
            shared_store(r.value_fd, -1);
        }
        shared_store(r.callback, gpioISRFunc_t{});
        set_thread(r, nullptr);
    }
    if (r.exported) {
        std::snprintf(number, sizeof number, "%d\n", r.sysfs_gpio);
        if (!sysfs_path(path, "%s/unexport") || !write_sysfs(path, number))
            return BCM2835_ISR_SYSFS_FAILED;
        r.exported = 0;
    }
    return 0;
}

pthread_t* gpioStartThread(void* (*function)(void*), void* argument)
{
    auto* handle = new (std::nothrow) pthread_t;
    if (!handle)
        return nullptr;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete handle;
        return nullptr;
    }
    // The thread starts with every signal blocked, so that each one the
    // process gets goes to the thread that ran it, and a signal held there
    // while a flash change is under way cannot end the process through here.
    // All but SIGCHLD, with which a new time-out interrupts the thread's
    // wait, and whose default action is to be discarded.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    sigdelset(&all, SIGCHLD);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const bool started = pthread_attr_setstacksize(&attr, kIsrStackSize) == 0 &&
                         pthread_create(handle, &attr, function, argument) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attr);
    if (!started) {
        delete handle;
        return nullptr;
    }
    return handle;
}

void gpioStopThread(pthread_t* handle)
{
    if (!handle)
        return;
    if (pthread_equal(*handle, pthread_self())) {
        // A callback removing its own pin. The thread cannot join itself, and
        // ending it here would unwind through the callback before the caller
        // has closed the value file and reset the record. It is detached and
        // ends when the callback returns.
        pthread_detach(*handle);
        delete handle;
        isr_thread_ending = true;
        return;
    }
    pthread_cancel(*handle);
    pthread_join(*handle, nullptr);
    delete handle;
}

BCM2835_CANCELLED_HERE void* pthISRThread(void* record)
{
    auto* r = static_cast<isr_record*>(record);
    char path[PATH_MAX];
    shared_store(r->value_fd, -1);
    if (!sysfs_path(path, "%s/gpio%d/value", r->sysfs_gpio))
        return nullptr;
    const int fd = open(path, O_RDONLY);
    if (fd < 0)
        return nullptr;
    shared_store(r->value_fd, fd);

    struct pollfd pfd {};
    pfd.fd = fd;
    pfd.events = POLLPRI;
    consume_value(fd);

    // A callback that removes its own pin needs the handle in the record,
    // which the registering thread stores only once pthread_create returns.
    while (!thread_of(*r))
        sched_yield();

    for (;;) {
        const int ready = poll(&pfd, 1, shared_load(r->timeout_ms));
        const std::uint32_t tick = load_direct(at(bcm2835_st, BCM2835_ST_CLO));
        const std::uint32_t levels = load_direct(at(bcm2835_gpio, BCM2835_GPLEV0 + 4u * (r->pin / 32)));
        if (ready < 0)
            continue;
        consume_value(fd);
        const int level = ready == 0 ? 2 : static_cast<int>((levels >> (r->pin % 32)) & 1u);

        // A removal from another thread waits for the callback to finish
        // instead of cancelling it halfway; it takes effect at the next poll.
        int cancelState = 0;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
        const gpioISRFunc_t callback = shared_load(r->callback);
        if (callback && shared_load(r->extended))
            function_cast<gpioISRFuncEx_t>(callback)(r->pin, level, tick, shared_load(r->user_data));
        else if (callback)
            callback(r->pin, level, tick);
        pthread_setcancelstate(cancelState, nullptr);
        if (isr_thread_ending)
            return nullptr;
    }
}
