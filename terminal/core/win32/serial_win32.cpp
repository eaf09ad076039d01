// Serial port layer on the Win32 communications interface.
//
// COM n is the device "\\.\COMn": the plain "COMn" form reaches only COM1
// to COM9, the device form every number.  A port is opened for exclusive
// use (no sharing, and a named object that other tarviks respect).
//
// The handle is overlapped.  On a synchronous handle the system runs one
// request at a time, so a read that waits for the line would hold back the
// keyboard thread's writes until it ended; on an overlapped handle the
// receive loop can wait on the port with no time-out while keys are sent.
// A wait (ComWaitReadable) waits on two objects at once: the port, and the
// wake-up event that ComWake sets.  The port is waited on in one of three
// ways, chosen at the first wait after the port is opened:
//   - comm events: WaitCommEvent for EV_RXCHAR and EV_CTS, the driver's own
//     notice of a received byte or a CTS change (every serial driver);
//   - a held read: a one-byte read left pending, whose byte is handed out
//     first by the next ComRead, for a driver that cannot report comm events
//     but keeps a read pending until a byte arrives (wine on a
//     pseudo-terminal);
//   - polling the receive count each millisecond, for a driver that does
//     neither.
// Reads take only what the driver reports waiting (ClearCommError), so they
// never wait, whatever the driver does with the read time-outs.
//
// A device that goes away (a USB adapter unplugged, the far side of a
// pseudo-terminal closed) makes the driver fail every request on the
// handle: ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_GEN_FAILURE,
// ERROR_DEVICE_REMOVED, ERROR_NOT_READY and others, depending on the
// driver; pending requests end with ERROR_OPERATION_ABORTED.  A port whose
// ClearCommError fails is taken as gone (a present device always answers
// it): ComRead returns ComGone from then on, and ComReopen closes the dead
// handle (some drivers bring the COM name back only then) and opens the
// device again with the settings the layer last gave it.
#include "serial_system.h"

#include "dcbfields.h"

#include <cstdio>
#include <mutex>
#include <windows.h>

namespace {

HANDLE Handle(int n)
{
    if (n < 1 || n >= ComPortCount)
        return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(PortHandles[n].load());
}

bool IsOpen(HANDLE h) { return h != INVALID_HANDLE_VALUE; }

// The events a comm-event wait asks for.
constexpr DWORD WaitMask = EV_RXCHAR | EV_CTS;

enum WaitWay { WayUnknown, WayEvents, WayHeldRead, WayPoll };

// What the layer keeps per port: the requests a wait leaves pending, and the
// settings that ComReopen gives a device that has come back.
struct PortState {
    std::mutex lock;  // held while the requests below are started or ended
    WaitWay way = WayUnknown;
    OVERLAPPED eventIo{};
    HANDLE eventDone = nullptr;  // manual-reset, signalled by eventIo
    DWORD eventMask = 0;
    bool eventPending = false;
    OVERLAPPED readIo{};  // the held read, and ComRead's own reads
    HANDLE readDone = nullptr;
    unsigned char heldByte = 0;
    enum { HeldNone, HeldPending, HeldReady } held = HeldNone;
    DCB dcb{};
    bool haveDcb = false;
    COMMTIMEOUTS timeouts{};
    bool haveTimeouts = false;
    bool haveQueues = false;
};

PortState Ports[ComPortCount];

// Set once ClearCommError on the port's handle has failed; cleared by
// ComReopen and ComClose.
std::atomic<bool> Gone[ComPortCount];

// Every tarvik holds a named object per open port, so that a second tarvik
// cannot take a port that one already uses, even where the system's driver
// lets two handles share a device (wine's does).  The object goes with the
// process, however it ends.
HANDLE PortGuards[ComPortCount];

// A write that the driver does not take within this time fails (a line
// held by flow control must not hang the program).
constexpr DWORD WriteStallMs = 5000;
// Bound on a read of bytes that the driver reports waiting, and on the end
// of a cancelled request.
constexpr DWORD ReadStallMs = 1000;
// How often a wait on a held read looks whether the device is still there.
constexpr DWORD DeviceCheckMs = 20000;
// Receive queue and transmit queue sizes asked of the driver.
constexpr DWORD InQueueSize = 16384;
constexpr DWORD OutQueueSize = 1024;

// Set by ComWake, taken by one wait (auto-reset).
HANDLE WakeSignal()
{
    static HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return wake;
}

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

// Remembers the device's state after a change, for ComReopen.
void KeepDcb(int n, HANDLE h)
{
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb))
        return;
    std::lock_guard<std::mutex> lock(Ports[n].lock);
    Ports[n].dcb = dcb;
    Ports[n].haveDcb = true;
}

