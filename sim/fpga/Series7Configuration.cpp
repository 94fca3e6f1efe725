#include "Series7Configuration.h"

#include "Series7Packets.h"
#include "VirtualClock.h"

#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstring>

namespace sim {

namespace {

using namespace series7;

constexpr std::uint32_t kNotFound = 0xFFFFFFFF;

// What a word written to a register does besides going into the CRC.
enum class Effect : std::uint8_t { None, CheckCrc, Command, CheckIdcode, FrameData, Watchdog, Options, SpiMode };

constexpr std::array<Effect, 32> kRegisterEffects = [] {
    std::array<Effect, 32> effects{};
    effects[CRC] = Effect::CheckCrc;
    effects[FDRI] = Effect::FrameData;
    effects[CMD] = Effect::Command;
    effects[COR0] = Effect::Options;
    effects[MFWR] = Effect::FrameData;
    effects[IDCODE] = Effect::CheckIdcode;
    effects[TIMER] = Effect::Watchdog;
    effects[BSPI] = Effect::SpiMode;
    return effects;
}();

// The commands the outcome depends on; the rest (WCFG, NULL, SWITCH, the
// SPI read commands, ...) change nothing here.
enum class Action : std::uint8_t { None, Start, ResetCrc, Desync, Iprog, Shutdown, SpiRead };

constexpr std::array<Action, 32> kCommandActions = [] {
    std::array<Action, 32> actions{};
    actions[START] = Action::Start;
    actions[RCRC] = Action::ResetCrc;
    actions[SHUTDOWN] = Action::Shutdown;
    actions[DESYNC] = Action::Desync;
    actions[IPROG] = Action::Iprog;
    actions[BSPI_READ] = Action::SpiRead;
    return actions;
}();

// The watchdog's time-out: TIMER bits 29-0, in configuration clock cycles.
constexpr std::uint32_t kWatchdogValueMask = 0x3FFFFFFF;

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

std::uint64_t cyclesToNanos(std::uint64_t cycles)
{
    return cycles * kSecond / Series7Configuration::kConfigClockHz;
}

// The time a pass spends reading: bits at the configuration clock, over one
// data line until the stream switches to more.
class ReadTime {
public:
    explicit ReadTime(std::uint32_t from) : from_(from) {}
    // The bytes up to `at` are read over `lines` from here on.
    void switchLines(std::uint32_t at, unsigned lines)
    {
        cycles_ = cyclesUpTo(at);
        from_ = at;
        lines_ = lines;
    }
    std::uint64_t nanosUpTo(std::uint32_t at) const { return cyclesToNanos(cyclesUpTo(at)); }

private:
    std::uint64_t cyclesUpTo(std::uint32_t at) const
    {
        return cycles_ + (std::uint64_t{at > from_ ? at - from_ : 0} * 8 + lines_ - 1) / lines_;
    }

    std::uint32_t from_;
    unsigned lines_ = 1;
    std::uint64_t cycles_ = 0;
};

// How one pass over the flash, from a start address, ended.
enum class End { Configured, Iprog, Error, RunsOut };

struct Pass {
    End end = End::RunsOut;
    std::uint32_t at = 0;  // the DESYNC, the IPROG, the error, where the stream ran out
    QString what;          // the error or how the stream ran out, with its address
    bool synchronised = false;
    bool watchdog = false;
    std::uint64_t frameWords = 0;
    bool options = false;   // COR0 written
    bool shutdown = false;  // the device was shut down for a partial reconfiguration
    // The time the pass read the flash; for one that runs out with the
    // watchdog on, until the watchdog expired.
    std::uint64_t nanos = 0;
};

QString hex(std::uint32_t value, int digits)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

QString address(std::uint32_t at)
{
    return hex(at, 6);
}

class Engine {
public:
    Engine(const std::uint8_t* flash, std::uint32_t size, std::uint32_t part)
        : flash_(flash), size_(size), part_(part)
    {
    }

