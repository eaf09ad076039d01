// ocelo-recv: prints the CAN frames that Ocelo boards receive.
//
//   ocelo-recv [options] <slot>[,<filter>...]...
//
// One line per frame on standard output: slot, identifier, [length], data
// bytes (or "remote request") and the board's two time words, optionally
// after a host time stamp; with -L a log line "(seconds.micros) slotN
// ID#DATA".  Headers and status go to standard error.  Ends after -n frames,
// after -T milliseconds without a frame, or on Ctrl-C.
#include "CanTool.h"
#include "Ocelo.h"
#include "OceloWait.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

void Usage(FILE *out)
{
    std::fputs("usage: ocelo-recv [options] <slot>[,<filter>...]...\n"
               "  <slot>      slot 1 to 7; several slots may be given, each with its own\n"
               "              filters\n"
               "  <filter>    <id>:<mask> passes a frame whose identifier & mask equals\n"
               "              id & mask (hex; a filter's mask bit 1 = must match);\n"
               "              <id>~<mask> passes one where they differ; a frame passes\n"
               "              if one filter does (all of them after j or J); an id of\n"
               "              8 digits is extended; mask bit 31 compares the extended\n"
               "              flag, bit 30 the remote flag (123:C00007FF: standard data\n"
               "              frames 123 only); #<errmask> shows the error frames of\n"
               "              these classes (hex)\n"
               "  -b bitrate  bit rate in bit/s, a rate of the board's table\n"
               "              (default 500000)\n"
               "  -c code     board acceptance code (hex) for slots without filters\n"
               "              (default 0)\n"
               "  -m mask     board acceptance mask (hex), the board's mask bit 1 =\n"
               "              don't care (default FFFFFFFF: every frame)\n"
               "  -e          show the board's status as error frames: overflow, error\n"
               "              warning, bus off and back (all classes, as #1FFFFFFF)\n"
               "  -n count    terminate after receiving count frames\n"
               "  -T msecs    terminate after msecs milliseconds without a frame\n"
               "  -t type     host time stamp: a absolute, A absolute with date,\n"
               "              d delta, z zero-based (default: none)\n"
               "  -L          log lines \"(seconds.micros) slotN ID#DATA\" (candump -L)\n"
               "  -l          log to candump-<date>_<time>.log in the working directory\n"
               "              in the -L form, nothing on standard output\n"
               "  -h, --help  print this help and exit\n"
               "  --version   print the version and exit\n"
               "bit rates: 5000 10000 20000 25000 50000 100000 125000 200000 250000\n"
               "           500000 800000 1000000\n"
               "exit status: 0 done, 1 board failure or output error, 2 usage error\n",
               out);
}

int64_t HostMicros()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

struct Slot {
    unsigned char slot = 0;
    std::vector<cantool::Filter> filters;
    bool join = false;
    unsigned long err_mask = 0;
    unsigned long code = 0, mask = 0xFFFFFFFF;
    unsigned char canstat = 0;
};

// Sleeps until one of the slots may have a frame (or a status change), up
// to wait_ms (-1: no limit of the caller's; the wait still ends once a
// second, so that each board is asked again for frames it has not sent).
// A look at each slot first clears its descriptor if nothing is there.
void WaitForFrames(const std::vector<Slot> &slots, long long wait_ms)
{
    std::vector<pollfd> fds;
    for (const Slot &s : slots) {
        if (WaitCANMsg(s.slot, 0) != OCELO_NO_MSG)
            return;  // something to look at now
        int fd = -1;
        if (GetCANMsgFd(s.slot, &fd) != OCELO_OK)
            return;
        fds.push_back({fd, POLLIN, 0});
    }
    if (wait_ms < 0 || wait_ms > 1000)
        wait_ms = 1000;
    poll(fds.data(), fds.size(), static_cast<int>(wait_ms));  // a signal (Ctrl-C, a board's) ends it early
}

// "(2026-12-09 13:20:00.123456) ": local date and time.
std::string DateStamp(int64_t micros)
{
    time_t sec = static_cast<time_t>(micros / 1000000);
    tm t{};
    localtime_r(&sec, &t);
    char buf[64];
    size_t n = std::strftime(buf, sizeof buf, "(%Y-%m-%d %H:%M:%S", &t);
    std::snprintf(buf + n, sizeof buf - n, ".%06lld) ", static_cast<long long>(micros % 1000000));
    return buf;
}

} // namespace

