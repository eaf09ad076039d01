/*
 * The raw floor of a pseudo-terminal for a block protocol: one process on
 * the terminal side writes a block (260 bytes by default) and waits for a
 * one-byte answer; a second process on the other side reads until the
 * whole block is in and answers.  Both sides use plain blocking reads and
 * one write each, nothing else, so no protocol can be faster on the same
 * kind of line.
 *
 *   pty_floor [rounds] [block-bytes]      (2000, 260)
 *
 * Prints "floor_rtt_us <microseconds a round trip>" and
 * "floor_payload_Bps <bytes/s>", counting 256 payload bytes for a 260-byte
 * block (block - 4 in general).  With a 1-byte block it is the reference of
 * a reaction time: one byte through two pseudo-terminal hops and a process.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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

static int ReadFull(int fd, unsigned char *p, size_t n)
{
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, p + got, n - got);
        if (r <= 0)
            return -1;
        got += (size_t)r;
    }
    return 0;
}

static void MakeRaw(int fd)
{
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &t);
    }
}

int main(int argc, char **argv)
{
    long rounds = argc > 1 ? atol(argv[1]) : 2000;
    long block = argc > 2 ? atol(argv[2]) : 260;
    if (rounds < 10 || rounds > 10000000)
        rounds = 2000;
    if (block < 1 || block > 65536)
        block = 260;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        perror("pty_floor: posix_openpt");
        return 1;
    }
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) {
        perror("pty_floor: open slave");
        return 1;
    }
    MakeRaw(slave);
    MakeRaw(master);
    unsigned char *buf = calloc((size_t)block, 1);
    if (buf == NULL)
        return 1;

    pid_t peer = fork();
    if (peer == 0) {
        /* The controller's side: a whole block in, one byte out. */
        close(slave);
        unsigned char ack = 0x06;
        for (;;) {
            if (ReadFull(master, buf, (size_t)block) != 0)
                _exit(0);
            if (write(master, &ack, 1) != 1)
                _exit(0);
        }
    }
    memset(buf, 0x5A, (size_t)block);
    long warm = rounds / 10;
    double t0 = 0;
    for (long i = 0; i < rounds + warm; ++i) {
        if (i == warm)
            t0 = Now();
        if (write(slave, buf, (size_t)block) != block) {
            perror("pty_floor: write");
            return 1;
        }
        unsigned char reply;
        if (ReadFull(slave, &reply, 1) != 0) {
            perror("pty_floor: read");
            return 1;
        }
    }
    double t = Now() - t0;
    kill(peer, SIGTERM);
    waitpid(peer, NULL, 0);
    double rtt = t / (double)rounds;
    printf("floor_rtt_us %.2f\n", rtt * 1e6);
    if (block > 4)
        printf("floor_payload_Bps %.0f\n", (double)(block - 4) / rtt);
    return 0;
}
