// Command mode's platform part on Windows.
#include "cmdmode.h"

#include <cstdio>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

namespace {
int Retired = -1;  // the log descriptor ended last, pointed at NUL
}

int CmdOpenLog(const char *name)
{
    // Readable and writable, others may read it, created when missing,
    // content kept; every write goes to the end.
    int fd = _sopen(name, _O_RDWR | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT, _SH_DENYWR, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return -1;
    _lseek(fd, 0, SEEK_END);
    return fd;
}

void CmdRetireLog(int fd)
{
    if (fd < 0)
        return;
    if (Retired >= 0)
        _close(Retired);
    int null = _open("NUL", _O_WRONLY | _O_BINARY);
    if (null >= 0) {
        _dup2(null, fd);
        _close(null);
        Retired = fd;
    } else {
        _close(fd);
        Retired = -1;
    }
}

int CmdChangeDrive(int drive)
{
    return _chdrive(drive + 1);
}

void CmdWriteLog(int fd, const void *data, int n)
{
    int w = _write(fd, data, static_cast<unsigned>(n));
    (void)w;
}
