#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// Parses a flash address or length: decimal first, then hexadecimal with or
// without 0x. The 64-bit value is kept whole, sign included: a number that no
// flash address can take must be refused, not cut to its low bits.
std::optional<qint64> parseFlashNumber(const QString& text);

// The value that follows key in args, parsed. Sets found to whether the key
// is present at all; nullopt for a missing or unreadable value.
std::optional<qint64> flashNumberAfter(const QStringList& args, const QString& key, bool& found);
