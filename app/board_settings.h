#pragma once

#include "xapp1081.h"

// The board's settings file, what its operator states about the board: a
// line "fpga_idcode = 0x0362D093" names the part of the board's FPGA, which
// every FPGA image is then checked against. The virtual board points it at
// the board's directory.
extern const char* lumo3update_config_path;

// The board's FPGA part from the settings file. No file, or no such line,
// sets nothing; a value that names no 7-series part, or a file that cannot
// be read, is an error that stops every FPGA write.
BoardPartSetting readBoardPartSetting();
