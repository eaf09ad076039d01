// Command mode's platform part on POSIX systems.
#include "cmdmode.h"

#include <fcntl.h>
#include <unistd.h>

namespace {
int Retired = -1;  // the log descriptor ended last, pointed at /dev/null
}

int CmdOpenLog(const char *name)
{
    // Readable and writable, created when missing, content kept; every
    // write goes to the end.
    int fd = open(name, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    lseek(fd, 0, SEEK_END);
    return fd;
}

void CmdRetireLog(int fd)
{
    if (fd < 0)
        return;
    if (Retired >= 0)
        close(Retired);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, fd);  // atomically: the file is closed, fd now writes nowhere
        close(null);
        Retired = fd;
    } else {
        close(fd);
        Retired = -1;
    }
}

void CmdWriteLog(int fd, const void *data, int n)
{
    ssize_t w = write(fd, data, static_cast<size_t>(n));
    (void)w;
}

int CmdChangeDrive(int)
{
    return 0;
}
