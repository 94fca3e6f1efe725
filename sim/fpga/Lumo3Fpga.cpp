#include "Lumo3Fpga.h"

namespace sim {

Lumo3Fpga::Lumo3Fpga(BoardWiring& wiring, N25Q256& flash, const std::uint8_t* memory, const BoardFaults& faults)
    : wiring_(wiring), flash_(flash), memory_(memory), faults_(faults), port_(*this, flash)
{
    wiring_.setPull(kProgramPin, true);
    wiring_.onLineChange(kProgramPin, [this](bool high) { onProgramLine(high); });
}

const BoardFaults& Lumo3Fpga::noFaults()
{
    static const BoardFaults none;
    return none;
}

Lumo3Fpga::Outcome Lumo3Fpga::nextBoot() const
{
    return Series7Configuration::configure(memory_, kReadWindow, part_);
}

const char* Lumo3Fpga::imageName(Image image)
{
    switch (image) {
    case Image::Golden:
        return "golden";
    case Image::Update:
        return "update";
    case Image::None:
        break;
    }
    return "none";
}

void Lumo3Fpga::onProgramLine(bool high)
{
    settle();
    if (!high) {
        // In reset the FPGA drops its configuration and releases the flash.
        configuring_ = false;
        outcome_ = Outcome{};
        return;
    }
    configuring_ = true;
    // While the FPGA reads, the Pi cannot reach the flash: what it reads is
    // what the flash holds now.
    flash_.settle();
    configEnd_ = wiring_.clock().now() + nextBoot().readNanos;
}

void Lumo3Fpga::settle()
{
    if (configuring_ && !outcome_.hangs && !faults_.fpgaNeverConfigures && wiring_.clock().now() >= configEnd_)
        finishConfiguration();
}

Lumo3Fpga::Image Lumo3Fpga::loaded()
{
    settle();
    return outcome_.loaded;
}

const Lumo3Fpga::Outcome& Lumo3Fpga::outcome()
{
    settle();
    return outcome_;
}

bool Lumo3Fpga::configuring()
{
    settle();
    return configuring_;
}

void Lumo3Fpga::finishConfiguration()
{
    if (!configuring_ || outcome_.hangs)
        return;
    if (faults_.fpgaNeverConfigures) {
        outcome_ = Outcome{};  // and it keeps holding the flash
        return;
    }
    flash_.settle();
    outcome_ = nextBoot();
    // A stream that never ends keeps the FPGA reading the flash.
    configuring_ = outcome_.hangs;
}

void Lumo3Fpga::powerUp()
{
    configuring_ = true;
    configEnd_ = wiring_.clock().now();
    outcome_ = Outcome{};
    finishConfiguration();
}

void Lumo3Fpga::powerDown()
{
    configuring_ = false;
    outcome_ = Outcome{};
}

void Lumo3Fpga::restore(const Outcome& outcome, bool holdingFlash)
{
    configuring_ = holdingFlash;
    configEnd_ = wiring_.clock().now();
    outcome_ = outcome;
}

void Lumo3Fpga::FlashPort::select()
{
    connected_ = !fpga_.configuring();
    if (connected_)
        flash_.select();
}

bool Lumo3Fpga::FlashPort::exchange(std::uint8_t mosi, std::uint8_t& miso)
{
    return connected_ && flash_.exchange(mosi, miso);
}

std::size_t Lumo3Fpga::FlashPort::exchangeRun(const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count)
{
    return connected_ ? flash_.exchangeRun(mosi, miso, count) : SpiDevice::exchangeRun(mosi, miso, count);
}

bool Lumo3Fpga::FlashPort::quietFrame(const std::uint8_t* mosi, std::uint8_t* miso, std::size_t count, Nanos end)
{
    // While the FPGA reads the flash, the Pi's frames take the long way.
    return !fpga_.configuring() && flash_.quietFrame(mosi, miso, count, end);
}

void Lumo3Fpga::FlashPort::deselect()
{
    if (connected_)
        flash_.deselect();
    connected_ = false;
}

}  // namespace sim
