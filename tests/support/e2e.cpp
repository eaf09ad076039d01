#include "e2e.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace e2e {

namespace {
std::atomic<int> Counter{0};

std::string Unique()
{
    return std::to_string(getpid()) + "_" + std::to_string(Counter++);
}
}  // namespace

std::string TarvikPath() { return TARVIK_BIN; }
std::string SimPath() { return QUARNIX_SIM_BIN; }
std::string ModemLinesPath() { return MODEMLINES_LIB; }
std::string FixedClockPath() { return FIXEDCLOCK_LIB; }
std::string LowLatencyPath() { return LOWLATENCY_LIB; }

bool WaitFor(const std::function<bool()> &pred, int timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

#if defined(__SANITIZE_THREAD__)
namespace {
// Gone, or a zombie waiting to be reaped.
bool Ended(pid_t pid)
{
    std::string text = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    std::size_t close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() || text[close + 2] == 'Z' || text[close + 2] == 'X';
}
}  // namespace
#endif

int SendEndingSignal(pid_t pid, int sig)
{
    if (kill(pid, sig) != 0)
        return -1;
#if defined(__SANITIZE_THREAD__)
    for (int again = 0; again < 5 && !WaitFor([&] { return Ended(pid); }, 2000); ++again)
        kill(pid, sig);
#endif
    return 0;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void WriteFile(const std::string &path, const std::string &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

bool FileExists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string Joined(const std::string &text)
{
    std::string out;
    for (char c : text)
        if (c != '\n' && c != ' ')
            out += c;
    return out;
}

std::string Quote(const std::string &s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/tarvik-test-XXXXXX";
    char *p = mkdtemp(tmpl);
    if (p == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = p;
}

TempDir::~TempDir()
{
    std::string cmd = "rm -rf " + Quote(path_);
    int r = std::system(cmd.c_str());
    (void)r;
}

Process::~Process() { Stop(); }

void Process::Start(const std::vector<std::string> &argv, const std::string &cwd)
{
    std::vector<char *> args;
    for (auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        execv(args[0], args.data());
        _exit(127);
    }
}

void Process::Stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

Simulator::Simulator(const TempDir &dir, const std::vector<std::string> &extra, const std::string &name)
{
    link_ = dir / name;
    record_ = dir / (name + ".received");
    std::vector<std::string> argv = {SimPath(), "--link", link_, "--record", record_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    proc_.Start(argv, dir.path());
    if (!WaitFor([&] { return FileExists(link_); }, 10000))
        throw std::runtime_error("simulator did not publish " + link_);
}

PtyPeer::PtyPeer(const TempDir &dir, const std::string &name)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("posix_openpt failed");
    const char *sname = ptsname(master_);
    slave_ = open(sname, O_RDWR | O_NOCTTY);
    struct termios t;
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    link_ = dir / name;
    if (symlink(sname, link_.c_str()) != 0)
        throw std::runtime_error("symlink failed");
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPeer::~PtyPeer()
{
    if (slave_ >= 0)
        close(slave_);
    if (master_ >= 0)
        close(master_);
}

std::string PtyPeer::Read(int timeout_ms, int quiet_ms)
{
    std::string out;
    int wait = timeout_ms;
    while (true) {
        struct pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, wait) <= 0)
            break;
        char buf[4096];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
        wait = quiet_ms;
    }
    return out;
}

std::string PtyPeer::ReadN(std::size_t n, int timeout_ms)
{
    std::string out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < n) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
        if (left <= 0)
            break;
        struct pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            break;
        char buf[4096];
        ssize_t got = read(master_, buf, std::min(sizeof buf, n - out.size()));
        if (got <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

void PtyPeer::Write(const std::string &data)
{
    std::size_t off = 0;
    while (off < data.size()) {
        ssize_t w = write(master_, data.data() + off, data.size() - off);
        if (w > 0) {
            off += static_cast<std::size_t>(w);
        } else {
            struct pollfd p = {master_, POLLOUT, 0};
            if (poll(&p, 1, 2000) <= 0)
                break;
        }
    }
}

Tmux::Tmux(int width, int height) : socket_("tarvik" + Unique()), width_(width), height_(height) {}

Tmux::~Tmux()
{
    Run("kill-server");
}

std::string Tmux::Run(const std::string &args)
{
    std::string cmd = "tmux -L " + socket_ + " -f /dev/null " + args + " 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return "";
    std::string out;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

void Tmux::Start(const std::string &command, const std::string &dir)
{
    // The command's exit status goes to a file: a sanitizer report ends the
    // program with a non-zero status, which the tests then see.
    status_ = dir + "/.exit-status-" + socket_;
    std::string wrapped = command + "; echo $? > " + Quote(status_);
    // The options are set in the same call, before the pane is made: a
    // command that ends at once must leave its pane (and the server) behind,
    // and the history limit is taken when a pane is made.
    Run("start-server \\; set-option -g remain-on-exit on \\; set-option -g history-limit 5000 \\; new-session -d -x " +
        std::to_string(width_) + " -y " + std::to_string(height_) + " -c " + Quote(dir) + " " +
        Quote("exec sh -c " + Quote(wrapped)));
}

void Tmux::Keys(const std::vector<std::string> &keys)
{
    std::string args = "send-keys -t 0";
    for (auto &k : keys)
        args += " " + Quote(k);
    Run(args);
}

void Tmux::Type(const std::string &text)
{
    Run("send-keys -t 0 -l " + Quote(text));
}

std::string Tmux::Screen(bool escapes)
{
    return Run(std::string("capture-pane -p -t 0") + (escapes ? " -e" : ""));
}

std::string Tmux::Format(const std::string &fmt)
{
    std::string out = Run("display-message -p -t 0 " + Quote(fmt));
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

std::string Tmux::Title() { return Format("#{pane_title}"); }

bool Tmux::WaitScreen(const std::string &text, int timeout_ms)
{
    return WaitFor([&] { return Screen().find(text) != std::string::npos; }, timeout_ms);
}

bool Tmux::WaitTitle(const std::string &text, int timeout_ms)
{
    return WaitFor([&] { return Title().find(text) != std::string::npos; }, timeout_ms);
}

bool Tmux::PaneDead() { return Format("#{pane_dead}") == "1"; }

int Tmux::ExitStatus()
{
    std::string st;
    if (!WaitFor([&] { return !(st = ReadFile(status_)).empty(); }, 3000))
        return -1;
    return std::atoi(st.c_str());
}

bool Tmux::WaitExit(int timeout_ms)
{
    return WaitFor([&] { return PaneDead(); }, timeout_ms);
}

std::string TarvikCommand(const std::vector<std::pair<int, std::string>> &ports, const std::string &args)
{
    std::string cmd = "env";
    for (auto &p : ports)
        cmd += " TARVIK_COM" + std::to_string(p.first) + "=" + Quote(p.second);
    cmd += " " + Quote(TarvikPath());
    if (!args.empty())
        cmd += " " + args;
    return cmd;
}

std::string CaptureStdout(const std::function<void()> &fn)
{
    std::fflush(stdout);
    char path[] = "/tmp/tarvik-capture-XXXXXX";
    int fd = mkstemp(path);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    fn();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    close(fd);
    unlink(path);
    return out;
}

Outcome RunTarvik(const TempDir &dir, const std::string &args, const std::string &env)
{
    std::string cmd = "cd " + Quote(dir.path()) + " && " + env + " timeout 120 " + Quote(TarvikPath()) + " " +
                      args + " </dev/null >out.txt 2>err.txt";
    int r = std::system(cmd.c_str());
    Outcome run;
    run.status = WIFEXITED(r) ? WEXITSTATUS(r) : -1;
    run.out = ReadFile(dir / "out.txt");
    run.err = ReadFile(dir / "err.txt");
    return run;
}

}  // namespace e2e
