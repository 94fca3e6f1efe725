#pragma once

#include <QString>

namespace board_tool {

// Bits 27-21 of every 7-series IDCODE; a value without them was most likely
// meant in hexadecimal and read as decimal (03631093 for 0x03631093).
inline bool names7SeriesPart(quint64 idcode)
{
    return ((idcode >> 21) & 0x7F) == 0x1B;
}

inline QString notAPart(const QString& text, quint64 idcode)
{
    return QStringLiteral("--idcode %1 is 0x%2, no 7-series part: a hexadecimal ID that reads as a decimal number "
                          "needs 0x")
        .arg(text, QString::number(idcode, 16).toUpper().rightJustified(8, QLatin1Char('0')));
}

}  // namespace board_tool
