#include "BusTrace.h"

namespace sim {

namespace {
constexpr std::size_t kSampleBytes = 12;
constexpr std::size_t kShownBytes = 8;

QString hexBytes(const std::vector<std::uint8_t>& bytes, std::uint64_t total)
{
    QString out;
    for (std::size_t i = 0; i < bytes.size() && i < kShownBytes; ++i)
        out += QStringLiteral("%1 ").arg(bytes[i], 2, 16, QLatin1Char('0')).toUpper();
    if (total > kShownBytes)
        out += QStringLiteral("...");
    return out.trimmed();
}

bool isPoll(const FrameMeaning& meaning)
{
    return (meaning.command == QLatin1String("READ STATUS") || meaning.command == QLatin1String("RDSR")) &&
           meaning.dataLength == 1;
}

QString describe(const FrameMeaning& meaning, bool poll)
{
    QString what = meaning.command;
    if (meaning.address)
        what += QStringLiteral("  0x%1").arg(*meaning.address, 6, 16, QLatin1Char('0'));
    if (meaning.dataLength > 0 && !poll)
        what += QStringLiteral("  len %1  %2").arg(meaning.dataLength).arg(hexBytes(meaning.data, meaning.dataLength));
    return what;
}
}  // namespace

BusTrace::BusTrace(BoardWiring& wiring, std::FILE* out, LineNames names)
    : wiring_(wiring), out_(out), names_(std::move(names)), runStart_(wiring.clock().now())
{
    std::fprintf(out_, "%14s  %10s  %-10s %s\n", "time", "bus byte", "device", "event");
    wiring_.addObserver(*this);
}

BusTrace::~BusTrace()
{
    wiring_.removeObserver(*this);
    flush();
}

void BusTrace::write(Nanos at, std::uint64_t byte, const QString& who, const QString& what)
{
    std::fprintf(out_, "%11.3f ms  %10llu  %-10s %s\n", static_cast<double>(at - runStart_) / kMillisecond,
                 static_cast<unsigned long long>(byte), qUtf8Printable(who), qUtf8Printable(what));
}

void BusTrace::flush()
{
    if (repeat_.count == 0)
        return;
    QString what = repeat_.text;
    if (repeat_.poll)
        what += QStringLiteral("  %1").arg(repeat_.last, 2, 16, QLatin1Char('0')).toUpper();
    if (repeat_.count > 1)
        what += QStringLiteral("  (x%1 over %2 ms%3)")
                    .arg(repeat_.count)
                    .arg(static_cast<double>(repeat_.end - repeat_.start) / kMillisecond, 0, 'f', 3)
                    .arg(repeat_.poll ? QStringLiteral(", the last shown") : QString());
    write(repeat_.start, repeat_.firstByte, repeat_.device, what);
    repeat_ = Repeat{};
}

void BusTrace::finish()
{
    flush();
    for (const auto& [device, frame] : open_)
        if (frame.sample.length > 0)
            write(frame.start, frame.firstByte, QString::fromLatin1(device->name()),
                  describe(device->decode(frame.sample), false) + QStringLiteral("  (still selected at the end)"));
    open_.clear();
}

void BusTrace::selected(SpiDevice& device)
{
    open_[&device] = Open{wiring_.clock().now(), wiring_.bytesOnBus() + 1, {}};
}

void BusTrace::exchanged(SpiDevice& device, std::uint8_t mosi, std::uint8_t miso)
{
    Open& frame = open_[&device];
    if (frame.sample.mosi.size() < kSampleBytes) {
        frame.sample.mosi.push_back(mosi);
        frame.sample.miso.push_back(miso);
    }
    ++frame.sample.length;
}

void BusTrace::deselected(SpiDevice& device)
{
    const auto found = open_.find(&device);
    if (found == open_.end())
        return;
    const Open frame = found->second;
    open_.erase(found);
    if (frame.sample.length == 0)
        return;
    const FrameMeaning meaning = device.decode(frame.sample);
    const QString who = QString::fromLatin1(device.name());
    const bool poll = isPoll(meaning);
    const QString text = describe(meaning, poll);
    if (repeat_.count > 0 && (repeat_.device != who || repeat_.text != text))
        flush();
    if (repeat_.count == 0) {
        repeat_.device = who;
        repeat_.text = text;
        repeat_.poll = poll;
        repeat_.start = frame.start;
        repeat_.firstByte = frame.firstByte;
    }
    ++repeat_.count;
    repeat_.end = wiring_.clock().now();
    repeat_.last = meaning.data.empty() ? 0xFF : meaning.data.back();
}

void BusTrace::violated(const Violation& violation)
{
    flush();
    write(wiring_.clock().now(), violation.busByte, violation.where, QStringLiteral("!! ") + violation.rule);
}

void BusTrace::lineChanged(unsigned pin, bool high)
{
    // The SPI controller's CE1 and CE0 (GPIO 7 and 8) frame every transfer,
    // whether or not a chip listens to them.
    constexpr unsigned kCe1Pin = 7;
    constexpr unsigned kCe0Pin = 8;
    if (wiring_.isChipSelect(pin) || pin == kCe1Pin || pin == kCe0Pin)
        return;
    flush();
    QString what = high ? QStringLiteral("high") : QStringLiteral("low");
    const QString name = names_ ? names_(pin) : QString();
    if (!name.isEmpty())
        what += QStringLiteral("  (%1)").arg(name);
    write(wiring_.clock().now(), wiring_.bytesOnBus(), QStringLiteral("GPIO %1").arg(pin), what);
}

}  // namespace sim
