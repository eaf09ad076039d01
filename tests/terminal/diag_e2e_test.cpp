// Line diagnostics end to end: tarvik in a tmux pane, its COM1 a
// pseudo-terminal served by quarnix-sim as a module bus, a line echo or a
// sender of transfer blocks.
#include "e2e.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

using namespace e2e;

namespace {

size_t CountOf(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + what.size()))
        ++n;
    return n;
}

std::string Repeat(const std::string &s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

std::string LineSpeed(const std::string &dev)
{
    std::string cmd = "stty -F " + Quote(dev) + " speed 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

// quarnix-sim with the given options (its pid at hand for SIGUSR1) and
// tarvik in a pane on it.
struct Session {
    TempDir dir;
    Process sim;
    std::string link = dir / "com1";
    std::string record = dir / "com1.received";
    Tmux tmux{120, 50};

    explicit Session(const std::vector<std::string> &simOptions)
    {
        std::vector<std::string> argv = {SimPath(), "--link", link, "--record", record};
        argv.insert(argv.end(), simOptions.begin(), simOptions.end());
        sim.Start(argv, dir.path());
        EXPECT_TRUE(WaitFor([&] { return FileExists(link); })) << "the simulator published its line";
        tmux.Start(TarvikCommand({{1, link}}), dir.path());
        EXPECT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
    }
    std::string Received() const { return FileExists(record) ? ReadFile(record) : ""; }
    bool WaitReceived(const std::string &bytes, int timeout_ms = 10000)
    {
        return WaitFor([&] { return Received() == bytes; }, timeout_ms);
    }
    void LineMode()
    {
        tmux.Key("M-l");
        ASSERT_TRUE(tmux.WaitScreen("{change to Line Mode}")) << tmux.Screen();
    }
    void Line(const std::string &text)
    {
        tmux.Type(text);
        tmux.Key("Enter");
    }
    void Signal() { kill(sim.pid(), SIGUSR1); }
    void Quit()
    {
        tmux.Key("M-x");
        ASSERT_TRUE(tmux.WaitExit()) << tmux.Screen();
        EXPECT_EQ(tmux.ExitStatus(), 0);
    }
};

// The number after "Time=" in the test summary, -1 when there is none.
long SummaryTime(const std::string &screen)
{
    size_t pos = screen.find("Time=");
    return pos == std::string::npos ? -1 : std::strtol(screen.c_str() + pos + 5, nullptr, 10);
}

}  // namespace

TEST(LineMode, ChecksumLongLineAndCommandLines)
{
    Session s({"--quiet", "--bus"});
    s.LineMode();
    s.tmux.Key("M-s");
    ASSERT_TRUE(s.tmux.WaitScreen("{checksum Enable}")) << s.tmux.Screen();
    s.tmux.Type("AB");
    s.tmux.Key("Enter");
    EXPECT_TRUE(s.WaitReceived("AB83\r")) << s.Received();
    s.tmux.Key("M-s");
    ASSERT_TRUE(s.tmux.WaitScreen("{checksum Disable}")) << s.tmux.Screen();

    // A command line goes nowhere; its words act.
    s.Line("/M0 /X5 word");
    ASSERT_TRUE(s.tmux.WaitScreen("SendAllInOnePacket=0")) << s.tmux.Screen();
    // Backspace takes a typed character back.
    s.tmux.Type("xy");
    s.tmux.Key("BSpace");
    s.tmux.Key("Enter");
    EXPECT_TRUE(s.WaitReceived("AB83\rx\r")) << s.Received();

    // The 80th character ends the line by itself; Enter then sends a lone CR.
    std::string typed;
    for (int i = 0; i < 80; ++i)
        typed += static_cast<char>('a' + i % 26);
    s.tmux.Type(typed);
    EXPECT_TRUE(s.WaitReceived("AB83\rx\r" + typed + "\r")) << s.Received();
    s.tmux.Key("Enter");
    EXPECT_TRUE(s.WaitReceived("AB83\rx\r" + typed + "\r\r")) << s.Received();
    s.Quit();
}

TEST(RepeatTest, TimedSendsToAModule)
{
    Session s({"--quiet", "--module", "02:115200:R2"});
    s.LineMode();
    s.Line("/LF1");
    s.Line("/C$02M /R5 /TC1000");
    ASSERT_TRUE(s.tmux.WaitScreen("Test 5 times,timeout=0, Time=", 30000)) << s.tmux.Screen();
    std::string screen = s.tmux.Screen();
    EXPECT_NE(screen.find("send cmd=$02M every 1000 ms, repeat 5 times, timeout=300 ms"), std::string::npos)
        << screen;
    size_t at = 0;
    for (int i = 1; i <= 5; ++i) {
        std::string line = "(" + std::to_string(i) + ")[$02M]==>!02R2\n";
        size_t pos = screen.find(line, at);
        ASSERT_NE(pos, std::string::npos) << line << " in order on\n" << screen;
        at = pos + line.size();
    }
    // Four full periods between the sends and one after the last.
    EXPECT_GE(SummaryTime(screen), 5000) << screen;
    EXPECT_EQ(s.Received(), Repeat("$02M\r", 5));
    s.Quit();
}

TEST(RepeatTest, PatternsAgainstTheEcho)
{
    Session s({"--quiet", "--echo-lines"});
    s.LineMode();
    s.Line("/LF1");
    s.Line("/N3");
    ASSERT_TRUE(s.tmux.WaitScreen("Test 3 times,timeout=0")) << s.tmux.Screen();
    s.Line("/P2");
    ASSERT_TRUE(s.tmux.WaitScreen("Test 2 times,timeout=0")) << s.tmux.Screen();
    std::string screen = s.tmux.Screen();
    EXPECT_NE(screen.find("send cmd=$01M+NUMBER every 0 ms, repeat 3 times, timeout=300 ms\n"
                          "(1)[$01M0000000000000000]==>$01M0000000000000000\n"
                          "(2)[$01M0101010101010101]==>$01M0101010101010101\n"
                          "(3)[$01M0202020202020202]==>$01M0202020202020202\n"),
              std::string::npos)
        << screen;
    EXPECT_NE(screen.find("(1)[$01M1]==>$01M1\n(2)[$01M2]==>$01M2\n"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("(err"), std::string::npos) << screen;
    EXPECT_EQ(s.Received(),
              "$01M0000000000000000\r$01M0101010101010101\r$01M0202020202020202\r$01M1\r$01M2\r");
    s.Quit();
}

TEST(RepeatTest, AlteredEchoIsReported)
{
    Session s({"--quiet", "--echo-lines", "--echo-fault", "2"});
    s.LineMode();
    s.Line("/LF1");
    s.Line("/N3");
    ASSERT_TRUE(s.tmux.WaitScreen("Test 3 times,timeout=0")) << s.tmux.Screen();
    std::string screen = s.tmux.Screen();
    // The second line came back with its fifth byte altered ('0' -> '1').
    EXPECT_NE(screen.find("(2)[$01M0101010101010101]==>$01M1101010101010101\n(err,Idx=21)\n"
                          "[24][30][31][4D][31][31][30][31][30][31][30][31][30][31][30][31][30][31][30][31][0D]\n"),
              std::string::npos)
        << screen;
    EXPECT_EQ(CountOf(screen, "(err"), 1u) << screen;
    EXPECT_NE(screen.find("(3)[$01M0202020202020202]==>$01M0202020202020202\n"), std::string::npos) << screen;
    s.Quit();
}

TEST(RepeatTest, EndlessUntilQuitAndTimeouts)
{
    Session s({"--quiet", "--module", "01:115200"});
    s.LineMode();
    s.Line("/LF1");
    s.Line("/R0 /TC100");
    ASSERT_TRUE(s.tmux.WaitScreen("(3)[$01M]==>!01QIO")) << s.tmux.Screen();
    s.Line("/Q");
    ASSERT_TRUE(s.tmux.WaitScreen("Test ")) << s.tmux.Screen();
    std::string screen = s.tmux.Screen();
    size_t pos = screen.find("Test ");
    long sends = std::strtol(screen.c_str() + pos + 5, nullptr, 10);
    EXPECT_GE(sends, 3);
    EXPECT_NE(screen.find("Test " + std::to_string(sends) + " times,timeout=0, Time="), std::string::npos) << screen;
    // Every send counted reached the line, and nothing after the summary.
    EXPECT_FALSE(WaitFor([&] { return s.Received().size() > 5u * static_cast<size_t>(sends); }, 800));
    EXPECT_EQ(s.Received(), Repeat("$01M\r", static_cast<int>(sends)));

    // No module at 07: each send times out.
    s.Line("/C$07M /R2 /TC0");
    ASSERT_TRUE(s.tmux.WaitScreen("Test 2 times,timeout=2")) << s.tmux.Screen();
    screen = s.tmux.Screen();
    EXPECT_NE(screen.find("(1)[$07M]==>\n!!!timeout!!!\n(2)[$07M]==>\n!!!timeout!!!\n"), std::string::npos)
        << screen;
    s.Quit();
}

TEST(AutoScan, FindsEachModuleAtItsRate)
{
    Session s({"--quiet", "--module", "01:9600:N9600", "--module", "02:19200:N19200", "--module", "01:38400:X",
               "--module", "05:9600:Y", "--module", "00:9600:Z", "--module", "02:4800:W"});
    s.LineMode();
    s.Line("/AB1 /AE3 /BB9600 /BE19200 /S");
    const std::string sent = "$01M\r$02M\r$01M\r$02M\r";
    ASSERT_TRUE(s.WaitReceived(sent)) << s.Received();
    ASSERT_TRUE(s.tmux.WaitScreen("[$02M]==>!02N19200")) << s.tmux.Screen();
    // The scan ends after the end rate: nothing more is sent.
    EXPECT_FALSE(WaitFor([&] { return s.Received() != sent; }, 1000)) << s.Received();
    std::string screen = s.tmux.Screen();
    EXPECT_NE(screen.find("AutoScan, start addr=01, end addr=03, start baud=9600, end baud=19200"),
              std::string::npos)
        << screen;
    EXPECT_NE(screen.find("[$01M]==>!01N9600\n"), std::string::npos) << screen;
    EXPECT_NE(screen.find("now baudrate = 19200!"), std::string::npos) << screen;
    EXPECT_EQ(CountOf(screen, "==>!"), 2u) << screen;
    EXPECT_EQ(LineSpeed(s.link), "19200");
    // The setting is not changed by the scan.
    EXPECT_TRUE(s.tmux.WaitTitle("[COM1:115200,N,8,1]")) << s.tmux.Title();
    s.Quit();
}

TEST(Bursts, LettersAndLines)
{
    Session s({"--quiet", "--bus"});
    s.tmux.Keys({"F12", "F12", "F12"});
    const std::string letters = std::string(1040, 'A') + std::string(1040, 'B') + std::string(1040, 'C');
    EXPECT_TRUE(s.WaitReceived(letters)) << s.Received().size();
    s.tmux.Key("C-F12");
    ASSERT_TRUE(s.tmux.WaitScreen("[send 51*20 bytes]")) << s.tmux.Screen();
    EXPECT_TRUE(s.WaitReceived(letters + Repeat("ABCDEFGHIJKLMNOPQRSTUVWXYZ12345678901234567890ABC\r\n", 20)))
        << s.Received().size();
    EXPECT_EQ(CountOf(s.tmux.Screen(), "[send 51*20 bytes]"), 1u);
    s.Quit();
}

TEST(PacketMonitor, BlocksSplitAcrossReads)
{
    Session s({"--quiet", "--blocks", "ok:1,bad:256,fill:260:41,fill:100:00,ok:2", "--block-writes",
               "100,100,100,220,260,100,260"});
    s.tmux.Key("M-F12");
    // `r` is answered only by the running monitor (elsewhere it is typed).
    s.tmux.Type("r");
    ASSERT_TRUE(s.tmux.WaitScreen("Reset idx!")) << s.tmux.Screen();
    const std::vector<std::string> after = {
        "{100}[100]",
        "{100}[100]{100}[200]",
        "{100}[200]{100}-->Packet 1 : crc OK\n[40]",
        "[40]{220}-->Packet 256 : CRC error!\n",
        "CRC error!\n{260}-->Packet 16705 : CRC error!\n",
        "{260}-->Packet 16705 : CRC error!\n{100}[100]",
    };
    for (const auto &text : after) {
        s.Signal();
        ASSERT_TRUE(s.tmux.WaitScreen(text)) << text << " on\n" << s.tmux.Screen();
    }
    s.tmux.Type("r");
    ASSERT_TRUE(WaitFor([&] { return CountOf(s.tmux.Screen(), "Reset idx!") == 2; })) << s.tmux.Screen();
    s.Signal();
    ASSERT_TRUE(s.tmux.WaitScreen("{260}-->Packet 2 : crc OK")) << s.tmux.Screen();
    EXPECT_NE(s.tmux.Screen().find("Reset idx!\n{100}[100]{100}[200]{100}-->Packet 1 : crc OK\n"
                                   "[40]{220}-->Packet 256 : CRC error!\n"
                                   "{260}-->Packet 16705 : CRC error!\n"
                                   "{100}[100]\nReset idx!\n"
                                   "{260}-->Packet 2 : crc OK\n"),
              std::string::npos)
        << s.tmux.Screen();
    EXPECT_EQ(s.Received(), "") << "the monitor sends nothing; its keys are not typed";


    // Escape ends the monitor: typed keys reach the line again and the
    // receive loop shows what arrives.  (A key right behind the Escape
    // would make it an Alt key, hence the pause.)
    s.tmux.Key("Escape");
    usleep(300 * 1000);
    ASSERT_TRUE(WaitFor([&] {
        s.tmux.Type("v");
        return s.Received().find('v') != std::string::npos;
    }))
        << s.Received();
    s.tmux.Key("Enter");
    s.tmux.Type("ver");
    s.tmux.Key("Enter");
    ASSERT_TRUE(s.tmux.WaitScreen("Quarnix 2.10 (quarnix-sim 1.30)")) << s.tmux.Screen();
    s.Quit();
}
