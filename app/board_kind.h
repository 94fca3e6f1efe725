#pragma once

#include <QtGlobal>

enum BoardKind : qint16 {
    BOARD_LUMO3 = 0,
    BOARD_MINI_LUMO = 1,
    BOARD_NO_FILES = -1,
    BOARD_UNRECOGNISED = -2,
};

// Decides the board kind from the firmware files in the working directory:
// the last recognised entry of the listing (by name, ignoring case) wins.
qint16 recognizeBoardKind();
