// COM n names the device in TARVIK_COM<n> (see ComDeviceName); a device
// given on the command line is put there for this process only.
#include "comdevice.h"

#include <cstdio>
#include <cstdlib>

int ComUseDevice(int n, const char *path)
{
    char var[32];
    std::snprintf(var, sizeof var, "TARVIK_COM%d", n);
    return setenv(var, path, 1) == 0 ? 0 : -1;
}
