#include "help_and_version.h"

#include "lumo3update_version.h"

#include <cstdio>
#include <cstring>

const char kHelpText[] =
    "Usage: lumo3update KEY [FILE] [-add ADDRESS -len LENGTH]\n"
    "Firmware updater of the Lumo3 and Mini Lumo boards. Runs as root on the\n"
    "board's Raspberry Pi, in the directory that holds the firmware files. Their\n"
    "names tell the board: *.bit and *.hex a Lumo3, *.bin a Mini Lumo.\n"
    "\n"
    "Lumo3 keys (one per run; of several, the first in this list applies):\n"
    "  -wgold FILE.bit         write the golden image, reboot the FPGA\n"
    "  -wupdate FILE.bit       write the update image, verify it, reboot the FPGA\n"
    "  -r FILE -add ADDRESS -len LENGTH\n"
    "                          read a flash range into FILE\n"
    "  -w FILE -add ADDRESS -len LENGTH\n"
    "                          write FILE into a flash range\n"
    "  -boot                   restart the FPGA from the flash\n"
    "  -wifany                 apply the directory's *.bit and *.hex, delete them\n"
    "ADDRESS and LENGTH are decimal, else hexadecimal (4096, 1F000, 0x1000).\n"
    "\n"
    "Mini Lumo keys:\n"
    "  -wifany, --wifany       write the first *.bin into the flash, delete it\n"
    "  -h, -v                  the Mini Lumo's own help and version\n"
    "\n"
    "Anywhere:\n"
    "  --help                  this text\n"
    "  --version               the version\n"
    "\n"
    "Exit status:\n"
    "  0    success; no firmware file (without a key, or with -wifany);\n"
    "       Lumo3 -wifany always (its outcome is in the log)\n"
    "  1    Lumo3 -wgold or -wupdate refused or failed to write an image;\n"
    "       Mini Lumo: an option it does not know\n"
    "  255  the hardware could not be acquired; firmware of no known kind; a key\n"
    "       where no firmware file lies; a missing key or value; -r or -w refused\n"
    "       or failed; the usage text; a failed or refused Mini Lumo update\n"
    "\n"
    "Manual: man lumo3update; /usr/share/doc/lumo3update/README.Debian\n";

std::optional<int> answerHelpOrVersion(int argc, char** argv)
{
    static const char* const keysWithValue[] = {"-wgold", "-wupdate", "-r", "-w", "-add", "-len"};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kHelpText, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("lumo3update %s\n", kLumo3updateVersion);
            return 0;
        }
        for (const char* key : keysWithValue)
            if (std::strcmp(argv[i], key) == 0) {
                ++i;
                break;
            }
    }
    return std::nullopt;
}
