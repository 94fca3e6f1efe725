#pragma once

#include <QString>
#include <QStringList>

// The commands of the `lumo3-board` tool, one function each. Each returns the
// tool's exit status and reports its own errors on standard error.
namespace board_tool {

constexpr int kToolError = 2;
// The run ended because the board's power was cut.
constexpr int kPowerCut = 3;

int fail(const QString& message);
int usageError(const QString& message);

int create(const QStringList& args);
int run(const QStringList& args);
int status(const QStringList& args);
int fault(const QStringList& args);
int powerCycle(const QStringList& args);
int makeBitstream(const QStringList& args);
int makeHex(const QStringList& args);
int radioFlash(const QStringList& args);
int installRadioFlasher(const QStringList& args);

}  // namespace board_tool
