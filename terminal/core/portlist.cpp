#include "portlist.h"

#include "comdevice.h"
#include "options.h"

#include <cstdio>

namespace {
ComDeviceInfo Found[ComListMax];
}

int PrintSerialDevices()
{
    int count = ComListDevices(Found, ComListMax);
    if (count == 0) {
        std::printf("no serial devices\n");
        return 0;
    }
    for (int i = 0; i < count; ++i) {
        const ComDeviceInfo &d = Found[i];
        // Names come from the system's folders: shown with control
        // characters as '?', as every name tarvik reports.
        WriteNameTo(stdout, d.path);
        if (d.target[0] != 0) {
            std::printf(" -> ");
            WriteNameTo(stdout, d.target);
        }
        std::printf("\n");
        const char *sep = "    ";
        if (d.driver[0] != 0) {
            std::printf("%sdriver ", sep);
            WriteNameTo(stdout, d.driver);
            sep = ", ";
        }
        if (d.usbId[0] != 0) {
            std::printf("%sUSB ", sep);
            WriteNameTo(stdout, d.usbId);
            sep = ", ";
        }
        if (d.serial[0] != 0) {
            std::printf("%sserial ", sep);
            WriteNameTo(stdout, d.serial);
            sep = ", ";
        }
        if (sep[0] == ',')
            std::printf("\n");
    }
    return count;
}
