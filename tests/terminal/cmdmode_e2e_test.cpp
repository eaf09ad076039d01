// Command mode (ALT_C) in tmux: tarvik's COM1 (and COM2) are pseudo-
// terminals held by the test, so that the line settings, the bytes sent
// and the bytes logged can be checked.
#include "e2e.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/stat.h>

using namespace e2e;

namespace {

std::string Cwd(const std::string &path)
{
    char buf[4096];
    return realpath(path.c_str(), buf) ? std::string(buf) : path;
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

struct Session {
    TempDir dir;
    PtyPeer com1{dir, "com1"};
    PtyPeer com2{dir, "com2"};
    Tmux tmux{120, 40};

    void Start()
    {
        tmux.Start(TarvikCommand({{1, com1.link()}, {2, com2.link()}}), dir.path());
        ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
        com1.Read(200, 50);
    }
    // One command-mode line on a cleared screen; waits for its last text.
    void Cmd(const std::string &line, const std::string &expect)
    {
        tmux.Key("C-F6");
        ASSERT_TRUE(WaitFor([&] { return tmux.Screen().find("now baudrate") == std::string::npos; }));
        tmux.Key("M-c");
        ASSERT_TRUE(tmux.WaitScreen("tarvikCmd:")) << tmux.Screen();
        if (!line.empty())
            tmux.Type(line);
        tmux.Key("Enter");
        ASSERT_TRUE(tmux.WaitScreen(expect)) << line << "\n" << tmux.Screen();
    }
    void Quit()
    {
        tmux.Key("M-x");
        ASSERT_TRUE(tmux.WaitExit()) << tmux.Screen();
        EXPECT_EQ(tmux.ExitStatus(), 0);
    }
};

TEST(CommandMode, DataFormatAndUnknownCommands)
{
    Session s;
    s.Start();
    s.Cmd("e72", "Change data format to E,7,2");
    EXPECT_TRUE(s.tmux.WaitTitle("[COM1:115200,E,7,2]")) << s.tmux.Title();
    std::string stty = SttyOf(s.com1.link());
    // A pseudo-terminal keeps 8 data bits and no parity whatever is asked;
    // the stop bits do show.
    EXPECT_NE(stty.find(" cstopb"), std::string::npos) << stty;
    s.Cmd("S", "Change data format to S,7,2");
    s.Cmd("o", "Change data format to O,7,2");
    s.Cmd("m", "Change data format to M,7,2");
    s.Cmd("1 8 n", "Change data format to N,8,1");
    EXPECT_EQ(SttyOf(s.com1.link()).find(" cstopb"), std::string::npos);
    EXPECT_TRUE(s.tmux.WaitTitle("[COM1:115200,N,8,1]")) << s.tmux.Title();
    s.Cmd("9", "Unknown command");
    s.Cmd("q", "Unknown command");
    // An empty line only leaves command mode; typed keys go to the port again.
    s.Cmd("", "tarvikCmd:");
    s.tmux.Type("k");
    EXPECT_EQ(s.com1.ReadN(1), "k");
    s.Quit();
}

TEST(CommandMode, BitRateAndPort)
{
    Session s;
    s.Start();
    s.Cmd("b9600", "Current baud rate is 9600");
    EXPECT_TRUE(s.tmux.WaitTitle("[COM1:9600,N,8,1]")) << s.tmux.Title();
    std::string stty = SttyOf(s.com1.link());
    EXPECT_NE(stty.find("speed 9600 baud"), std::string::npos) << stty;
    s.Cmd("b1", "Current baud rate is 9600");
    s.Cmd("bx", "Current baud rate is 9600");
    EXPECT_NE(SttyOf(s.com1.link()).find("speed 9600 baud"), std::string::npos);

    s.Cmd("c0", "Current use COM 1");
    EXPECT_NE(s.tmux.Screen().find("Port must >=1 and <=256\n\nCurrent use COM 1"), std::string::npos) << s.tmux.Screen();
    s.Cmd("c300", "Current use COM 1");
    EXPECT_NE(s.tmux.Screen().find("Port must >=1 and <=256"), std::string::npos);
    s.Cmd("c7", "Current use COM 1");  // COM7 does not exist here
    s.Cmd("c", "Current use COM 1");
    s.Cmd("c2", "Current use COM 2");
    EXPECT_TRUE(s.tmux.WaitTitle("[COM2:9600,N,8,1]")) << s.tmux.Title();
    EXPECT_NE(SttyOf(s.com2.link()).find("speed 9600 baud"), std::string::npos);
    s.tmux.Type("z");
    EXPECT_EQ(s.com2.ReadN(1), "z");
    s.com2.Write("from two");
    EXPECT_TRUE(s.tmux.WaitScreen("from two"));
    // A script command line goes to the port in use.
    s.Cmd("/sendcmd hi,there", "tarvikCmd:");
    EXPECT_EQ(s.com2.ReadN(9), "hi there\r");
    s.Quit();
}

TEST(CommandMode, FileNameIsSavedAndShownAfterARestart)
{
    Session s;
    s.Start();
    s.Cmd("fc:\\work\\prog.exe", "will auto download the file:prog.exe");
    EXPECT_NE(ReadFile(s.dir / "tarvik.ini").find("Fprog.exe "), std::string::npos) << ReadFile(s.dir / "tarvik.ini");
    s.Cmd("fc:\\work\\", "will auto download the file:prog.exe");  // no name part: unchanged
    s.Cmd("f", "will auto download the file:prog.exe");
    s.Quit();

    Tmux again(120, 40);
    again.Start(TarvikCommand({{1, s.com1.link()}}), s.dir.path());
    EXPECT_TRUE(again.WaitScreen("AutoRun:prog.exe")) << again.Screen();
    again.Key("M-x");
    EXPECT_TRUE(again.WaitExit());
}

TEST(CommandMode, LogHoldsExactlyTheBytesReceivedMeanwhile)
{
    Session s;
    WriteFile(s.dir / "log.txt", "old|");
    s.Start();
    s.com1.Write("before MARK0");
    ASSERT_TRUE(s.tmux.WaitScreen("MARK0"));
    s.Cmd("l0", "Log mode=OFF now.");
    s.Cmd("l", "tarvikCmd:");  // no name given yet: logging is on, nothing opened
    s.Cmd("l log.txt", "If the file exist, data will appand to the end of the file.");
    EXPECT_NE(s.tmux.Screen().find("start log data to file:log.txt\nCreat file(log.txt) success!"), std::string::npos)
        << s.tmux.Screen();
    s.Cmd("l log.txt", "Log mode=ON now.");
    std::string logged = std::string("\x01\x02raw\xfe\r\n\0 bytes MARK1", 21);
    s.com1.Write(logged);
    ASSERT_TRUE(s.tmux.WaitScreen("MARK1")) << s.tmux.Screen();
    s.Cmd("l0", "Stop log mode.");
    s.Cmd("l0", "Log mode=OFF now.");
    s.com1.Write("after MARK2");
    ASSERT_TRUE(s.tmux.WaitScreen("MARK2"));
    EXPECT_EQ(ReadFile(s.dir / "log.txt"), "old|" + logged);

    // l1 takes up the last name again and appends.
    s.Cmd("l1", "Creat file(log.txt) success!");
    s.com1.Write("more MARK3");
    ASSERT_TRUE(s.tmux.WaitScreen("MARK3"));
    s.Cmd("l0", "Stop log mode.");
    EXPECT_EQ(ReadFile(s.dir / "log.txt"), "old|" + logged + "more MARK3");

    s.Cmd("l " + s.dir.path() + "/absent/x.log", "for write.");
    EXPECT_NE(s.tmux.Screen().find("Can not open file " + s.dir.path() + "/absent/x.log for write."), std::string::npos)
        << s.tmux.Screen();
    s.Quit();
}

TEST(CommandMode, WorkingDirectoryWithAndWithoutSettingsFile)
{
    Session s;
    mkdir((s.dir / "a").c_str(), 0755);
    mkdir((s.dir / "b").c_str(), 0755);
    WriteFile(s.dir / "a/tarvik.ini", "Fa.exe A12 Aabc Xone.exe Xtwo.exe B300\n");
    s.Start();
    std::string a = Cwd(s.dir / "a"), b = Cwd(s.dir / "b");
    s.Cmd("pa", "Autodownload files: one.exe two.exe");
    EXPECT_NE(s.tmux.Screen().find("Current work directory=\"" + a + "\"\n\nAutoRun:a.exe 12 abc\n"), std::string::npos)
        << s.tmux.Screen();
    EXPECT_TRUE(s.tmux.WaitTitle("DIR=" + a)) << s.tmux.Title();
    EXPECT_TRUE(s.tmux.WaitTitle("[COM1:115200,")) << "only the lists are taken from the file";
    // No settings file in b: the lists stay.
    s.Cmd("p../b", "Autodownload files: one.exe two.exe");
    EXPECT_NE(s.tmux.Screen().find("Current work directory=\"" + b + "\"\n\nAutoRun:a.exe 12 abc"), std::string::npos)
        << s.tmux.Screen();
    // A drive letter names no directory here: nothing changes.
    s.Cmd("pD:", "Current work directory=\"" + b + "\"");
    s.Cmd("p1:x", "Current work directory=\"" + b + "\"");
    s.Cmd("p/no/such/dir", "Current work directory=\"" + b + "\"");
    s.Cmd("p", "Current work directory=\"" + b + "\"");
    // The drive form with a path after the colon.
    s.Cmd("pc:" + a, "Current work directory=\"" + a + "\"");
    EXPECT_TRUE(s.tmux.WaitTitle("DIR=" + a)) << s.tmux.Title();
    s.Quit();
    // The settings file is written where the program ended.
    EXPECT_TRUE(FileExists(s.dir / "a/tarvik.ini"));
    EXPECT_FALSE(FileExists(s.dir / "tarvik.ini"));
}

}  // namespace
