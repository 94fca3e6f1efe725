#include "BasePinWorker.h"

BasePinWorker::~BasePinWorker() = default;

void BasePinWorker::setChipSelectPolarity(SPI_ChipSelect, bool) {}

void BasePinWorker::write_spi(char*, SPI_ChipSelect, unsigned int) {}

void BasePinWorker::set_pin_state(unsigned char, PIN_State) {}

void BasePinWorker::release_output(unsigned char pin)
{
    set_pin_state(pin, PIN_LOW);
}

PIN_State BasePinWorker::get_pin_state(unsigned char)
{
    return PIN_UNDEFINED;
}

void BasePinWorker::set_pin_isr(unsigned char, PIN_Edge, PinEdgeCallback) {}

void BasePinWorker::delay_ms(unsigned long long) {}