// Waits for the end of a request that was started on h with io, cancelling
// it if it has not ended within the bound.  The bytes it moved.
DWORD FinishIo(HANDLE h, OVERLAPPED *io, DWORD boundMs, DWORD *error)
{
    if (WaitForSingleObject(io->hEvent, boundMs) != WAIT_OBJECT_0)
        CancelIoEx(h, io);
    DWORD moved = 0;
    *error = GetOverlappedResult(h, io, &moved, TRUE) ? 0 : GetLastError();
    return moved;
}

// Cancels and ends the requests a wait left pending (lock held).
void EndPending(PortState &s, HANDLE h)
{
    DWORD error = 0;
    if (s.eventPending) {
        CancelIoEx(h, &s.eventIo);
        FinishIo(h, &s.eventIo, ReadStallMs, &error);
        s.eventPending = false;
    }
    if (s.held == PortState::HeldPending) {
        CancelIoEx(h, &s.readIo);
        DWORD got = FinishIo(h, &s.readIo, ReadStallMs, &error);
        s.held = got == 1 ? PortState::HeldReady : PortState::HeldNone;
    }
}

// Prepares the port's state for a newly opened handle h.
void StartState(int n, HANDLE h)
{
    PortState &s = Ports[n];
    std::lock_guard<std::mutex> lock(s.lock);
    if (s.eventDone == nullptr)
        s.eventDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (s.readDone == nullptr)
        s.readDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    s.eventPending = false;
    s.held = PortState::HeldNone;
    s.way = SetCommMask(h, WaitMask) ? WayUnknown : WayHeldRead;
    Gone[n] = false;
}

// The receive count; -1 when the driver does not answer, which marks the
// port gone.
long QueueCount(int n, HANDLE h)
{
    DWORD errors = 0;
    COMSTAT stat;
    if (!ClearCommError(h, &errors, &stat)) {
        Gone[n] = true;
        return -1;
    }
    return static_cast<long>(stat.cbInQue);
}

// Outcomes of the steps of a wait.
constexpr int StepReadable = 1;  // data waiting, or the device gone
constexpr int StepArmed = 0;     // a request is pending: wait on its event
constexpr int StepCts = 2;       // CTS changed
constexpr int StepAgain = 3;     // nothing to report: arm again
constexpr int StepPoll = -1;     // the driver offers no wait

// Takes the result of an ended comm-event wait (lock held).
int EventEnded(int n, HANDLE h, PortState &s)
{
    DWORD unused = 0;
    BOOL ok = GetOverlappedResult(h, &s.eventIo, &unused, FALSE);
    if (!ok && GetLastError() == ERROR_IO_INCOMPLETE)
        return StepAgain;
    s.eventPending = false;
    if (!ok || s.eventMask == 0) {
        // A present device that ends the wait with nothing to report
        // cannot report comm events (wine on a pseudo-terminal).
        if (QueueCount(n, h) < 0)
            return StepReadable;
        s.way = WayHeldRead;
        return StepAgain;
    }
    if (s.eventMask & EV_RXCHAR)
        return StepReadable;
    return (s.eventMask & EV_CTS) ? StepCts : StepAgain;
}

