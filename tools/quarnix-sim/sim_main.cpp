// quarnix-sim: the controller simulator.
//
// Serves a pseudo-terminal (or a serial device given with --device) and
// behaves like a small controller's command shell: it echoes what it
// receives, shows a prompt, keeps a clock that "date" and "time" set, and
// answers other commands with lines of its own.  The terminal side of the
// pseudo-terminal is published as a symlink (--link PATH).
#include "sim.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

unsigned SimReadLineRate(int fd);

SimByteSink SimRawInput = nullptr;

namespace {

const char *Version = "quarnix-sim 1.30";  // "<name> <version>", as every tool of the kit

int LineFd = -1;        // our end: pty master or the device
int SlaveFd = -1;       // terminal side, held open so the line never hangs up
std::string LinkPath;
std::string RecordPath;
int RecordFd = -1;
unsigned PaceRate = 0;  // bit/s; 0 = as fast as the line takes it
bool Quiet = false;
std::atomic<bool> Stop{false};

long long ClockOffset = 0;  // seconds added to the host's clock

// --line-rate: when each direction of the simulated wire is free again
// (CLOCK_MONOTONIC, ns).  A byte takes 10 bit times; bytes queue behind the
// ones before them, so a stream keeps the line's rate however the bytes
// are split into writes and reads.
long long TxFreeNs = 0;
long long RxFreeNs = 0;
// Set while the simulator handles bytes just received: what it sends then
// is its answer, which a controller starts to send as the last of those
// bytes arrives (RxFreeNs), however late this process got to it.
bool Answering = false;
// When the last answer left (CLOCK_MONOTONIC, ns).  A terminal in a block
// transfer sends its next block as soon as it has read the answer, and a
// real wire starts carrying it at once; a process woken from poll sees it
// only tens of microseconds later, time that would count as line time.  So
// for a short while after an answer the simulator watches the line without
// sleeping (yielding the CPU, as in SleepUntilNs).
long long AnsweredNs = 0;
constexpr long long WatchAfterAnswerNs = 2000000;

long long MonoNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Time on the wire of n bytes.
long long WireNs(std::size_t n)
{
    return static_cast<long long>(n) * 10 * 1000000000LL / PaceRate;
}

// A sleep ends late (tens of microseconds on a quiet machine, hundreds on a
// busy or virtual one), and every late end would count as line time: at
// 921600 bit/s a block is only 2.8 ms on the wire.  So the sleep ends early
// by a margin that follows the lateness this machine has shown, and the
// rest is waited out on the clock.  The margin grows at once to a late
// wake-up and shrinks slowly; it stays within SpinMinNs..SpinMaxNs.
constexpr long long SpinMinNs = 100000;
constexpr long long SpinMaxNs = 2000000;
long long SpinNs = SpinMinNs;

void SleepUntilNs(long long when)
{
    long long early = when - SpinNs;
    if (MonoNs() < early) {
        struct timespec ts = {static_cast<time_t>(early / 1000000000LL), static_cast<long>(early % 1000000000LL)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && !Stop) {
        }
        long long late = MonoNs() - early;
        long long want = late + late / 2 + 20000;
        if (want > SpinNs)
            SpinNs = want < SpinMaxNs ? want : SpinMaxNs;
        else if (SpinNs > SpinMinNs)
            SpinNs -= (SpinNs - want) / 16;
    }
    // Yielding: the kernel's delivery of pseudo-terminal bytes runs in a
    // worker thread that may be waiting for this very CPU.
    while (MonoNs() < when && !Stop) {
        sched_yield();
    }
}

// Bytes just read from the terminal: with --line-rate, they are handed on
// only when their last bit would have arrived.
void PaceReceived(std::size_t n)
{
    if (PaceRate == 0)
        return;
    long long now = MonoNs();
    RxFreeNs = (RxFreeNs > now ? RxFreeNs : now) + WireNs(n);
    SleepUntilNs(RxFreeNs);
}

// --answer-delay: each answer is held this long after what it answers
// arrived, as a USB adapter holds received bytes up to its latency timer.
long long AnswerDelayNs = 0;
// When the answer to the bytes being handled may leave (0: no hold).
long long AnswerHoldUntilNs = 0;

// Waits until when (CLOCK_MONOTONIC, ns), or until a signal asks to stop.
void HoldUntilNs(long long when)
{
    struct timespec ts = {static_cast<time_t>(when / 1000000000LL), static_cast<long>(when % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && !Stop) {
    }
}

char LineBuf[256];
int LineLen = 0;

// The self-pipe that wakes the main loop's poll: written by the signal
// handlers, so a signal that comes just before the poll is not missed.
int WakeRead = -1;
int WakeWrite = -1;

void DrainWake()
{
    char sink[64];
    while (read(WakeRead, sink, sizeof sink) > 0) {
    }
}

void OnSignal(int)
{
    Stop = true;
    SimWake();
}

// SIGUSR2 unplugs the line, or plugs it in again, as a USB adapter is when
// the controller reboots: handled by the main loop.  (SIGUSR1 belongs to
// the block sender of the modules.)
std::atomic<int> PlugRequest{0};
void OnPlugSignal(int)
{
    PlugRequest = 1;
    SimWake();
}

void Usage()
{
    std::printf(
        "Usage: quarnix-sim [options]\n"
        "Simulated controller on a serial line.\n"
        "  --link PATH        publish the terminal side of a new\n"
        "                     pseudo-terminal as PATH\n"
        "  --device PATH      serve a serial device instead of a pseudo-terminal\n"
        "  --record FILE      append every byte received from the terminal to\n"
        "                     FILE\n"
        "  --line-rate N      pace the line at N bit/s both ways (10 bits a\n"
        "                     byte): bytes to the terminal leave at that rate,\n"
        "                     bytes from it are taken as they would arrive\n"
        "  --answer-delay MS  hold every answer MS milliseconds after what it\n"
        "                     answers arrived, as a USB adapter's latency timer\n"
        "                     does (default 0)\n"
        "  --quiet            no start-up message on the line\n"
        "  --help             this text\n"
        "  --version          the version\n"
        "Port faults: SIGUSR2 unplugs the line (the pseudo-terminal closes, the\n"
        "  link goes) and, sent again, plugs it in again (a new pseudo-terminal\n"
        "  behind the same link); the shell command hangup hangs the terminal\n"
        "  side up (TIOCVHANGUP) and goes on serving.\n"
        "SIGTERM, SIGINT and SIGHUP end it (the link is removed).\n"
        "Shell commands: date [MM/DD/YYYY], time [HH:MM:SS], run, ver, help,\n"
        "  ansidemo (draws a status screen with ANSI escape sequences)\n");
    TransferUsage();
    ModulesUsage();
}

void WriteAll(int fd, const unsigned char *p, std::size_t len)
{
    while (len > 0) {
        ssize_t w = write(fd, p, len);
        if (w > 0) {
            p += w;
            len -= static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd pf = {fd, POLLOUT, 0};
            if (poll(&pf, 1, 1000) <= 0)
                return;  // nobody drains the line: drop the rest
            continue;
        }
        return;
    }
}

int SplitWords(char *line, char **argv, int max)
{
    int argc = 0;
    char *p = line;
    while (*p && argc < max) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (!*p)
            break;
        argv[argc++] = p;
        while (*p && *p != ' ' && *p != '\t')
            ++p;
        if (*p)
            *p++ = 0;
    }
    return argc;
}

struct tm ClockNow()
{
    std::time_t now = std::time(nullptr) + ClockOffset;
    struct tm t;
    localtime_r(&now, &t);
    return t;
}

void SetClock(const struct tm &wanted)
{
    struct tm copy = wanted;
    copy.tm_isdst = -1;
    std::time_t target = mktime(&copy);
    if (target != static_cast<std::time_t>(-1))
        ClockOffset = static_cast<long long>(target) - static_cast<long long>(std::time(nullptr));
}

void CmdDate(int argc, char **argv)
{
    if (argc >= 2) {
        int m = 0, d = 0, y = 0;
        char extra;
        if (std::sscanf(argv[1], "%d/%d/%d%c", &m, &d, &y, &extra) != 3 || m < 1 || m > 12 || d < 1 || d > 31 ||
            y < 1980 || y > 2099) {
            SimSendText("\r\nInvalid date");
            return;
        }
        struct tm t = ClockNow();
        t.tm_year = y - 1900;
        t.tm_mon = m - 1;
        t.tm_mday = d;
        SetClock(t);
    }
    struct tm t = ClockNow();
    SimPrintf("\r\nCurrent date is %02d/%02d/%04d", t.tm_mon + 1, t.tm_mday, t.tm_year + 1900);
}

void CmdTime(int argc, char **argv)
{
    if (argc >= 2) {
        int h = 0, m = 0, s = 0;
        char extra;
        if (std::sscanf(argv[1], "%d:%d:%d%c", &h, &m, &s, &extra) != 3 || h < 0 || h > 23 || m < 0 || m > 59 ||
            s < 0 || s > 59) {
            SimSendText("\r\nInvalid time");
            return;
        }
        struct tm t = ClockNow();
        t.tm_hour = h;
        t.tm_min = m;
        t.tm_sec = s;
        SetClock(t);
    }
    struct tm t = ClockNow();
    SimPrintf("\r\nCurrent time is %02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
}

// "ansidemo": a status screen drawn with the escape sequences a controller
// program uses (clear, 0-based positions, colour lists, save and restore,
// clear to end of line).
void CmdAnsiDemo()
{
    SimSendText("\033[2J\033[0;0H\033[1;33;44m Quarnix 2.10  I/O status"
                "                                                      \033[0m");
    SimSendText("\033[2;2H\033[36mChannel  Value  State\033[m");
    static const char *const states[] = {"\033[32mOK", "\033[32mOK", "\033[1;31mHIGH", "\033[32mOK"};
    static const int values[] = {412, 977, 4095, 0};
    for (int i = 0; i < 4; ++i)
        SimPrintf("\033[%d;2HAI%d     %04d   %s\033[0m", 3 + i, i, values[i], states[i]);
    SimSendText("\033[8;2HCounter: 000123\033[s\033[10;2H\033[7m Alarm: channel AI2 \033[0m\033[u  (saved)");
    SimSendText("\033[12;0Hold text to clear\033[12;0H\033[K\033[12;2HDone.");
}

void Hangup();

void RunLine(char *line)
{
    char copy[sizeof LineBuf];
    std::snprintf(copy, sizeof copy, "%s", line);
    char *argv[32];
    int argc = SplitWords(line, argv, 32);
    if (argc == 0) {
        SimPrompt();
        return;
    }
    if (TransferCommand(argc, argv) || ModulesCommand(argc, argv, copy)) {
        return;  // the module shows the prompt when it is done
    }
    std::string cmd = argv[0];
    for (auto &c : cmd)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (cmd == "date") {
        CmdDate(argc, argv);
    } else if (cmd == "time") {
        CmdTime(argc, argv);
    } else if (cmd == "ver") {
        SimPrintf("\r\nQuarnix 2.10 (%s)", Version);
    } else if (cmd == "help") {
        SimSendText("\r\ndate [MM/DD/YYYY]  time [HH:MM:SS]  run  ver  help  ansidemo");
    } else if (cmd == "run") {
        SimSendText("\r\nNo program loaded.");
    } else if (cmd == "ansidemo") {
        CmdAnsiDemo();
    } else if (cmd == "hangup") {
        Hangup();
        return;
    } else {
        SimPrintf("\r\nBad command: %s", argv[0]);
    }
    SimPrompt();
}

void ShellInput(const unsigned char *data, std::size_t len)
{
    for (std::size_t i = 0; i < len; ++i) {
        if (SimRawInput != nullptr) {
            // A module took the line over in the middle of this chunk.
            SimRawInput(data + i, len - i);
            return;
        }
        unsigned char c = data[i];
        if (c == '\r') {
            LineBuf[LineLen] = 0;
            LineLen = 0;
            RunLine(LineBuf);
        } else if (c == '\n' || c == 0) {
            // LF after CR, and NUL, are ignored
        } else if (c == 0x08 || c == 0x7F) {
            if (LineLen > 0) {
                --LineLen;
                SimSendText("\b \b");
            }
        } else {
            if (LineLen < static_cast<int>(sizeof LineBuf) - 1)
                LineBuf[LineLen++] = static_cast<char>(c);
            SimSend(&c, 1);
        }
    }
}

int OpenPty()
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return -1;
    const char *name = ptsname(master);
    if (name == nullptr)
        return -1;
    SlaveFd = open(name, O_RDWR | O_NOCTTY);
    if (SlaveFd < 0)
        return -1;
    // The line starts raw, so nothing we send is echoed back to us before
    // the terminal configures its side.
    struct termios t;
    if (tcgetattr(SlaveFd, &t) == 0) {
        cfmakeraw(&t);
        cfsetspeed(&t, B115200);
        tcsetattr(SlaveFd, TCSANOW, &t);
    }
    if (!LinkPath.empty()) {
        unlink(LinkPath.c_str());
        if (symlink(name, LinkPath.c_str()) != 0) {
            std::fprintf(stderr, "quarnix-sim: cannot create link %s: %s\n", LinkPath.c_str(), std::strerror(errno));
            return -1;
        }
    }
    std::fprintf(stderr, "quarnix-sim: serving %s%s%s\n", name, LinkPath.empty() ? "" : " as ", LinkPath.c_str());
    return master;
}

// A hang-up of the terminal side: every descriptor open on it reads end of
// file from now on, ours too, so ours is opened afresh.
void Hangup()
{
    if (SlaveFd < 0)
        return;
    char name[128];
    // What was sent before (the command's echo) reaches the terminal side
    // first: the hang-up resets its line to the system's defaults, echo
    // included, and echoed bytes would come back to us as input.
    struct timespec settle = {0, 50000000};
    nanosleep(&settle, nullptr);
    if (ptsname_r(LineFd, name, sizeof name) != 0 || ioctl(SlaveFd, TIOCVHANGUP) != 0) {
        SimSendText("\r\nhangup: not supported on this line");
        SimPrompt();
        return;
    }
    int fresh = open(name, O_RDWR | O_NOCTTY);
    close(SlaveFd);
    SlaveFd = fresh;
    // Raw again until the terminal configures its side, as at the start.
    struct termios t;
    if (SlaveFd >= 0 && tcgetattr(SlaveFd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(SlaveFd, TCSANOW, &t);
    }
    std::fprintf(stderr, "quarnix-sim: terminal side hung up\n");
}

void Unplug()
{
    if (LineFd < 0)
        return;
    close(LineFd);
    close(SlaveFd);
    LineFd = SlaveFd = -1;
    if (!LinkPath.empty())
        unlink(LinkPath.c_str());
    LineLen = 0;
    std::fprintf(stderr, "quarnix-sim: line unplugged\n");
}

int OpenDevice(const char *path)
{
    int fd = open(path, O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    SlaveFd = fd;
    return fd;
}

}  // namespace

void SimSend(const void *data, std::size_t len)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    bool held = AnswerHoldUntilNs != 0;
    if (held) {
        HoldUntilNs(AnswerHoldUntilNs);
        AnswerHoldUntilNs = 0;
    }
    if (PaceRate == 0) {
        WriteAll(LineFd, p, len);
        return;
    }
    // Paced like a line: 10 bits a byte, sent in small slices, each
    // handed over when its last bit would have arrived.
    // The slices of one send follow each other on the wire without a gap,
    // as a UART sends what it was given; the wire is idle until the send
    // begins (at the arrival of what it answers, or now).
    const std::size_t slice = PaceRate >= 115200 ? 64 : 8;
    long long now = MonoNs();
    long long from = Answering && RxFreeNs < now && !held ? RxFreeNs : now;
    if (TxFreeNs < from)
        TxFreeNs = from;
    for (std::size_t off = 0; off < len; off += slice) {
        std::size_t n = len - off < slice ? len - off : slice;
        TxFreeNs += WireNs(n);
        SleepUntilNs(TxFreeNs);
        WriteAll(LineFd, p + off, n);
    }
    if (Answering)
        AnsweredNs = MonoNs();
}

void SimSendText(const char *text)
{
    SimSend(text, std::strlen(text));
}

void SimPrintf(const char *fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    SimSend(buf, static_cast<std::size_t>(n) < sizeof buf ? static_cast<std::size_t>(n) : sizeof buf - 1);
}

void SimPrompt()
{
    SimSendText("\r\nA:\\>");
}

std::uint64_t SimNowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec / 1000000);
}

