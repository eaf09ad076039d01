// tarvik: serial terminal for the controllers of the Quarnix family.
#include "startup.h"

#include <cstdio>
#include <cstring>

namespace {

void PrintUsage()
{
    std::printf(
        "Usage: tarvik [/C#] [/B#] [/F#] [/S#] [/CLS]\n"
        "  /C#   use COM port # (POSIX: the device in TARVIK_COM#, else /dev/ttyS<#-1>)\n"
        "  /B#   bit rate #\n"
        "  /F#   flow control 0..3 (0 none, 1 CTS, 2 RTS/CTS handshake, 3 RTS while sending)\n"
        "  /S#   screen rows 20..50\n"
        "  /CLS  clear the screen at start\n"
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
