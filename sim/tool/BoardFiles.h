#pragma once

#include "BoardDirectory.h"

#include <QString>

namespace board_tool {

// The file of board that path reaches (through links, relative to the
// current directory, as a program would open it), whether that file exists
// yet or not, or an empty string.
QString boardFileAt(const sim::BoardDirectory& board, const QString& path);

// The same for whatever board the directory that path leads into holds; an
// empty string when it holds none.
QString anyBoardFileAt(const QString& path);

}  // namespace board_tool