// Takes the result of an ended held read (lock held).
int HeldReadEnded(int n, HANDLE h, PortState &s)
{
    DWORD got = 0;
    BOOL ok = GetOverlappedResult(h, &s.readIo, &got, FALSE);
    if (!ok && GetLastError() == ERROR_IO_INCOMPLETE)
        return StepAgain;
    if (got == 1) {
        s.held = PortState::HeldReady;
        return StepReadable;
    }
    s.held = PortState::HeldNone;
    if (QueueCount(n, h) < 0)
        return StepReadable;
    if (ok)
        s.way = WayPoll;  // the read came back empty at once: it cannot wait
    return StepAgain;
}

// Starts the request of the port's way of waiting, unless one is pending,
// then looks at what is waiting (lock held).
int Arm(int n, HANDLE h, PortState &s)
{
    if (s.way == WayUnknown)
        s.way = WayEvents;
    if (s.way == WayEvents && !s.eventPending) {
        ResetEvent(s.eventDone);
        s.eventIo = OVERLAPPED{};
        s.eventIo.hEvent = s.eventDone;
        s.eventMask = 0;
        if (WaitCommEvent(h, &s.eventMask, &s.eventIo) || GetLastError() == ERROR_IO_PENDING) {
            s.eventPending = true;
            int r = WaitForSingleObject(s.eventDone, 0) == WAIT_OBJECT_0 ? EventEnded(n, h, s) : StepArmed;
            if (r != StepArmed && r != StepAgain)
                return r;
        } else if (QueueCount(n, h) < 0) {
            return StepReadable;
        } else {
            s.way = WayHeldRead;
        }
    }
    if (s.way == WayHeldRead) {
        if (s.held == PortState::HeldReady)
            return StepReadable;
        if (s.held == PortState::HeldNone) {
            ResetEvent(s.readDone);
            s.readIo = OVERLAPPED{};
            s.readIo.hEvent = s.readDone;
            if (ReadFile(h, &s.heldByte, 1, nullptr, &s.readIo) || GetLastError() == ERROR_IO_PENDING) {
                s.held = PortState::HeldPending;
                if (WaitForSingleObject(s.readDone, 0) == WAIT_OBJECT_0) {
                    int r = HeldReadEnded(n, h, s);
                    if (r != StepAgain)
                        return r;
                }
            } else if (GetLastError() != ERROR_OPERATION_ABORTED) {
                if (QueueCount(n, h) < 0)
                    return StepReadable;
                s.way = WayPoll;  // a driver that refuses the read
            }
        }
    }
    long waiting = QueueCount(n, h);
    if (waiting != 0)
        return StepReadable;  // data, or the device gone
    if (s.way == WayEvents && s.eventPending)
        return StepArmed;
    if (s.way == WayHeldRead && s.held == PortState::HeldPending)
        return StepArmed;
    return s.way == WayPoll ? StepPoll : StepAgain;
}

}  // namespace

void ComSysStart()
{
    WakeSignal();
}

void ComSysWake()
{
    SetEvent(WakeSignal());
}

void ComSysDeviceName(int n, char *buf, int size)
{
    std::snprintf(buf, static_cast<size_t>(size), "\\\\.\\COM%d", n);
}

