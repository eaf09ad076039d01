#include "startup.h"

#include "ansi.h"
#include "comdevice.h"
#include "console.h"
#include "display.h"
#include "globals.h"
#include "keythread.h"
#include "options.h"
#include "serial.h"
#include "settings.h"
#include "system.h"
#include "timestamp.h"
#include "../diag/diag.h"
#include "../transfer/transfer.h"

#include <cstdio>
#include <cstring>

namespace {

bool EqualsIgnoreCase(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 0x20);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 0x20);
        if (x != y)
            return false;
    }
    return *a == *b;
}

// The modem-status bit remembered from the previous successful query;
// -1 until the first one.
int LastCts = -1;

// How long the end waits for the keyboard thread's last line.
constexpr int KeyThreadEndWaitMs = 2000;

// Pause of one pass while the packet monitor owns the port.
constexpr int MonitorPauseMs = 5;

// How long one pass of the receive loop may wait for the port.  Every flag
// the keyboard thread sets for this loop comes with a ComWake, and the
// serial layer ends a wait when CTS changes, so an idle pass waits without
// a time-out; only the armed download's watch keeps time.
constexpr int ArmedWatchMs = 20;

// While the current port's device is gone, the loop tries to open it again
// this often (a device that returns may take a moment to be usable).
constexpr int GoneRetryMs = 200;
// The port whose absence has been shown (0: none).
int GonePort = 0;

// A port without modem lines (a pseudo-terminal) is skipped.
void WatchCts()
{
    int cts = 0;
    if (ComGetCts(CurrentPort, &cts) != 0)
        return;
    if (cts != LastCts) {
        LastCts = cts;
        CtsState = cts;
        UpdateTitle();
    }
}

int PassWaitMs()
{
    if (LineMode && (RepeatState != 0 || ScanState != 0))
        return 1;  // the tests' time-outs and intervals are kept by the passes
    if (AutoLoadActive != 0 || MultiLoadActive != 0 || DownloadRequest != 0 || UploadRequest != 0)
        return ArmedWatchMs;
    return -1;
}

// One pass while the current port's device is gone: say so once, pause a
// little, and try to open it again.  The pause comes first: a device that
// was only hung up is there at once, but the system may still be resetting
// its line (a reset that would undo our settings).  The keyboard thread
// goes on meanwhile: ALT_X, Escape and port switches act at once.
void PortGonePass()
{
    int n = CurrentPort;
    char dev[256];
    ComDeviceName(n, dev, sizeof dev);
    if (GonePort != n) {
        GonePort = n;
        std::printf("\n\r[COM%d: %s is gone; waiting for it to return]\n\r", n, dev);
        std::fflush(stdout);
    }
    SysSleepMs(GoneRetryMs);
    if (ExitRequest || CurrentPort != n)
        return;
    if (ComReopen(n) == 0) {
        GonePort = 0;
        LastCts = -1;  // the modem lines are read afresh
        std::printf("\n\r[COM%d: %s is back]\n\r", n, dev);
        std::fflush(stdout);
    }
}

// A reply completes only a test that waits for one (state 2): a stray byte
// must not cancel a send that is due (1) or a test still being set up.
void CompleteReply(std::atomic<int> &state)
{
    int waiting = 2;
    state.compare_exchange_strong(waiting, 3);
}

void ShowLineModeByte(unsigned char c)
{
    ConWriteReceived(&c, 1);
    if (ReplyLength != 0) {
        if (RepeatState != 0) {
            ++ReplyCount;
            if (ReplyCount == ReplyLength)
                CompleteReply(RepeatState);
        }
        return;
    }
    if (PatternCheck != 0) {
        int index = PatternIndex;
        if (index < PatternBufferSize) {
            PatternBuffer[index] = static_cast<char>(c);
            PatternIndex = ++index;
        }
        if (index == PatternLength) {
            CompleteReply(RepeatState);
            // End the collected text; a full buffer ends at its last byte.
            int end = index < PatternBufferSize ? index : PatternBufferSize - 1;
            PatternBuffer[end] = 0;
            if (std::strcmp(PatternBuffer, PatternText) != 0) {
                std::printf("\n(err,Idx=%d)\n", index);
                for (int i = 0; i < end; ++i)
                    std::printf("[%02X]", static_cast<unsigned char>(PatternBuffer[i]));
                std::printf("\n");
            }
        }
    }
    if (c == 0x0D) {
        if (RepeatState != 0) {
            CompleteReply(RepeatState);
            if (EchoLf)
                std::putchar('\n');
        } else if (ScanState != 0) {
            CompleteReply(ScanState);
            std::putchar('\n');
        } else {
            std::putchar('\n');
        }
    }
}

