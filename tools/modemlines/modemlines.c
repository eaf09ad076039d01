/*
 * Modem lines for a pseudo-terminal.
 *
 * A pseudo-terminal has no modem lines: TIOCMGET and TIOCMIWAIT fail on it,
 * so a terminal program on the simulated controller's line never sees CTS
 * change.  Preloaded into such a program (LD_PRELOAD), this library answers
 * those requests where the driver cannot, as a serial driver would:
 *
 *   MODEMLINES_FILE    a file naming the input lines that are high, as words:
 *                      CTS, DSR, CD (or DCD), RI (or RNG); a missing or empty
 *                      file means all low.  Replace it with a rename (write a
 *                      new file, then mv it over) so that no reader ever sees
 *                      it half written.
 *   MODEMLINES_DEVICE  optional: only this device gets modem lines (a link
 *                      to it will do); without it, every terminal whose
 *                      driver lacks them does.
 *   MODEMLINES_NOWAIT  set to 1: TIOCMIWAIT fails with EINVAL, as on the
 *                      drivers of some USB adapters that report the lines
 *                      but cannot wait for a change.
 *
 * TIOCMGET gives the input lines from the file and the output lines (RTS,
 * DTR) last set by TIOCMSET, TIOCMBIS or TIOCMBIC.  TIOCMIWAIT blocks until
 * one of the input lines in its mask differs from its state when the wait
 * began; like the driver's wait it ends with EINTR when a signal handler
 * without SA_RESTART runs.  A device whose driver has modem lines is left
 * to the driver.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdatomic.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

typedef int (*IoctlFn)(int, unsigned long, ...);

static _Atomic int OutputLines = TIOCM_RTS | TIOCM_DTR; /* as a port is opened */

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

/* Whether this library answers for fd: a terminal of the chosen device. */
static int Served(int fd)
{
    if (getenv("MODEMLINES_FILE") == NULL || !isatty(fd))
        return 0;
    const char *device = getenv("MODEMLINES_DEVICE");
    if (device == NULL || *device == 0)
        return 1;
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat(device, &b) == 0 && a.st_rdev == b.st_rdev;
}

static int InputLines(void)
{
    const char *path = getenv("MODEMLINES_FILE");
    int fd = path != NULL ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0)
        return 0;
    char text[256];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = 0;
    int lines = 0;
    char *save = NULL;
    for (char *w = strtok_r(text, " \t\r\n,", &save); w != NULL; w = strtok_r(NULL, " \t\r\n,", &save)) {
        if (strcmp(w, "CTS") == 0)
            lines |= TIOCM_CTS;
        else if (strcmp(w, "DSR") == 0)
            lines |= TIOCM_DSR;
        else if (strcmp(w, "CD") == 0 || strcmp(w, "DCD") == 0)
            lines |= TIOCM_CD;
        else if (strcmp(w, "RI") == 0 || strcmp(w, "RNG") == 0)
            lines |= TIOCM_RI;
    }
    return lines;
}

/* The wait of TIOCMIWAIT: the file's folder is watched for the file being
 * written or renamed into place; the watch is set before the starting
 * state is read, so no change between the two is missed. */
static int WaitForChange(unsigned long mask)
{
    const char *path = getenv("MODEMLINES_FILE");
    char folder[PATH_MAX];
    snprintf(folder, sizeof folder, "%s", path);
    char *slash = strrchr(folder, '/');
    const char *name = path;
    if (slash == NULL) {
        strcpy(folder, ".");
    } else {
        name = path + (slash - folder) + 1;
        if (slash == folder)
            slash[1] = 0;
        else
            *slash = 0;
    }
    int watch = inotify_init1(IN_CLOEXEC);
    if (watch < 0)
        return -1;
    if (inotify_add_watch(watch, folder, IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE) < 0) {
        int e = errno;
        close(watch);
        errno = e;
        return -1;
    }
    int start = InputLines();
    for (;;) {
        char events[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
        ssize_t n = read(watch, events, sizeof events);
        if (n < 0) {
            int e = errno;
            close(watch);
            errno = e; /* EINTR: a signal ended the wait */
            return -1;
        }
        int ours = 0;
        for (char *p = events; p < events + n;) {
            const struct inotify_event *ev = (const struct inotify_event *)p;
            if (ev->len > 0 && strcmp(ev->name, name) == 0)
                ours = 1;
            p += sizeof *ev + ev->len;
        }
        if (ours && ((InputLines() ^ start) & (int)mask) != 0) {
            close(watch);
            return 0;
        }
    }
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    IoctlFn real = RealIoctl();
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC &&
        request != TIOCMIWAIT)
        return real(fd, request, arg);
    int r = real(fd, request, arg);
    if (r == 0 || (errno != ENOTTY && errno != EINVAL) || !Served(fd))
        return r;
    int *bits = (int *)arg;
    switch (request) {
    case TIOCMGET:
        *bits = InputLines() | OutputLines;
        return 0;
    case TIOCMSET:
        OutputLines = *bits & (TIOCM_RTS | TIOCM_DTR);
        return 0;
    case TIOCMBIS:
        OutputLines |= *bits & (TIOCM_RTS | TIOCM_DTR);
        return 0;
    case TIOCMBIC:
        OutputLines &= ~(*bits & (TIOCM_RTS | TIOCM_DTR));
        return 0;
    default: /* TIOCMIWAIT: the mask is the argument itself */
        const char *nowait = getenv("MODEMLINES_NOWAIT");
        if (nowait != NULL && strcmp(nowait, "1") == 0) {
            errno = EINVAL;
            return -1;
        }
        return WaitForChange((unsigned long)arg);
    }
}
