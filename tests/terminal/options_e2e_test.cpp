// The options of our own in a tmux session: -b reaches the line and the
// title, -t stamps the controller's lines on the screen and in the -l log
// (command mode's t turns it off), -w waits for a device that comes later,
// and a '/' option tarvik does not know is named and ignored.
#include "e2e.h"

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>

using namespace e2e;

namespace {

const std::regex Stamp(R"(\[\d\d:\d\d:\d\d\.\d\d\d\] )");

std::size_t Stamps(const std::string &text)
{
    return static_cast<std::size_t>(
        std::distance(std::sregex_iterator(text.begin(), text.end(), Stamp), std::sregex_iterator()));
}

}  // namespace

TEST(Options, BaudOptionSetsTheLineAndTheTitleAndUnknownSlashOptionIsNamed)
{
    TempDir dir;
    PtyPeer com1(dir);
    Tmux tmux(120, 30);
    tmux.Start(TarvikCommand({{1, com1.link()}}, "-b 9600 /Q7"), dir.path());
    ASSERT_TRUE(tmux.WaitTitle("[COM1:9600,N,8,1]")) << tmux.Title();
    EXPECT_TRUE(tmux.WaitScreen("tarvik: unknown option /Q7 (ignored)")) << tmux.Screen();
    EXPECT_TRUE(tmux.WaitScreen("now baudrate = 9600")) << tmux.Screen();
    tmux.Key("M-x");
    ASSERT_TRUE(tmux.WaitExit(20000)) << tmux.Screen();
    EXPECT_EQ(ReadFile(dir / "tarvik.ini").substr(0, 20), "C1 B9600 P0 D8 S1\nF ");
}

TEST(Options, TimestampsBeginEachControllerLineOnScreenAndInTheLog)
{
    TempDir dir;
    PtyPeer com1(dir);
    Tmux tmux(120, 30);
    tmux.Start(TarvikCommand({{1, com1.link()}}, "-t -l rx.log"), dir.path());
    ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
    com1.Write("first li");
    ASSERT_TRUE(tmux.WaitScreen("first li")) << tmux.Screen();
    com1.Write("ne\r\nsecond\r\n");
    ASSERT_TRUE(tmux.WaitScreen("second")) << tmux.Screen();
    std::string screen = tmux.Screen();
    EXPECT_TRUE(std::regex_search(screen, std::regex(R"(\n\[\d\d:\d\d:\d\d\.\d\d\d\] first line\n)"))) << screen;
    EXPECT_TRUE(std::regex_search(screen, std::regex(R"(\n\[\d\d:\d\d:\d\d\.\d\d\d\] second\n)"))) << screen;
    ASSERT_TRUE(WaitFor([&] { return ReadFile(dir / "rx.log").find("second\r\n") != std::string::npos; }));
    std::string log = ReadFile(dir / "rx.log");
    EXPECT_TRUE(std::regex_match(log, std::regex(R"(\[\d\d:\d\d:\d\d\.\d\d\d\] first line\r\n)"
                                                 R"(\[\d\d:\d\d:\d\d\.\d\d\d\] second\r\n)")))
        << log;

    // Command mode's t turns them off: the next line comes plain, in the
    // log as well.
    tmux.Key("M-c");
    ASSERT_TRUE(tmux.WaitScreen("tarvikCmd:")) << tmux.Screen();
    tmux.Type("t");
    tmux.Key("Enter");
    ASSERT_TRUE(tmux.WaitScreen("Time stamps OFF")) << tmux.Screen();
    com1.Write("third\r\n");
    ASSERT_TRUE(WaitFor([&] { return ReadFile(dir / "rx.log").find("third\r\n") != std::string::npos; }));
    EXPECT_EQ(Stamps(ReadFile(dir / "rx.log")), 2u);
    tmux.Key("M-x");
    ASSERT_TRUE(tmux.WaitExit(20000)) << tmux.Screen();
}

TEST(Options, WaitOptionWaitsForADeviceThatComesLaterThenRunsTheSession)
{
    TempDir dir;
    Tmux tmux(120, 30);
    tmux.Start(TarvikCommand({{1, dir / "com1"}}, "--wait"), dir.path());
    ASSERT_TRUE(tmux.WaitScreen("is not there; waiting for it")) << tmux.Screen();
    EXPECT_FALSE(tmux.PaneDead());
    Simulator sim(dir);
    ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
    tmux.Type("dir");
    tmux.Key("Enter");
    EXPECT_TRUE(tmux.WaitScreen("A:\\>")) << tmux.Screen();
    tmux.Key("M-x");
    ASSERT_TRUE(tmux.WaitExit(20000)) << tmux.Screen();
    EXPECT_EQ(tmux.ExitStatus(), 0);
}
