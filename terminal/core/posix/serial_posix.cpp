// Serial port layer on POSIX terminals (serial devices, USB adapters,
// pseudo-terminals).
//
// COM n names the device in the environment variable TARVIK_COM<n>, or
// /dev/ttyS<n-1>.  A port is opened exclusively: an advisory lock that every
// tarvik takes, and TIOCEXCL against other programs.  The line is raw 8-bit;
// the descriptor never blocks on reads, which matches the read time-outs
// that the program's polling rests on.
#include "serial.h"
#include "serial_posix.h"
#include "serial_use.h"

#include "console.h"
#include "globals.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#ifndef CMSPAR
#define CMSPAR 010000000000
#endif

std::atomic<ComHandle> PortHandles[ComPortCount];
std::atomic<int> RtsState{1};

namespace {

// A port's descriptor, held open for as long as this object lives.
class PortFd {
public:
    explicit PortFd(int n) : use_(n) {}
    int Get() const { return static_cast<int>(use_.Handle()); }

private:
    PortUse use_;
};

// The wake-up pipe of ComWake: its read end sits beside the port in every
// ComWaitReadable.
int WakeRead = -1;
int WakeWrite = -1;

void OpenWakePipe()
{
    if (WakeRead >= 0)
        return;
    int p[2];
    if (pipe2(p, O_NONBLOCK | O_CLOEXEC) == 0) {
        WakeRead = p[0];
        WakeWrite = p[1];
    }
}

void DrainWakePipe()
{
    char sink[64];
    while (read(WakeRead, sink, sizeof sink) > 0) {
    }
}

// A write that the driver does not take within this time fails.
constexpr int WriteStallMs = 5000;

}  // namespace

void ComResetTable()
{
    for (auto &h : PortHandles)
        h = ComNoHandle;
    OpenWakePipe();
}

void ComWake()
{
    if (WakeWrite >= 0) {
        char c = 1;
        ssize_t w = write(WakeWrite, &c, 1);  // a full pipe already wakes
        (void)w;
    }
}

void ComDeviceName(int n, char *buf, int size)
{
    char var[32];
    std::snprintf(var, sizeof var, "TARVIK_COM%d", n);
    const char *dev = std::getenv(var);
    if (dev != nullptr && dev[0] != 0)
        std::snprintf(buf, size, "%s", dev);
    else
        std::snprintf(buf, size, "/dev/ttyS%d", n - 1);
}

void ComPosixApplyFormat(tcflag_t *cflag, int parity, int data, int stop)
{
    switch (data) {
    case 5: *cflag = (*cflag & ~CSIZE) | CS5; break;
    case 6: *cflag = (*cflag & ~CSIZE) | CS6; break;
    case 7: *cflag = (*cflag & ~CSIZE) | CS7; break;
    case 8: *cflag = (*cflag & ~CSIZE) | CS8; break;
    default: break;
    }
    const tcflag_t parityBits = PARENB | PARODD | CMSPAR;
    switch (parity) {
    case 0: *cflag &= ~parityBits; break;
    case 1: *cflag = (*cflag & ~parityBits) | PARENB; break;
    case 2: *cflag = (*cflag & ~parityBits) | PARENB | PARODD; break;
    case 3: *cflag = (*cflag & ~parityBits) | PARENB | CMSPAR | PARODD; break;  // mark
    case 4: *cflag = (*cflag & ~parityBits) | PARENB | CMSPAR; break;           // space
    default: break;
    }
    if (stop == 1)
        *cflag &= ~CSTOPB;
    else if (stop == 2)
        *cflag |= CSTOPB;
}

void ComPosixApplyFlow(tcflag_t *cflag, int mode)
{
    // POSIX has one hardware handshake that covers both directions; modes 1
    // and 2 both use it.  Mode 3 (RTS raised while sending) is asked of the
    // driver separately; here it is no CTS handshake.
    if (mode == 1 || mode == 2)
        *cflag |= CRTSCTS;
    else
        *cflag &= ~CRTSCTS;
}

int ComOpen(int n)
{
    if (n < 1 || n > 256)
        return -2;
    if (PortHandles[n].load() != ComNoHandle)
        return -1;
    char dev[512];
    ComDeviceName(n, dev, sizeof dev);
    int fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    if (!isatty(fd)) {
        close(fd);
        return ENOTTY;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = (errno == EWOULDBLOCK) ? EBUSY : errno;
        close(fd);
        return err;
    }
    ioctl(fd, TIOCEXCL);

    // Raw 8-bit line: no input or output processing, no echo, receiver on,
    // modem lines of the local kind.
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
        t.c_oflag &= ~OPOST;
        t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        t.c_cflag |= CREAD | CLOCAL;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &t);
    }
    PortHandles[n] = fd;
    if (tcflush(fd, TCIOFLUSH) != 0)
        std::printf("[PurgeCom error]");
    return 0;
}

int ComClose(int n)
{
    if (n < 1 || n >= ComPortCount)
        return -1;
    if (PortHandles[n].load() == ComNoHandle)
        return -1;
    ComHandle h = ComRetireHandle(n);
    if (h == ComNoHandle)
        return -1;
    if (close(static_cast<int>(h)) != 0 && errno != EINTR)
        return errno;
    return 0;
}