unsigned SimLineRate()
{
    return SimReadLineRate(SlaveFd);
}

void SimClock(int *year, int *month, int *day, int *hour, int *minute, int *second)
{
    struct tm t = ClockNow();
    *year = t.tm_year + 1900;
    *month = t.tm_mon + 1;
    *day = t.tm_mday;
    *hour = t.tm_hour;
    *minute = t.tm_min;
    *second = t.tm_sec;
}

int SimLineFd()
{
    return LineFd;
}

void SimWake()
{
    if (WakeWrite >= 0) {
        char c = 1;
        ssize_t w = write(WakeWrite, &c, 1);  // a full pipe wakes already
        (void)w;
    }
}

int main(int argc, char **argv)
{
    const char *device = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        } else if (a == "--version") {
            std::printf("%s\n", Version);
            return 0;
        } else if (a == "--link" && value) {
            LinkPath = value;
            ++i;
        } else if (a == "--device" && value) {
            device = value;
            ++i;
        } else if (a == "--record" && value) {
            RecordPath = value;
            ++i;
        } else if (a == "--line-rate" && value) {
            PaceRate = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
            ++i;
        } else if (a == "--answer-delay" && value) {
            char *end = nullptr;
            long ms = std::strtol(value, &end, 10);
            if (end == value || *end != 0 || ms < 0 || ms > 10000) {
                std::fprintf(stderr, "quarnix-sim: --answer-delay takes 0..10000 ms, not %s\n", value);
                return 2;
            }
            AnswerDelayNs = ms * 1000000LL;
            ++i;
        } else if (a == "--quiet") {
            Quiet = true;
        } else {
            int used = 0;
            if (a.rfind("--", 0) == 0 &&
                (TransferOption(a.c_str() + 2, value, &used) || ModulesOption(a.c_str() + 2, value, &used))) {
                if (used)
                    ++i;
                continue;
            }
            std::fprintf(stderr, "quarnix-sim: unknown option %s (see --help)\n", argv[i]);
            return 2;
        }
    }

    int wake[2];
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        std::fprintf(stderr, "quarnix-sim: cannot make a pipe: %s\n", std::strerror(errno));
        return 1;
    }
    WakeRead = wake[0];
    WakeWrite = wake[1];
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sa.sa_handler = OnPlugSignal;
    sigaction(SIGUSR2, &sa, nullptr);

    if (PaceRate > 0)
        prctl(PR_SET_TIMERSLACK, 1UL);  // the pacing sleeps end on time
    LineFd = device ? OpenDevice(device) : OpenPty();
    if (LineFd < 0) {
        std::fprintf(stderr, "quarnix-sim: cannot open the line: %s\n", std::strerror(errno));
        return 1;
    }
    if (!RecordPath.empty()) {
        RecordFd = open(RecordPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (RecordFd < 0) {
            std::fprintf(stderr, "quarnix-sim: cannot open %s: %s\n", RecordPath.c_str(), std::strerror(errno));
            return 1;
        }
    }
    if (!Quiet) {
        SimSendText("\r\nQuarnix 2.10 controller (simulated)");
        SimPrompt();
    }

    unsigned char buf[4096];
    int wait = -1;  // what the modules' ticks ask for; -1: nothing is due
    while (!Stop) {
        if (PlugRequest.exchange(0) == 0 || device != nullptr) {
            // nothing asked, or a real device (not ours to unplug)
        } else if (LineFd >= 0) {
            Unplug();
        } else {
            LineFd = OpenPty();
            if (LineFd >= 0 && !Quiet) {
                SimSendText("\r\nQuarnix 2.10 controller (simulated)");
                SimPrompt();
            }
        }
        // The line (not while unplugged: -1 is left out) and the wake-up pipe.
        struct pollfd p[2] = {{LineFd, POLLIN, 0}, {WakeRead, POLLIN, 0}};
        int r = 0;
        if (PaceRate > 0 && SimRawInput != nullptr)
            while (!Stop && (r = poll(p, 1, 0)) == 0 && MonoNs() - AnsweredNs < WatchAfterAnswerNs) {
                sched_yield();
            }
        if (r == 0)
            r = poll(p, 2, wait);
        if (r > 0 && (p[1].revents & POLLIN))
            DrainWake();
        if (r > 0 && (p[0].revents & POLLIN)) {
            ssize_t n = read(LineFd, buf, sizeof buf);
            if (n > 0) {
                PaceReceived(static_cast<std::size_t>(n));
                if (AnswerDelayNs > 0)
                    AnswerHoldUntilNs = (PaceRate > 0 ? RxFreeNs : MonoNs()) + AnswerDelayNs;
                if (RecordFd >= 0)
                    WriteAll(RecordFd, buf, static_cast<std::size_t>(n));
                Answering = PaceRate > 0;
                if (SimRawInput != nullptr)
                    SimRawInput(buf, static_cast<std::size_t>(n));
                else
                    ShellInput(buf, static_cast<std::size_t>(n));
                Answering = false;
                AnswerHoldUntilNs = 0;
            }
        } else if (r > 0 && p[0].revents != 0) {
            // Hang-up on a device: wait a little instead of spinning.
            struct timespec ts = {0, 10000000};
            nanosleep(&ts, nullptr);
        }
        int t = TransferTick();
        int m = ModulesTick();
        wait = t < 0 ? m : m < 0 ? t : t < m ? t : m;
    }
    if (!LinkPath.empty())
        unlink(LinkPath.c_str());
    return 0;
}
