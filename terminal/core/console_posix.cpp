// Console layer on a POSIX terminal (xterm-compatible, tmux included).
//
// Keys: the terminal is put into a raw mode (no echo, no line buffering,
// no XON/XOFF interception) and the bytes it sends are decoded by
// KeyDecodeBytes.  Ctrl+C keeps its signal, so it ends the program at once,
// as on the console the program was first written for; every way out puts
// the terminal back as it was.
// Attributes: console attribute bytes shown as ANSI colours.
// Title: the OSC 0 sequence.
#include "console.h"

#include "globals.h"
#include "keydecode.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::atomic<int> Attribute{7};

struct termios SavedTermios;
std::atomic<bool> HaveSavedTermios{false};
std::atomic<bool> TermiosChanged{false};

// Bytes read from the terminal and not yet decoded.  Both threads may ask
// for keys (a prompt on the main thread, the keyboard thread), so the
// buffer is guarded.
std::mutex InputLock;
unsigned char InputBuf[256];
int InputLen = 0;
std::chrono::steady_clock::time_point LastByteTime;

constexpr int EscTimeoutMs = 30;

const int RestoreSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGSEGV,
                              SIGBUS, SIGFPE,  SIGILL, SIGABRT};
constexpr int RestoreSignalCount = sizeof RestoreSignals / sizeof RestoreSignals[0];
struct sigaction PreviousActions[RestoreSignalCount];

void RestoreTerminalSignalSafe()
{
    if (TermiosChanged.exchange(false)) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &SavedTermios);
    }
    static const char reset[] = "\033[0m";
    ssize_t r = write(STDOUT_FILENO, reset, sizeof reset - 1);
    (void)r;
}

void OnFatalSignal(int sig, siginfo_t *info, void *context)
{
    RestoreTerminalSignalSafe();
    int i = 0;
    while (i < RestoreSignalCount && RestoreSignals[i] != sig)
        ++i;
    if (i < RestoreSignalCount) {
        // Hand the signal on to whoever handled it before us (a sanitizer's
        // crash report), or to the default action.
        struct sigaction &prev = PreviousActions[i];
        if ((prev.sa_flags & SA_SIGINFO) && prev.sa_sigaction != nullptr) {
            prev.sa_sigaction(sig, info, context);
            return;
        }
        if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN && prev.sa_handler != nullptr) {
            prev.sa_handler(sig);
            return;
        }
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

void InstallRestoreHandlers()
{
    for (int i = 0; i < RestoreSignalCount; ++i) {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_sigaction = OnFatalSignal;
        sa.sa_flags = SA_SIGINFO | SA_RESETHAND;
        sigemptyset(&sa.sa_mask);
        sigaction(RestoreSignals[i], &sa, &PreviousActions[i]);
    }
}

// Reads what the terminal has sent, without waiting.  Caller holds InputLock.
void FillInput()
{
    while (InputLen < static_cast<int>(sizeof InputBuf)) {
        struct pollfd p = {STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0 || !(p.revents & (POLLIN | POLLHUP)))
            return;
        ssize_t n = read(STDIN_FILENO, InputBuf + InputLen, sizeof InputBuf - InputLen);
        if (n <= 0)
            return;
        InputLen += static_cast<int>(n);
        LastByteTime = std::chrono::steady_clock::now();
    }
}

int MsSinceLastByte()
{
    auto d = std::chrono::steady_clock::now() - LastByteTime;
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

}  // namespace

void ConInitInput()
{
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &SavedTermios) == 0) {
        HaveSavedTermios = true;
        struct termios raw = SavedTermios;
        raw.c_lflag &= ~(ICANON | ECHO | ECHONL | IEXTEN);
        raw.c_lflag |= ISIG;  // Ctrl+C still ends the program
        raw.c_iflag &= ~(IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT);
        // Only Ctrl+C keeps a signal: Ctrl+Z and Ctrl+\ arrive as keys.
        raw.c_cc[VSUSP] = _POSIX_VDISABLE;
        raw.c_cc[VQUIT] = _POSIX_VDISABLE;
#ifdef VDSUSP
        raw.c_cc[VDSUSP] = _POSIX_VDISABLE;
#endif
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        InstallRestoreHandlers();
        std::atexit(ConRestore);
        if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0)
            TermiosChanged = true;
    }
}

