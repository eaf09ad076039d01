// Serial port layer on POSIX terminals (serial devices, USB adapters,
// pseudo-terminals).
//
// COM n names the device in the environment variable TARVIK_COM<n>, or
// /dev/ttyS<n-1>.  A port is opened exclusively: an advisory lock that every
// tarvik takes, and TIOCEXCL against other programs.  The line is raw 8-bit;
// the descriptor never blocks on reads, which matches the read time-outs
// that the program's polling rests on.
//
// A device that goes away (adapter unplugged, the far side of a
// pseudo-terminal closed, a hang-up) leaves a descriptor that reads end of
// file and polls as hung up: ComRead reports it as ComGone and the port keeps
// its table entry; ComReopen opens the same path again with the settings
// last given to the port.
//
// A device word rfc2217://HOST:PORT or tcp://HOST:PORT is a network port
// (serial_net_posix.cpp): a connection that the server drops is gone, a new
// one is back, as for a device.
//
// Low latency: a USB adapter holds received bytes up to its latency timer
// (16 ms on the common chips), and every answer of a block transfer waits
// for it.  Opening a port asks the driver for low latency where it has the
// setting (and it is off), unless ComLowLatency is 0; closing the port puts
// it back, and so do the program's end and the signals that end it.
//
// Modem lines: where the driver offers TIOCMIWAIT, a thread of this layer
// waits in it and wakes ComWaitReadable when CTS changes, so an idle wait
// needs no time-out; where it does not, a wait without a time-out looks at
// CTS twice a second; a port without modem lines (a pseudo-terminal) is
// waited on without any time-out.
#include "serial_system.h"
#include "serial_posix.h"
#include "serial_net_posix.h"
#include "sigchain_posix.h"
#include "netport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#ifndef CMSPAR
#define CMSPAR 010000000000
#endif

namespace {

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

// Set when a read found port n's device gone; cleared when it is opened
// again.
std::atomic<int> PortGone[ComPortCount];

// The settings last given to each port, for ComReopen: the line's termios,
// its bit rate, and whether RTS was asked to rise only while sending.
struct SavedSettings {
    bool have = false;
    struct termios tios;
    unsigned rate = 0;
    int modemBits = -1;  // RTS and DTR as set (-1: no modem lines)
    bool rtsOnSend = false;
};
std::mutex SavedLock;
SavedSettings Saved[ComPortCount];

void RememberSettings(int n, int fd)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return;
    unsigned rate = 0;
    ComPosixGetSpeed(fd, &rate);
    int bits = 0;
    int modem = ioctl(fd, TIOCMGET, &bits) == 0 ? (bits & (TIOCM_RTS | TIOCM_DTR)) : -1;
    std::lock_guard<std::mutex> lock(SavedLock);
    Saved[n].have = true;
    Saved[n].tios = t;
    Saved[n].rate = rate;
    Saved[n].modemBits = modem;
}

void RememberRtsOnSend(int n, bool on)
{
    std::lock_guard<std::mutex> lock(SavedLock);
    Saved[n].rtsOnSend = on;
}

// Whether a descriptor's device has gone: hung up, or its far side closed.
bool DeviceGone(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0)
        return false;
    return (p.revents & (POLLHUP | POLLERR)) != 0;
}

// Opens COM n's device as a raw 8-bit line: 0 and the descriptor in *out,
// or the system's error code.
int OpenDevice(int n, int *out)
{
    char dev[512];
    ComSysDeviceName(n, dev, sizeof dev);
    NetAddress address;
    if (NetParseAddress(dev, &address) != NetNotAddress)
        return NetOpen(n, dev, out);
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
    *out = fd;
    return 0;
}

