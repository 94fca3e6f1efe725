#include "Lumo3Fpga.h"

#include <cstring>

namespace sim {

namespace {
const std::uint8_t kSyncWord[4] = {0xAA, 0x99, 0x55, 0x66};

// NOOP, write WBSTAR 0x00001000, write CMD IPROG, three NOOPs.
const std::uint8_t kGoldenHeader[32] = {0x20, 0x00, 0x00, 0x00, 0x30, 0x02, 0x00, 0x01,
                                        0x00, 0x00, 0x10, 0x00, 0x30, 0x00, 0x80, 0x01,
                                        0x00, 0x00, 0x00, 0x0F, 0x20, 0x00, 0x00, 0x00,
                                        0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00};

bool holdsSyncWord(const std::uint8_t* start, std::uint32_t window)
{
    for (std::uint32_t i = 0; i + sizeof kSyncWord <= window; ++i)
        if (std::memcmp(start + i, kSyncWord, sizeof kSyncWord) == 0)
            return true;
    return false;
}
}  // namespace

Lumo3Fpga::Lumo3Fpga(BoardWiring& wiring, N25Q256& flash, const std::uint8_t* memory, const BoardFaults& faults,
                     Nanos configTime)
    : wiring_(wiring), flash_(flash), memory_(memory), faults_(faults), configTime_(configTime), port_(*this, flash)
{
    wiring_.setPull(kProgramPin, true);
    wiring_.onLineChange(kProgramPin, [this](bool high) { onProgramLine(high); });
}

const BoardFaults& Lumo3Fpga::noFaults()
{
    static const BoardFaults none;
    return none;
}

Lumo3Fpga::Image Lumo3Fpga::selectImage(const std::uint8_t* memory)
{
    const bool golden = holdsSyncWord(memory + kGoldenImageAddress, kSyncWindow);
    const bool switchWord = std::memcmp(memory + kSwitchWordAddress, kSyncWord, sizeof kSyncWord) == 0 &&
                            std::memcmp(memory + kGoldenHeaderAddress, kGoldenHeader, sizeof kGoldenHeader) == 0;
    if (switchWord && holdsSyncWord(memory + kUpdateImageAddress, kSyncWindow))
        return Image::Update;
    return golden ? Image::Golden : Image::None;
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
        loaded_ = Image::None;
        lowSince_ = std::chrono::steady_clock::now();
        return;
    }
    const auto low = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - lowSince_);
    wiring_.clock().advance(static_cast<Nanos>(low.count()) * kMillisecond, TimeKind::Wait);
    configuring_ = true;
    configEnd_ = wiring_.clock().now() + configTime_;
}

void Lumo3Fpga::settle()
{
    if (configuring_ && !faults_.fpgaNeverConfigures && wiring_.clock().now() >= configEnd_)
        finishConfiguration();
}

Lumo3Fpga::Image Lumo3Fpga::loaded()
{
    settle();
    return loaded_;
}

bool Lumo3Fpga::configuring()
{
    settle();
    return configuring_;
}

void Lumo3Fpga::finishConfiguration()
{
    if (!configuring_)
        return;
    if (faults_.fpgaNeverConfigures) {
        loaded_ = Image::None;  // and it keeps holding the flash
        return;
    }
    configuring_ = false;
    flash_.settle();
    loaded_ = faults_.fpgaNeverConfigures ? Image::None : selectImage(memory_);
}

void Lumo3Fpga::powerUp()
{
    configuring_ = true;
    configEnd_ = wiring_.clock().now();
    finishConfiguration();
}

void Lumo3Fpga::powerDown()
{
    configuring_ = false;
    loaded_ = Image::None;
}

void Lumo3Fpga::restore(Image loaded, bool holdingFlash)
{
    configuring_ = holdingFlash;
    configEnd_ = wiring_.clock().now();
    loaded_ = loaded;
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

void Lumo3Fpga::FlashPort::deselect()
{
    if (connected_)
        flash_.deselect();
    connected_ = false;
}

}  // namespace sim
