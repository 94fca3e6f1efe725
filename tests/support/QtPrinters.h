#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <ostream>

// Readable failure messages for Qt values in GoogleTest assertions.
inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QStringList& list, std::ostream* os)
{
    *os << "{";
    for (int i = 0; i < list.size(); ++i)
        *os << (i ? ",\n " : "\n ") << '"' << list.at(i).toStdString() << '"';
    *os << "\n}";
}

inline void PrintTo(const QByteArray& bytes, std::ostream* os)
{
    if (bytes.size() > 200) {
        *os << bytes.size() << " bytes";
        return;
    }
    *os << '"' << bytes.toStdString() << '"';
}
