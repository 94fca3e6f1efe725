#pragma once

#include "BasePinWorker.h"

#include <memory>

// Presence probe of the Atmel AT86 radio transceiver. Its chip select is
// GPIO 16, held low across the two transfers of a register access; the
// worker's transfers go out on SPI_CS0.
class Initializer_AT86 {
public:
    // The transceiver's two radios. Register addresses already tell them
    // apart, so the selector does not change the frame.
    enum trx_id_tag { RF09 = 0, RF24 = 1 };

    static constexpr unsigned char PIN_AT86_CS = 16;
    static constexpr unsigned short AT86_PART_NUMBER_REG = 0x000D;
    static constexpr unsigned short AT86_VERSION_REG = 0x000E;
    static constexpr unsigned char AT86_PART_NUMBER = 0x34;
    static constexpr unsigned char AT86_VERSION = 0x03;

    explicit Initializer_AT86(std::shared_ptr<BasePinWorker> worker);

    void pal_dev_read(trx_id_tag trx, unsigned short addr, unsigned char* data, unsigned short length);
    bool is_AT86_connected();

private:
    std::shared_ptr<BasePinWorker> pin_worker;
};
