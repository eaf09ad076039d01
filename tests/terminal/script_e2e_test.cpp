// Scripts in tmux against the controller simulator: F4 and ALT_C start
// them, /load downloads a real file through the receive loop, Escape
// stops a script in a pause and while a download is awaited.
#include "e2e.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace e2e;

namespace {

int Count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

std::string RandomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(rng() & 0xFF);
    return s;
}

struct Session {
    TempDir dir;
    std::unique_ptr<Simulator> sim;
    Tmux tmux{120, 40};

    void Start(const std::vector<std::string> &simOptions = {})
    {
        mkdir((dir / "store").c_str(), 0755);
        std::vector<std::string> opts = {"--store", dir / "store"};
        opts.insert(opts.end(), simOptions.begin(), simOptions.end());
        sim = std::make_unique<Simulator>(dir, opts);
        tmux.Start(TarvikCommand({{1, sim->link()}}), dir.path());
        ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
    }
    bool WaitReceived(const std::string &what, int timeout_ms = 20000)
    {
        return WaitFor([&] { return sim->Received().find(what) != std::string::npos; }, timeout_ms);
    }
    // Types c until it reaches the controller: until a stopped script has
    // seen its end, its wait reads the keys and drops them, so a key typed
    // at once may never arrive.  False when none arrived in the bound.
    bool TypeUntilReceived(char c, int timeout_ms = 20000)
    {
        for (int waited = 0; waited < timeout_ms; waited += 1000) {
            tmux.Type(std::string(1, c));
            if (WaitFor([&] {
                    std::string got = sim->Received();
                    return !got.empty() && got.back() == c;
                }, 1000))
                return true;
        }
        return false;
    }
    void Quit()
    {
        tmux.Key("M-x");
        ASSERT_TRUE(tmux.WaitExit()) << tmux.Screen();
        EXPECT_EQ(tmux.ExitStatus(), 0);
    }
};

TEST(ScriptE2e, F4WithoutDefaultScript)
{
    Session s;
    s.Start();
    s.tmux.Key("F4");
    EXPECT_TRUE(s.tmux.WaitScreen("Can not open the file : tarvik.F4")) << s.tmux.Screen();
    s.tmux.Type("x");  // the keyboard is free again
    EXPECT_TRUE(s.WaitReceived("x"));
    s.Quit();
}

TEST(ScriptE2e, LoadSendsTheFileAndTheNextLineWaitsForTheTransfer)
{
    Session s;
    std::string prog = RandomBytes(3000, 5);
    WriteFile(s.dir / "prog.exe", prog);
    WriteFile(s.dir / "load.scr", "/load prog.exe\r\n/sendcmd dir\r\n");
    s.Start();
    // Received bytes are logged, the transfer's replies included.
    s.tmux.Key("M-c");
    ASSERT_TRUE(s.tmux.WaitScreen("tarvikCmd:"));
    s.tmux.Type("l log.txt");
    s.tmux.Key("Enter");
    ASSERT_TRUE(s.tmux.WaitScreen("success!"));
    s.tmux.Key("M-c");
    ASSERT_TRUE(s.tmux.WaitScreen("tarvikCmd:"));
    s.tmux.Type("/run load.scr");
    s.tmux.Key("Enter");
    ASSERT_TRUE(s.WaitReceived("dir\r")) << s.tmux.Screen();
    ASSERT_TRUE(s.tmux.WaitScreen("1 file(s)")) << s.tmux.Screen();

    // The simulator holds the file.
    EXPECT_EQ(ReadFile(s.dir / "store/FLASH.prog.exe"), prog);
    // What it received: the command, the whole transfer (260-byte blocks),
    // and only then the next script line.
    std::string got = s.sim->Received();
    ASSERT_EQ(got.rfind("LOAD\r", 0), 0u) << got.substr(0, 20);
    ASSERT_GE(got.size(), 5u + 4u);
    EXPECT_EQ(got.substr(got.size() - 4), "dir\r");
    std::size_t transfer = got.size() - 5 - 4;
    EXPECT_EQ(transfer % 260, 0u);
    EXPECT_GE(transfer, 260u * (1 + (prog.size() + 255) / 256));

    std::string log = ReadFile(s.dir / "log.txt");
    auto ready = log.find("Ready to receive a file into flash!");
    ASSERT_NE(ready, std::string::npos) << log;
    EXPECT_EQ(static_cast<std::size_t>(Count(log.substr(ready), "\x06")), transfer / 260) << log;
    EXPECT_NE(log.find("1 file(s)"), std::string::npos);
    s.Quit();
}