void ShowNormal(const unsigned char *buf, int n)
{
    int start = 0;
    for (int i = 0; i < n; ++i) {
        if (buf[i] == 0x08) {
            ConWriteReceived(buf + start, i + 1 - start);
            std::fputs(" \b", stdout);
            start = i + 1;
        }
    }
    if (start < n)
        ConWriteReceived(buf + start, n - start);
}

}  // namespace

// The device behind COM n and the system's reason why it did not open.
void ShowPortOpenFailure(int n, int code)
{
    if (code == -2) {
        std::printf("[COM%d: no such port]\n\r", n);
        return;
    }
    char dev[256];
    ComDeviceName(n, dev, sizeof dev);
    char why[256];
    if (code == -1)
        std::snprintf(why, sizeof why, "already open");
    else
        SysErrorText(code, why, sizeof why);
    std::printf("[COM%d is %s: %s]\n\r", n, dev, why);
}

void ShowBanner()
{
    std::printf("%s\n", BannerText);
}

void UpdateTitle()
{
    char dir[260];
    SysGetCwd(dir, sizeof dir);
    // Room for every field and the whole directory, so nothing is cut.
    char title[200 + sizeof dir];
    std::snprintf(title, sizeof title, "%s [COM%d:%d,%c,%d,%d],FC=%d,CTS=%d, DIR=%s", TarvikVersionText,
                  CurrentPort.load(), BaudRate.load(), ParityLetter(ParityIndex), DataBits.load(),
                  StopBits.load(), FlowControl.load(), CtsState.load(), dir);
    ConSetTitle(title);
}

void ParseOption(const char *text)
{
    if (text[0] != '/' || text[1] == 0)
        return;
    char option = text[1];
    if (option >= 'a' && option <= 'z')
        option = static_cast<char>(option - 0x20);
    const char *value = text + 2;
    switch (option) {
    case 'B': {
        // 0 would hang up the line; a rate that cannot be set is not saved.
        int rate = 0;
        if (ParseBitRate(value, &rate))
            BaudRate = rate;
        else
            std::printf("Cannot use %s, the bit rate stays %d\n\r", text, BaudRate.load());
        break;
    }
    case 'C':
        if (value[0] >= '0' && value[0] <= '9') {
            int n = DecimalOrZero(value);
            int code = ComOpen(n);
            if (code != 0) {
                ShowPortOpenFailure(n, code);
                std::printf("Cannot use COM %d\n\r", n);
            } else {
                ComClose(n);
                CurrentPort = n;
            }
        } else if (EqualsIgnoreCase(text + 1, "cls")) {
            ConClearScreen();
        } else {
            WarnUnknownOption(text);
        }
        break;
    case 'F': {
        int mode = 0;
        if (ParseDecimal(value, &mode) && mode >= 0 && mode <= 3)
            FlowControl = mode;
        else
            std::printf("Cannot use %s (flow control 0..3), it stays %d\n\r", text, FlowControl.load());
        break;
    }
    case 'S': {
        int rows = DecimalOrZero(value);
        if (rows < 20)
            rows = 20;
        if (rows > 50)
            rows = 50;
        ScreenRows = rows;
        break;
    }
    default:
        WarnUnknownOption(text);
        break;
    }
}

void ShowReceived(const unsigned char *buf, int n)
{
    if (EchoBackMode) {
        ComWrite(CurrentPort, buf, n);
        return;
    }
    if (AutoLoadActive || MultiLoadActive) {
        int start = 0;
        for (int i = 0; i < n && buf[i] != 0; ++i) {
            if (buf[i] == '!') {
                ConWriteReceived(buf + start, i + 1 - start);
                start = i + 1;
                AutoLoadStep();
            }
        }
        const void *zero = std::memchr(buf + start, 0, static_cast<size_t>(n - start));
        int end = zero != nullptr ? static_cast<int>(static_cast<const unsigned char *>(zero) - buf) : n;
        ConWriteReceived(buf + start, end - start);
        return;
    }
    if (LineMode) {
        ConSetColor(0x4F);
        for (int i = 0; i < n; ++i)
            ShowLineModeByte(buf[i]);
        return;
    }
    if (HexMode) {
        for (int i = 0; i < n; ++i) {
            std::printf("[%02X]", buf[i]);
            unsigned char c = buf[i] < 0x20 ? '.' : buf[i];
            ConWriteReceived(&c, 1);
        }
        return;
    }
    if (AnsiMode) {
        for (int i = 0; i < n; ++i)
            AnsiPutByte(buf[i]);
        return;
    }
    if (StampsApply())
        ShowStamped(buf, n, ShowNormal);
    else
        ShowNormal(buf, n);
}

