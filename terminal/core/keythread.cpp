#include "keythread.h"

#include "ansi.h"
#include "cmdmode.h"
#include "console.h"
#include "globals.h"
#include "help.h"
#include "serial.h"
#include "status.h"
#include "system.h"
#include "typing.h"
#include "../diag/diag.h"
#include "../script/script.h"
#include "../transfer/transfer.h"

#include <cstdio>
#include <cstring>

std::atomic<int> KeyThreadRunning{0};

namespace {

// How long the keyboard thread waits for a key before it looks at
// ExitRequest again.  Only this thread sets it, so an idle terminal needs
// no wake-up here; the bound is a back-stop.
constexpr int KeyWaitMs = 30000;

// Characters typed while a transfer runs or a download is armed wait here
// (the protocol owns the port) and go to the controller in the order typed
// once it has ended (in Line mode, to the line being typed).  A character
// that finds the queue full, and a hotkey (it might open a prompt that the
// held characters would then not reach), are refused with the terminal's
// bell.  Only this thread uses the queue.
constexpr int HeldKeyMax = 128;
int HeldKeys[HeldKeyMax];
int HeldCount = 0;
// How often the thread looks for the transfer's end while keys are held.
constexpr int HeldKeyPollMs = 20;

bool IsDownloadKey(int code)
{
    return code == KeyF(8) || code == KeyF(9) || code == KeyF(10) || code == KeyAltF(10);
}

// Sends the oldest held character once no transfer runs any more.
void ReplayHeldKey()
{
    int code = HeldKeys[0];
    --HeldCount;
    for (int i = 0; i < HeldCount; ++i)
        HeldKeys[i] = HeldKeys[i + 1];
    HandleKey(code);
    ComWake();
}

void SendText(const char *text)
{
    ComWrite(CurrentPort, text, static_cast<int>(std::strlen(text)));
}

void SwitchPort(int n)
{
    int code = ComOpen(n);
    if (code == 0) {
        ComClose(CurrentPort);
        CurrentPort = n;
        ComSetBaud(n, BaudRate);
        ComSetFormat(n, static_cast<unsigned char>(ParityIndex), static_cast<unsigned char>(DataBits),
                     static_cast<unsigned char>(StopBits));
        ComSetTimeouts(n);
        std::printf("\n\r{*** Change to use COM%d ***}\n\r", n);
        ComSetQueues(n);
        UpdateTitle();
    } else if (n != CurrentPort) {
        std::printf("\n\r");
        ShowPortOpenFailure(n, code);
        std::printf("{*** Cannot change to COM%d ***}\n\r", n);
    }
}

void SendDate()
{
    SysDateTime t;
    SysLocalTime(&t);
    char text[64];
    std::snprintf(text, sizeof text, "date %02d/%02d/%04d\r", t.month, t.day, t.year);
    SendText(text);
}

void SendTime()
{
    SysDateTime t;
    SysLocalTime(&t);
    char text[64];
    std::snprintf(text, sizeof text, "time %02d:%02d:%02d\r", t.hour, t.minute, t.second);
    SendText(text);
}

void RunDefaultScript()
{
    static char run[] = "/run";
    TokenCount = 1;
    Tokens[0] = run;
    RunScript();
}

}  // namespace

void StartKeyThread()
{
    std::printf("[Begin Key Thread...]\n\r");
    KeyThreadRunning = 1;
    if (SysStartThread(KeyThreadMain) != 0)
        KeyThreadRunning = 0;
}

void KeyThreadMain()
{
    while (!ExitRequest) {
        if (KeyThreadHold) {
            SysSleepMs(5);
            continue;
        }
        int code = ConReadKey();
        if (code != 0) {
            HandleKey(code);
            ComWake();  // the receive loop looks at what the key changed
        } else if (HeldCount > 0 && !TransferActive) {
            ReplayHeldKey();
        } else {
            ConWaitInput(HeldCount > 0 ? HeldKeyPollMs : KeyWaitMs);
        }
        std::fflush(stdout);
    }
    std::printf("[End of Key Thread.]");
    std::fflush(stdout);
    KeyThreadRunning = 0;
}

void HandleKey(int code)
{
    if (TransferActive) {
        // A transfer owns the port: keys are not mixed into the protocol.
        // Escape cancels it and drops the keys held so far (they were meant
        // for after a transfer that no longer ends as planned); ALT_X still
        // asks for the end; a download key while a single download is armed
        // adds its flags (F8 then F9 keeps the run after the load, F9 then
        // F8 asks for it); characters are held until the transfer has
        // ended; other hotkeys are refused.
        if (code == KEY_ESC) {
            CancelRequest = 1;
            HeldCount = 0;
        } else if (code == KeyAlt('X')) {
            ExitRequest = 1;
        } else if (IsDownloadKey(code) && AutoLoadActive != 0) {
            StartAutoLoad(code);
        } else if (code <= 0xFF && HeldCount < HeldKeyMax) {
            HeldKeys[HeldCount++] = code;
        } else {
            std::putchar('\a');
        }
        return;
    }
    if (code > 0xFF) {
        DispatchHotkey(code);
        return;
    }
    if (LineMode) {
        LineModeKey(code);
        return;
    }
    if (code == 0x11)
        std::printf("[X_ON]");
    if (code == 0x13)
        std::printf("[X_OFF]");
    SendTypedByte(static_cast<unsigned char>(code & 0xFF));
}

