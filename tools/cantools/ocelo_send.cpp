// ocelo-send: puts CAN frames on the bus through an Ocelo board.
//
//   ocelo-send [-b bitrate] [-n count] [-g gap_ms] [-v] <slot> [<frame>...]
//
// A frame is <id>#<data> or <id>#R[<len>]: 3 hex digits or fewer for a
// standard identifier, 8 for an extended one; data as hex byte pairs,
// optionally separated by '.'.  With -n each frame is sent count times;
// -g waits that many milliseconds after each frame.  Without frames (or with
// "-") the frames come from standard input, one per line, either bare or as
// log lines "(seconds.micros) slotN ID#DATA", which are sent with the time
// between their stamps.
#include "CanTool.h"
#include "Ocelo.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

void Usage(FILE *out)
{
    std::fputs("usage: ocelo-send [-b bitrate] [-n count] [-g gap_ms] [-v] <slot> [<frame>... | -]\n"
               "  <frame>     <id>#<data> or <id>#R[<len>]: id of up to 3 hex digits (standard) or 8\n"
               "              (extended); data up to 8 hex byte pairs, '.' may separate them\n"
               "  -           read frames from standard input (also when no frame is given), one a line:\n"
               "              bare frames, or log lines \"(seconds.micros) slotN ID#DATA\" sent with the\n"
               "              time between their stamps (the interface name is not used)\n"
               "  -b bitrate  bit rate in bit/s, a rate of the board's table (default 500000)\n"
               "  -n count    send the frames given on the command line this many times (default 1)\n"
               "  -g gap_ms   pause after each frame in milliseconds (default 0)\n"
               "  -v          print each frame sent\n"
               "  -h, --help  print this help and exit\n"
               "bit rates: 5000 10000 20000 25000 50000 100000 125000 200000 250000 500000 800000 1000000\n"
               "examples: ocelo-send 1 123#DEADBEEF   ocelo-send -n 10 -g 100 1 1ABCDEF0#R4\n"
               "          ocelo-send 1 < can.log\n",
               out);
}

// Sleeps until t or a stop request.
void SleepUntil(std::chrono::steady_clock::time_point t)
{
    while (!g_stop) {
        auto now = std::chrono::steady_clock::now();
        if (now >= t)
            return;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(t - now, std::chrono::milliseconds(50)));
    }
}

struct Sender {
    unsigned char slot;
    unsigned long gap;
    bool verbose;
    int Send(cantool::FrameSpec &f)
    {
        int rc = SendCANMsg(slot, f.ext, f.id, f.rtr, f.len, f.data);
        if (rc != OCELO_OK) {
            std::fprintf(stderr, "ocelo-send: SendCANMsg failed (%d)%s\n", rc,
                         rc == OCELO_OVERFLOW ? ": transmission blocked" : "");
            return 1;
        }
        if (verbose)
            std::printf("%s\n", cantool::FormatFrame(slot, f, 0, 0).c_str());
        if (gap)
            SleepUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(gap));
        return 0;
    }
};

// Frames from standard input; a stamped line goes out when as much time has
// passed since the first stamped line as its stamp says.
int SendInput(Sender &s)
{
    using Clock = std::chrono::steady_clock;
    Clock::time_point start{};
    int64_t first = 0;
    bool started = false;
    std::string line;
    unsigned long lineno = 0;
    for (int c = 0; !g_stop;) {
        line.clear();
        while ((c = std::getchar()) != EOF && c != '\n')
            if (line.size() < 4096)
                line += static_cast<char>(c);
        if (c == EOF && line.empty())
            return std::ferror(stdin) && !g_stop ? 1 : 0;
        ++lineno;
        cantool::FrameSpec f;
        bool empty, stamped;
        int64_t micros;
        std::string err = cantool::ParseInputLine(line, f, empty, stamped, micros);
        if (!err.empty()) {
            std::fprintf(stderr, "ocelo-send: line %lu: %s\n", lineno, err.c_str());
            return 2;
        }
        if (empty)
            continue;
        if (stamped) {
            if (!started) {
                start = Clock::now();
                first = micros;
                started = true;
            } else if (micros > first) {
                SleepUntil(start + std::chrono::microseconds(micros - first));
            }
            if (g_stop)
                break;
        }
        if (s.Send(f) != 0)
            return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    unsigned long baud = 500000, count = 1, gap = 0, slot = 0;
    bool verbose = false, from_input = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            Usage(stdout);
            return 0;
        }
        if (a == "-v") {
            verbose = true;
            continue;
        }
        if (a == "-b" || a == "-n" || a == "-g") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ocelo-send: %s needs a value\n", a.c_str());
                return 2;
            }
            unsigned long *dst = a == "-b" ? &baud : a == "-n" ? &count : &gap;
            unsigned long max = a == "-b" ? 1000000 : a == "-n" ? 100000000 : 3600000;
            if (!cantool::ParseNumber(argv[++i], max, *dst)) {
                std::fprintf(stderr, "ocelo-send: bad value for %s: %s\n", a.c_str(), argv[i]);
                return 2;
            }
            continue;
        }
        args.push_back(a);
    }
    if (args.empty()) {
        Usage(stderr);
        return 2;
    }
    if (!cantool::ParseNumber(args[0], 7, slot) || slot < 1) {
        std::fprintf(stderr, "ocelo-send: slot must be 1 to 7\n");
        return 2;
    }
    if (!cantool::TableBitRate(baud)) {
        std::fprintf(stderr, "ocelo-send: the board cannot run at %lu bit/s; rates: %s\n", baud,
                     cantool::TableBitRates());
        return 2;
    }
    std::vector<cantool::FrameSpec> frames;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "-") {
            from_input = true;
            continue;
        }
        cantool::FrameSpec f;
        std::string err = cantool::ParseFrame(args[i], f);
        if (!err.empty()) {
            std::fprintf(stderr, "ocelo-send: %s: %s\n", args[i].c_str(), err.c_str());
            return 2;
        }
        frames.push_back(f);
    }
    from_input |= frames.empty();

    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    int rc = cantool::OpenSlot(static_cast<int>(slot));
    if (rc != 0) {
        if (rc == -EBUSY)
            std::fprintf(stderr, "ocelo-send: slot %lu is in use by another process\n", slot);
        else
            std::fprintf(stderr, "ocelo-send: cannot open slot %lu: %s\n", slot, std::strerror(-rc));
        return 1;
    }
    rc = cantool::InitBoard(static_cast<unsigned char>(slot), baud, 0, 0, 0, 0xFFFFFFFF);
    if (rc != OCELO_OK) {
        std::fprintf(stderr, "ocelo-send: OceloInit on slot %lu failed (%d)\n", slot, rc);
        RecoverOcelo();
        return 1;
    }
    Sender s{static_cast<unsigned char>(slot), gap, verbose};
    int status = 0;
    for (unsigned long n = 0; n < count && status == 0 && !g_stop; ++n)
        for (auto &f : frames)
            if ((status = s.Send(f)) != 0 || g_stop)
                break;
    if (status == 0 && from_input && !g_stop)
        status = SendInput(s);
    RecoverOcelo();
    return status;
}
