// Console layer on a POSIX terminal (xterm-compatible, tmux included).
//
// Keys: the terminal is put into a raw mode (no echo, no line buffering,
// no XON/XOFF interception) and the bytes it sends are decoded by
// KeyDecodeBytes.  Ctrl+C keeps its signal, so it ends the program at once,
// as on the console the program was first written for; every way out puts
// the terminal back as it was.
// Attributes: console attribute bytes shown as ANSI colours.
// Title: the OSC 0 sequence; the user's title is kept on the terminal's
// title stack meanwhile and put back at the end.
// Cursor: the terminal is asked where its cursor is (ESC [ 6 n) and its
// answer is taken out of the key input; moves and line clearing are ANSI
// sequences.  Text in a code page (the Chinese helps) is converted with iconv
// to the character set of the user's locale.
#include "console.h"

#include "charset.h"
#include "keydecode.h"
#include "sigchain_posix.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
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

// Cursor position reports.  The cursor's place is asked of the terminal
// itself (ESC [ 6 n); it answers ESC [ row ; column R on its input, mixed in
// with typed keys.  The answer is taken out of InputBuf wherever it sits,
// so typed keys before and after it keep their order.  While a query waits
// for its answer (ReportQuery), only the asking thread reads the terminal and
// ConReadKey decodes nothing, so a half-arrived answer is never taken for a
// key.  All of it is guarded by InputLock.
bool ReportQuery = false;      // a thread waits for an answer
int ReportsOutstanding = 0;    // queries sent and not yet answered (0 or 1)
bool ReportReady = false;
int ReportRow = 0;
int ReportColumn = 0;
bool TerminalSilent = false;   // the terminal's input has ended: ask no more

// How long one query waits for the terminal's answer.  An answer that comes
// later is still taken out of the input when it arrives, and no new query is
// sent before it has.
constexpr int ReportTimeoutMs = 2000;

// One query at a time.
std::mutex QueryLock;

const int RestoreSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGSEGV,
                              SIGBUS, SIGFPE,  SIGILL, SIGABRT};
constexpr int RestoreSignalCount = sizeof RestoreSignals / sizeof RestoreSignals[0];
struct sigaction PreviousActions[RestoreSignalCount];

// The window title the user had is pushed on the terminal's title stack at
// start (CSI 22;0t) and popped at the end (CSI 23;0t), on every way out.
std::atomic<bool> TitlePushed{false};

void RestoreTerminalSignalSafe()
{
    if (TermiosChanged.exchange(false)) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &SavedTermios);
    }
    static const char reset[] = "\033[0m";
    ssize_t r = write(STDOUT_FILENO, reset, sizeof reset - 1);
    if (TitlePushed.exchange(false)) {
        static const char pop[] = "\033[23;0t";
        r = write(STDOUT_FILENO, pop, sizeof pop - 1);
    }
    (void)r;
}

void OnFatalSignal(int sig, siginfo_t *info, void *context)
{
    SigDefault(sig);
    RestoreTerminalSignalSafe();
    int i = 0;
    while (i < RestoreSignalCount && RestoreSignals[i] != sig)
        ++i;
    // Hand the signal on to whoever handled it before us (a sanitizer's
    // crash report), or to the default action.
    SigPassOn(sig, info, context, i < RestoreSignalCount ? &PreviousActions[i] : nullptr);
}

void InstallRestoreHandlers()
{
    for (int i = 0; i < RestoreSignalCount; ++i) {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_sigaction = OnFatalSignal;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        sigaction(RestoreSignals[i], &sa, &PreviousActions[i]);
    }
}

// The terminal has gone (its window closed, its far side hung up) without
// a hang-up signal reaching us: end as Ctrl+C does, with the terminal put
// back and nothing saved.
void EndOfInput()
{
    RestoreTerminalSignalSafe();
    raise(SIGHUP);
    _exit(129);  // SIGHUP was ignored by whoever started us
}

// Takes the first complete position report (ESC [ digits ; digits R) out of
// InputBuf while one is awaited.  Caller holds InputLock.
void ExtractReport()
{
    if (ReportsOutstanding == 0)
        return;
    int start = 0, length = 0;
    if (KeyFindPositionReport(InputBuf, InputLen, &start, &length, &ReportRow, &ReportColumn) == 0)
        return;
    ReportReady = true;
    --ReportsOutstanding;
    std::memmove(InputBuf + start, InputBuf + start + length, static_cast<std::size_t>(InputLen - start - length));
    InputLen -= length;
}

