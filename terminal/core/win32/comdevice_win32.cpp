// The Win32 back-end opens COM ports by number ("\\.\COM<n>") only.
#include "comdevice.h"

#include "netport.h"

int ComUseDevice(int, const char *)
{
    return -1;
}

void ComAbsoluteDevicePaths()
{
    // COM ports are opened by number: there are no paths to keep.
}

int ComCheckDevice(const char *path)
{
    // Network ports are a feature of the POSIX build.
    NetAddress address;
    int net = NetParseAddress(path, &address);
    if (net == 0)
        return ComNetUnsupported;
    if (net == NetBadAddress)
        return ComBadAddress;
    return ComNotDevice;
}
