#include "flash_range_args.h"

std::optional<qint64> parseFlashNumber(const QString& text)
{
    bool ok = false;
    qlonglong value = text.toLongLong(&ok, 10);
    if (!ok)
        value = text.toLongLong(&ok, 16);
    if (!ok)
        return std::nullopt;
    return value;
}

std::optional<qint64> flashNumberAfter(const QStringList& args, const QString& key, bool& found)
{
    const int at = args.indexOf(key);
    found = at >= 0;
    if (!found || at + 1 >= args.size())
        return std::nullopt;
    return parseFlashNumber(args.at(at + 1));
}
