// tarvik in a tmux pane, its serial port a pseudo-terminal held by the test
// (or the controller simulator): start-up, options, typed keys, hotkeys,
// display modes, port switches, the settings file and the user's terminal.
#include "e2e.h"
#include "posix/serial_posix.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <utility>
#include <string>
#include <termios.h>

using namespace e2e;

namespace {

std::string Cwd(const TempDir &d)
{
    char buf[4096];
    return realpath(d.path().c_str(), buf) ? std::string(buf) : d.path();
}

std::string SttyOf(const std::string &dev)
{
    std::string cmd = "stty -a -F " + Quote(dev) + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[1024];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

bool HasWord(const std::string &text, const std::string &word)
{
    size_t pos = 0;
    while ((pos = text.find(word, pos)) != std::string::npos) {
        bool startOk = pos == 0 || text[pos - 1] == ' ' || text[pos - 1] == '\n' || text[pos - 1] == ';';
        size_t end = pos + word.size();
        bool endOk = end == text.size() || text[end] == ' ' || text[end] == '\n' || text[end] == ';';
        if (startOk && endOk)
            return true;
        pos = end;
    }
    return false;
}

// tarvik started in a pane on COM1 = a test-held pseudo-terminal.
struct Session {
    TempDir dir;
    PtyPeer com1{dir, "com1"};
    Tmux tmux;

    void Start(const std::string &args = "", std::vector<std::pair<int, std::string>> more = {})
    {
        more.insert(more.begin(), {1, com1.link()});
        tmux.Start(TarvikCommand(more, args), dir.path());
        ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
        // The start-up purge may swallow bytes sent before it: begin clean.
        com1.Read(200, 50);
    }
    void Quit()
    {
        tmux.Key("M-x");
        ASSERT_TRUE(tmux.WaitExit()) << tmux.Screen();
        EXPECT_EQ(tmux.ExitStatus(), 0);
    }
};

TEST(Startup, DefaultsWithoutSettingsFile)
{
    Session s;
    s.Start();
    std::string screen = s.tmux.Screen();
    EXPECT_NE(screen.find("tarvi for Linux version 1.30 (2005/11/29)\n[Begin Key Thread...]\nCurrent set: Use COM1 "
                          "115200,N,8,1 on " + s.com1.link() + "\nAutoRun:\nAutodownload files: None\nCurrent work directory=\"" +
                          Cwd(s.dir) + "\"\nModes: hex OFF, echo OFF, map none\noriginal baudrate = "),
              std::string::npos)
        << screen;
    EXPECT_NE(screen.find("now baudrate = 115200!"), std::string::npos) << screen;
    EXPECT_EQ(s.tmux.Title(), "TARVIK 1.30 [COM1:115200,N,8,1],FC=0,CTS=0, DIR=" + Cwd(s.dir));
    std::string stty = SttyOf(s.com1.link());
    EXPECT_TRUE(HasWord(stty, "speed 115200 baud")) << stty;
    EXPECT_TRUE(HasWord(stty, "-cstopb")) << stty;
    s.Quit();
    EXPECT_EQ(ReadFile(s.dir / "tarvik.ini"), "C1 B115200 P0 D8 S1\nF \n\nw25\n");
}

TEST(Startup, OptionsSetPortRateRowsAndPersist)
{
    Session s;
    PtyPeer com2(s.dir, "com2");
    s.tmux.Start(TarvikCommand({{1, s.com1.link()}, {2, com2.link()}}, "/c2 /b9600 /S10 /F1 ignored"), s.dir.path());
    ASSERT_TRUE(s.tmux.WaitScreen("now baudrate = 9600!")) << s.tmux.Screen();
    EXPECT_TRUE(s.tmux.WaitTitle("TARVIK 1.30 [COM2:9600,N,8,1],FC=1,CTS=0")) << s.tmux.Title();
    std::string stty = SttyOf(com2.link());
    EXPECT_TRUE(HasWord(stty, "speed 9600 baud")) << stty;
    EXPECT_TRUE(HasWord(stty, "crtscts")) << stty;
    // The port in use is COM2: typed bytes arrive there.
    s.tmux.Type("z");
    EXPECT_EQ(com2.ReadN(1), "z");
    s.Quit();
    EXPECT_EQ(ReadFile(s.dir / "tarvik.ini"), "C2 B9600 P0 D8 S1\nF \n\nw20\n");

    // A start without options takes them from the file.
    Tmux again;
    again.Start(TarvikCommand({{1, s.com1.link()}, {2, com2.link()}}), s.dir.path());
    EXPECT_TRUE(again.WaitTitle("[COM2:9600,N,8,1]")) << again.Title();
    again.Key("M-x");
    EXPECT_TRUE(again.WaitExit());
}

TEST(Startup, NonStandardRateAndRowsClampedToFifty)
{
    Session s;
    s.Start("/b250000 /S99");
    EXPECT_TRUE(s.tmux.WaitScreen("now baudrate = 250000!")) << s.tmux.Screen();
    // The rate as the driver holds it (stty shows only the standard ones).
    unsigned rate = 0;
    EXPECT_EQ(ComPosixGetSpeed(s.com1.slave_fd(), &rate), 0);
    EXPECT_EQ(rate, 250000u);
    s.Quit();
    EXPECT_EQ(ReadFile(s.dir / "tarvik.ini"), "C1 B250000 P0 D8 S1\nF \n\nw50\n");
}

// The far ends of the accepted ranges: space parity (P4) in the file, flow
// control 3 on the command line.
TEST(Startup, SpaceParityInTheFileAndFlowControlThreeAreTaken)
{
    Session s;
    WriteFile(s.dir / "tarvik.ini", "C1 B115200 P4 D8 S1\nF \n\nw25\n");
    s.Start("/F3");
    EXPECT_TRUE(s.tmux.WaitTitle("[COM1:115200,S,8,1],FC=3")) << s.tmux.Title();
    s.Quit();
    EXPECT_EQ(ReadFile(s.dir / "tarvik.ini"), "C1 B115200 P4 D8 S1\nF \n\nw25\n");
}

TEST(Startup, SettingsFileFormatReachesTheLine)
{
    Session s;
    WriteFile(s.dir / "tarvik.ini", "C1 B57600 P2 D7 S2\nFprog.exe Arun1 \nXa.exe \nw25\n");
    s.Start();
    EXPECT_TRUE(s.tmux.WaitScreen("Current set: Use COM1 57600,O,7,2")) << s.tmux.Screen();
    EXPECT_TRUE(s.tmux.WaitScreen("AutoRun:prog.exe run1")) << s.tmux.Screen();
    EXPECT_TRUE(s.tmux.WaitScreen("Autodownload files: a.exe")) << s.tmux.Screen();
    std::string stty = SttyOf(s.com1.link());
    // A pseudo-terminal keeps the rate, the stop bits and the odd/even flag.
    EXPECT_TRUE(HasWord(stty, "speed 57600 baud")) << stty;
    EXPECT_TRUE(HasWord(stty, "cstopb")) << stty;
    EXPECT_TRUE(HasWord(stty, "parodd")) << stty;
    s.Quit();
}

TEST(Startup, UnusablePortsAreReported)
{
    Session s;
    s.tmux.Start(TarvikCommand({{1, s.com1.link()}, {7, s.dir / "no-such-device"}}, "/C7 /C /cls"),
                 s.dir.path());
    ASSERT_TRUE(s.tmux.WaitScreen("now baudrate")) << s.tmux.Screen();
    EXPECT_TRUE(s.tmux.WaitTitle("[COM1:115200")) << s.tmux.Title();
    // /cls cleared the screen after the "Cannot use COM 7" line.
    EXPECT_EQ(s.tmux.Screen().find("Cannot use COM 7"), std::string::npos) << s.tmux.Screen();
    s.Quit();
    // The start went on with COM1.
    EXPECT_EQ(ReadFile(s.dir / "tarvik.ini").substr(0, 3), "C1 ");
}

TEST(Startup, WithoutClsTheRefusedPortStaysOnScreen)
{
    Session s;
    s.tmux.Start(TarvikCommand({{1, s.com1.link()}, {7, s.dir / "no-such-device"}}, "/C7 /C"), s.dir.path());
    ASSERT_TRUE(s.tmux.WaitScreen("now baudrate")) << s.tmux.Screen();
    EXPECT_NE(s.tmux.Screen().find("Cannot use COM 7"), std::string::npos) << s.tmux.Screen();
    s.Quit();
}

TEST(Startup, CannotUseComMessageAndExitWithKey)
{
    TempDir dir;
    Tmux tmux;
    tmux.Start(TarvikCommand({{1, dir / "missing"}}, "/c7") + "; echo $? > status", dir.path());
    ASSERT_TRUE(tmux.WaitScreen("Press any key to quit.")) << tmux.Screen();
    std::string screen = tmux.Screen();
    EXPECT_NE(screen.find("Cannot use COM 7\n"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Can not use COM 1,\n\nPlease use : [tarvik /C#] to use another comport.\nPress any key to quit."),
              std::string::npos)
        << screen;
    tmux.Type("q");
    ASSERT_TRUE(WaitFor([&] { return ReadFile(dir / "status").size() > 0; }));
    EXPECT_EQ(ReadFile(dir / "status"), "113\n");  // the key's code
    EXPECT_FALSE(FileExists(dir / "tarvik.ini"));
}

TEST(Startup, SecondTarvikOnTheSamePortIsRefused)
{
    Session s;
    s.Start();
    Tmux second;
    second.Start(TarvikCommand({{1, s.com1.link()}}), s.dir.path());
    EXPECT_TRUE(second.WaitScreen("Can not use COM 1,")) << second.Screen();
    second.Type("x");
    EXPECT_TRUE(second.WaitExit());
    s.Quit();
}

TEST(Keys, TypedBytesReachThePortExactly)
{
    Session s;
    s.Start();
    s.tmux.Type("a");
    EXPECT_EQ(s.com1.ReadN(1), "a");
    s.tmux.Keys({"C-q", "C-s", "C-a", "C-z", "Enter", "BSpace", "Tab"});
    EXPECT_EQ(s.com1.ReadN(7), std::string("\x11\x13\x01\x1a\r\x08\t"));
    EXPECT_TRUE(s.tmux.WaitScreen("[X_ON][X_OFF]")) << s.tmux.Screen();
    s.tmux.Type("Hello, 1-2-3!");
    EXPECT_EQ(s.com1.ReadN(13), "Hello, 1-2-3!");
    // Keys without an action send nothing.
    s.tmux.Keys({"F11", "S-F1", "Up", "M-q", "C-F3"});
    EXPECT_EQ(s.com1.Read(500), "");
    s.Quit();
}

TEST(Keys, DateTimeXonXoffAndRun)
{
    Session s;
    s.Start();
    std::time_t before = std::time(nullptr);
    s.tmux.Key("M-d");
    std::string date = s.com1.ReadN(16);
    std::time_t after = std::time(nullptr);
    auto fmt = [](std::time_t t, const char *f) {
        char b[64];
        struct tm tmv;
        localtime_r(&t, &tmv);
        strftime(b, sizeof b, f, &tmv);
        return std::string(b);
    };
    EXPECT_TRUE(date == fmt(before, "date %m/%d/%Y\r") || date == fmt(after, "date %m/%d/%Y\r")) << date;
    s.tmux.Key("M-t");
    std::string tm = s.com1.ReadN(14);
    ASSERT_EQ(tm.size(), 14u) << tm;
    EXPECT_EQ(tm.substr(0, 5), "time ");
    EXPECT_EQ(tm[7], ':');
    EXPECT_EQ(tm[10], ':');
    EXPECT_EQ(tm[13], '\r');
    s.tmux.Key("M-i");
    EXPECT_EQ(s.com1.ReadN(1), "\x11");
    s.tmux.Key("M-o");
    EXPECT_EQ(s.com1.ReadN(1), "\x13");
    EXPECT_TRUE(s.tmux.WaitScreen("[Send X_ON][Send X_OFF]")) << s.tmux.Screen();
    s.tmux.Key("F3");
    EXPECT_EQ(s.com1.ReadN(4), "run\r");
    s.Quit();
}

// ALT_D sends month, day and year in that order: on a day whose day and
// month differ a swap shows, and a day where they are equal is sent as such.
TEST(Keys, AltDSendsMonthThenDayThenYear)
{
    for (auto [clock, want] : {std::pair<const char *, const char *>{"1772884800", "date 03/07/2026\r"},
                               {"1777982400", "date 05/05/2026\r"}}) {
        Session s;
        const char *asan = std::getenv("ASAN_OPTIONS");
        s.tmux.Start("env TZ=UTC FIXED_CLOCK=" + std::string(clock) + " LD_PRELOAD=" + Quote(FixedClockPath()) +
                         " ASAN_OPTIONS=" + Quote(std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0") +
                         " " + TarvikCommand({{1, s.com1.link()}}),
                     s.dir.path());
        ASSERT_TRUE(s.tmux.WaitScreen("now baudrate")) << s.tmux.Screen();
        s.com1.Read(200, 50);
        s.tmux.Key("M-d");
        EXPECT_EQ(s.com1.ReadN(16), want);
        s.Quit();
    }
}

TEST(Keys, SimulatorClockIsSetByAltDAndAltT)
{
    TempDir dir;
    Simulator sim(dir);
    Tmux tmux;
    tmux.Start(TarvikCommand({{1, sim.link()}}), dir.path());
    ASSERT_TRUE(tmux.WaitScreen("now baudrate"));
    tmux.Key("M-d");
    ASSERT_TRUE(tmux.WaitScreen("Current date is ")) << tmux.Screen();
    tmux.Key("M-t");
    ASSERT_TRUE(tmux.WaitScreen("Current time is ")) << tmux.Screen();
    std::string got = sim.Received();
    EXPECT_NE(got.find("date "), std::string::npos) << got;
    EXPECT_NE(got.find("time "), std::string::npos) << got;
    tmux.Key("M-x");
    EXPECT_TRUE(tmux.WaitExit());
}

TEST(Display, NormalHexAndEchoBack)
{
    Session s;
    s.Start();
    s.com1.Write("XY\bZ|\r\n");
    ASSERT_TRUE(s.tmux.WaitScreen("XZ|")) << s.tmux.Screen();
    s.tmux.Key("M-h");
    ASSERT_TRUE(s.tmux.WaitScreen("{change to HEX mode}")) << s.tmux.Screen();
    s.com1.Write(std::string("A\bB\x01", 4));
    ASSERT_TRUE(s.tmux.WaitScreen("[41]A[08].[42]B[01].")) << s.tmux.Screen();
    s.tmux.Key("M-h");
    ASSERT_TRUE(s.tmux.WaitScreen("{change to ASCII mode}")) << s.tmux.Screen();
    s.tmux.Key("M-F7");
    ASSERT_TRUE(s.tmux.WaitScreen("Now in Echo mode, press ALT_F7 to quit echo mode ...")) << s.tmux.Screen();
    s.tmux.Key("M-h");  // hex on as well: echo-back still takes precedence
    s.com1.Write("echo me");
    EXPECT_EQ(s.com1.ReadN(7), "echo me");
    EXPECT_EQ(s.tmux.Screen().find("[65]e"), std::string::npos);
    s.tmux.Key("M-F7");
    ASSERT_TRUE(s.tmux.WaitScreen("Now back to normal mode")) << s.tmux.Screen();
    s.Quit();
}

TEST(Ports, SwitchToMappedAndUnmappedCom)
{
    Session s;
    PtyPeer com2(s.dir, "com2"), com9(s.dir, "com9");
    s.Start("", {{2, com2.link()}, {3, s.dir / "absent"}, {9, com9.link()}});
    s.tmux.Key("M-3");
    ASSERT_TRUE(s.tmux.WaitScreen("{*** Cannot change to COM3 ***}")) << s.tmux.Screen();
    s.tmux.Key("M-1");  // the port in use: nothing visible
    s.tmux.Key("M-9");  // the last of the keys
    ASSERT_TRUE(s.tmux.WaitScreen("{*** Change to use COM9 ***}")) << s.tmux.Screen();
    s.tmux.Key("M-2");
    ASSERT_TRUE(s.tmux.WaitScreen("{*** Change to use COM2 ***}")) << s.tmux.Screen();
    EXPECT_TRUE(s.tmux.WaitTitle("[COM2:115200,N,8,1]")) << s.tmux.Title();
    s.tmux.Type("k");
    EXPECT_EQ(com2.ReadN(1), "k");
    com2.Write("from two");
    EXPECT_TRUE(s.tmux.WaitScreen("from two")) << s.tmux.Screen();
    EXPECT_EQ(s.tmux.Screen().find("Change to use COM1"), std::string::npos);
    s.Quit();
    EXPECT_EQ(ReadFile(s.dir / "tarvik.ini").substr(0, 3), "C2 ");
}

TEST(Terminal, RestoredAfterAltXAndCtrlC)
{
    TempDir dir;
    PtyPeer com1(dir, "com1");
    for (const char *how : {"M-x", "C-c"}) {
        Tmux tmux;
        // The shell survives the Ctrl+C that ends tarvik (a trap, not an
        // ignored signal, which tarvik would inherit).
        std::string script = "trap true INT; stty -g > before; " + TarvikCommand({{1, com1.link()}}) +
                             "; stty -g > after; echo done > finished";
        tmux.Start(script, dir.path());
        ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
        tmux.Key(how);
        ASSERT_TRUE(WaitFor([&] { return FileExists(dir / "finished"); })) << how << "\n" << tmux.Screen();
        EXPECT_EQ(ReadFile(dir / "before"), ReadFile(dir / "after")) << how;
        if (std::string(how) == "C-c")
            EXPECT_FALSE(FileExists(dir / "tarvik.ini")) << "Ctrl+C must not save";
        else
            EXPECT_TRUE(FileExists(dir / "tarvik.ini"));
        unlink((dir / "finished").c_str());
        unlink((dir / "tarvik.ini").c_str());
    }
}

TEST(Terminal, RestoredAfterTerminationSignals)
{
    TempDir dir;
    PtyPeer com1(dir, "com1");
    for (const char *sig : {"TERM", "HUP", "SEGV"}) {
        Tmux tmux;
        std::string script = "stty -g > before; " + TarvikCommand({{1, com1.link()}}) +
                             "; stty -g > after; echo done > finished";
        tmux.Start(script, dir.path());
        ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
        // Signal only the tarvik whose terminal is this pane's.
        std::string tty = tmux.Format("#{pane_tty}");
        std::string cmd = "pkill -" + std::string(sig) + " -t " + tty.substr(5) + " -f " + Quote("^" + TarvikPath());
        ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
        ASSERT_TRUE(WaitFor([&] { return FileExists(dir / "finished"); })) << sig << "\n" << tmux.Screen();
        EXPECT_EQ(ReadFile(dir / "before"), ReadFile(dir / "after")) << sig;
        EXPECT_FALSE(FileExists(dir / "tarvik.ini")) << sig;
        unlink((dir / "finished").c_str());
    }
}

}  // namespace