    // One pass from `at`. honourIprog: IPROG ends the pass; synchronised:
    // the configuration that continues here had found its sync word.
    Pass run(std::uint32_t at, bool honourIprog, bool watchdog, bool synchronised) const;

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

Pass Engine::run(std::uint32_t at, bool honourIprog, bool watchdog, bool synchronised) const
{
    Pass pass;
    pass.watchdog = watchdog;
    pass.synchronised = synchronised;
    ReadTime time(at);
    unsigned lines = 1;
    // When a watchdog that runs out expires; one carried over from the
    // golden header's pass is counted from this pass's start.
    std::uint64_t watchdogEnds = 0;
    const auto stop = [&](End end, std::uint32_t where, const QString& what) {
        pass.end = end;
        pass.at = where;
        pass.what = what;
        pass.nanos = end == End::RunsOut ? std::max(watchdogEnds, time.nanosUpTo(where))
                                         : time.nanosUpTo(std::min(where + 4, size_));
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
    for (;;) {
        if (!inSync) {
            const std::uint32_t sync = findSync(at);
            if (sync == kNotFound) {
                stop(End::RunsOut, at, QStringLiteral("no sync word from %1 on").arg(address(at)));
                // It searched the whole window.
                pass.nanos = std::max(watchdogEnds, time.nanosUpTo(size_));
                return pass;
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
                if (effect == Effect::CheckCrc) {
                    if (value != crc.value())
                        return stop(End::Error, at,
                                    QStringLiteral("configuration CRC mismatch at %1").arg(address(at)));
                    crc.reset();
                    continue;
                }
                crc.feed(target, value);
                if (effect == Effect::CheckIdcode && ((value ^ part_) & 0x0FFFFFFF) != 0)
                    return stop(End::Error, at,
                                QStringLiteral("IDCODE %1 is not the board's part %2 at %3")
                                    .arg(hex(value, 8), hex(part_, 8), address(at)));
                if (effect == Effect::Watchdog) {
                    pass.watchdog = value != 0;
                    watchdogEnds = time.nanosUpTo(at + 4) + cyclesToNanos(value & kWatchdogValueMask);
                }
                if (effect == Effect::Options)
                    pass.options = true;
                if (effect == Effect::SpiMode)
                    lines = spiLines(value);
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
                    if (started)
                        return stop(End::Configured, at, QString());
                    // Nothing started: the FPGA looks for the next sync word.
                    inSync = false;
                    break;
                case Action::Iprog:
                    if (honourIprog)
                        return stop(End::Iprog, at, QString());
                    break;
                case Action::Shutdown:
                    pass.shutdown = true;
                    break;
                case Action::SpiRead:
                    time.switchLines(at + 4, lines);
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

QString reason(const Pass& pass)
{
    const char* image = pass.at < Series7Configuration::kUpdateImageAddress ? "golden image" : "update image";
    QString text = QStringLiteral("%1: %2").arg(QLatin1String(image), pass.what);
    if (pass.end == End::RunsOut)
        text += pass.watchdog ? QStringLiteral(", the configuration watchdog expired")
                              : QStringLiteral(", the watchdog is off");
    return text;
}

// The outcome of a configuration whose last pass this is.
Series7Configuration::Outcome outcome(const Pass& pass)
{
    Series7Configuration::Outcome out;
    out.frameWords = pass.frameWords;
    out.readNanos = pass.nanos;
    if (pass.end == End::Configured) {
        out.loaded = pass.at < Series7Configuration::kUpdateImageAddress ? Series7Configuration::Image::Golden
                                                                        : Series7Configuration::Image::Update;
        out.partial = !pass.options || pass.shutdown || pass.frameWords == 0;
    } else if (!pass.synchronised) {
        out.error = QStringLiteral("no sync word in the flash");
    } else {
        out.hangs = pass.end == End::RunsOut && !pass.watchdog;
        out.error = reason(pass);
    }
    return out;
}

}  // namespace

Series7Configuration::Outcome Series7Configuration::configure(const std::uint8_t* flash, std::uint32_t size,
                                                              std::uint32_t part)
{
    const Engine engine(flash, size, part);
    const Pass first = engine.run(0, true, false, false);
    if (first.end != End::Iprog)
        return outcome(first);
    const Pass update = engine.run(std::min(kUpdateImageAddress, size), false, first.watchdog, true);
    if (update.end == End::Configured || (update.end == End::RunsOut && !update.watchdog)) {
        Outcome out = outcome(update);
        out.readNanos += first.nanos;
        return out;
    }
    Outcome again = outcome(engine.run(0, false, false, false));
    again.readNanos += first.nanos + update.nanos;
    again.fallback = true;
    again.error = again.error.isEmpty() ? reason(update) : reason(update) + QStringLiteral("; ") + again.error;
    return again;
}

}  // namespace sim
