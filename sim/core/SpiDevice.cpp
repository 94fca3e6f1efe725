#include "SpiDevice.h"

namespace sim {

FrameMeaning decodeCommand(const QString& name)
{
    FrameMeaning meaning;
    meaning.command = name;
    return meaning;
}

FrameMeaning decodeData(const FrameSample& frame, const QString& name, std::size_t from, bool dataIn)
{
    FrameMeaning meaning = decodeCommand(name);
    meaning.dataLength = frame.length > from ? frame.length - from : 0;
    const std::vector<std::uint8_t>& bytes = dataIn ? frame.miso : frame.mosi;
    if (from < bytes.size())
        meaning.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end());
    return meaning;
}

FrameMeaning decodeAddressed(const FrameSample& frame, const QString& name, bool dataIn)
{
    constexpr std::size_t kAddressEnd = 4;
    FrameMeaning meaning = decodeData(frame, name, kAddressEnd, dataIn);
    if (frame.mosi.size() >= kAddressEnd)
        meaning.address = (frame.mosi[1] << 16) | (frame.mosi[2] << 8) | frame.mosi[3];
    return meaning;
}

std::size_t SpiDevice::exchangeRun(const std::uint8_t* mosi, std::uint8_t* miso, std::size_t)
{
    if (!exchange(mosi[0], miso[0]))
        miso[0] = 0xFF;
    return 1;
}

FrameMeaning SpiDevice::decode(const FrameSample& frame) const
{
    return decodeData(frame, QStringLiteral("frame"), 0, false);
}

}  // namespace sim
