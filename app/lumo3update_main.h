#pragma once

#include "BasePinWorker.h"

#include <functional>
#include <memory>

using PinWorkerFactory = std::function<std::shared_ptr<BasePinWorker>()>;

// The whole program: start-up, board recognition and dispatch. makeWorker
// creates the one pin worker of the run (std::make_shared of the
// implementation); the entry point decides which implementation that is.
int lumo3updateMain(int argc, char** argv, const PinWorkerFactory& makeWorker);