// Waits (bounded) until no operation uses port n, as ComRetireHandle does.
bool WaitNoUsers(int n)
{
    for (int waited = 0; PortUsers[n].load() != 0; ++waited) {
        if (waited >= 10000)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// ---- Low latency ---------------------------------------------------------

// The descriptor + 1 of each port whose driver was asked for low latency by
// us (0: nothing to put back).  Read by the signal handler.
std::atomic<int> LowLatencyFd[ComPortCount];

const int LatencySignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int LatencySignalCount = sizeof LatencySignals / sizeof LatencySignals[0];
struct sigaction LatencyPrevious[LatencySignalCount];

// Puts back every port's setting; safe in a signal handler.
void PutAllLatencyBack()
{
    for (auto &entry : LowLatencyFd) {
        int v = entry.exchange(0);
        if (v != 0)
            ComPosixSetLowLatency(v - 1, false);
    }
}

void PutAllLatencyBackAtExit()
{
    PutAllLatencyBack();
}

void OnLatencySignal(int sig, siginfo_t *info, void *context)
{
    int savedErrno = errno;  // the interrupted call's
    SigDefault(sig);
    PutAllLatencyBack();
    errno = savedErrno;
    int i = 0;
    while (i < LatencySignalCount && LatencySignals[i] != sig)
        ++i;
    // Whoever handled the signal before (the console's restore, the
    // headless run's report, a sanitizer) goes on as it would have.
    SigPassOn(sig, info, context, i < LatencySignalCount ? &LatencyPrevious[i] : nullptr);
}

// Once, at the first port given low latency: the handlers in front of
// those already there, and the program's end.
void InstallLatencyRestore()
{
    static std::once_flag once;
    std::call_once(once, [] {
        for (int i = 0; i < LatencySignalCount; ++i) {
            struct sigaction old {};
            if (sigaction(LatencySignals[i], nullptr, &old) != 0 || old.sa_handler == SIG_IGN)
                continue;  // ignored (nohup): it stays so
            struct sigaction sa;
            std::memset(&sa, 0, sizeof sa);
            sa.sa_sigaction = OnLatencySignal;
            sa.sa_flags = SA_SIGINFO;
            sigemptyset(&sa.sa_mask);
            sigaction(LatencySignals[i], &sa, &LatencyPrevious[i]);
        }
        std::atexit(PutAllLatencyBackAtExit);
    });
}

void AskLowLatency(int n, int fd)
{
    if (ComLowLatency.load() == 0 || ComPosixGetLowLatency(fd) != 0)
        return;  // left as it is, on already, or no such setting
    InstallLatencyRestore();
    if (ComPosixSetLowLatency(fd, true) == 0)
        LowLatencyFd[n] = fd + 1;
}

// Before port n's descriptor is closed.
void PutLatencyBack(int n)
{
    int v = LowLatencyFd[n].load();
    if (v == 0)
        return;
    ComPosixSetLowLatency(v - 1, false);
    LowLatencyFd[n] = 0;
}

// ---- Modem-line watch -----------------------------------------------------
//
// One thread at most, for the port that ComWaitReadable last waited on.  It
// holds its own duplicate of the descriptor (so the number it waits on is
// never another file's) and is stopped, by a signal that ends its wait, before
// the port is closed or reopened: the duplicate would otherwise keep the
// device and its lock.

constexpr int ModemStopSignal = SIGURG;  // ignored by default; ours here

struct ModemWatchState {
    std::mutex lock;          // start and stop
    bool running = false;     // a thread exists (joinable)
    pthread_t thread{};
    int port = 0;
    ComHandle handle = ComNoHandle;
    int dupFd = -1;
    std::atomic<bool> stop{false};
    std::atomic<bool> ended{false};
    // The driver cannot wait on this handle's modem lines.
    std::atomic<ComHandle> unsupported{ComNoHandle};
};
ModemWatchState ModemWatch;

void OnModemStopSignal(int) {}

void *ModemWatchMain(void *)
{
    int fd = ModemWatch.dupFd;
    while (!ModemWatch.stop.load()) {
        if (ioctl(fd, TIOCMIWAIT, TIOCM_CTS) == 0) {
            ComSysWake();  // the receive loop looks at CTS at once
            continue;
        }
        if (errno == EINTR)
            continue;
        // Not supported (or the device has gone): this handle's waits look
        // at CTS themselves from now on.
        ModemWatch.unsupported = ModemWatch.handle;
        break;
    }
    ModemWatch.ended = true;
    ComSysWake();
    return nullptr;
}

// Caller holds ModemWatch.lock.
void StopModemWatchLocked()
{
    if (!ModemWatch.running)
        return;
    ModemWatch.stop = true;
    // The signal ends a wait under way; one sent before the thread entered
    // it is repeated until the thread has seen the stop flag.
    for (int i = 0; !ModemWatch.ended.load() && i < 2000; ++i) {
        pthread_kill(ModemWatch.thread, ModemStopSignal);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (ModemWatch.ended.load()) {
        pthread_join(ModemWatch.thread, nullptr);
        close(ModemWatch.dupFd);
    } else {
        pthread_detach(ModemWatch.thread);  // never seen; the bound is a back-stop
    }
    ModemWatch.running = false;
    ModemWatch.dupFd = -1;
    ModemWatch.port = 0;
    ModemWatch.handle = ComNoHandle;
}

void StopModemWatch(int n)
{
    std::lock_guard<std::mutex> lock(ModemWatch.lock);
    if (ModemWatch.running && ModemWatch.port == n)
        StopModemWatchLocked();
}

// Makes sure a modem-line thread watches port n's handle h.  Returns true
// when one does (CTS changes then end a wait by ComWake).
bool WatchModemLines(int n, int fd)
{
    std::lock_guard<std::mutex> lock(ModemWatch.lock);
    ComHandle h = fd;
    if (ModemWatch.running && ModemWatch.port == n && ModemWatch.handle == h && !ModemWatch.ended.load())
        return true;
    if (ModemWatch.unsupported == h && ModemWatch.port == n)
        return false;
    StopModemWatchLocked();
    int bits = 0;
    if (ioctl(fd, TIOCMGET, &bits) != 0) {
        // No modem lines at all (a pseudo-terminal): nothing to watch.
        ModemWatch.port = n;
        ModemWatch.unsupported = h;
        return false;
    }
    static std::once_flag handlerOnce;
    std::call_once(handlerOnce, [] {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = OnModemStopSignal;  // no SA_RESTART: the wait ends
        sigemptyset(&sa.sa_mask);
        sigaction(ModemStopSignal, &sa, nullptr);
    });
    int d = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (d < 0)
        return false;
    ModemWatch.port = n;
    ModemWatch.handle = h;
    ModemWatch.dupFd = d;
    ModemWatch.stop = false;
    ModemWatch.ended = false;
    ModemWatch.unsupported = ComNoHandle;
    if (pthread_create(&ModemWatch.thread, nullptr, ModemWatchMain, nullptr) != 0) {
        close(d);
        ModemWatch.dupFd = -1;
        ModemWatch.unsupported = h;
        return false;
    }
    ModemWatch.running = true;
    return true;
}

// Whether port n's handle reports modem lines that no thread watches (the
// driver has no TIOCMIWAIT): such a wait must look at CTS itself.
bool ModemLinesUnwatched(int n, int fd)
{
    std::lock_guard<std::mutex> lock(ModemWatch.lock);
    if (ModemWatch.port != n || ModemWatch.unsupported.load() != static_cast<ComHandle>(fd))
        return false;
    int bits = 0;
    return ioctl(fd, TIOCMGET, &bits) == 0;
}

// How often a wait without a time-out looks at CTS where no thread watches it.
constexpr int CtsPollMs = 500;

}  // namespace

void ComSysStart()
{
    OpenWakePipe();
}

void ComSysWake()
{
    if (WakeWrite >= 0) {
        char c = 1;
        ssize_t w = write(WakeWrite, &c, 1);  // a full pipe already wakes
        (void)w;
    }
}

void ComSysDeviceName(int n, char *buf, int size)
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

int ComSysOpen(int n, ComHandle *h)
{
    int fd = -1;
    int err = OpenDevice(n, &fd);
    if (err != 0)
        return err;
    PortGone[n] = 0;
    if (!NetIsPort(n)) {
        RememberSettings(n, fd);
        AskLowLatency(n, fd);
    }
    *h = fd;
    return 0;
}

bool ComSysPurge(int n, ComHandle h)
{
    if (NetIsPort(n)) {
        NetPurge(n);
        return true;
    }
    return tcflush(static_cast<int>(h), TCIOFLUSH) == 0;
}

int ComSysClose(int n)
{
    if (PortHandles[n].load() == ComNoHandle)
        return -1;
    StopModemWatch(n);
    ComHandle h = ComRetireHandle(n);
    if (h == ComNoHandle)
        return -1;
    PortGone[n] = 0;
    if (NetIsPort(n))
        NetForget(n, static_cast<int>(h));
    else
        PutLatencyBack(n);
    if (close(static_cast<int>(h)) != 0 && errno != EINTR)
        return errno;
    return 0;
}

namespace {

// Puts the new descriptor of port n in place of old, unless the port was
// closed or switched meanwhile, and closes old once no operation uses it.
int ReplaceHandle(int n, ComHandle old, int fd)
{
    ComHandle expected = old;
    if (!PortHandles[n].compare_exchange_strong(expected, fd)) {
        // Closed or switched meanwhile: the new descriptor is not wanted.
        if (NetIsPort(n))
            NetForget(n, fd);
        close(fd);
        return -2;
    }
    if (!NetIsPort(n)) {
        // The device that came back is asked afresh (what the old one had
        // is put back first, where it is still there).
        PutLatencyBack(n);
        AskLowLatency(n, fd);
    }
    PortGone[n] = 0;
    ComSysWake();
    // Operations that took the old descriptor before the exchange finish
    // on it (they fail at once); it is closed when they have.
    if (WaitNoUsers(n))
        close(static_cast<int>(old));
    return 0;
}

// A network port connects again and gives the server's port its settings.
int ReopenNetPort(int n, ComHandle old)
{
    int fd = -1;
    char dev[512];
    ComSysDeviceName(n, dev, sizeof dev);
    int err = NetOpen(n, dev, &fd);
    if (err != 0)
        return err;
    NetReapply(n, fd);
    return ReplaceHandle(n, old, fd);
}

}  // namespace

int ComSysReopen(int n)
{
    ComHandle old = PortHandles[n].load();
    if (old == ComNoHandle)
        return -2;
    StopModemWatch(n);
    if (NetIsPort(n))
        return ReopenNetPort(n, old);
    // Our own lock on the old descriptor would refuse the new one when the
    // device is the same (a hang-up leaves the node in place).
    flock(static_cast<int>(old), LOCK_UN);
    int fd = -1;
    int err = OpenDevice(n, &fd);
    if (err != 0)
        return err;
    SavedSettings saved;
    {
        std::lock_guard<std::mutex> lock(SavedLock);
        saved = Saved[n];
    }
    if (saved.have) {
        tcsetattr(fd, TCSANOW, &saved.tios);
        if (saved.rate != 0)
            ComPosixSetSpeed(fd, saved.rate);
    }
    if (saved.have && saved.modemBits >= 0) {
        int on = saved.modemBits;
        int off = (TIOCM_RTS | TIOCM_DTR) & ~on;
        ioctl(fd, TIOCMBIS, &on);
        ioctl(fd, TIOCMBIC, &off);
    }
    if (saved.rtsOnSend)
        ComPosixSetRtsOnSend(fd, true);
    tcflush(fd, TCIOFLUSH);
    return ReplaceHandle(n, old, fd);
}

int ComSysRead(int n, ComHandle h, void *buffer, int max)
{
    int fd = static_cast<int>(h);
    if (fd < 0)
        return -2;
    if (PortGone[n].load() != 0)
        return ComGone;
    if (NetIsPort(n)) {
        int got = NetRead(n, fd, buffer, max);
        if (got == ComGone)
            PortGone[n] = 1;
        return got;
    }
    ssize_t got = read(fd, buffer, static_cast<size_t>(max));
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return 0;
        if (errno != EIO)
            return -1;
    }
    if (got <= 0) {
        // Nothing waiting reads as 0 on a terminal line, and so does a
        // device that has gone: the descriptor's poll state tells which.
        if (got == 0 && !DeviceGone(fd))
            return 0;
        PortGone[n] = 1;
        return ComGone;
    }
    return static_cast<int>(got);
}

int ComSysWrite(int n, ComHandle h, const void *buffer, int count)
{
    int fd = static_cast<int>(h);
    if (NetIsPort(n))
        return NetWrite(n, fd, buffer, count);
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

void ComSysSetTimeouts(int n, ComHandle h)
{
    int fd = static_cast<int>(h);
    if (NetIsPort(n))
        return;  // a network port never blocks a read
    // Reads return at once with what is buffered: non-blocking descriptor,
    // and no minimum count or inter-byte timer in the driver.
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &t);
        RememberSettings(n, fd);
    }
}

