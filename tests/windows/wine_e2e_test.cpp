// The Windows build of tarvik under wine: its serial layer against
// pseudo-terminals mapped as COM ports in the wine registry, tarvik.exe in a
// tmux pane writing and reading its settings file, and a download to the
// controller simulator.
//
// Needs wine and the Windows build (preset mingw): the folder with the
// .exe files is TARVIK_MINGW_BIN, else build-mingw/bin of the source tree.
// WINEPREFIX may name a prepared prefix; without it the test makes one.
#include "e2e.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace e2e;

namespace {

// COM numbers mapped for the run, each to a fixed path in the ports folder
// where a test puts its pseudo-terminal (or the simulator's link).
const int MappedPorts[] = {5, 6, 12, 200};

std::string MingwBin()
{
    const char *env = std::getenv("TARVIK_MINGW_BIN");
    return (env != nullptr && env[0] != 0) ? std::string(env) : std::string(TARVIK_MINGW_BIN_DEFAULT);
}

std::string Exe(const std::string &name) { return MingwBin() + "/" + name; }

// The loader that runs the 64-bit programs: TARVIK_WINE, else wine's own
// 64-bit loader where it is installed (the "wine" script prefers the 32-bit
// loader once that is installed, and a machine may not run 32-bit programs),
// else "wine".
std::string Wine()
{
    const char *env = std::getenv("TARVIK_WINE");
    if (env != nullptr && env[0] != 0)
        return env;
    if (access("/usr/lib/wine/wine64", X_OK) == 0)
        return "/usr/lib/wine/wine64";
    return "wine";
}

int RunShell(const std::string &cmd)
{
    int r = std::system(cmd.c_str());
    return WIFEXITED(r) ? WEXITSTATUS(r) : -1;
}

class WineEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        ports_ = std::make_unique<TempDir>();
        const char *given = std::getenv("WINEPREFIX");
        if (given == nullptr || given[0] == 0) {
            prefix_ = std::make_unique<TempDir>();
            setenv("WINEPREFIX", (prefix_->path() + "/prefix").c_str(), 1);
        }
        setenv("WINEDEBUG", "-all", 1);
        // Wine's message boxes and desktop would need a display.
        unsetenv("DISPLAY");
        if (Wine() != "wine")
            setenv("WINELOADER", Wine().c_str(), 1);
        ASSERT_EQ(RunShell("timeout 300 " + Wine() + " wineboot -i >/dev/null 2>&1"), 0) << "wineboot failed";
        for (int n : MappedPorts) {
            std::string cmd = "timeout 120 " + Wine() + " reg add 'HKLM\\Software\\Wine\\Ports' /v COM" + std::to_string(n) +
                              " /d " + Quote(Port(n)) + " /f >/dev/null 2>&1";
            ASSERT_EQ(RunShell(cmd), 0) << cmd;
        }
        // The COM devices are made from the registry when wine starts: start
        // it afresh, and keep its server running between the programs.
        RunShell("wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1");
        RunShell("wineserver -p >/dev/null 2>&1");
    }
    void TearDown() override
    {
        RunShell("wineserver -k >/dev/null 2>&1");
        prefix_.reset();
        ports_.reset();
    }
    static const TempDir &Ports() { return *ports_; }
    static std::string Port(int n) { return ports_->path() + "/com" + std::to_string(n); }

private:
    static std::unique_ptr<TempDir> ports_;
    std::unique_ptr<TempDir> prefix_;
};

std::unique_ptr<TempDir> WineEnvironment::ports_;

// The pseudo-terminal behind COM n, held by the test.
std::unique_ptr<PtyPeer> PortPeer(int n)
{
    unlink(WineEnvironment::Port(n).c_str());
    return std::make_unique<PtyPeer>(WineEnvironment::Ports(), "com" + std::to_string(n));
}

