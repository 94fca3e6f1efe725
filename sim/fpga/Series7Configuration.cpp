#include "Series7Configuration.h"

#include "Series7Packets.h"
#include "VirtualClock.h"

#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

namespace sim {

namespace {

using namespace series7;

constexpr std::uint32_t kNotFound = 0xFFFFFFFF;

// What a word written to a register does besides going into the CRC
// (UG470, configuration registers).
enum class Effect : std::uint8_t {
    None,
    CheckCrc,
    Command,
    CheckIdcode,
    FrameData,
    Watchdog,
    Options,
    SpiMode,
    Control,
    Mask,
    WarmBoot,
};

constexpr std::array<Effect, 32> kRegisterEffects = [] {
    std::array<Effect, 32> effects{};
    effects[CRC] = Effect::CheckCrc;
    effects[FDRI] = Effect::FrameData;
    effects[CMD] = Effect::Command;
    effects[CTL0] = Effect::Control;
    effects[MASK] = Effect::Mask;
    effects[COR0] = Effect::Options;
    effects[MFWR] = Effect::FrameData;
    effects[IDCODE] = Effect::CheckIdcode;
    effects[WBSTAR] = Effect::WarmBoot;
    effects[TIMER] = Effect::Watchdog;
    effects[BSPI] = Effect::SpiMode;
    return effects;
}();

// The commands the outcome depends on; the rest (WCFG, NULL, the SPI edge,
// ...) change nothing here.
enum class Action : std::uint8_t { None, Start, ResetCrc, Desync, Iprog, Shutdown, SpiRead, SwitchClock };

constexpr std::array<Action, 32> kCommandActions = [] {
    std::array<Action, 32> actions{};
    actions[START] = Action::Start;
    actions[RCRC] = Action::ResetCrc;
    actions[SWITCH] = Action::SwitchClock;
    actions[SHUTDOWN] = Action::Shutdown;
    actions[DESYNC] = Action::Desync;
    actions[IPROG] = Action::Iprog;
    actions[BSPI_READ] = Action::SpiRead;
    return actions;
}();

// TIMER: bit 30 runs the watchdog during configuration, bit 31 only in user
// mode, bits 29-0 its count. It counts the configuration oscillator's 65 MHz
// divided by 256.
constexpr std::uint32_t kTimerConfigMonitor = 1u << 30;
constexpr std::uint32_t kTimerValueMask = 0x3FFFFFFF;
constexpr std::uint64_t kWatchdogClockDivisor = 256;
constexpr std::uint64_t kOscillatorHz = 65000000;

Nanos watchdogNanos(std::uint32_t timer)
{
    return std::uint64_t{timer & kTimerValueMask} * kWatchdogClockDivisor * kSecond / kOscillatorHz;
}

// CTL0 (written through MASK): bit 10 set turns the fallback off, bit 6
// turns the AES decryptor on for the rest of the stream.
constexpr std::uint32_t kFallbackOff = 1u << 10;
constexpr std::uint32_t kDecrypt = 1u << 6;

// COR0 bits 16-15: the clock of the startup sequence (0 CCLK, 1 the
// STARTUPE2 block's user clock, 2 and 3 JTAG's TCK); bits 22-17 (OSCFSEL)
// the configuration clock that the SWITCH command sets.
enum class StartupClock { Cclk, User, Jtag };

StartupClock startupClock(std::uint32_t cor0)
{
    switch ((cor0 >> 15) & 3) {
    case 0:
        return StartupClock::Cclk;
    case 1:
        return StartupClock::User;
    default:
        return StartupClock::Jtag;
    }
}

// The nominal configuration clock of an OSCFSEL code. The power-up default,
// 0, is 3 MHz; 21 is the code the vendor's tools write for a ConfigRate of
// 50 MHz (the Kintex-7 MultiBoot pair, whose constraints ask for 50). UG470
// gives the rates but not their codes: the others stay at the default rate,
// the slow side.
constexpr std::uint64_t kDefaultClockHz = 3000000;

std::uint64_t configurationClockHz(std::uint32_t cor0)
{
    return ((cor0 >> 17) & 0x3F) == 21 ? 50000000 : kDefaultClockHz;
}

// WBSTAR bits 28-0: the byte address of the next configuration in SPI
// mode. A flash read with 3-byte addresses takes its low 24 bits.
constexpr std::uint32_t kReadAddressMask = 0x00FFFFFF;

// BSPI bits 9-8: the data lines of the reads that follow the BSPI_READ
// command (0: one, 1: two, 2: four).
constexpr unsigned spiLines(std::uint32_t bspi)
{
    switch ((bspi >> 8) & 3) {
    case 1:
        return 2;
    case 2:
        return 4;
    default:
        return 1;
    }
}

// The time a pass spends reading: bits at the configuration clock over the
// data lines, both of which the stream may change on the way.
class ReadTime {
public:
    explicit ReadTime(std::uint32_t from) : from_(from) {}
    // From `at` on, the bytes are read over `lines`.
    void switchLines(std::uint32_t at, unsigned lines)
    {
        close(at);
        lines_ = lines;
    }
    // From `at` on, at `hz`.
    void switchClock(std::uint32_t at, std::uint64_t hz)
    {
        close(at);
        hz_ = hz;
    }
    Nanos nanosUpTo(std::uint32_t at) const { return nanos_ + segment(at); }

private:
    Nanos segment(std::uint32_t at) const
    {
        const std::uint64_t bits = std::uint64_t{at > from_ ? at - from_ : 0} * 8;
        return (bits + lines_ - 1) / lines_ * kSecond / hz_;
    }
    void close(std::uint32_t at)
    {
        nanos_ += segment(at);
        from_ = std::max(from_, at);
    }

