#include "SocEmulator.h"

#include "bcm2835.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

namespace sim {

namespace {
// Further than any window reaches, so that a block missing from the window
// never matches an offset.
constexpr std::uintptr_t kAbsent = 0x80000000u;

constexpr std::uintptr_t kGpioSpan = 0x100;
constexpr std::uintptr_t kSpiSpan = 0x20;
constexpr std::uintptr_t kTimerSpan = 0x20;

constexpr std::uint32_t kGpfselEnd = 0x18;
constexpr std::uint32_t kGpset1 = BCM2835_GPSET0 + 4;
constexpr std::uint32_t kGpclr1 = BCM2835_GPCLR0 + 4;
constexpr std::uint32_t kGplev1 = BCM2835_GPLEV0 + 4;

// CLEAR acts and is gone; DONE, RXD, TXD, RXR and RXF only report.
constexpr std::uint32_t kCsStored = ~(BCM2835_SPI0_CS_CLEAR | 0x001F0000u);
constexpr std::uint32_t kCsLines = BCM2835_SPI0_CS_TA | BCM2835_SPI0_CS_CS | BCM2835_SPI0_CS_CSPOL0 |
                                   BCM2835_SPI0_CS_CSPOL1;

constexpr std::int8_t kReleased = -1;

// Every register access goes through these; they must not cost a call each.
#define LUMO_HOT [[gnu::always_inline]] inline

constexpr std::uint64_t kPinMask = (std::uint64_t{1} << kGpioCount) - 1;

int chipSelectOf(unsigned pin)
{
    if (pin == BCM2835_SPI0_CE0_PIN)
        return 0;
    if (pin == BCM2835_SPI0_CE1_PIN)
        return 1;
    return -1;
}
}  // namespace

std::atomic<SocEmulator*> SocEmulator::current_{nullptr};

SocEmulator::SocEmulator(BoardWiring& wiring)
    : wiring_(wiring), gpio_(kAbsent), spi_(kAbsent), st_(kAbsent)
{
    driven_.fill(kReleased);
    for (unsigned pin = 0; pin < kGpioCount; ++pin)
        if (wiring_.level(pin))
            levels_ |= std::uint64_t{1} << pin;
    wiring_.addObserver(watch_);
    current_.store(this, std::memory_order_release);
}

SocEmulator::~SocEmulator()
{
    wiring_.removeObserver(watch_);
    SocEmulator* self = this;
    current_.compare_exchange_strong(self, nullptr);
    if (window_)
        munmap(window_, windowBytes_);
    for (auto& [memory, bytes] : retired_)
        munmap(memory, bytes);
}

// --- The window ----------------------------------------------------------------

volatile std::uint32_t* SocEmulator::map(const char* device, std::uint32_t offset, std::uint32_t size)
{
    bool whole = false;
    if (std::strcmp(device, "/dev/mem") == 0) {
        if (!root_) {
            errno = EACCES;
            return static_cast<volatile std::uint32_t*>(MAP_FAILED);
        }
        whole = true;
    } else if (std::strcmp(device, "/dev/gpiomem") != 0) {
        errno = ENOENT;
        return static_cast<volatile std::uint32_t*>(MAP_FAILED);
    }
    if (size == 0) {
        errno = EINVAL;
        return static_cast<volatile std::uint32_t*>(MAP_FAILED);
    }
    // Anonymous memory: pages that no register lies in cost nothing.
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return static_cast<volatile std::uint32_t*>(MAP_FAILED);
    // Mapping again leaves the earlier view with its caller, as the kernel would.
    if (window_)
        retired_.emplace_back(window_, windowBytes_);

    window_ = static_cast<std::uint8_t*>(memory);
    windowBytes_ = size;
    device_ = device;
    offset_ = offset;
    auto place = [size](std::uintptr_t base, std::uintptr_t span) { return base + span <= size ? base : kAbsent; };
    gpio_ = place(whole ? BCM2835_GPIO_BASE : 0, kGpioSpan);
    spi_ = whole ? place(BCM2835_SPI0_BASE, kSpiSpan) : kAbsent;
    st_ = whole ? place(BCM2835_ST_BASE, kTimerSpan) : kAbsent;

    timerValidUntil_ = 0;
    if (gpio_ != kAbsent) {
        mirror(gpio_ + BCM2835_GPLEV0, static_cast<std::uint32_t>(levels_));
        mirror(gpio_ + kGplev1, static_cast<std::uint32_t>(levels_ >> 32));
    }
    syncTimer();
    return static_cast<volatile std::uint32_t*>(memory);
}

void SocEmulator::unmap(volatile std::uint32_t* window, std::uint32_t)
{
    auto* memory = reinterpret_cast<std::uint8_t*>(const_cast<std::uint32_t*>(window));
    if (memory == window_) {
        munmap(window_, windowBytes_);
        window_ = nullptr;
        windowBytes_ = 0;
        device_.clear();
        gpio_ = spi_ = st_ = kAbsent;
        return;
    }
    for (auto it = retired_.begin(); it != retired_.end(); ++it) {
        if (it->first == memory) {
            munmap(it->first, it->second);
            retired_.erase(it);
            return;
        }
    }
}

LUMO_HOT std::uintptr_t SocEmulator::offsetOf(volatile std::uint32_t* paddr) const
{
    // With nothing mapped the window has no bytes, so every offset is outside.
    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(paddr) - reinterpret_cast<std::uintptr_t>(window_);
    if (__builtin_expect(offset >= windowBytes_ || offset % 4 != 0, 0))
        outside(paddr);
    return offset;
}

[[gnu::cold, gnu::noinline]] void SocEmulator::outside(volatile std::uint32_t* paddr) const
{
    // On the Pi this would be a crash or a write into someone else's memory.
    std::fprintf(stderr, "sim::SocEmulator: register access at %p, outside the mapped peripherals\n",
                 static_cast<const volatile void*>(paddr));
    std::abort();
}

LUMO_HOT std::uint32_t& SocEmulator::plain(std::uintptr_t offset)
{
    return *reinterpret_cast<std::uint32_t*>(window_ + offset);
}

LUMO_HOT void SocEmulator::mirror(std::uintptr_t offset, std::uint32_t value)
{
    __atomic_store_n(reinterpret_cast<std::uint32_t*>(window_ + offset), value, __ATOMIC_RELAXED);
}

// --- GPIO -----------------------------------------------------------------------------

std::uint32_t SocEmulator::gpioRead(std::uintptr_t reg)
{
    if (reg < kGpfselEnd)
        return fsel_[reg / 4];
    switch (reg) {
    case BCM2835_GPSET0:
    case kGpset1:
    case BCM2835_GPCLR0:
    case kGpclr1:
        return 0;
    case BCM2835_GPLEV0:
        return static_cast<std::uint32_t>(levels_);
    case kGplev1:
        return static_cast<std::uint32_t>(levels_ >> 32);
    default:
        return plain(gpio_ + reg);
    }
}

void SocEmulator::gpioWrite(std::uintptr_t reg, std::uint32_t value)
{
    if (reg < kGpfselEnd) {
        const unsigned group = static_cast<unsigned>(reg / 4);
        const std::uint32_t changed = fsel_[group] ^ value;
        fsel_[group] = value;
        for (unsigned i = 0; i < 10; ++i) {
            const unsigned pin = group * 10 + i;
            if (pin < kGpioCount && ((changed >> (3 * i)) & 7u))
                applyPin(pin);
        }
        return;
    }
    switch (reg) {
    case BCM2835_GPSET0:
    case kGpset1:
        latch(static_cast<unsigned>((reg - BCM2835_GPSET0) / 4), value, true);
        return;
    case BCM2835_GPCLR0:
    case kGpclr1:
        latch(static_cast<unsigned>((reg - BCM2835_GPCLR0) / 4), value, false);
        return;
    case BCM2835_GPLEV0:
    case kGplev1:
        return;  // read-only
    default:
        plain(gpio_ + reg) = value;
    }
}

void SocEmulator::latch(unsigned bank, std::uint32_t bits, bool high)
{
    std::uint64_t pins = (static_cast<std::uint64_t>(bits) << (32 * bank)) & kPinMask;
    if (high)
        latch_ |= pins;
    else
        latch_ &= ~pins;
    while (pins) {
        const unsigned pin = static_cast<unsigned>(__builtin_ctzll(pins));
        pins &= pins - 1;
        if (function(pin) == BCM2835_GPIO_FSEL_OUTP)
            applyPin(pin);
    }
}

void SocEmulator::applyPin(unsigned pin)
{
    std::int8_t drive = kReleased;
    const unsigned fn = function(pin);
    const int ce = chipSelectOf(pin);
    if (fn == BCM2835_GPIO_FSEL_OUTP) {
        drive = (latch_ >> pin) & 1u;
    } else if (fn == BCM2835_GPIO_FSEL_ALT0 && ce >= 0) {
        const bool asserted = (cs_ & BCM2835_SPI0_CS_TA) && (cs_ & BCM2835_SPI0_CS_CS) == static_cast<unsigned>(ce);
        const bool activeHigh = cs_ & (BCM2835_SPI0_CS_CSPOL0 << ce);
        drive = asserted == activeHigh ? 1 : 0;
    }
    if (drive == driven_[pin])
        return;
    driven_[pin] = drive;
    if (drive == kReleased)
        wiring_.piRelease(pin);
    else
        wiring_.piDrive(pin, drive == 1);
}

void SocEmulator::lineChanged(unsigned pin, bool high)
{
    const std::uint64_t bit = std::uint64_t{1} << pin;
    levels_ = high ? levels_ | bit : levels_ & ~bit;
    if (gpio_ != kAbsent)
        mirror(gpio_ + (pin < 32 ? BCM2835_GPLEV0 : kGplev1), static_cast<std::uint32_t>(levels_ >> (pin & 32)));
}

// --- SPI0 -------------------------------------------------------------------------------

LUMO_HOT std::uint32_t SocEmulator::spiStatus() const
{
    std::uint32_t status = cs_;
    if ((cs_ & BCM2835_SPI0_CS_TA) && tx_.empty())
        status |= BCM2835_SPI0_CS_DONE;
    if (!rx_.empty())
        status |= BCM2835_SPI0_CS_RXD;
    if (!tx_.full())
        status |= BCM2835_SPI0_CS_TXD;
    return status;
}

LUMO_HOT std::uint32_t SocEmulator::spiRead(std::uintptr_t reg)
{
    switch (reg) {
    case BCM2835_SPI0_CS:
        return spiStatus();
    case BCM2835_SPI0_FIFO: {
        if (rx_.empty())
            return 0;
        const std::uint8_t byte = rx_.pop();
        shift();
        return byte;
    }
    case BCM2835_SPI0_CLK:
        return clk_;
    default:
        return plain(spi_ + reg);
    }
}

LUMO_HOT void SocEmulator::spiWrite(std::uintptr_t reg, std::uint32_t value)
{
    switch (reg) {
    case BCM2835_SPI0_CS: {
        if (value & BCM2835_SPI0_CS_CLEAR_TX)
            tx_.clear();
        if (value & BCM2835_SPI0_CS_CLEAR_RX)
            rx_.clear();
        const std::uint32_t changed = (cs_ ^ value) & kCsStored;
        cs_ = value & kCsStored;
        if (changed & kCsLines) {
            applyPin(BCM2835_SPI0_CE0_PIN);
            applyPin(BCM2835_SPI0_CE1_PIN);
        }
        shift();
        return;
    }
    case BCM2835_SPI0_FIFO:
        // A full FIFO drops the byte, as the controller does.
        if (!tx_.full())
            tx_.push(static_cast<std::uint8_t>(value));
        shift();
        return;
    case BCM2835_SPI0_CLK:
        clk_ = value;
        wiring_.setClockDivider(value & 0xFFFFu);
        return;
    default:
        plain(spi_ + reg) = value;
    }
}

LUMO_HOT void SocEmulator::shift()
{
    if (!(cs_ & BCM2835_SPI0_CS_TA) || tx_.empty() || rx_.full())
        return;
    while (!tx_.empty() && !rx_.full())
        rx_.push(wiring_.transfer(tx_.pop()));
    syncTimer();
}

// --- System timer -------------------------------------------------------------------------

std::uint32_t SocEmulator::timerRead(std::uintptr_t reg)
{
    const std::uint64_t micros = wiring_.clock().now() / kMicrosecond;
    if (reg == BCM2835_ST_CLO)
        return static_cast<std::uint32_t>(micros);
    if (reg == BCM2835_ST_CHI)
        return static_cast<std::uint32_t>(micros >> 32);
    return plain(st_ + reg);
}

LUMO_HOT void SocEmulator::syncTimer()
{
    // Bus bytes are shorter than the counter's microsecond; most of them
    // leave it as it is.
    const Nanos now = wiring_.clock().now();
    if (now < timerValidUntil_ || st_ == kAbsent)
        return;
    const std::uint64_t micros = now / kMicrosecond;
    mirror(st_ + BCM2835_ST_CLO, static_cast<std::uint32_t>(micros));
    mirror(st_ + BCM2835_ST_CHI, static_cast<std::uint32_t>(micros >> 32));
    timerValidUntil_ = (micros + 1) * kMicrosecond;
}

int SocEmulator::nanosleep(const struct timespec& request)
{
    lastSleep_ = request;
    wiring_.clock().advance(static_cast<Nanos>(request.tv_sec) * kSecond + static_cast<Nanos>(request.tv_nsec),
                            TimeKind::Wait);
    syncTimer();
    return 0;
}

// --- Dispatch ------------------------------------------------------------------------------

LUMO_HOT std::uint32_t SocEmulator::read(volatile std::uint32_t* paddr)
{
    ++accesses_;
    const std::uintptr_t offset = offsetOf(paddr);
    if (offset - spi_ < kSpiSpan)
        return spiRead(offset - spi_);
    if (offset - gpio_ < kGpioSpan)
        return gpioRead(offset - gpio_);
    if (offset - st_ < kTimerSpan)
        return timerRead(offset - st_);
    return plain(offset);
}

LUMO_HOT void SocEmulator::write(volatile std::uint32_t* paddr, std::uint32_t value)
{
    ++accesses_;
    const std::uintptr_t offset = offsetOf(paddr);
    if (offset - spi_ < kSpiSpan)
        spiWrite(offset - spi_, value);
    else if (offset - gpio_ < kGpioSpan)
        gpioWrite(offset - gpio_, value);
    else if (offset - st_ < kTimerSpan && (offset - st_ == BCM2835_ST_CLO || offset - st_ == BCM2835_ST_CHI))
        return;  // the counter is read-only
    else
        plain(offset) = value;
}

}  // namespace sim