// Reads what the terminal has sent, without waiting.  Caller holds InputLock.
void FillInput()
{
    while (InputLen < static_cast<int>(sizeof InputBuf)) {
        struct pollfd p = {STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0 || !(p.revents & (POLLIN | POLLHUP)))
            return;
        ssize_t n = read(STDIN_FILENO, InputBuf + InputLen, sizeof InputBuf - InputLen);
        if (n <= 0) {
            // Readable yet nothing to read: the terminal has closed.
            if (n == 0 || errno == EIO)
                EndOfInput();
            return;
        }
        InputLen += static_cast<int>(n);
        LastByteTime = std::chrono::steady_clock::now();
        ExtractReport();
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
    if (!isatty(STDIN_FILENO)) {
        // Keys come from a terminal only: with none there is no way to
        // use (or quit) the program.
        std::fprintf(stderr, "tarvik: standard input is not a terminal\n");
        std::exit(1);
    }
    if (tcgetattr(STDIN_FILENO, &SavedTermios) == 0) {
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
    if (isatty(STDOUT_FILENO) && !TitlePushed.exchange(true)) {
        std::fputs("\033[22;0t", stdout);
        std::fflush(stdout);
    }
}

void ConRestore()
{
    std::fflush(stdout);
    {
        // A position report still on its way would land in the user's shell
        // after the end: wait a little for it.
        std::unique_lock<std::mutex> lock(InputLock);
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (ReportsOutstanding > 0 && !TerminalSilent && std::chrono::steady_clock::now() < until) {
            FillInput();
            if (ReportsOutstanding == 0)
                break;
            lock.unlock();
            struct pollfd p = {STDIN_FILENO, POLLIN, 0};
            poll(&p, 1, 10);
            lock.lock();
        }
    }
    RestoreTerminalSignalSafe();
}

int ConReadKey()
{
    std::fflush(stdout);
    std::lock_guard<std::mutex> lock(InputLock);
    if (ReportQuery)
        return 0;  // the asking thread reads the terminal meanwhile
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
    bool querying = false;
    {
        std::lock_guard<std::mutex> lock(InputLock);
        querying = ReportQuery;
        if (!querying && InputLen > 0) {
            // A partial sequence: come back when its time is up.
            int left = EscTimeoutMs - MsSinceLastByte();
            if (left <= 0)
                return;
            if (timeout_ms < 0 || left < timeout_ms)
                timeout_ms = left;
        }
    }
    if (querying) {
        // Input that arrives now is read by the thread that asked for the
        // cursor: come back shortly instead of waking on it at once.
        struct timespec ts = {0, (timeout_ms >= 0 && timeout_ms < 2 ? timeout_ms : 2) * 1000000L};
        nanosleep(&ts, nullptr);
        return;
    }
    struct pollfd p = {STDIN_FILENO, POLLIN, 0};
    poll(&p, 1, timeout_ms);
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

// ---- Cursor and line ----------------------------------------------------------

int ConGetCursor(int *column, int *row)
{
    *column = 0;
    *row = 0;
    // The answer comes on the terminal's input: only ask a terminal that we
    // read raw, and that is also where the output goes.
    if (!TermiosChanged || !isatty(STDOUT_FILENO))
        return -1;
    std::lock_guard<std::mutex> query(QueryLock);
    {
        std::lock_guard<std::mutex> lock(InputLock);
        if (TerminalSilent)
            return -1;
        if (ReportsOutstanding > 0) {
            // An earlier answer is still on its way: it will be taken out when
            // it comes; asking again meanwhile would only pile up answers.
            FillInput();
            if (ReportsOutstanding > 0)
                return -1;
        }
        ReportReady = false;
        ReportsOutstanding = 1;
        ReportQuery = true;
    }
    // Everything printed before (by either thread) reaches the terminal
    // first, so the answer is the cursor's place after all of it.
    std::fputs("\033[6n", stdout);
    std::fflush(stdout);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ReportTimeoutMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(InputLock);
            FillInput();
            if (ReportReady) {
                ReportQuery = false;
                *column = ReportColumn;
                *row = ReportRow;
                return 0;
            }
            if (InputLen >= static_cast<int>(sizeof InputBuf))
                break;  // typed keys fill the buffer: give up, keep the keys
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            break;
        struct pollfd p = {STDIN_FILENO, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left < 50 ? left : 50));
        if (r > 0 && !(p.revents & POLLIN)) {
            // The terminal's input has ended or broken: no answer will come.
            std::lock_guard<std::mutex> lock(InputLock);
            TerminalSilent = true;
            break;
        }
    }
    std::lock_guard<std::mutex> lock(InputLock);
    ReportQuery = false;
    return -1;
}

int ConScreenSize(int *columns, int *rows)
{
    struct winsize ws;
    std::memset(&ws, 0, sizeof ws);
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0 || ws.ws_row == 0) {
        *columns = 0;
        *rows = 0;
        return -1;
    }
    *columns = ws.ws_col;
    *rows = ws.ws_row;
    return 0;
}

int ConMoveCursor(int column, int row)
{
    int columns = 0, rows = 0;
    if (column < 1 || row < 1)
        return -1;
    if (ConScreenSize(&columns, &rows) == 0 && (column > columns || row > rows))
        return -1;
    std::printf("\033[%d;%dH", row, column);
    return 0;
}

