#pragma once

#include "lumo3_keys.h"

#include <QString>
#include <QStringList>

// A run carries out one key. What else the command line holds is ignored, and
// these lines say so, so that "-wupdate fw.bit -wgold gold.bit" cannot read
// as two writes: one naming the key applied and the keys ignored, one naming
// the arguments that belong to no key. Empty when nothing was ignored, or
// when no key applies (the usage text or a key error says enough then).
QStringList ignoredArgumentLines(const QStringList& args, const Lumo3Command& command);

// The line for arguments that belong to no key, quoted as given.
QString extraArgumentsLine(const QStringList& extra);
