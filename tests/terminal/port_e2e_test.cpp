// tarvik when its port or its terminal goes away: the controller's adapter
// unplugged and plugged in again (quarnix-sim closes its pseudo-terminal and
// opens a new one behind the same link), a hang-up of the line, a download
// cut off by an unplug, standard input that is not a terminal, and a
// terminal that closes under a running tarvik.
#include "e2e.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace e2e;

namespace {

// Reads the non-blocking fd into seen until text has come (WaitFor's bound).
bool ReadUntil(int fd, const std::string &text, std::string &seen)
{
    return WaitFor([&] {
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            seen.append(buf, static_cast<std::size_t>(n));
        return seen.find(text) != std::string::npos;
    });
}

std::string Popen(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    char buf[512];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

// Seconds of processor time that a process has used (all its threads).
double CpuSeconds(int pid)
{
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    unsigned long utime = 0, stime = 0;
    // Fields after the name: state (3) ... utime (14), stime (15).
    if (std::sscanf(stat.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                    &stime) != 2)
        return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// tarvik in a pane on COM1 = quarnix-sim behind dir/com1; the simulator is
// started here so that the test can unplug its line and plug it in again
// (SIGUSR2).
struct Session {
    TempDir dir;
    Process sim;
    Tmux tmux;
    std::string link = dir / "com1";

    explicit Session(const std::vector<std::string> &simArgs = {})
    {
        std::vector<std::string> argv = {SimPath(), "--link", link};
        argv.insert(argv.end(), simArgs.begin(), simArgs.end());
        sim.Start(argv, dir.path());
        EXPECT_TRUE(WaitFor([&] { return FileExists(link); }));
    }
    void Start(const std::string &args = "")
    {
        tmux.Start(TarvikCommand({{1, link}}, args), dir.path());
        ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
    }
    int TarvikPid()
    {
        std::string tty = tmux.Format("#{pane_tty}");
        return std::atoi(Popen("pgrep -t " + tty.substr(5) + " -f " + Quote("^" + TarvikPath())).c_str());
    }
    void Unplug() { kill(sim.pid(), SIGUSR2); }
    void Plug() { kill(sim.pid(), SIGUSR2); }
    std::string GoneLine() { return "[COM1: " + link + " is gone; waiting for it to return]"; }
    std::string BackLine() { return "[COM1: " + link + " is back]"; }
};

std::size_t Count(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

TEST(PortGone, UnplugIsShownCostsNoCpuAndTheSessionGoesOnWithItsSettings)
{
    Session s;
    s.Start("/B57600");
    int pid = s.TarvikPid();
    ASSERT_GT(pid, 0);

    s.Unplug();
    ASSERT_TRUE(s.tmux.WaitScreen(s.GoneLine())) << s.tmux.Screen();
    double before = CpuSeconds(pid);
    usleep(1500 * 1000);
    double used = CpuSeconds(pid) - before;
    // A loop that spins on the vanished device burns the whole 1.5 s.
    EXPECT_LT(used, 0.3) << "processor seconds used while the port was gone";

    s.Plug();
    ASSERT_TRUE(s.tmux.WaitScreen(s.BackLine())) << s.tmux.Screen();
    std::string stty = Popen("stty -F " + Quote(s.link) + " 2>&1");
    EXPECT_NE(stty.find("speed 57600 baud"), std::string::npos) << stty;
    s.tmux.Type("ver\r");
    ASSERT_TRUE(s.tmux.WaitScreen("Quarnix 2.10 (quarnix-sim")) << s.tmux.Screen();

    // A hang-up of the line: the device stays, tarvik opens it again at once.
    // Only root may hang up a terminal line (TIOCVHANGUP).
    if (geteuid() == 0) {
        s.tmux.Type("hangup\r");
        ASSERT_TRUE(WaitFor([&] { return Count(s.tmux.Screen(), s.BackLine()) == 2; })) << s.tmux.Screen();
        s.tmux.Type("ver\r");
        ASSERT_TRUE(WaitFor([&] { return Count(s.tmux.Screen(), "Quarnix 2.10 (quarnix-sim") == 2; }))
            << s.tmux.Screen();
    }

    s.tmux.Key("M-x");
    ASSERT_TRUE(s.tmux.WaitExit()) << s.tmux.Screen();
    EXPECT_EQ(s.tmux.ExitStatus(), 0);
}

// The second unplug in one session is shown as the first was.
TEST(PortGone, ASecondUnplugIsShownAgain)
{
    Session s;
    s.Start();
    s.Unplug();
    ASSERT_TRUE(s.tmux.WaitScreen(s.GoneLine())) << s.tmux.Screen();
    s.Plug();
    ASSERT_TRUE(s.tmux.WaitScreen(s.BackLine())) << s.tmux.Screen();
    s.Unplug();
    EXPECT_TRUE(WaitFor([&] { return Count(s.tmux.Screen(), s.GoneLine()) == 2; })) << s.tmux.Screen();
    s.Plug();
    EXPECT_TRUE(WaitFor([&] { return Count(s.tmux.Screen(), s.BackLine()) == 2; })) << s.tmux.Screen();
    s.tmux.Key("M-x");
    ASSERT_TRUE(s.tmux.WaitExit()) << s.tmux.Screen();
}

TEST(PortGone, AltXAndPortSwitchWorkWhileThePortIsAway)
{
    Session s;
    PtyPeer com2(s.dir, "com2");
    s.tmux.Start(TarvikCommand({{1, s.link}, {2, com2.link()}}), s.dir.path());
    ASSERT_TRUE(s.tmux.WaitScreen("now baudrate")) << s.tmux.Screen();
    s.Unplug();
    ASSERT_TRUE(s.tmux.WaitScreen(s.GoneLine())) << s.tmux.Screen();
    s.tmux.Key("M-2");
    ASSERT_TRUE(s.tmux.WaitScreen("{*** Change to use COM2 ***}")) << s.tmux.Screen();
    s.tmux.Type("x");
    EXPECT_EQ(com2.ReadN(1), "x");
    s.tmux.Key("M-x");
    ASSERT_TRUE(s.tmux.WaitExit()) << s.tmux.Screen();
    EXPECT_EQ(s.tmux.ExitStatus(), 0);
    EXPECT_NE(ReadFile(s.dir / "tarvik.ini").find("C2"), std::string::npos);
}

TEST(PortGone, DownloadCutOffByAnUnplugEndsWithItsMessage)
{
    Session s({"--line-rate", "9600"});
    WriteFile(s.dir / "big.bin", std::string(64 * 1024, 'x'));
    s.Start();
    s.tmux.Type("load\r");
    ASSERT_TRUE(s.tmux.WaitScreen("Ready to receive a file into flash!")) << s.tmux.Screen();
    s.tmux.Key("M-e");
    ASSERT_TRUE(s.tmux.WaitScreen("Input filename:")) << s.tmux.Screen();
    s.tmux.Type("big.bin\r");
    ASSERT_TRUE(s.tmux.WaitScreen("Block 2")) << s.tmux.Screen();
    s.Unplug();
    // Well inside the reply bound: the transfer ends as soon as the port goes.
    ASSERT_TRUE(s.tmux.WaitScreen("[COM1 is gone]", 4000)) << s.tmux.Screen();
    ASSERT_TRUE(s.tmux.WaitScreen("Transfer time is")) << s.tmux.Screen();
    ASSERT_TRUE(s.tmux.WaitScreen(s.GoneLine())) << s.tmux.Screen();
    s.tmux.Key("M-x");
    EXPECT_TRUE(s.tmux.WaitExit()) << s.tmux.Screen();
}

TEST(Stdin, NotATerminalIsRefused)
{
    TempDir dir;
    PtyPeer com1(dir);
    std::string cmd = "cd " + Quote(dir.path()) + " && timeout 10 " + TarvikCommand({{1, com1.link()}}) +
                      " </dev/null >out 2>err";
    int st = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 1);  // 124: still running after 10 s
    EXPECT_EQ(ReadFile(dir / "err"), "tarvik: standard input is not a terminal\n");
    EXPECT_FALSE(FileExists(dir / "tarvik.ini"));
}

TEST(Stdin, TerminalClosingUnderTarvikEndsItUnsaved)
{
    // The terminal is not tarvik's controlling terminal, so its closing
    // sends no hang-up signal: tarvik must see the end of its input.
    TempDir dir;
    PtyPeer com1(dir);
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    fcntl(master, F_SETFL, O_NONBLOCK);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string slave = ptsname(master);
    std::string env = "TARVIK_COM1=" + com1.link();
    int pid = fork();
    if (pid == 0) {
        close(master);
        setsid();
        int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
        dup2(fd, 0);
        dup2(fd, 1);
        dup2(fd, 2);
        if (chdir(dir.path().c_str()) != 0)
            _exit(127);
        putenv(const_cast<char *>(env.c_str()));
        execl(TarvikPath().c_str(), TarvikPath().c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string seen;
    ASSERT_TRUE(ReadUntil(master, "now baudrate", seen)) << seen;
    close(master);
    int status = 0;
    bool ended = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; });
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(ended) << "tarvik still running after its terminal closed";
    EXPECT_FALSE(FileExists(dir / "tarvik.ini"));
}

}  // namespace

// A line with modem lines (the pseudo-terminal gets them from the preloaded
// library): a CTS change reaches the title.  The idle receive loop waits
// without a time-out where the driver can wait for a modem-line change, so
// only the modem-line thread's wake-up can bring it; where the driver cannot
// (driverWaits false), only the wait's own look at CTS.
void CtsChangesReachTheTitle(bool driverWaits)
{
    Session s;
    std::string lines = s.dir / "lines";
    auto setLines = [&](const std::string &text) {
        WriteFile(lines + ".new", text);
        ASSERT_EQ(std::rename((lines + ".new").c_str(), lines.c_str()), 0);
    };
    setLines("DSR\n");
    const char *asan = std::getenv("ASAN_OPTIONS");
    std::string command = "env LD_PRELOAD=" + Quote(ModemLinesPath()) + " MODEMLINES_FILE=" + Quote(lines) +
                          " MODEMLINES_NOWAIT=" + (driverWaits ? "0" : "1") + " ASAN_OPTIONS=" +
                          Quote(std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0") + " " +
                          TarvikCommand({{1, s.link}});
    s.tmux.Start(command, s.dir.path());
    ASSERT_TRUE(s.tmux.WaitScreen("now baudrate")) << s.tmux.Screen();
    ASSERT_TRUE(s.tmux.WaitTitle("CTS=0")) << s.tmux.Title();

    setLines("CTS DSR\n");
    EXPECT_TRUE(s.tmux.WaitTitle("CTS=1", 5000)) << s.tmux.Title();
    setLines("DSR\n");
    EXPECT_TRUE(s.tmux.WaitTitle("CTS=0", 5000)) << s.tmux.Title();

    s.tmux.Key("M-x");
    ASSERT_TRUE(s.tmux.WaitExit()) << s.tmux.Screen();
    EXPECT_EQ(s.tmux.ExitStatus(), 0) << s.tmux.Screen();  // the modem-line thread ended cleanly
}

TEST(ModemLines, CtsChangesReachTheTitle)
{
    CtsChangesReachTheTitle(true);
}

TEST(ModemLines, CtsChangesReachTheTitleWhereTheDriverCannotWait)
{
    CtsChangesReachTheTitle(false);
}

namespace {

// Waits (bounded) for a child to end; its exit status, or -1.
int WaitChild(int pid, int timeout_ms)
{
    int status = 0;
    if (!WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

// The simulator ends at SIGTERM, SIGINT and SIGHUP, idle or serving a
// transfer that waits for the terminal, and takes its link away.
TEST(Simulator, EndsAtATerminatingSignalAndRemovesItsLink)
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        for (bool busy : {false, true}) {
            TempDir dir;
            std::string link = dir / "com1";
            int pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                execl(SimPath().c_str(), "quarnix-sim", "--link", link.c_str(), "--quiet", static_cast<char *>(nullptr));
                _exit(127);
            }
            ASSERT_TRUE(WaitFor([&] { return FileExists(link); })) << "signal " << sig;
            // Idle: the simulator has answered a bare CR with its prompt and
            // waits for the line.  Busy: a receive under way waits (with its
            // own long bound) for blocks.
            int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            ASSERT_GE(fd, 0);
            const char *ask = busy ? "LOAD\r" : "\r";
            const char answer = busy ? '!' : '>';
            ASSERT_EQ(write(fd, ask, std::strlen(ask)), static_cast<ssize_t>(std::strlen(ask)));
            std::string got;
            ASSERT_TRUE(ReadUntil(fd, std::string(1, answer), got));
            ASSERT_EQ(SendEndingSignal(pid, sig), 0);
            EXPECT_EQ(WaitChild(pid, 10000), 0) << "signal " << sig << (busy ? " in a transfer" : " idle");
            EXPECT_FALSE(FileExists(link));
            close(fd);
        }
    }
}

TEST(Simulator, RefusesAnAnswerDelayItCannotUse)
{
    for (const char *bad : {"x", "-1", "10001", "5ms"}) {
        std::string cmd = Quote(SimPath()) + " --answer-delay " + bad + " 2>/dev/null";
        int rc = std::system(cmd.c_str());
        EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 2) << bad;
    }
}
