// The CAN command-line tools: their frame syntax, and both programs run as
// separate processes whose simulated boards share a bus through the socket
// directory of the test.
#include "CanTool.h"
#include "CanTestUtil.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <regex>
#include <sstream>

extern char **environ;

using namespace cantest;

namespace {

TEST(FrameSyntax, AcceptsTheToolsForms)
{
    cantool::FrameSpec f;
    ASSERT_EQ(cantool::ParseFrame("123#DEADBEEF", f), "");
    EXPECT_EQ(f.ext, 0);
    EXPECT_EQ(f.id, 0x123u);
    EXPECT_EQ(f.len, 4);
    EXPECT_EQ(f.data[0], 0xDE);
    EXPECT_EQ(f.data[3], 0xEF);
    ASSERT_EQ(cantool::ParseFrame("1ABCDEF0#R4", f), "");
    EXPECT_EQ(f.ext, 1);
    EXPECT_EQ(f.rtr, 1);
    EXPECT_EQ(f.len, 4);
    EXPECT_EQ(f.id, 0x1ABCDEF0u);
    ASSERT_EQ(cantool::ParseFrame("7ff#11.22.33", f), "");
    EXPECT_EQ(f.len, 3);
    EXPECT_EQ(f.data[2], 0x33);
    ASSERT_EQ(cantool::ParseFrame("5#", f), "");
    EXPECT_EQ(f.len, 0);
    ASSERT_EQ(cantool::ParseFrame("00000001#R", f), "");
    EXPECT_EQ(f.ext, 1);
    EXPECT_EQ(f.len, 0);
}

TEST(FrameSyntax, RejectsWhatIsNotAFrame)
{
    cantool::FrameSpec f;
    for (const char *bad : {"123", "#00", "800#00", "1234#00", "20000000#00", "12G#00", "123#0", "123#0011223344556677889",
                            "123#R9", "123#RX", "123#zz", "0000000001#00"})
        EXPECT_NE(cantool::ParseFrame(bad, f), "") << bad;
    unsigned long v;
    EXPECT_FALSE(cantool::ParseNumber("-1", 10, v));
    EXPECT_FALSE(cantool::ParseNumber("11", 10, v));
    EXPECT_FALSE(cantool::ParseNumber("1x", 10, v));
    EXPECT_TRUE(cantool::ParseNumber("0x10", 16, v));
    EXPECT_EQ(v, 16u);
}

TEST(FrameSyntax, OutputLine)
{
    cantool::FrameSpec f;
    cantool::ParseFrame("123#AABB", f);
    EXPECT_EQ(cantool::FormatFrame(2, f, 0, 0x1E240), "slot2       123  [2]  AA BB  time 00000000:0001E240");
    cantool::ParseFrame("1ABCDEF0#R4", f);
    EXPECT_EQ(cantool::FormatFrame(1, f, 1, 2), "slot1  1ABCDEF0  [4]  remote request  time 00000001:00000002");
}

TEST(FrameSyntax, HostTimeStamps)
{
    EXPECT_EQ(cantool::FormatStamp('a', 1700000000123456, 0, 0), "(1700000000.123456) ");
    EXPECT_EQ(cantool::FormatStamp('z', 1700000002500000, 1700000001000000, 1700000002400000), "(001.500000) ");
    EXPECT_EQ(cantool::FormatStamp('d', 1700000002500000, 1700000001000000, 1700000002400000), "(000.100000) ");
    EXPECT_EQ(cantool::FormatStamp(0, 1700000002500000, 0, 0), "");
}

// A log stamp with fewer than six fraction digits is seconds and a fraction,
// not a count of microseconds: (1.5) is 1.5 s.
TEST(FrameSyntax, ShortFractionOfALogStampIsAFractionOfASecond)
{
    cantool::InputLine in;
    EXPECT_EQ(cantool::ReadInputLine("(1.5) slot1 123#AA", in), "");
    EXPECT_TRUE(in.has_time);
    EXPECT_EQ(in.micros, 1500000);
}

// Log lines the board cannot send are told apart from lines that are no
// frame at all: CAN FD frames and error frames are skipped, anything
// malformed (also in those forms) refuses the input.
TEST(FrameSyntax, LinesTheBoardCannotSendAreNotMalformed)
{
    using cantool::LineKind;
    struct Case {
        const char *line;
        LineKind kind;
        bool ok;
    } cases[] = {
        {"(1.000000) can0 123##1DEADBEEF", LineKind::CanFd, true},
        {"(1.000000) can0 12345678##0", LineKind::CanFd, true},
        {"123##3" "00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF", LineKind::CanFd, true},
        {"(1.000000) can0 20000004#0001000000000000", LineKind::ErrorFrame, true},
        {"20000080#", LineKind::ErrorFrame, true},
        {"(1.000000) can0 123#11", LineKind::Frame, true},
        {"  # a comment", LineKind::Empty, true},
        {"(1.000000) can0 123##", LineKind::Empty, false},      // no flags digit
        {"(1.000000) can0 123##1ABC", LineKind::Empty, false},  // odd data digits
        {"1234##1AB", LineKind::Empty, false},                  // bad identifier
        {"20000004#00112", LineKind::Empty, false},             // error frame with bad data
        {"40000004#00", LineKind::Empty, false},                // beyond the error flag
        {"(1.000000) can0", LineKind::Empty, false},
    };
    for (const Case &c : cases) {
        cantool::InputLine in;
        std::string err = cantool::ReadInputLine(c.line, in);
        EXPECT_EQ(err.empty(), c.ok) << c.line << ": " << err;
        EXPECT_EQ(in.kind, c.kind) << c.line;
    }
    cantool::InputLine in;
    ASSERT_EQ(cantool::ReadInputLine("(2.5) vcan1 00000123#R", in), "");
    EXPECT_EQ(in.iface, "vcan1");
    EXPECT_EQ(in.frame.rtr, 1);
}

// Board status as error frames in the form candump logs and python-can
// reads: the error flag and classes in the identifier (with the bus-error
// class, without which python-can's log reader takes an ordinary frame),
// 8 data bytes.
TEST(ErrorFrames, OverflowAndBusOffInTheLogForm)
{
    cantool::FrameSpec f;
    ASSERT_TRUE(cantool::ErrorFrameFor(0, 0, true, 0x01, f));
    EXPECT_EQ(cantool::FrameText(f), "20000084#0001000000000100");  // controller: rx overflow
    ASSERT_TRUE(cantool::ErrorFrameFor(0, 0x80, false, 0, f));
    EXPECT_EQ(cantool::FrameText(f), "200000C0#0000000000800000");  // bus off
    ASSERT_TRUE(cantool::ErrorFrameFor(0x80, 0, false, 0, f));
    EXPECT_EQ(cantool::FrameText(f), "20000184#0040000000000000");  // restarted, error active
    EXPECT_FALSE(cantool::ErrorPass(0x40, f));
    EXPECT_TRUE(cantool::ErrorPass(0x100, f));
    EXPECT_FALSE(cantool::ErrorFrameFor(0, 0x01, false, 0, f));
}

TEST(Filters, JoinedFiltersMustAllPass)
{
    std::vector<cantool::Filter> fl(2);
    ASSERT_EQ(cantool::ParseFilter("100:700", fl[0]), "");  // 100..1FF
    ASSERT_EQ(cantool::ParseFilter("023:0FF", fl[1]), "");  // ..23
    cantool::FrameSpec a, b;
    cantool::ParseFrame("123#", a);
    cantool::ParseFrame("124#", b);
    EXPECT_TRUE(cantool::FilterPass(fl, b));
    EXPECT_TRUE(cantool::FilterPass(fl, a, true));
    EXPECT_FALSE(cantool::FilterPass(fl, b, true));
}

// Filters in the usual id/mask form become the board's acceptance code and
// mask (bit 1 = don't care) where the board can sort the frames itself.
TEST(Filters, BoardCodeAndMask)
{
    struct Case {
        std::vector<std::string> filters;
        unsigned long code, mask;
    } cases[] = {
        {{}, 0, 0xFFFFFFFF},
        {{"123:800007FF"}, 0x24600000, 0x001FFFFF},                  // standard 123, data or remote
        {{"123:C00007FF"}, 0x24600000, 0x000FFFFF},                  // standard 123, data only
        {{"12345678:9FFFFFFF"}, 0x91A2B3C0, 0x00000007},             // extended, data or remote
        {{"100:C00007FF", "101:C00007FF"}, 0x20000000, 0x002FFFFF},  // both: identifier bit 0 free
        {{"7FF:C00007FF", "00000123:DFFFFFFF"}, 0, 0xFFEFFFFF},      // only the remote bits agree
        {{"123:7FF"}, 0, 0xFFFFFFFF},                                // standard and extended frames
        {{"123~C00007FF"}, 0, 0xFFFFFFFF},                           // all but one: software only
    };
    for (const Case &c : cases) {
        std::vector<cantool::Filter> fs;
        for (const std::string &t : c.filters) {
            fs.emplace_back();
            ASSERT_EQ(cantool::ParseFilter(t, fs.back()), "") << t;
        }
        cantool::BoardFilter bf = cantool::BoardFilterFor(fs);
        EXPECT_EQ(bf.code, c.code) << ::testing::PrintToString(c.filters);
        EXPECT_EQ(bf.mask, c.mask) << ::testing::PrintToString(c.filters);
    }
}

TEST(Filters, HostCheck)
{
    auto pass = [](const char *filter, const char *frame) {
        cantool::Filter flt;
        cantool::FrameSpec f;
        EXPECT_EQ(cantool::ParseFilter(filter, flt), "");
        EXPECT_EQ(cantool::ParseFrame(frame, f), "");
        return cantool::FilterPass({flt}, f);
    };
    EXPECT_TRUE(pass("123:7FF", "123#00"));
    EXPECT_TRUE(pass("123:7FF", "00000123#00"));  // no flag bits in the mask: extended too
    EXPECT_FALSE(pass("123:7FF", "124#00"));
    EXPECT_FALSE(pass("123:C00007FF", "123#R"));
    EXPECT_FALSE(pass("123~7FF", "123#00"));
    EXPECT_TRUE(pass("123~7FF", "124#00"));
    EXPECT_TRUE(pass("1ABCDEF0:BFFFFFFF", "1ABCDEF0#R4"));  // remote flag not compared
    EXPECT_FALSE(pass("1ABCDEF0:FFFFFFFF", "1ABCDEF0#R4"));
    cantool::Filter bad;
    for (const char *t : {"123", "123:", "12G:7FF", "123456789:7FF"})
        EXPECT_NE(cantool::ParseFilter(t, bad), "") << t;
}

// A child process with its output in a file; killed at the end if still running.
class Child {
public:
    Child(const std::vector<std::string> &argv, const std::string &out, const std::string &busDir,
          const std::string &in = "")
    {
        std::vector<std::string> env;
        for (char **e = environ; *e; ++e)
            if (std::strncmp(*e, "OCELO_SIM_BUS=", 14) != 0)
                env.push_back(*e);
        env.push_back("OCELO_SIM_BUS=" + busDir);
        std::vector<char *> a, e;
        for (auto &s : argv)
            a.push_back(const_cast<char *>(s.c_str()));
        a.push_back(nullptr);
        for (auto &s : env)
            e.push_back(const_cast<char *>(s.c_str()));
        e.push_back(nullptr);
        // The outputs are emptied here, before the spawn returns: an emulator
        // (qemu-user) may run the child's file actions after posix_spawn has
        // returned, and a wait on them would read the previous child's text.
        for (const std::string &f : {out, out + ".err"})
            if (int fd = open(f.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); fd >= 0)
                close(fd);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, (out + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (!in.empty())
            posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
        // A clean signal mask: the test runner's must not leak into the child.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
        if (posix_spawn(&pid_, a[0], &fa, &attr, a.data(), e.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        posix_spawnattr_destroy(&attr);
    }
    ~Child()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // Exit status, or -1 if it did not end within timeout_ms.
    int Wait(int timeout_ms)
    {
        double end = NowMs() + timeout_ms;
        while (pid_ > 0) {
            int st;
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            if (NowMs() > end)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    void Kill()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    bool Started() const { return pid_ > 0; }
    void Signal(int sig)
    {
        if (pid_ > 0)
            kill(pid_, sig);
    }

private:
    pid_t pid_ = -1;
};

std::string Slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class Tools : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/ocelo-tools-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        bus_ = dir_ + "/bus";
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
    bool WaitListening(const std::string &out)
    {
        return WaitFor([&] { return Slurp(out + ".err").find("# listening") != std::string::npos; }, 20000);
    }
    std::string dir_, bus_;
};

TEST_F(Tools, FramesSentInOneProcessArePrintedByAnother)
{
    const std::string out = dir_ + "/recv.out";
    Child recv({OCELO_RECV_BIN, "-n", "4", "-T", "60000", "2"}, out, bus_);
    ASSERT_TRUE(recv.Started());
    ASSERT_TRUE(WaitListening(out)) << Slurp(out + ".err");
    Child send({OCELO_SEND_BIN, "-n", "2", "-g", "5", "1", "123#DEADBEEF", "1ABCDEF0#R4"}, dir_ + "/send.out", bus_);
    EXPECT_EQ(send.Wait(30000), 0) << Slurp(dir_ + "/send.out.err");
    ASSERT_EQ(recv.Wait(30000), 0) << Slurp(out + ".err");
    std::string text = Slurp(out);
    std::vector<std::string> lines;
    std::istringstream is(text);
    for (std::string l; std::getline(is, l);)
        lines.push_back(l.substr(0, l.find("  time ")));
    ASSERT_EQ(lines.size(), 4u) << text;
    EXPECT_EQ(lines[0], "slot2       123  [4]  DE AD BE EF");
    EXPECT_EQ(lines[1], "slot2  1ABCDEF0  [4]  remote request");
    EXPECT_EQ(lines[2], lines[0]);
    EXPECT_EQ(lines[3], lines[1]);
}

TEST_F(Tools, OtherBitRateHearsNothingAndADeadPeerHoldsNobody)
{
    const std::string slow = dir_ + "/slow.out", dead = dir_ + "/dead.out";
    Child other({OCELO_RECV_BIN, "-b", "250000", "-T", "60000", "3"}, slow, bus_);
    Child victim({OCELO_RECV_BIN, "-T", "60000", "4"}, dead, bus_);
    ASSERT_TRUE(WaitListening(slow));
    ASSERT_TRUE(WaitListening(dead));
    victim.Kill();  // its socket file stays behind
    Child send({OCELO_SEND_BIN, "-n", "20", "1", "321#01"}, dir_ + "/send.out", bus_);
    EXPECT_EQ(send.Wait(30000), 0) << Slurp(dir_ + "/send.out.err");
    const std::string out = dir_ + "/recv.out";
    Child recv({OCELO_RECV_BIN, "-n", "1", "-T", "60000", "5"}, out, bus_);
    ASSERT_TRUE(WaitListening(out));
    Child send2({OCELO_SEND_BIN, "-g", "200", "-n", "10", "1", "42#"}, dir_ + "/send2.out", bus_);
    EXPECT_EQ(recv.Wait(30000), 0);
    EXPECT_NE(Slurp(out).find("slot5       042  [0]"), std::string::npos) << Slurp(out);
    EXPECT_EQ(send2.Wait(30000), 0);
    other.Kill();
    EXPECT_EQ(Slurp(slow).find("slot3 "), std::string::npos) << Slurp(slow);
}

TEST_F(Tools, BadArgumentsAreRefused)
{
    for (auto args : std::vector<std::vector<std::string>>{{OCELO_SEND_BIN, "9", "1#00"},
                                                           {OCELO_SEND_BIN, "1", "1000#00"},
                                                           {OCELO_SEND_BIN, "-n", "x", "1", "1#00"},
                                                           {OCELO_SEND_BIN, "-b", "33333", "1", "1#00"},
                                                           {OCELO_RECV_BIN, "0"},
                                                           {OCELO_SEND_BIN, "-x", "1"},
                                                           {OCELO_RECV_BIN, "-x", "1"},
                                                           {OCELO_RECV_BIN}}) {
        Child c(args, dir_ + "/bad.out", bus_);
        EXPECT_EQ(c.Wait(10000), 2) << args[1];
    }
}

// A log replayed by ocelo-send comes back from ocelo-recv -L with the same
// frames in the same order, in the log format, and with the log's pauses; a
// receiver with filters prints only the frames they pass.
TEST_F(Tools, LogReplayRoundTrip)
{
    const std::vector<std::string> frames = {"123#DEADBEEF", "1ABCDEF0#R4", "7FF#", "00000001#0011223344556677",
                                             "042#R", "321#0102"};
    const std::string log = dir_ + "/in.log";
    {
        std::ofstream f(log);
        long us = 0;
        for (const std::string &fr : frames) {
            f << "(1700000000." << std::setw(6) << std::setfill('0') << us << ") slot1 " << fr << "\n";
            us += fr == "00000001#0011223344556677" ? 300000 : 2000;
        }
    }
    const std::string out = dir_ + "/recv.out", filtered = dir_ + "/filtered.out";
    Child recv({OCELO_RECV_BIN, "-L", "-n", "6", "-T", "60000", "2"}, out, bus_);
    // The filtering receiver ends on the count of the frames it passes (the
    // last frame of the log among them, so that any frame let through before
    // it shows), not on a silence that may begin before the sender has
    // even started.
    Child filter({OCELO_RECV_BIN, "-L", "-n", "3", "-T", "60000", "3,123:C00007FF,042:7FF,321:7FF"}, filtered, bus_);
    ASSERT_TRUE(WaitListening(out)) << Slurp(out + ".err");
    ASSERT_TRUE(WaitListening(filtered)) << Slurp(filtered + ".err");
    Child send({OCELO_SEND_BIN, "1"}, dir_ + "/send.out", bus_, log);
    EXPECT_EQ(send.Wait(30000), 0) << Slurp(dir_ + "/send.out.err");
    ASSERT_EQ(recv.Wait(30000), 0) << Slurp(out + ".err");
    ASSERT_EQ(filter.Wait(30000), 0) << Slurp(filtered + ".err");

    const std::regex line(R"(\((\d{10})\.(\d{6})\) slot(\d) (\S+))");
    auto parse = [&](const std::string &path, std::vector<std::string> &got, std::vector<double> &times) {
        std::istringstream is(Slurp(path));
        for (std::string l; std::getline(is, l);) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(l, m, line)) << l;
            got.push_back("slot" + m[3].str() + " " + m[4].str());
            times.push_back(std::stod(m[1].str()) + std::stod(m[2].str()) / 1e6);
        }
    };
    std::vector<std::string> got, want, picked;
    std::vector<double> times, unused;
    parse(out, got, times);
    for (const std::string &fr : frames)
        want.push_back("slot2 " + fr);
    ASSERT_EQ(got, want);
    EXPECT_GT(times[4] - times[3], 0.15);  // the log's 300 ms pause
    parse(filtered, picked, unused);
    EXPECT_EQ(picked, (std::vector<std::string>{"slot3 123#DEADBEEF", "slot3 042#R", "slot3 321#0102"}));
}

// Replay as canplayer does: a log file (-I) recorded on slot2 goes out on
// slot1 (slot1=slot2), lines of other slots are skipped, -l 2 plays it twice
// and -t ignores its time stamps (100 s apart here).
TEST_F(Tools, ReplayMapsSlotsLoopsAndIgnoresTheStamps)
{
    const std::string log = dir_ + "/in.log";
    {
        std::ofstream f(log);
        f << "(100.000000) slot2 123#01\n(200.5) slot3 456#02\n(300.000000) slot2 00000789#R2\n";
    }
    const std::string out = dir_ + "/recv.out";
    Child recv({OCELO_RECV_BIN, "-L", "-n", "4", "-T", "60000", "4"}, out, bus_);
    ASSERT_TRUE(WaitListening(out)) << Slurp(out + ".err");
    Child send({OCELO_SEND_BIN, "-I", log, "-l", "2", "-t", "slot1=slot2"}, dir_ + "/send.out", bus_);
    EXPECT_EQ(send.Wait(30000), 0) << Slurp(dir_ + "/send.out.err");
    ASSERT_EQ(recv.Wait(30000), 0) << Slurp(out + ".err");
    std::vector<std::string> got;
    std::istringstream is(Slurp(out));
    for (std::string l; std::getline(is, l);)
        got.push_back(l.substr(l.find(')') + 2));
    EXPECT_EQ(got, (std::vector<std::string>{"slot4 123#01", "slot4 00000789#R2", "slot4 123#01", "slot4 00000789#R2"}));
    Child version({OCELO_SEND_BIN, "--version"}, dir_ + "/v.out", bus_);
    EXPECT_EQ(version.Wait(10000), 0);
    EXPECT_EQ(Slurp(dir_ + "/v.out"), "ocelo-send 1.30\n");
}

// A log file is read and checked whole before anything goes out: lines the
// board cannot send (CAN FD, error frames) are skipped and counted, and
// mappings take the log's own interface names, in either order.  From a
// pipe the same lines are skipped and counted as they come.
TEST_F(Tools, ReplayOfAFileSkipsWhatTheBoardCannotSendAndSaysSo)
{
    const std::string log = dir_ + "/in.log";
    {
        std::ofstream f(log);
        f << "(1.000000) can0 123#01\n(1.000100) can0 123##1AABB\n(1.000200) vcan1 456#02\n"
             "(1.000300) can0 20000004#0001000000000000\n(1.000400) can0 12345678##0\n"
             "(1.000500) can0 00000789#R2\n(1.000600) can0 7FF##2\n";
    }
    const std::vector<std::vector<std::string>> runs = {
        {OCELO_SEND_BIN, "-I", log, "-t", "slot1=can0"},
        {OCELO_SEND_BIN, "-I", log, "-t", "can0=slot1"},
        {"/bin/sh", "-c", "cat '" + log + "' | exec " OCELO_SEND_BIN " -t can0=slot2"}};
    for (const std::vector<std::string> &argv : runs) {
        SCOPED_TRACE(argv.back());
        const std::string out = dir_ + "/recv.out";
        Child recv({OCELO_RECV_BIN, "-L", "-n", "2", "-T", "60000", "4"}, out, bus_);
        ASSERT_TRUE(WaitListening(out)) << Slurp(out + ".err");
        Child send(argv, dir_ + "/send.out", bus_);
        EXPECT_EQ(send.Wait(30000), 0) << Slurp(dir_ + "/send.out.err");
        EXPECT_NE(Slurp(dir_ + "/send.out.err").find("skipped 3 CAN FD and 1 error frame lines"), std::string::npos)
            << Slurp(dir_ + "/send.out.err");
        ASSERT_EQ(recv.Wait(30000), 0) << Slurp(out + ".err");
        std::vector<std::string> got;
        std::istringstream is(Slurp(out));
        for (std::string l; std::getline(is, l);)
            got.push_back(l.substr(l.find(')') + 2));
        EXPECT_EQ(got, (std::vector<std::string>{"slot4 123#01", "slot4 00000789#R2"}));
    }
}

// A malformed line refuses a file before any frame goes out (status 2),
// wherever it is; from a pipe the lines before it go out and the replay
// stops there (status 1).  The receiver's first frames show what went out
// before the marker sent afterwards.
TEST_F(Tools, AMalformedLineRefusesAFileButStopsAPipe)
{
    const std::string log = dir_ + "/in.log";
    {
        std::ofstream f(log);
        f << "(1.000000) slot1 123#01\n(1.000100) slot1 124#02\n(1.000200) slot1 12#3\n(1.000300) slot1 125#03\n";
    }
    struct Run {
        std::vector<std::string> argv;
        int status;
        std::vector<std::string> before_marker;
    } runs[] = {
        {{OCELO_SEND_BIN, "-t", "-I", log, "1"}, 2, {}},
        {{"/bin/sh", "-c", std::string("cat '") + log + "' | exec " OCELO_SEND_BIN " -t 1"}, 1,
         {"slot3 123#01", "slot3 124#02"}},
    };
    for (const Run &run : runs) {
        SCOPED_TRACE(run.argv.back());
        const std::string out = dir_ + "/recv.out";
        Child recv({OCELO_RECV_BIN, "-L", "-n", std::to_string(run.before_marker.size() + 1), "-T", "60000", "3"}, out,
                   bus_);
        ASSERT_TRUE(WaitListening(out)) << Slurp(out + ".err");
        Child send(run.argv, dir_ + "/send.out", bus_);
        EXPECT_EQ(send.Wait(30000), run.status) << Slurp(dir_ + "/send.out.err");
        EXPECT_NE(Slurp(dir_ + "/send.out.err").find("line 3: "), std::string::npos) << Slurp(dir_ + "/send.out.err");
        Child marker({OCELO_SEND_BIN, "1", "7AA#"}, dir_ + "/marker.out", bus_);
        EXPECT_EQ(marker.Wait(30000), 0) << Slurp(dir_ + "/marker.out.err");
        ASSERT_EQ(recv.Wait(30000), 0) << Slurp(out + ".err");
        std::vector<std::string> got, want = run.before_marker;
        want.push_back("slot3 7AA#");
        std::istringstream is(Slurp(out));
        for (std::string l; std::getline(is, l);)
            got.push_back(l.substr(l.find(')') + 2));
        EXPECT_EQ(got, want);
    }
}

// -c and -m are hexadecimal (0x24600000 is identifier 123 in the board's
// acceptance word, mask bit 1 = don't care), and -l logs in the working
// directory to candump-<date>_<time>.log in the -L form.
TEST_F(Tools, HexAcceptanceCodeAndLogFile)
{
    const std::string out = dir_ + "/recv.out";
    const std::string cmd = "cd " + dir_ + " && exec " OCELO_RECV_BIN " -l -n 1 -T 60000 -c 24600000 -m 1FFFFF 2";
    Child recv({"/bin/sh", "-c", cmd}, out, bus_);
    ASSERT_TRUE(WaitListening(out)) << Slurp(out + ".err");
    Child send({OCELO_SEND_BIN, "1", "321#01", "123#02"}, dir_ + "/send.out", bus_);
    EXPECT_EQ(send.Wait(30000), 0) << Slurp(dir_ + "/send.out.err");
    ASSERT_EQ(recv.Wait(30000), 0) << Slurp(out + ".err");
    EXPECT_EQ(Slurp(out), "");
    std::smatch m;
    const std::string err = Slurp(out + ".err");
    ASSERT_TRUE(std::regex_search(err, m, std::regex(R"(logging to (candump-\d{4}-\d\d-\d\d_\d{6}\.log))"))) << err;
    EXPECT_TRUE(std::regex_match(Slurp(dir_ + "/" + m[1].str()), std::regex(R"(\(\d{10}\.\d{6}\) slot2 123#02\n)")))
        << Slurp(dir_ + "/" + m[1].str());
}

// A bus directory that cannot be used (a regular file, or a path below one)
// fails the open, naming the path: a sender must not report frames sent into
// nowhere, and two processes must not both get one slot.
TEST_F(Tools, ABusDirectoryThatCannotBeUsedFailsTheOpen)
{
    const std::string plain = dir_ + "/plain";
    std::ofstream(plain).close();
    for (const std::string &bus : {plain, plain + "/below"}) {
        SCOPED_TRACE(bus);
        const std::string out = dir_ + "/send.out";
        Child send({OCELO_SEND_BIN, "-v", "1", "123#11"}, out, bus);
        EXPECT_EQ(send.Wait(30000), 1);
        EXPECT_EQ(Slurp(out), "");
        EXPECT_NE(Slurp(out + ".err").find("cannot open slot 1: the simulated bus " + bus + " "), std::string::npos)
            << Slurp(out + ".err");
        Child recv({OCELO_RECV_BIN, "-T", "100", "2"}, dir_ + "/recv.out", bus);
        EXPECT_EQ(recv.Wait(30000), 1);
        EXPECT_NE(Slurp(dir_ + "/recv.out.err").find("the simulated bus " + bus + " "), std::string::npos)
            << Slurp(dir_ + "/recv.out.err");
    }
}

// -e shows the board's overflow as an error frame, given before the slot or
// after it.  A receiver stopped while frames come finds more than its board
// can hold when it goes on; the sender stays (a pause in its log) until the
// frames have reached it.
TEST_F(Tools, ErrorFramesWithTheOptionBeforeOrAfterTheSlot)
{
    const std::string log = dir_ + "/burst.log";
    constexpr int kBurst = 3000;
    {
        std::ofstream f(log);
        for (int i = 0; i < kBurst; ++i)
            f << "(100.000000) slot1 321#0102030405060708\n";
        f << "(130.000000) slot1 7AA#\n";
    }
    for (const std::vector<std::string> &args : {std::vector<std::string>{"-e", "2"}, std::vector<std::string>{"2", "-e"}}) {
        SCOPED_TRACE(args[0]);
        const std::string out = dir_ + "/recv.out", sent = dir_ + "/send.out";
        std::vector<std::string> argv = {OCELO_RECV_BIN, "-L", "-T", "60000"};
        argv.insert(argv.end(), args.begin(), args.end());
        Child recv(argv, out, bus_);
        ASSERT_TRUE(WaitListening(out)) << Slurp(out + ".err");
        recv.Signal(SIGSTOP);
        Child send({OCELO_SEND_BIN, "-v", "-I", log, "1"}, sent, bus_);
        EXPECT_TRUE(WaitFor([&] {
            const std::string text = Slurp(sent);
            return std::count(text.begin(), text.end(), '\n') >= kBurst;
        }, 60000))
            << Slurp(sent + ".err");
        recv.Signal(SIGCONT);
        EXPECT_TRUE(WaitFor([&] { return Slurp(out).find("slot2 20000084#0001") != std::string::npos; }, 30000))
            << Slurp(out + ".err");
        recv.Kill();
        send.Kill();
    }
}

// -t A stamps the local date and time: in a zone half an hour off any whole
// hour, the stamp read as UTC lies 5:30 ahead of the clock.
TEST_F(Tools, DateStampsAreInTheLocalTimeZone)
{
    const std::string out = dir_ + "/recv.out";
    Child recv({"/bin/sh", "-c", "TZ=XYZ-5:30 exec " OCELO_RECV_BIN " -t A -n 1 -T 60000 2"}, out, bus_);
    ASSERT_TRUE(WaitListening(out)) << Slurp(out + ".err");
    Child send({OCELO_SEND_BIN, "1", "123#01"}, dir_ + "/send.out", bus_);
    EXPECT_EQ(send.Wait(30000), 0) << Slurp(dir_ + "/send.out.err");
    ASSERT_EQ(recv.Wait(30000), 0) << Slurp(out + ".err");
    const time_t now = time(nullptr);
    std::smatch m;
    const std::string text = Slurp(out);
    ASSERT_TRUE(std::regex_search(text, m, std::regex(R"(^\((\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)\.\d{6}\) slot2 )")))
        << text;
    tm t{};
    t.tm_year = std::stoi(m[1]) - 1900;
    t.tm_mon = std::stoi(m[2]) - 1;
    t.tm_mday = std::stoi(m[3]);
    t.tm_hour = std::stoi(m[4]);
    t.tm_min = std::stoi(m[5]);
    t.tm_sec = std::stoi(m[6]);
    const long ahead = static_cast<long>(timegm(&t) - now);
    EXPECT_NEAR(ahead, 5 * 3600 + 30 * 60, 600) << text;
}

TEST_F(Tools, SecondProcessOnASlotIsRefused)
{
    const std::string first = dir_ + "/first.out", second = dir_ + "/second.out";
    Child holder({OCELO_RECV_BIN, "-T", "60000", "2"}, first, bus_);
    ASSERT_TRUE(WaitListening(first)) << Slurp(first + ".err");
    Child intruder({OCELO_RECV_BIN, "-T", "2000", "2"}, second, bus_);
    EXPECT_EQ(intruder.Wait(30000), 1);
    EXPECT_NE(Slurp(second + ".err").find("slot 2 is in use by another process"), std::string::npos)
        << Slurp(second + ".err");
    holder.Kill();
    Child next({OCELO_RECV_BIN, "-T", "100", "2"}, second, bus_);  // the slot is free again
    EXPECT_EQ(next.Wait(30000), 0) << Slurp(second + ".err");
}

} // namespace

// The tools' set-up waits a bounded time for a board slow to answer its
// reset, and then gives up with the board's error.
TEST_F(SimBoards, ToolSetUpWaitsForABoardSlowToAnswerItsResetAndThenGivesUp)
{
    ASSERT_EQ(BoardSimSetFault(1, BOARDSIM_FAULT_NO_RESET, 1), 0);
    std::thread answer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        BoardSimClearFault(1, BOARDSIM_FAULT_NO_RESET);
    });
    EXPECT_EQ(cantool::InitBoard(1, 500000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);
    answer.join();
    ASSERT_EQ(BoardSimSetFault(2, BOARDSIM_FAULT_NO_RESET, 1), 0);
    EXPECT_EQ(cantool::InitBoard(2, 500000, 0, 0, 0, 0xFFFFFFFF), OCELO_ERR_BOARD);
    BoardSimClearFault(2, BOARDSIM_FAULT_NO_RESET);
}
