#include "Initializer_AT86.h"

#include <QDebug>

#include <vector>

Initializer_AT86::Initializer_AT86(std::shared_ptr<BasePinWorker> worker) : pin_worker(std::move(worker)) {}

void Initializer_AT86::pal_dev_read(trx_id_tag, unsigned short addr, unsigned char* data, unsigned short length)
{
    char cmd[2] = {static_cast<char>(addr >> 8), static_cast<char>(addr & 0xFF)};
    std::vector<char> filler(length, 0);
    pin_worker->set_pin_state(PIN_AT86_CS, PIN_LOW);
    pin_worker->write_spi(cmd, SPI_CS0, sizeof cmd);
    pin_worker->read_write_spi(filler.data(), reinterpret_cast<char*>(data), SPI_CS0, length);
    pin_worker->set_pin_state(PIN_AT86_CS, PIN_HIGH);
}

bool Initializer_AT86::is_AT86_connected()
{
    unsigned char value = 0xFF;
    pal_dev_read(RF09, AT86_PART_NUMBER_REG, &value, 1);
    bool connected = value == AT86_PART_NUMBER;
    if (connected) {
        value = 0xFF;
        pal_dev_read(RF09, AT86_VERSION_REG, &value, 1);
        connected = value == AT86_VERSION;
    }
    qDebug() << "=======AT86" << (connected ? "connected" : "not connected");
    return connected;
}
