// tarvik: serial terminal for the controllers of the Quarnix family.
#include "headless/fleet.h"
#include "headless/headless.h"
#include "options.h"
#include "startup.h"

#include <cstdio>

int main(int argc, char **argv)
{
    // What the session itself reads: the program name, the device and the
    // '/' options, in their order.
    static char *words[256];
    if (argc > 255) {
        std::fprintf(stderr, "tarvik: too many arguments\n");
        return 2;
    }
    int count = 0;
    int start = ParseStartOptions(argc, argv, words, &count);
    if (start == StartDone)
        return 0;
    if (start == StartUsageError)
        return 2;
    // Each device's own tarvik opens the log.
    if (start == StartFleet)
        return HeadlessFleet(count, words);
    if (OpenStartLog() != 0)
        return 2;
    switch (start) {
    case StartDownload:
        return HeadlessDownload(count, words);
    case StartScript:
        return HeadlessScript(count, words);
    default:
        return TarvikMain(count, words);
    }
}
