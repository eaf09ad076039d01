// Terminal benchmarks: tarvik against picocom and cat, on a pseudo-terminal
// whose far end this program holds (the "controller").
//
//   term_bench display PROGRAM MIB     PROGRAM in a 100x30 tmux pane drains
//                                      MIB MiB of text arriving on its port;
//                                      prints display_Bps
//   term_bench idle PROGRAM SECONDS    PROGRAM in a tmux pane on an idle
//                                      line; prints idle_wakeups_per_s and
//                                      idle_cpu_s_per_min (all its threads)
//   term_bench reaction TARVIK SAMPLES tarvik on pseudo-terminals of ours:
//                                      port byte -> screen and key -> port,
//                                      median and 99th percentile in us
//   term_bench cts TARVIK SAMPLES      the same, with modem lines on the port
//                                      (lib/libmodemlines.so beside tarvik's
//                                      bin/): CTS change -> title, in us
//
// PROGRAM is "tarvik=PATH", "picocom" or "cat".  Needs tmux (and picocom).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Now()
{
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

void SleepMs(int ms)
{
    usleep(static_cast<useconds_t>(ms) * 1000);
}

std::string Quote(const std::string &s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string Run(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

void MakeRaw(int fd)
{
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        cfsetspeed(&t, B115200);
        tcsetattr(fd, TCSANOW, &t);
    }
}

// A pseudo-terminal: we hold the master (the controller's end) and keep
// the terminal side open so that its settings stay; the program under test
// opens the terminal side through the link.
struct Line {
    int master = -1;
    int slave = -1;
    std::string link;
    bool Open(const std::string &path)
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return false;
        slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0)
            return false;
        MakeRaw(slave);
        link = path;
        unlink(path.c_str());
        return symlink(ptsname(master), path.c_str()) == 0;
    }
    ~Line()
    {
        if (master >= 0)
            close(master);
        if (slave >= 0)
            close(slave);
        if (!link.empty())
            unlink(link.c_str());
    }
};

bool WriteAll(int fd, const char *p, std::size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<std::size_t>(w);
        } else if (w < 0 && (errno == EINTR || errno == EAGAIN)) {
            struct pollfd pf = {fd, POLLOUT, 0};
            poll(&pf, 1, 100);
        } else {
            return false;
        }
    }
    return true;
}

struct TempDir {
    std::string path;
    TempDir()
    {
        char t[] = "/tmp/term-bench-XXXXXX";
        if (mkdtemp(t) != nullptr)
            path = t;
    }
    ~TempDir()
    {
        if (!path.empty())
            Run("rm -rf " + Quote(path));
    }
};

// One tmux server with one 100x30 pane.
struct Tmux {
    std::string socket;
    explicit Tmux(const std::string &dir) : socket(dir + "/tmux.sock") {}
    std::string Cmd(const std::string &args) { return "tmux -S " + Quote(socket) + " -f /dev/null " + args; }
    bool Start(const std::string &command, const std::string &dir)
    {
        std::string c = Cmd("new-session -d -x 100 -y 30 -c " + Quote(dir) + " " + Quote(command)) + " 2>&1";
        Run(c);
        Run(Cmd("set -g remain-on-exit on 2>/dev/null"));
        return !Pid().empty();
    }
    std::string Pid()
    {
        std::string p = Run(Cmd("display -p '#{pane_pid}' 2>/dev/null"));
        while (!p.empty() && (p.back() == '\n' || p.back() == '\r'))
            p.pop_back();
        return p;
    }
    std::string Screen() { return Run(Cmd("capture-pane -p 2>/dev/null")); }
    bool WaitScreen(const std::string &text, double seconds, int pollMs = 10)
    {
        double end = Now() + seconds;
        while (Now() < end) {
            if (Screen().find(text) != std::string::npos)
                return true;
            SleepMs(pollMs);
        }
        return false;
    }
    ~Tmux() { Run(Cmd("kill-server 2>/dev/null")); }
};

// The pane's command for PROGRAM on the line at link, run in dir.
std::string PaneCommand(const std::string &program, const std::string &link, const std::string &dir)
{
    if (program.rfind("tarvik=", 0) == 0) {
        std::ofstream(dir + "/tarvik.ini") << "C1 B115200 P0 D8 S1\n";
        return "exec env TARVIK_COM1=" + Quote(link) + " " + Quote(program.substr(7));
    }
    if (program == "picocom")
        return "exec picocom -q -b 115200 --noreset --nolock " + Quote(link);
    if (program == "cat")
        return "exec cat " + Quote(link);
    return "";
}

