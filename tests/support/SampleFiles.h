#pragma once

#include "SampleBitstream.h"

#include <QByteArray>

// A sample .bit file with dataBytes of configuration data, different for
// every seed; image, when given, receives the configuration data alone.
inline QByteArray bitFile(int dataBytes, quint32 seed, QByteArray* image = nullptr)
{
    sim::SampleBitstream sample;
    sample.dataBytes = dataBytes;
    sample.seed = seed;
    if (image)
        *image = sample.configurationData();
    return sample.file();
}