// A Windows program under wine, its standard output read by the test.
class WineProgram {
public:
    WineProgram(const std::vector<std::string> &args, const std::string &cwd = "")
    {
        int fds[2];
        if (pipe(fds) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            if (!cwd.empty() && chdir(cwd.c_str()) != 0)
                _exit(126);
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 0);
            dup2(fds[1], 1);
            dup2(devnull, 2);
            // The ends of the lines the test holds stay with the test: a
            // far side that the test closes must close.
            for (int fd = 3; fd < 1024; ++fd)
                close(fd);
            std::vector<char *> argv;
            std::string loader = Wine();
            argv.push_back(loader.data());
            for (auto &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execvp(loader.c_str(), argv.data());
            _exit(127);
        }
        close(fds[1]);
        out_ = fds[0];
        fcntl(out_, F_SETFL, fcntl(out_, F_GETFL) | O_NONBLOCK);
    }
    ~WineProgram()
    {
        if (pid_ > 0 && !exited_) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }
    // Waits until a line "name=value" has been printed; its value, or
    // "(none)" after timeout_ms.
    std::string Value(const std::string &name, int timeout_ms = 60000)
    {
        std::string found;
        WaitFor(
            [&] {
                Drain();
                return Lookup(name, &found);
            },
            timeout_ms);
        return found.empty() ? "(none)" : found;
    }
    int IntValue(const std::string &name, int timeout_ms = 60000)
    {
        std::string v = Value(name, timeout_ms);
        return v == "(none)" ? -9999 : std::atoi(v.c_str());
    }
    // Waits for the program to end; its exit status, -1 after timeout_ms.
    int Wait(int timeout_ms = 60000)
    {
        bool done = WaitFor(
            [&] {
                Drain();
                int status = 0;
                if (waitpid(pid_, &status, WNOHANG) == pid_) {
                    exited_ = true;
                    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                    return true;
                }
                return false;
            },
            timeout_ms);
        Drain();
        return done ? status_ : -1;
    }
    const std::string &Output()
    {
        Drain();
        return text_;
    }

private:
    void Drain()
    {
        char buf[4096];
        ssize_t n;
        while ((n = read(out_, buf, sizeof buf)) > 0)
            text_.append(buf, static_cast<std::size_t>(n));
    }
    bool Lookup(const std::string &name, std::string *value) const
    {
        std::size_t pos = 0;
        const std::string key = name + "=";
        while ((pos = text_.find(key, pos)) != std::string::npos) {
            if (pos == 0 || text_[pos - 1] == '\n' || text_[pos - 1] == '\r') {
                std::size_t end = text_.find_first_of("\r\n", pos);
                if (end == std::string::npos)
                    return false;  // the line is not complete yet
                *value = text_.substr(pos + key.size(), end - pos - key.size());
                return true;
            }
            pos += key.size();
        }
        return false;
    }
    int pid_ = -1;
    int out_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::string text_;
};

WineProgram ComCheck(const std::vector<std::string> &args)
{
    std::vector<std::string> all = {Exe("wincom_check.exe")};
    all.insert(all.end(), args.begin(), args.end());
    return WineProgram(all);
}

