#include "Series7Packets.h"

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

// The CRC of n zero bits after the low n bits of i, for every i.
template <std::size_t Size>
std::array<std::uint32_t, Size> zeroBitsTable(int n)
{
    std::array<std::uint32_t, Size> t{};
    for (std::uint32_t i = 0; i < Size; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < n; ++bit)
            crc = crcBit(crc, 0);
        t[i] = crc;
    }
    return t;
}

// A power-up reads megabytes of frame data through this CRC, so the data
// word goes in as four bytes at once (slicing by four: table k holds the
// CRC of a byte followed by k zero bytes) and the register as five bits at
// once.
struct CrcTables {
    std::array<std::array<std::uint32_t, 256>, 4> bytes;
    std::array<std::uint32_t, 32> registerBits;

    CrcTables() : registerBits(zeroBitsTable<32>(5))
    {
        bytes[0] = zeroBitsTable<256>(8);
        for (std::size_t k = 1; k < bytes.size(); ++k)
            for (std::size_t i = 0; i < 256; ++i)
                bytes[k][i] = (bytes[k - 1][i] >> 8) ^ bytes[0][bytes[k - 1][i] & 0xFF];
    }
};

const CrcTables& crcTables()
{
    static const CrcTables tables;
    return tables;
}

std::uint32_t feedWord(const CrcTables& t, std::uint32_t crc, std::uint32_t reg, std::uint32_t word)
{
    crc ^= word;
    crc = t.bytes[3][crc & 0xFF] ^ t.bytes[2][(crc >> 8) & 0xFF] ^ t.bytes[1][(crc >> 16) & 0xFF] ^
          t.bytes[0][crc >> 24];
    return (crc >> 5) ^ t.registerBits[(crc ^ reg) & 0x1F];
}
}  // namespace

void ConfigurationCrc::feed(series7::Register reg, std::uint32_t word)
{
    value_ = feedWord(crcTables(), value_, reg, word);
}

void ConfigurationCrc::feed(series7::Register reg, const std::uint8_t* words, std::uint32_t count)
{
    const CrcTables& t = crcTables();
    std::uint32_t crc = value_;
    for (std::uint32_t i = 0; i < count; ++i)
        crc = feedWord(t, crc, reg, qFromBigEndian<quint32>(words + 4 * i));
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