    std::uint32_t from_;
    unsigned lines_ = 1;
    std::uint64_t hz_ = kDefaultClockHz;
    Nanos nanos_ = 0;
};

// How one pass over the flash ended.
enum class End {
    Configured,  // DESYNC after START, and the startup sequence ran
    Iprog,       // an IPROG: the next pass starts at WBSTAR's address
    Error,       // an error the FPGA flags, the watchdog's expiry included
    RunsOut,     // the stream ran out before DESYNC
    Stalled,     // DESYNC after START, but the startup sequence never runs
};

// What the configuration logic keeps from one pass to the next: IPROG
// resets everything but WBSTAR and TIMER; a fallback ignores IPROG and runs
// without the watchdog.
struct MultiBoot {
    std::uint32_t warmBoot = 0;
    std::uint32_t timer = 0;
    bool fallback = false;
};

struct Pass {
    End end = End::RunsOut;
    std::uint32_t at = 0;  // the DESYNC, the IPROG, the word at fault, where the stream ran out
    QString what;          // what ended it, with its address
    bool synchronised = false;
    bool watchdog = false;         // a configuration watchdog ran to the pass's end
    bool watchdogExpired = false;  // and ended it
    bool fallbackOn = true;        // CTL0's fallback bit as the pass left it
    MultiBoot next;                // WBSTAR and TIMER as the pass left them
    std::uint64_t frameWords = 0;
    bool options = false;   // COR0 written
    bool shutdown = false;  // the device was shut down for a partial reconfiguration
    Nanos nanos = 0;
};

QString hex(std::uint32_t value, int digits)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

QString address(std::uint32_t at)
{
    return hex(at, 6);
}

QString milliseconds(Nanos nanos)
{
    return QString::number(static_cast<double>(nanos) / kMillisecond, 'f', 1);
}

class Engine {
public:
    Engine(const std::uint8_t* flash, std::uint32_t size, std::uint32_t part)
        : flash_(flash), size_(size), part_(part)
    {
    }

    Pass run(std::uint32_t at, const MultiBoot& state) const;

private:
    std::uint32_t word(std::uint32_t at) const { return qFromBigEndian<quint32>(flash_ + at); }
    std::uint64_t eightBytes(std::uint32_t at) const
    {
        std::uint64_t value;
        std::memcpy(&value, flash_ + at, sizeof value);
        return value;
    }
    std::uint32_t findSync(std::uint32_t from) const;
    std::uint32_t skipDummies(std::uint32_t from) const;
    std::uint32_t erasedFrom(std::uint32_t from) const;

