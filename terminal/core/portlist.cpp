#include "portlist.h"

#include "comdevice.h"

#include <cstdio>

namespace {
ComDeviceInfo Found[ComListMax];

// Names come from the system's folders: control characters are shown as
// '?', as in every name tarvik reports, so that none acts on a terminal.
void WriteNameTo(std::FILE *stream, const char *name)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p != 0; ++p)
        std::fputc(*p < 0x20 || *p == 0x7F ? '?' : *p, stream);
}
}  // namespace

int PrintSerialDevices()
{
    int count = ComListDevices(Found, ComListMax);
    if (count == 0) {
        std::printf("no serial devices\n");
        return 0;
    }
    for (int i = 0; i < count; ++i) {
        const ComDeviceInfo &d = Found[i];
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
