#include "SampleBitstream.h"

#include <QtEndian>

#include <algorithm>
#include <random>

namespace sim {

namespace {
void putWord(QByteArray& out, quint32 word)
{
    char bytes[4];
    qToBigEndian(word, bytes);
    out.append(bytes, 4);
}

void putField(QByteArray& out, char key, const QByteArray& text)
{
    const QByteArray value = text + '\0';
    out.append(key);
    char length[2];
    qToBigEndian(static_cast<quint16>(value.size()), length);
    out.append(length, 2);
    out.append(value);
}
}  // namespace

QByteArray SampleBitstream::configurationData() const
{
    QByteArray data;
    for (int i = 0; i < 8; ++i)
        putWord(data, 0xFFFFFFFF);  // dummy pad
    putWord(data, 0x000000BB);  // bus width detection
    putWord(data, 0x11220044);
    putWord(data, 0xFFFFFFFF);
    putWord(data, 0xFFFFFFFF);
    putWord(data, 0xAA995566);  // sync
    putWord(data, 0x20000000);  // NOOP
    putWord(data, 0x30008001);  // CMD <- RCRC
    putWord(data, 0x00000007);
    putWord(data, 0x30018001);  // IDCODE
    putWord(data, 0x0362D093);
    putWord(data, 0x30008001);  // CMD <- WCFG
    putWord(data, 0x00000001);

    const int trailer = 6 * 4;
    const int frameWords = (dataBytes - data.size() - trailer - 8) / 4;
    putWord(data, 0x30004000);  // FDRI, word count in the type 2 packet
    putWord(data, 0x50000000u | static_cast<quint32>(std::max(frameWords, 0)));
    std::mt19937 random(seed);
    for (int i = 0; i < frameWords; ++i)
        putWord(data, static_cast<quint32>(random()));

    putWord(data, 0x30008001);  // CMD <- START
    putWord(data, 0x00000005);
    putWord(data, 0x30008001);  // CMD <- DESYNC
    putWord(data, 0x0000000D);
    putWord(data, 0x20000000);
    putWord(data, 0x20000000);
    return data;
}

QByteArray SampleBitstream::file() const
{
    QByteArray out("\x00\x09\x0F\xF0\x0F\xF0\x0F\xF0\x0F\xF0\x00\x00\x01", 13);
    putField(out, 'a', design.toLatin1());
    putField(out, 'b', part.toLatin1());
    putField(out, 'c', "2026/12/08");
    putField(out, 'd', "12:00:00");
    const QByteArray data = configurationData();
    out.append('e');
    char length[4];
    qToBigEndian(static_cast<quint32>(data.size()), length);
    out.append(length, 4);
    out.append(data);
    return out;
}

}  // namespace sim
