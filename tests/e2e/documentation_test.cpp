// What the updater says of itself (--help), its manual page and the README
// name the same keys and the same exit statuses: a key or status added to
// one and not the others fails here.

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

QString readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + path.toStdString());
    return QString::fromUtf8(file.readAll());
}

// The text from the first line that starts with `from` up to the first line
// after it that starts with `to`.
QString section(const QString& text, const QString& from, const QString& to)
{
    const QRegularExpression start(QStringLiteral("^") + QRegularExpression::escape(from),
                                   QRegularExpression::MultilineOption);
    const QRegularExpression end(QStringLiteral("^") + QRegularExpression::escape(to),
                                 QRegularExpression::MultilineOption);
    const int at = text.indexOf(start);
    if (at < 0)
        throw std::runtime_error("no section " + from.toStdString());
    const int stop = text.indexOf(end, at + 1);
    return text.mid(at, stop < 0 ? -1 : stop - at);
}

QSet<QString> matches(const QString& text, const QString& pattern)
{
    QSet<QString> found;
    QRegularExpressionMatchIterator it =
        QRegularExpression(pattern, QRegularExpression::MultilineOption).globalMatch(text);
    while (it.hasNext())
        found << it.next().captured(1);
    return found;
}

const QString kKey = QStringLiteral("(?:^|[^A-Za-z0-9_-])(--?[a-z]+)");

TEST(Documentation, HelpManualAndReadmeNameTheSameKeysAndExitStatuses)
{
    QProcess process;
    process.start(QStringLiteral(LUMO3UPDATE_PATH), {"--help"});
    ASSERT_TRUE(process.waitForFinished(60000));
    const QString help = QString::fromUtf8(process.readAllStandardOutput());
    const QString manual = readFile(LUMO_SOURCE_DIR "/man/lumo3update.1").replace("\\-", "-");
    const QString readme = readFile(LUMO_SOURCE_DIR "/README.md");

    const QSet<QString> keys = matches(section(help, "Lumo3 keys", "Exit status:"), kKey);
    EXPECT_EQ(keys, (QSet<QString>{"-wgold", "-wupdate", "-r", "-w", "-add", "-len", "-boot", "-wifany", "--wifany", "-h",
                                   "-v", "--help", "--version"}));
    EXPECT_EQ(matches(section(manual, ".SH SYNOPSIS", ".SH EXIT STATUS"), kKey), keys);
    EXPECT_EQ(matches(section(readme, "## Running it", "### Exit codes"), kKey), keys);

    const QSet<QString> statuses = matches(section(help, "Exit status:", "Manual:"), "^  ([0-9]+) ");
    EXPECT_EQ(statuses, (QSet<QString>{"0", "1", "255"}));
    EXPECT_EQ(matches(section(manual, ".SH EXIT STATUS", ".SH FILES"), "^\\.TP\\n\\.B ([0-9]+)$"), statuses);
    EXPECT_EQ(matches(section(readme, "### Exit codes", "#"), "^\\| ([0-9]+)[ |]"), statuses);
}

// The role's README names every variable that its argument specs check.
TEST(Documentation, TheFleetRoleReadmeNamesEveryVariable)
{
    const QString role = QStringLiteral(LUMO_SOURCE_DIR "/deploy/ansible/roles/lumo3update/");
    const QSet<QString> specified = matches(readFile(role + "meta/argument_specs.yml"), "^      (lumo3update_\\w+):");
    EXPECT_GT(specified.size(), 20);
    EXPECT_EQ(matches(readFile(role + "README.md"), "^\\| `(lumo3update_\\w+)`"), specified);
}

}  // namespace
