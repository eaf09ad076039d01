// tarvik on a serial device server's network port: ser2net on 127.0.0.1 in
// front of quarnix-sim's pseudo-terminal, over RFC 2217 and raw TCP.  Files
// full of 0xFF bytes go both ways byte for byte, the bit rate reaches the
// device, the server stopped and started again is "gone" and "back", a
// server stopped during a download fails the run naming the block, -w
// waits for the server, and a word that is no address is a usage error.
#include "e2e.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace e2e;

namespace {

std::string Ser2net()
{
    for (const char *p : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"})
        if (access(p, X_OK) == 0)
            return p;
    return "";
}

// ser2net is part of the test machine; only a developer's machine outside
// CI may lack it.
#define NEED_SER2NET()                                                                       \
    do {                                                                                     \
        if (Ser2net().empty()) {                                                             \
            const char *ci = std::getenv("CI");                                              \
            if (ci != nullptr && std::string(ci) == "true")                                  \
                FAIL() << "ser2net is missing (scripts/install-deps.sh installs it)";        \
            GTEST_SKIP() << "ser2net is not installed";                                      \
        }                                                                                    \
    } while (0)

int FreePort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<struct sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<struct sockaddr *>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// Whether something listens on 127.0.0.1:port (read from the kernel's
// table, so that no connection is made to find out).
bool Listening(int port)
{
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X 00000000:0000 0A", port);
    return ReadFile("/proc/net/tcp").find(local) != std::string::npos;
}

// ser2net with one connection on a free port of 127.0.0.1 in front of the
// device, as RFC 2217 or raw TCP.
class Server {
public:
    Server(const TempDir &dir, const std::string &device, bool rfc2217)
        : dir_(dir), port_(FreePort()), rfc2217_(rfc2217)
    {
        WriteFile(dir / "ser2net.yaml",
                  "connection: &port1\n"
                  "  accepter: " + std::string(rfc2217 ? "telnet(rfc2217),tcp," : "tcp,") + "127.0.0.1," +
                      std::to_string(port_) + "\n"
                  "  connector: serialdev," + device + ",115200n81,local\n"
                  "  options:\n"
                  "    kickolduser: true\n");
    }
    // env: words put before the server's command line (VAR=value).
    void Start(const std::vector<std::string> &env = {})
    {
        proc_ = std::make_unique<Process>();
        std::vector<std::string> argv = {"/usr/bin/env"};
        argv.insert(argv.end(), env.begin(), env.end());
        argv.insert(argv.end(), {Ser2net(), "-n", "-d", "-c", dir_ / "ser2net.yaml", "-P", dir_ / "ser2net.pid"});
        proc_->Start(argv, dir_.path());
        ASSERT_TRUE(WaitFor([&] { return Listening(port_); })) << "ser2net does not listen on " << port_;
    }
    void Stop() { proc_.reset(); }
    std::string Url() const { return (rfc2217_ ? "rfc2217://127.0.0.1:" : "tcp://127.0.0.1:") + std::to_string(port_); }

private:
    const TempDir &dir_;
    int port_;
    bool rfc2217_;
    std::unique_ptr<Process> proc_;
};

// Data in which every fourth byte is 0xFF, with runs of them and Telnet
// command bytes after them (IAC SB, IAC SE, IAC WILL).
std::string IacFile(const std::string &path, std::size_t size)
{
    std::string data(size, '\0');
    const unsigned char after[] = {0xFF, 0xFA, 0xF0, 0xFB, 0x2C, 0x00, 0x0D, 0x0A};
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>(i % 4 == 0 ? 0xFF : after[(i * 7 + i / 256) % sizeof after]);
    WriteFile(path, data);
    return data;
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

struct Line {
    TempDir dir;
    std::unique_ptr<Simulator> sim;
    explicit Line(const std::vector<std::string> &options = {})
    {
        mkdir((dir / "store").c_str(), 0755);
        std::vector<std::string> all = {"--store", "store", "--transfer-timeout", "4000"};
        all.insert(all.end(), options.begin(), options.end());
        sim = std::make_unique<Simulator>(dir, all);
        WriteFile(dir / "tarvik.ini", "C1 B115200 P0 D8 S1\nFprog.bin \n\nw25\n");
    }
};

}  // namespace

TEST(NetPort, DownloadsAreByteExactOverRfc2217AndRawTcp)
{
    NEED_SER2NET();
    for (bool rfc2217 : {true, false}) {
        SCOPED_TRACE(rfc2217 ? "rfc2217" : "tcp");
        Line line;
        Server server(line.dir, line.sim->link(), rfc2217);
        server.Start();
        std::string data = IacFile(line.dir / "prog.bin", 20000);
        Outcome run = RunTarvik(line.dir, "-d prog.bin " + server.Url());
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(WaitFor([&] { return ReadFile(line.dir / "store/FLASH.prog.bin") == data; }))
            << ReadFile(line.dir / "store/FLASH.prog.bin").size() << " bytes stored\n" << run.err;
        EXPECT_NE(run.err.find("prog.bin: 20000 bytes in 79 blocks"), std::string::npos) << run.err;
    }
}

// A session on the RFC 2217 port: the rate of -b is the device's, a fetch
// full of 0xFF bytes arrives whole, the server stopped is "gone", started
// again "back" with the rate given again, and the controller answers.
TEST(NetPort, SessionSetsTheRateFetchesByteExactAndSeesTheServerGoAndComeBack)
{
    NEED_SER2NET();
    TempDir dir;
    mkdir((dir / "src").c_str(), 0755);
    std::string data = IacFile(dir / "src/up.bin", 6000);
    Simulator sim(dir, {"--put", "src/up.bin"});
    Server server(dir, sim.link(), true);
    server.Start();
    WriteFile(dir / "tarvik.ini", "C1 B115200 P0 D8 S1\nFprog.bin \n\nw25\n");
    Tmux tmux(120, 40);
    tmux.Start("env TARVIK_CODEPAGE=437 " + Quote(TarvikPath()) + " -b 57600 " + server.Url(), dir.path());
    ASSERT_TRUE(tmux.WaitScreen("now baudrate = 57600!")) << tmux.Screen();
    std::string stty = Popen("stty -F " + Quote(sim.link()) + " 2>&1");
    EXPECT_NE(stty.find("speed 57600 baud"), std::string::npos) << stty;

    tmux.Type("send up.bin\r");
    ASSERT_TRUE(tmux.WaitScreen("waiting for the terminal")) << tmux.Screen();
    tmux.Key("M-g");
    ASSERT_TRUE(tmux.WaitScreen("Upload done.")) << tmux.Screen();
    EXPECT_NE(tmux.Screen().find("Get file up.bin success"), std::string::npos) << tmux.Screen();
    EXPECT_TRUE(ReadFile(dir / "up.bin") == data) << ReadFile(dir / "up.bin").size() << " bytes fetched";

    const std::string gone = "[COM1: " + server.Url() + " is gone; waiting for it to return]";
    const std::string back = "[COM1: " + server.Url() + " is back]";
    server.Stop();
    ASSERT_TRUE(tmux.WaitScreen(gone)) << tmux.Screen();
    server.Start();
    ASSERT_TRUE(tmux.WaitScreen(back)) << tmux.Screen();
    EXPECT_TRUE(WaitFor([&] {
        return Popen("stty -F " + Quote(sim.link()) + " 2>&1").find("speed 57600 baud") != std::string::npos;
    })) << Popen("stty -F " + Quote(sim.link()) + " 2>&1");
    tmux.Type("ver\r");
    ASSERT_TRUE(tmux.WaitScreen("Quarnix 2.10 (quarnix-sim")) << tmux.Screen();
    tmux.Key("M-x");
    ASSERT_TRUE(tmux.WaitExit()) << tmux.Screen();
    EXPECT_EQ(tmux.ExitStatus(), 0);
}

TEST(NetPort, AServerStoppedDuringADownloadFailsTheRunNamingTheBlock)
{
    NEED_SER2NET();
    for (bool rfc2217 : {true, false}) {
        SCOPED_TRACE(rfc2217 ? "rfc2217" : "tcp");
        // The controller keeps block 5 unanswered: the server goes meanwhile.
        Line line({"--silent-block", "5"});
        Server server(line.dir, line.sim->link(), rfc2217);
        server.Start();
        IacFile(line.dir / "prog.bin", 3000);
        Process run;
        std::string cmd = "cd " + Quote(line.dir.path()) + " && " + Quote(TarvikPath()) + " -d prog.bin " +
                          server.Url() + " </dev/null >out.txt 2>err.txt; echo $? > status.txt";
        run.Start({"/bin/sh", "-c", cmd});
        // LOAD\r, the file record and blocks 1 to 5 have reached the controller.
        ASSERT_TRUE(WaitFor([&] { return line.sim->Received().size() >= 5 + 6 * 260; }))
            << line.sim->Received().size();
        server.Stop();
        ASSERT_TRUE(WaitFor([&] { return FileExists(line.dir / "status.txt"); }, 20000));
        std::string err = ReadFile(line.dir / "err.txt");
        EXPECT_EQ(ReadFile(line.dir / "status.txt"), "1\n") << err;
        EXPECT_NE(err.find("prog.bin on " + server.Url() + ": block 5 of 12: the device has gone"),
                  std::string::npos)
            << err;
    }
}

TEST(NetPort, WaitOptionWaitsUntilTheServerListens)
{
    NEED_SER2NET();
    Line line;
    Server server(line.dir, line.sim->link(), true);
    std::string data = IacFile(line.dir / "prog.bin", 1000);
    Process run;
    std::string cmd = "cd " + Quote(line.dir.path()) + " && " + Quote(TarvikPath()) + " -w -d prog.bin " +
                      server.Url() + " </dev/null >out.txt 2>err.txt; echo $? > status.txt";
    run.Start({"/bin/sh", "-c", cmd});
    ASSERT_TRUE(WaitFor([&] { return ReadFile(line.dir / "err.txt").find("is not there; waiting") != std::string::npos; }))
        << ReadFile(line.dir / "err.txt");
    EXPECT_FALSE(FileExists(line.dir / "status.txt"));
    server.Start();
    ASSERT_TRUE(WaitFor([&] { return FileExists(line.dir / "status.txt"); }, 20000));
    EXPECT_EQ(ReadFile(line.dir / "status.txt"), "0\n") << ReadFile(line.dir / "err.txt");
    EXPECT_TRUE(WaitFor([&] { return ReadFile(line.dir / "store/FLASH.prog.bin") == data; }));
}

// Needs no server: refused before anything is opened.
TEST(NetPort, AWordThatIsNoNetworkAddressIsAUsageError)
{
    TempDir dir;
    WriteFile(dir / "prog.bin", "x");
    for (const char *word : {"rfc2217://127.0.0.1", "tcp://127.0.0.1:0", "rfc2217://127.0.0.1:99999",
                             "udp://127.0.0.1:4001", "rfc2217://:4001"}) {
        for (const char *mode : {"-d prog.bin ", ""}) {  // headless and a session
            Outcome run = RunTarvik(dir, std::string(mode) + Quote(word));
            EXPECT_EQ(run.status, 2) << word << " " << mode << run.err;
            EXPECT_NE(run.err.find("is not a network port (rfc2217://HOST:PORT or tcp://HOST:PORT"),
                      std::string::npos)
                << word << run.err;
        }
    }
    // The same through TARVIK_COM<n>.
    Outcome run = RunTarvik(dir, "-d prog.bin /C3", "TARVIK_COM3=tcp://127.0.0.1:65536");
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find("tcp://127.0.0.1:65536 is not a network port"), std::string::npos) << run.err;
}

// The modem lines as the server reports them are the title's CTS (the
// server's device given modem lines by the preloaded library).
TEST(NetPort, CtsInTheTitleIsWhatTheServerReports)
{
    NEED_SER2NET();
    TempDir dir;
    Simulator sim(dir);
    Server server(dir, sim.link(), true);
    const std::string lines = dir / "lines";
    WriteFile(lines, "");
    // Under AddressSanitizer the library brings the sanitizer's runtime
    // into a program built without it.
    server.Start({"LD_PRELOAD=" + ModemLinesPath(), "MODEMLINES_FILE=" + lines, "ASAN_OPTIONS=verify_asan_link_order=0"});
    WriteFile(dir / "tarvik.ini", "C1 B115200 P0 D8 S1\nFprog.bin \n\nw25\n");
    Tmux tmux;
    tmux.Start(Quote(TarvikPath()) + " " + server.Url(), dir.path());
    ASSERT_TRUE(tmux.WaitScreen("now baudrate = 115200!")) << tmux.Screen();
    EXPECT_TRUE(tmux.WaitTitle("CTS=0")) << tmux.Title();
    WriteFile(dir / "lines.new", "CTS\n");
    std::rename((dir / "lines.new").c_str(), lines.c_str());
    EXPECT_TRUE(tmux.WaitTitle("CTS=1")) << tmux.Title();
    WriteFile(dir / "lines.new", "");
    std::rename((dir / "lines.new").c_str(), lines.c_str());
    EXPECT_TRUE(tmux.WaitTitle("CTS=0")) << tmux.Title();
    tmux.Key("M-x");
    ASSERT_TRUE(tmux.WaitExit()) << tmux.Screen();
}
