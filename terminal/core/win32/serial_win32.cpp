// Serial port layer on the Win32 communications interface.
//
// COM n is the device "\\.\COMn": the plain "COMn" form reaches only COM1
// to COM9, the device form every number.  A port is opened for exclusive
// use (no sharing, and a named object that other tarviks respect).  Reads rest on the read time-outs of ComSetTimeouts,
// which make ReadFile return at once with what has arrived.
#include "serial.h"

#include "console.h"
#include "dcbfields.h"
#include "serial_use.h"
#include "globals.h"

#include <cstdio>
#include <io.h>
#include <windows.h>

std::atomic<ComHandle> PortHandles[ComPortCount];
std::atomic<int> RtsState{1};

namespace {

HANDLE Handle(int n)
{
    if (n < 1 || n >= ComPortCount)
        return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(PortHandles[n].load());
}

// A port's handle, held open for as long as this object lives.
class PortHandle {
public:
    explicit PortHandle(int n) : use_(n) {}
    HANDLE Get() const { return reinterpret_cast<HANDLE>(use_.Handle()); }

private:
    PortUse use_;
};

// Set by ComWake, taken by the next ComWaitReadable.
std::atomic<int> WakeFlag{0};

bool IsOpen(HANDLE h) { return h != INVALID_HANDLE_VALUE; }

DcbFields Fields(const DCB &dcb)
{
    return DcbFields{dcb.ByteSize, dcb.Parity, dcb.StopBits, static_cast<int>(dcb.fOutxCtsFlow),
                     static_cast<int>(dcb.fRtsControl)};
}

void Store(const DcbFields &f, DCB *dcb)
{
    dcb->ByteSize = static_cast<BYTE>(f.byteSize);
    dcb->Parity = static_cast<BYTE>(f.parity);
    dcb->StopBits = static_cast<BYTE>(f.stopBits);
    dcb->fOutxCtsFlow = f.outxCtsFlow ? 1 : 0;
    dcb->fRtsControl = static_cast<DWORD>(f.rtsControl) & 3;
}

// Every tarvik holds a named object per open port, so that a second tarvik
// cannot take a port that one already uses, even where the system's driver
// lets two handles share a device (wine's does).  The object goes with the
// process, however it ends.
HANDLE PortGuards[ComPortCount];

// A write that the driver does not take within this time fails (a line
// held by flow control must not hang the program).
constexpr DWORD WriteStallMs = 5000;

}  // namespace

void ComResetTable()
{
    for (auto &h : PortHandles)
        h = ComNoHandle;
}

void ComDeviceName(int n, char *buf, int size)
{
    std::snprintf(buf, static_cast<size_t>(size), "\\\\.\\COM%d", n);
}

int ComOpen(int n)
{
    if (n < 1 || n > 256)
        return -2;
    if (PortHandles[n].load() != ComNoHandle)
        return -1;
    char guardName[48];
    std::snprintf(guardName, sizeof guardName, "Local\\tarvik.port.COM%d", n);
    SetLastError(0);
    HANDLE guard = CreateMutexA(nullptr, FALSE, guardName);
    if (guard == nullptr)
        return static_cast<int>(GetLastError());
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Another tarvik has this port: the answer the system gives for a
        // port in use.
        CloseHandle(guard);
        return ERROR_ACCESS_DENIED;
    }
    char name[32];
    ComDeviceName(n, name, sizeof name);
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        int err = static_cast<int>(GetLastError());
        CloseHandle(guard);
        return err;
    }
    PortGuards[n] = guard;
    PortHandles[n] = reinterpret_cast<ComHandle>(h);
    if (!PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        std::printf("[PurgeCom error]");
    return 0;
}

int ComClose(int n)
{
    if (n < 1 || n >= ComPortCount)
        return -1;
    if (!IsOpen(Handle(n)))
        return -1;
    HANDLE h = reinterpret_cast<HANDLE>(ComRetireHandle(n));
    if (!IsOpen(h))
        return -1;
    if (!CloseHandle(h))
        return static_cast<int>(GetLastError());
    if (PortGuards[n] != nullptr) {
        CloseHandle(PortGuards[n]);
        PortGuards[n] = nullptr;
    }
    return 0;
}

int ComRead(int n, void *buffer, int max)
{
    PortHandle port(n);
    HANDLE h = port.Get();
    if (!IsOpen(h))
        return -2;
    if (max <= 0)
        return 0;
    DWORD got = 0;
    if (!ReadFile(h, buffer, static_cast<DWORD>(max), &got, nullptr))
        return -1;
    if (got > 0 && LogEnabled) {
        int log = LogFile.load();
        if (log >= 0) {
            int w = _write(log, buffer, static_cast<unsigned>(got));
            (void)w;
        }
    }
    return static_cast<int>(got);
}

int ComWrite(int n, const void *buffer, int count)
{
    PortHandle port(n);
    HANDLE h = port.Get();
    if (!IsOpen(h))
        return -2;
    const char *p = static_cast<const char *>(buffer);
    int done = 0;
    // Each WriteFile ends after the write time-out at the latest; the loop
    // goes on while the driver keeps taking bytes and fails once it takes
    // none within that time.
    while (done < count) {
        DWORD put = 0;
        if (!WriteFile(h, p + done, static_cast<DWORD>(count - done), &put, nullptr))
            return static_cast<int>(GetLastError());
        if (put == 0)
            return ERROR_TIMEOUT;
        done += static_cast<int>(put);
    }
    return done;
}

