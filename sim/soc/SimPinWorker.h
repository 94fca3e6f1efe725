#pragma once

#include "BoardWiring.h"
#include "BasePinWorker.h"

#include <array>

namespace sim {

// A pin worker wired straight to a virtual board: transfers drive the SPI
// controller's chip-select pins (GPIO 8 for CE0, GPIO 7 for CE1) around the
// bytes, GPIO calls drive and read the board's lines, delays move the
// virtual clock. Single-threaded: the updater calls it from one thread.
class SimPinWorker : public BasePinWorker {
public:
    static constexpr unsigned kClockDivider = 32;

    explicit SimPinWorker(BoardWiring& wiring);
    ~SimPinWorker() override;

    void setChipSelectPolarity(SPI_ChipSelect cs, bool active_high) override;
    void init() override;
    void close() override;
    void read_write_spi(char* tx, char* rx, SPI_ChipSelect cs, unsigned int len) override;
    void write_spi(char* tx, SPI_ChipSelect cs, unsigned int len) override;
    void set_pin_state(unsigned char pin, PIN_State state) override;
    PIN_State get_pin_state(unsigned char pin) override;
    void delay_ms(unsigned long long ms) override;

private:
    void transfer(const char* tx, char* rx, SPI_ChipSelect cs, unsigned int len);

    BoardWiring& wiring_;
    std::array<bool, 2> activeHigh_{};
};

}  // namespace sim