namespace {

HANDLE OpenDevice(int n)
{
    char name[32];
    ComSysDeviceName(n, name, sizeof name);
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// Takes port n's handle out of the table, ends what a wait left pending on
// it and closes it.  0, or the system's error code.
int CloseDevice(int n)
{
    HANDLE h = reinterpret_cast<HANDLE>(ComRetireHandle(n));
    if (!IsOpen(h))
        return -1;
    {
        std::lock_guard<std::mutex> lock(Ports[n].lock);
        EndPending(Ports[n], h);
        Ports[n].held = PortState::HeldNone;
    }
    return CloseHandle(h) ? 0 : static_cast<int>(GetLastError());
}

}  // namespace

int ComSysOpen(int n, ComHandle *out)
{
    if (Gone[n])
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
    HANDLE h = OpenDevice(n);
    if (h == INVALID_HANDLE_VALUE) {
        int err = static_cast<int>(GetLastError());
        CloseHandle(guard);
        return err;
    }
    PortGuards[n] = guard;
    {
        std::lock_guard<std::mutex> lock(Ports[n].lock);
        Ports[n].haveDcb = false;
        Ports[n].haveTimeouts = false;
        Ports[n].haveQueues = false;
    }
    StartState(n, h);
    *out = reinterpret_cast<ComHandle>(h);
    return 0;
}

bool ComSysPurge(int, ComHandle h)
{
    return PurgeComm(reinterpret_cast<HANDLE>(h), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE;
}

int ComSysClose(int n)
{
    int result = 0;
    if (!IsOpen(Handle(n))) {
        // A gone device whose dead handle ComReopen has already closed.
        if (!Gone[n])
            return -1;
    } else {
        result = CloseDevice(n);
        if (result == -1)
            return -1;
    }
    Gone[n] = false;
    if (PortGuards[n] != nullptr) {
        CloseHandle(PortGuards[n]);
        PortGuards[n] = nullptr;
    }
    return result;
}

int ComSysReopen(int n)
{
    if (!Gone[n])
        return IsOpen(Handle(n)) ? 0 : -2;
    if (IsOpen(Handle(n)) && CloseDevice(n) == -1)
        return ERROR_BUSY;  // a thread still uses the dead handle
    HANDLE h = OpenDevice(n);
    if (h == INVALID_HANDLE_VALUE)
        return static_cast<int>(GetLastError());
    // A name that opens is not yet a device that answers (wine opens a COM
    // name whose device file has gone).
    DCB probe;
    probe.DCBlength = sizeof probe;
    DWORD errors = 0;
    COMSTAT stat;
    if (!GetCommState(h, &probe) || !ClearCommError(h, &errors, &stat)) {
        DWORD error = GetLastError();
        CloseHandle(h);
        return error != 0 ? static_cast<int>(error) : ERROR_NOT_READY;
    }
    PortState &s = Ports[n];
    {
        std::lock_guard<std::mutex> lock(s.lock);
        if (s.haveQueues)
            SetupComm(h, InQueueSize, OutQueueSize);
        if (s.haveDcb) {
            DCB dcb = s.dcb;
            SetCommState(h, &dcb);
            // RTS as the user last set it, where the program drives it.
            if (dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_DISABLE)
                EscapeCommFunction(h, RtsState ? SETRTS : CLRRTS);
        }
        if (s.haveTimeouts) {
            COMMTIMEOUTS t = s.timeouts;
            SetCommTimeouts(h, &t);
        }
    }
    StartState(n, h);
    PortHandles[n] = reinterpret_cast<ComHandle>(h);
    return 0;
}

int ComSysRead(int n, ComHandle handle, void *buffer, int max)
{
    HANDLE h = reinterpret_cast<HANDLE>(handle);
    if (!IsOpen(h))
        return Gone[n] ? ComGone : -2;
    if (Gone[n])
        return ComGone;
    if (max <= 0)
        return 0;
    unsigned char *out = static_cast<unsigned char *>(buffer);
    PortState &s = Ports[n];
    std::lock_guard<std::mutex> lock(s.lock);
    int have = 0;
    // A held read's byte came before anything still in the queue.
    if (s.held == PortState::HeldPending) {
        DWORD got = 0;
        if (!GetOverlappedResult(h, &s.readIo, &got, FALSE) && GetLastError() == ERROR_IO_INCOMPLETE) {
            DWORD error = 0;
            CancelIoEx(h, &s.readIo);
            got = FinishIo(h, &s.readIo, ReadStallMs, &error);
        }
        s.held = got == 1 ? PortState::HeldReady : PortState::HeldNone;
    }
    if (s.held == PortState::HeldReady) {
        out[have++] = s.heldByte;
        s.held = PortState::HeldNone;
    }
    long waiting = QueueCount(n, h);
    if (waiting < 0)
        return have > 0 ? have : ComGone;
    DWORD want = static_cast<DWORD>(max - have);
    if (static_cast<DWORD>(waiting) < want)
        want = static_cast<DWORD>(waiting);
    if (want > 0) {
        ResetEvent(s.readDone);
        s.readIo = OVERLAPPED{};
        s.readIo.hEvent = s.readDone;
        DWORD got = 0;
        if (ReadFile(h, out + have, want, nullptr, &s.readIo) || GetLastError() == ERROR_IO_PENDING) {
            DWORD error = 0;
            got = FinishIo(h, &s.readIo, ReadStallMs, &error);
        } else if (QueueCount(n, h) < 0) {
            return have > 0 ? have : ComGone;
        } else if (have == 0) {
            return -1;
        }
        have += static_cast<int>(got);
    }
    return have;
}

int ComSysWrite(int, ComHandle handle, const void *buffer, int count)
{
    HANDLE h = reinterpret_cast<HANDLE>(handle);
    const char *p = static_cast<const char *>(buffer);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (done == nullptr)
        return static_cast<int>(GetLastError());
    int result = 0;
    // Each write ends after the write time-out at the latest (and is
    // cancelled a little later if the driver keeps none); the loop goes on
    // while the driver keeps taking bytes and fails once it takes none.
    while (result < count) {
        OVERLAPPED io{};
        io.hEvent = done;
        DWORD put = 0;
        DWORD error = 0;
        if (WriteFile(h, p + result, static_cast<DWORD>(count - result), nullptr, &io) ||
            GetLastError() == ERROR_IO_PENDING) {
            put = FinishIo(h, &io, WriteStallMs + ReadStallMs, &error);
        } else {
            error = GetLastError();
        }
        if (put == 0) {
            result = error != 0 && error != ERROR_OPERATION_ABORTED ? static_cast<int>(error) : ERROR_TIMEOUT;
            break;
        }
        result += static_cast<int>(put);
    }
    CloseHandle(done);
    return result;
}

void ComSysSetTimeouts(int n, ComHandle handle)
{
    HANDLE h = reinterpret_cast<HANDLE>(handle);
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
    if (SetCommTimeouts(h, &t)) {
        std::lock_guard<std::mutex> lock(Ports[n].lock);
        Ports[n].timeouts = t;
        Ports[n].haveTimeouts = true;
    }
}


void ComSysSetQueues(int n, ComHandle handle)
{
    HANDLE h = reinterpret_cast<HANDLE>(handle);
    if (SetupComm(h, InQueueSize, OutQueueSize)) {
        std::lock_guard<std::mutex> lock(Ports[n].lock);
        Ports[n].haveQueues = true;
    }
}
void ComSysSetRate(int n, ComHandle handle, int flowMode, int rate, unsigned long *before, unsigned long *after)
{
    HANDLE h = reinterpret_cast<HANDLE>(handle);
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    DcbFields f = Fields(dcb);
    DcbApplyFlow(&f, flowMode);
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
    *before = dcb.BaudRate;
    dcb.BaudRate = static_cast<DWORD>(rate);
    SetCommState(h, &dcb);
    KeepDcb(n, h);
    DCB now;
    now.DCBlength = sizeof now;
    if (!GetCommState(h, &now))
        now.BaudRate = dcb.BaudRate;
    *after = now.BaudRate;
}

void ComSysSetFormat(int n, ComHandle handle, int parity, int data, int stop)
{
    HANDLE h = reinterpret_cast<HANDLE>(handle);
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb))
        return;
    DcbFields f = Fields(dcb);
    DcbApplyFormat(&f, parity, data, stop);
    Store(f, &dcb);
    SetCommState(h, &dcb);
    KeepDcb(n, h);
}

