// Drives tarvik's Win32 serial port layer from the command line, for the
// tests that run it under wine against a pseudo-terminal mapped as a COM
// port.  It reports what each operation returned as "name=value" lines on
// standard output; the test on the Linux side holds the other end of the
// line and judges the results.
//
//   wincom_check open N MISSING   open rules, sharing, close; COM MISSING unmapped
//   wincom_check try N            one open attempt, result printed
//   wincom_check hold N           open, "ready", hold until a byte arrives
//   wincom_check line N RATE P D S  apply the settings, "ready", hold until a byte
//   wincom_check echo N COUNT     read COUNT bytes and send them back
//   wincom_check send N COUNT     send COUNT bytes of a counting pattern
//   wincom_check purge N          open: what was waiting before is gone
//   wincom_check break N          a break, then "after" on the line
//   wincom_check gone N           a wait without time-out ended by ComWake, then
//                                 the device goes away and comes back
#include "globals.h"
#include "serial.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <windows.h>

namespace {

int Number(const char *text) { return std::atoi(text); }

void Report(const char *name, long value)
{
    std::printf("%s=%ld\n", name, value);
    std::fflush(stdout);
}

// Opens COM n and reports the result; true when it opened.
bool OpenReported(int n)
{
    int r = ComOpen(n);
    Report("open", r);
    return r == 0;
}

void Configure(int n, int rate, int parity, int data, int stop)
{
    ComSetBaud(n, rate);
    std::printf("\n");
    ComSetFormat(n, static_cast<unsigned char>(parity), static_cast<unsigned char>(data),
                 static_cast<unsigned char>(stop));
    ComSetTimeouts(n);
    ComSetQueues(n);
}

// Waits (bounded) for the test to send a byte, which ends a hold.
int WaitForRelease(int n)
{
    unsigned char b = 0;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 60000) {
        if (ComWaitReadable(n, 100) > 0 && ComRead(n, &b, 1) == 1)
            return b;
    }
    return -1;
}

// Reads exactly count bytes, waiting at most timeout_ms in all.
std::string ReadExactly(int n, int count, DWORD timeout_ms)
{
    std::string got;
    char buf[4096];
    DWORD start = GetTickCount();
    while (static_cast<int>(got.size()) < count && GetTickCount() - start < timeout_ms) {
        int want = count - static_cast<int>(got.size());
        int r = ComRead(n, buf, want < static_cast<int>(sizeof buf) ? want : static_cast<int>(sizeof buf));
        if (r > 0)
            got.append(buf, static_cast<size_t>(r));
        else if (r < 0)
            break;
        else
            ComWaitReadable(n, 50);
    }
    return got;
}

int CmdOpen(int n, int missing)
{
    Report("open_0", ComOpen(0));
    Report("open_257", ComOpen(257));
    Report("open_missing", ComOpen(missing));
    Report("open_missing_again", ComOpen(missing));
    Report("close_missing", ComClose(missing));
    char b = 'x';
    Report("read_closed", ComRead(n, &b, 1));
    Report("write_closed", ComWrite(n, &b, 1));
    Report("baud_closed", ComSetBaud(n, 9600));
    std::printf("\n");
    Report("open", ComOpen(n));
    ComHandle first = PortHandles[n].load();
    Report("open_again", ComOpen(n));
    Report("handle_kept", PortHandles[n].load() == first ? 1 : 0);
    Report("close", ComClose(n));
    Report("close_again", ComClose(n));
    Report("reopen", ComOpen(n));
    Report("close_reopened", ComClose(n));
    return 0;
}

int CmdTry(int n)
{
    Report("open", ComOpen(n));
    return 0;
}

int CmdHold(int n)
{
    if (!OpenReported(n))
        return 1;
    ComSetTimeouts(n);
    Report("ready", 1);
    Report("released", WaitForRelease(n));
    ComClose(n);
    return 0;
}

int CmdLine(int n, int rate, int parity, int data, int stop)
{
    if (!OpenReported(n))
        return 1;
    Configure(n, rate, parity, data, stop);
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    GetCommState(reinterpret_cast<HANDLE>(PortHandles[n].load()), &dcb);
    Report("dcb_rate", static_cast<long>(dcb.BaudRate));
    Report("dcb_bytesize", dcb.ByteSize);
    Report("dcb_parity", dcb.Parity);
    Report("dcb_stopbits", dcb.StopBits);
    Report("dcb_outx", dcb.fOutX);
    Report("dcb_inx", dcb.fInX);
    Report("ready", 1);
    Report("released", WaitForRelease(n));
    ComClose(n);
    return 0;
}

