#include "SocEmulator.h"

#include "BoardEntry.h"
#include "bcm2835.h"

#include <QStringList>

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
// What a frame's bytes depend on: the chip select lines and the mode.
constexpr std::uint32_t kCsFrame = kCsLines | BCM2835_SPI0_CS_CPOL | BCM2835_SPI0_CS_CPHA;

constexpr std::uint32_t kCsRxr = 0x00080000u;
constexpr std::uint32_t kCsRxf = 0x00100000u;
constexpr unsigned kRxNeedsReading = SocEmulator::kFifoDepth * 3 / 4;

constexpr std::int8_t kReleased = -1;

// Every register access goes through these; they must not cost a call each.
#define LUMO_HOT [[gnu::always_inline]] inline
// And these stay out of them, so that the common paths need no frame.
#define LUMO_APART [[gnu::noinline]]

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
    : wiring_(wiring), clock_(wiring.clock()), gpio_(kAbsent), spi_(kAbsent), st_(kAbsent)
{
    driven_.fill(kReleased);
    for (unsigned pin = 0; pin < kGpioCount; ++pin)
        if (wiring_.level(pin))
            levels_ |= std::uint64_t{1} << pin;
    wiring_.addObserver(watch_);
    current_.store(this, std::memory_order_release);
    BoardEntry::settleBeforeLeaving(&SocEmulator::catchUpBeforeLeaving);
}

SocEmulator::~SocEmulator()
{
    wiring_.removeObserver(watch_);
    SocEmulator* self = this;
    if (current_.compare_exchange_strong(self, nullptr))
        BoardEntry::settleBeforeLeaving(nullptr);
    if (window_)
        munmap(window_, windowBytes_);
    for (auto& [memory, bytes] : retired_)
        munmap(memory, bytes);
}

// --- The window ----------------------------------------------------------------

