#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// Parses a flash address or length: decimal first, then hexadecimal with or
// without 0x; the 64-bit result is cut to its low 32 bits.
std::optional<quint32> parseFlashNumber(const QString& text);

// The value that follows key in args, parsed. Sets found to whether the key
// is present at all; nullopt for a missing or unreadable value.
std::optional<quint32> flashNumberAfter(const QStringList& args, const QString& key, bool& found);
