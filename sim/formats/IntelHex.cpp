#include "IntelHex.h"

#include <QList>

#include <cctype>

namespace sim {

namespace {
enum RecordType : std::uint8_t {
    kData = 0x00,
    kEndOfFile = 0x01,
    kExtendedSegment = 0x02,
    kStartSegment = 0x03,
    kExtendedLinear = 0x04,
    kStartLinear = 0x05,
};

int fixedLength(std::uint8_t type)
{
    switch (type) {
    case kEndOfFile:
        return 0;
    case kExtendedSegment:
    case kExtendedLinear:
        return 2;
    case kStartSegment:
    case kStartLinear:
        return 4;
    default:
        return -1;
    }
}

void appendRecord(QByteArray& out, std::uint8_t type, std::uint16_t address, const QByteArray& data)
{
    QByteArray record;
    record.append(static_cast<char>(data.size()));
    record.append(static_cast<char>(address >> 8));
    record.append(static_cast<char>(address & 0xFF));
    record.append(static_cast<char>(type));
    record.append(data);
    std::uint8_t sum = 0;
    for (char b : record)
        sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(b));
    record.append(static_cast<char>(-sum));
    out += ':' + record.toHex().toUpper() + "\r\n";
}
}  // namespace

bool IntelHex::parse(const QByteArray& text, std::uint32_t memorySize, IntelHex& hex, QString& error)
{
    hex.bytes.clear();
    std::uint32_t base = 0;
    bool ended = false;
    const QList<QByteArray> lines = text.split('\n');
    for (int n = 0; n < lines.size(); ++n) {
        const QByteArray line = lines.at(n).trimmed();
        const auto fail = [&](const QString& why) {
            error = QStringLiteral("line %1: %2").arg(n + 1).arg(why);
            return false;
        };
        if (line.isEmpty())
            continue;
        if (ended)
            return fail("data after the end-of-file record");
        if (line.at(0) != ':')
            return fail("a record must start with ':'");
        const QByteArray digits = line.mid(1);
        for (char c : digits)
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return fail("not a hexadecimal digit");
        if (digits.size() % 2 != 0 || digits.size() < 10)
            return fail("record too short");
        const QByteArray record = QByteArray::fromHex(digits);
        const auto byteAt = [&record](int i) { return static_cast<std::uint8_t>(record.at(i)); };
        const int length = byteAt(0);
        if (record.size() != length + 5)
            return fail(QStringLiteral("length %1 does not match the record").arg(length));
        std::uint8_t sum = 0;
        for (char b : record)
            sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(b));
        if (sum != 0)
            return fail("checksum mismatch");
        const std::uint16_t address = static_cast<std::uint16_t>((byteAt(1) << 8) | byteAt(2));
        const std::uint8_t type = byteAt(3);
        if (type > kStartLinear)
            return fail(QStringLiteral("unknown record type %1").arg(type, 2, 16, QLatin1Char('0')));
        if (type != kData && length != fixedLength(type))
            return fail(QStringLiteral("record type %1 must hold %2 bytes")
                            .arg(type, 2, 16, QLatin1Char('0'))
                            .arg(fixedLength(type)));
        switch (type) {
        case kData:
            for (int i = 0; i < length; ++i) {
                const std::uint32_t at = base + address + static_cast<std::uint32_t>(i);
                if (at >= memorySize)
                    return fail(QStringLiteral("address 0x%1 is outside the %2-byte memory")
                                    .arg(at, 0, 16)
                                    .arg(memorySize));
                if (!hex.bytes.emplace(at, byteAt(4 + i)).second)
                    return fail(QStringLiteral("address 0x%1 is given twice").arg(at, 0, 16));
            }
            break;
        case kEndOfFile:
            ended = true;
            break;
        case kExtendedSegment:
            base = static_cast<std::uint32_t>((byteAt(4) << 8) | byteAt(5)) << 4;
            break;
        case kExtendedLinear:
            base = static_cast<std::uint32_t>((byteAt(4) << 8) | byteAt(5)) << 16;
            break;
        default:  // start addresses name where code begins; nothing to load
            break;
        }
    }
    if (!ended) {
        error = QStringLiteral("no end-of-file record");
        return false;
    }
    return true;
}

QByteArray IntelHex::image(std::uint32_t memorySize) const
{
    QByteArray out(static_cast<int>(memorySize), '\xFF');
    for (const auto& [address, value] : bytes)
        out[static_cast<int>(address)] = static_cast<char>(value);
    return out;
}

QByteArray IntelHex::write(const QByteArray& data)
{
    QByteArray out;
    std::uint32_t upper = 0;
    for (int at = 0; at < data.size(); at += 16) {
        const std::uint32_t address = static_cast<std::uint32_t>(at);
        if ((address >> 16) != upper) {
            upper = address >> 16;
            appendRecord(out, kExtendedLinear, 0, QByteArray::fromHex(QByteArray::number(upper, 16).rightJustified(4, '0')));
        }
        appendRecord(out, kData, static_cast<std::uint16_t>(address & 0xFFFF), data.mid(at, 16));
    }
    appendRecord(out, kEndOfFile, 0, QByteArray());
    return out;
}

}  // namespace sim
