#pragma once

#include <QByteArray>

#include <cstdint>
#include <vector>

namespace sim {

// The configuration stream of a Xilinx 7-series FPGA, the words its
// configuration logic reads after the sync word: 32-bit big-endian packets.
//
//   type 1  001 oo rrrrrrrrrrrrrr 00 ccccccccccc   o opcode (2 write), r register, c word count
//   type 2  010 oo ccccccccccccccccccccccccccc     continues the type 1 write before it
//   NOOP    0x20000000
namespace series7 {

constexpr std::uint32_t kDummy = 0xFFFFFFFF;
constexpr std::uint32_t kBusWidthSync = 0x000000BB;
constexpr std::uint32_t kBusWidthDetect = 0x11220044;
constexpr std::uint32_t kSyncWord = 0xAA995566;
constexpr std::uint32_t kNoop = 0x20000000;

enum Register : std::uint32_t {
    CRC = 0x00,
    FDRI = 0x02,
    CMD = 0x04,
    CTL0 = 0x05,
    MASK = 0x06,
    COR0 = 0x09,
    MFWR = 0x0A,
    CBC = 0x0B,
    IDCODE = 0x0C,
    WBSTAR = 0x10,
    TIMER = 0x11,
    BSPI = 0x1F,
};

enum Command : std::uint32_t {
    WCFG = 0x01,
    START = 0x05,
    RCRC = 0x07,
    SWITCH = 0x09,
    SHUTDOWN = 0x0B,
    DESYNC = 0x0D,
    IPROG = 0x0F,
    BSPI_READ = 0x12,
};

constexpr std::uint32_t type1Write(Register reg, std::uint32_t count)
{
    return 0x30000000u | (std::uint32_t{reg} << 13) | count;
}

constexpr std::uint32_t type2Write(std::uint32_t count)
{
    return 0x50000000u | count;
}

// Part numbers in bits 27-0 of IDCODE; bits 31-28 are the silicon revision.
constexpr std::uint32_t kXc7a35t = 0x0362D093;
constexpr std::uint32_t kXc7a100t = 0x03631093;

}  // namespace series7

// The configuration CRC: CRC-32C (reflected polynomial 0x82F63B78) from 0,
// fed with the 37 bits (register << 32 | word) of every word written to a
// register other than CRC, least significant bit first. A word written to
// CRC must equal it and clears it; so does the RCRC command, after it has
// been fed in.
class ConfigurationCrc {
public:
    void feed(series7::Register reg, std::uint32_t word);
    // count words stored big-endian at words, all written to reg: a packet's
    // frame data in one call.
    void feed(series7::Register reg, const std::uint8_t* words, std::uint32_t count);
    void reset() { value_ = 0; }
    std::uint32_t value() const { return value_; }

private:
    std::uint32_t value_ = 0;
};

// Writes a configuration stream packet by packet, keeping the CRC as the
// FPGA would, so that every CRC word it writes matches.
class Series7StreamWriter {
public:
    // A word outside any packet: dummy, bus width, sync, NOOP, padding.
    void word(std::uint32_t word);
    // One type 1 write packet: at most 2,047 words.
    void write(series7::Register reg, const std::vector<std::uint32_t>& words);
    // A type 1 header with no words, then a type 2 packet carrying them (up
    // to 2^27 - 1): how the vendor's tools write the frame data.
    void writeLong(series7::Register reg, const std::vector<std::uint32_t>& words);
    void command(series7::Command command) { write(series7::CMD, {command}); }
    // The running CRC, written to CRC.
    void writeCrc();

    const QByteArray& bytes() const { return bytes_; }

private:
    void data(series7::Register reg, const std::vector<std::uint32_t>& words);

    QByteArray bytes_;
    ConfigurationCrc crc_;
};

}  // namespace sim
