#pragma once

#include "BasePinWorker.h"

#include <functional>
#include <mutex>

// The pin worker on the BCM2835 peripherals, through the bcm2835 layer.
// Every operation is a no-op until init() has mapped the peripherals and
// claimed SPI0, and again from a transfer that SPI0 did not finish on: the
// worker then clears initialized, which callers read to learn that the
// hardware is lost. One lock serialises SPI traffic, chip-select changes,
// init() and delays; GPIO access and edge callbacks take no lock.
class BCM2835_Pin_Worker : public BasePinWorker {
public:
    // Edge callbacks by GPIO number, carried across the interrupt layer,
    // which only knows plain function pointers (see isr_callback).
    static constexpr unsigned kCallbackPins = 53;
    static std::function<void(int, int, unsigned int)> _fn[kCallbackPins];

    BCM2835_Pin_Worker() = default;
    ~BCM2835_Pin_Worker() override;

    void setChipSelectPolarity(SPI_ChipSelect cs, bool active_high) override;
    void init() override;
    void close() override;
    void read_write_spi(char* tx, char* rx, SPI_ChipSelect cs, unsigned int len) override;
    void write_spi(char* tx, SPI_ChipSelect cs, unsigned int len) override;
    void set_pin_state(unsigned char pin, PIN_State state) override;
    void release_output(unsigned char pin) override;
    PIN_State get_pin_state(unsigned char pin) override;
    void set_pin_isr(unsigned char pin, PIN_Edge edge, PinEdgeCallback callback) override;
    void delay_ms(unsigned long long ms) override;

private:
    std::mutex lock;
    bool claimedSpi = false;
    // Edge callbacks run on their pins' threads and may register callbacks
    // themselves. A registration holds this lock from its test of the state
    // to its end, and close() takes it to enter its closing state, so that no
    // registration slips in behind close() removing them.
    std::mutex isr_lock;
    bool closing = false;
};

// What the interrupt layer calls on a pin's thread: forwards to _fn[pin].
void isr_callback(int pin, int level, unsigned int tick);
