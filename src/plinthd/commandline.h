// plinthd's command line. The daemon takes no options: the service manager
// starts it and a controller configures it over D-Bus. --help and --version
// answer a person at a console; any other argument is refused rather than
// ignored, so a mistyped option does not quietly start a second daemon.
#pragma once

#include <cstdio>
#include <cstring>

namespace plinthd
{

const char* const USAGE =
    "Usage: plinthd [--help | --version]\n"
    "Serves one block of Modbus registers to masters over Modbus RTU (RS-485),\n"
    "Modbus TCP or TCP-PI. It takes no options and no configuration file: the\n"
    "service manager starts it (plinthd.service), and a controller configures it,\n"
    "fills its registers and stops it with JSON commands on its D-Bus method cmd\n"
    "(bus name vox.tessal.plinthd, object /vox/tessal, interface\n"
    "vox.tessal.modbusserver) on the system bus. plinthctl sends such commands.\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help and exit\n"
    "      --version  show the version and exit\n"
    "\n"
    "Exit status: 0 ended by the \"stop\" command, 1 start-up failed (no system\n"
    "bus, bus name refused) or the system bus went away, 2 bad usage.\n";

// Returns -1 when the daemon is to start, else the exit status.
inline int AnswerCommandLine(int argc, char** argv)
{
    if (argc < 2)
        return -1;
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("plinthd (Tessal) " TESSAL_VERSION);
        return 0;
    }
    std::fprintf(stderr, "plinthd: unexpected argument '%s'\nTry 'plinthd --help'.\n", argv[1]);
    return 2;
}

} // namespace plinthd