int SocEmulator::open(const char* device) const
{
    if (std::strcmp(device, "/dev/mem") == 0) {
        if (!root_) {
            errno = EACCES;
            return -1;
        }
        return 0;
    }
    if (std::strcmp(device, "/dev/gpiomem") != 0) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

volatile std::uint32_t* SocEmulator::map(const char* device, std::uint32_t offset, std::uint32_t size)
{
    leaveAside();
    const bool whole = std::strcmp(device, "/dev/mem") == 0;
    if (whole && strictDevMem_) {
        errno = EPERM;
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
    leaveAside();
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
        // The answers given ahead hold only through the same pins.
        ahead_.clear();
        const unsigned group = static_cast<unsigned>(reg / 4);
        const std::uint32_t changed = fsel_[group] ^ value;
        fsel_[group] = value;
        spiPins_ = {function(BCM2835_SPI0_SCLK_PIN) == BCM2835_GPIO_FSEL_ALT0,
                    function(BCM2835_SPI0_MOSI_PIN) == BCM2835_GPIO_FSEL_ALT0,
                    function(BCM2835_SPI0_MISO_PIN) == BCM2835_GPIO_FSEL_ALT0};
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
//
// The hot paths (a read of CS, the FIFO) are leaves; whatever is rarer goes
// out of line, so that the common access costs a handful of instructions.

LUMO_HOT std::uint32_t SocEmulator::spiStatus() const
{
    // Without branches: the flags change from one read to the next.
    const unsigned rx = rx_.size();
    const unsigned tx = tx_.size();
    const bool active = ((cs_ & BCM2835_SPI0_CS_TA) != 0) & (shifted_ < stallAfter_);
    return cs_ | ((active & (tx == 0) & !shifting_) ? BCM2835_SPI0_CS_DONE : 0u) |
           (rx != 0 ? BCM2835_SPI0_CS_RXD : 0u) | (tx != kFifoDepth ? BCM2835_SPI0_CS_TXD : 0u) |
           ((active & (rx >= kRxNeedsReading)) ? kCsRxr : 0u) | (rx == kFifoDepth ? kCsRxf : 0u);
}

LUMO_HOT std::uint32_t SocEmulator::readCs()
{
    const std::uint32_t status = spiStatus();
    if (!touched_ && status == lastStatus_ && shifting_)
        return spin();
    lastStatus_ = status;
    touched_ = false;
    return status;
}

LUMO_APART std::uint32_t SocEmulator::spin()
{
    const Nanos now = clock_.now();
    if (shiftEnd_ > now)
        wiring_.spend(shiftEnd_ - now);
    pending_ = true;
    pendingByte_ = shifter_;
    shifting_ = false;
    rx_.push(0);  // its answer, once the chips have it
    startByte(shiftEnd_);
    syncTimer();
    lastStatus_ = spiStatus();
    return lastStatus_;
}

LUMO_APART void SocEmulator::deliver()
{
    pending_ = false;
    rx_.setLast(shiftOut(pendingByte_, 0));
}

void SocEmulator::cutPending()
{
    pending_ = false;
    rx_.dropLast();
    cut_ = true;
}

LUMO_HOT std::uint32_t SocEmulator::readFifo()
{
    touched_ = true;
    if (rx_.empty())
        return emptyFifoRead();
    const std::uint8_t byte = rx_.pop();
    if (!shifting_)
        startByte(clock_.now());
    return byte;
}

LUMO_APART std::uint32_t SocEmulator::emptyFifoRead()
{
    spiViolation(QStringLiteral("FIFO read with the RX FIFO empty (RXD clear)"));
    return 0;
}

LUMO_HOT void SocEmulator::writeFifo(std::uint32_t value)
{
    touched_ = true;
    if (tx_.full())
        return fullFifoWrite();
    tx_.push(static_cast<std::uint8_t>(value));
    if (!shifting_)
        startByte(clock_.now());
}

LUMO_APART void SocEmulator::fullFifoWrite()
{
    spiViolation(QStringLiteral("a byte written to the FIFO with the TX FIFO full (TXD clear) is lost"));
}

LUMO_HOT void SocEmulator::startByte(Nanos at)
{
    if (shifting_ || !(cs_ & BCM2835_SPI0_CS_TA) || tx_.empty() || rx_.full() || shifted_ >= stallAfter_)
        return;
    ++shifted_;
    shifter_ = tx_.pop();
    shifting_ = true;
    shiftEnd_ = at + wiring_.byteTime();
}

LUMO_APART void SocEmulator::finishByte()
{
    const Nanos now = clock_.now();
    const Nanos end = shiftEnd_;
    shifting_ = false;
    rx_.push(shiftOut(shifter_, end > now ? end - now : 0));
    startByte(end);
    syncTimer();
}

std::uint8_t SocEmulator::shiftOut(std::uint8_t byte, Nanos time)
{
    const std::uint8_t miso = shiftByte(byte, time);
    if (mode_ == Mode::Recording) {
        recording_.mosi.push_back(byte);
        recording_.miso.push_back(miso);
    }
    return miso;
}

std::uint8_t SocEmulator::shiftByte(std::uint8_t byte, Nanos time)
{
    if (!ahead_.empty()) {
        wiring_.aheadByteDone(time);
        return ahead_.pop();
    }
    if (!spiPins_.all() && !pinsReported_)
        reportSpiPins();
    const unsigned mode = (cs_ & (BCM2835_SPI0_CS_CPOL | BCM2835_SPI0_CS_CPHA)) >> 2;
    const ByteClocks clocks{mode, spiPins_.sclk && spiPins_.mosi, time};
    const std::uint8_t miso = wiring_.transfer(byte, clocks);
    if (!spiPins_.miso)
        return 0x00;
    // A chip that only talks may give the answers to the bytes queued behind
    // this one at once; they cross the bus in their own time all the same.
    const unsigned queued = (shifting_ ? 1u : 0u) + tx_.size();
    if (queued > 0) {
        std::array<std::uint8_t, kFifoDepth + 1> answers;
        const std::size_t given = wiring_.answersAhead(answers.data(), std::min(queued, kFifoDepth), clocks);
        for (std::size_t i = 0; i < given; ++i)
            ahead_.push(answers[i]);
    }
    return miso;
}

void SocEmulator::reportSpiPins()
{
    pinsReported_ = true;
    QStringList pins;
    for (const unsigned pin : {BCM2835_SPI0_SCLK_PIN, BCM2835_SPI0_MOSI_PIN, BCM2835_SPI0_MISO_PIN})
        if (function(pin) != BCM2835_GPIO_FSEL_ALT0)
            pins << QStringLiteral("%1 (%2)").arg(pin).arg(pin == BCM2835_SPI0_SCLK_PIN   ? "SCLK"
                                                          : pin == BCM2835_SPI0_MOSI_PIN ? "MOSI"
                                                                                         : "MISO");
    spiViolation(QStringLiteral("bytes shifted with GPIO %1 not in alternate function 0").arg(pins.join(", ")));
}

LUMO_APART void SocEmulator::catchUp()
{
    while (shifting_ && shiftEnd_ <= clock_.now())
        finishByte();
}

void SocEmulator::spiViolation(const QString& rule)
{
    wiring_.violated(QStringLiteral("SPI0"), rule);
}

LUMO_APART void SocEmulator::writeCs(std::uint32_t value)
{
    touched_ = true;
    if (value & BCM2835_SPI0_CS_CLEAR_TX) {
        tx_.clear();
        // Of the answers given ahead, only the byte shifting keeps its own.
        ahead_.keepFirst(shifting_ ? 1u : 0u);
    }
    // And they hold only in the same mode to the same chip.
    if ((cs_ ^ value) & kCsFrame)
        ahead_.clear();
    if (value & BCM2835_SPI0_CS_CLEAR_RX)
        rx_.clear();
    const bool wasActive = cs_ & BCM2835_SPI0_CS_TA;
    const bool active = value & BCM2835_SPI0_CS_TA;
    // The frame ends before the chip select rises.
    if (wasActive && !active)
        endTransfer();
    if (active && !wasActive)
        pinsReported_ = false;
    const std::uint32_t changed = (cs_ ^ value) & kCsStored;
    cs_ = value & kCsStored;
    if (changed & kCsLines) {
        applyPin(BCM2835_SPI0_CE0_PIN);
        applyPin(BCM2835_SPI0_CE1_PIN);
    }
    startByte(clock_.now());
    syncTimer();
}

void SocEmulator::endTransfer()
{
    const unsigned left = tx_.size() + (shifting_ ? 1u : 0u) + (cut_ ? 1u : 0u);
    cut_ = false;
    if (left == 0)
        return;
    shifting_ = false;
    spiViolation(QStringLiteral("TA cleared with %1 byte%2 of the frame still to shift").arg(left).arg(left == 1 ? "" : "s"));
}

std::uint32_t SocEmulator::spiRead(std::uintptr_t reg)
{
    if (reg == BCM2835_SPI0_CLK)
        return clk_;
    return plain(spi_ + reg);
}

void SocEmulator::spiWrite(std::uintptr_t reg, std::uint32_t value)
{
    switch (reg) {
    case BCM2835_SPI0_CS:
        writeCs(value);
        return;
    case BCM2835_SPI0_CLK:
        touched_ = true;
        clk_ = value;
        wiring_.setClockDivider(value & 0xFFFFu);
        return;
    default:
        plain(spi_ + reg) = value;
    }
}

// --- System timer -------------------------------------------------------------------------

void SocEmulator::stopTimer()
{
    leaveAside();
    timerStoppedAt_ = clock_.now() / kMicrosecond;
    syncTimer();
}

std::uint32_t SocEmulator::timerRead(std::uintptr_t reg)
{
    const std::uint64_t micros = timerStoppedAt_.value_or(clock_.now() / kMicrosecond);
    if (reg == BCM2835_ST_CLO)
        return static_cast<std::uint32_t>(micros);
    if (reg == BCM2835_ST_CHI)
        return static_cast<std::uint32_t>(micros >> 32);
    return plain(st_ + reg);
}

LUMO_HOT void SocEmulator::syncTimer()
{
    // Most bytes and accesses leave the counter's microsecond as it is.
    const Nanos now = clock_.now();
    if (now < timerValidUntil_ || st_ == kAbsent)
        return;
    const std::uint64_t micros = timerStoppedAt_.value_or(now / kMicrosecond);
    mirror(st_ + BCM2835_ST_CLO, static_cast<std::uint32_t>(micros));
    mirror(st_ + BCM2835_ST_CHI, static_cast<std::uint32_t>(micros >> 32));
    timerValidUntil_ = (micros + 1) * kMicrosecond;
}

int SocEmulator::nanosleep(const struct timespec& request)
{
    leaveAside();
    lastSleep_ = request;
    if (pending_)
        deliver();
    clock_.advance(static_cast<Nanos>(request.tv_sec) * kSecond + static_cast<Nanos>(request.tv_nsec),
                   TimeKind::Wait);
    catchUp();
    syncTimer();
    return 0;
}

// --- Dispatch ------------------------------------------------------------------------------

LUMO_HOT void SocEmulator::pass()
{
    ++accesses_;
    if (pending_)
        deliver();
    wiring_.spend(kAccessTime);
    if (shifting_ && shiftEnd_ <= clock_.now())
        catchUp();
}

LUMO_HOT std::uint32_t SocEmulator::read(volatile std::uint32_t* paddr)
{
    const std::uintptr_t offset = offsetOf(paddr);
    if (mode_ != Mode::Plain) {
        // A poll answered from memory costs a comparison an access.
        if (mode_ == Mode::Replaying && memo_.matches(step_, offset, false, 0))
            return memo_.steps[step_++].value;
        return readAside(offset);
    }
    return readPlain(offset);
}

LUMO_HOT std::uint32_t SocEmulator::readPlain(std::uintptr_t offset)
{
    pass();
    if (offset == spi_ + BCM2835_SPI0_CS)
        return readCs();
    if (offset == spi_ + BCM2835_SPI0_FIFO)
        return readFifo();
    return readOther(offset);
}

LUMO_APART std::uint32_t SocEmulator::readOther(std::uintptr_t offset)
{
    syncTimer();
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
    const std::uintptr_t offset = offsetOf(paddr);
    if (mode_ != Mode::Plain) {
        if (mode_ == Mode::Replaying && step_ + 1 < memo_.steps.size() && memo_.matches(step_, offset, true, value)) {
            ++step_;
            return;
        }
        return writeAside(offset, value);
    }
    if (offset == spi_ + BCM2835_SPI0_CS && !(cs_ & BCM2835_SPI0_CS_TA))
        return frameStarts(offset, value);
    writePlain(offset, value);
}

LUMO_HOT void SocEmulator::writePlain(std::uintptr_t offset, std::uint32_t value)
{
    if (pending_ && offset == spi_ + BCM2835_SPI0_CS && (cs_ & BCM2835_SPI0_CS_TA) && !(value & BCM2835_SPI0_CS_TA))
        cutPending();
    pass();
    if (offset == spi_ + BCM2835_SPI0_FIFO)
        return writeFifo(value);
    writeOther(offset, value);
}

LUMO_APART void SocEmulator::writeOther(std::uintptr_t offset, std::uint32_t value)
{
    syncTimer();
    if (offset - spi_ < kSpiSpan)
        spiWrite(offset - spi_, value);
    else if (offset - gpio_ < kGpioSpan)
        gpioWrite(offset - gpio_, value);
    else if (offset - st_ < kTimerSpan && (offset - st_ == BCM2835_ST_CLO || offset - st_ == BCM2835_ST_CHI))
        return;  // the counter is read-only
    else
        plain(offset) = value;
}

// --- Polls answered from memory -------------------------------------------------------------

bool SocEmulator::idleController() const
{
    return !(cs_ & BCM2835_SPI0_CS_TA) && tx_.empty() && rx_.empty() && ahead_.empty() && !shifting_ && !pending_ &&
           !cut_ && spiPins_.all();
}

unsigned SocEmulator::framePin(std::uint32_t cs) const
{
    return (cs & BCM2835_SPI0_CS_CS) == 0 ? BCM2835_SPI0_CE0_PIN : BCM2835_SPI0_CE1_PIN;
}

bool SocEmulator::replayable(std::uint32_t value) const
{
    if (!memoValid_ || value != memo_.steps[0].value || cs_ != memo_.csBefore || clk_ != memo_.clk ||
        fsel_ != memo_.fsel || wiring_.lastKind() != memo_.kindBefore || wiring_.byteTime() != memo_.byteTime ||
        !idleController() || stallAfter_ - shifted_ <= memo_.mosi.size())
        return false;
    const std::uint32_t active = memo_.active();
    const unsigned ce = active & BCM2835_SPI0_CS_CS;
    const unsigned pin = framePin(active);
    if (ce > 1 || function(pin) != BCM2835_GPIO_FSEL_ALT0)
        return false;
    const bool activeHigh = active & (BCM2835_SPI0_CS_CSPOL0 << ce);
    const unsigned mode = (active & (BCM2835_SPI0_CS_CPOL | BCM2835_SPI0_CS_CPHA)) >> 2;
    std::array<std::uint8_t, RepeatedFrame::kMaxSteps> answers;
    const std::size_t count = memo_.mosi.size();
    return wiring_.quietFrameHolds(pin, activeHigh, mode, memo_.mosi.data(), answers.data(), count,
                                   clock_.now() + memo_.duration) &&
           std::equal(answers.begin(), answers.begin() + static_cast<std::ptrdiff_t>(count), memo_.miso.begin());
}

LUMO_APART void SocEmulator::frameStarts(std::uintptr_t offset, std::uint32_t value)
{
    if (replayable(value)) {
        mode_ = Mode::Replaying;
        step_ = 1;
        return;
    }
    // Under a trace no frame is answered from memory, so none is kept.
    const bool idle = memoAllowed_ && !wiring_.bytesWatched() && idleController();
    if (idle) {
        recording_.csBefore = cs_;
        recording_.clk = clk_;
        recording_.fsel = fsel_;
        recording_.kindBefore = wiring_.lastKind();
        recording_.byteTime = wiring_.byteTime();
        recording_.steps.clear();
        recording_.taStep = 0;
        recording_.mosi.clear();
        recording_.miso.clear();
        frameStart_ = clock_.now();
        for (int kind = 0; kind < 3; ++kind)
            spentAtStart_[kind] = clock_.spent(static_cast<TimeKind>(kind));
        violationsAtStart_ = wiring_.violations().count();
    }
    writePlain(offset, value);
    if (idle) {
        mode_ = Mode::Recording;
        note(offset, true, value);
    }
}

void SocEmulator::note(std::uintptr_t offset, bool write, std::uint32_t value)
{
    if ((offset != spi_ + BCM2835_SPI0_CS && offset != spi_ + BCM2835_SPI0_FIFO) ||
        recording_.steps.size() == RepeatedFrame::kMaxSteps) {
        mode_ = Mode::Plain;
        return;
    }
    recording_.steps.push_back({offset, write, value, clock_.now() - frameStart_});
    if (!write || offset != spi_ + BCM2835_SPI0_CS)
        return;
    const bool active = recording_.active() & BCM2835_SPI0_CS_TA;
    if (!(value & BCM2835_SPI0_CS_TA)) {
        if (active)
            endRecording();
    } else if (!active) {
        recording_.taStep = recording_.steps.size() - 1;
    }
}

void SocEmulator::endRecording()
{
    mode_ = Mode::Plain;
    if (!idleController() || recording_.mosi.empty() || wiring_.violations().count() != violationsAtStart_)
        return;
    for (int kind = 0; kind < 3; ++kind)
        recording_.spent[kind] = clock_.spent(static_cast<TimeKind>(kind)) - spentAtStart_[kind];
    recording_.duration = clock_.now() - frameStart_;
    recording_.kindAfter = wiring_.lastKind();
    recording_.csAfter = cs_;
    recording_.lastStatus = lastStatus_;
    recording_.touched = touched_;
    std::swap(memo_, recording_);
    memoValid_ = true;
}

LUMO_APART std::uint32_t SocEmulator::readAside(std::uintptr_t offset)
{
    if (mode_ == Mode::Replaying) {
        catchUpReplay();
        return readPlain(offset);
    }
    const std::uint32_t value = readPlain(offset);
    note(offset, false, value);
    return value;
}

LUMO_APART void SocEmulator::writeAside(std::uintptr_t offset, std::uint32_t value)
{
    if (mode_ == Mode::Replaying) {
        if (memo_.matches(step_, offset, true, value)) {
            if (++step_ == memo_.steps.size())
                endReplay();
            return;
        }
        catchUpReplay();
        return writePlain(offset, value);
    }
    writePlain(offset, value);
    note(offset, true, value);
}

void SocEmulator::endReplay()
{
    mode_ = Mode::Plain;
    ++framesFromMemory_;
    for (int kind = 0; kind < 3; ++kind)
        clock_.advance(memo_.spent[kind], static_cast<TimeKind>(kind));
    const std::uint32_t active = memo_.active();
    const unsigned ce = active & BCM2835_SPI0_CS_CS;
    wiring_.takeQuietFrame(framePin(active), active & (BCM2835_SPI0_CS_CSPOL0 << ce), memo_.mosi.data(),
                           memo_.mosi.size(), clock_.now(), memo_.kindAfter);
    accesses_ += memo_.steps.size();
    shifted_ += memo_.mosi.size();
    cs_ = memo_.csAfter;
    lastStatus_ = memo_.lastStatus;
    touched_ = memo_.touched;
    pinsReported_ = false;
    syncTimer();
}

void SocEmulator::catchUpReplay()
{
    const std::size_t done = step_;
    mode_ = Mode::Plain;
    step_ = 0;
    for (std::size_t i = 0; i < done; ++i) {
        const RepeatedFrame::Step& s = memo_.steps[i];
        if (s.write)
            writePlain(s.offset, s.value);
        else if (readPlain(s.offset) != s.value)
            wiring_.violated(QStringLiteral("SoC emulator"),
                             QStringLiteral("a poll answered from memory read 0x%1 where it reads 0x%2")
                                 .arg(s.value, 0, 16)
                                 .arg(readPlain(s.offset), 0, 16));
    }
}

void SocEmulator::leaveAside()
{
    if (mode_ == Mode::Replaying)
        catchUpReplay();
    mode_ = Mode::Plain;
}

void SocEmulator::catchUpBeforeLeaving()
{
    if (SocEmulator* soc = current())
        soc->leaveAside();
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

// Each call that reaches the board is an entry of the program into it.
std::uint32_t bcm2835_emu_read(volatile std::uint32_t* paddr)
{
    const sim::BoardEntry entry;
    return soc().read(paddr);
}

void bcm2835_emu_write(volatile std::uint32_t* paddr, std::uint32_t value)
{
    const sim::BoardEntry entry;
    soc().write(paddr, value);
}

int bcm2835_emu_open(const char* device)
{
    sim::SocEmulator* soc = sim::SocEmulator::current();
    if (!soc) {
        errno = ENODEV;
        return -1;
    }
    return soc->open(device);
}

volatile std::uint32_t* bcm2835_emu_map(const char* device, std::uint32_t offset, std::uint32_t size)
{
    const sim::BoardEntry entry;
    return soc().map(device, offset, size);
}

void bcm2835_emu_unmap(volatile std::uint32_t* window, std::uint32_t size)
{
    const sim::BoardEntry entry;
    soc().unmap(window, size);
}

unsigned bcm2835_emu_geteuid()
{
    sim::SocEmulator* soc = sim::SocEmulator::current();
    return soc ? soc->geteuid() : 0;
}

int bcm2835_emu_nanosleep(const struct timespec* request)
{
    const sim::BoardEntry entry;
    return soc().nanosleep(*request);
}

std::uint64_t bcm2835_emu_monotonic_us()
{
    return soc().monotonicMicros();
}
