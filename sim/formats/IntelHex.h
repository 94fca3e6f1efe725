#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <map>

namespace sim {

// An Intel HEX file, checked record by record: every line ':' LL AAAA TT
// data CC with a correct checksum, record types 00 (data), 01 (end of file),
// 02 (extended segment address), 03 (start segment address), 04 (extended
// linear address) and 05 (start linear address) with their fixed lengths,
// one end-of-file record and nothing after it, no byte given twice, and every
// data byte inside the target's memory.
struct IntelHex {
    // Data bytes by absolute address.
    std::map<std::uint32_t, std::uint8_t> bytes;

    // Parses text; on failure returns false with a reason naming the line.
    static bool parse(const QByteArray& text, std::uint32_t memorySize, IntelHex& hex, QString& error);

    // The memory image: memorySize bytes, 0xFF where the file gives nothing.
    QByteArray image(std::uint32_t memorySize) const;
    // One past the highest address the file gives a byte for.
    std::uint32_t extent() const { return bytes.empty() ? 0 : bytes.rbegin()->first + 1; }

    // Writes data as an Intel HEX file: 16-byte data records from address 0,
    // extended linear address records where needed, the end-of-file record.
    static QByteArray write(const QByteArray& data);
};

}  // namespace sim