void DispatchHotkey(int code)
{
    static const unsigned char cursorUp[] = {0x1B, '[', 'A'};
    static const unsigned char cursorDown[] = {0x1B, '[', 'B'};
    static const unsigned char cursorRight[] = {0x1B, '[', 'C'};
    static const unsigned char cursorLeft[] = {0x1B, '[', 'D'};

    if (code >= KeyAlt('1') && code <= KeyAlt('9')) {
        SwitchPort(((code - 0x8100) / 0x100) + 1);
        return;
    }
    switch (code) {
    case KEY_LEFT:
        if (AnsiMode) ComWrite(CurrentPort, cursorLeft, 3);
        break;
    case KEY_UP:
        if (AnsiMode) ComWrite(CurrentPort, cursorUp, 3);
        break;
    case KEY_RIGHT:
        if (AnsiMode) ComWrite(CurrentPort, cursorRight, 3);
        break;
    case KEY_DOWN:
        if (AnsiMode) ComWrite(CurrentPort, cursorDown, 3);
        break;
    case KeyF(1): ShowHelp(); break;
    case KeyF(2): AskDownloadFileName(); break;
    case KeyF(3): SendText("run\r"); break;
    case KeyF(4): RunDefaultScript(); break;
    case KeyF(5): SendAutoRunLine(); break;
    case KeyF(6): AskRunArgs(); break;
    case KeyF(7): ComToggleRts(); break;
    case KeyF(8):
    case KeyF(9):
    case KeyF(10):
    case KeyAltF(10):
        StartAutoLoad(code);
        break;
    case KeyF(12): SendLetterBurst(); break;
    case KeyCtrlF(1): ShowHelpGb2312(); break;
    case KeyCtrlF(6): ConClearScreen(); break;
    case KeyCtrlF(12): SendLineBurst(); break;
    case KeyAlt('A'):
        AnsiMode = AnsiMode ? 0 : 1;
        ConSetColor(15);
        std::printf("{change to %s Mode}\n\r", AnsiMode ? "ANSI" : "Normal");
        ConSetColor(7);
        if (AnsiMode)
            AnsiReset();
        break;
    case KeyAlt('B'): ComSendBreak(); break;
    case KeyAlt('C'): CommandMode(); break;
    case KeyAlt('D'): SendDate(); break;
    case KeyAlt('E'):
        LoadPath[0] = 0;
        AskLoadPath();
        DownloadRequest = 1;
        break;
    case KeyAlt('G'): UploadRequest = 1; break;
    case KeyAlt('H'):
        HexMode = HexMode ? 0 : 1;
        std::printf("{change to %s mode}\n\r", HexMode ? "HEX" : "ASCII");
        break;
    case KeyAlt('I'): {
        unsigned char xon = 0x11;
        ComWrite(CurrentPort, &xon, 1);
        std::printf("[Send X_ON]");
        break;
    }
    case KeyAlt('L'):
        LineMode = LineMode ? 0 : 1;
        if (LineMode) {
            LineLength = 0;
            ConSetColor(15);
            std::printf("{change to Line Mode}\n\r");
        } else {
            ConSetColor(7);
            std::printf("{Back to Normal Mode}\n\r");
        }
        break;
    case KeyAlt('O'): {
        unsigned char xoff = 0x13;
        ComWrite(CurrentPort, &xoff, 1);
        std::printf("[Send X_OFF]");
        break;
    }
    case KeyAlt('S'):
        if (LineMode) {
            ChecksumMode = ChecksumMode ? 0 : 1;
            ConSetColor(15);
            std::printf("{checksum %s}\n\r", ChecksumMode ? "Enable" : "Disable");
        }
        break;
    case KeyAlt('T'): SendTime(); break;
    case KeyAlt('X'): ExitRequest = 1; break;
    case KeyAltF(1): ShowHelpBig5(); break;
    case KeyAltF(2): AskMultiFiles(); break;
    case KeyAltF(5): SendRunrLine(); break;
    case KeyAltF(7):
        EchoBackMode = EchoBackMode ? 0 : 1;
        if (EchoBackMode)
            std::printf("\nNow in Echo mode, press ALT_F7 to quit echo mode ...");
        else
            std::printf("\nNow back to normal mode\n\r");
        break;
    case KeyAltF(9): StartMultiLoad(); break;
    case KeyAltF(12): PacketDisplay(); break;
    default:
        break;
    }
}
