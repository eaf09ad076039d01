// The script runner in this process, its COM1 the controller simulator:
// directives, commands and their limits, checked by the bytes the
// simulator received.  Standard input is a pipe held by the test, so that
// keys (Escape) can be typed into pauses and between lines.
#include "e2e.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <thread>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "console.h"
#include "globals.h"
#include "script/script.h"
#include "serial.h"
#include "system.h"

using namespace e2e;

namespace {

class Script : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetGlobals();
        ExitRequest = 0;
        ASSERT_EQ(pipe(keys_), 0);
        savedStdin_ = dup(STDIN_FILENO);
        ASSERT_EQ(dup2(keys_[0], STDIN_FILENO), STDIN_FILENO);
        ASSERT_EQ(getcwd(old_, sizeof old_), old_);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
        sim_ = std::make_unique<Simulator>(dir_, std::vector<std::string>{"--quiet"});
        setenv("TARVIK_COM1", sim_->link().c_str(), 1);
        ComResetTable();
        ASSERT_EQ(ComOpen(1), 0);
        CurrentPort = 1;
        // Drain what the simulator answers, as the receive loop would.
        drain_ = std::thread([this] {
            char buf[4096];
            while (!stopDrain_) {
                if (ComWaitReadable(1, 20) > 0)
                    ComRead(1, buf, sizeof buf);
            }
        });
    }
    void TearDown() override
    {
        EXPECT_EQ(chdir(old_), 0);
        stopDrain_ = true;
        if (drain_.joinable())
            drain_.join();
        ComClose(1);
        dup2(savedStdin_, STDIN_FILENO);
        close(savedStdin_);
        close(keys_[0]);
        close(keys_[1]);
        ResetGlobals();
    }
    // Writes the script file and runs it as "/run name" does.
    void Run(const std::string &text, const std::string &name = "s.txt")
    {
        WriteFile(dir_ / name, text);
        RunNamed(name);
    }
    void RunNamed(const std::string &name)
    {
        SplitTokens(("/run " + name).c_str());
        ExecCommand();
    }
    // What the simulator received since the last call: a marker sent
    // after the script shows that everything before it has arrived.
    std::string ReceivedAfter(const std::string &marker = "END")
    {
        SplitTokens(("/senddata " + marker).c_str());
        ExecCommand();
        WaitFor([&] { return sim_->Received().find(marker, consumed_) != std::string::npos; }, 10000);
        std::string got = sim_->Received();
        auto at = got.find(marker, consumed_);
        if (at == std::string::npos)
            return "<marker missing>" + got;
        std::string part = got.substr(consumed_, at - consumed_);
        consumed_ = at + marker.size();
        return part;
    }
    void Key(const std::string &bytes) { ASSERT_EQ(write(keys_[1], bytes.data(), bytes.size()), (ssize_t)bytes.size()); }

    TempDir dir_;
    std::unique_ptr<Simulator> sim_;
    int keys_[2] = {-1, -1};
    int savedStdin_ = -1;
    char old_[1024];
    std::size_t consumed_ = 0;
    std::thread drain_;
    std::atomic<bool> stopDrain_{false};
};

TEST_F(Script, CountedGotoLoopRunsThreeTimes)
{
    Run("//I:n=3\n//L:top\n/sendcmd hello\n//G:top,n\n");
    EXPECT_EQ(ReceivedAfter(), "hello\rhello\rhello\r");
}

TEST_F(Script, IncrementLoopRunsUntilTheLimitIsPassed)
{
    Run("//I:i=0\r\n//L:a\r\n/senddata x\r\n//IL:a,i,2\r\n//P:i\r\n");
    EXPECT_EQ(ReceivedAfter(), "xxx");
    ASSERT_EQ(ScriptVarCount, 1);
    EXPECT_EQ(ScriptVars[0].value, 3);
}

TEST_F(Script, LoopDirectivesWithUndefinedOrMissingParts)
{
    // //G: with an undefined variable: no jump, nothing stored.
    Run("//L:a\n/senddata 1\n//G:a,nov\n/senddata 2\n");
    EXPECT_EQ(ReceivedAfter(), "12");
    EXPECT_EQ(ScriptVarCount, 0);
    // //IL: with an undefined variable counts as 0: no jump below a limit of 0.
    Run("//L:b\n/senddata y\n//IL:b,nov,-1\n/senddata z\n");
    EXPECT_EQ(ReceivedAfter(), "yz");
    EXPECT_EQ(ScriptVarCount, 0);
    // //IL: with one comma adds nothing; with two it counts.
    Run("//I:k=5\n//IL:nolabel,k\n//IL:nolabel\n//IL:\n//G:\n//IL:nolabel,k,9\n//I:j=1\n//IL:nolabel,j,x\n");
    ASSERT_EQ(ScriptVarCount, 2);
    EXPECT_EQ(ScriptVars[0].value, 6);
    EXPECT_EQ(ScriptVars[1].value, 2);
    // Counting wraps at the ends of 32 bits instead of overflowing.
    Run("//I:m=-2147483648\n//G:x,m\n//I:p=2147483647\n//IL:x,p,0\n");
    EXPECT_EQ(ScriptVars[0].value, 2147483647);
    EXPECT_EQ(ScriptVars[1].value, -2147483647 - 1);
}

