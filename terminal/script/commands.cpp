// ExecCommand: the commands of scripts and of command-mode lines that
// begin with '/', and ShowSystemError.
#include "script.h"

#include "console.h"
#include "display.h"
#include "globals.h"
#include "options.h"
#include "serial.h"
#include "settings.h"
#include "system.h"
#include "transfer/transfer.h"
#include "transfer/transfer_file.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr int ScriptArmedWaitMs = ArmedWaitMs + ScriptIdleWaitMs;

void Send(const void *bytes, int count)
{
    if (count > 0)
        ComWrite(CurrentPort, bytes, count);
}

bool SameWord(const char *a, const char *b)
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The argument words joined by single blanks (one command line holds at
// most 255 characters, so they always fit), with "\r" when cr is set.
void SendWords(bool cr)
{
    char text[TokenLineSize + 2];
    int len = 0;
    for (int i = 1; i < TokenCount && i < MaxTokens; ++i) {
        if (i > 1 && len < TokenLineSize)
            text[len++] = ' ';
        for (const char *p = Tokens[i]; *p != '\0' && len < TokenLineSize; ++p)
            text[len++] = *p;
    }
    if (cr)
        text[len++] = '\r';
    Send(text, len);
}

void SendHex()
{
    unsigned char bytes[ScriptSendHexSize];
    int count = TokenCount - 1;
    if (count > MaxTokens - 1)
        count = MaxTokens - 1;
    int n = BuildSendHex(Tokens + 1, count, bytes, ScriptSendHexSize);
    Send(bytes, n);
}

// Polls the keyboard while a script waits.  Returns the key, 0 for none.
// Keys are left alone while a prompt on the main thread reads them.
int PollKey()
{
    if (KeyThreadHold || ScriptNoConsole)
        return 0;
    return ConReadKey();
}

// A short wait that a key ends early; a plain sleep without a console.
void WaitTick(int ms)
{
    if (ScriptNoConsole)
        SysSleepMs(ms);
    else
        ConWaitInput(ms);
}

// A wait of ms milliseconds (ms != 0) that Escape ends and stops the
// script, or (ms == 0) a wait for any key.
void Pause(int ms)
{
    std::fflush(stdout);
    std::uint32_t start = SysTickMs();
    for (;;) {
        if (ExitRequest)
            return;
        int code = PollKey();
        if (code == KeyAlt('X')) {
            ExitRequest = 1;
            ScriptStop = 1;
            return;
        }
        if (ms == 0) {
            if (code != 0 || ScriptNoConsole)
                return;  // without a console no key can come
        } else {
            if (code == KEY_ESC) {
                ScriptStop = 1;
                return;
            }
            std::uint32_t elapsed = SysTickMs() - start;
            if (ms < 0 || elapsed >= static_cast<std::uint32_t>(ms))
                return;
            std::uint32_t left = static_cast<std::uint32_t>(ms) - elapsed;
            WaitTick(left < 10 ? static_cast<int>(left) : 10);
            continue;
        }
        WaitTick(10);
    }
}

// Arms the automatic download for the named file, sends the controller
// command and waits until the receive loop reports the transfer's end.
// Without a console, what a download command that failed leaves behind:
// the script ends there (see ScriptFail).
void LoadFailed(const char *name, int failuresBefore)
{
    char reason[256];
    if (DownloadFailures != failuresBefore) {
        // The receive loop wrote the outcome before it set LoadDone.
        const DownloadOutcome &d = LastDownload;
        const char *why = d.reason != nullptr ? d.reason : "failed";
        if (d.block == 0 && d.blocks == 0)
            std::snprintf(reason, sizeof reason, "%s", why);
        else
            std::snprintf(reason, sizeof reason, "block %d of %d: %s", d.block, d.blocks, why);
    } else if (LoadDone == 0) {
        std::snprintf(reason, sizeof reason, "the download did not end");
    } else {
        const char *halt = ScriptHalt.load();
        std::snprintf(reason, sizeof reason, "%s", halt != nullptr ? halt : "the download was cancelled");
    }
    ScriptFail(name, reason);
}

void Load(const char *command)
{
    if (TokenCount < 2) {
        if (ScriptNoConsole)
            ScriptFail("", "a download command without a file");
        return;
    }
    const char *name = Tokens[1];
    // A file the download could not open (none, or a directory): nothing
    // is sent.
    std::FILE *probe = TransferOpenFile(name);
    if (probe == nullptr) {
        if (ScriptNoConsole) {
            int code = SysReadableFile(name);
            char why[200];
            FileProblemText(code != 0 ? code : SysLastError(), why, sizeof why);
            char reason[256];
            std::snprintf(reason, sizeof reason, "cannot open the file: %s", why);
            ScriptFail(name, reason);
            return;
        }
        std::printf("Cannot open file:");
        ConWriteText(name);
        std::printf("\n\r");
        return;
    }
    std::fclose(probe);
    if (SetLoadPath(name) != 0) {
        if (ScriptNoConsole)
            ScriptFail(name, "the file name is too long");
        return;
    }
    int failuresBefore = DownloadFailures;

    CancelRequest = 0;
    LoadDone = 0;
    AutoLoadActive = 2;
    ComWake();
    Send(command, static_cast<int>(std::strlen(command)));
    std::fflush(stdout);

    // The receive loop bounds the wait for the controller's '!' and every
    // reply during the transfer; the bounds here only back it up.
    std::uint32_t armedSince = SysTickMs();
    std::uint32_t idleSince = armedSince;
    bool cancelled = false;
    while (LoadDone == 0) {
        int code = PollKey();
        if (code == KEY_ESC || code == KeyAlt('X')) {
            if (code == KeyAlt('X'))
                ExitRequest = 1;
            CancelRequest = 1;  // the transfer or the armed watch ends and sets LoadDone
            ScriptStop = 1;
            if (!cancelled)
                idleSince = SysTickMs();
            cancelled = true;
        }
        std::uint32_t now = SysTickMs();
        if (AutoLoadActive != 0 && !cancelled) {
            if (now - armedSince >= static_cast<std::uint32_t>(ScriptArmedWaitMs))
                break;
            idleSince = now;
        } else if (TransferActive != 0 && !cancelled) {
            idleSince = now;
        } else if (now - idleSince >= static_cast<std::uint32_t>(ScriptIdleWaitMs)) {
            break;
        }
        WaitTick(10);
    }
    bool done = LoadDone != 0;
    if (ScriptNoConsole && (!done || DownloadFailures != failuresBefore || ExitRequest != 0))
        LoadFailed(name, failuresBefore);
    if (!done) {
        // Nobody ended the download: disarm it so the controller's next '!'
        // starts nothing, and let typed keys through again.
        AutoLoadActive = 0;
        TransferActive = 0;
        CancelRequest = 0;
    }
}

}  // namespace

