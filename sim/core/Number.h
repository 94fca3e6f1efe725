#pragma once

#include <QString>

#include <optional>

namespace sim {

// A number as the updater reads its own: decimal, else hexadecimal (with or
// without 0x), so that one spelling means one value in every command and
// fault of the board tool.
inline std::optional<quint64> readNumber(const QString& text)
{
    bool ok = false;
    quint64 value = text.toULongLong(&ok, 10);
    if (!ok)
        value = text.toULongLong(&ok, 16);
    return ok ? std::optional<quint64>(value) : std::nullopt;
}

}  // namespace sim
