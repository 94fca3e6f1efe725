#include "ignored_arguments.h"

#include <QSet>

#include <optional>

namespace {
struct KeyName {
    const char* name;
    bool takesValue;
};
const KeyName kKeys[] = {{"-wgold", true}, {"-wupdate", true}, {"-r", true},   {"-w", true},
                         {"-boot", false}, {"-wifany", false}, {"-add", true}, {"-len", true}};

std::optional<QString> appliedKey(Lumo3Command::Key key)
{
    switch (key) {
    case Lumo3Command::Key::WriteGolden:
        return QStringLiteral("-wgold");
    case Lumo3Command::Key::WriteUpdate:
        return QStringLiteral("-wupdate");
    case Lumo3Command::Key::ReadFlash:
        return QStringLiteral("-r");
    case Lumo3Command::Key::WriteFlash:
        return QStringLiteral("-w");
    case Lumo3Command::Key::Boot:
        return QStringLiteral("-boot");
    case Lumo3Command::Key::AutoUpdate:
        return QStringLiteral("-wifany");
    case Lumo3Command::Key::Usage:
    case Lumo3Command::Key::Invalid:
        break;
    }
    return std::nullopt;
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
    const std::optional<QString> applied = appliedKey(command.key);
    if (!applied)
        return {};
    // What the applied key used: its first occurrence with its file name, and
    // for -r and -w the first -add and -len with their values.
    QSet<int> used;
    auto use = [&](const QString& key, bool withValue) {
        const int at = args.indexOf(key);
        used << at;
        if (withValue)
            used << at + 1;
    };
    use(*applied, keyNamed(*applied)->takesValue);
    if (command.key == Lumo3Command::Key::ReadFlash || command.key == Lumo3Command::Key::WriteFlash) {
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
                     .arg(*applied, ignoredKeys.join(QStringLiteral(", ")));
    if (!extra.isEmpty())
        lines << extraArgumentsLine(extra);
    return lines;
}