void ConInitOutput()
{
    // Output is buffered and flushed by the loops that wait (the receive
    // loop after each chunk, key polling, port waits), so a busy link costs
    // few writes to the terminal.
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

void ConRestore()
{
    std::fflush(stdout);
    RestoreTerminalSignalSafe();
}

int ConReadKey()
{
    std::fflush(stdout);
    std::lock_guard<std::mutex> lock(InputLock);
    FillInput();
    while (InputLen > 0) {
        int code = 0;
        int used = KeyDecodeBytes(InputBuf, InputLen, false, &code);
        if (used == 0) {
            if (MsSinceLastByte() < EscTimeoutMs)
                return 0;
            used = KeyDecodeBytes(InputBuf, InputLen, true, &code);
        }
        std::memmove(InputBuf, InputBuf + used, InputLen - used);
        InputLen -= used;
        if (code != 0)
            return code;
    }
    return 0;
}

void ConWaitInput(int timeout_ms)
{
    std::fflush(stdout);
    {
        std::lock_guard<std::mutex> lock(InputLock);
        if (InputLen > 0) {
            // A partial sequence: come back when its time is up.
            int left = EscTimeoutMs - MsSinceLastByte();
            if (left <= 0)
                return;
            if (left < timeout_ms)
                timeout_ms = left;
        }
    }
    struct pollfd p = {STDIN_FILENO, POLLIN, 0};
    poll(&p, 1, timeout_ms);
}

int ConReadLine(char *buffer, int capacity)
{
    int len = 0;
    if (capacity <= 0)
        return 0;
    buffer[0] = 0;
    for (;;) {
        int code = ConReadKey();
        if (code == 0) {
            if (ExitRequest)
                break;
            ConWaitInput(20);
            continue;
        }
        if (code < 1 || code > 255)
            continue;
        if (code == 13)
            break;
        if (code == 8) {
            if (len > 0) {
                --len;
                std::printf("\b \b");
                std::fflush(stdout);
            }
            continue;
        }
        if (len < capacity - 1) {
            buffer[len++] = static_cast<char>(code);
            std::printf("%c", code);
            std::fflush(stdout);
        }
    }
    buffer[len] = 0;
    return len;
}

void ConAttributeToAnsi(int attribute, char *out, std::size_t size)
{
    attribute &= 0xFF;
    if (attribute == 0x07) {
        // Normal text: the terminal's own colours.
        std::snprintf(out, size, "\033[0m");
        return;
    }
    auto swap = [](int c) { return ((c & 1) << 2) | (c & 2) | ((c & 4) >> 2); };
    int fg = swap(attribute & 7);
    int bg = swap((attribute >> 4) & 7);
    int fgBase = (attribute & 0x08) ? 90 : 30;
    int bgBase = (attribute & 0x80) ? 100 : 40;
    std::snprintf(out, size, "\033[0;%d;%dm", fgBase + fg, bgBase + bg);
}

void ConSetColor(int attribute)
{
    Attribute = attribute & 0xFFFF;
    char seq[32];
    ConAttributeToAnsi(attribute, seq, sizeof seq);
    std::fputs(seq, stdout);
}

int ConGetColor()
{
    return Attribute;
}

void ConClearScreen()
{
    ConSetColor(7);
    std::fputs("\033[2J\033[3J\033[H", stdout);
    std::fflush(stdout);
}

void ConSetTitle(const char *title)
{
    // Control bytes in a title (a directory name can hold any byte) would
    // end the sequence early; show them as '?'.
    char clean[512];
    std::size_t i = 0;
    for (; title[i] != 0 && i < sizeof clean - 1; ++i) {
        unsigned char c = static_cast<unsigned char>(title[i]);
        clean[i] = (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
    }
    clean[i] = 0;
    std::printf("\033]0;%s\007", clean);
    std::fflush(stdout);
}
