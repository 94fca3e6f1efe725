#include "undecodable_names.h"

#include <QFile>

#include <dirent.h>

#include <algorithm>
#include <memory>

QByteArrayList undecodableNames(const QByteArrayList& suffixes)
{
    QByteArrayList names;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("."), ::closedir);
    if (!dir)
        return names;
    while (const dirent* entry = ::readdir(dir.get())) {
        const QByteArray name(entry->d_name);
        if (name.startsWith('.') || QFile::encodeName(QFile::decodeName(name)) == name)
            continue;
        const QByteArray lower = name.toLower();
        for (const QByteArray& suffix : suffixes) {
            if (lower.endsWith(suffix)) {
                names << name;
                break;
            }
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

QString shownName(const QByteArray& name)
{
    QString shown;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\')
            shown += QLatin1Char(c);
        else
            shown += QString::asprintf("\\x%02X", byte);
    }
    return shown;
}
