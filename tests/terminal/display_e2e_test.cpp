// What the controller prints cannot drive the user's terminal: tarvik in a
// tmux pane, the test playing the controller on a real pseudo-terminal.
#include "e2e.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

using namespace e2e;

namespace {

const int UseUtf8 = (setenv("LC_ALL", "C.UTF-8", 1), 0);

struct Session {
    TempDir dir;
    PtyPeer com1{dir, "com1"};
    Tmux tmux;

    void Start(const std::string &env = "")
    {
        std::string cmd = TarvikCommand({{1, com1.link()}});
        if (!env.empty())
            cmd = "env " + env + cmd.substr(3);
        tmux.Start(cmd, dir.path());
        ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
        com1.Read(200, 50);
    }
};

// Title, colour and screen sequences from the line are shown as text in
// Normal mode, Line mode and the armed download's watch; only BEL, BS, TAB,
// LF and CR act.  Bytes 0x80-0xFF are code page 437 characters.
TEST(ControllerOutput, CannotDriveTheTerminal)
{
    (void)UseUtf8;
    Session s;
    s.Start();
    const std::string title = s.tmux.Title();
    ASSERT_NE(title.find("TARVIK 1.30 [COM1"), std::string::npos) << title;

    s.com1.Write("n\033]0;OWNED\007\033[31mred\033[2J\x01\x80\xfe|\r\n");
    ASSERT_TRUE(s.tmux.WaitScreen("\u2190[31mred\u2190[2J\u263A\u00C7\u25A0|")) << s.tmux.Screen();
    std::string screen = s.tmux.Screen();
    EXPECT_NE(screen.find("n\u2190]0;OWNED\u2190[31m"), std::string::npos) << screen;
    EXPECT_NE(screen.find("tarvi for "), std::string::npos) << "screen cleared:\n" << screen;
    EXPECT_EQ(s.tmux.Screen(true).find("\033[31m"), std::string::npos) << "red text";
    // A TAB moves to the next tab stop and shows no glyph.
    s.com1.Write("T\tX|\r\n");
    EXPECT_TRUE(s.tmux.WaitScreen("\nT       X|")) << s.tmux.Screen();

    s.tmux.Key("M-l");
    ASSERT_TRUE(s.tmux.WaitScreen("{change to Line Mode}")) << s.tmux.Screen();
    s.com1.Write("L\033]0;LINE\007|\r");
    ASSERT_TRUE(s.tmux.WaitScreen("L\u2190]0;LINE|")) << s.tmux.Screen();
    s.tmux.Key("M-l");
    ASSERT_TRUE(s.tmux.WaitScreen("{Back to Normal Mode}")) << s.tmux.Screen();

    s.tmux.Key("F9");
    ASSERT_EQ(s.com1.ReadN(5), "LOAD\r");
    s.com1.Write("W\033]0;WATCH\007|\r\n");
    ASSERT_TRUE(s.tmux.WaitScreen("W\u2190]0;WATCH|")) << s.tmux.Screen();
    s.tmux.Key("Escape");
    ASSERT_TRUE(s.tmux.WaitScreen("[Download cancelled]")) << s.tmux.Screen();

    EXPECT_EQ(s.tmux.Title(), title);
    s.tmux.Key("M-x");
    EXPECT_TRUE(s.tmux.WaitExit());
}

// TARVIK_CODEPAGE=950: a Big5 character whose two bytes arrive in two reads
// is shown once, whole.
TEST(ControllerOutput, CodePageCharacterSplitAcrossReads)
{
    Session s;
    s.Start("TARVIK_CODEPAGE=950 ");
    s.com1.Write("<\xa4");
    usleep(300 * 1000);
    s.com1.Write("\xa4>\r\n");
    ASSERT_TRUE(s.tmux.WaitScreen("<\u4E2D>")) << s.tmux.Screen();
    s.tmux.Key("M-x");
    EXPECT_TRUE(s.tmux.WaitExit());
}

}  // namespace
