// tarvik: serial terminal for the controllers of the Quarnix family.
#include "startup.h"

#include <cstdio>
#include <cstring>

namespace {

void PrintUsage()
{
    std::printf(
        "Usage: tarvik [DEVICE] [/C#] [/B#] [/F#] [/S#] [/CLS]\n"
        "       tarvik --help | --version\n"
        "  DEVICE     a serial device path (for example /dev/ttyUSB0): the current\n"
        "             COM port for this run\n"
        "  /C#        use COM port # (POSIX: the device in TARVIK_COM#, else /dev/ttyS<#-1>)\n"
        "  /B#        bit rate #\n"
        "  /F#        flow control 0..3 (0 none, 1 CTS, 2 RTS/CTS handshake,\n"
        "             3 RTS while sending)\n"
        "  /S#        screen rows 20..50\n"
        "  /CLS       clear the screen at start\n"
        "  --help     print this text and exit\n"
        "  --version  print the version and exit\n"
        "Environment (POSIX systems):\n"
        "  TARVIK_COM<n>    the device for COM n (for example TARVIK_COM3=/dev/ttyUSB0);\n"
        "                   without it COM n is /dev/ttyS<n-1>\n"
        "  TARVIK_CODEPAGE  the code page of the controller's bytes 0x80-0xFF (437, 950,\n"
        "                   936, 1252, ...; default 437), shown converted to the\n"
        "                   terminal's character set\n"
        "Settings are read from and saved to tarvik.ini in the current directory.\n"
        "Press F1 inside tarvik for the hotkeys; ALT_X quits.\n");
}

}  // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            PrintUsage();
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("TARVIK 1.30\n");
            return 0;
        }
    }
    return TarvikMain(argc, argv);
}
