// File services of the transfers on POSIX systems.
#include "transfer/transfer_file.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

bool TransferSysLocalTime(long long t, std::tm *out)
{
    std::time_t tt = static_cast<std::time_t>(t);
    return localtime_r(&tt, out) != nullptr;
}

long long TransferSysMakeTime(std::tm *tmv)
{
    std::time_t t = std::mktime(tmv);
    return t == static_cast<std::time_t>(-1) ? -1 : static_cast<long long>(t);
}

int TransferSysStat(std::FILE *f, long long *modified, long long *length)
{
    struct stat st {};
    if (fstat(fileno(f), &st) != 0)
        return -1;
    *modified = static_cast<long long>(st.st_mtime);
    *length = static_cast<long long>(st.st_size);
    return 0;
}

namespace {

// A C stream on fd when it is an ordinary file (a device or pipe of that
// name is not a file to fill or send); fd was opened without blocking, so
// that a pipe with no far end cannot hold us, and blocks from now on.  The
// descriptor is closed on failure.
std::FILE *RegularFileStream(int fd, const char *mode)
{
    if (fd < 0)
        return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::FILE *f = fdopen(fd, mode);
    if (f == nullptr)
        close(fd);
    return f;
}

}  // namespace

std::FILE *TransferCreateNewFile(const char *name)
{
    // unlink removes a link itself, never what it leads to; O_EXCL fails on
    // anything that has come to hold the name since, a link among them.
    if (unlink(name) != 0 && errno != ENOENT)
        return nullptr;
    return RegularFileStream(open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666),
                             "wb");
}

std::FILE *TransferOpenFile(const char *name)
{
    return RegularFileStream(open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK), "rb");
}

int TransferSetFileTime(std::FILE *f, long long t)
{
    if (std::fflush(f) != 0)
        return -1;
    struct timespec times[2];
    times[0].tv_sec = static_cast<std::time_t>(t);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return futimens(fileno(f), times) == 0 ? 0 : -1;
}

int TransferReplaceFile(const char *from, const char *to)
{
    return std::rename(from, to) == 0 ? 0 : -1;
}

int TransferIsOpenFile(const char *name, int fd)
{
    if (fd < 0)
        return 0;
    struct stat a {}, b {};
    if (stat(name, &a) != 0 || fstat(fd, &b) != 0)
        return 0;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino ? 1 : 0;
}

int TransferIsSameFile(const char *a, const char *b)
{
    struct stat sa {}, sb {};
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0)
        return 0;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino ? 1 : 0;
}
