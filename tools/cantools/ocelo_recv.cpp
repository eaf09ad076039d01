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

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

void Usage(FILE *out)
{
    std::fputs("usage: ocelo-recv [-b bitrate] [-c code] [-m mask] [-n count] [-T msecs] [-t a|d|z] [-L]\n"
               "                  <slot>[,<filter>...]...\n"
               "  <slot>      slot 1 to 7; several slots may be given, each with its own filters\n"
               "  <filter>    <id>:<mask> passes a frame whose identifier & mask equals id & mask (hex);\n"
               "              <id>~<mask> passes one where they differ; a frame passes if one filter does;\n"
               "              an id of 8 digits is extended; mask bit 31 compares the extended flag,\n"
               "              bit 30 the remote flag (123:C00007FF: standard data frames 123 only)\n"
               "  -b bitrate  bit rate in bit/s, a rate of the board's table (default 500000)\n"
               "  -c code     board acceptance code for slots without filters (default 0)\n"
               "  -m mask     board acceptance mask, bit 1 = don't care (default 0xFFFFFFFF: every frame)\n"
               "  -n count    terminate after receiving count frames\n"
               "  -T msecs    terminate after msecs milliseconds without a frame\n"
               "  -t type     host time stamp: a absolute, d delta, z zero-based (default: none)\n"
               "  -L          log lines \"(seconds.micros) slotN ID#DATA\" (candump -L format)\n"
               "  -h, --help  print this help and exit\n"
               "bit rates: 5000 10000 20000 25000 50000 100000 125000 200000 250000 500000 800000 1000000\n",
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
    unsigned long code = 0, mask = 0xFFFFFFFF;
};

} // namespace

int main(int argc, char **argv)
{
    unsigned long baud = 500000, code = 0, mask = 0xFFFFFFFF, count = 0, idle_ms = 0;
    bool raw_filter = false, log = false;
    char stamp = 0;
    std::vector<Slot> slots;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            Usage(stdout);
            return 0;
        }
        if (a == "-L") {
            log = true;
            continue;
        }
        if (a == "-t") {
            std::string v = i + 1 < argc ? argv[++i] : "";
            if (v != "a" && v != "d" && v != "z") {
                std::fprintf(stderr, "ocelo-recv: -t takes a, d or z\n");
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
            unsigned long max = a == "-b" ? 1000000 : (a == "-c" || a == "-m") ? 0xFFFFFFFFul : 1000000000;
            if (!cantool::ParseNumber(argv[++i], max, *dst)) {
                std::fprintf(stderr, "ocelo-recv: bad value for %s: %s\n", a.c_str(), argv[i]);
                return 2;
            }
            raw_filter |= a == "-c" || a == "-m";
            continue;
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
            cantool::Filter f;
            std::string err = cantool::ParseFilter(text, f);
            if (!err.empty()) {
                std::fprintf(stderr, "ocelo-recv: %s: %s\n", text.c_str(), err.c_str());
                return 2;
            }
            s.filters.push_back(f);
            p = q;
        }
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
        if (s.filters.empty()) {
            s.code = code;
            s.mask = mask;
        } else if (raw_filter) {
            std::fprintf(stderr, "ocelo-recv: give either -c/-m or filters, not both\n");
            return 2;
        } else {
            cantool::BoardFilter bf = cantool::BoardFilterFor(s.filters);
            s.code = bf.code;
            s.mask = bf.mask;
        }
    }
    if (log && !stamp)
        stamp = 'a';

    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGPIPE, &sa, nullptr);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    for (const Slot &s : slots) {
        int rc = cantool::OpenSlot(s.slot);
        if (rc != 0) {
            if (rc == -EBUSY)
                std::fprintf(stderr, "ocelo-recv: slot %u is in use by another process\n", s.slot);
            else
                std::fprintf(stderr, "ocelo-recv: cannot open slot %u: %s\n", s.slot, std::strerror(-rc));
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
    while (!g_stop && (count == 0 || printed < count)) {
        if (idle_ms && Clock::now() - last_frame >= std::chrono::milliseconds(idle_ms))
            break;
        bool any = false;
        for (const Slot &s : slots) {
            cantool::FrameSpec f;
            unsigned long id, upper, lower;
            int rc = GetCANMsg(s.slot, &f.ext, &id, &f.rtr, &f.len, f.data, &upper, &lower);
            if (rc == OCELO_OK) {
                any = true;
                f.id = id;
                if (!cantool::FilterPass(s.filters, f))
                    continue;
                last_frame = Clock::now();
                int64_t now = HostMicros();
                if (first < 0)
                    first = prev = now;
                std::string ts = cantool::FormatStamp(stamp, now, first, prev);
                prev = now;
                if (log)
                    std::printf("%sslot%u %s\n", ts.c_str(), s.slot, cantool::FrameText(f).c_str());
                else
                    std::printf("%s%s\n", ts.c_str(), cantool::FormatFrame(s.slot, f, upper, lower).c_str());
                if (count && ++printed >= count)
                    break;
            } else if (rc == OCELO_OVERFLOW) {
                std::fprintf(stderr, "ocelo-recv: slot %u: board reports an overflow, frames were lost\n", s.slot);
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
        if (std::ferror(stdout)) {
            status = 1;
            break;
        }
        if (!any)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    RecoverOcelo();
    return status;
}
