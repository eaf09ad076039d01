// The ANSI interpreter on its own: colour lists, parameters, what it shows
// for sequences it does not know, sequences split across calls, and random
// input.  Its output goes to a file here (no terminal), so cursor reads fail
// and moves that need the cursor are left out; the cursor itself is tested
// against a real terminal in ansi_e2e_test.
#include "e2e.h"
#include "ansi.h"
#include "console.h"
#include "globals.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>

namespace {

// The arrow shown for a stray ESC is in the locale's character set.
const int UseUtf8 = (setenv("LC_ALL", "C.UTF-8", 1), 0);
const std::string EscGlyph = "\xE2\x86\x90";

void Feed(const std::string &bytes)
{
    for (unsigned char c : bytes)
        AnsiPutByte(c);
}

std::string Shown(const std::string &bytes)
{
    return e2e::CaptureStdout([&] { Feed(bytes); });
}

// Attribute after a fresh reset and the bytes.
int AttrAfter(const std::string &bytes)
{
    e2e::CaptureStdout([&] {
        AnsiReset();
        Feed(bytes);
    });
    return AnsiAttr;
}

struct ColourCase {
    const char *bytes;
    int attr;
};

TEST(AnsiColour, ListsFromNormal)
{
    const ColourCase cases[] = {
        {"\033[31;44m", 0x14},
        {"\033[1;33m", 0x0E},
        {"\033[33m\033[34m", 0x09},  // the intensity set by 33 stays
        {"\033[5m", 0x87},
        {"\033[1;44m\033[7m", 0x70},  // reverse whatever came before
        {"\033[7m", 0x70},
        {"\033[8m", 0x00},
        {"\033[m", 0x07},
        {"\033[0m", 0x07},
        {"\033[4m", 0x07},             // unknown value: no change
        {"\033[31;m", 0x07},           // a final m in state 2 resets
        {"\033[1;31m\033[2m", 0x04},
        {"\033[1;30m", 0x08},          // black keeps the intensity
        {"\033[5;41m\033[40m", 0x87},  // black background keeps 0x80
        {"\033[43m", 0x67},            // yellow background without intensity
        {"\033[35;46m", 0x35},
        {"\033[36;47m", 0x73},
        {"\033[37;45m", 0x57},
        {"\033[32;42m", 0x22},
        {"\033[31;0;34m", 0x01},       // applied in order, each on the last
        {"\033[1m\033[2J\033[31m", 0x0C},  // a clear does not touch the attribute
        {"\033[999999999999m", 0x07},      // wrapped number: no colour
        {"\033[;;31m", 0x04},              // empty parameters count as 0
    };
    for (const ColourCase &c : cases)
        EXPECT_EQ(AttrAfter(c.bytes), c.attr) << "sequence ESC" << (c.bytes + 1);
}

TEST(AnsiColour, EveryParameterOnEveryAttribute)
{
    const int fg[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    for (int attr = 0; attr < 256; ++attr) {
        auto a = static_cast<std::uint8_t>(attr);
        for (int p = -5; p < 110; ++p) {
            int want = attr;
            if (p == 0) want = 0x07;
            else if (p == 1) want = attr | 0x08;
            else if (p == 2) want = attr & ~0x08;
            else if (p == 5) want = attr | 0x80;
            else if (p == 7) want = 0x70;
            else if (p == 8) want = 0x00;
            else if (p == 33) want = (attr & 0xF8) | 0x0E;
            else if (p >= 30 && p <= 37) want = (attr & 0xF8) | fg[p - 30];
            else if (p >= 40 && p <= 47) want = (attr & 0x8F) | (fg[p - 40] << 4);
            ASSERT_EQ(AnsiApplyColour(a, p), want) << "attr " << attr << " param " << p;
        }
    }
}

TEST(AnsiColour, AppliedOnceAtTheEndOfTheList)
{
    std::string out = e2e::CaptureStdout([] {
        AnsiReset();
        Feed("\033[31;44m");
    });
    char seq[32];
    ConAttributeToAnsi(0x14, seq, sizeof seq);
    EXPECT_EQ(out.find(seq), out.size() - std::string(seq).size()) << out;
    ConAttributeToAnsi(0x04, seq, sizeof seq);
    EXPECT_EQ(out.find(seq), std::string::npos) << "the 31 alone was applied";
}

TEST(AnsiParams, StoredAndBounded)
{
    e2e::CaptureStdout([] {
        AnsiReset();
        Feed("\033[12;;345;");
    });
    EXPECT_EQ(AnsiState, 2);
    ASSERT_EQ(AnsiParamCount, 3);
    EXPECT_EQ(AnsiParams[0], 12);
    EXPECT_EQ(AnsiParams[1], 0);
    EXPECT_EQ(AnsiParams[2], 345);

    // 25 parameters: the 21st and later are dropped.
    std::string seq = "\033[";
    for (int i = 1; i <= 25; ++i)
        seq += std::to_string(100 + i) + ";";
    e2e::CaptureStdout([&] {
        AnsiReset();
        Feed(seq);
    });
    EXPECT_EQ(AnsiParamCount, AnsiMaxParams);
    EXPECT_EQ(AnsiParams[19], 120);

    // Twenty resets, then a 31 that does not fit: the colour stays normal.
    std::string colours = "\033[";
    for (int i = 0; i < 20; ++i)
        colours += "0;";
    EXPECT_EQ(AttrAfter("\033[1;32m" + colours + "31m"), 0x07);

    // A long number wraps like 32-bit arithmetic.
    e2e::CaptureStdout([] {
        AnsiReset();
        Feed("\033[4294967297;");
    });
    EXPECT_EQ(AnsiParams[0], 1);
}

TEST(AnsiShow, OrdinaryAndUnknownBytes)
{
    e2e::CaptureStdout([] { AnsiReset(); });
    EXPECT_EQ(Shown("plain\r\n\b\a"), "plain\r\n\b\a");
    EXPECT_EQ(Shown("\033X"), EscGlyph + "X");
    EXPECT_EQ(Shown("\033\033"), EscGlyph + EscGlyph);
    EXPECT_EQ(AnsiState, 0);
    EXPECT_EQ(Shown("a"), "a");
    EXPECT_EQ(Shown("\033[J"), "J");
    EXPECT_EQ(Shown("\033[1Jz"), "z");
    EXPECT_EQ(Shown("\033[0Jz"), "z");
    EXPECT_EQ(Shown("\033[5Kz"), "z");   // only the bare ESC [ K clears
    EXPECT_EQ(Shown("\033[3sz\033[3uy"), "zy");
    EXPECT_EQ(Shown("\033[?25h"), "?25h");  // '?' shown, then plain text
    EXPECT_EQ(Shown("\x9B" "2J"), "\u00A2" "2J");  // only ESC [ opens a sequence; 0x9B is a character
    EXPECT_EQ(Shown("\033[12;40xq"), "q");       // unknown final: dropped whole
}

TEST(AnsiShow, ClearsAndPositions)
{
    e2e::CaptureStdout([] { AnsiReset(); });
    EXPECT_EQ(Shown("\033[K"), "\033[0m\033[K");
    std::string cls = e2e::CaptureStdout([] { ConClearScreen(); });
    EXPECT_EQ(Shown("\033[2J"), cls);
    // Output is a file: the screen size is unknown, the move is made.
    EXPECT_EQ(Shown("\033[10;20H"), "\033[11;21H");
    EXPECT_EQ(Shown("\033[;5f"), "\033[1;6H");
    EXPECT_EQ(Shown("\033[5H"), "\033[6;1H");
    EXPECT_EQ(Shown("\033[H"), "\033[1;1H");
    EXPECT_EQ(Shown("\033[1;1;7H"), "\033[2;2H");  // beyond the second: ignored
    // ESC [ u right after a reset: the saved 0,0 is off the screen.
    e2e::CaptureStdout([] { AnsiReset(); });
    EXPECT_EQ(Shown("\033[u"), "");
    // A red clear to end of line blanks in normal colours, then goes on red.
    std::string red = Shown("\033[31m");
    EXPECT_EQ(Shown("\033[K"), "\033[0m\033[K" + red);
}

TEST(AnsiSplit, AnySplitGivesTheSameResult)
{
    const char *sequences[] = {"\033[31;44mA", "\033[10;20Hx", "\033[;5Hy", "\033[2Jz", "\033[1;33m\033[34mB",
                               "\033[Kq", "\033X", "\033[123456;m", "\033[J"};
    for (const char *s : sequences) {
        std::string seq = s;
        std::string whole = e2e::CaptureStdout([&] {
            AnsiReset();
            Feed(seq);
        });
        int attr = AnsiAttr;
        for (std::size_t cut = 1; cut < seq.size(); ++cut) {
            for (std::size_t cut2 = cut; cut2 < seq.size(); ++cut2) {
                std::string out = e2e::CaptureStdout([&] {
                    AnsiReset();
                    Feed(seq.substr(0, cut));
                    Feed(seq.substr(cut, cut2 - cut));
                    Feed(seq.substr(cut2));
                });
                EXPECT_EQ(out, whole) << "ESC" << seq.substr(1) << " cut at " << cut << "," << cut2;
                EXPECT_EQ(AnsiAttr, attr);
                EXPECT_EQ(AnsiState, 0);
            }
        }
    }
}

// Random bytes, weighted towards the interpreter's own alphabet.  Under the
// asan preset any write outside the parameter array is reported.
TEST(AnsiFuzz, RandomBytesStayInBounds)
{
    const std::string alphabet = "\033[;0123456789mHfABCDJKsu\033[;;;;;;;;;9999999";
    std::mt19937 rng(20261208);
    e2e::CaptureStdout([&] {
        for (int round = 0; round < 200; ++round) {
            AnsiReset();
            for (int i = 0; i < 2000; ++i) {
                unsigned char c = (rng() % 4 == 0) ? static_cast<unsigned char>(rng() & 0xFF)
                                                   : static_cast<unsigned char>(alphabet[rng() % alphabet.size()]);
                AnsiPutByte(c);
                ASSERT_GE(AnsiState, 0);
                ASSERT_LE(AnsiState, 3);
                ASSERT_GE(AnsiParamCount, 0);
                ASSERT_LE(AnsiParamCount, AnsiMaxParams);
            }
        }
        // Very long parameter lists.
        AnsiReset();
        AnsiPutByte(0x1B);
        AnsiPutByte('[');
        for (int i = 0; i < 100000; ++i)
            AnsiPutByte(i % 3 == 2 ? ';' : '7');
        AnsiPutByte('m');
    });
    EXPECT_EQ(AnsiParamCount, AnsiMaxParams);
    EXPECT_EQ(AnsiState, 0);
}

}  // namespace
