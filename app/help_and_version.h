#pragma once

#include <optional>

// --help and --version, answered as GNU tools answer them: on standard output,
// with exit status 0, before the lock, the hardware or the working directory
// is looked at, so that they work anywhere and for any user. Returns the exit
// status when one of them was asked for (the first one given counts), nothing
// otherwise. An argument that a key takes as its value (a file named
// "--help" after -wgold, say) is not one of them.
std::optional<int> answerHelpOrVersion(int argc, char** argv);

// The answer to --help.
extern const char kHelpText[];