void ComSysSetQueues(int, ComHandle)
{
    // The POSIX drivers' queue sizes are fixed by the driver; the program's
    // own receive buffer (4096 bytes a read) is what it relies on.
}

void ComSysSetRate(int n, ComHandle h, int flowMode, int rate, unsigned long *before, unsigned long *after)
{
    int fd = static_cast<int>(h);
    if (NetIsPort(n)) {
        NetSetRate(n, fd, flowMode, rate, before, after);
        return;
    }
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        ComPosixApplyFlow(&t.c_cflag, flowMode);
        tcsetattr(fd, TCSANOW, &t);
    }
    if (flowMode != 2) {
        int bits = TIOCM_RTS;
        ioctl(fd, TIOCMBIS, &bits);  // RTS on (RTS_CONTROL_ENABLE)
    }
    // Mode 3: RTS raised only while sending, where the driver can do it
    // (RS-485 drivers); elsewhere the line stays as in mode 0.
    ComPosixSetRtsOnSend(fd, flowMode == 3);
    RememberRtsOnSend(n, flowMode == 3);
    unsigned old = 0;
    ComPosixGetSpeed(fd, &old);
    ComPosixSetSpeed(fd, static_cast<unsigned>(rate));
    unsigned now = 0;
    ComPosixGetSpeed(fd, &now);
    *before = old;
    *after = now;
    RememberSettings(n, fd);
}

