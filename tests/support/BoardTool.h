#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "QtPrinters.h"

// Runs the built board tool as a child process, the way a user would.
struct ToolResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

QString boardToolPath();

ToolResult runBoardTool(const QStringList& args, const QString& workingDir,
                        const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());

// A temporary working directory with a board directory "board" beside it.
class BoardFixture {
public:
    // createOptions: what `create` takes after the kind, e.g. --idcode HEX.
    explicit BoardFixture(const QString& kind, const QStringList& createOptions = {});

    QString work() const { return work_.path(); }
    QString board() const { return boards_.filePath("board"); }
    QString file(const QString& name) const { return work_.filePath(name); }

    // lumo3-board run board -- args, in the working directory. A run on a
    // board without faults must break none of the chips' rules: the test
    // fails when it did.
    ToolResult run(const QStringList& args,
                   const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) const;
    // lumo3-board run board OPTIONS --. Where the environment has
    // LUMO_TESTS_AT_WORKER_LEVEL (the stages under the sanitizers and
    // emulated ARM, the package build's tests), the run goes through the
    // worker-level board: the same program and chips at a fraction of the
    // cost, the register stack left to the tests made for it.
    QStringList runCommand(const QStringList& options = {}) const;
    QByteArray flash() const;  // the board's chip image file
    void setFlash(const QByteArray& image) const;
    QString statusJson(const QString& path) const;  // e.g. "fpga.loaded"
    void writeFile(const QString& name, const QByteArray& contents) const;
    QByteArray readFile(const QString& name) const;

    // The same check for the last run, for a test that ran the tool its own
    // way (with a trace, in a pipeline, to be interrupted).
    void expectNoViolations() const;

private:
    QTemporaryDir work_;
    QTemporaryDir boards_;
    QString imageName_;
};