TEST_F(Script, JumpForwardDoesNothingAndLabelsKeepTheirFirstDefinition)
{
    Run("//G:later\n/senddata a\n//L:later\n/senddata b\n");
    EXPECT_EQ(ReceivedAfter(), "ab");
    // The second //L:x is ignored, so the jump goes back to the first one.
    Run("//I:n=2\n//L:x\n/senddata c\n//L:x\n/senddata d\n//G:x,n\n");
    EXPECT_EQ(ReceivedAfter(), "cdcd");
}

TEST_F(Script, CommandsSplitAtSeparatorsAndCaseOfTheWord)
{
    Run("/SENDCMD a,b  c\n/senddata\tx,,y\n/SendData\n/nosuchcommand q\nsendcmd comment\n /sendcmd comment\n");
    EXPECT_EQ(ReceivedAfter(), "a b c\rx y");
}

TEST_F(Script, SendHexRules)
{
    Run("/sendhex 01 ABC 7\n/sendhex 0x41\n/sendhex \"AB\"\n/sendhex zz 4g1\n/sendhex\n");
    EXPECT_EQ(ReceivedAfter(), std::string("\x01\xAB\x0C\x07\x00" "AB\"\x04", 9));
    unsigned char out[ScriptSendHexSize + 8];
    char q[] = "\"0123456789";
    char *args[MaxTokens];
    for (auto &a : args)
        a = q;
    EXPECT_EQ(BuildSendHex(args, MaxTokens, out, ScriptSendHexSize), ScriptSendHexSize);
}

TEST_F(Script, LongLineIsSplitAfterHundredCharacters)
{
    // 100 characters: "/senddata " and 90 x; then "/senddata tail" as the next line.
    std::string first = "/senddata " + std::string(90, 'x');
    Run(first + "/senddata tail\n" + "/senddata " + std::string(90, 'y') + "comment\n");
    EXPECT_EQ(ReceivedAfter(), std::string(90, 'x') + "tail" + std::string(90, 'y'));
}

TEST_F(Script, NestedRunLeavesItsTablesAndTheOuterScriptGoesOn)
{
    WriteFile(dir_ / "inner.txt", "/senddata I\n//I:k=7\n");
    // Without the nested run the loop would send A three times.
    Run("//I:n=3\n//L:top\n/senddata A\n/run inner.txt\n//G:top,n\n/senddata E\n");
    EXPECT_EQ(ReceivedAfter(), "AIE");
    ASSERT_EQ(ScriptVarCount, 1);
    EXPECT_STREQ(ScriptVars[0].name, "k");
    EXPECT_EQ(ScriptLabelCount, 0);
}

TEST_F(Script, AScriptRunningItselfStopsAtTheDepthLimit)
{
    Run("/senddata r\n/run self.txt\n", "self.txt");
    EXPECT_EQ(ReceivedAfter(), std::string(ScriptMaxDepth, 'r'));
}

TEST_F(Script, MissingFilesAndReadErrors)
{
    testing::internal::CaptureStdout();
    RunNamed("nothere.F4");
    SplitTokens("/run");
    RunScript();  // the default file is missing too
    mkdir((dir_ / "adir").c_str(), 0755);
    RunNamed("adir");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\nCan not open the file : nothere.F4\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nCan not open the file : tarvik.F4\n"), std::string::npos) << out;
    EXPECT_NE(out.find("<ReadFile error>:"), std::string::npos) << out;
    EXPECT_NE(out.find("Is a directory"), std::string::npos) << out;
}

TEST_F(Script, LoadOfAMissingFileSendsNothing)
{
    Run("/load nothere.exe\n/loadr\n/upload nothere.exe\n/senddata ok\n");
    EXPECT_EQ(ReceivedAfter(), "ok");
    EXPECT_EQ(AutoLoadActive, 0);
}

