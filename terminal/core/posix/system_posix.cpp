#include "system.h"
#include "sigchain_posix.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

std::uint32_t SysTickMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(ts.tv_sec * 1000ull + ts.tv_nsec / 1000000);
}

void SysSleepMs(int ms)
{
    if (ms <= 0)
        return;
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

namespace {
void *ThreadEntry(void *arg)
{
    auto fn = reinterpret_cast<void (*)()>(arg);
    fn();
    return nullptr;
}
}  // namespace

int SysStartThread(void (*fn)())
{
    pthread_t t;
    int r = pthread_create(&t, nullptr, ThreadEntry, reinterpret_cast<void *>(fn));
    if (r != 0)
        return r;
    pthread_detach(t);
    return 0;
}

void SysGetCwd(char *buf, int size)
{
    if (size <= 0)
        return;
    if (getcwd(buf, static_cast<size_t>(size)) == nullptr)
        buf[0] = 0;
}

int SysChangeDir(const char *path)
{
    return chdir(path) == 0 ? 0 : errno;
}

std::FILE *SysCreateNewFile(const char *name)
{
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    std::FILE *f = fdopen(fd, "w");
    if (f == nullptr) {
        int err = errno;
        close(fd);
        unlink(name);
        errno = err;
    }
    return f;
}

int SysLastError()
{
    return errno;
}

void SysErrorText(int code, char *buf, int size)
{
    std::snprintf(buf, static_cast<size_t>(size), "%s", std::strerror(code));
}

void SysLocalTimeMs(SysDateTime *t, int *ms)
{
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::time_t now = ts.tv_sec;
    struct tm tmv;
    localtime_r(&now, &tmv);
    *t = SysDateTime{tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec};
    *ms = static_cast<int>(ts.tv_nsec / 1000000);
}

void SysLocalTime(SysDateTime *t)
{
    std::time_t now = std::time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    *t = SysDateTime{tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec};
}

int SysKeepOwner(const char *model, const char *file)
{
    struct stat m {}, f {};
    if (stat(model, &m) != 0 || stat(file, &f) != 0)
        return -1;
    if (m.st_uid == f.st_uid && m.st_gid == f.st_gid)
        return 0;
    return chown(file, m.st_uid, m.st_gid) == 0 ? 0 : -1;
}

bool SysIsTerminal(int stream)
{
    return isatty(stream) == 1;
}

int SysChangeDrive(int)
{
    return 0;
}

int SysOpenAppend(const char *name)
{
    int fd = open(name, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    lseek(fd, 0, SEEK_END);
    return fd;
}

int SysPointAtNull(int fd)
{
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0)
        return -1;
    int r = dup2(null, fd);  // atomically: the file is closed, fd now writes nowhere
    close(null);
    return r >= 0 ? 0 : -1;
}

void SysCloseFile(int fd)
{
    close(fd);
}

void SysWriteFile(int fd, const void *data, int n)
{
    ssize_t w = write(fd, data, static_cast<size_t>(n));
    (void)w;
}

int SysReadableFile(const char *path)
{
    // O_NONBLOCK: a FIFO with no writer would otherwise hold the open.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        struct stat st {};
        if (errno == EACCES || stat(path, &st) != 0)
            return errno;
        return S_ISDIR(st.st_mode) ? SysIsDirectory : errno;
    }
    struct stat st {};
    int code = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? SysIsDirectory
                                        : !S_ISREG(st.st_mode)    ? SysNotRegular
                                                                  : 0;
    close(fd);
    return code;
}

namespace {
int SavedOutput = -1;
void (*InterruptFn)(int) = nullptr;

// Acts once (SigDefault); while it runs, the same signal waits.  Once it
// has said its line, the signal is raised again, unblocked, and ends the
// process as the signal would have.
void OnInterrupt(int sig)
{
    SigDefault(sig);
    if (InterruptFn != nullptr)
        InterruptFn(sig);
    raise(sig);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
}
}  // namespace

void SysOutputToError()
{
    std::fflush(stdout);
    if (SavedOutput < 0)
        SavedOutput = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (SavedOutput >= 0)
        dup2(STDERR_FILENO, STDOUT_FILENO);
}

void SysOutputBack()
{
    std::fflush(stdout);
    if (SavedOutput < 0)
        return;
    dup2(SavedOutput, STDOUT_FILENO);
    close(SavedOutput);
    SavedOutput = -1;
}

void SysOnInterrupt(void (*fn)(int sig))
{
    InterruptFn = fn;
    static const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    for (int sig : signals) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;  // started with it ignored (nohup, a background job): it stays so
        struct sigaction sa {};
        sa.sa_handler = OnInterrupt;
        sa.sa_flags = 0;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}

const char *SysName()
{
    // Filled once (a static's first use is thread-safe).
    static const utsname u = [] {
        utsname v{};
        if (uname(&v) != 0 || v.sysname[0] == 0)
            std::snprintf(v.sysname, sizeof v.sysname, "POSIX");
        return v;
    }();
    return u.sysname;
}
