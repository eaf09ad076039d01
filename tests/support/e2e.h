// Helpers for end-to-end tests: tarvik in a real tmux pane, a real
// pseudo-terminal to the controller simulator or to the test itself.
#pragma once
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace e2e {

// Paths of the programs under test (set by the build).
std::string TarvikPath();
std::string SimPath();
// The library that gives a pseudo-terminal modem lines (LD_PRELOAD).
std::string ModemLinesPath();
// The library that makes time() show the moment in $FIXED_CLOCK (LD_PRELOAD).
std::string FixedClockPath();
// The library that gives a pseudo-terminal a driver's low-latency setting
// and writes down its changes (LD_PRELOAD).
std::string LowLatencyPath();

// Polls pred every 20 ms until it holds or timeout_ms passes.
bool WaitFor(const std::function<bool()> &pred, int timeout_ms = 10000);

// Sends a signal that ends the process (SIGTERM, SIGINT, SIGHUP): 0, or -1
// when it cannot be sent.  GCC's ThreadSanitizer runtime now and then drops
// a signal, mostly one that comes early in a process's life; in that build
// the signal is sent again while the process lives on after it (every 2 s,
// a few times).  Other builds send it once.
int SendEndingSignal(pid_t pid, int sig);

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &data);
bool FileExists(const std::string &path);

// Text without its line ends and blanks: a line that wraps at a tmux pane's
// edge (where a blank may be dropped) compares whole.
std::string Joined(const std::string &text);

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A child process started with execv; killed (SIGTERM, then SIGKILL) at the end.
class Process {
public:
    Process() = default;
    ~Process();
    void Start(const std::vector<std::string> &argv, const std::string &cwd = "");
    void Stop();
    int pid() const { return pid_; }

private:
    int pid_ = -1;
};

// quarnix-sim serving a pseudo-terminal published as dir/name.
class Simulator {
public:
    // extra: more command-line options for the simulator.
    Simulator(const TempDir &dir, const std::vector<std::string> &extra = {}, const std::string &name = "com1");
    const std::string &link() const { return link_; }
    const std::string &record() const { return record_; }
    // Everything the simulator received from the terminal so far.
    std::string Received() const { return ReadFile(record_); }

private:
    Process proc_;
    std::string link_;
    std::string record_;
};

// A pseudo-terminal whose far end the test holds: tarvik opens the
// terminal side (link()), the test reads and writes the other.
class PtyPeer {
public:
    explicit PtyPeer(const TempDir &dir, const std::string &name = "com1");
    ~PtyPeer();
    const std::string &link() const { return link_; }
    // Reads what has arrived, waiting at most timeout_ms for the first byte
    // and then until the line is quiet for quiet_ms.
    std::string Read(int timeout_ms = 2000, int quiet_ms = 100);
    // Reads until at least n bytes have arrived or timeout_ms passes.
    std::string ReadN(std::size_t n, int timeout_ms = 5000);
    void Write(const std::string &data);
    // The terminal side's descriptor (for termios checks).
    int slave_fd() const { return slave_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string link_;
};

// One tmux server with one pane running a command.
class Tmux {
public:
    Tmux(int width = 100, int height = 30);
    ~Tmux();
    // Runs the shell command line in dir; the pane stays after it ends.
    void Start(const std::string &command, const std::string &dir);
    void Keys(const std::vector<std::string> &keys);  // tmux key names
    void Key(const std::string &key) { Keys({key}); }
    void Type(const std::string &text);                // literal text
    std::string Screen(bool escapes = false);
    std::string Title();
    std::string Format(const std::string &fmt);      // display -p
    bool WaitScreen(const std::string &text, int timeout_ms = 10000);
    bool WaitTitle(const std::string &text, int timeout_ms = 10000);
    bool PaneDead();
    int ExitStatus();  // of the pane's command, -1 if it has not ended
    bool WaitExit(int timeout_ms = 10000);

private:
    std::string Run(const std::string &args);
    std::string socket_;
    std::string status_;
    int width_, height_;
};

// Everything written to standard output while fn runs (through a
// temporary file standing in for descriptor 1).
std::string CaptureStdout(const std::function<void()> &fn);

// Shell-quotes one word.
std::string Quote(const std::string &s);

// The command line that starts tarvik in a pane with COM1 (and more) mapped:
// env TARVIK_COM1=<link> tarvik <args>.
std::string TarvikCommand(const std::vector<std::pair<int, std::string>> &ports, const std::string &args = "");

// A run of tarvik without a console: its exit status and what it wrote.
struct Outcome {
    int status = -1;
    std::string out, err;
};

// Runs tarvik with args (and env, VAR=value words put before it) in dir,
// standard input from /dev/null, stdout and stderr into dir's out.txt and
// err.txt, and waits for its end; every wait of tarvik's is bounded,
// timeout(1) is the net.
Outcome RunTarvik(const TempDir &dir, const std::string &args, const std::string &env = "");

}  // namespace e2e