TEST(ScriptE2e, LoadrLoadbAndUploadEachWaitForTheirTransferAndClsClears)
{
    Session s;
    std::string a = RandomBytes(700, 1), b = RandomBytes(300, 2), c = RandomBytes(1, 3);
    WriteFile(s.dir / "a.bin", a);
    WriteFile(s.dir / "b.bin", b);
    WriteFile(s.dir / "c.bin", c);
    WriteFile(s.dir / "three.scr", "/loadr a.bin\r/loadb b.bin\r/upload c.bin\r/cls\r/sendcmd dir\r");
    s.Start();
    s.tmux.Key("M-c");
    ASSERT_TRUE(s.tmux.WaitScreen("tarvikCmd:"));
    s.tmux.Type("/run three.scr");
    s.tmux.Key("Enter");
    ASSERT_TRUE(s.WaitReceived("dir\r")) << s.tmux.Screen();
    ASSERT_TRUE(s.tmux.WaitScreen("file(s)")) << s.tmux.Screen();
    EXPECT_EQ(ReadFile(s.dir / "store/SRAM.a.bin"), a);
    EXPECT_EQ(ReadFile(s.dir / "store/FLASH.b.bin"), b);
    EXPECT_EQ(ReadFile(s.dir / "store/FLASH.c.bin"), c);
    // Each command came only after the previous transfer had ended: the
    // record and the data blocks are 260 bytes each.
    std::string got = s.sim->Received();
    const std::pair<std::string, std::size_t> steps[] = {
        {"LOADR\r", a.size()}, {"LOADB\r", b.size()}, {"UPLOAD\r", c.size()}, {"dir\r", 0}};
    std::size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        const auto &[command, size] = steps[i];
        ASSERT_EQ(got.compare(at, command.size(), command), 0) << command << " at " << at;
        at += command.size();
        std::size_t next = got.find(steps[i + 1].first, at);
        ASSERT_NE(next, std::string::npos) << command;
        EXPECT_EQ((next - at) % 260, 0u) << command;
        EXPECT_GE(next - at, 260u * (1 + (size + 255) / 256)) << command;
        at = next;
    }
    EXPECT_EQ(got.substr(at), "dir\r");
    // /cls cleared what the downloads had shown.
    EXPECT_EQ(s.tmux.Screen().find("Ready to receive"), std::string::npos) << s.tmux.Screen();
    s.Quit();
}

TEST(ScriptE2e, F4DownloadsRunsInALoopWithPausesAndQuits)
{
    Session s;
    WriteFile(s.dir / "prog.exe", RandomBytes(700, 9));
    WriteFile(s.dir / "tarvik.F4",
              "download the program, run it three times, then end tarvik\n"
              "/load prog.exe\n"
              "//I:n=3\n"
              "//L:again\n"
              "/sendcmd prog.exe 12 abc\n"
              "/pause 300\n"
              "//G:again,n\n"
              "//P:n\n"
              "/quit\n");
    s.Start();
    s.tmux.Key("F4");
    ASSERT_TRUE(s.tmux.WaitExit(60000)) << s.tmux.Screen();
    EXPECT_EQ(s.tmux.ExitStatus(), 0);
    std::string got = s.sim->Received();
    EXPECT_EQ(Count(got, "prog.exe 12 abc\r"), 3) << got.size();
    EXPECT_EQ(Count(got, "LOAD\r"), 1);
    EXPECT_TRUE(FileExists(s.dir / "store/FLASH.prog.exe"));
}

TEST(ScriptE2e, EscapeEndsATimedPauseAndTheScript)
{
    Session s;
    WriteFile(s.dir / "tarvik.F4", "/sendcmd one\n/pause 60000\n/sendcmd two\n");
    s.Start();
    s.tmux.Key("F4");
    ASSERT_TRUE(s.WaitReceived("one\r"));
    s.tmux.Key("Escape");
    // A key right after ESC would make it an Alt key: let the ESC stand alone.
    usleep(300000);
    ASSERT_TRUE(s.TypeUntilReceived('k'));  // reaches the controller once the script has ended
    EXPECT_EQ(s.sim->Received().find("two"), std::string::npos);
    s.Quit();
}

TEST(ScriptE2e, EscapeEndsTheWaitForADownloadAndTheScript)
{
    Session s;
    WriteFile(s.dir / "prog.exe", RandomBytes(2000, 3));
    WriteFile(s.dir / "tarvik.F4", "/load prog.exe\n/sendcmd after\n");
    s.Start({"--silent-block", "1"});  // the controller stops answering mid-transfer
    s.tmux.Key("F4");
    ASSERT_TRUE(s.WaitReceived("LOAD\r"));
    // Wait until the first data block has gone out and its reply is awaited.
    ASSERT_TRUE(WaitFor([&] { return s.sim->Received().size() >= 5 + 2 * 260; }, 20000));
    s.tmux.Key("Escape");
    ASSERT_TRUE(s.tmux.WaitScreen("cancel", 20000)) << s.tmux.Screen();
    ASSERT_TRUE(s.TypeUntilReceived('k')) << s.tmux.Screen();
    EXPECT_EQ(s.sim->Received().find("after"), std::string::npos);
    s.Quit();
}

TEST(ScriptE2e, SilentControllerEndsTheWaitAndTheScriptGoesOn)
{
    TempDir dir;
    PtyPeer com1(dir, "com1");
    Tmux tmux(120, 40);
    WriteFile(dir / "prog.exe", "program");
    WriteFile(dir / "tarvik.F4", "/load prog.exe\n/sendcmd after\n");
    tmux.Start(TarvikCommand({{1, com1.link()}}), dir.path());
    ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
    com1.Read(200, 50);
    tmux.Key("F4");
    EXPECT_EQ(com1.ReadN(5), "LOAD\r");
    // No '!' ever comes: the wait ends by its bound, the failed download
    // does not stop the script.
    EXPECT_EQ(com1.ReadN(6, 120000), "after\r") << tmux.Screen();
    tmux.Key("M-x");
    EXPECT_TRUE(tmux.WaitExit());
}

}  // namespace
