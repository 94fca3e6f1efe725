#include "SpiDevice.h"

namespace sim {

FrameMeaning SpiDevice::decode(const FrameSample& frame) const
{
    FrameMeaning meaning;
    meaning.command = QStringLiteral("frame");
    meaning.dataLength = frame.length;
    meaning.data = frame.mosi;
    return meaning;
}

}  // namespace sim
