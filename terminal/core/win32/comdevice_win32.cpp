// The Win32 back-end opens COM ports by number ("\\.\COM<n>") only.
#include "comdevice.h"

int ComUseDevice(int, const char *)
{
    return -1;
}

void ComAbsoluteDevicePaths()
{
    // COM ports are opened by number: there are no paths to keep.
}

int ComCheckDevice(const char *)
{
    return ComNotDevice;
}