void ConClearToEndOfLine()
{
    // Blank in the start-up attribute, then back to the current one.
    std::fputs("\033[0m\033[K", stdout);
    int attribute = Attribute;
    if ((attribute & 0xFF) != 0x07) {
        char seq[32];
        ConAttributeToAnsi(attribute, seq, sizeof seq);
        std::fputs(seq, stdout);
    }
}

// ---- Character sets -------------------------------------------------------------

namespace {

char TerminalCharsetName[64];
std::once_flag TerminalCharsetOnce;

// The character set the terminal shows, from the user's locale settings.
// Without any (the plain C locale) terminals are UTF-8 in practice.
const char *TerminalCharset()
{
    std::call_once(TerminalCharsetOnce, [] {
        std::snprintf(TerminalCharsetName, sizeof TerminalCharsetName, "UTF-8");
        locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
        if (loc == static_cast<locale_t>(nullptr))
            return;
        const char *cs = nl_langinfo_l(CODESET, loc);
        char norm[64];
        NormaliseCharset(cs != nullptr ? cs : "", norm, sizeof norm);
        if (norm[0] != 0 && std::strcmp(norm, "ANSIX3.41968") != 0 && std::strcmp(norm, "ASCII") != 0)
            std::snprintf(TerminalCharsetName, sizeof TerminalCharsetName, "%s", cs);
        freelocale(loc);
    });
    return TerminalCharsetName;
}

std::atomic<unsigned> InputCodePage{0};

bool CanConvertFrom(unsigned codePage)
{
    char name[32];
    CharsetOfCodePage(codePage, name, sizeof name);
    iconv_t cd = iconv_open("UTF-8", name);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    iconv_close(cd);
    return true;
}

char EscGlyph[8];
std::once_flag EscGlyphOnce;

}  // namespace

unsigned ConGetInputCodePage()
{
    unsigned cp = InputCodePage;
    if (cp == 0) {
        unsigned start = CodePageOfCharset(TerminalCharset());
        InputCodePage.compare_exchange_strong(cp, start);
        cp = InputCodePage;
    }
    return cp;
}

int ConSetInputCodePage(unsigned codePage)
{
    if (codePage == 0 || !CanConvertFrom(codePage))
        return -1;
    InputCodePage = codePage;
    return 0;
}

void ConWriteCodePage(const char *text, std::size_t len, unsigned codePage)
{
    char from[32];
    CharsetOfCodePage(codePage, from, sizeof from);
    const char *to = TerminalCharset();
    char a[64], b[64];
    NormaliseCharset(from, a, sizeof a);
    NormaliseCharset(to, b, sizeof b);
    if (std::strcmp(a, b) == 0) {
        std::fwrite(text, 1, len, stdout);
        return;
    }
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // No converter: ASCII as it is, every other byte as '?'.
        for (std::size_t i = 0; i < len; ++i) {
            unsigned char c = static_cast<unsigned char>(text[i]);
            std::putchar(c < 0x80 ? c : '?');
        }
        return;
    }
    char *in = const_cast<char *>(text);
    std::size_t inLeft = len;
    char out[1024];
    while (inLeft > 0) {
        char *o = out;
        std::size_t outLeft = sizeof out;
        std::size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
        int err = (r == static_cast<std::size_t>(-1)) ? errno : 0;
        std::fwrite(out, 1, sizeof out - outLeft, stdout);
        if (err == EILSEQ || err == EINVAL) {
            // A character the terminal cannot show, or a broken one.
            std::size_t skip = 1;
            if (IsDoubleByteCodePage(codePage) && static_cast<unsigned char>(*in) >= 0x81 && inLeft >= 2)
                skip = 2;
            if (err == EINVAL)
                skip = inLeft;
            std::putchar('?');
            in += skip;
            inLeft -= skip;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        } else if (err != 0 && err != E2BIG) {
            break;
        }
    }
    iconv_close(cd);
}

void ConPutByte(int byte)
{
    unsigned char c = static_cast<unsigned char>(byte);
    if (c != 0x1B) {
        std::putchar(c);
        return;
    }
    std::call_once(EscGlyphOnce, [] {
        // U+2190 LEFTWARDS ARROW, in the terminal's character set.
        std::snprintf(EscGlyph, sizeof EscGlyph, "?");
        iconv_t cd = iconv_open(TerminalCharset(), "UTF-8");
        if (cd == reinterpret_cast<iconv_t>(-1))
            return;
        char arrow[] = "\xE2\x86\x90";
        char *in = arrow;
        std::size_t inLeft = 3;
        char *o = EscGlyph;
        std::size_t outLeft = sizeof EscGlyph - 1;
        if (iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<std::size_t>(-1))
            *o = 0;
        else
            std::snprintf(EscGlyph, sizeof EscGlyph, "?");
        iconv_close(cd);
    });
    std::fputs(EscGlyph, stdout);
}