void ComSysSetFormat(int n, ComHandle h, int parity, int data, int stop)
{
    int fd = static_cast<int>(h);
    if (NetIsPort(n)) {
        NetSetFormat(n, fd, parity, data, stop);
        return;
    }
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return;
    ComPosixApplyFormat(&t.c_cflag, parity, data, stop);
    tcsetattr(fd, TCSANOW, &t);
    RememberSettings(n, fd);
}

void ComSysSetRts(int n, ComHandle h, bool on)
{
    int fd = static_cast<int>(h);
    if (NetIsPort(n)) {
        NetSetRts(n, fd, on);
        return;
    }
    int bits = TIOCM_RTS;
    ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
    RememberSettings(n, fd);
}

void ComSysBreak(int n, ComHandle h, bool on)
{
    if (NetIsPort(n))
        NetBreak(n, static_cast<int>(h), on);
    else
        ioctl(static_cast<int>(h), on ? TIOCSBRK : TIOCCBRK);
}

int ComSysGetCts(int n, ComHandle h, int *cts)
{
    if (NetIsPort(n))
        return NetGetCts(n, static_cast<int>(h), cts);
    int bits = 0;
    if (ioctl(static_cast<int>(h), TIOCMGET, &bits) != 0)
        return -1;
    *cts = (bits & TIOCM_CTS) ? 1 : 0;
    return 0;
}