std::string Label(const std::string &program)
{
    return program.rfind("tarvik=", 0) == 0 ? "tarvik" : program;
}

// Sends a probe until it shows in the pane: the program reads its port.
bool WaitReading(Tmux &tmux, Line &line)
{
    for (int i = 0; i < 50; ++i) {
        std::string probe = "probe-" + std::to_string(i) + "\r\n";
        WriteAll(line.master, probe.data(), probe.size());
        if (tmux.WaitScreen("probe-" + std::to_string(i), 0.2, 20))
            return true;
    }
    return false;
}

int Display(const std::string &program, double mib)
{
    TempDir dir;
    Line line;
    if (dir.path.empty() || !line.Open(dir.path + "/com1")) {
        std::fprintf(stderr, "term_bench: no pseudo-terminal\n");
        return 1;
    }
    Tmux tmux(dir.path);
    if (!tmux.Start(PaneCommand(program, line.link, dir.path), dir.path) || !WaitReading(tmux, line)) {
        std::fprintf(stderr, "term_bench: %s did not start reading its port:\n%s\n", Label(program).c_str(),
                     tmux.Screen().c_str());
        return 1;
    }
    SleepMs(300);
    // Lines of printable text, CR LF, as a controller prints them.
    std::string text;
    std::size_t total = static_cast<std::size_t>(mib * 1048576.0);
    char one[128];
    for (long n = 0; text.size() < 1048576; ++n) {
        int len = std::snprintf(one, sizeof one, "%07ld the quick brown fox jumps over the lazy dog 0123456789 ABCDEFGHIJ\r\n", n);
        text.append(one, static_cast<std::size_t>(len));
    }
    double t0 = Now();
    std::size_t sent = 0;
    while (sent < total) {
        std::size_t n = std::min(text.size(), total - sent);
        if (!WriteAll(line.master, text.data(), n))
            break;
        sent += n;
    }
    const std::string marker = "end-of-display-run";
    std::string tail = marker + "\r\n";
    WriteAll(line.master, tail.data(), tail.size());
    bool seen = tmux.WaitScreen(marker, 600, 5);
    double secs = Now() - t0;
    if (!seen) {
        std::fprintf(stderr, "term_bench: the end marker never showed in %s's pane\n", Label(program).c_str());
        return 1;
    }
    std::printf("display_seconds %.3f\n", secs);
    std::printf("display_Bps %.0f\n", static_cast<double>(sent + tail.size()) / secs);
    return 0;
}

// CPU ticks (utime + stime) and context switches of every thread of pid.
struct Usage {
    double cpuSeconds = 0;
    long long voluntary = 0;
    long long involuntary = 0;
    int threads = 0;
};

Usage Sample(const std::string &pid)
{
    Usage u;
    std::string base = "/proc/" + pid + "/task";
    DIR *d = opendir(base.c_str());
    if (d == nullptr)
        return u;
    long hz = sysconf(_SC_CLK_TCK);
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string task = base + "/" + e->d_name;
        std::ifstream status(task + "/status");
        std::string key;
        long long value;
        std::string lineText;
        while (std::getline(status, lineText)) {
            std::istringstream ls(lineText);
            ls >> key >> value;
            if (key == "voluntary_ctxt_switches:")
                u.voluntary += value;
            else if (key == "nonvoluntary_ctxt_switches:")
                u.involuntary += value;
        }
        std::ifstream stat(task + "/stat");
        std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::size_t close = all.rfind(')');
        if (close != std::string::npos) {
            std::istringstream rest(all.substr(close + 2));
            std::string field;
            std::vector<std::string> f;
            while (rest >> field)
                f.push_back(field);
            // After the name: state is field 3; utime 14 and stime 15.
            if (f.size() > 12)
                u.cpuSeconds += static_cast<double>(std::atoll(f[11].c_str()) + std::atoll(f[12].c_str())) / hz;
        }
        ++u.threads;
    }
    closedir(d);
    return u;
}

