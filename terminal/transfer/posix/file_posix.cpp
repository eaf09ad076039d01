// File services of the transfers on POSIX systems.
#include "transfer/transfer_file.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

void TransferToLocalTime(long long t, TransferLocalTime *lt)
{
    std::time_t tt = static_cast<std::time_t>(t);
    struct tm tmv {};
    if (localtime_r(&tt, &tmv) == nullptr) {
        *lt = TransferLocalTime{1980, 1, 1, 0, 0, 0};
        return;
    }
    lt->year = tmv.tm_year + 1900;
    lt->month = tmv.tm_mon + 1;
    lt->day = tmv.tm_mday;
    lt->hour = tmv.tm_hour;
    lt->minute = tmv.tm_min;
    lt->second = tmv.tm_sec;
}

long long TransferFromLocalTime(const TransferLocalTime *lt)
{
    struct tm tmv {};
    tmv.tm_year = lt->year - 1900;
    tmv.tm_mon = lt->month - 1;
    tmv.tm_mday = lt->day;
    tmv.tm_hour = lt->hour;
    tmv.tm_min = lt->minute;
    tmv.tm_sec = lt->second;
    tmv.tm_isdst = -1;
    std::time_t t = std::mktime(&tmv);
    return t == static_cast<std::time_t>(-1) ? -1 : static_cast<long long>(t);
}

int TransferFileTime(std::FILE *f, long long *t)
{
    struct stat st {};
    if (fstat(fileno(f), &st) != 0)
        return -1;
    *t = static_cast<long long>(st.st_mtime);
    return 0;
}

long long TransferFileLength(std::FILE *f)
{
    struct stat st {};
    if (fstat(fileno(f), &st) != 0)
        return -1;
    return static_cast<long long>(st.st_size);
}

std::FILE *TransferCreateFile(const char *name)
{
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        // A device or pipe of that name is not a file to fill (opening
        // without blocking keeps a pipe with no reader from holding us).
        close(fd);
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::FILE *f = fdopen(fd, "wb");
    if (f == nullptr)
        close(fd);
    return f;
}

std::FILE *TransferOpenFile(const char *name)
{
    int fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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
    std::FILE *f = fdopen(fd, "rb");
    if (f == nullptr)
        close(fd);
    return f;
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
