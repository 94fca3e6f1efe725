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

QJsonObject Lumo3Board::saveState()
{
    return {{"fpga", QJsonObject{{"loaded", Lumo3Fpga::imageName(fpga_.loaded())},
                                 {"holding_flash", fpga_.configuring()}}}};
}

bool Lumo3Board::restoreState(const QJsonObject& state, QString& error)
{
    Lumo3Fpga::Image image{};
    const QJsonObject fpga = state.value("fpga").toObject();
    if (!imageFromName(fpga.value("loaded").toString(), image)) {
        error = QStringLiteral("the FPGA state is unreadable");
        return false;
    }
    fpga_.restore(image, fpga.value("holding_flash").toBool());
    return true;
}

QJsonObject Lumo3Board::status()
{
    const bool switchWord =
        std::memcmp(memory_ + Lumo3Fpga::kSwitchWordAddress, "\xAA\x99\x55\x66", 4) == 0;
    return {{"fpga", QJsonObject{{"loaded", Lumo3Fpga::imageName(fpga_.loaded())}}},
            {"flash", QJsonObject{{"chip", "N25Q256"},
                                  {"file", "n25q256.img"},
                                  {"switch_word", switchWord},
                                  {"boots_next", Lumo3Fpga::imageName(Lumo3Fpga::selectImage(memory_))}}}};
}

QStringList Lumo3Board::describe()
{
    const auto said = [](Lumo3Fpga::Image image) {
        return image == Lumo3Fpga::Image::None ? QStringLiteral("no image")
                                               : QStringLiteral("the %1 image").arg(Lumo3Fpga::imageName(image));
    };
    const bool switchWord = status().value("flash").toObject().value("switch_word").toBool();
    return {QStringLiteral("FPGA runs: %1").arg(said(fpga_.loaded())),
            QStringLiteral("Flash N25Q256 (n25q256.img): switch word %1; a reboot would load %2")
                .arg(switchWord ? "present" : "absent", said(Lumo3Fpga::selectImage(memory_)))};
}

}  // namespace sim
