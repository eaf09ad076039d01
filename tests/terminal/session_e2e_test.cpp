// Keys during downloads, the end of a session, device arguments and the
// smaller paths around them: tarvik in a tmux pane, the test playing the
// controller on a real pseudo-terminal.
#include "e2e.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <termios.h>

using namespace e2e;

namespace {

struct Session {
    TempDir dir;
    PtyPeer com1{dir, "com1"};
    Tmux tmux;

    void Start(const std::string &command = "")
    {
        tmux.Start(command.empty() ? TarvikCommand({{1, com1.link()}}) : command, dir.path());
        ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
        com1.Read(200, 50);
    }
    void Command(const std::string &line)
    {
        tmux.Key("M-c");
        ASSERT_TRUE(tmux.WaitScreen("tarvikCmd:")) << tmux.Screen();
        tmux.Type(line);
        tmux.Key("Enter");
    }
    // Answers one 260-byte block with ACK and returns it.
    std::string Block()
    {
        std::string b = com1.ReadN(260);
        com1.Write("\x06");
        return b;
    }
    void Quit()
    {
        tmux.Key("M-x");
        ASSERT_TRUE(tmux.WaitExit()) << tmux.Screen();
    }
    speed_t LineSpeed()
    {
        struct termios t {};
        tcgetattr(com1.slave_fd(), &t);
        return cfgetospeed(&t);
    }
};

// F9 then F8 while the download is armed asks for the run after it, and
// keys typed meanwhile reach the controller after the run line.
TEST(Session, ArmedDownloadKeysAndHeldKeys)
{
    Session s;
    WriteFile(s.dir / "tarvik.ini", "C1 B115200 P0 D8 S1\nFtest.exe \n\nw25\n");
    WriteFile(s.dir / "test.exe", "0123456789");
    s.Start();
    s.tmux.Key("F9");
    ASSERT_EQ(s.com1.ReadN(5), "LOAD\r");
    s.tmux.Key("F8");
    ASSERT_TRUE(s.tmux.WaitScreen("[F9][F8]")) << s.tmux.Screen();
    s.tmux.Type("ab");
    EXPECT_EQ(s.com1.Read(300), "");  // held, and no second LOAD
    s.com1.Write("!");
    ASSERT_EQ(s.Block().size(), 260u);
    ASSERT_EQ(s.Block().substr(2, 10), "0123456789");
    EXPECT_EQ(s.com1.ReadN(11), "test.exe\rab") << s.tmux.Screen();
    s.Quit();
}

// F8 then F9 while armed: the run asked for first stays asked for.
TEST(Session, F9AfterF8KeepsTheRunAfterTheLoad)
{
    Session s;
    WriteFile(s.dir / "tarvik.ini", "C1 B115200 P0 D8 S1\nFtest.exe \n\nw25\n");
    WriteFile(s.dir / "test.exe", "0123456789");
    s.Start();
    s.tmux.Key("F8");
    ASSERT_EQ(s.com1.ReadN(5), "LOAD\r");
    s.tmux.Key("F9");
    ASSERT_TRUE(s.tmux.WaitScreen("[F8][F9]")) << s.tmux.Screen();
    s.com1.Write("!");
    ASSERT_EQ(s.Block().size(), 260u);
    ASSERT_EQ(s.Block().substr(2, 10), "0123456789");
    EXPECT_EQ(s.com1.ReadN(9), "test.exe\r") << s.tmux.Screen();
    s.Quit();
}

// ALT_E with a file that cannot be opened sends the empty abort block with
// the data area the last block left (only the count and CRC change).
TEST(Session, AbortBlockKeepsTheDataArea)
{
    Session s;
    WriteFile(s.dir / "test.exe", std::string(300, 'q'));
    s.Start();
    s.tmux.Keys({"M-e", "test.exe", "Enter"});
    s.Block();
    s.Block();
    std::string last = s.Block();
    ASSERT_TRUE(s.tmux.WaitScreen("Transfer time is")) << s.tmux.Screen();
    s.tmux.Keys({"M-e", "missing.exe", "Enter"});
    std::string abort = s.Block();
    ASSERT_EQ(abort.size(), 260u);
    EXPECT_EQ(abort.substr(0, 2), std::string(2, '\0'));
    EXPECT_EQ(abort.substr(2, 256), last.substr(2, 256));
    ASSERT_TRUE(s.tmux.WaitScreen("Cannot open file:missing.exe")) << s.tmux.Screen();
    s.Quit();
}

// A directory given to /load is no file: nothing is sent and command mode
// does not wait for the controller.
TEST(Session, LoadOfADirectorySendsNothing)
{
    Session s;
    mkdir((s.dir / "sub").c_str(), 0755);
    s.Start();
    s.Command("/load sub");
    s.Command("/senddata ok");
    EXPECT_EQ(s.com1.ReadN(2, 3000), "ok");
    s.Quit();
}

// A second AutoScan starts at its start rate even when that is the BaudRate
// setting and the port still runs at the first scan's rate.
TEST(Session, AutoScanSetsItsStartRate)
{
    Session s;
    s.Start();
    s.tmux.Key("M-l");
    s.tmux.Type("/AB0 /AE1 /BB9600 /BE9600 /TA20 /S");
    s.tmux.Key("Enter");
    ASSERT_TRUE(WaitFor([&] { return s.LineSpeed() == B9600; })) << s.tmux.Screen();
    ASSERT_TRUE(s.tmux.WaitScreen("[$00M]==>")) << s.tmux.Screen();
    s.tmux.Type("/BB115200 /BE115200 /S");
    s.tmux.Key("Enter");
    EXPECT_TRUE(WaitFor([&] { return s.LineSpeed() == B115200; }, 3000)) << s.tmux.Screen();
    s.Quit();
}

// Command mode takes the last COM number and refuses the one after it; a
// port that does not open is named with the system's reason.
TEST(Session, CommandModePortEdges)
{
    Session s;
    PtyPeer com256(s.dir, "com256");
    s.Start(TarvikCommand({{1, s.com1.link()}, {7, "./missing"}, {256, com256.link()}}));
    s.Command("c7");
    // The relative path was made absolute at start.
    ASSERT_TRUE(s.tmux.WaitScreen("[COM7 is " + s.dir.path() + "/missing: No such file or directory]\n\nCurrent use COM 1"))
        << s.tmux.Screen();
    s.Command("c256");
    ASSERT_TRUE(s.tmux.WaitScreen("Current use COM 256")) << s.tmux.Screen();
    EXPECT_TRUE(s.tmux.WaitTitle("[COM256:")) << s.tmux.Title();
    s.Command("c257");
    ASSERT_TRUE(s.tmux.WaitScreen("Port must >=1 and <=256")) << s.tmux.Screen();
    s.tmux.Type("z");
    EXPECT_EQ(com256.ReadN(1), "z");
    s.Quit();
}

// At ALT_X the keyboard thread's last line is shown and the window title
// the user had comes back.
TEST(Session, EndShowsKeyThreadLineAndRestoresTitle)
{
    Session s;
    s.Start("printf '\\033]2;user title\\007'; " + TarvikCommand({{1, s.com1.link()}}));
    ASSERT_TRUE(s.tmux.WaitTitle("TARVIK 1.30 [COM1")) << s.tmux.Title();
    s.Quit();
    EXPECT_NE(s.tmux.Screen().find("[End of Key Thread.]"), std::string::npos) << s.tmux.Screen();
    EXPECT_EQ(s.tmux.Title(), "user title");
}

// A device path as argument is COM1's device for this run (named in the
// summary, the settings keep the COM number); one that cannot be opened is
// named with the system's reason.
TEST(Session, DevicePathArgument)
{
    Session s;
    s.Start("env " + Quote(TarvikPath()) + " " + Quote(s.com1.link()));
    EXPECT_NE(s.tmux.Screen().find("Use COM1 115200,N,8,1 on " + s.com1.link()), std::string::npos) << s.tmux.Screen();
    s.tmux.Type("z");
    EXPECT_EQ(s.com1.ReadN(1), "z");
    s.Quit();
    EXPECT_EQ(ReadFile(s.dir / "tarvik.ini").substr(0, 3), "C1 ");
    Tmux again;
    again.Start("env " + Quote(TarvikPath()) + " ./no/tty", s.dir.path());
    // A relative path is made absolute at start.
    EXPECT_TRUE(again.WaitScreen("[COM1 is " + s.dir.path() + "/no/tty: No such file or directory]\nCan not use COM 1,"))
        << again.Screen();
    again.Key("q");
    EXPECT_TRUE(again.WaitExit());
}

}  // namespace
