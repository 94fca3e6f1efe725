#include "Lumo3Board.h"

#include <QJsonValue>

#include <cstring>

namespace sim {

namespace {
constexpr unsigned kCe0Pin = 8;

bool imageFromName(const QString& name, Lumo3Fpga::Image& image)
{
    for (auto candidate : {Lumo3Fpga::Image::None, Lumo3Fpga::Image::Golden, Lumo3Fpga::Image::Update}) {
        if (name == QLatin1String(Lumo3Fpga::imageName(candidate))) {
            image = candidate;
            return true;
        }
    }
    return false;
}

QString hexWord(std::uint32_t value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(8, QLatin1Char('0'));
}

QJsonObject outcomeJson(const Lumo3Fpga::Outcome& outcome)
{
    return {{"loaded", Lumo3Fpga::imageName(outcome.loaded)},
            {"fallback", outcome.fallback},
            {"hangs", outcome.hangs},
            {"error", outcome.error},
            {"frame_words", static_cast<double>(outcome.frameWords)},
            {"partial", outcome.partial},
            {"read_seconds", static_cast<double>(outcome.readNanos) / kSecond}};
}

bool holdsSwitchWord(const std::uint8_t* memory)
{
    return std::memcmp(memory + Lumo3Fpga::kSwitchWordAddress, "\xAA\x99\x55\x66", 4) == 0;
}

QString said(const Lumo3Fpga::Outcome& outcome)
{
    QString text = outcome.loaded == Lumo3Fpga::Image::None
                       ? QStringLiteral("no image")
                       : QStringLiteral("the %1 image (%2 words of frame data)")
                             .arg(QLatin1String(Lumo3Fpga::imageName(outcome.loaded)))
                             .arg(outcome.frameWords);
    if (outcome.partial)
        text += QStringLiteral(", a partial design");
    if (outcome.fallback)
        text += QStringLiteral(", after a fallback");
    if (outcome.hangs)
        text += QStringLiteral(", and hangs holding the flash");
    if (!outcome.error.isEmpty())
        text += QStringLiteral(": ") + outcome.error;
    return text;
}
}  // namespace

Lumo3Board::Lumo3Board(std::uint8_t* flashMemory)
    : memory_(flashMemory), flash_(flashMemory, clock_, faults_.flash), fpga_(wiring_, flash_, flashMemory, faults_)
{
    // The Pi's own pull-ups keep both SPI chip selects inactive.
    wiring_.setPull(kCe0Pin, true);
    wiring_.setPull(kFlashChipSelectPin, true);
    wiring_.attach(fpga_.flashPort(), kFlashChipSelectPin);
    // The flash sits behind the FPGA's port; it reports its own rules.
    flash_.watchRules(&wiring_);
}

void Lumo3Board::finishRun()
{
    flash_.finishOperation();
    fpga_.finishConfiguration();
}

void Lumo3Board::powerCycle()
{
    flash_.finishOperation();
    fpga_.powerUp();
}

void Lumo3Board::cutPower(std::uint32_t seed)
{
    flash_.cutPower(seed);
    fpga_.powerDown();
}

QString Lumo3Board::lineName(unsigned pin) const
{
    return pin == Lumo3Fpga::kProgramPin ? QStringLiteral("FPGA PROGRAM_B") : QString();
}

bool Lumo3Board::setPart(std::uint32_t idcode)
{
    fpga_.setPart(idcode);
    return true;
}

QJsonObject Lumo3Board::saveState()
{
    QJsonObject fpga = outcomeJson(fpga_.outcome());
    fpga.insert("holding_flash", fpga_.configuring());
    fpga.insert("idcode", hexWord(fpga_.part()));
    return {{"fpga", fpga}};
}

bool Lumo3Board::restoreState(const QJsonObject& state, QString& error)
{
    Lumo3Fpga::Image image{};
    const QJsonObject fpga = state.value("fpga").toObject();
    if (!imageFromName(fpga.value("loaded").toString(), image)) {
        error = QStringLiteral("the FPGA state is unreadable");
        return false;
    }
    bool partRead = true;
    const std::uint32_t part = fpga.contains("idcode") ? fpga.value("idcode").toString().toUInt(&partRead, 16)
                                                       : series7::kXc7a35t;
    if (!partRead) {
        error = QStringLiteral("the FPGA's part is unreadable");
        return false;
    }
    Lumo3Fpga::Outcome outcome;
    outcome.loaded = image;
    outcome.fallback = fpga.value("fallback").toBool();
    outcome.hangs = fpga.value("hangs").toBool();
    outcome.error = fpga.value("error").toString();
    outcome.frameWords = static_cast<std::uint64_t>(fpga.value("frame_words").toDouble());
    outcome.partial = fpga.value("partial").toBool();
    outcome.readNanos = static_cast<std::uint64_t>(fpga.value("read_seconds").toDouble() * kSecond);
    fpga_.setPart(part);
    fpga_.restore(outcome, fpga.value("holding_flash").toBool());
    return true;
}

QJsonObject Lumo3Board::status()
{
    QJsonObject fpga = outcomeJson(fpga_.outcome());
    fpga.insert("idcode", hexWord(fpga_.part()));
    return {{"fpga", fpga},
            {"flash", QJsonObject{{"chip", "N25Q256"},
                                  {"file", "n25q256.img"},
                                  {"switch_word", holdsSwitchWord(memory_)},
                                  {"boots_next", Lumo3Fpga::imageName(fpga_.nextBoot().loaded)}}}};
}

QStringList Lumo3Board::describe()
{
    return {QStringLiteral("FPGA runs: %1").arg(said(fpga_.outcome())),
            QStringLiteral("FPGA part: IDCODE %1").arg(hexWord(fpga_.part())),
            QStringLiteral("Flash N25Q256 (n25q256.img): switch word %1; a reboot would load %2")
                .arg(holdsSwitchWord(memory_) ? "present" : "absent", said(fpga_.nextBoot()))};
}

}  // namespace sim
