#include "process.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

bool ProcAvailable()
{
    return true;
}

int ProcStart(char *const *args, int *outFd, int *errFd)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return -1;
    if (pipe2(err, O_CLOEXEC) != 0) {
        int code = errno;
        close(out[0]);
        close(out[1]);
        errno = code;
        return -1;
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // Ends with the parent, whatever ends it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        int in = open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0)
            _exit(127);
        execv("/proc/self/exe", args);
        execvp(args[0], args);
        _exit(127);
    }
    int code = errno;
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        errno = code;
        return -1;
    }
    *outFd = out[0];
    *errFd = err[0];
    return static_cast<int>(pid);
}

int ProcWaitReadable(const int *fds, bool *ready, int count, int ms)
{
    struct pollfd p[160];
    int map[160];
    int n = 0;
    for (int i = 0; i < count; ++i) {
        ready[i] = false;
        if (fds[i] >= 0 && n < 160) {
            p[n] = {fds[i], POLLIN, 0};
            map[n++] = i;
        }
    }
    int r = poll(p, static_cast<nfds_t>(n), ms);
    if (r < 0)
        return errno == EINTR ? 0 : -1;
    int got = 0;
    for (int k = 0; k < n; ++k)
        if (p[k].revents != 0) {
            ready[map[k]] = true;
            ++got;
        }
    return got;
}

int ProcRead(int fd, void *buf, int n)
{
    for (;;) {
        ssize_t r = read(fd, buf, static_cast<size_t>(n));
        if (r >= 0)
            return static_cast<int>(r);
        if (errno != EINTR)
            return -1;
    }
}

void ProcClose(int fd)
{
    if (fd >= 0)
        close(fd);
}

int ProcFinish(int child, int ms)
{
    int ws = 0;
    pid_t pid = static_cast<pid_t>(child);
    for (int waited = 0;; waited += 10) {
        pid_t r = waitpid(pid, &ws, WNOHANG);
        if (r == pid)
            break;
        if (r < 0 && errno != EINTR)
            return -1;
        if (waited >= ms) {
            kill(pid, SIGKILL);
            if (waitpid(pid, &ws, 0) != pid)
                return -1;
            break;
        }
        struct timespec ts = {0, 10000000L};
        nanosleep(&ts, nullptr);
    }
    if (WIFEXITED(ws))
        return WEXITSTATUS(ws);
    if (WIFSIGNALED(ws))
        return 128 + WTERMSIG(ws);
    return -1;
}

int ProcOpenReport(const char *path, char *tempName, int tempSize)
{
    int written = std::snprintf(tempName, static_cast<size_t>(tempSize), "%s.XXXXXX", path);
    if (written < 0 || written >= tempSize) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // mkstemp creates the name exclusively (O_EXCL): never through a link.
    int fd = mkostemp(tempName, O_CLOEXEC);
    if (fd < 0)
        return -1;
    // As a file created by open(2) would be: 0666 less the umask.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    return fd;
}

int ProcCommitReport(int fd, const char *tempName, const char *path)
{
    int code = 0;
    if (fsync(fd) != 0)
        code = errno;
    if (close(fd) != 0 && code == 0)
        code = errno;
    if (code == 0 && rename(tempName, path) != 0)
        code = errno;
    if (code != 0)
        unlink(tempName);
    return code;
}

void ProcDropReport(const char *tempName)
{
    if (tempName[0] != 0)
        unlink(tempName);
}

int ProcWriteAll(int fd, const void *data, int n)
{
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t w = write(fd, p, static_cast<size_t>(n));
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        p += w;
        n -= static_cast<int>(w);
    }
    return 0;
}

bool ProcSameFile(const char *a, const char *b)
{
    struct stat sa, sb;
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool ProcIsDirectory(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}
