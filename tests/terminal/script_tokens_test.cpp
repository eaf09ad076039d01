// SplitTokens: separators, runs of separators, the 20-word and 255-character
// limits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "script/script.h"

namespace {

std::vector<std::string> Split(const char *line)
{
    int n = SplitTokens(line);
    EXPECT_EQ(n, TokenCount);
    std::vector<std::string> out;
    for (int i = 0; i < TokenCount; ++i)
        out.emplace_back(Tokens[i]);
    return out;
}

TEST(SplitTokens, SeparatorsAndRuns)
{
    EXPECT_EQ(Split("/SENDCMD a,b  c"), (std::vector<std::string>{"/SENDCMD", "a", "b", "c"}));
    EXPECT_EQ(Split(" ,\t\r/x,,\t y\r"), (std::vector<std::string>{"/x", "y"}));
    EXPECT_TRUE(Split("").empty());
    EXPECT_TRUE(Split(" , \t\r").empty());
    EXPECT_TRUE(Split(nullptr).empty());
}

TEST(SplitTokens, TokensAreACopyOfTheLine)
{
    char line[] = "/load prog.exe";
    SplitTokens(line);
    line[1] = 'X';
    EXPECT_STREQ(Tokens[0], "/load");
    EXPECT_STREQ(line, "/Xoad prog.exe");
}

TEST(SplitTokens, MoreThanTwentyWordsKeepsTheFirstTwenty)
{
    std::string line;
    for (int i = 0; i < 30; ++i)
        line += "w" + std::to_string(i) + " ";
    auto t = Split(line.c_str());
    ASSERT_EQ(t.size(), 20u);
    EXPECT_EQ(t[0], "w0");
    EXPECT_EQ(t[19], "w19");
}

TEST(SplitTokens, LineBeyond255CharactersIsCut)
{
    std::string line(300, 'a');
    auto t = Split(line.c_str());
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].size(), 255u);

    std::string two = std::string(250, 'b') + " cdefghij";
    t = Split(two.c_str());
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[1], "cdef");
}

TEST(SplitTokens, EmptiesTheOldTokens)
{
    SplitTokens("a b c");
    SplitTokens("d");
    EXPECT_EQ(TokenCount, 1);
    EXPECT_EQ(Tokens[1], nullptr);
}

}  // namespace