void ComSetTimeouts(int n)
{
    PortHandle port(n);
    HANDLE h = port.Get();
    if (!IsOpen(h))
        return;
    COMMTIMEOUTS t;
    if (!GetCommTimeouts(h, &t))
        return;
    // A read returns at once with what is buffered, possibly nothing.
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 0;
    // Write time-outs stay as the driver has them, except "none at all",
    // which would let a write held by flow control wait for ever.
    if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0)
        t.WriteTotalTimeoutConstant = WriteStallMs;
    SetCommTimeouts(h, &t);
}

void ComSetQueues(int n)
{
    PortHandle port(n);
    HANDLE h = port.Get();
    if (!IsOpen(h))
        return;
    SetupComm(h, 16384, 1024);
}

int ComSetBaud(int n, int rate)
{
    int saved = ConGetColor();
    ConSetColor(0x31);
    PortHandle port(n);
    HANDLE h = port.Get();
    if (!IsOpen(h)) {
        std::printf("Set baudrate error!\n\r");
        ConSetColor(saved);
        return 0;
    }
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    DcbFields f = Fields(dcb);
    DcbApplyFlow(&f, FlowControl);
    Store(f, &dcb);
    // A raw 8-bit line, whatever an earlier program left in the driver:
    // no XON/XOFF interception (the terminal sends those as data), no null
    // stripping, no error-character replacement and no read stop after a
    // line error.  Binary transfers depend on every byte arriving as sent.
    dcb.fBinary = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fNull = 0;
    dcb.fErrorChar = 0;
    dcb.fAbortOnError = 0;
    std::printf("original baudrate = %lu!\n\r", static_cast<unsigned long>(dcb.BaudRate));
    dcb.BaudRate = static_cast<DWORD>(rate);
    SetCommState(h, &dcb);
    DCB now;
    now.DCBlength = sizeof now;
    if (!GetCommState(h, &now))
        now.BaudRate = dcb.BaudRate;
    std::printf("now baudrate = %lu!\n\r", static_cast<unsigned long>(now.BaudRate));
    ConSetColor(saved);
    return 1;
}

void ComSetFormat(int n, unsigned char parity, unsigned char data, unsigned char stop)
{
    PortHandle port(n);
    HANDLE h = port.Get();
    if (!IsOpen(h))
        return;
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb))
        return;
    DcbFields f = Fields(dcb);
    DcbApplyFormat(&f, parity, data, stop);
    Store(f, &dcb);
    SetCommState(h, &dcb);
}

void ComToggleRts()
{
    int saved = ConGetColor();
    ConSetColor(2);
    if (FlowControl > 1) {
        std::printf("\nIn RTS_CONTROL_HANDSHAKE MODE cannot change RTS status.\n");
    } else {
        RtsState = RtsState ? 0 : 1;
        PortHandle port(CurrentPort);
        HANDLE h = port.Get();
        if (RtsState) {
            if (IsOpen(h))
                EscapeCommFunction(h, SETRTS);
            std::printf("\nSends the RTS signal");
        } else {
            if (IsOpen(h))
                EscapeCommFunction(h, CLRRTS);
            std::printf("\nClears the RTS signal");
        }
    }
    ConSetColor(saved);
    std::fflush(stdout);
}

void ComSendBreak()
{
    PortHandle port(CurrentPort);
    HANDLE h = port.Get();
    if (IsOpen(h))
        SetCommBreak(h);
    std::printf("[start Send Break]");
    std::fflush(stdout);
    Sleep(2000);
    if (IsOpen(h))
        ClearCommBreak(h);
    std::printf("[Send Break END]");
    std::fflush(stdout);
}

int ComGetCts(int n, int *cts)
{
    PortHandle port(n);
    HANDLE h = port.Get();
    if (!IsOpen(h))
        return -1;
    DWORD status = 0;
    if (!GetCommModemStatus(h, &status))
        return -1;
    *cts = (status & MS_CTS_ON) ? 1 : 0;
    return 0;
}

int ComWaitReadable(int n, int timeout_ms)
{
    std::fflush(stdout);
    PortHandle port(n);
    HANDLE h = port.Get();
    if (!IsOpen(h))
        return -1;
    // A synchronous handle offers no wait with a time-out, so ask the
    // driver for its receive count each millisecond.
    DWORD start = GetTickCount();
    for (;;) {
        DWORD errors = 0;
        COMSTAT stat;
        if (!ClearCommError(h, &errors, &stat))
            return -1;
        if (stat.cbInQue > 0)
            return 1;
        if (WakeFlag.exchange(0) != 0)
            return 0;
        if (GetTickCount() - start >= static_cast<DWORD>(timeout_ms < 0 ? 0 : timeout_ms))
            return 0;
        Sleep(1);
    }
}

void ComWake()
{
    WakeFlag = 1;
}