int Idle(const std::string &program, double seconds)
{
    TempDir dir;
    Line line;
    if (dir.path.empty() || !line.Open(dir.path + "/com1"))
        return 1;
    Tmux tmux(dir.path);
    if (!tmux.Start(PaneCommand(program, line.link, dir.path), dir.path) || !WaitReading(tmux, line)) {
        std::fprintf(stderr, "term_bench: %s did not start reading its port\n", Label(program).c_str());
        return 1;
    }
    std::string pid = tmux.Pid();
    SleepMs(2000);  // start-up done, the last probe's output flushed
    Usage a = Sample(pid);
    double t0 = Now();
    SleepMs(static_cast<int>(seconds * 1000));
    Usage b = Sample(pid);
    double t = Now() - t0;
    if (b.threads == 0) {
        std::fprintf(stderr, "term_bench: %s ended during the idle run\n", Label(program).c_str());
        return 1;
    }
    double wakeups = static_cast<double>((b.voluntary - a.voluntary) + (b.involuntary - a.involuntary));
    std::printf("idle_threads %d\n", b.threads);
    std::printf("idle_wakeups_per_s %.2f\n", wakeups / t);
    std::printf("idle_cpu_s_per_min %.4f\n", (b.cpuSeconds - a.cpuSeconds) * 60.0 / t);
    return 0;
}

// Reads from fd until text arrives (answering cursor position queries on
// answerFd, unless it is -1), at most ms; returns the time it arrived or 0.
double WaitText(int fd, const std::string &text, int ms, int answerFd)
{
    double end = Now() + ms / 1000.0;
    const std::string query = "\033[6n";
    std::string seen;  // the tail of what came, so that nothing split between reads is missed
    char buf[4096];
    while (Now() < end) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        ssize_t n = read(fd, buf, sizeof buf);
        double at = Now();
        if (n <= 0)
            continue;
        seen.append(buf, static_cast<std::size_t>(n));
        std::size_t q = seen.find(query);
        if (answerFd >= 0 && q != std::string::npos) {
            WriteAll(answerFd, "\033[1;1R", 6);
            seen.erase(0, q + query.size());
        }
        if (seen.find(text) != std::string::npos)
            return at;
        std::size_t keep = std::max(text.size(), query.size());
        if (seen.size() > keep)
            seen.erase(0, seen.size() - keep);
    }
    return 0;
}

double WaitByte(int fd, unsigned char c, int ms, int answerFd)
{
    return WaitText(fd, std::string(1, static_cast<char>(c)), ms, answerFd);
}

// Drains fd until it has been quiet for quietMs (answering position queries).
void Drain(int fd, int quietMs, int answerFd)
{
    unsigned char buf[4096];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, quietMs) <= 0)
            return;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return;
        if (answerFd >= 0 && memmem(buf, static_cast<std::size_t>(n), "\033[6n", 4) != nullptr)
            WriteAll(answerFd, "\033[1;1R", 6);
    }
}

void Percentiles(const char *name, std::vector<double> v)
{
    if (v.empty()) {
        std::printf("%s_median_us nan\n%s_p99_us nan\n", name, name);
        return;
    }
    std::sort(v.begin(), v.end());
    std::printf("%s_median_us %.1f\n", name, v[v.size() / 2] * 1e6);
    std::printf("%s_p99_us %.1f\n", name, v[std::min(v.size() - 1, v.size() * 99 / 100)] * 1e6);
}