int CmdEcho(int n, int count)
{
    if (!OpenReported(n))
        return 1;
    Configure(n, 115200, 0, 8, 1);
    char buf[16];
    // Reads return at once, with nothing waiting.
    DWORD t0 = GetTickCount();
    Report("empty_read", ComRead(n, buf, sizeof buf));
    Report("empty_read_returned_at_once", GetTickCount() - t0 < 1000 ? 1 : 0);
    Report("wait_nothing", ComWaitReadable(n, 100));
    Report("ready", 1);
    Report("wait_data", ComWaitReadable(n, 30000));
    std::string got = ReadExactly(n, count, 30000);
    Report("received", static_cast<long>(got.size()));
    Report("written", ComWrite(n, got.data(), static_cast<int>(got.size())));
    // Hold the line until the test has read the echo.
    Report("released", WaitForRelease(n));
    ComClose(n);
    return 0;
}

int CmdSend(int n, int count)
{
    if (!OpenReported(n))
        return 1;
    Configure(n, 115200, 0, 8, 1);
    std::string data(static_cast<size_t>(count), 0);
    for (int i = 0; i < count; ++i)
        data[static_cast<size_t>(i)] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    Report("written", ComWrite(n, data.data(), count));
    Report("released", WaitForRelease(n));
    ComClose(n);
    return 0;
}

int CmdPurge(int n)
{
    if (!OpenReported(n))
        return 1;
    Configure(n, 115200, 0, 8, 1);
    char buf[64];
    Report("stale", ComRead(n, buf, sizeof buf));
    Report("ready", 1);
    std::string got = ReadExactly(n, 5, 30000);
    std::printf("fresh=%s\n", got.c_str());
    ComClose(n);
    return 0;
}

int CmdBreak(int n)
{
    if (!OpenReported(n))
        return 1;
    Configure(n, 115200, 0, 8, 1);
    CurrentPort = n;
    ComSendBreak();
    std::printf("\n");
    Report("after", ComWrite(n, "after", 5));
    Report("released", WaitForRelease(n));
    ComClose(n);
    return 0;
}

DWORD WINAPI WakeLater(LPVOID)
{
    Sleep(500);
    ComWake();
    return 0;
}

int CmdGone(int n)
{
    if (!OpenReported(n))
        return 1;
    Configure(n, 9600, 0, 8, 1);
    HANDLE waker = CreateThread(nullptr, 0, WakeLater, nullptr, 0, nullptr);
    Report("wait_woken", ComWaitReadable(n, -1));
    WaitForSingleObject(waker, INFINITE);
    CloseHandle(waker);
    Report("ready", 1);
    // The test closes its end of the line now: the wait ends, and reads
    // tell that the device has gone.
    Report("wait_gone", ComWaitReadable(n, -1));
    char b;
    Report("read_gone", ComRead(n, &b, 1));
    Report("read_gone_again", ComRead(n, &b, 1));
    int back = -1;
    for (int tries = 0; tries < 600 && back != 0; ++tries) {
        back = ComReopen(n);
        if (back != 0)
            Sleep(100);
    }
    Report("reopen", back);
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    GetCommState(reinterpret_cast<HANDLE>(PortHandles[n].load()), &dcb);
    Report("dcb_rate", static_cast<long>(dcb.BaudRate));
    Report("released", WaitForRelease(n));
    Report("close", ComClose(n));
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    ComResetTable();
    if (argc < 3) {
        std::fprintf(stderr, "usage: wincom_check open|try|hold|line|echo|send|purge|break|gone N [...]\n");
        return 2;
    }
    std::string cmd = argv[1];
    int n = Number(argv[2]);
    if (cmd == "open" && argc >= 4)
        return CmdOpen(n, Number(argv[3]));
    if (cmd == "try")
        return CmdTry(n);
    if (cmd == "hold")
        return CmdHold(n);
    if (cmd == "line" && argc >= 7)
        return CmdLine(n, Number(argv[3]), Number(argv[4]), Number(argv[5]), Number(argv[6]));
    if (cmd == "echo" && argc >= 4)
        return CmdEcho(n, Number(argv[3]));
    if (cmd == "send" && argc >= 4)
        return CmdSend(n, Number(argv[3]));
    if (cmd == "purge")
        return CmdPurge(n);
    if (cmd == "break")
        return CmdBreak(n);
    if (cmd == "gone")
        return CmdGone(n);
    std::fprintf(stderr, "wincom_check: bad arguments\n");
    return 2;
}
