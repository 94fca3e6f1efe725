// What the updater says of itself (--help), its manual page and the README
// name the same keys and exit statuses, and the fleet role's README every
// variable of the role: one added to one side and not the other fails here.

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

namespace {

QString readFile(const QString& path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return QString::fromUtf8(file.readAll());
}

// Every first capture of `pattern` in `text`, from the line that starts with
// `from` up to the next line after it that starts with `to`.
QSet<QString> matches(const QString& text, const QString& pattern, const QString& from = "", const QString& to = "")
{
    const auto lineStart = [](const QString& s) {
        return QRegularExpression("^" + QRegularExpression::escape(s), QRegularExpression::MultilineOption);
    };
    const int at = from.isEmpty() ? 0 : text.indexOf(lineStart(from));
    EXPECT_GE(at, 0) << from.toStdString();
    const int stop = to.isEmpty() ? -1 : text.indexOf(lineStart(to), at + 1);
    QSet<QString> found;
    auto it = QRegularExpression(pattern, QRegularExpression::MultilineOption)
                  .globalMatch(text.mid(at, stop < 0 ? -1 : stop - at));
    while (it.hasNext())
        found << it.next().captured(1);
    return found;
}

TEST(Documentation, HelpManualAndReadmeAgreeAndTheRoleReadmeNamesEveryVariable)
{
    QProcess process;
    process.start(QStringLiteral(LUMO3UPDATE_PATH), {"--help"});
    ASSERT_TRUE(process.waitForFinished(60000));
    const QString help = QString::fromUtf8(process.readAllStandardOutput());
    const QString manual = readFile(LUMO_SOURCE_DIR "/man/lumo3update.1").replace("\\-", "-");
    const QString readme = readFile(LUMO_SOURCE_DIR "/README.md");
    const QString key = "(?:^|[^A-Za-z0-9_-])(--?[a-z]+)";

    const QSet<QString> keys = matches(help, key, "Lumo3 keys", "Exit status:");
    EXPECT_EQ(keys, (QSet<QString>{"-wgold", "-wupdate", "-r", "-w", "-add", "-len", "-boot", "-wifany", "--wifany", "-h",
                                   "-v", "--help", "--version"}));
    EXPECT_EQ(matches(manual, key, ".SH SYNOPSIS", ".SH EXIT STATUS"), keys);
    EXPECT_EQ(matches(readme, key, "## Running it", "### Exit codes"), keys);

    const QSet<QString> statuses = matches(help, "^  ([0-9]+) ", "Exit status:", "Manual:");
    EXPECT_EQ(statuses, (QSet<QString>{"0", "1", "255"}));
    EXPECT_EQ(matches(manual, "^\\.TP\\n\\.B ([0-9]+)$", ".SH EXIT STATUS", ".SH FILES"), statuses);
    EXPECT_EQ(matches(readme, "^\\| ([0-9]+)[ |]", "### Exit codes", "#"), statuses);

    const QString role = QStringLiteral(LUMO_SOURCE_DIR "/deploy/ansible/roles/lumo3update/");
    const QSet<QString> variables = matches(readFile(role + "meta/argument_specs.yml"), "^      (lumo3update_\\w+):");
    EXPECT_GT(variables.size(), 20);
    EXPECT_EQ(matches(readFile(role + "README.md"), "^\\| `(lumo3update_\\w+)`"), variables);
}

}  // namespace
