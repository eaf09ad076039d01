/* A driver's low-latency setting for a pseudo-terminal: preloaded into a
 * program under test (LD_PRELOAD), this library answers TIOCGSERIAL and
 * TIOCSSERIAL on a terminal whose driver has no such record, as a USB
 * adapter's driver would, and writes down every change.
 *
 *   LOWLATENCY_LOG    the file each TIOCSSERIAL appends a line to:
 *                     "low_latency=1" or "low_latency=0", the setting it
 *                     leaves; without it every call goes to the driver
 *   LOWLATENCY_FLAGS  the record's flags before the first change (a number
 *                     as strtol reads it; default 0)
 *
 * The record is one for the whole process (the program under test opens
 * one port at a time).  A terminal whose driver has the record is left to
 * the driver.  The log is written with open, write and close only, so a
 * change made in a signal handler is written down too. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

typedef int (*IoctlFn)(int, unsigned long, ...);

static _Atomic int Flags = -1; /* -1: not read from LOWLATENCY_FLAGS yet */

static IoctlFn RealIoctl(void)
{
    static _Atomic(IoctlFn) fn;
    IoctlFn f = atomic_load(&fn);
    if (f == NULL) {
        void *sym = dlsym(RTLD_NEXT, "ioctl");
        memcpy(&f, &sym, sizeof f);
        atomic_store(&fn, f);
    }
    return f;
}

static int CurrentFlags(void)
{
    int f = atomic_load(&Flags);
    if (f < 0) {
        const char *given = getenv("LOWLATENCY_FLAGS");
        f = given != NULL ? (int)strtol(given, NULL, 0) : 0;
        atomic_store(&Flags, f);
    }
    return f;
}

static void Note(int flags)
{
    const char *path = getenv("LOWLATENCY_LOG");
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const char *line = (flags & ASYNC_LOW_LATENCY) ? "low_latency=1\n" : "low_latency=0\n";
    ssize_t w = write(fd, line, strlen(line));
    (void)w;
    close(fd);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int r = RealIoctl()(fd, request, arg);
    if (r == 0 || (request != TIOCGSERIAL && request != TIOCSSERIAL) || getenv("LOWLATENCY_LOG") == NULL ||
        (errno != ENOTTY && errno != EINVAL) || !isatty(fd))
        return r;
    struct serial_struct *ss = (struct serial_struct *)arg;
    if (request == TIOCGSERIAL) {
        memset(ss, 0, sizeof *ss);
        ss->type = PORT_16550A;
        ss->flags = CurrentFlags();
        ss->xmit_fifo_size = 16;
        ss->baud_base = 3000000;
        return 0;
    }
    CurrentFlags();
    atomic_store(&Flags, ss->flags);
    Note(ss->flags);
    return 0;
}
