#include "logfile.h"

#include "system.h"

namespace {
// The log descriptor ended last, pointed at the null device (keyboard
// thread only).
int Retired = -1;
}  // namespace

int LogOpen(const char *name)
{
    return SysOpenAppend(name);
}

void LogRetire(int fd)
{
    if (fd < 0)
        return;
    if (Retired >= 0)
        SysCloseFile(Retired);
    if (SysPointAtNull(fd) == 0) {
        Retired = fd;
    } else {
        SysCloseFile(fd);
        Retired = -1;
    }
}

void LogWrite(int fd, const void *data, int n)
{
    SysWriteFile(fd, data, n);
}