int ComSysWaitReadable(int n, ComHandle h, int timeout_ms)
{
    int fd = static_cast<int>(h);
    if (fd < 0)
        return -1;
    if (PortGone[n].load() != 0)
        return 1;  // ComRead tells that the device has gone
    bool net = NetIsPort(n);
    if (net && NetPending(n))
        return 1;  // received and decoded, not read yet
    int slice = timeout_ms;
    int ctsAtStart = -1;
    if (timeout_ms < 0 && !net && !WatchModemLines(n, fd) && ModemLinesUnwatched(n, fd)) {
        // No thread tells of CTS changes: look at CTS now and then.
        int bits = 0;
        if (ioctl(fd, TIOCMGET, &bits) == 0) {
            ctsAtStart = (bits & TIOCM_CTS) ? 1 : 0;
            slice = CtsPollMs;
        }
    }
    for (;;) {
        struct pollfd p[2] = {{fd, POLLIN, 0}, {WakeRead, POLLIN, 0}};
        int r = poll(p, WakeRead >= 0 ? 2 : 1, slice);
        if (r < 0)
            return errno == EINTR ? 0 : -1;
        if (r == 0) {
            if (ctsAtStart < 0)
                return 0;
            int bits = 0;
            if (ioctl(fd, TIOCMGET, &bits) != 0 || ((bits & TIOCM_CTS) ? 1 : 0) != ctsAtStart)
                return 0;
            continue;
        }
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR))
            return 1;
        if (p[0].revents != 0)
            return -1;  // not a descriptor that can be waited on
        DrainWakePipe();
        return 0;
    }
}
