/*
 * An XMODEM-1K transfer between two programs joined by a pseudo-terminal
 * pair, the reference for the download benchmark: each program sits on the
 * terminal side of a pseudo-terminal of its own, and this program copies
 * bytes between the two other sides, as a null-modem cable would.
 *
 * Both programs flush their input right after they write (the receiver
 * after each ACK, the sender after its EOT).  On a real line the answer
 * cannot arrive before that (it is still on the wire); between two
 * processes on a fast machine it can, and the flush then throws it away and
 * costs a time-out.  So after passing bytes to one side, the relay holds
 * that side's answer from the other until the first sits in its read again
 * (/proc/PID/syscall), or at most 5 ms.
 *
 *   xmodem_pair FILE DIR [SENDER [RECEIVER]]
 *
 * Runs "SENDER -k -b -q FILE" (default sx) and, in DIR, "RECEIVER -c -b -y -q
 * FILE-NAME" (default rx), waits for both (bounded: 10 minutes), checks that
 * DIR holds the same bytes, and prints "xmodem_Bps <payload bytes/s>" and
 * "xmodem_seconds <s>", timed from the sender's first byte to its EOT.
 * Exit 0 only when the copy is complete.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static double Now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static void MakeRaw(int fd)
{
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
}

static pid_t StartOn(int fd, const char *dir, char *const argv[])
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(fd, 0);
        dup2(fd, 1);
        if (null >= 0)
            dup2(null, 2);
        fcntl(fd, F_SETFD, 0);
        if (dir != NULL && chdir(dir) != 0)
            _exit(126);
        execvp(argv[0], argv);
        _exit(127);
    }
    return pid;
}

/* Whether the process is blocked in read(2) on descriptor 0. */
static int InRead(pid_t pid)
{
    char path[64], text[128];
    snprintf(path, sizeof path, "/proc/%d/syscall", (int)pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 1;
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 1;
    text[n] = 0;
    return strncmp(text, "0 0x0 ", 6) == 0;
}

static int SameFiles(const char *a, const char *b)
{
    FILE *fa = fopen(a, "rb"), *fb = fopen(b, "rb");
    int same = fa != NULL && fb != NULL;
    while (same) {
        char x[65536], y[65536];
        size_t na = fread(x, 1, sizeof x, fa), nb = fread(y, 1, sizeof y, fb);
        if (na != nb || memcmp(x, y, na) != 0)
            same = 0;
        if (na == 0 || na != nb)
            break;
    }
    if (fa)
        fclose(fa);
    if (fb)
        fclose(fb);
    return same;
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: xmodem_pair FILE DIR [SENDER [RECEIVER]]\n");
        return 2;
    }
    const char *file = argv[1];
    const char *dir = argv[2];
    char *sender = argc > 3 ? argv[3] : "sx";
    char *receiver = argc > 4 ? argv[4] : "rx";
    const char *base = strrchr(file, '/');
    base = base != NULL ? base + 1 : file;
    struct stat st;
    if (stat(file, &st) != 0) {
        perror("xmodem_pair: stat");
        return 1;
    }

    int masters[2], slaves[2];
    for (int i = 0; i < 2; ++i) {
        masters[i] = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (masters[i] < 0 || grantpt(masters[i]) != 0 || unlockpt(masters[i]) != 0) {
            perror("xmodem_pair: posix_openpt");
            return 1;
        }
        slaves[i] = open(ptsname(masters[i]), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slaves[i] < 0) {
            perror("xmodem_pair: open slave");
            return 1;
        }
        MakeRaw(slaves[i]);
        MakeRaw(masters[i]);
    }

    char copy[4096];
    snprintf(copy, sizeof copy, "%s/%s", dir, base);
    unlink(copy);
    char *rxArgv[] = {receiver, "-c", "-b", "-y", "-q", (char *)base, NULL};
    char *sxArgv[] = {sender, "-k", "-b", "-q", (char *)file, NULL};
    /* The sender first: it drops what waits on its line when it starts,
     * and would lose the receiver's first 'C'.  The clock starts with the
     * sender's first byte. */
    pid_t sx = StartOn(slaves[0], NULL, sxArgv);
    usleep(300000);
    pid_t rx = StartOn(slaves[1], dir, rxArgv);
    double t0 = 0;
    int status[2] = {-1, -1};
    int left = 2;
    double limit = Now() + 600;
    double end = 0;
    /* Bytes read from one side and not yet written to the other. */
    static unsigned char pend[2][65536];
    size_t fill[2] = {0, 0};
    /* gate[i]: hold the bytes of side i until the other side reads again. */
    int gate[2] = {0, 0};
    double gateSince[2] = {0, 0};
    pid_t reader[2];
    reader[0] = rx;
    reader[1] = sx;
    double eot = 0;      /* the sender's end of transmission */
    while (left > 0 && Now() < limit) {
        struct pollfd p[2];
        for (int i = 0; i < 2; ++i) {
            p[i].fd = masters[i];
            p[i].events = (short)((fill[i] < sizeof pend[i] ? POLLIN : 0) | (fill[1 - i] > 0 ? POLLOUT : 0));
            p[i].revents = 0;
        }
        poll(p, 2, (gate[0] && fill[0] > 0) || (gate[1] && fill[1] > 0) ? 0 : 20);
        for (int i = 0; i < 2; ++i) {
            if ((p[i].revents & (POLLIN | POLLHUP)) && fill[i] < sizeof pend[i]) {
                ssize_t r = read(masters[i], pend[i] + fill[i], sizeof pend[i] - fill[i]);
                if (r > 0) {
                    if (i == 0 && t0 == 0)
                        t0 = Now();
                    if (i == 0 && eot == 0 && r == 1 && pend[0][fill[0]] == 0x04)
                        eot = Now();
                    fill[i] += (size_t)r;
                }
            }
        }
        for (int i = 0; i < 2; ++i)
            if (gate[i] && fill[i] > 0 && (InRead(reader[i]) || Now() - gateSince[i] > 0.005))
                gate[i] = 0;
        for (int i = 0; i < 2; ++i) {
            if (gate[i])
                continue;
            if (fill[i] > 0) {
                ssize_t w = write(masters[1 - i], pend[i], fill[i]);
                if (w > 0) {
                    gate[1 - i] = 1;
                    gateSince[1 - i] = Now();
                }
                if (w > 0) {
                    memmove(pend[i], pend[i] + w, fill[i] - (size_t)w);
                    fill[i] -= (size_t)w;
                }
            }
        }
        int s;
        pid_t pid;
        while ((pid = waitpid(-1, &s, WNOHANG)) > 0) {
            if (pid == rx || pid == sx) {
                status[pid == rx ? 0 : 1] = s;
                --left;
                end = Now();
                if (left == 1 && limit > end + 1)
                    limit = end + 1;  /* the other side follows at once, or has failed */
            }
        }
    }
    if (left == 1 && status[0] != -1 && WIFEXITED(status[0]) && WEXITSTATUS(status[0]) == 0) {
        /* The receiver has the whole file and has answered the EOT; a
         * sender that missed that last answer is not waited for. */
        kill(sx, SIGKILL);
        waitpid(sx, &status[1], 0);
        status[1] = 0;
        left = 0;
    }
    if (left > 0) {
        kill(rx, SIGKILL);
        kill(sx, SIGKILL);
        while (waitpid(-1, NULL, 0) > 0) {
        }
        fprintf(stderr, "xmodem_pair: transfer did not end (receiver status %d, sender status %d)\n", status[0],
                status[1]);
        return 1;
    }
    int ok = WIFEXITED(status[0]) && WEXITSTATUS(status[0]) == 0 && WIFEXITED(status[1]) &&
             WEXITSTATUS(status[1]) == 0 && SameFiles(file, copy);
    /* The receiver waits a second after the sender's EOT for a repeated
     * one before it answers; that pause is not part of the transfer. */
    double secs = (eot > 0 ? eot : end) - t0;
    printf("xmodem_seconds %.3f\n", secs);
    printf("xmodem_Bps %.0f\n", (double)st.st_size / secs);
    if (!ok)
        fprintf(stderr, "xmodem_pair: the copy in %s differs or a side failed (%d, %d)\n", copy, status[0],
                status[1]);
    unlink(copy);
    return ok ? 0 : 1;
}
