#include "xilinx_bitstream.h"

#include <optional>

namespace {
const char kPreamble[] = {0x00, 0x09, 0x0F, char(0xF0), 0x0F, char(0xF0), 0x0F,
                          char(0xF0), 0x0F, char(0xF0), 0x00, 0x00, 0x01};
// The preamble's first field: its length 9 and its nine bytes.
constexpr int kFirstFieldLength = 11;

struct Header {
    int length;        // bytes up to the configuration data
    quint32 dataLength;  // announced by the 'e' field
    QByteArray design;   // the 'a' field, without its terminating zero
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
    QByteArray design;
    for (char key : {'a', 'b', 'c', 'd'}) {
        if (at + 3 > file.size() || file.at(at) != key)
            return std::nullopt;
        const int length = static_cast<int>(bigEndian(file, at + 1, 2));
        if (key == 'a')
            design = file.mid(at + 3, length);
        at += 3 + length;
    }
    if (at + 5 > file.size() || file.at(at) != 'e')
        return std::nullopt;
    if (design.endsWith('\0'))
        design.chop(1);
    return Header{at + 5, bigEndian(file, at + 1, 4), design};
}
}  // namespace

bool extractConfigurationData(const QByteArray& file, QByteArray& image, QString& error, QByteArray* design)
{
    if (design)
        design->clear();
    if (const std::optional<Header> header = parseHeader(file)) {
        const qint64 available = file.size() - header->length;
        if (header->dataLength > available) {
            error = QStringLiteral("Bitstream truncated: header announces %1 bytes, file holds %2!\n")
                        .arg(header->dataLength)
                        .arg(available);
            return false;
        }
        image = file.mid(header->length);
        if (design)
            *design = header->design;
        return true;
    }
    if (!file.startsWith(QByteArray::fromRawData(kPreamble, kFirstFieldLength))) {
        image = file;
        return true;
    }
    const int p = file.indexOf(QByteArray("e\0", 2));
    image = file.mid(p + 5);
    return true;
}
