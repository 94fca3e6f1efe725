#include "MiniLumoBoard.h"

#include <QJsonValue>

namespace sim {

MiniLumoBoard::MiniLumoBoard(std::uint8_t* flashMemory, MiniLumoOptions options)
    : memory_(flashMemory),
      flash_(flashMemory, clock_, faults_.flash, options.flashTiming),
      transceiver_(options.transceiver, &faults_),
      fpga_(wiring_, flash_, flashMemory, &faults_)
{
    // Pull-ups keep both chips deselected while the Pi does not drive their lines.
    wiring_.setPull(kFlashChipSelectPin, true);
    wiring_.setPull(kTransceiverChipSelectPin, true);
    wiring_.attach(flash_, kFlashChipSelectPin);
    wiring_.attach(transceiver_, kTransceiverChipSelectPin);
}

void MiniLumoBoard::finishRun()
{
    flash_.finishOperation();
    updateActiveAtEnd_ = wiring_.level(kUpdateActivePin);
}

void MiniLumoBoard::powerCycle()
{
    flash_.powerUp();
    fpga_.powerUp();
}

void MiniLumoBoard::cutPower(std::uint32_t seed)
{
    flash_.cutPower(seed);
    fpga_.powerDown();
    updateActiveAtEnd_ = false;
}

QString MiniLumoBoard::lineName(unsigned pin) const
{
    switch (pin) {
    case MiniLumoFpga::kDonePin:
        return QStringLiteral("FPGA DONE");
    case kUpdateActivePin:
        return QStringLiteral("UPDATE ACTIVE");
    default:
        return QString();
    }
}

QJsonObject MiniLumoBoard::saveState()
{
    return {{"fpga", QJsonObject{{"configured", fpga_.configured()}}},
            {"flash", QJsonObject{{"status_register", flash_.nonVolatileStatus()}}},
            {"update_active_at_end", updateActiveAtEnd_}};
}

bool MiniLumoBoard::restoreState(const QJsonObject& state, QString& error)
{
    const QJsonValue configured = state.value("fpga").toObject().value("configured");
    const QJsonValue statusRegister = state.value("flash").toObject().value("status_register");
    const QJsonValue updateActive = state.value("update_active_at_end");
    if (!configured.isBool()) {
        error = QStringLiteral("the FPGA state is unreadable");
        return false;
    }
    const int bits = statusRegister.toInt(-1);
    if (bits < 0 || bits > 0xFF) {
        error = QStringLiteral("the flash's status register is unreadable");
        return false;
    }
    if (!updateActive.isBool()) {
        error = QStringLiteral("the update-active line's state is unreadable");
        return false;
    }
    fpga_.restore(configured.toBool());
    flash_.restoreNonVolatileStatus(static_cast<std::uint8_t>(bits));
    updateActiveAtEnd_ = updateActive.toBool();
    return true;
}

QJsonObject MiniLumoBoard::status()
{
    return {{"fpga", QJsonObject{{"done", fpga_.done()}, {"configured", fpga_.configured()}}},
            {"flash", QJsonObject{{"chip", "MX25L3206E"},
                                  {"file", "mx25l3206e.img"},
                                  {"block_protect_level", static_cast<int>(flash_.protectionLevel())},
                                  {"valid_configuration", MiniLumoFpga::validConfiguration(memory_)}}},
            {"update_active_at_end", updateActiveAtEnd_}};
}

QStringList MiniLumoBoard::describe()
{
    const bool valid = MiniLumoFpga::validConfiguration(memory_);
    return {QStringLiteral("FPGA DONE (GPIO 13): %1").arg(fpga_.done() ? "high" : "low"),
            QStringLiteral("Flash MX25L3206E (mx25l3206e.img): block protection level %1, "
                           "a power cycle would load %2")
                .arg(flash_.protectionLevel())
                .arg(valid ? "a valid configuration" : "no valid configuration"),
            QStringLiteral("Update-active line (GPIO 25) at the end of the last run: %1")
                .arg(updateActiveAtEnd_ ? "high" : "low")};
}

}  // namespace sim
