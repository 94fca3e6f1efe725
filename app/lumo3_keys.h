#pragma once

#include "hw/BasePinWorker.h"

#include <QStringList>

#include <memory>

// Lumo3 board: checks the flash, then carries out the first command key found
// in args (the program path at index 0 included). Returns the exit code.
int runLumo3(const QStringList& args, std::shared_ptr<BasePinWorker> worker);
