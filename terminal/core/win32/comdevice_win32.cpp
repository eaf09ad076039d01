// The Win32 back-end opens COM ports by number ("\\.\COM<n>") only.
#include "comdevice.h"

int ComUseDevice(int, const char *)
{
    return -1;
}