std::string Stty(const std::string &dev)
{
    std::string cmd = "stty -a -F " + Quote(dev) + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[1024];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

bool HasFlag(const std::string &stty, const std::string &flag)
{
    std::size_t pos = 0;
    while ((pos = stty.find(flag, pos)) != std::string::npos) {
        bool startOk = pos == 0 || stty[pos - 1] == ' ' || stty[pos - 1] == '\n';
        std::size_t end = pos + flag.size();
        bool endOk = end == stty.size() || stty[end] == ' ' || stty[end] == '\n' || stty[end] == ';';
        if (startOk && endOk)
            return true;
        pos = end;
    }
    return false;
}

TEST(WineSerial, OpenCloseRulesAndErrors)
{
    auto peer = PortPeer(5);
    auto p = ComCheck({"open", "5", "9"});
    ASSERT_EQ(p.Wait(), 0) << p.Output();
    EXPECT_EQ(p.IntValue("open_0"), -2);
    EXPECT_EQ(p.IntValue("open_257"), -2);
    // COM9 is not mapped: the system's code for a missing device, and a
    // later attempt tries the device again instead of reporting "open".
    EXPECT_EQ(p.IntValue("open_missing"), 2) << "ERROR_FILE_NOT_FOUND";
    EXPECT_EQ(p.IntValue("open_missing_again"), 2);
    EXPECT_EQ(p.IntValue("close_missing"), -1);
    EXPECT_EQ(p.IntValue("read_closed"), -2);
    EXPECT_EQ(p.IntValue("write_closed"), -2);
    EXPECT_EQ(p.IntValue("baud_closed"), 0);
    EXPECT_NE(p.Output().find("Set baudrate error!\r\n\r"), std::string::npos) << p.Output();
    EXPECT_EQ(p.IntValue("open"), 0);
    EXPECT_EQ(p.IntValue("open_again"), -1);
    EXPECT_EQ(p.IntValue("handle_kept"), 1);
    EXPECT_EQ(p.IntValue("close"), 0);
    EXPECT_EQ(p.IntValue("close_again"), -1);
    EXPECT_EQ(p.IntValue("reopen"), 0);
    EXPECT_EQ(p.IntValue("close_reopened"), 0);
}

TEST(WineSerial, SecondProgramCannotTakeAPortInUse)
{
    auto peer = PortPeer(6);
    auto holder = ComCheck({"hold", "6"});
    ASSERT_EQ(holder.IntValue("ready"), 1) << holder.Output();
    {
        auto second = ComCheck({"try", "6"});
        EXPECT_EQ(second.Wait(), 0);
        EXPECT_EQ(second.IntValue("open"), 5) << "ERROR_ACCESS_DENIED, as for a port in use";
    }
    peer->Write("!");
    EXPECT_EQ(holder.IntValue("released"), '!');
    EXPECT_EQ(holder.Wait(), 0);
    // Free again once the holder has closed it.
    auto third = ComCheck({"try", "6"});
    EXPECT_EQ(third.Wait(), 0);
    EXPECT_EQ(third.IntValue("open"), 0);
}

TEST(WineSerial, PortNumbersAboveNine)
{
    for (int n : {12, 200}) {
        auto peer = PortPeer(n);
        auto p = ComCheck({"try", std::to_string(n)});
        EXPECT_EQ(p.Wait(), 0);
        EXPECT_EQ(p.IntValue("open"), 0) << "COM" << n << ": " << p.Output();
    }
}

TEST(WineSerial, BitRateAndLineSettingsSeenOnTheDevice)
{
    struct Case {
        const char *rate, *parity, *data, *stop;
        const char *speed;
        bool twoStop;
    } cases[] = {
        {"9600", "1", "7", "2", "speed 9600 baud", true},
        {"115200", "0", "8", "1", "speed 115200 baud", false},
        {"57600", "2", "8", "2", "speed 57600 baud", true},
        {"1200", "9", "9", "1", "speed 1200 baud", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("rate ") + c.rate);
        auto peer = PortPeer(5);
        // A pseudo-terminal starts with software flow control on, as a
        // port left so by another program would: tarvik must turn it off.
        struct termios t;
        tcgetattr(peer->slave_fd(), &t);
        t.c_iflag |= IXON | IXOFF;
        tcsetattr(peer->slave_fd(), TCSANOW, &t);
        auto p = ComCheck({"line", "5", c.rate, c.parity, c.data, c.stop});
        ASSERT_EQ(p.IntValue("ready"), 1) << p.Output();
        EXPECT_NE(p.Output().find(std::string("now baudrate = ") + c.rate + "!"), std::string::npos) << p.Output();
        EXPECT_EQ(p.Value("dcb_rate"), c.rate);
        EXPECT_EQ(p.IntValue("dcb_stopbits"), c.twoStop ? 2 : 0);
        EXPECT_EQ(p.IntValue("dcb_outx"), 0);
        EXPECT_EQ(p.IntValue("dcb_inx"), 0);
        std::string stty = Stty(peer->link());
        EXPECT_NE(stty.find(c.speed), std::string::npos) << stty;
        EXPECT_TRUE(HasFlag(stty, c.twoStop ? "cstopb" : "-cstopb")) << stty;
        for (const char *flag : {"-ixon", "-ixoff", "-icanon", "-echo", "-opost", "-icrnl", "cread"})
            EXPECT_TRUE(HasFlag(stty, flag)) << flag << "\n" << stty;
        peer->Write("x");
        EXPECT_EQ(p.IntValue("released"), 'x');
        EXPECT_EQ(p.Wait(), 0);
    }
}

TEST(WineSerial, EveryByteValueBothWays)
{
    auto peer = PortPeer(5);
    auto p = ComCheck({"echo", "5", "512"});
    ASSERT_EQ(p.IntValue("ready"), 1) << p.Output();
    // Reads never wait: nothing is there yet.
    EXPECT_EQ(p.IntValue("empty_read"), 0);
    EXPECT_EQ(p.IntValue("empty_read_returned_at_once"), 1);
    EXPECT_EQ(p.IntValue("wait_nothing"), 0);
    std::string all;
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 256; ++i)
            all.push_back(static_cast<char>(i));
    peer->Write(all);
    EXPECT_EQ(p.IntValue("wait_data"), 1);
    EXPECT_EQ(p.IntValue("received"), 512);
    EXPECT_EQ(p.IntValue("written"), 512);
    std::string back = peer->ReadN(512, 30000);
    EXPECT_EQ(back, all);
    peer->Write("!");
    EXPECT_EQ(p.Wait(), 0);
}

