#pragma once

#include "AT86.h"
#include "MX25L3206E.h"
#include "MiniLumoFpga.h"
#include "VirtualBoard.h"

namespace sim {

// How a Mini Lumo board is built; the defaults are a board as it should be.
struct MiniLumoOptions {
    MX25L3206ETiming flashTiming;
    AT86::Identity transceiver;
};

// Mini Lumo: the MX25L3206E selected by GPIO 24 low and the AT86 transceiver
// by GPIO 16 low, both on the Pi's SPI bus; the FPGA's DONE on GPIO 13; the
// update-active line GPIO 25 from the Pi, whose level at the end of a run
// the board keeps.
class MiniLumoBoard : public VirtualBoard {
public:
    static constexpr unsigned kFlashChipSelectPin = 24;
    static constexpr unsigned kTransceiverChipSelectPin = 16;
    static constexpr unsigned kUpdateActivePin = 25;

    explicit MiniLumoBoard(std::uint8_t* flashMemory, MiniLumoOptions options = {});

    QString kind() const override { return QStringLiteral("minilumo"); }
    void finishRun() override;
    void powerCycle() override;
    void cutPower(std::uint32_t seed) override;
    QString lineName(unsigned pin) const override;
    QJsonObject saveState() override;
    bool restoreState(const QJsonObject& state, QString& error) override;
    QJsonObject status() override;
    QStringList describe() override;

    MX25L3206E& flash() { return flash_; }
    AT86& transceiver() { return transceiver_; }
    MiniLumoFpga& fpga() { return fpga_; }
    bool updateActiveAtEnd() const { return updateActiveAtEnd_; }

private:
    std::uint8_t* memory_;
    MX25L3206E flash_;
    AT86 transceiver_;
    MiniLumoFpga fpga_;
    bool updateActiveAtEnd_ = false;
};

}  // namespace sim
