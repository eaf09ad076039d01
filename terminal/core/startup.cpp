// The session: start-up in its order, the receive loop, and the end.
#include "startup.h"

#include "comdevice.h"
#include "console.h"
#include "display.h"
#include "globals.h"
#include "help.h"
#include "keythread.h"
#include "options.h"
#include "receive.h"
#include "serial.h"
#include "settings.h"
#include "status.h"
#include "system.h"
#include "timestamp.h"
#include "../diag/diag.h"
#include "../transfer/transfer.h"

#include <cstdio>
#include <cstring>

namespace {

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



}  // namespace




int TarvikMain(int argc, char **argv)
{
    ConInitInput();
    ConInitOutput();
    ConInitReceived();
    ComResetTable();
    ComAbsoluteDevicePaths();
    ConSetTitle(TarvikVersionText);
    const char *device = ReadSessionSettings(argc, argv);
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
        ServeTransferRequests();
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
