#include "BCM2835_Pin_Worker.h"

#include "bcm2835.h"

#include <iostream>
#include <utility>

std::function<void(int, int, unsigned int)> BCM2835_Pin_Worker::_fn[BCM2835_Pin_Worker::kCallbackPins];

namespace {
// Guards the entries of _fn against a swap while an interrupt thread copies
// one out. Never held while a callback runs, so a callback may register or
// remove callbacks itself.
std::mutex fn_lock;

std::uint8_t chipSelect(SPI_ChipSelect cs)
{
    return cs == SPI_CS0 ? 0 : 1;
}

unsigned edgeCode(PIN_Edge edge)
{
    switch (edge) {
    case EDGE_RISING:
        return 0;
    case EDGE_FALLING:
        return 1;
    default:
        return 2;
    }
}

// Stops every pin thread of the interrupt layer and releases its pin. The
// threads read the mapped registers, so this comes before the unmapping.
// Removing a pin that holds no registration does nothing.
void removeEdgeCallbacks()
{
    for (unsigned pin = 0; pin < BCM2835_ISR_PINS; ++pin)
        bcm2835_gpioSetISRFunc(pin, 0, -1, nullptr);
    std::function<void(int, int, unsigned int)> removed[BCM2835_Pin_Worker::kCallbackPins];
    std::lock_guard<std::mutex> guard(fn_lock);
    for (unsigned pin = 0; pin < BCM2835_Pin_Worker::kCallbackPins; ++pin)
        std::swap(removed[pin], BCM2835_Pin_Worker::_fn[pin]);
}
}  // namespace

void isr_callback(int pin, int level, unsigned int tick)
{
    if (pin < 0 || static_cast<unsigned>(pin) >= BCM2835_Pin_Worker::kCallbackPins)
        return;
    // A copy, so that the callback may replace or remove its own entry.
    std::function<void(int, int, unsigned int)> callback;
    {
        std::lock_guard<std::mutex> guard(fn_lock);
        callback = BCM2835_Pin_Worker::_fn[pin];
    }
    if (callback)
        callback(pin, level, tick);
}

BCM2835_Pin_Worker::~BCM2835_Pin_Worker()
{
    BCM2835_Pin_Worker::close();
}

void BCM2835_Pin_Worker::init()
{
    std::lock_guard<std::mutex> guard(lock);
    if (bcm2835_init() && bcm2835_spi_begin()) {
        claimedSpi = true;
        bcm2835_spi_setBitOrder(1);
        bcm2835_spi_setDataMode(0);
        bcm2835_spi_setClockDivider(32);
        bcm2835_spi_chipSelect(0);
        bcm2835_spi_setChipSelectPolarity(0, false);
        {
            std::lock_guard<std::mutex> isrGuard(isr_lock);
            closing = false;
        }
        initialized = true;
        return;
    }
    // The layer has said why. Only a process that is not root maps
    // /dev/gpiomem, at offset 0; asking root whether it is root would send
    // the reader after the wrong cause.
    if (bcm2835_peripherals_base == 0)
        std::cout << "bcm2835_spi_begin failed. Are you running as root??" << std::endl;
    else
        std::cout << "bcm2835_spi_begin failed." << std::endl;
}

void BCM2835_Pin_Worker::close()
{
    {
        std::lock_guard<std::mutex> guard(isr_lock);
        closing = true;
    }
    removeEdgeCallbacks();
    // Only a worker that claimed SPI0 gives its pins back, one whose
    // controller stopped included: back to inputs, its chip selects are
    // released to their pull-ups. One whose init() failed after mapping
    // never took them, and making them inputs would take them from a kernel
    // SPI driver that owns them.
    initialized = false;
    if (claimedSpi)
        bcm2835_spi_end();
    claimedSpi = false;
    bcm2835_close();
}

void BCM2835_Pin_Worker::read_write_spi(char* tx, char* rx, SPI_ChipSelect cs, unsigned int len)
{
    std::lock_guard<std::mutex> guard(lock);
    if (!initialized)
        return;
    bcm2835_spi_chipSelect(chipSelect(cs));
    // SPI0 stopped: what the drivers read from now on would not be the
    // board's, and what they write would not reach it.
    if (!bcm2835_spi_transfernb(tx, rx, len))
        initialized = false;
}

void BCM2835_Pin_Worker::write_spi(char* tx, SPI_ChipSelect cs, unsigned int len)
{
    std::lock_guard<std::mutex> guard(lock);
    if (!initialized)
        return;
    bcm2835_spi_chipSelect(chipSelect(cs));
    if (!bcm2835_spi_writenb(tx, len))
        initialized = false;
}

void BCM2835_Pin_Worker::setChipSelectPolarity(SPI_ChipSelect cs, bool active_high)
{
    std::lock_guard<std::mutex> guard(lock);
    if (!initialized)
        return;
    const std::uint8_t c = chipSelect(cs);
    bcm2835_spi_chipSelect(c);
    bcm2835_spi_setChipSelectPolarity(c, active_high);
}

void BCM2835_Pin_Worker::set_pin_state(unsigned char pin, PIN_State state)
{
    if (!initialized)
        return;
    bcm2835_gpio_fsel(pin, BCM2835_GPIO_FSEL_OUTP);
    bcm2835_gpio_write(pin, state == PIN_HIGH ? 1 : 0);
}

void BCM2835_Pin_Worker::release_output(unsigned char pin)
{
    // GPIO is apart from SPI0: a stopped controller leaves the pins as
    // they were, and mapped.
    if (!claimedSpi)
        return;
    bcm2835_gpio_fsel(pin, BCM2835_GPIO_FSEL_OUTP);
    bcm2835_gpio_write(pin, 0);
}

PIN_State BCM2835_Pin_Worker::get_pin_state(unsigned char pin)
{
    if (!initialized)
        return PIN_UNDEFINED;
    return bcm2835_gpio_lev(pin) == 1 ? PIN_HIGH : PIN_LOW;
}

void BCM2835_Pin_Worker::set_pin_isr(unsigned char pin, PIN_Edge edge, PinEdgeCallback callback)
{
    const unsigned code = edgeCode(edge);
    if (!initialized)
        return;

    // A removal takes no lock: it waits for the pin's running callback,
    // which may itself be registering.
    if (!callback) {
        bcm2835_gpioSetISRFunc(pin, code, -1, nullptr);
        if (pin >= kCallbackPins)
            return;
        PinEdgeCallback removed;
        std::lock_guard<std::mutex> guard(fn_lock);
        std::swap(removed, _fn[pin]);
        return;
    }
    std::lock_guard<std::mutex> registering(isr_lock);
    if (closing)
        return;
    if (pin >= kCallbackPins) {
        bcm2835_gpioSetISRFunc(pin, code, -1, isr_callback);
        return;
    }
    // The entry is in place before the layer starts the pin's thread, so the
    // first edge finds it; a refused registration puts the old one back.
    PinEdgeCallback previous = std::move(callback);
    {
        std::lock_guard<std::mutex> guard(fn_lock);
        std::swap(previous, _fn[pin]);
    }
    if (bcm2835_gpioSetISRFunc(pin, code, -1, isr_callback) != 0) {
        std::lock_guard<std::mutex> guard(fn_lock);
        std::swap(previous, _fn[pin]);
    }
}

void BCM2835_Pin_Worker::delay_ms(unsigned long long ms)
{
    std::lock_guard<std::mutex> guard(lock);
    if (!initialized)
        return;
    bcm2835_delay(static_cast<unsigned int>(ms & 0xFFFFFFFFull));
}