    const std::uint8_t* flash_;
    std::uint32_t size_;
    std::uint32_t part_;
};

// The sync word may start at any byte.
std::uint32_t Engine::findSync(std::uint32_t from) const
{
    const std::uint8_t* p = flash_ + from;
    const std::uint8_t* const end = flash_ + size_;
    while (end - p >= 4) {
        p = static_cast<const std::uint8_t*>(std::memchr(p, 0xAA, static_cast<std::size_t>(end - p - 3)));
        if (!p)
            break;
        if (p[1] == 0x99 && p[2] == 0x55 && p[3] == 0x66)
            return static_cast<std::uint32_t>(p - flash_);
        ++p;
    }
    return kNotFound;
}

// The first word from `from` on that is not a dummy: erased flash reads as
// dummy words, megabytes of them behind the last image.
std::uint32_t Engine::skipDummies(std::uint32_t from) const
{
    while (size_ - from >= 8 && eightBytes(from) == ~std::uint64_t{0})
        from += 8;
    while (size_ - from >= 4 && word(from) == kDummy)
        from += 4;
    return from;
}

// Where the erased rest of the flash begins, not before `from`.
std::uint32_t Engine::erasedFrom(std::uint32_t from) const
{
    std::uint32_t end = size_;
    while (end - from >= 8 && eightBytes(end - 8) == ~std::uint64_t{0})
        end -= 8;
    while (end > from && flash_[end - 1] == 0xFF)
        --end;
    return end;
}

Pass Engine::run(std::uint32_t at, const MultiBoot& state) const
{
    Pass pass;
    pass.next = state;
    ReadTime time(at);
    unsigned lines = 1;
    // When the configuration watchdog expires, counted from the pass's start
    // when an earlier pass set it, else from its TIMER write. A fallback runs
    // without it.
    std::optional<Nanos> watchdogEnds;
    if (!state.fallback && (state.timer & kTimerConfigMonitor))
        watchdogEnds = watchdogNanos(state.timer);
    const auto stop = [&](End end, std::uint32_t where, const QString& what) {
        pass.end = end;
        pass.at = where;
        pass.what = what;
        pass.watchdog = watchdogEnds.has_value();
        if (end == End::RunsOut) {
            // The FPGA reads on until the watchdog ends it, if one runs.
            pass.nanos = watchdogEnds ? *watchdogEnds : time.nanosUpTo(where);
            pass.watchdogExpired = pass.watchdog;
            return pass;
        }
        pass.nanos = time.nanosUpTo(std::min(where + 4, size_));
        if (watchdogEnds && (end == End::Stalled || *watchdogEnds < pass.nanos)) {
            // The watchdog runs until the end of the startup sequence.
            pass.what = end == End::Stalled
                            ? what + QStringLiteral(", and the configuration watchdog expired")
                            : QStringLiteral("the configuration watchdog expired after %1 ms, before the stream "
                                             "reached %2 (after %3 ms)")
                                  .arg(milliseconds(*watchdogEnds), address(where), milliseconds(pass.nanos));
            pass.end = End::Error;
            pass.nanos = *watchdogEnds;
            pass.watchdogExpired = true;
        }
        return pass;
    };
    // Where the last packet's payload began: the stream has run into erased
    // flash where the flash is erased from there on.
    std::uint32_t lastPayload = at;
    const auto runOut = [&] {
        const std::uint32_t erased = erasedFrom(lastPayload);
        return stop(End::RunsOut, erased,
                    erased < size_ ? QStringLiteral("the stream runs into erased flash at %1 before DESYNC")
                                         .arg(address(erased))
                                   : QStringLiteral("the stream runs past the end of the flash before DESYNC"));
    };

    ConfigurationCrc crc;
    bool inSync = false;
    bool started = false;
    bool afterWrite = false;  // a type 2 packet may follow
    std::uint32_t reg = 0;
    // CTL0, MASK and COR0 start at their reset values in every pass.
    std::uint32_t control = 0;
    std::uint32_t mask = 0;
    std::uint32_t options = 0;
    for (;;) {
        if (!inSync) {
            const std::uint32_t sync = findSync(at);
            if (sync == kNotFound) {
                // It searched the whole window.
                Pass out = stop(End::RunsOut, size_, QStringLiteral("no sync word from %1 on").arg(address(at)));
                out.at = at;
                return out;
            }
            at = sync + 4;
            lastPayload = at;
            inSync = true;
            pass.synchronised = true;
            afterWrite = false;
            continue;
        }
        if (size_ - at < 4)
            return runOut();

        const std::uint32_t header = word(at);
        if (header == kDummy) {
            at = skipDummies(at);
            afterWrite = false;
            continue;
        }
        if (header == kNoop || header == kBusWidthSync || header == kBusWidthDetect || header == kSyncWord) {
            at += 4;
            afterWrite = false;
            continue;
        }
        const std::uint32_t type = header >> 29;
        const bool write = ((header >> 27) & 3) == 2;
        std::uint32_t count = 0;
        if (type == 1 && write && (header & 0x07FC1800) == 0) {
            reg = (header >> 13) & 0x1F;
            count = header & 0x7FF;
        } else if (type == 2 && write && afterWrite) {
            count = header & 0x07FFFFFF;
        } else {
            return stop(End::Error, at,
                        QStringLiteral("invalid packet header %1 at %2").arg(hex(header, 8), address(at)));
        }
        afterWrite = type == 1;
        at += 4;

        lastPayload = at;
        const std::uint32_t available = (size_ - at) / 4;
        const bool runsOut = count > available;
        const std::uint32_t words = std::min(count, available);
        const Effect effect = kRegisterEffects[reg];
        const auto target = static_cast<Register>(reg);
        if (effect == Effect::FrameData) {
            // Nothing in frame data is checked but the CRC at the end, which
            // a stream that runs out never reaches.
            if (!runsOut)
                crc.feed(target, flash_ + at, words);
            pass.frameWords += words;
            at += 4 * words;
        } else {
            for (std::uint32_t i = 0; inSync && i < words; ++i, at += 4) {
                const std::uint32_t value = word(at);
                switch (effect) {
                case Effect::CheckCrc:
                    if (value != crc.value())
                        return stop(End::Error, at,
                                    QStringLiteral("configuration CRC mismatch at %1").arg(address(at)));
                    crc.reset();
                    continue;
                case Effect::CheckIdcode:
                    if (((value ^ part_) & 0x0FFFFFFF) != 0)
                        return stop(End::Error, at,
                                    QStringLiteral("IDCODE %1 is not the board's part %2 at %3")
                                        .arg(hex(value, 8), hex(part_, 8), address(at)));
                    break;
                case Effect::Watchdog:
                    pass.next.timer = value;
                    watchdogEnds.reset();
                    if (!state.fallback && (value & kTimerConfigMonitor))
                        watchdogEnds = time.nanosUpTo(at + 4) + watchdogNanos(value);
                    break;
                case Effect::WarmBoot:
                    pass.next.warmBoot = value;
                    break;
                case Effect::Mask:
                    mask = value;
                    break;
                case Effect::Control:
                    control = (control & ~mask) | (value & mask);
                    pass.fallbackOn = (control & kFallbackOff) == 0;
                    if (control & kDecrypt)
                        return stop(End::Error, at,
                                    QStringLiteral("the stream is encrypted from %1 on, and the virtual FPGA holds "
                                                   "no AES key")
                                        .arg(address(at + 4)));
                    break;
                case Effect::Options:
                    options = value;
                    pass.options = true;
                    break;
                case Effect::SpiMode:
                    lines = spiLines(value);
                    break;
                case Effect::Command:
                case Effect::FrameData:
                case Effect::None:
                    break;
                }
                crc.feed(target, value);
                if (effect != Effect::Command)
                    continue;
                switch (value < kCommandActions.size() ? kCommandActions[value] : Action::None) {
                case Action::Start:
                    started = true;
                    break;
                case Action::ResetCrc:
                    crc.reset();
                    break;
                case Action::Desync:
                    if (!started) {
                        // Nothing started: the FPGA looks for the next sync word.
                        inSync = false;
                        break;
                    }
                    switch (startupClock(options)) {
                    case StartupClock::Jtag:
                        return stop(End::Stalled, at,
                                    QStringLiteral("DESYNC at %1, but COR0 clocks the startup sequence from JTAG, "
                                                   "so DONE never rises")
                                        .arg(address(at)));
                    case StartupClock::Cclk:
                    case StartupClock::User:
                        return stop(End::Configured, at, QString());
                    }
                    break;
                case Action::Iprog:
                    if (!state.fallback)
                        return stop(End::Iprog, at, QString());
                    break;
                case Action::Shutdown:
                    pass.shutdown = true;
                    break;
                case Action::SpiRead:
                    time.switchLines(at + 4, lines);
                    break;
                case Action::SwitchClock:
                    time.switchClock(at + 4, configurationClockHz(options));
                    break;
                case Action::None:
                    break;
                }
            }
        }
        if (runsOut)
            return runOut();
    }
}

const char* imageAt(std::uint32_t at)
{
    return at < Series7Configuration::kUpdateImageAddress ? "golden image" : "update image";
}

QString reason(const Pass& pass)
{
    QString text = QStringLiteral("%1: %2").arg(QLatin1String(imageAt(pass.at)), pass.what);
    if (pass.end == End::RunsOut)
        text += pass.watchdog ? QStringLiteral(", the configuration watchdog expired")
                              : QStringLiteral(", the watchdog is off");
    return text;
}

bool failed(const Pass& pass)
{
    return pass.end == End::Error || (pass.end == End::RunsOut && pass.watchdog);
}

// The outcome of a configuration whose last pass this is; firstPass: the
// power-up's own pass from address 0.
Series7Configuration::Outcome outcome(const Pass& pass, bool firstPass)
{
    Series7Configuration::Outcome out;
    out.frameWords = pass.frameWords;
    if (pass.end == End::Configured) {
        out.loaded = pass.at < Series7Configuration::kUpdateImageAddress ? Series7Configuration::Image::Golden
                                                                        : Series7Configuration::Image::Update;
        out.partial = !pass.options || pass.shutdown || pass.frameWords == 0;
    } else if (!pass.synchronised && firstPass) {
        out.error = QStringLiteral("no sync word in the flash");
    } else {
        out.hangs = pass.end == End::RunsOut && !pass.watchdog;
        out.error = reason(pass);
    }
    return out;
}

QString joined(const QString& earlier, const QString& last)
{
    if (earlier.isEmpty())
        return last;
    return last.isEmpty() ? earlier : earlier + QStringLiteral("; ") + last;
}

}  // namespace

Series7Configuration::Outcome Series7Configuration::configure(const std::uint8_t* flash, std::uint32_t size,
                                                              std::uint32_t part)
{
    const Engine engine(flash, size, part);
    MultiBoot state;
    std::uint32_t start = 0;
    std::vector<std::uint32_t> starts;
    Nanos nanos = 0;
    QString errors;
    bool fellBack = false;
    for (;;) {
        const Pass pass = engine.run(start, state);
        nanos += pass.nanos;
        starts.push_back(start);
        if (pass.end == End::Iprog) {
            const std::uint32_t next = std::min(pass.next.warmBoot & kReadAddressMask, size);
            if (std::find(starts.begin(), starts.end(), next) != starts.end()) {
                Outcome out;
                out.hangs = true;
                out.readNanos = nanos;
                out.error = joined(errors, QStringLiteral("%1: IPROG at %2 leads back to %3, where this boot has "
                                                          "begun before: the FPGA reboots for ever")
                                               .arg(QLatin1String(imageAt(pass.at)), address(pass.at),
                                                    address(next)));
                return out;
            }
            state.warmBoot = pass.next.warmBoot;
            state.timer = pass.next.timer;
            start = next;
            continue;
        }
        // An image reached through IPROG that fails, or a watchdog that ends
        // any pass, sends the FPGA back to address 0, unless the stream
        // turned the fallback off. A power-up's own pass from address 0 is
        // not retried for its errors: the fallback would read the same.
        const bool reachedThroughIprog = starts.size() > 1;
        if (!state.fallback && failed(pass) && (reachedThroughIprog || pass.watchdogExpired)) {
            if (pass.fallbackOn) {
                errors = joined(errors, reason(pass));
                state = MultiBoot{pass.next.warmBoot, pass.next.timer, true};
                start = 0;
                fellBack = true;
                continue;
            }
            Outcome out = outcome(pass, false);
            out.readNanos = nanos;
            out.error = joined(errors, out.error + QStringLiteral(", and the stream turned the fallback off (CTL0)"));
            return out;
        }
        Outcome out = outcome(pass, !reachedThroughIprog && !fellBack);
        out.readNanos = nanos;
        out.fallback = fellBack;
        out.error = joined(errors, out.error);
        return out;
    }
}

}  // namespace sim
