// The help screens in a tmux pane: F1, ALT_F1 (twice) and CTRL_F1, each
// with its two pages and the key between them that starts nothing.
#include "e2e.h"

#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <cstdlib>
#include <string>

using namespace e2e;

namespace {

// The Chinese pages are shown in the locale's character set.
const int UseUtf8 = (setenv("LC_ALL", "C.UTF-8", 1), 0);

int Count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

struct Session {
    TempDir dir;
    PtyPeer com1{dir, "com1"};
    Tmux tmux{100, 120};

    void Start()
    {
        tmux.Start(TarvikCommand({{1, com1.link()}}), dir.path());
        ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
        com1.Read(200, 50);
    }
    void Quit()
    {
        tmux.Key("M-x");
        ASSERT_TRUE(tmux.WaitExit()) << tmux.Screen();
        EXPECT_EQ(tmux.ExitStatus(), 0);
    }
};

std::string BannerText()
{
    utsname u{};
    uname(&u);
    return std::string("tarvi for ") + u.sysname + " version 1.30 (2005/11/29)";
}
const std::string Banner = BannerText();

TEST(HelpScreen, EnglishTwoPagesAndTheKeyBetween)
{
    Session s;
    s.Start();
    s.tmux.Key("F1");
    ASSERT_TRUE(s.tmux.WaitScreen("*** Press any key to continue ***")) << s.tmux.Screen();
    std::string screen = s.tmux.Screen();
    EXPECT_NE(screen.find(std::string(Banner) + "\n\n1. Command line parameter:\n/c#     using com # (default is COM1)"),
              std::string::npos)
        << screen;
    EXPECT_NE(screen.find("ALT_1 - ALT_9 : Set to use COM1 - COM9 if possible\n*** Press any key to continue ***"),
              std::string::npos);
    // Nothing more until a key is pressed.
    EXPECT_FALSE(s.tmux.WaitScreen("ALT_C: use COMMAND.", 500));
    // F1 itself ends the wait and starts no second help.
    s.tmux.Key("F1");
    ASSERT_TRUE(s.tmux.WaitScreen("*** end ***")) << s.tmux.Screen();
    screen = s.tmux.Screen();
    EXPECT_NE(screen.find("*** Press any key to continue ***\n\nALT_C: use COMMAND.\n          q: quit command mode."),
              std::string::npos)
        << screen;
    EXPECT_NE(screen.find("ALT_X: exit tarvik.exe\n*** end ***"), std::string::npos);
    EXPECT_EQ(Count(s.tmux.Screen(), "1. Command line parameter:"), 1);
    EXPECT_EQ(Count(s.tmux.Screen(), Banner), 2) << "start-up banner and one help";
    // A letter that ends the wait is not sent to the controller.
    s.tmux.Key("F1");
    ASSERT_TRUE(WaitFor([&] { return Count(s.tmux.Screen(), "*** Press any key") == 2; })) << s.tmux.Screen();
    s.tmux.Type("q");
    ASSERT_TRUE(WaitFor([&] { return Count(s.tmux.Screen(), "*** end ***") == 2; })) << s.tmux.Screen();
    s.tmux.Type("k");
    EXPECT_EQ(s.com1.ReadN(1, 5000), "k");
    s.Quit();
}

TEST(HelpScreen, Big5HelpSetsTheInputCodePageOnce)
{
    Session s;
    s.Start();
    s.tmux.Key("M-F1");
    ASSERT_TRUE(s.tmux.WaitScreen("*** Press any key to continue ***")) << s.tmux.Screen();
    std::string screen = s.tmux.Screen();
    // A UTF-8 terminal has the input code page 65001 at the start.
    EXPECT_NE(screen.find("Current CP=65001\nNow Current CP=950\n" + std::string(Banner) + "\n\n1. "),
              std::string::npos)
        << screen;
    // Readable Chinese, not code-page bytes.
    EXPECT_NE(screen.find("命令列"), std::string::npos) << screen;
    EXPECT_NE(screen.find("ALT_1 --> COM1, .... ALT_9 --> COM9"), std::string::npos);
    EXPECT_FALSE(s.tmux.WaitScreen("ALT_A", 500));
    s.tmux.Key("Enter");
    ASSERT_TRUE(s.tmux.WaitScreen(" *** END ***")) << s.tmux.Screen();
    EXPECT_NE(s.tmux.Screen().find("切換 ANSI escape code 顯示"), std::string::npos) << s.tmux.Screen();

    s.tmux.Key("M-F1");
    ASSERT_TRUE(WaitFor([&] { return Count(s.tmux.Screen(), "*** Press any key") == 2; })) << s.tmux.Screen();
    screen = s.tmux.Screen();
    EXPECT_NE(screen.find(" *** END ***\nCurrent CP=950\n" + std::string(Banner)), std::string::npos) << screen;
    EXPECT_EQ(Count(screen, "Now Current CP="), 1);
    s.tmux.Key("Enter");
    ASSERT_TRUE(WaitFor([&] { return Count(s.tmux.Screen(), " *** END ***") == 2; })) << s.tmux.Screen();
    EXPECT_EQ(s.com1.Read(300, 100), "") << "the keys that ended the waits went to the controller";
    s.Quit();
}

TEST(HelpScreen, Gb2312HelpShowsNoCodePage)
{
    Session s;
    s.Start();
    s.tmux.Key("C-F1");
    ASSERT_TRUE(s.tmux.WaitScreen("*** Press any key to continue ***")) << s.tmux.Screen();
    std::string screen = s.tmux.Screen();
    EXPECT_EQ(screen.find("CP="), std::string::npos) << screen;
    EXPECT_NE(screen.find(std::string(Banner) + "\n\n1. "), std::string::npos) << screen;
    EXPECT_NE(screen.find("功能鍵"), std::string::npos) << screen;
    s.tmux.Key("Up");
    ASSERT_TRUE(s.tmux.WaitScreen(" *** END ***")) << s.tmux.Screen();
    EXPECT_NE(s.tmux.Screen().find("自動 downlaod 到 SRAM (不執行)"), std::string::npos) << s.tmux.Screen();
    // CTRL_F1 changed no code page: ALT_F1 still finds the start one.
    s.tmux.Key("M-F1");
    ASSERT_TRUE(s.tmux.WaitScreen("Now Current CP=950")) << s.tmux.Screen();
    EXPECT_NE(s.tmux.Screen().find("Current CP=65001"), std::string::npos);
    s.tmux.Key("Enter");
    ASSERT_TRUE(WaitFor([&] { return Count(s.tmux.Screen(), " *** END ***") == 2; })) << s.tmux.Screen();
    s.Quit();
}

}  // namespace