TEST(WineSerial, LargeWriteArrivesWhole)
{
    auto peer = PortPeer(5);
    const int count = 100000;
    auto p = ComCheck({"send", "5", std::to_string(count)});
    std::string got = peer->ReadN(count, 60000);
    ASSERT_EQ(static_cast<int>(got.size()), count) << p.Output();
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(static_cast<unsigned char>(got[static_cast<std::size_t>(i)]), (i * 7 + i / 256) & 0xFF) << i;
    EXPECT_EQ(p.IntValue("written"), count);
    peer->Write("!");
    EXPECT_EQ(p.Wait(), 0);
}

TEST(WineSerial, OpenPurgesWhatWasWaiting)
{
    auto peer = PortPeer(5);
    peer->Write("stale bytes from before");
    auto p = ComCheck({"purge", "5"});
    ASSERT_EQ(p.IntValue("ready"), 1) << p.Output();
    EXPECT_EQ(p.IntValue("stale"), 0);
    peer->Write("fresh");
    EXPECT_EQ(p.Value("fresh"), "fresh");
    EXPECT_EQ(p.Wait(), 0);
}

TEST(WineSerial, BreakThenTheLineGoesOn)
{
    auto peer = PortPeer(5);
    auto p = ComCheck({"break", "5"});
    EXPECT_EQ(peer->ReadN(5, 60000), "after");
    std::string out = p.Output();
    std::size_t start = out.find("[start Send Break]");
    std::size_t end = out.find("[Send Break END]");
    EXPECT_NE(start, std::string::npos) << out;
    EXPECT_NE(end, std::string::npos) << out;
    EXPECT_LT(start, end);
    EXPECT_EQ(p.IntValue("after"), 5);
    peer->Write("!");
    EXPECT_EQ(p.Wait(), 0);
}

TEST(WineSerial, WaitWithoutTimeOutEndsOnWakeAndOnADeviceThatGoesAndComesBack)
{
    auto peer = PortPeer(5);
    auto p = ComCheck({"gone", "5"});
    EXPECT_EQ(p.IntValue("wait_woken"), 0) << p.Output();
    ASSERT_EQ(p.IntValue("ready"), 1) << p.Output();
    // The far side closes and its device goes, as an unplugged adapter's.
    peer.reset();
    unlink(WineEnvironment::Port(5).c_str());
    EXPECT_EQ(p.IntValue("wait_gone"), 1) << p.Output();
    EXPECT_EQ(p.IntValue("read_gone"), -3) << "ComGone";
    EXPECT_EQ(p.IntValue("read_gone_again"), -3);
    peer = PortPeer(5);
    EXPECT_EQ(p.IntValue("reopen"), 0) << p.Output();
    EXPECT_EQ(p.IntValue("dcb_rate"), 9600) << "the settings it had";
    EXPECT_NE(Stty(peer->link()).find("speed 9600 baud"), std::string::npos);
    peer->Write("!");
    EXPECT_EQ(p.IntValue("released"), '!');
    EXPECT_EQ(p.IntValue("close"), 0);
    EXPECT_EQ(p.Wait(), 0);
}

