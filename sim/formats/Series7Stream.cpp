#include "Series7Stream.h"

#include <QtEndian>

#include <array>

namespace sim {

namespace {
constexpr std::uint32_t kCrcPolynomial = 0x82F63B78;

std::uint32_t crcBit(std::uint32_t crc, std::uint32_t bit)
{
    crc ^= bit;
    return (crc & 1) ? (crc >> 1) ^ kCrcPolynomial : crc >> 1;
}

// Eight bits at a time for the data word: a stream holds a million of them.
const std::array<std::uint32_t, 256>& crcTable()
{
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < t.size(); ++i) {
            std::uint32_t crc = i;
            for (int bit = 0; bit < 8; ++bit)
                crc = crcBit(crc, 0);
            t[i] = crc;
        }
        return t;
    }();
    return table;
}
}  // namespace

void ConfigurationCrc::feed(series7::Register reg, std::uint32_t word)
{
    const std::array<std::uint32_t, 256>& table = crcTable();
    std::uint32_t crc = value_;
    for (int byte = 0; byte < 4; ++byte, word >>= 8)
        crc = (crc >> 8) ^ table[(crc ^ word) & 0xFF];
    for (int bit = 0; bit < 5; ++bit)
        crc = crcBit(crc, (reg >> bit) & 1);
    value_ = crc;
}

void Series7StreamWriter::word(std::uint32_t word)
{
    char bytes[4];
    qToBigEndian(word, bytes);
    bytes_.append(bytes, 4);
}

void Series7StreamWriter::data(series7::Register reg, const std::vector<std::uint32_t>& words)
{
    for (std::uint32_t value : words) {
        word(value);
        crc_.feed(reg, value);
        if (reg == series7::CMD && value == series7::RCRC)
            crc_.reset();
    }
}

void Series7StreamWriter::write(series7::Register reg, const std::vector<std::uint32_t>& words)
{
    word(series7::type1Write(reg, static_cast<std::uint32_t>(words.size())));
    data(reg, words);
}

void Series7StreamWriter::writeLong(series7::Register reg, const std::vector<std::uint32_t>& words)
{
    word(series7::type1Write(reg, 0));
    word(series7::type2Write(static_cast<std::uint32_t>(words.size())));
    data(reg, words);
}

void Series7StreamWriter::writeCrc()
{
    word(series7::type1Write(series7::CRC, 1));
    word(crc_.value());
    crc_.reset();
}

}  // namespace sim
