// Random input for the script reader, SplitTokens and sendhex: nothing may
// overrun (run under the asan preset), and the results keep their limits.
#include "e2e.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <random>
#include <string>
#include <unistd.h>

#include "globals.h"
#include "script/script.h"
#include "system.h"

namespace {

const char *const Pieces[] = {
    "//L:", "//G:", "//I:", "//IL:", "//P:", "/", "//", "/senddata ", "/sendcmd ", "/sendhex ", "/SENDHEX \"",
    "/run inner.txt", "/run", "/load nothere.exe", "/cls", "/pause 1", "/upload", "a", "b", "n", ",", "=", "-",
    "2147483647", "-2147483648", "99999999999", "0", "7", "ff", "\"", " ", "\t", "\r", "\n", "\r\n",
    "abcdefghijklmnopqrstuvwxyz0123456789",
};

std::string RandomScript(std::mt19937 &rng)
{
    std::string s;
    int n = std::uniform_int_distribution<int>(0, 200)(rng);
    for (int i = 0; i < n; ++i) {
        if (rng() % 5 == 0) {
            int k = std::uniform_int_distribution<int>(1, 300)(rng);
            for (int j = 0; j < k; ++j)
                s += static_cast<char>(rng() & 0xFF);
        } else {
            s += Pieces[rng() % (sizeof Pieces / sizeof Pieces[0])];
        }
    }
    return s;
}

class ScriptFuzz : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetGlobals();
        ASSERT_EQ(pipe(keys_), 0);  // no keys: pauses and key checks see nothing
        savedStdin_ = dup(STDIN_FILENO);
        dup2(keys_[0], STDIN_FILENO);
        ASSERT_EQ(getcwd(old_, sizeof old_), old_);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    }
    void TearDown() override
    {
        EXPECT_EQ(chdir(old_), 0);
        dup2(savedStdin_, STDIN_FILENO);
        close(savedStdin_);
        close(keys_[0]);
        close(keys_[1]);
        ResetGlobals();
    }
    e2e::TempDir dir_;
    int keys_[2];
    int savedStdin_;
    char old_[1024];
};

TEST_F(ScriptFuzz, RandomScriptsRunToTheirEnd)
{
    // No port is open: what the commands send goes nowhere.
    std::mt19937 rng(12345);
    testing::internal::CaptureStdout();
    for (int round = 0; round < 300; ++round) {
        e2e::WriteFile(dir_ / "inner.txt", RandomScript(rng));
        e2e::WriteFile(dir_ / "tarvik.F4", RandomScript(rng));
        e2e::WriteFile(dir_ / "s.txt", RandomScript(rng));
        // Random jumps loop for ever and random pauses wait for a key: the
        // program's end (ALT_X) stops every script after a short while.
        ExitRequest = 0;
        std::atomic<bool> done{false};
        std::thread stopper([&] {
            for (int i = 0; i < 10 && !done; ++i)
                SysSleepMs(5);
            ExitRequest = 1;
        });
        SplitTokens("/run s.txt");
        ExecCommand();
        done = true;
        stopper.join();
        ASSERT_LE(ScriptLabelCount, ScriptTableSize);
        ASSERT_LE(ScriptVarCount, ScriptTableSize);
        for (int i = 0; i < ScriptVarCount; ++i)
            ASSERT_LT(std::strlen(ScriptVars[i].name), static_cast<std::size_t>(ScriptNameSize));
        for (int i = 0; i < ScriptLabelCount; ++i)
            ASSERT_LT(std::strlen(ScriptLabels[i].name), static_cast<std::size_t>(ScriptNameSize));
        ASSERT_EQ(AutoLoadActive, 0);
    }
    testing::internal::GetCapturedStdout();
}

TEST_F(ScriptFuzz, SplitTokensAndSendHexOnRandomLines)
{
    std::mt19937 rng(777);
    for (int round = 0; round < 20000; ++round) {
        std::string line;
        int n = std::uniform_int_distribution<int>(0, 600)(rng);
        for (int i = 0; i < n; ++i) {
            unsigned r = rng() % 8;
            line += r == 0 ? ' ' : r == 1 ? ',' : r == 2 ? '"' : static_cast<char>(rng() % 255 + 1);
        }
        int count = SplitTokens(line.c_str());
        ASSERT_EQ(count, TokenCount);
        ASSERT_LE(count, MaxTokens);
        std::size_t total = 0;
        for (int i = 0; i < count; ++i) {
            ASSERT_NE(Tokens[i], nullptr);
            std::size_t len = std::strlen(Tokens[i]);
            ASSERT_GT(len, 0u);
            ASSERT_EQ(std::strpbrk(Tokens[i], " ,\r\t"), nullptr);
            total += len;
        }
        ASSERT_LE(total, static_cast<std::size_t>(TokenLineSize - 1));
        unsigned char out[ScriptSendHexSize];
        int built = BuildSendHex(Tokens, count, out, ScriptSendHexSize);
        ASSERT_GE(built, 0);
        ASSERT_LE(built, ScriptSendHexSize);
    }
}

}  // namespace
