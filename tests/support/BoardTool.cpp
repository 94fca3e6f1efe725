#include "BoardTool.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonArray>
#include <QProcess>

#include <gtest/gtest.h>

#include <stdexcept>

QString boardToolPath()
{
    return QStringLiteral(LUMO3_BOARD_PATH);
}

ToolResult runBoardTool(const QStringList& args, const QString& workingDir, const QProcessEnvironment& env)
{
    QProcess process;
    process.setWorkingDirectory(workingDir);
    process.setProcessEnvironment(env);
    process.start(boardToolPath(), args);
    ToolResult result;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        throw std::runtime_error("board tool did not finish: " + args.join(' ').toStdString());
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

BoardFixture::BoardFixture(const QString& kind, const QStringList& createOptions)
{
    imageName_ = kind == QLatin1String("lumo3") ? "n25q256.img" : "mx25l3206e.img";
    const ToolResult created = runBoardTool(QStringList{"create", board(), "--kind", kind} + createOptions, work());
    if (created.exitCode != 0)
        throw std::runtime_error("cannot create board: " + created.err.toStdString());
}

QStringList BoardFixture::runCommand(const QStringList& options) const
{
    QStringList command{"run", board()};
    command += options;
    if (qEnvironmentVariableIsSet("LUMO_TESTS_AT_WORKER_LEVEL")) {
        // A stalling SPI0 is the register stack's alone.
        QFile state(QDir(board()).filePath("state.json"));
        if (!(state.open(QIODevice::ReadOnly) && state.readAll().contains("\"spi0_stalls\"")))
            command << "--worker-level";
    }
    return command << "--";
}

ToolResult BoardFixture::run(const QStringList& args, const QProcessEnvironment& env) const
{
    const ToolResult result = runBoardTool(runCommand() + args, work(), env);
    expectNoViolations();
    return result;
}

void BoardFixture::expectNoViolations() const
{
    const ToolResult status = runBoardTool({"status", board(), "--json"}, work());
    const QJsonObject json = QJsonDocument::fromJson(status.out).object();
    // Injected faults break the rules by design; a power cut is spent by the
    // run it ends, and the frames before it must keep them.
    if (status.exitCode != 0 || !json.value("faults").toObject().isEmpty())
        return;
    const QJsonObject violations = json.value("violations").toObject();
    if (violations.value("count").toDouble() == 0)
        return;
    std::string first;
    for (const QJsonValue& v : violations.value("first").toArray()) {
        const QJsonObject breach = v.toObject();
        first += QStringLiteral("\n  bus byte %1, %2: %3")
                     .arg(breach.value("bus_byte").toDouble(), 0, 'f', 0)
                     .arg(breach.value("where").toString(), breach.value("rule").toString())
                     .toStdString();
    }
    ADD_FAILURE() << "the run broke the chips' rules " << violations.value("count").toDouble() << " times:" << first;
}

QByteArray BoardFixture::flash() const
{
    QFile f(QDir(board()).filePath(imageName_));
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read the board's flash image");
    return f.readAll();
}

void BoardFixture::setFlash(const QByteArray& image) const
{
    QFile f(QDir(board()).filePath(imageName_));
    if (!f.open(QIODevice::ReadWrite) || f.write(image) != image.size())
        throw std::runtime_error("cannot write the board's flash image");
}

QString BoardFixture::statusJson(const QString& path) const
{
    const ToolResult status = runBoardTool({"status", board(), "--json"}, work());
    QJsonValue value = QJsonDocument::fromJson(status.out).object();
    for (const QString& key : path.split('.'))
        value = value.toObject().value(key);
    return value.isBool() ? (value.toBool() ? "true" : "false")
                          : value.isDouble() ? QString::number(value.toDouble(), 'g', 17) : value.toString();
}

void BoardFixture::writeFile(const QString& name, const QByteArray& contents) const
{
    QFile f(file(name));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(contents) != contents.size())
        throw std::runtime_error("cannot write test file " + name.toStdString());
}

QByteArray BoardFixture::readFile(const QString& name) const
{
    QFile f(file(name));
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read test file " + name.toStdString());
    return f.readAll();
}