void ComSysSetRts(int, ComHandle h, bool on)
{
    EscapeCommFunction(reinterpret_cast<HANDLE>(h), on ? SETRTS : CLRRTS);
}

void ComSysBreak(int, ComHandle h, bool on)
{
    if (on)
        SetCommBreak(reinterpret_cast<HANDLE>(h));
    else
        ClearCommBreak(reinterpret_cast<HANDLE>(h));
}

int ComSysGetCts(int, ComHandle h, int *cts)
{
    DWORD status = 0;
    if (!GetCommModemStatus(reinterpret_cast<HANDLE>(h), &status))
        return -1;
    *cts = (status & MS_CTS_ON) ? 1 : 0;
    return 0;
}

int ComSysWaitReadable(int n, ComHandle handle, int timeout_ms)
{
    HANDLE h = reinterpret_cast<HANDLE>(handle);
    if (!IsOpen(h))
        return Gone[n] ? 1 : -1;
    if (Gone[n])
        return 1;
    PortState &s = Ports[n];
    HANDLE wake = WakeSignal();
    DWORD start = GetTickCount();
    int idleRounds = 0;
    for (;;) {
        DWORD left = INFINITE;
        if (timeout_ms >= 0) {
            DWORD spent = GetTickCount() - start;
            left = spent >= static_cast<DWORD>(timeout_ms) ? 0 : static_cast<DWORD>(timeout_ms) - spent;
        }
        int step;
        HANDLE portSignal = nullptr;
        DWORD slice = left;
        {
            std::lock_guard<std::mutex> lock(s.lock);
            step = Arm(n, h, s);
            if (step == StepArmed)
                portSignal = s.way == WayEvents ? s.eventDone : s.readDone;
            // A held read is not ended by every driver when the device
            // goes (wine's, when the far side of a pseudo-terminal closes):
            // now and then it is cancelled and started again, and the
            // device is asked for its receive count meanwhile.
            if (s.way == WayHeldRead && left > DeviceCheckMs)
                slice = DeviceCheckMs;
        }
        if (step == StepReadable)
            return 1;
        if (step == StepCts)
            return 0;
        if (step == StepAgain) {
            // A driver whose requests keep ending at once with nothing to
            // report is polled instead.
            if (++idleRounds >= 100) {
                std::lock_guard<std::mutex> lock(s.lock);
                s.way = WayPoll;
            }
            if (left == 0)
                return 0;
            continue;
        }
        if (step == StepPoll) {
            // No wait offered: look at the receive count each millisecond,
            // with the wake-up event as the timer.
            if (WaitForSingleObject(wake, left < 1 ? left : 1) == WAIT_OBJECT_0)
                return 0;
            if (left == 0)
                return 0;
            continue;
        }
        // The port's request first: data that arrived with a wake-up is
        // reported as data (the wake-up stays for the next wait).
        HANDLE objects[2] = {portSignal, wake};
        DWORD w = WaitForMultipleObjects(2, objects, FALSE, slice);
        if (w == WAIT_TIMEOUT && slice != left) {
            std::lock_guard<std::mutex> lock(s.lock);
            if (s.held == PortState::HeldPending) {
                DWORD error = 0;
                CancelIoEx(h, &s.readIo);
                s.held = FinishIo(h, &s.readIo, ReadStallMs, &error) == 1 ? PortState::HeldReady : PortState::HeldNone;
            }
            continue;
        }
        if (w == WAIT_OBJECT_0 + 1 || w == WAIT_TIMEOUT)
            return 0;
        if (w != WAIT_OBJECT_0)
            return -1;
        std::lock_guard<std::mutex> lock(s.lock);
        if (s.way == WayEvents && s.eventPending)
            step = EventEnded(n, h, s);
        else if (s.way == WayHeldRead && s.held == PortState::HeldPending)
            step = HeldReadEnded(n, h, s);
        else
            step = s.held == PortState::HeldReady ? StepReadable : StepAgain;
        if (step == StepReadable)
            return 1;
        if (step == StepCts)
            return 0;
        if (left == 0)
            return 0;
    }
}
