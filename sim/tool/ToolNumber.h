#pragma once

#include <QString>

#include <optional>

namespace board_tool {

// A number as the updater reads its own: decimal, else hexadecimal (with or
// without 0x), so that one spelling means one value in every command.
inline std::optional<quint64> toolNumber(const QString& text)
{
    bool ok = false;
    quint64 value = text.toULongLong(&ok, 10);
    if (!ok)
        value = text.toULongLong(&ok, 16);
    return ok ? std::optional<quint64>(value) : std::nullopt;
}

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