int main(int argc, char **argv)
{
    unsigned long baud = 500000, code = 0, mask = 0xFFFFFFFF, count = 0, idle_ms = 0;
    bool log = false, log_file = false, errors = false;
    char stamp = 0;
    std::vector<Slot> slots;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            Usage(stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("ocelo-recv %s\n", OCELO_TOOLS_VERSION);
            return 0;
        }
        if (a == "-L" || a == "-l" || a == "-e") {
            (a == "-L" ? log : a == "-l" ? log_file : errors) = true;
            continue;
        }
        if (a == "-t") {
            std::string v = i + 1 < argc ? argv[++i] : "";
            if (v != "a" && v != "A" && v != "d" && v != "z") {
                std::fprintf(stderr, "ocelo-recv: -t takes a, A, d or z\n");
                return 2;
            }
            stamp = v[0];
            continue;
        }
        if (a == "-b" || a == "-c" || a == "-m" || a == "-n" || a == "-T") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ocelo-recv: %s needs a value\n", a.c_str());
                return 2;
            }
            unsigned long *dst = a == "-b" ? &baud : a == "-c" ? &code : a == "-m" ? &mask : a == "-n" ? &count : &idle_ms;
            const bool hex = a == "-c" || a == "-m";
            ++i;
            if (hex ? !cantool::ParseHex(argv[i], *dst) : !cantool::ParseNumber(argv[i], a == "-b" ? 1000000 : 1000000000, *dst)) {
                std::fprintf(stderr, "ocelo-recv: bad value for %s: %s%s\n", a.c_str(), argv[i],
                             hex ? " (1 to 8 hex digits)" : "");
                return 2;
            }
            continue;
        }
        if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "ocelo-recv: unknown option %s\n", a.c_str());
            Usage(stderr);
            return 2;
        }
        Slot s;
        std::string word = a.substr(0, a.find(','));
        unsigned long n;
        if (!cantool::ParseNumber(word, 7, n) || n < 1) {
            std::fprintf(stderr, "ocelo-recv: slot must be 1 to 7: %s\n", a.c_str());
            return 2;
        }
        s.slot = static_cast<unsigned char>(n);
        for (size_t p = a.find(','); p != std::string::npos;) {
            size_t q = a.find(',', p + 1);
            std::string text = a.substr(p + 1, q == std::string::npos ? std::string::npos : q - p - 1);
            p = q;
            if (text == "j" || text == "J") {
                s.join = true;
                continue;
            }
            if (!text.empty() && text[0] == '#') {
                if (!cantool::ParseHex(text.substr(1), s.err_mask)) {
                    std::fprintf(stderr, "ocelo-recv: %s: error mask needs 1 to 8 hex digits\n", text.c_str());
                    return 2;
                }
                continue;
            }
            cantool::Filter f;
            std::string err = cantool::ParseFilter(text, f);
            if (!err.empty()) {
                std::fprintf(stderr, "ocelo-recv: %s: %s\n", text.c_str(), err.c_str());
                return 2;
            }
            s.filters.push_back(f);
        }
        if (errors && !s.err_mask)
            s.err_mask = 0x1FFFFFFF;
        for (const Slot &o : slots)
            if (o.slot == s.slot) {
                std::fprintf(stderr, "ocelo-recv: slot %u given twice\n", s.slot);
                return 2;
            }
        slots.push_back(s);
    }
    if (slots.empty()) {
        Usage(stderr);
        return 2;
    }
    if (!cantool::TableBitRate(baud)) {
        std::fprintf(stderr, "ocelo-recv: the board cannot run at %lu bit/s; rates: %s\n", baud,
                     cantool::TableBitRates());
        return 2;
    }
    for (Slot &s : slots) {
        if (errors && !s.err_mask)
            s.err_mask = 0x1FFFFFFF;  // -e given after the slot
        if (s.filters.empty()) {
            s.code = code;  // -c/-m serve the slots without filters
            s.mask = mask;
        } else {
            cantool::BoardFilter bf = cantool::BoardFilterFor(s.filters);
            s.code = bf.code;
            s.mask = bf.mask;
        }
    }
    FILE *out = stdout;
    std::string log_name;
    if (log_file) {
        time_t now = time(nullptr);
        tm t{};
        localtime_r(&now, &t);
        char name[64];
        std::strftime(name, sizeof name, "candump-%Y-%m-%d_%H%M%S.log", &t);
        log_name = name;
        out = std::fopen(name, "w");
        if (!out) {
            std::fprintf(stderr, "ocelo-recv: cannot write %s: %s\n", name, std::strerror(errno));
            return 1;
        }
        log = true;
        stamp = 'a';
    }
    if (log && stamp != 'a')
        stamp = 'a';  // log lines carry absolute stamps

    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGPIPE, &sa, nullptr);
    std::setvbuf(out, nullptr, _IOLBF, 0);
    if (!log_name.empty())
        std::fprintf(stderr, "# logging to %s\n", log_name.c_str());

    for (const Slot &s : slots) {
        int rc = cantool::OpenSlot(s.slot);
        if (rc != 0) {
            std::fprintf(stderr, "ocelo-recv: %s\n", cantool::OpenSlotError(s.slot, rc).c_str());
            RecoverOcelo();
            return 1;
        }
        rc = cantool::InitBoard(s.slot, baud, 0, 0, s.code, s.mask);
        if (rc != OCELO_OK) {
            std::fprintf(stderr, "ocelo-recv: OceloInit on slot %u failed (%d)\n", s.slot, rc);
            RecoverOcelo();
            return 1;
        }
        std::fprintf(stderr, "# listening on slot %u at %lu bit/s, board acceptance code 0x%08lX mask 0x%08lX%s\n",
                     s.slot, baud, s.code, s.mask, s.filters.empty() ? "" : ", filters checked on the host");
    }

    using Clock = std::chrono::steady_clock;
    auto last_frame = Clock::now();
    int64_t first = -1, prev = 0;
    unsigned long printed = 0;
    int status = 0;
    // One frame or error frame out; false once count frames are out.
    // now: when the frame reached the host (the interrupt that took it).
    auto print = [&](const Slot &s, const cantool::FrameSpec &f, unsigned long upper, unsigned long lower,
                     bool error, int64_t now) {
        last_frame = Clock::now();
        if (first < 0)
            first = prev = now;
        std::string ts = stamp == 'A' ? DateStamp(now) : cantool::FormatStamp(stamp, now, first, prev);
        prev = now;
        if (log)
            std::fprintf(out, "%sslot%u %s\n", ts.c_str(), s.slot, cantool::FrameText(f).c_str());
        else
            std::fprintf(out, "%s%s%s\n", ts.c_str(), cantool::FormatFrame(s.slot, f, upper, lower).c_str(),
                         error ? "  error frame" : "");
        return !(count && ++printed >= count);
    };
    while (!g_stop && (count == 0 || printed < count)) {
        if (idle_ms && Clock::now() - last_frame >= std::chrono::milliseconds(idle_ms))
            break;
        bool any = false;
        for (Slot &s : slots) {
            cantool::FrameSpec f;
            unsigned long id, upper, lower;
            if (s.err_mask) {
                unsigned char can = 0, buf = 0;
                GetStatus(s.slot, &can, &buf);
                if (can != s.canstat && cantool::ErrorFrameFor(s.canstat, can, false, buf, f) &&
                    cantool::ErrorPass(s.err_mask, f) && !print(s, f, 0, 0, true, HostMicros()))
                    break;
                s.canstat = can;
            }
            double arrived = 0;
            int rc = GetCANMsgStamp(s.slot, &f.ext, &id, &f.rtr, &f.len, f.data, &upper, &lower, &arrived);
            if (rc == OCELO_OK) {
                any = true;
                f.id = id;
                if (!cantool::FilterPass(s.filters, f, s.join))
                    continue;
                if (!print(s, f, upper, lower, false, static_cast<int64_t>(arrived * 1e6 + 0.5)))
                    break;
            } else if (rc == OCELO_OVERFLOW) {
                unsigned char can = 0, buf = 0;
                GetStatus(s.slot, &can, &buf);
                if (s.err_mask) {
                    if (cantool::ErrorFrameFor(can, can, true, buf, f) && cantool::ErrorPass(s.err_mask, f))
                        print(s, f, 0, 0, true, HostMicros());
                } else {
                    std::fprintf(stderr, "ocelo-recv: slot %u: board reports an overflow, frames were lost\n", s.slot);
                }
                ClearStatus(s.slot);
            } else if (rc == OCELO_NOT_INIT) {
                std::fprintf(stderr, "ocelo-recv: slot %u: the board restarted, initialising again\n", s.slot);
                if (OceloInit(s.slot, baud, 0, 0, s.code, s.mask) != OCELO_OK) {
                    std::fprintf(stderr, "ocelo-recv: slot %u does not answer\n", s.slot);
                    status = 1;
                    g_stop = 1;
                }
            }
        }
        if (std::ferror(out)) {
            status = 1;
            break;
        }
        if (!any && !g_stop)
            WaitForFrames(slots, idle_ms ? idle_ms - std::chrono::duration_cast<std::chrono::milliseconds>(
                                                           Clock::now() - last_frame).count()
                                         : -1);
    }
    RecoverOcelo();
    if (out != stdout && std::fclose(out) != 0)
        status = 1;
    return status;
}