int BuildSendHex(char *const *args, int count, unsigned char *out, int cap)
{
    int n = 0;
    for (int i = 0; i < count && n < cap; ++i) {
        const char *a = args[i];
        if (a == nullptr)
            continue;
        if (a[0] == '"') {
            for (const char *p = a + 1; *p != '\0' && n < cap; ++p)
                out[n++] = static_cast<unsigned char>(*p);
            continue;
        }
        const char *p = a;
        while (HexValue(p[0]) >= 0 && n < cap) {
            int high = HexValue(p[0]);
            int low = HexValue(p[1]);
            if (low < 0) {
                out[n++] = static_cast<unsigned char>(high);  // odd last digit: a byte of its own
                break;
            }
            out[n++] = static_cast<unsigned char>(high * 16 + low);
            p += 2;
        }
    }
    return n;
}

void ExecCommand()
{
    if (TokenCount < 1 || Tokens[0] == nullptr || Tokens[0][0] == '\0')
        return;
    const char *word = Tokens[0] + 1;  // after the '/'
    if (SameWord(word, "load"))
        Load("LOAD\r");
    else if (SameWord(word, "loadr"))
        Load("LOADR\r");
    else if (SameWord(word, "loadb"))
        Load("LOADB\r");
    else if (SameWord(word, "upload"))
        Load("UPLOAD\r");
    else if (SameWord(word, "cls")) {
        if (!ScriptNoConsole)  // without a console there is no screen of ours
            ConClearScreen();
    }
    else if (SameWord(word, "senddata"))
        SendWords(false);
    else if (SameWord(word, "sendcmd"))
        SendWords(true);
    else if (SameWord(word, "sendhex"))
        SendHex();
    else if (SameWord(word, "pause"))
        Pause(TokenCount >= 2 ? DecimalOrZero(Tokens[1]) : 0);
    else if (SameWord(word, "run"))
        RunScript();
    else if (SameWord(word, "quit")) {
        ExitRequest = 1;
        ScriptStop = 1;
    }
}

void ShowSystemError(const char *label)
{
    ShowErrorCode(label, SysLastError());
}

void ShowErrorCode(const char *label, int code)
{
    char text[256];
    SysErrorText(code, text, sizeof text);
    ConSetColor(15);
    std::printf("%s:", label);
    ConSetColor(4);
    std::printf("%s", text);
    std::size_t len = std::strlen(text);
    if (len == 0 || text[len - 1] != '\n')
        std::printf("\n\r");
    ConSetColor(7);
}
