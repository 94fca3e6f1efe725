// The product entry point: the updater on the Pi's own peripherals.

#include "lumo3update_main.h"
#include "BCM2835_Pin_Worker.h"

#include <memory>

int main(int argc, char** argv)
{
    return lumo3updateMain(argc, argv, [] { return std::make_shared<BCM2835_Pin_Worker>(); });
}
