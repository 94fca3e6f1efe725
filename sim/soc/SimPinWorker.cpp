#include "SimPinWorker.h"

#include "BoardEntry.h"

namespace sim {

namespace {
constexpr unsigned kCe0Pin = 8;
constexpr unsigned kCe1Pin = 7;

unsigned csIndex(SPI_ChipSelect cs)
{
    return cs == SPI_CS0 ? 0 : 1;
}

unsigned cePin(unsigned index)
{
    return index == 0 ? kCe0Pin : kCe1Pin;
}
}  // namespace

SimPinWorker::SimPinWorker(BoardWiring& wiring) : wiring_(wiring) {}

SimPinWorker::~SimPinWorker()
{
    SimPinWorker::close();
}

void SimPinWorker::init()
{
    const BoardEntry entry;
    wiring_.setClockDivider(kClockDivider);
    activeHigh_ = {false, false};
    for (unsigned i = 0; i < 2; ++i)
        wiring_.piDrive(cePin(i), !activeHigh_[i]);
    initialized = true;
}

void SimPinWorker::close()
{
    const BoardEntry entry;
    if (!initialized)
        return;
    initialized = false;
    wiring_.piRelease(kCe0Pin);
    wiring_.piRelease(kCe1Pin);
}

void SimPinWorker::setChipSelectPolarity(SPI_ChipSelect cs, bool active_high)
{
    const BoardEntry entry;
    if (!initialized)
        return;
    const unsigned i = csIndex(cs);
    activeHigh_[i] = active_high;
    wiring_.piDrive(cePin(i), !active_high);
}

void SimPinWorker::transfer(const char* tx, char* rx, SPI_ChipSelect cs, unsigned int len)
{
    const unsigned i = csIndex(cs);
    wiring_.frame(cePin(i), activeHigh_[i], reinterpret_cast<const std::uint8_t*>(tx), reinterpret_cast<std::uint8_t*>(rx),
                  len);
}

void SimPinWorker::read_write_spi(char* tx, char* rx, SPI_ChipSelect cs, unsigned int len)
{
    const BoardEntry entry;
    if (initialized)
        transfer(tx, rx, cs, len);
}

void SimPinWorker::write_spi(char* tx, SPI_ChipSelect cs, unsigned int len)
{
    const BoardEntry entry;
    if (initialized)
        transfer(tx, nullptr, cs, len);
}

void SimPinWorker::set_pin_state(unsigned char pin, PIN_State state)
{
    const BoardEntry entry;
    if (initialized && pin < kGpioCount)
        wiring_.piDrive(pin, state == PIN_HIGH);
}

PIN_State SimPinWorker::get_pin_state(unsigned char pin)
{
    const BoardEntry entry;
    if (!initialized || pin >= kGpioCount)
        return PIN_UNDEFINED;
    return wiring_.level(pin) ? PIN_HIGH : PIN_LOW;
}

void SimPinWorker::delay_ms(unsigned long long ms)
{
    const BoardEntry entry;
    if (initialized)
        wiring_.clock().advance(static_cast<Nanos>(ms) * kMillisecond, TimeKind::Wait);
}

}  // namespace sim