TEST(WineDownload, SendFileToTheSimulator)
{
    TempDir work;
    TempDir store;
    // Several whole blocks and a part block, with the bytes that a line
    // with software flow control or null stripping would lose.
    std::string content;
    unsigned seed = 12345;
    for (int i = 0; i < 70000; ++i) {
        seed = seed * 1103515245u + 12345u;
        content.push_back(static_cast<char>((seed >> 16) & 0xFF));
    }
    content += std::string("\x11\x13\x00\x00\x1b\r\n", 7);
    WriteFile(work / "PROG.EXE", content);

    unlink(WineEnvironment::Port(6).c_str());
    Simulator sim(WineEnvironment::Ports(), {"--store", store.path()}, "com6");
    WineProgram p({Exe("winload_check.exe"), "6", "PROG.EXE"}, work.path());
    ASSERT_EQ(p.Wait(180000), 0) << p.Output();
    EXPECT_EQ(p.IntValue("armed"), 1);
    EXPECT_EQ(p.IntValue("done"), 1);
    const std::string out = p.Output();
    EXPECT_NE(out.find("Load file:PROG.EXE"), std::string::npos) << out;
    EXPECT_NE(out.find("Send file info. total 274 blocks"), std::string::npos) << out;
    EXPECT_NE(out.find("Block 274"), std::string::npos) << out;
    EXPECT_NE(out.find("Transfer time is:"), std::string::npos) << out;
    ASSERT_TRUE(WaitFor([&] { return FileExists(store / "FLASH.PROG.EXE"); }, 30000));
    EXPECT_TRUE(WaitFor([&] { return ReadFile(store / "FLASH.PROG.EXE") == content; }, 10000))
        << "stored " << ReadFile(store / "FLASH.PROG.EXE").size() << " of " << content.size() << " bytes";

    // A file that is not there: the controller is told that nothing comes.
    WineProgram missing({Exe("winload_check.exe"), "6", "NOFILE.EXE"}, work.path());
    ASSERT_EQ(missing.Wait(180000), 0) << missing.Output();
    EXPECT_NE(missing.Output().find("Cannot open file:NOFILE.EXE"), std::string::npos) << missing.Output();
    EXPECT_FALSE(FileExists(store / "FLASH.NOFILE.EXE"));
}

// tarvik.exe in a tmux pane (wine's console on a terminal) in dir.
void StartTarvik(Tmux &tmux, const TempDir &dir, const std::string &args)
{
    tmux.Start(Wine() + " " + Quote(Exe("tarvik.exe")) + " " + args, dir.path());
    ASSERT_TRUE(tmux.WaitScreen("now baudrate", 60000)) << tmux.Screen();
}

void QuitTarvik(Tmux &tmux)
{
    tmux.Key("M-x");
    ASSERT_TRUE(tmux.WaitExit(60000)) << tmux.Screen();
    EXPECT_EQ(tmux.ExitStatus(), 0);
}

TEST(WineTarvikExe, SettingsFileWrittenAndReadBack)
{
    TempDir dir;
    auto com5 = PortPeer(5);
    {
        Tmux tmux(100, 30);
        StartTarvik(tmux, dir, "/c5 /b9600 /s40");
        EXPECT_TRUE(tmux.WaitTitle("TARVIK 1.30 [COM5:9600,N,8,1],FC=0,CTS=0, DIR=Z:", 30000)) << tmux.Title();
        // Typed text goes to the port; what the port sends is shown.
        tmux.Type("ver");
        EXPECT_EQ(com5->ReadN(3, 30000), "ver");
        com5->Write("A:\\> reply from the controller");
        EXPECT_TRUE(tmux.WaitScreen("reply from the controller", 30000)) << tmux.Screen();
        QuitTarvik(tmux);
        EXPECT_TRUE(tmux.WaitScreen("[End of Key Thread.]", 10000)) << tmux.Screen();
    }
    std::string ini = ReadFile(dir / "tarvik.ini");
    EXPECT_NE(ini.find("C5"), std::string::npos) << ini;
    EXPECT_NE(ini.find("B9600"), std::string::npos) << ini;
    EXPECT_NE(ini.find("w40"), std::string::npos) << ini;

    // A start without options takes them from the file.
    {
        Tmux tmux(100, 30);
        StartTarvik(tmux, dir, "");
        EXPECT_TRUE(tmux.WaitScreen("Current set: Use COM5 9600,N,8,1", 30000)) << tmux.Screen();
        EXPECT_TRUE(tmux.WaitScreen("now baudrate = 9600!", 30000)) << tmux.Screen();
        EXPECT_NE(Stty(com5->link()).find("speed 9600 baud"), std::string::npos);
        QuitTarvik(tmux);
    }
}

