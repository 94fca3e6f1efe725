#pragma once

#include "BasePinWorker.h"

#include <QString>
#include <QStringList>

#include <memory>

// What a Lumo3 command line asks for: the first command key found, with the
// file name and flash range it takes.
struct Lumo3Command {
    enum class Key { WriteGolden, WriteUpdate, ReadFlash, WriteFlash, Boot, AutoUpdate, Usage, Invalid };
    Key key = Key::Usage;
    QString fileName;
    // As given: negative values and values beyond 32 bits are kept, for the
    // range check to refuse.
    qint64 address = 0;
    qint64 length = 0;
    // Why the command is Invalid, to be logged after the flash check.
    QStringList errors;
};

// Reads the command key and its values from args (the program path at index
// 0 included). A missing or unreadable value gives Invalid with its message.
// Touches neither the hardware nor any file, and logs nothing.
Lumo3Command selectLumo3Command(const QStringList& args);

// Lumo3 board: checks the flash, then carries out the first command key found
// in args (the program path at index 0 included). A range beyond what the
// flash's 3-byte addresses reach, and a "-w" file that cannot be written, are
// refused before the bus is used at all. Returns the exit code.
int runLumo3(const QStringList& args, std::shared_ptr<BasePinWorker> worker);
