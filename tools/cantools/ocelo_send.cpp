// ocelo-send: puts CAN frames on the bus through an Ocelo board.
//
//   ocelo-send [-b bitrate] [-n count] [-g gap_ms] [-v] <slot> [<frame>...]
//   ocelo-send [options] [-I file] [-l num|i] [-t] [<slot> | <slotA>=<iface>...]
//
// A frame is <id>#<data> or <id>#R[<len>]: 3 hex digits or fewer for a
// standard identifier, 8 for an extended one; data as hex byte pairs,
// optionally separated by '.'.  With -n each frame is sent count times;
// -g waits that many milliseconds after each frame.  Without frames (or with
// "-") the frames come from standard input or the -I file, one per line,
// either bare or as log lines "(seconds.micros) <iface> ID#DATA", which are
// sent with the time between their stamps (or back to back with -t), -l
// times over (i: until stopped); <slotA>=<iface> sends the lines logged on
// interface <iface> through slotA and skips the others.  A regular file is
// read and checked whole before anything is sent; a pipe is sent as it
// comes.  Lines the board cannot send (CAN FD, error frames) are skipped and
// counted.
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

#include <sys/stat.h>

namespace {

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

void Usage(FILE *out)
{
    std::fputs("usage: ocelo-send [options] <slot> [<frame>... | -]\n"
               "       ocelo-send [options] [-I file] [-l num|i] [-t] <slotA>=<iface>...\n"
               "  <frame>      <id>#<data> or <id>#R[<len>]: id of up to 3 hex digits\n"
               "               (standard) or 8 (extended); data up to 8 hex byte pairs,\n"
               "               '.' may separate them\n"
               "  -            read frames from standard input (also when no frame is\n"
               "               given), one a line: bare frames, or log lines\n"
               "               \"(seconds.micros) <iface> ID#DATA\" sent with the time\n"
               "               between their stamps\n"
               "  <slotA>=<iface>  replay the lines logged on interface <iface> (slot2,\n"
               "               can0, ...) on slotA (\"slot1=slot2\", \"slot1=can0\"; also\n"
               "               written \"can0=slot1\"), other lines are skipped; without\n"
               "               it every line goes to <slot>\n"
               "  a regular file (-I, or standard input from one) is read and checked\n"
               "  whole first: a line that is not a frame refuses it before anything is\n"
               "  sent (status 2); from a pipe the lines are sent as they come and a bad\n"
               "  line stops the replay (status 1); CAN FD (##) and error frame lines,\n"
               "  which the board cannot send, are skipped and counted\n"
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
               "examples: ocelo-send 1 123#DEADBEEF\n"
               "          ocelo-send -n 10 -g 100 1 1ABCDEF0#R4\n"
               "          ocelo-send 1 < can.log\n"
               "          ocelo-send -I can.log -l 2 slot1=can0\n"
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
    std::string name = "standard input";
    bool whole = false;  // a regular file: read and checked before anything is sent
    bool ignore_time = false;
    unsigned long max_frames = 0;  // 0: all
    unsigned long sent = 0;
    std::map<std::string, unsigned char> map;  // logged interface -> sending slot; empty: all to Sender::slot
    std::vector<cantool::InputLine> lines;     // the frames of a whole file
    unsigned long fd_lines = 0, error_lines = 0;
};

// The slot of "slotN" (1 to 7), or 0.
unsigned char SlotName(const std::string &w)
{
    unsigned long n = 0;
    return w.size() > 4 && w.compare(0, 4, "slot") == 0 && cantool::ParseNumber(w.substr(4), 7, n) && n >= 1
               ? static_cast<unsigned char>(n)
               : 0;
}

// One line of the input into line; false at the end of the input.  A line
// longer than any log line is cut (and then refused as not a frame).
bool ReadLine(FILE *in, std::string &line)
{
    line.clear();
    int c;
    while ((c = std::getc(in)) != EOF && c != '\n')
        if (line.size() <= 4096)
            line += static_cast<char>(c);
    return !(c == EOF && line.empty());
}

std::string CheckLine(const std::string &line, cantool::InputLine &in)
{
    return line.size() > 4096 ? "line too long" : cantool::ReadInputLine(line, in);
}

void Count(Replay &r, const cantool::InputLine &in)
{
    r.fd_lines += in.kind == cantool::LineKind::CanFd;
    r.error_lines += in.kind == cantool::LineKind::ErrorFrame;
}

void ReportSkipped(const Replay &r)
{
    if (r.fd_lines || r.error_lines)
        std::fprintf(stderr, "ocelo-send: skipped %lu CAN FD and %lu error frame lines\n", r.fd_lines, r.error_lines);
}

// Reads and checks a whole file: 0, or 2 with the first line that is not a
// frame (then nothing is sent).
int LoadWhole(Replay &r)
{
    std::string line;
    for (unsigned long lineno = 1; ReadLine(r.in, line); ++lineno) {
        cantool::InputLine in;
        std::string err = CheckLine(line, in);
        if (!err.empty()) {
            std::fprintf(stderr, "ocelo-send: %s: line %lu: %s; nothing sent\n", r.name.c_str(), lineno, err.c_str());
            return 2;
        }
        Count(r, in);
        if (in.kind == cantool::LineKind::Frame)
            r.lines.push_back(in);
    }
    if (std::ferror(r.in)) {
        std::fprintf(stderr, "ocelo-send: %s: %s\n", r.name.c_str(), std::strerror(errno));
        return 2;
    }
    return 0;
}

// Sends the frames of the input, a stamped line when as much time has
// passed since the first stamped line as its stamp says.
class Player {
public:
    Player(Sender &s, Replay &r) : s_(s), r_(r) {}
    // 0 sent (or the count reached), 1 a frame failed; done says the count is reached.
    int Play(const cantool::InputLine &in, bool &done)
    {
        done = r_.max_frames && r_.sent >= r_.max_frames;
        if (done)
            return 0;
        unsigned char slot = s_.slot;
        if (!r_.map.empty()) {
            auto it = in.has_time ? r_.map.find(in.iface) : r_.map.end();
            if (it == r_.map.end())
                return 0;  // logged on an interface not replayed
            slot = it->second;
        }
        if (in.has_time && !r_.ignore_time) {
            if (!started_) {
                start_ = Clock::now();
                first_ = in.micros;
                started_ = true;
            } else if (in.micros > first_) {
                SleepUntil(start_ + std::chrono::microseconds(in.micros - first_));
            }
            if (g_stop)
                return 0;
        }
        cantool::FrameSpec f = in.frame;
        if (s_.SendOn(slot, f) != 0)
            return 1;
        ++r_.sent;
        return 0;
    }

private:
    using Clock = std::chrono::steady_clock;
    Sender &s_;
    Replay &r_;
    Clock::time_point start_{};
    int64_t first_ = 0;
    bool started_ = false;
};

// One pass over a whole file.
int SendWhole(Sender &s, Replay &r)
{
    Player p(s, r);
    for (const cantool::InputLine &in : r.lines) {
        bool done = false;
        if (g_stop)
            break;
        if (int rc = p.Play(in, done); rc != 0 || done)
            return rc;
    }
    return 0;
}

// Lines as they come: a line that is not a frame ends the replay with 1
// (the frames before it have gone out).
int SendStream(Sender &s, Replay &r)
{
    Player p(s, r);
    std::string line;
    int status = 0;
    for (unsigned long lineno = 1; status == 0 && !g_stop && ReadLine(r.in, line); ++lineno) {
        cantool::InputLine in;
        std::string err = CheckLine(line, in);
        if (!err.empty()) {
            std::fprintf(stderr, "ocelo-send: %s: line %lu: %s; stopped after %lu frames\n", r.name.c_str(), lineno,
                         err.c_str(), r.sent);
            status = 1;
            break;
        }
        Count(r, in);
        if (in.kind != cantool::LineKind::Frame)
            continue;
        bool done = false;
        status = p.Play(in, done);
        if (done)
            break;
    }
    if (status == 0 && std::ferror(r.in) && !g_stop)
        status = 1;
    ReportSkipped(r);
    return status;
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
    // slotA=<iface>: the lines logged on <iface> go out on slotA.  The side
    // that is not one of the board's slots names the log's interface; when
    // both are slots the left one sends.
    while (!args.empty() && args[0].find('=') != std::string::npos) {
        const std::string &m = args[0];
        size_t eq = m.find('=');
        std::string left = m.substr(0, eq), right = m.substr(eq + 1);
        unsigned char to = SlotName(left);
        std::string iface = right;
        if (!to && SlotName(right)) {
            to = SlotName(right);
            iface = left;
        }
        if (!to || iface.empty() || iface.find('=') != std::string::npos) {
            std::fprintf(stderr, "ocelo-send: a mapping is slotA=<interface> with a slot 1 to 7: %s\n", m.c_str());
            return 2;
        }
        if (replay.map.count(iface)) {
            std::fprintf(stderr, "ocelo-send: interface %s mapped twice\n", iface.c_str());
            return 2;
        }
        replay.map[iface] = to;
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
        replay.name = input_file;
    }
    struct stat st;
    replay.whole = from_input && fstat(fileno(replay.in), &st) == 0 && S_ISREG(st.st_mode);
    if ((loops > 1 || endless) && !replay.whole) {
        std::fprintf(stderr, "ocelo-send: -l needs a file (-I) to read again\n");
        return 2;
    }
    if (replay.whole) {
        if (int rc = LoadWhole(replay); rc != 0)
            return rc;
        ReportSkipped(replay);
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
    if (from_input && !replay.whole && status == 0 && !g_stop)
        status = SendStream(s, replay);
    for (unsigned long pass = 0; status == 0 && replay.whole && !g_stop && (endless || pass < loops); ++pass) {
        const unsigned long before = replay.sent;
        if (replay.max_frames && before >= replay.max_frames)
            break;
        status = SendWhole(s, replay);
        if (replay.sent == before)
            break;  // nothing in the file goes out: another pass sends nothing either
    }
    if (replay.in != stdin)
        std::fclose(replay.in);
    RecoverOcelo();
    return status;
}
