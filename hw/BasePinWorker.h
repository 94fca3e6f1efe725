#pragma once

#include <functional>

// Fixed underlying types: callers pass values outside the named ones (a chip
// select of 2 or 3, any edge code), which must stay well defined.
enum PIN_State : int { PIN_LOW = 0, PIN_HIGH = 1, PIN_UNDEFINED = 2 };

enum PIN_Edge : int { EDGE_RISING = 0, EDGE_FALLING = 1, EDGE_BOTH = 2 };

enum SPI_ChipSelect : int { SPI_CS0 = 0, SPI_CS1 = 1 };

// Called with (pin, level after the edge, free-running microsecond tick).
using PinEdgeCallback = std::function<void(int, int, unsigned int)>;

// The one door through which the drivers reach GPIO, SPI, delays and edge
// callbacks. Drivers know nothing else, so any implementation (the Pi's
// registers, the virtual board, a recorder in a test) can stand behind it.
class BasePinWorker {
public:
    virtual ~BasePinWorker();

    virtual void setChipSelectPolarity(SPI_ChipSelect cs, bool active_high);
    virtual void init() = 0;
    virtual void close() = 0;
    virtual void read_write_spi(char* tx, char* rx, SPI_ChipSelect cs, unsigned int len) = 0;
    virtual void write_spi(char* tx, SPI_ChipSelect cs, unsigned int len);
    virtual void set_pin_state(unsigned char pin, PIN_State state);
    // Drives pin low however the run went, SPI0 stopped included: a line
    // that tells the board an update is under way must fall at every end.
    virtual void release_output(unsigned char pin);
    virtual PIN_State get_pin_state(unsigned char pin);
    virtual void set_pin_isr(unsigned char pin, PIN_Edge edge, PinEdgeCallback callback);
    virtual void delay_ms(unsigned long long ms);

    // True once init() has acquired the hardware; read right after init().
    bool initialized = false;
};
