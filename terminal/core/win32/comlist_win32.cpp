// The COM ports of a Windows system: the DOS device names COM<n> and the
// devices they lead to (\Device\Serial0, \Device\VCP0, \Device\USBSER000).
#include "comdevice.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int ComListDevices(ComDeviceInfo *list, int max)
{
    static char names[65536];
    DWORD got = QueryDosDeviceA(nullptr, names, sizeof names);
    if (got == 0)
        return 0;
    int count = 0;
    for (const char *p = names; *p != 0 && count < max; p += std::strlen(p) + 1) {
        if (_strnicmp(p, "COM", 3) != 0 || p[3] < '1' || p[3] > '9')
            continue;
        const char *q = p + 3;
        while (*q >= '0' && *q <= '9')
            ++q;
        if (*q != 0)
            continue;
        ComDeviceInfo &info = list[count++];
        info = ComDeviceInfo{};
        std::snprintf(info.path, sizeof info.path, "COM%s", p + 3);
        char target[256];
        if (QueryDosDeviceA(p, target, sizeof target) != 0)
            std::snprintf(info.target, sizeof info.target, "%s", target);
    }
    std::sort(list, list + count, [](const ComDeviceInfo &a, const ComDeviceInfo &b) {
        return std::atoi(a.path + 3) < std::atoi(b.path + 3);
    });
    return count;
}