// tarvik started in dir on a console of ours (a 100x30 pseudo-terminal),
// COM1 = port, with more environment variables; returns its pid (or -1)
// and the console's far end in *console.
pid_t StartOnConsole(const std::string &tarvik, const std::string &dir, const std::string &port,
                     const std::vector<std::pair<std::string, std::string>> &env, int *console)
{
    *console = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*console < 0 || grantpt(*console) != 0 || unlockpt(*console) != 0)
        return -1;
    std::string consoleName = ptsname(*console);
    struct winsize ws = {30, 100, 0, 0};
    ioctl(*console, TIOCSWINSZ, &ws);
    std::ofstream(dir + "/tarvik.ini") << "C1 B115200 P0 D8 S1\n";
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        int tty = open(consoleName.c_str(), O_RDWR);
        if (tty < 0)
            _exit(126);
        ioctl(tty, TIOCSCTTY, 0);
        dup2(tty, 0);
        dup2(tty, 1);
        dup2(tty, 2);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        setenv("TARVIK_COM1", port.c_str(), 1);
        setenv("TERM", "xterm", 1);
        for (auto &e : env)
            setenv(e.first.c_str(), e.second.c_str(), 1);
        execl(tarvik.c_str(), tarvik.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

void StopTarvik(pid_t pid, int console)
{
    kill(pid, SIGTERM);
    for (int i = 0; i < 100 && waitpid(pid, nullptr, WNOHANG) == 0; ++i)
        SleepMs(20);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(console);
}

int Reaction(const std::string &tarvik, int samples)
{
    TempDir dir;
    Line port;
    if (dir.path.empty() || !port.Open(dir.path + "/com1"))
        return 1;
    int console = -1;
    pid_t pid = StartOnConsole(tarvik, dir.path, port.link, {}, &console);
    if (pid < 0)
        return 1;
    // Start-up: wait until the console has been quiet for half a second.
    SleepMs(300);
    Drain(console, 500, console);
    Drain(port.master, 50, -1);

    std::vector<double> toScreen, toPort;
    int lost = 0;
    for (int i = 0; i < samples; ++i) {
        unsigned char c = static_cast<unsigned char>('a' + i % 26);
        double t0 = Now();
        WriteAll(port.master, reinterpret_cast<const char *>(&c), 1);
        double t1 = WaitByte(console, c, 2000, console);
        if (t1 > 0)
            toScreen.push_back(t1 - t0);
        else
            ++lost;
        SleepMs(3);  // let every thread go back to its wait
        unsigned char k = static_cast<unsigned char>('A' + i % 26);
        t0 = Now();
        WriteAll(console, reinterpret_cast<const char *>(&k), 1);
        t1 = WaitByte(port.master, k, 2000, -1);
        if (t1 > 0)
            toPort.push_back(t1 - t0);
        else
            ++lost;
        SleepMs(3);
        Drain(console, 0, console);
    }
    StopTarvik(pid, console);
    Percentiles("reaction_port_to_screen", toScreen);
    Percentiles("reaction_key_to_port", toPort);
    std::printf("reaction_lost %d\n", lost);
    return toScreen.empty() || toPort.empty() ? 1 : 0;
}

// CTS change -> title: the port's pseudo-terminal gets modem lines from the
// preloaded library beside tarvik's build (lib/libmodemlines.so); CTS is
// turned over by replacing the library's line file, and the time runs until
// the new state arrives in the title on tarvik's console.
int CtsToTitle(const std::string &tarvik, int samples)
{
    std::string root = tarvik.substr(0, tarvik.rfind('/'));
    root = root.substr(0, root.rfind('/'));
    std::string lib = root + "/lib/libmodemlines.so";
    if (access(lib.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "term_bench: %s is missing\n", lib.c_str());
        return 1;
    }
    TempDir dir;
    Line port;
    if (dir.path.empty() || !port.Open(dir.path + "/com1"))
        return 1;
    std::string lines = dir.path + "/lines";
    auto setLines = [&](const char *text) {
        std::ofstream(lines + ".new") << text;
        return std::rename((lines + ".new").c_str(), lines.c_str()) == 0;
    };
    setLines("DSR\n");
    int console = -1;
    pid_t pid = StartOnConsole(tarvik, dir.path, port.link,
                               {{"LD_PRELOAD", lib}, {"MODEMLINES_FILE", lines}, {"MODEMLINES_DEVICE", port.link}},
                               &console);
    if (pid < 0)
        return 1;
    SleepMs(300);
    Drain(console, 500, console);
    std::vector<double> toTitle;
    int lost = 0;
    for (int i = 0; i < samples; ++i) {
        bool high = i % 2 == 0;
        double t0 = Now();
        if (!setLines(high ? "CTS DSR\n" : "DSR\n"))
            return 1;
        double t1 = WaitText(console, high ? "CTS=1" : "CTS=0", 2000, console);
        if (t1 > 0)
            toTitle.push_back(t1 - t0);
        else
            ++lost;
        SleepMs(20);  // every thread back in its wait
        Drain(console, 0, console);
    }
    StopTarvik(pid, console);
    Percentiles("cts_to_title", toTitle);
    std::printf("cts_lost %d\n", lost);
    return toTitle.empty() ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    if (argc != 4) {
        std::fprintf(stderr,
                     "usage: term_bench display PROGRAM MIB | idle PROGRAM SECONDS | reaction TARVIK SAMPLES |\n"
                     "       cts TARVIK SAMPLES\n"
                     "  PROGRAM: tarvik=PATH, picocom or cat\n");
        return 2;
    }
    std::string what = argv[1];
    if (what == "display")
        return Display(argv[2], std::atof(argv[3]));
    if (what == "idle")
        return Idle(argv[2], std::atof(argv[3]));
    if (what == "reaction")
        return Reaction(argv[2], std::atoi(argv[3]));
    if (what == "cts")
        return CtsToTitle(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr, "term_bench: unknown benchmark %s\n", what.c_str());
    return 2;
}