int TarvikMain(int argc, char **argv)
{
    ConInitInput();
    ConInitOutput();
    ConInitReceived();
    ComResetTable();
    ComAbsoluteDevicePaths();
    ConSetTitle(TarvikVersionText);
    LoadSettings();
    if (SavedPort > 0)
        CurrentPort = SavedPort.load();
    const char *device = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (IsDevicePath(argv[i]))
            device = argv[i];
        else if (argv[i][0] == '/')
            ParseOption(argv[i]);
    }
    // The device stands for the current port during this run.
    if (device != nullptr && ComUseDevice(CurrentPort, device) != 0)
        std::printf("Cannot use the device %s here: use /C#\n\r", device);
    ApplyStartOptions();
    ConSetColor(10);
    ShowBanner();
    ConSetColor(7);
    UpdateTitle();

    if (StartOpts.waitDevice && WaitForStartDevice(true) != 0) {
        ConRestore();
        return 1;
    }
    int openCode = ComOpen(CurrentPort);
    if (openCode != 0) {
        ShowPortOpenFailure(CurrentPort, openCode);
        std::printf("Can not use COM %d,\n\r\n\rPlease use : [tarvik /C#] to use another comport.\n\rPress any key to quit.",
                    CurrentPort.load());
        std::fflush(stdout);
        int key = 0;
        while ((key = ConReadKey()) == 0)
            ConWaitInput(1);
        // The shell's prompt starts on a line of its own.  The status is the
        // key's code, but never 0 (a success): the codes of F-keys and ALT_X
        // are 0 in the byte a status keeps.
        std::printf("\n\r");
        ConRestore();
        return (key & 0xFF) != 0 ? key : 1;
    }

    // The keyboard thread reads no key until the settings have been shown:
    // its prompts change the file names and arguments shown here.
    KeyThreadHold = 1;
    StartKeyThread();
    ShowCurrentSettings();
    ComSetBaud(CurrentPort, BaudRate);
    ComSetFormat(CurrentPort, static_cast<unsigned char>(ParityIndex), static_cast<unsigned char>(DataBits),
                 static_cast<unsigned char>(StopBits));
    ComSetTimeouts(CurrentPort);
    ComSetQueues(CurrentPort);
    std::fflush(stdout);
    KeyThreadHold = 0;

    static unsigned char buffer[ReceiveBufferSize];
    do {
        WatchCts();
        if (MonitorActive != 0) {
            // The packet monitor reads the port: stay off it until it ends.
            int asked = 1;
            MonitorActive.compare_exchange_strong(asked, 2);
            SysSleepMs(MonitorPauseMs);
            continue;
        }
        if (LineMode) {
            if (RepeatState != 0)
                RepeatTestStep();
            if (ScanState != 0)
                ScanStep();
        }
        if (DownloadRequest) {
            SendFile();
            DownloadRequest = 0;
        }
        if (UploadRequest) {
            GetFile();
            UploadRequest = 0;
        }
        AutoLoadWatch();
        StampedLog = StampsApply() ? 1 : 0;
        int n = ComRead(CurrentPort, buffer, ReceiveBufferSize);
        if (n == ComGone) {
            PortGonePass();
        } else if (n <= 0) {
            // Nothing waiting: wait for the port, for the keyboard thread's
            // wake-up or for the next thing due, or sleep a little when the
            // port cannot be waited on (closed).
            int wait = PassWaitMs();
            if (ComWaitReadable(CurrentPort, wait) < 0)
                SysSleepMs(wait >= 0 && wait < 20 ? wait : 20);
        } else {
            ShowReceived(buffer, n);
            std::fflush(stdout);
        }
    } while (!ExitRequest);

    // The keyboard thread ends by itself once it sees ExitRequest; its last
    // line comes before the program's end (bounded wait).
    for (int waited = 0; KeyThreadRunning != 0 && waited < KeyThreadEndWaitMs; waited += 5)
        SysSleepMs(5);

    ComClose(CurrentPort);
    SavedPort = CurrentPort.load();
    SaveSettings();
    std::fflush(stdout);
    ConRestore();
    return 0;
}
