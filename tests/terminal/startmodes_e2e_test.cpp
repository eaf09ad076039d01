// The line format, the start modes and the maps from the command line, in
// a tmux session in front of tarvik and a pseudo-terminal behind it:
// --parity, --databits, --stopbits and --flow reach the port and the
// title, for sessions and headless runs; --name=value is the same as --name value; bad values end the run
// with status 2; -x, --echo and --map act from the start and command mode
// toggles each of them.
#include "e2e.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>

using namespace e2e;

namespace {

#ifndef CMSPAR
#define CMSPAR 010000000000
#endif

tcflag_t CflagOf(int fd)
{
    termios t{};
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    return t.c_cflag;
}

struct Format {
    const char *args;
    const char *title;  // the title's line fields
    tcflag_t parity;    // PARODD | CMSPAR as they must be
    bool twoStops;
    bool handshake;     // CRTSCTS
    const char *ini;    // the first line of tarvik.ini after ALT_X
};

struct Session {
    TempDir dir;
    PtyPeer com1{dir};
    Tmux tmux{120, 40};
    void Start(const std::string &args)
    {
        tmux.Start(TarvikCommand({{1, com1.link()}}, args), dir.path());
        ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
        com1.Read(200, 50);  // the start-up purge may swallow early bytes
    }
    void Command(const std::string &line, const std::string &answer)
    {
        tmux.Key("M-c");
        ASSERT_TRUE(tmux.WaitScreen("tarvikCmd:")) << tmux.Screen();
        tmux.Type(line);
        tmux.Key("Enter");
        ASSERT_TRUE(tmux.WaitScreen(answer)) << tmux.Screen();
    }
    void Quit()
    {
        tmux.Key("M-x");
        ASSERT_TRUE(tmux.WaitExit(20000)) << tmux.Screen();
        EXPECT_EQ(tmux.ExitStatus(), 0);
    }
};

int Status(const std::string &args)
{
    std::string cmd = Quote(TarvikPath()) + " " + args + " </dev/null >/dev/null 2>/dev/null";
    int r = std::system(cmd.c_str());
    return WIFEXITED(r) ? WEXITSTATUS(r) : -1;
}

}  // namespace

TEST(StartModes, LineFormatOptionsReachThePortAndTheTitleAndTheFormatIsSaved)
{
    // Every parity, both ends of the data bits, both stop bits, every flow
    // mode, in the two spellings.
    // A pseudo-terminal keeps the rate, the stop bits, the odd and the
    // mark/space flags and the handshake, but always reads 8 data bits and
    // no parity enable: those show in the title (the format layer's own
    // bits are checked by LineFormat.DataParityStopBits).
    const Format formats[] = {
        {"--baud=9600 --parity=even --databits 7 --stopbits=2 --flow rtscts", "[COM1:9600,E,7,2],FC=2", 0, true,
         true, "C1 B9600 P1 D7 S2\n"},
        {"--parity odd --databits=5 --stopbits 1 --flow=cts", "[COM1:115200,O,5,1],FC=1", PARODD, false, true,
         "C1 B115200 P2 D5 S1\n"},
        {"--parity=mark --databits=8 --stopbits=1 --flow=rts", "[COM1:115200,M,8,1],FC=3", PARODD | CMSPAR, false,
         false, "C1 B115200 P3 D8 S1\n"},
        {"--parity space --databits 6 --flow none", "[COM1:115200,S,6,2],FC=0", CMSPAR, true, false,
         "C1 B115200 P4 D6 S2\n"},
        // The settings file says odd, 7, 2: what is not given stays so.
        {"--parity=none", "[COM1:115200,N,7,2],FC=0", 0, true, false, "C1 B115200 P0 D7 S2\n"},
    };
    for (const Format &f : formats) {
        SCOPED_TRACE(f.args);
        Session s;
        WriteFile(s.dir / "tarvik.ini", "P2 D7 S2\n");
        s.Start(f.args);
        EXPECT_TRUE(s.tmux.WaitTitle(f.title)) << s.tmux.Title();
        tcflag_t c = CflagOf(s.com1.slave_fd());
        EXPECT_EQ(c & (PARODD | CMSPAR), f.parity);
        EXPECT_EQ((c & CSTOPB) != 0, f.twoStops);
        EXPECT_EQ((c & CRTSCTS) != 0, f.handshake);
        s.Quit();
        // The format is kept like -b; flow control has no place in the file.
        EXPECT_EQ(ReadFile(s.dir / "tarvik.ini").substr(0, std::string(f.ini).size()), f.ini);
    }
}

TEST(StartModes, HeadlessRunUsesTheLineFormatOptionsAndSavesNothing)
{
    TempDir dir;
    PtyPeer com1(dir);
    WriteFile(dir / "go.F4", "/sendcmd ready\n/pause 20000\n");
    Process run;
    run.Start({TarvikPath(), "--script=go.F4", "--parity=mark", "--databits", "6", "--stopbits=2", "--flow=cts",
               com1.link()},
              dir.path());
    ASSERT_NE(com1.ReadN(5, 20000).find("ready"), std::string::npos);
    tcflag_t c = CflagOf(com1.slave_fd());
    EXPECT_EQ(c & (PARODD | CMSPAR), static_cast<tcflag_t>(PARODD | CMSPAR));
    EXPECT_NE(c & CSTOPB, 0u);
    EXPECT_NE(c & CRTSCTS, 0u);
    run.Stop();
    EXPECT_FALSE(FileExists(dir / "tarvik.ini"));
}

