// ocelo-send: puts CAN frames on the bus through an Ocelo board.
//
//   ocelo-send [-b bitrate] [-n count] [-g gap_ms] [-v] <slot> [<frame>...]
//   ocelo-send [options] [-I file] [-l num|i] [-t] [<slot> | <slotA>=<slotB>...]
//
// A frame is <id>#<data> or <id>#R[<len>]: 3 hex digits or fewer for a
// standard identifier, 8 for an extended one; data as hex byte pairs,
// optionally separated by '.'.  With -n each frame is sent count times;
// -g waits that many milliseconds after each frame.  Without frames (or with
// "-") the frames come from standard input, one per line, either bare or as
// log lines "(seconds.micros) slotN ID#DATA", which are sent with the time
// between their stamps (or back to back with -t), -l times over (i: until
// stopped); <slotA>=<slotB> sends the lines logged on slotB through slotA
// and skips the others.
#include "CanTool.h"
#include "Ocelo.h"

#include <algorithm>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

void Usage(FILE *out)
{
    std::fputs("usage: ocelo-send [options] <slot> [<frame>... | -]\n"
               "       ocelo-send [options] [-I file] [-l num|i] [-t] <slotA>=<slotB>...\n"
               "  <frame>      <id>#<data> or <id>#R[<len>]: id of up to 3 hex digits\n"
               "               (standard) or 8 (extended); data up to 8 hex byte pairs,\n"
               "               '.' may separate them\n"
               "  -            read frames from standard input (also when no frame is\n"
               "               given), one a line: bare frames, or log lines\n"
               "               \"(seconds.micros) slotN ID#DATA\" sent with the time\n"
               "               between their stamps\n"
               "  <slotA>=<slotB>  replay the log's slotB lines on slotA (\"slot1=slot2\"),\n"
               "               other lines are skipped; without it every line goes to <slot>\n"
               "  -I file      read the log or frames from file instead of standard input\n"
               "  -l num|i     replay the input num times (i: until stopped)\n"
               "  -t           ignore the log's time stamps: send back to back\n"
               "  -b bitrate   bit rate in bit/s, a rate of the board's table\n"
               "               (default 500000)\n"
               "  -n count     frames given: send them count times; replay: send only\n"
               "               the first count frames (default 1 and all)\n"
               "  -g gap_ms    pause after each frame in milliseconds (default 0)\n"
               "  -v           print each frame sent\n"
               "  -h, --help   print this help and exit\n"
               "  --version    print the version and exit\n"
               "bit rates: 5000 10000 20000 25000 50000 100000 125000 200000 250000\n"
               "           500000 800000 1000000\n"
               "examples: ocelo-send 1 123#DEADBEEF   ocelo-send -n 10 -g 100 1 1ABCDEF0#R4\n"
               "          ocelo-send 1 < can.log      ocelo-send -I can.log -l 2 slot1=slot2\n"
               "exit status: 0 done, 1 board or send failure, 2 usage error\n",
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
    int Send(cantool::FrameSpec &f) { return SendOn(slot, f); }
    int SendOn(unsigned char slot, cantool::FrameSpec &f)
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

struct Replay {
    FILE *in = stdin;
    bool ignore_time = false;
    unsigned long max_frames = 0;  // 0: all
    unsigned long sent = 0;
    std::map<int, unsigned char> map;  // logged slot -> sending slot; empty: all to Sender::slot
};

// The slot number of a log's interface name "slotN", or -1.
int LoggedSlot(const std::string &line)
{
    size_t p = line.find(") slot");
    if (p == std::string::npos || p + 7 > line.size())
        return -1;
    char c = line[p + 6];
    if (c < '1' || c > '7' || (p + 7 < line.size() && line[p + 7] != ' '))
        return -1;
    return c - '0';
}

// Frames from the input; a stamped line goes out when as much time has
// passed since the first stamped line as its stamp says.
int SendInput(Sender &s, Replay &r)
{
    using Clock = std::chrono::steady_clock;
    Clock::time_point start{};
    int64_t first = 0;
    bool started = false;
    std::string line;
    unsigned long lineno = 0;
    for (int c = 0; !g_stop;) {
        if (r.max_frames && r.sent >= r.max_frames)
            return 0;
        line.clear();
        while ((c = std::getc(r.in)) != EOF && c != '\n')
            if (line.size() < 4096)
                line += static_cast<char>(c);
        if (c == EOF && line.empty())
            return std::ferror(r.in) && !g_stop ? 1 : 0;
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
        unsigned char slot = s.slot;
        if (!r.map.empty()) {
            auto it = stamped ? r.map.find(LoggedSlot(line)) : r.map.end();
            if (it == r.map.end())
                continue;  // logged on a slot not replayed
            slot = it->second;
        }
        if (stamped && !r.ignore_time) {
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
        if (s.SendOn(slot, f) != 0)
            return 1;
        ++r.sent;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    unsigned long baud = 500000, count = 1, gap = 0, slot = 0, loops = 1;
    bool verbose = false, from_input = false, count_given = false, endless = false;
    std::string input_file;
    Replay replay;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            Usage(stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("ocelo-send %s\n", OCELO_TOOLS_VERSION);
            return 0;
        }
        if (a == "-v" || a == "-t") {
            (a == "-v" ? verbose : replay.ignore_time) = true;
            continue;
        }
        if (a == "-I") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ocelo-send: -I needs a file\n");
                return 2;
            }
            input_file = argv[++i];
            continue;
        }
        if (a == "-l") {
            std::string v = i + 1 < argc ? argv[++i] : "";
            if (v == "i")
                endless = true;
            else if (!cantool::ParseNumber(v, 1000000, loops) || loops < 1) {
                std::fprintf(stderr, "ocelo-send: -l takes a count of 1 or more, or i\n");
                return 2;
            }
            continue;
        }
        if (a.size() > 1 && a[0] == '-' && a != "-b" && a != "-n" && a != "-g") {
            std::fprintf(stderr, "ocelo-send: unknown option %s\n", a.c_str());
            Usage(stderr);
            return 2;
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
            count_given |= a == "-n";
            continue;
        }
        args.push_back(a);
    }
    // slotA=slotB: the log's slotB lines go out on slotA.
    while (!args.empty() && args[0].find('=') != std::string::npos) {
        const std::string &m = args[0];
        size_t eq = m.find('=');
        unsigned long to, from;
        auto num = [](const std::string &w, unsigned long &n) {
            return w.size() > 4 && w.compare(0, 4, "slot") == 0 && cantool::ParseNumber(w.substr(4), 7, n) && n >= 1;
        };
        if (!num(m.substr(0, eq), to) || !num(m.substr(eq + 1), from)) {
            std::fprintf(stderr, "ocelo-send: a mapping is slotA=slotB with slots 1 to 7: %s\n", m.c_str());
            return 2;
        }
        replay.map[static_cast<int>(from)] = static_cast<unsigned char>(to);
        args.erase(args.begin());
    }
    if (!replay.map.empty() && !args.empty()) {
        std::fprintf(stderr, "ocelo-send: give either a slot or slotA=slotB mappings\n");
        return 2;
    }
    if (args.empty() && replay.map.empty()) {
        Usage(stderr);
        return 2;
    }
    if (replay.map.empty() && (!cantool::ParseNumber(args[0], 7, slot) || slot < 1)) {
        std::fprintf(stderr, "ocelo-send: slot must be 1 to 7: %s\n", args[0].c_str());
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
    if (from_input && count_given) {
        replay.max_frames = count;
        if (frames.empty())
            count = 1;
    }
    if (!input_file.empty()) {
        replay.in = std::fopen(input_file.c_str(), "r");
        if (!replay.in) {
            std::fprintf(stderr, "ocelo-send: %s: %s\n", input_file.c_str(), std::strerror(errno));
            return 2;
        }
    }
    if ((loops > 1 || endless) && replay.in == stdin) {
        std::fprintf(stderr, "ocelo-send: -l needs a file (-I) to read again\n");
        return 2;
    }
    std::vector<unsigned char> used;
    if (replay.map.empty())
        used.push_back(static_cast<unsigned char>(slot));
    for (auto &m : replay.map)
        if (std::find(used.begin(), used.end(), m.second) == used.end())
            used.push_back(m.second);
    if (!replay.map.empty())
        slot = used[0];

    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    for (unsigned char u : used) {
        int rc = cantool::OpenSlot(u);
        if (rc != 0) {
            std::fprintf(stderr, "ocelo-send: %s\n", cantool::OpenSlotError(u, rc).c_str());
            RecoverOcelo();
            return 1;
        }
        rc = cantool::InitBoard(u, baud, 0, 0, 0, 0xFFFFFFFF);
        if (rc != OCELO_OK) {
            std::fprintf(stderr, "ocelo-send: OceloInit on slot %u failed (%d)\n", u, rc);
            RecoverOcelo();
            return 1;
        }
    }
    Sender s{static_cast<unsigned char>(slot), gap, verbose};
    int status = 0;
    for (unsigned long n = 0; n < count && status == 0 && !g_stop; ++n)
        for (auto &f : frames)
            if ((status = s.Send(f)) != 0 || g_stop)
                break;
    for (unsigned long pass = 0; status == 0 && from_input && !g_stop && (endless || pass < loops); ++pass) {
        if (pass > 0)
            std::rewind(replay.in);
        status = SendInput(s, replay);
    }
    if (replay.in != stdin)
        std::fclose(replay.in);
    RecoverOcelo();
    return status;
}
