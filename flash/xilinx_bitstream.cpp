#include "xilinx_bitstream.h"

#include <optional>

namespace {
const char kPreamble[] = {0x00, 0x09, 0x0F, char(0xF0), 0x0F, char(0xF0), 0x0F,
                          char(0xF0), 0x0F, char(0xF0), 0x00, 0x00, 0x01};

struct Header {
    int length;        // bytes up to the configuration data
    quint32 dataLength;  // announced by the 'e' field
};

quint32 bigEndian(const QByteArray& bytes, int at, int count)
{
    quint32 value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes.at(at + i));
    return value;
}

std::optional<Header> parseHeader(const QByteArray& file)
{
    const QByteArray preamble = QByteArray::fromRawData(kPreamble, sizeof kPreamble);
    if (!file.startsWith(preamble))
        return std::nullopt;
    int at = preamble.size();
    for (char key : {'a', 'b', 'c', 'd'}) {
        if (at + 3 > file.size() || file.at(at) != key)
            return std::nullopt;
        at += 3 + static_cast<int>(bigEndian(file, at + 1, 2));
    }
    if (at + 5 > file.size() || file.at(at) != 'e')
        return std::nullopt;
    return Header{at + 5, bigEndian(file, at + 1, 4)};
}
}  // namespace

bool extractConfigurationData(const QByteArray& file, QByteArray& image, QString& error)
{
    if (const std::optional<Header> header = parseHeader(file)) {
        const qint64 available = file.size() - header->length;
        if (header->dataLength > available) {
            error = QStringLiteral("Bitstream truncated: header announces %1 bytes, file holds %2!\n")
                        .arg(header->dataLength)
                        .arg(available);
            return false;
        }
        image = file.mid(header->length);
        return true;
    }
    const int p = file.indexOf(QByteArray("e\0", 2));
    image = file.mid(p + 5);
    return true;
}
