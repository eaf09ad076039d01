// The serial layer's rules, the same on every system: port numbers, the
// port table, the messages and colours of the settings, the RTS state and
// the log's copy of received bytes.  What a system does for a port is its
// back-end's (serial_system.h).
#include "serial.h"
#include "serial_system.h"

#include "console.h"
#include "globals.h"
#include "logfile.h"
#include "system.h"
#include "timestamp.h"

#include <cstdio>

std::atomic<ComHandle> PortHandles[ComPortCount];
std::atomic<int> RtsState{1};
std::atomic<int> ComLowLatency{1};

namespace {

bool InRange(int n)
{
    return n >= 1 && n < ComPortCount;
}

// How long ComSendBreak holds the line in a break.
constexpr int BreakMs = 2000;

}  // namespace

void ComResetTable()
{
    for (auto &h : PortHandles)
        h = ComNoHandle;
    ComSysStart();
}

void ComWake()
{
    ComSysWake();
}

void ComDeviceName(int n, char *buf, int size)
{
    ComSysDeviceName(n, buf, size);
}

int ComOpen(int n)
{
    if (n < 1 || n > 256)
        return -2;
    if (PortHandles[n].load() != ComNoHandle)
        return -1;
    ComHandle h = ComNoHandle;
    int err = ComSysOpen(n, &h);
    if (err != 0)
        return err;
    PortHandles[n] = h;
    if (!ComSysPurge(n, h))
        std::printf("[PurgeCom error]");
    return 0;
}

int ComClose(int n)
{
    if (!InRange(n))
        return -1;
    return ComSysClose(n);
}

int ComReopen(int n)
{
    if (!InRange(n))
        return -2;
    return ComSysReopen(n);
}

int ComRead(int n, void *buffer, int max)
{
    if (!InRange(n))
        return -2;
    PortUse port(n);
    int got = ComSysRead(n, port.Handle(), buffer, max);
    // The log takes the bytes as they came, unless the receive loop writes
    // it itself with time stamps.
    if (got > 0 && LogEnabled && StampedLog == 0) {
        int log = LogFile.load();
        if (log >= 0)
            LogWrite(log, buffer, got);
    }
    return got;
}

int ComWrite(int n, const void *buffer, int count)
{
    PortUse port(n);
    if (port.Handle() == ComNoHandle)
        return -2;
    return ComSysWrite(n, port.Handle(), buffer, count);
}

int ComWaitReadable(int n, int timeout_ms)
{
    std::fflush(stdout);
    if (!InRange(n))
        return -1;
    PortUse port(n);
    return ComSysWaitReadable(n, port.Handle(), timeout_ms);
}

void ComSetTimeouts(int n)
{
    PortUse port(n);
    if (port.Handle() != ComNoHandle)
        ComSysSetTimeouts(n, port.Handle());
}

void ComSetQueues(int n)
{
    PortUse port(n);
    if (port.Handle() != ComNoHandle)
        ComSysSetQueues(n, port.Handle());
}

int ComSetRate(int n, int rate, unsigned long *before, unsigned long *after)
{
    PortUse port(n);
    if (port.Handle() == ComNoHandle)
        return 0;
    ComSysSetRate(n, port.Handle(), FlowControl, rate, before, after);
    return 1;
}

int ComSetBaud(int n, int rate)
{
    int saved = ConGetColor();
    ConSetColor(0x31);
    unsigned long before = 0, after = 0;
    if (ComSetRate(n, rate, &before, &after) == 0) {
        std::printf("Set baudrate error!\n\r");
        ConSetColor(saved);
        return 0;
    }
    std::printf("original baudrate = %lu!\n\r", before);
    std::printf("now baudrate = %lu!\n\r", after);
    ConSetColor(saved);
    return 1;
}

void ComSetFormat(int n, unsigned char parity, unsigned char data, unsigned char stop)
{
    PortUse port(n);
    if (port.Handle() != ComNoHandle)
        ComSysSetFormat(n, port.Handle(), parity, data, stop);
}

void ComToggleRts()
{
    int saved = ConGetColor();
    ConSetColor(2);
    if (FlowControl > 1) {
        // The driver moves RTS itself in the handshake modes.
        std::printf("\nIn RTS_CONTROL_HANDSHAKE MODE cannot change RTS status.\n");
    } else {
        RtsState = RtsState ? 0 : 1;
        int n = CurrentPort;
        PortUse port(n);
        if (port.Handle() != ComNoHandle)
            ComSysSetRts(n, port.Handle(), RtsState != 0);
        std::printf(RtsState ? "\nSends the RTS signal" : "\nClears the RTS signal");
    }
    ConSetColor(saved);
    std::fflush(stdout);
}

void ComSendBreak()
{
    int n = CurrentPort;
    PortUse port(n);
    ComHandle h = port.Handle();
    if (h != ComNoHandle)
        ComSysBreak(n, h, true);
    std::printf("[start Send Break]");
    std::fflush(stdout);
    SysSleepMs(BreakMs);
    if (h != ComNoHandle)
        ComSysBreak(n, h, false);
    std::printf("[Send Break END]");
    std::fflush(stdout);
}

int ComGetCts(int n, int *cts)
{
    PortUse port(n);
    if (port.Handle() == ComNoHandle)
        return -1;
    return ComSysGetCts(n, port.Handle(), cts);
}
