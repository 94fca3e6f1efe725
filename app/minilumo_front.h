#pragma once

#include "BasePinWorker.h"

#include <QCoreApplication>

#include <memory>

// Mini Lumo board: probes the AT86 transceiver, reads the "wifany" option and
// updates the FPGA's configuration flash. Returns the exit code.
int runMiniLumo(QCoreApplication& app, std::shared_ptr<BasePinWorker> worker);