// --- The emulated layer's way out ----------------------------------------------------------

namespace {
[[gnu::cold, gnu::noinline]] void noSoc()
{
    std::fprintf(stderr, "sim::SocEmulator: the emulated bcm2835 layer was used with no SoC emulator\n");
    std::abort();
}

sim::SocEmulator& soc()
{
    sim::SocEmulator* soc = sim::SocEmulator::current();
    if (__builtin_expect(!soc, 0))
        noSoc();
    return *soc;
}
}  // namespace

std::uint32_t bcm2835_emu_read(volatile std::uint32_t* paddr)
{
    return soc().read(paddr);
}

void bcm2835_emu_write(volatile std::uint32_t* paddr, std::uint32_t value)
{
    soc().write(paddr, value);
}

volatile std::uint32_t* bcm2835_emu_map(const char* device, std::uint32_t offset, std::uint32_t size)
{
    sim::SocEmulator* soc = sim::SocEmulator::current();
    if (!soc) {
        errno = ENODEV;
        return static_cast<volatile std::uint32_t*>(MAP_FAILED);
    }
    return soc->map(device, offset, size);
}

void bcm2835_emu_unmap(volatile std::uint32_t* window, std::uint32_t size)
{
    soc().unmap(window, size);
}

unsigned bcm2835_emu_geteuid()
{
    sim::SocEmulator* soc = sim::SocEmulator::current();
    return soc ? soc->geteuid() : 0;
}

int bcm2835_emu_nanosleep(const struct timespec* request)
{
    return soc().nanosleep(*request);
}