// The Windows build has no network ports: a server's address is refused
// as a usage error, before any port is opened, and a malformed one too.
TEST(WineTarvikExe, NetworkPortsAreRefusedWithStatusTwo)
{
    TempDir dir;
    for (const char *word : {"rfc2217://127.0.0.1:4001", "tcp://127.0.0.1:4001", "tcp://127.0.0.1:0"}) {
        int status = RunShell("cd " + Quote(dir.path()) + " && " + Wine() + " " + Quote(Exe("tarvik.exe")) + " " +
                              word + " </dev/null >out.txt 2>err.txt");
        std::string err = ReadFile(dir / "err.txt");
        EXPECT_EQ(status, 2) << word << err;
        EXPECT_NE(err.find(std::string(word).back() == '0' ? "is not a network port"
                                                             : "network ports are not supported in this build"),
                  std::string::npos)
            << word << err;
    }
    EXPECT_FALSE(FileExists(dir / "tarvik.ini"));
}

// The names in a folder.
std::vector<std::string> ListDir(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(path.c_str())) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

// The tarvik.exe process started with "TARVIK_RUN=tag" in its environment
// (0 when there is none).
int FindTarvik(const std::string &tag)
{
    const std::string want = std::string("TARVIK_RUN=") + tag + '\0';
    for (int tries = 0; tries < 100; ++tries) {
        for (const auto &name : ListDir("/proc")) {
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            std::string dir = "/proc/" + name;
            if (ReadFile(dir + "/comm").rfind("tarvik.exe", 0) != 0)
                continue;
            if (('\0' + ReadFile(dir + "/environ")).find('\0' + want) != std::string::npos)
                return std::atoi(name.c_str());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
}

// Context switches of all the process's threads, and its CPU time in
// clock ticks.
void ProcessCost(int pid, long *switches, long *ticks)
{
    *switches = 0;
    std::string task = "/proc/" + std::to_string(pid) + "/task";
    for (const auto &tid : ListDir(task)) {
        std::string status = ReadFile(task + "/" + tid + "/status");
        for (const char *key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
            std::size_t at = status.find(key);
            if (at != std::string::npos)
                *switches += std::atol(status.c_str() + at + std::strlen(key));
        }
    }
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    std::size_t at = stat.rfind(')');
    long utime = 0, stime = 0;
    std::sscanf(stat.c_str() + at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime);
    *ticks = utime + stime;
}

// Cost per second of an idle or waiting tarvik over a few seconds.
void MeasureCost(int pid, double *switchesPerSecond, double *cpuShare)
{
    long s0, t0, s1, t1;
    ProcessCost(pid, &s0, &t0);
    const int seconds = 4;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    ProcessCost(pid, &s1, &t1);
    *switchesPerSecond = static_cast<double>(s1 - s0) / seconds;
    *cpuShare = static_cast<double>(t1 - t0) / static_cast<double>(sysconf(_SC_CLK_TCK) * seconds);
}

// Bounds that only a polling loop breaks: a receive loop asking the driver
// every millisecond made about 500 switches a second.
constexpr double IdleSwitchesMax = 20;
constexpr double IdleCpuMax = 0.10;

TEST(WineTarvikExe, IdleWithoutPollingThenKeysAndADownload)
{
    TempDir dir;
    mkdir((dir / "store").c_str(), 0755);
    std::string data;
    for (int i = 0; i < 5000; ++i)
        data.push_back(static_cast<char>((i * 31 + i / 256) & 0xFF));
    WriteFile(dir / "q.bin", data);
    WriteFile(dir / "tarvik.ini", "C6 B115200 P0 D8 S1\nFq.bin \n\nw25\n");
    unlink(WineEnvironment::Port(6).c_str());
    Simulator sim(WineEnvironment::Ports(), {"--store", dir / "store"}, "com6");
    Tmux tmux(100, 30);
    tmux.Start("TARVIK_RUN=idle " + Wine() + " " + Quote(Exe("tarvik.exe")), dir.path());
    ASSERT_TRUE(tmux.WaitScreen("now baudrate", 60000)) << tmux.Screen();
    int pid = FindTarvik("idle");
    ASSERT_NE(pid, 0);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    double switches = 0, cpu = 0;
    MeasureCost(pid, &switches, &cpu);
    EXPECT_LT(switches, IdleSwitchesMax) << "context switches a second, idle";
    EXPECT_LT(cpu, IdleCpuMax) << "share of a core, idle";

    // After the long wait, keys reach the controller and a download runs.
    tmux.Type("abc");
    tmux.Key("Enter");
    EXPECT_TRUE(WaitFor([&] { return sim.Received().find("abc\r") != std::string::npos; }, 30000)) << sim.Received();
    tmux.Key("F8");
    EXPECT_TRUE(tmux.WaitScreen("Transfer time is", 60000)) << tmux.Screen();
    EXPECT_TRUE(WaitFor([&] { return ReadFile(dir / "store/FLASH.q.bin") == data; }, 30000));
    QuitTarvik(tmux);
}

TEST(WineTarvikExe, EscapeEndsAWaitAndAPortThatGoesComesBack)
{
    TempDir dir;
    WriteFile(dir / "tarvik.ini", "C5 B9600 P0 D8 S1\nFq.bin \n\nw25\n");
    auto com5 = PortPeer(5);
    // The line's far end stays with the test, not with the terminal
    // multiplexer's server started below: closing it must hang the line up.
    for (int fd = 3; fd < 1024; ++fd)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    Tmux tmux(100, 30);
    tmux.Start("TARVIK_RUN=gone " + Wine() + " " + Quote(Exe("tarvik.exe")), dir.path());
    ASSERT_TRUE(tmux.WaitScreen("now baudrate", 60000)) << tmux.Screen();
    int pid = FindTarvik("gone");
    ASSERT_NE(pid, 0);

    // A download armed for a controller that never answers waits until
    // Escape.
    com5->Read(500, 100);
    tmux.Key("F9");
    EXPECT_EQ(com5->ReadN(5, 30000), "LOAD\r");
    tmux.Key("Escape");
    EXPECT_TRUE(tmux.WaitScreen("[Download cancelled]", 30000)) << tmux.Screen();

    // The device goes: tarvik says so and waits for it without spinning.
    com5.reset();
    unlink(WineEnvironment::Port(5).c_str());
    EXPECT_TRUE(tmux.WaitScreen("is gone", 60000)) << tmux.Screen();
    double switches = 0, cpu = 0;
    MeasureCost(pid, &switches, &cpu);
    EXPECT_LT(cpu, IdleCpuMax) << "share of a core while the port is gone";

    // It comes back at the same place with the same settings: the session
    // goes on.
    com5 = PortPeer(5);
    EXPECT_TRUE(tmux.WaitScreen("is back", 60000)) << tmux.Screen();
    EXPECT_TRUE(WaitFor([&] { return Stty(com5->link()).find("speed 9600 baud") != std::string::npos; }, 30000));
    tmux.Type("x");
    EXPECT_EQ(com5->ReadN(1, 30000), "x");
    com5->Write("from the controller again");
    EXPECT_TRUE(tmux.WaitScreen("from the controller again", 30000)) << tmux.Screen();
    QuitTarvik(tmux);
}

TEST(WineTarvikExe, ChineseHelpSetsTheInputCodePageAndReadsRight)
{
    TempDir dir;
    auto com5 = PortPeer(5);
    Tmux tmux(100, 60);
    // Wine's console writes to the terminal in the locale's character set.
    tmux.Start("LANG=C.UTF-8 " + Wine() + " " + Quote(Exe("tarvik.exe")) + " /c5", dir.path());
    ASSERT_TRUE(tmux.WaitScreen("now baudrate", 60000)) << tmux.Screen();
    tmux.Key("M-F1");
    ASSERT_TRUE(tmux.WaitScreen("Now Current CP=950", 30000)) << tmux.Screen();
    // Big5 text shown as the characters it encodes, whatever the console's
    // output code page.
    EXPECT_TRUE(tmux.WaitScreen("\xE5\x9C\xA8\xE5\x91\xBD\xE4\xBB\xA4\xE5\x88\x97", 30000)) << tmux.Screen();
    tmux.Key("Enter");  // second page
    ASSERT_TRUE(tmux.WaitScreen("*** END ***", 30000)) << tmux.Screen();
    // The code page stays at 950: a second help shows only the first line
    // ("Current CP=950" on a line of its own, no "Now Current CP").
    tmux.Key("M-F1");
    EXPECT_TRUE(tmux.WaitScreen("\nCurrent CP=950\n", 30000)) << tmux.Screen();
    tmux.Key("Enter");
    QuitTarvik(tmux);
}

}  // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new WineEnvironment);
    return RUN_ALL_TESTS();
}