int ComRead(int n, void *buffer, int max)
{
    PortFd port(n);
    int fd = port.Get();
    if (fd < 0)
        return -2;
    ssize_t got = read(fd, buffer, static_cast<size_t>(max));
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return 0;
        return -1;
    }
    if (got > 0 && LogEnabled) {
        int log = LogFile.load();
        if (log >= 0) {
            ssize_t w = write(log, buffer, static_cast<size_t>(got));
            (void)w;
        }
    }
    return static_cast<int>(got);
}

int ComWrite(int n, const void *buffer, int count)
{
    PortFd port(n);
    int fd = port.Get();
    if (fd < 0)
        return -2;
    const char *p = static_cast<const char *>(buffer);
    int done = 0;
    while (done < count) {
        ssize_t w = write(fd, p + done, static_cast<size_t>(count - done));
        if (w > 0) {
            done += static_cast<int>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return errno;
        // The driver's queue is full: wait until it takes more, but not for
        // ever (a line held by flow control).
        struct pollfd pf = {fd, POLLOUT, 0};
        int r = poll(&pf, 1, WriteStallMs);
        if (r == 0)
            return ETIMEDOUT;
        if (r < 0 && errno != EINTR)
            return errno;
        if (r > 0 && (pf.revents & (POLLERR | POLLNVAL)))
            return EIO;
    }
    return done;
}

void ComSetTimeouts(int n)
{
    PortFd port(n);
    int fd = port.Get();
    if (fd < 0)
        return;
    // Reads return at once with what is buffered: non-blocking descriptor,
    // and no minimum count or inter-byte timer in the driver.
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &t);
    }
}

void ComSetQueues(int n)
{
    // The POSIX drivers' queue sizes are fixed by the driver; the program's
    // own receive buffer (4096 bytes a read) is what it relies on.
    (void)n;
}

int ComSetBaud(int n, int rate)
{
    int saved = ConGetColor();
    ConSetColor(0x31);
    PortFd port(n);
    int fd = port.Get();
    if (fd < 0) {
        std::printf("Set baudrate error!\n\r");
        ConSetColor(saved);
        return 0;
    }
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        ComPosixApplyFlow(&t.c_cflag, FlowControl);
        tcsetattr(fd, TCSANOW, &t);
    }
    int mode = FlowControl;
    if (mode != 2) {
        int bits = TIOCM_RTS;
        ioctl(fd, TIOCMBIS, &bits);  // RTS on (RTS_CONTROL_ENABLE)
    }
    // Mode 3: RTS raised only while sending, where the driver can do it
    // (RS-485 drivers); elsewhere the line stays as in mode 0.
    ComPosixSetRtsOnSend(fd, mode == 3);
    unsigned old = 0;
    ComPosixGetSpeed(fd, &old);
    std::printf("original baudrate = %lu!\n\r", static_cast<unsigned long>(old));
    ComPosixSetSpeed(fd, static_cast<unsigned>(rate));
    unsigned now = 0;
    ComPosixGetSpeed(fd, &now);
    std::printf("now baudrate = %lu!\n\r", static_cast<unsigned long>(now));
    ConSetColor(saved);
    return 1;
}

void ComSetFormat(int n, unsigned char parity, unsigned char data, unsigned char stop)
{
    PortFd port(n);
    int fd = port.Get();
    if (fd < 0)
        return;
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return;
    ComPosixApplyFormat(&t.c_cflag, parity, data, stop);
    tcsetattr(fd, TCSANOW, &t);
}

void ComToggleRts()
{
    int saved = ConGetColor();
    ConSetColor(2);
    if (FlowControl > 1) {
        std::printf("\nIn RTS_CONTROL_HANDSHAKE MODE cannot change RTS status.\n");
    } else {
        RtsState = RtsState ? 0 : 1;
        PortFd port(CurrentPort);
        int fd = port.Get();
        int bits = TIOCM_RTS;
        if (RtsState) {
            if (fd >= 0)
                ioctl(fd, TIOCMBIS, &bits);
            std::printf("\nSends the RTS signal");
        } else {
            if (fd >= 0)
                ioctl(fd, TIOCMBIC, &bits);
            std::printf("\nClears the RTS signal");
        }
    }
    ConSetColor(saved);
    std::fflush(stdout);
}

void ComSendBreak()
{
    PortFd port(CurrentPort);
    int fd = port.Get();
    if (fd >= 0)
        ioctl(fd, TIOCSBRK);
    std::printf("[start Send Break]");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    if (fd >= 0)
        ioctl(fd, TIOCCBRK);
    std::printf("[Send Break END]");
    std::fflush(stdout);
}

int ComGetCts(int n, int *cts)
{
    PortFd port(n);
    int fd = port.Get();
    if (fd < 0)
        return -1;
    int bits = 0;
    if (ioctl(fd, TIOCMGET, &bits) != 0)
        return -1;
    *cts = (bits & TIOCM_CTS) ? 1 : 0;
    return 0;
}

int ComWaitReadable(int n, int timeout_ms)
{
    std::fflush(stdout);
    PortFd port(n);
    int fd = port.Get();
    if (fd < 0)
        return -1;
    struct pollfd p[2] = {{fd, POLLIN, 0}, {WakeRead, POLLIN, 0}};
    int r = poll(p, WakeRead >= 0 ? 2 : 1, timeout_ms);
    if (r < 0)
        return errno == EINTR ? 0 : -1;
    if (r == 0)
        return 0;
    if (p[0].revents & POLLIN)
        return 1;
    if (p[0].revents != 0)
        return -1;  // hang-up or error: nothing to wait for on this handle
    DrainWakePipe();
    return 0;
}
