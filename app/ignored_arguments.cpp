#include "ignored_arguments.h"

#include <QSet>

namespace {
using Key = Lumo3Command::Key;
// Every key of the command line; -add and -len are values of -r and -w, no
// command of their own.
struct KeyName {
    const char* name;
    bool takesValue;
    Key command;
};
const KeyName kKeys[] = {{"-wgold", true, Key::WriteGolden}, {"-wupdate", true, Key::WriteUpdate},
                         {"-r", true, Key::ReadFlash},       {"-w", true, Key::WriteFlash},
                         {"-boot", false, Key::Boot},        {"-wifany", false, Key::AutoUpdate},
                         {"-add", true, Key::Invalid},       {"-len", true, Key::Invalid}};

const KeyName* commandKey(Key command)
{
    for (const KeyName& key : kKeys)
        if (key.command == command && command != Key::Invalid)
            return &key;
    return nullptr;
}

const KeyName* keyNamed(const QString& argument)
{
    for (const KeyName& key : kKeys)
        if (argument == QLatin1String(key.name))
            return &key;
    return nullptr;
}
}  // namespace

QString extraArgumentsLine(const QStringList& extra)
{
    QStringList quoted;
    for (const QString& argument : extra)
        quoted << QLatin1Char('"') + argument + QLatin1Char('"');
    return QStringLiteral("lumo3update: extra arguments ignored: %1").arg(quoted.join(QLatin1Char(' ')));
}

QStringList ignoredArgumentLines(const QStringList& args, const Lumo3Command& command)
{
    const KeyName* appliedKey = commandKey(command.key);
    if (!appliedKey)
        return {};
    const QString applied = QLatin1String(appliedKey->name);
    // What the applied key used: its first occurrence with its file name, and
    // for -r and -w the first -add and -len with their values.
    QSet<int> used;
    auto use = [&](const QString& key, bool withValue) {
        const int at = args.indexOf(key);
        used << at;
        if (withValue)
            used << at + 1;
    };
    use(applied, appliedKey->takesValue);
    if (command.key == Key::ReadFlash || command.key == Key::WriteFlash) {
        use(QStringLiteral("-add"), true);
        use(QStringLiteral("-len"), true);
    }

    QStringList ignoredKeys;
    QStringList extra;
    for (int i = 1; i < args.size(); ++i) {
        if (used.contains(i))
            continue;
        const KeyName* key = keyNamed(args.at(i));
        if (!key) {
            extra << args.at(i);
            continue;
        }
        ignoredKeys << args.at(i);
        if (key->takesValue && i + 1 < args.size() && !used.contains(i + 1))
            ++i;
    }

    QStringList lines;
    if (!ignoredKeys.isEmpty())
        lines << QStringLiteral("lumo3update: %1 applied; %2 ignored (one key per run)")
                     .arg(applied, ignoredKeys.join(QStringLiteral(", ")));
    if (!extra.isEmpty())
        lines << extraArgumentsLine(extra);
    return lines;
}
