#pragma once

#include <QString>

namespace board_tool {

// An exclusive lock on a board directory (its file board.lock) for the
// commands that change the board, so that two tools never save over each
// other; held until the process ends. Returns false, with the line to print,
// when another process holds it. A directory that does not exist has nothing
// to lock yet.
bool lockBoard(const QString& dir, QString& refusal);

}  // namespace board_tool