TEST_F(Script, PrintDirective)
{
    testing::internal::CaptureStdout();
    Run("//I:v=-12\n//P:v\n//P:w\n//I:noequals\n//P:noequals\n"
        "//I:e\x1b[?1049h=1\n//P:e\x1b[?1049h\n//P:u\x1b]52;c;eA==\x07\n");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[v=-12]\n[variable w IS NOT DEFINED]\n[variable noequals IS NOT DEFINED]\n"),
              std::string::npos)
        << out;
    // Names from the file reach the terminal only through the display's
    // guard: defined or not, their escape bytes do not.
    EXPECT_NE(out.find("=1]\n[variable u"), std::string::npos) << out;
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
}

TEST_F(Script, TablesHoldTenAndNamesAreCutAtNineteen)
{
    std::string text;
    for (int i = 0; i < 12; ++i)
        text += "//I:v" + std::to_string(i) + "=" + std::to_string(i) + "\n//L:l" + std::to_string(i) + "\n";
    // A 30-character name: defined and used with the same first 19 characters.
    std::string longName(30, 'n');
    text += "//I:" + longName + "=2\n";  // the table is full: ignored
    text += "//I:v0=1\n//L:" + longName + "\n/senddata L\n//G:" + longName + ",v0\n";
    Run(text);
    EXPECT_EQ(ScriptVarCount, ScriptTableSize);
    EXPECT_EQ(ScriptLabelCount, ScriptTableSize);  // the long label came too late
    EXPECT_EQ(ReceivedAfter(), "L");
    for (int i = 0; i < ScriptVarCount; ++i)
        EXPECT_LT(std::strlen(ScriptVars[i].name), static_cast<std::size_t>(ScriptNameSize));

    Run("//I:" + longName + "=2\n//L:" + longName + "\n/senddata M\n//G:" + longName + "xyz,"+ longName + "abc\n");
    EXPECT_EQ(ReceivedAfter(), "MM");
}

TEST_F(Script, TimedPauseEndsOnEscapeAndStopsTheScript)
{
    Key("q");  // dropped by the pause
    std::thread typist([&] {
        SysSleepMs(300);
        Key("\x1b");
    });
    Run("/senddata a\n/pause 60000\n/senddata b\n");
    typist.join();
    EXPECT_EQ(ScriptStop, 1);
    EXPECT_EQ(ReceivedAfter(), "a");
}

TEST_F(Script, PauseWithoutTimeWaitsForAnyKeyAndEscapeDoesNotStop)
{
    std::thread typist([&] {
        SysSleepMs(300);
        Key("\x1b");
        WaitFor([&] { return sim_->Received().find('b') != std::string::npos; }, 10000);
        SysSleepMs(300);
        EXPECT_EQ(sim_->Received().find('c'), std::string::npos);  // still waiting
        Key("k");
    });
    Run("/senddata a\n/pause\n/senddata b\n/pause 0\n/senddata c\n");
    typist.join();
    EXPECT_EQ(ScriptStop, 0);
    EXPECT_EQ(ReceivedAfter(), "abc");
}

TEST_F(Script, EscapeBetweenLinesStopsAnEndlessLoop)
{
    std::thread typist([&] {
        WaitFor([&] { return sim_->Received().size() > 20; }, 10000);
        Key("\x1b");
    });
    Run("//L:a\n/senddata x\n//IL:a,undefined,0\n");  // jumps every time
    typist.join();
    EXPECT_EQ(ScriptStop, 1);
    std::string got = ReceivedAfter();
    EXPECT_GT(got.size(), 20u);
    EXPECT_EQ(got.find_first_not_of('x'), std::string::npos);
}

TEST_F(Script, QuitSetsExitRequestAndEndsTheScript)
{
    Run("/senddata a\n/quit\n/senddata b\n");
    EXPECT_EQ(ExitRequest, 1);
    ExitRequest = 0;
    EXPECT_EQ(ReceivedAfter(), "a");
}

}  // namespace

namespace {

// A download whose end nobody reports (no receive loop runs here; the test
// plays the loop's armed watch, which holds typed keys back): after Escape
// the script's back-stop ends the wait and clears both the armed state and
// the hold on typed keys.
TEST_F(Script, BackStopOfAnArmedWaitLetsTypedKeysThrough)
{
    WriteFile(dir_ / "p.bin", "0123456789");
    std::thread watch([&] {
        WaitFor([] { return AutoLoadActive != 0; }, 10000);
        TransferActive = 1;
        Key("\x1b");
    });
    Run("/load p.bin\n");
    watch.join();
    EXPECT_EQ(AutoLoadActive, 0);
    EXPECT_EQ(TransferActive, 0);
}

}  // namespace
