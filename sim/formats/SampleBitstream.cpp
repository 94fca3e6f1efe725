#include "SampleBitstream.h"

#include <QtEndian>

#include <algorithm>
#include <random>

namespace sim {

namespace {
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
    using namespace series7;
    Series7StreamWriter stream;
    for (int i = 0; i < 8; ++i)
        stream.word(kDummy);
    stream.word(kBusWidthSync);
    stream.word(kBusWidthDetect);
    stream.word(kDummy);
    stream.word(kDummy);
    stream.word(kSyncWord);
    stream.word(kNoop);
    if (watchdog)
        stream.write(TIMER, {watchdogTimer()});
    stream.command(RCRC);
    stream.write(COR0, {options});
    stream.write(IDCODE, {idcode});
    stream.command(WCFG);

    // Every word of the stream but the frame data takes minimumBytes() - 4.
    const int frameWords = std::max((dataBytes - minimumBytes() + 4) / 4, 1);
    std::vector<std::uint32_t> frames(static_cast<std::size_t>(frameWords));
    std::mt19937 random(seed);
    for (std::uint32_t& word : frames)
        word = static_cast<std::uint32_t>(random());
    stream.writeLong(FDRI, frames);

    stream.writeCrc();
    stream.command(START);
    stream.command(DESYNC);
    stream.word(kNoop);
    stream.word(kNoop);

    QByteArray data = stream.bytes();
    if (corrupt) {
        // The lowest bit of the middle frame word: the CRC word no longer matches.
        const int at = kFrameDataOffset + (watchdog ? kWatchdogBytes : 0) + frameWords / 2 * 4 + 3;
        data[at] = static_cast<char>(data[at] ^ 0x01);
    }
    if (data.size() > dataBytes)
        data.truncate(std::max(dataBytes, 0));
    else
        data.append(QByteArray("\x20\x00\x00", 3).left(dataBytes - data.size()));
    return data;
}

quint32 SampleBitstream::watchdogTimer() const
{
    // dataBytes * 8 bits at 3 MHz, twice, in counts of 256 / 65 MHz.
    const quint64 counts = quint64(std::max(dataBytes, 0)) * 8 * 2 * 65 / (3 * 256) + 1;
    return 0x40000000 | static_cast<quint32>(std::min<quint64>(counts, 0x3FFFFFFF));
}

QByteArray SampleBitstream::file() const
{
    return file(configurationData());
}

QByteArray SampleBitstream::file(const QByteArray& data) const
{
    QByteArray out("\x00\x09\x0F\xF0\x0F\xF0\x0F\xF0\x0F\xF0\x00\x00\x01", 13);
    putField(out, 'a', design.toLatin1());
    putField(out, 'b', part.toLatin1());
    putField(out, 'c', "2026/12/08");
    putField(out, 'd', "12:00:00");
    out.append('e');
    char length[4];
    qToBigEndian(static_cast<quint32>(data.size()), length);
    out.append(length, 4);
    out.append(data);
    return out;
}

}  // namespace sim