TEST(StartModes, BadValuesEndWithStatusTwo)
{
    for (const char *args : {"--parity=evn", "--parity", "--parity ''", "--databits=4", "--databits 9", "--databits=",
                             "--stopbits=0", "--stopbits 3", "--flow=xon", "--flow 2", "--map=crlf,", "--map=lfcr",
                             "--map ''", "--hex=1", "--echo=yes", "--baud=", "--baud=x", "--bogus=1",
                             "--parity=odd --speed=9600"}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(Status(args), 2);
    }
    EXPECT_EQ(Status("--help=x"), 2);
    EXPECT_EQ(Status("--help"), 0);
}

TEST(StartModes, HelpFitsEightyColumns)
{
    FILE *p = popen((Quote(TarvikPath()) + " --help").c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[512];
    int lines = 0;
    while (std::fgets(line, sizeof line, p) != nullptr) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        EXPECT_LE(text.size(), 80u) << text;
        ++lines;
    }
    EXPECT_EQ(pclose(p), 0);
    EXPECT_GT(lines, 10);
}

TEST(StartModes, BannerNamesTheSystemAndStartLinesStandAlone)
{
    utsname u{};
    ASSERT_EQ(uname(&u), 0);
    Session s;
    s.Start("");
    std::string screen = s.tmux.Screen();
    EXPECT_NE(screen.find(std::string("tarvi for ") + u.sysname + " version 1.30 (2005/11/29)\n[Begin Key Thread...]\n"
                                                                 "Current set: Use COM1 115200,N,8,1"),
              std::string::npos)
        << screen;
    EXPECT_NE(screen.find("\nModes: hex OFF, echo OFF, map none\n"), std::string::npos) << screen;
    s.Quit();
}

TEST(StartModes, HexStartsAndCommandModeXTogglesIt)
{
    for (const char *opt : {"-x", "--hex"}) {
        SCOPED_TRACE(opt);
        Session s;
        s.Start(opt);
        EXPECT_TRUE(s.tmux.WaitScreen("Modes: hex ON, echo OFF, map none")) << s.tmux.Screen();
        s.com1.Write("AB");
        EXPECT_TRUE(s.tmux.WaitScreen("[41]A[42]B")) << s.tmux.Screen();
        s.Command("x", "{change to ASCII mode}");
        s.com1.Write("zq");
        EXPECT_TRUE(s.tmux.WaitScreen("zq")) << s.tmux.Screen();
        EXPECT_EQ(s.tmux.Screen().find("[7A]"), std::string::npos);
        s.Command("X", "{change to HEX mode}");
        s.Quit();
    }
}

TEST(StartModes, EchoShowsTypedTextAndCommandModeKTogglesIt)
{
    Session s;
    s.Start("--echo");
    s.tmux.Type("hello");
    EXPECT_EQ(s.com1.ReadN(5), "hello");
    EXPECT_TRUE(s.tmux.WaitScreen("hello")) << s.tmux.Screen();
    s.Command("k", "Local echo OFF");
    EXPECT_TRUE(s.tmux.WaitScreen("Modes: hex OFF, echo OFF, map none")) << s.tmux.Screen();
    s.tmux.Type("quiet");
    EXPECT_EQ(s.com1.ReadN(5), "quiet");
    // What was typed went out, and nothing shows it.
    EXPECT_FALSE(s.tmux.WaitScreen("quiet", 500)) << s.tmux.Screen();
    s.Command("k", "Local echo ON");
    s.Quit();

    // Without --echo, typed text is not shown.
    Session plain;
    plain.Start("");
    plain.tmux.Type("silent");
    EXPECT_EQ(plain.com1.ReadN(6), "silent");
    EXPECT_FALSE(plain.tmux.WaitScreen("silent", 500)) << plain.tmux.Screen();
    plain.Quit();
}

TEST(StartModes, MapCrlfSendsCrLfForEnterAndCommandModeRTogglesIt)
{
    Session s;
    s.Start("--map=crlf");
    s.tmux.Type("go");
    s.tmux.Key("Enter");
    EXPECT_EQ(s.com1.Read(), "go\r\n");
    s.Command("r", "Map crlf OFF");
    s.tmux.Type("go");
    s.tmux.Key("Enter");
    EXPECT_EQ(s.com1.Read(), "go\r");
    s.Command("R", "Map crlf ON");
    s.tmux.Key("Enter");
    EXPECT_EQ(s.com1.Read(), "\r\n");
    s.Quit();
}

TEST(StartModes, MapIcrnlAndInlcrChangeTheDisplayAndCommandModeTogglesThem)
{
    // icrnl: a lone CR starts a new line instead of overwriting this one.
    Session s;
    s.Start("--map icrnl,inlcr");
    EXPECT_TRUE(s.tmux.WaitScreen("Modes: hex OFF, echo OFF, map icrnl,inlcr")) << s.tmux.Screen();
    s.Command("j", "Map inlcr OFF");  // icrnl alone
    s.com1.Write("first-line\rXY\r");
    EXPECT_TRUE(s.tmux.WaitScreen("first-line\nXY\n")) << s.tmux.Screen();
    s.Command("i", "Map icrnl OFF");  // nothing mapped: CR overwrites
    s.com1.Write("abcdef\rZ\r\n");
    EXPECT_TRUE(s.tmux.WaitScreen("Zbcdef\n")) << s.tmux.Screen();
    s.Command("j", "Map inlcr ON");  // inlcr: LF returns to the line start
    s.com1.Write("12345\n6\r\n");
    EXPECT_TRUE(s.tmux.WaitScreen("62345\n")) << s.tmux.Screen();
    s.Quit();
}
