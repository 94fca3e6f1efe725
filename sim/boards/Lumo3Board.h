#pragma once

#include "Lumo3Fpga.h"
#include "N25Q256.h"
#include "VirtualBoard.h"

namespace sim {

// Lumo3: the N25Q256 on the SPI controller's chip select 1 (GPIO 7), shared
// with the Artix FPGA whose PROGRAM line is GPIO 26.
class Lumo3Board : public VirtualBoard {
public:
    static constexpr unsigned kFlashChipSelectPin = 7;

    explicit Lumo3Board(std::uint8_t* flashMemory);

    QString kind() const override { return QStringLiteral("lumo3"); }
    bool setPart(std::uint32_t idcode) override;
    void finishRun() override;
    void powerCycle() override;
    void cutPower(std::uint32_t seed) override;
    QString lineName(unsigned pin) const override;
    QJsonObject saveState() override;
    bool restoreState(const QJsonObject& state, QString& error) override;
    QJsonObject status() override;
    QStringList describe() override;

    N25Q256& flash() { return flash_; }
    Lumo3Fpga& fpga() { return fpga_; }

private:
    std::uint8_t* memory_;
    N25Q256 flash_;
    Lumo3Fpga fpga_;
};

}  // namespace sim
