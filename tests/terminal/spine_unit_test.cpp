// Key decoding, colour mapping, the settings file and the line format bits.
#include "console.h"
#include "e2e.h"
#include "globals.h"
#include "keydecode.h"
#include "posix/serial_posix.h"
#include "settings.h"
#include "options.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unistd.h>

namespace {

int Decode(const std::string &bytes, bool final = true, int *used = nullptr)
{
    int code = -999;
    int n = KeyDecodeBytes(reinterpret_cast<const unsigned char *>(bytes.data()), static_cast<int>(bytes.size()),
                           final, &code);
    if (used)
        *used = n;
    return code;
}

struct KeyCase {
    const char *bytes;
    int code;
};

TEST(KeyDecode, TableOfSequences)
{
    const KeyCase cases[] = {
        {"a", 'a'}, {"A", 'A'}, {"\x01", 1}, {"\x1a", 26}, {"\r", 13}, {"\x7f", 8}, {"\x08", 8}, {"\t", 9},
        {"\x11", 0x11}, {"\x13", 0x13},
        {"\x1bOP", 0x3000}, {"\x1bOQ", 0x3100}, {"\x1bOR", 0x3200}, {"\x1bOS", 0x3300},
        {"\x1b[11~", 0x3000}, {"\x1b[12~", 0x3100}, {"\x1b[13~", 0x3200}, {"\x1b[14~", 0x3300},
        {"\x1b[15~", 0x3400}, {"\x1b[17~", 0x3500}, {"\x1b[18~", 0x3600}, {"\x1b[19~", 0x3700},
        {"\x1b[20~", 0x3800}, {"\x1b[21~", 0x3900}, {"\x1b[23~", 0x3A00}, {"\x1b[24~", 0x3B00},
        {"\x1b[[A", 0x3000}, {"\x1b[[B", 0x3100}, {"\x1b[[E", 0x3400},
        {"\x1b[1;2P", 0xF000}, {"\x1b[1;3P", 0xB000}, {"\x1b[1;5P", 0x7000}, {"\x1b[1;7Q", 0x7100},
        {"\x1b[17;5~", 0x7500}, {"\x1b[24;5~", 0x7B00}, {"\x1b[24;3~", 0xBB00}, {"\x1b[20;3~", 0xB800},
        {"\x1b[15;2~", 0xF400},
        {"\x1b[A", 0x126}, {"\x1b[B", 0x128}, {"\x1b[C", 0x127}, {"\x1b[D", 0x125},
        {"\x1bOA", 0x126}, {"\x1bOD", 0x125},
        {"\x1b[1;2D", 0}, {"\x1b[1;5A", 0}, {"\x1b[1;3C", 0},
        {"\x1bx", 0xA800}, {"\x1bX", 0xA800}, {"\x1b" "a", 0x9100}, {"\x1b" "1", 0x8100}, {"\x1b" "0", 0x8000},
        {"\x1b" "9", 0x8900}, {"\x1b" "c", 0x9300}, {"\x1b" "g", 0x9700},
        {"\x1b", 27},
        {"\x1b[2~", 0}, {"\x1b[3~", 0}, {"\x1b[H", 0}, {"\x1b[?1;2c", 0}, {"\x1b[200~", 0},
        {"\xe9", static_cast<signed char>(0xE9)},
    };
    for (const auto &c : cases) {
        std::string bytes = c.bytes;
        int used = 0;
        EXPECT_EQ(Decode(bytes, true, &used), c.code) << "sequence of " << bytes.size() << " bytes: " << bytes.substr(1);
        EXPECT_EQ(used, static_cast<int>(bytes.size())) << "whole sequence consumed: " << bytes.substr(1);
    }
}

TEST(KeyDecode, WaitsForTheRestOfASequence)
{
    int used = -1;
    Decode("\x1b", false, &used);
    EXPECT_EQ(used, 0);
    Decode("\x1b[", false, &used);
    EXPECT_EQ(used, 0);
    Decode("\x1b[17;5", false, &used);
    EXPECT_EQ(used, 0);
    Decode("\x1bO", false, &used);
    EXPECT_EQ(used, 0);
    // A key after a complete sequence stays for the next call.
    EXPECT_EQ(Decode("\x1b[Ab", false, &used), 0x126);
    EXPECT_EQ(used, 3);
    // ESC ESC: the first one is the Escape key.
    EXPECT_EQ(Decode("\x1b\x1b[A", false, &used), 27);
    EXPECT_EQ(used, 1);
}

TEST(KeyDecode, RandomBytesNeverOverrun)
{
    unsigned seed = 12345;
    unsigned char buf[64];
    for (int round = 0; round < 20000; ++round) {
        int len = 1 + static_cast<int>((seed = seed * 1103515245 + 12345) >> 16) % 64;
        for (int i = 0; i < len; ++i) {
            seed = seed * 1103515245 + 12345;
            unsigned r = seed >> 16;
            buf[i] = (r % 4 == 0) ? 0x1b : (r % 4 == 1) ? static_cast<unsigned char>("[O;~0123456789ABCDPQRS"[r % 22]) : static_cast<unsigned char>(r);
        }
        int off = 0;
        while (off < len) {
            int code = 0;
            int used = KeyDecodeBytes(buf + off, len - off, true, &code);
            ASSERT_GE(used, 1);
            ASSERT_LE(used, len - off);
            off += used;
        }
    }
}

TEST(Colour, AttributesBecomeAnsiColoursWithRedAndBlueSwapped)
{
    struct {
        int attr;
        const char *seq;
    } cases[] = {
        {0x07, "\033[0m"},            // normal text: the terminal's own colours
        {0x0A, "\033[0;92;40m"},      // light green
        {0x0B, "\033[0;96;40m"},      // light cyan
        {0x0F, "\033[0;97;40m"},      // bright white
        {0x31, "\033[0;34;46m"},      // blue on cyan
        {0x02, "\033[0;32;40m"},      // green
        {0x04, "\033[0;31;40m"},      // red
        {0x01, "\033[0;34;40m"},      // blue
        {0x4F, "\033[0;97;41m"},      // bright white on red
        {0x2F, "\033[0;97;42m"},      // bright white on green
        {0x6E, "\033[0;93;43m"},      // yellow on brown
        {0xF3, "\033[0;36;107m"},     // cyan on bright white
        {0x74, "\033[0;31;47m"},      // red on grey
        {0x3F, "\033[0;97;46m"},      // bright white on cyan
    };
    for (auto &c : cases) {
        char out[32];
        ConAttributeToAnsi(c.attr, out, sizeof out);
        EXPECT_STREQ(out, c.seq) << "attribute " << std::hex << c.attr;
    }
}

TEST(LineFormat, DataParityStopBits)
{
    tcflag_t f = CS8 | CREAD;
    ComPosixApplyFormat(&f, 1, 7, 2);
    EXPECT_EQ(f & CSIZE, static_cast<tcflag_t>(CS7));
    EXPECT_TRUE(f & PARENB);
    EXPECT_FALSE(f & PARODD);
    EXPECT_TRUE(f & CSTOPB);
    ComPosixApplyFormat(&f, 2, 5, 1);
    EXPECT_EQ(f & CSIZE, static_cast<tcflag_t>(CS5));
    EXPECT_TRUE((f & PARENB) && (f & PARODD) && !(f & CMSPAR));
    EXPECT_FALSE(f & CSTOPB);
    ComPosixApplyFormat(&f, 3, 6, 1);  // mark
    EXPECT_TRUE((f & PARENB) && (f & CMSPAR) && (f & PARODD));
    ComPosixApplyFormat(&f, 4, 8, 1);  // space
    EXPECT_TRUE((f & PARENB) && (f & CMSPAR) && !(f & PARODD));
    ComPosixApplyFormat(&f, 0, 8, 1);
    EXPECT_FALSE(f & (PARENB | PARODD | CMSPAR));
    // Out-of-range values change only the other fields.
    tcflag_t before = CS6 | PARENB;
    tcflag_t g = before;
    ComPosixApplyFormat(&g, 7, 9, 3);
    EXPECT_EQ(g, before);
    ComPosixApplyFormat(&g, 7, 8, 3);
    EXPECT_EQ(g & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(g & PARENB);
}

TEST(LineFormat, FlowControlModes)
{
    tcflag_t f = 0;
    ComPosixApplyFlow(&f, 1);
    EXPECT_TRUE(f & CRTSCTS);
    ComPosixApplyFlow(&f, 0);
    EXPECT_FALSE(f & CRTSCTS);
    ComPosixApplyFlow(&f, 2);
    EXPECT_TRUE(f & CRTSCTS);
    ComPosixApplyFlow(&f, 3);
    EXPECT_FALSE(f & CRTSCTS);
    ComPosixApplyFlow(&f, 2);
    ComPosixApplyFlow(&f, 9);
    EXPECT_FALSE(f & CRTSCTS);
}

// Runs each settings case in a scratch directory.
class Settings : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetGlobals();
        ASSERT_EQ(getcwd(old_, sizeof old_), old_);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    }
    void TearDown() override
    {
        ASSERT_EQ(chdir(old_), 0);
        ResetGlobals();
    }
    e2e::TempDir dir_;
    char old_[1024];
};

TEST_F(Settings, DefaultsWrittenByteForByte)
{
    SavedPort = 1;
    SaveSettings();
    EXPECT_EQ(e2e::ReadFile("tarvik.ini"), "C1 B115200 P0 D8 S1\nF \n\nw25\n");
    ResetGlobals();
    LoadSettings();
    EXPECT_EQ(SavedPort, 1);
    EXPECT_EQ(BaudRate, 115200);
    EXPECT_EQ(ScreenRows, 25);
    EXPECT_STREQ(DownloadFileName, "");
}

TEST_F(Settings, ListsRoundTrip)
{
    std::strcpy(DownloadFileName, "prog.exe");
    std::strcpy(RunArgs[0], "-v");
    std::strcpy(RunArgs[1], "42");
    std::strcpy(MultiFiles[0], "a.exe");
    std::strcpy(MultiFiles[1], "b.dat");
    std::strcpy(RunArgs[3], "after-a-gap");  // not used: the list ends at entry 2
    SaveSettings();
    EXPECT_EQ(e2e::ReadFile("tarvik.ini"), "C0 B115200 P0 D8 S1\nFprog.exe A-v A42 \nXa.exe Xb.dat \nw25\n");
    ResetGlobals();
    LoadSettings();
    EXPECT_STREQ(DownloadFileName, "prog.exe");
    EXPECT_STREQ(RunArgs[1], "42");
    EXPECT_STREQ(RunArgs[2], "");
    EXPECT_STREQ(MultiFiles[1], "b.dat");
}

TEST_F(Settings, LowerCaseTokensOnOneLine)
{
    e2e::WriteFile("tarvik.ini", "c3 b19200 p1 d7 s1");
    LoadSettings();
    EXPECT_EQ(SavedPort, 3);
    EXPECT_EQ(BaudRate, 19200);
    EXPECT_EQ(ParityIndex, 1);
    EXPECT_EQ(DataBits, 7);
    EXPECT_EQ(StopBits, 1);
}

TEST_F(Settings, OnlyBaudRateKeepsOtherDefaults)
{
    e2e::WriteFile("tarvik.ini", "B9600\n");
    LoadSettings();
    EXPECT_EQ(BaudRate, 9600);
    EXPECT_EQ(SavedPort, 0);
    EXPECT_EQ(DataBits, 8);
    EXPECT_EQ(ScreenRows, 25);
}

TEST_F(Settings, ElevenArgumentsFillTenAndEmptyFClearsTheName)
{
    std::strcpy(DownloadFileName, "old.exe");
    e2e::WriteFile("tarvik.ini", "A1 A2 A3 A4 A5 A6 A7 A8 A9 A10 A11 F");
    LoadSettings();
    EXPECT_STREQ(RunArgs[0], "1");
    EXPECT_STREQ(RunArgs[9], "10");
    EXPECT_STREQ(DownloadFileName, "");
}

TEST_F(Settings, OverlongValuesAreCutNotOverrun)
{
    std::string longArg(60, 'a');
    std::string longToken(300, 'f');
    e2e::WriteFile("tarvik.ini", "A" + longArg + " F" + longToken + " X" + longToken + " Bxyz P9 W30");
    LoadSettings();
    EXPECT_EQ(std::string(RunArgs[0]), std::string(19, 'a'));
    // Each value keeps what fits its field (a token is read whole up to
    // the longest field, so every value saved reads back the same).
    EXPECT_EQ(std::string(DownloadFileName), std::string(119, 'f'));
    EXPECT_EQ(std::string(MultiFiles[0]), std::string(199, 'f'));
    EXPECT_EQ(BaudRate, 115200);  // no number: unchanged
    EXPECT_EQ(ParityIndex, 0);    // outside the five letters: not taken
    EXPECT_EQ(ScreenRows, 30);
}

TEST_F(Settings, ReloadTakesOnlyTheListsAndKeepsMissingOnes)
{
    std::strcpy(DownloadFileName, "keep.exe");
    std::strcpy(RunArgs[0], "x");
    std::strcpy(RunArgs[1], "y");
    BaudRate = 4800;
    e2e::WriteFile("tarvik.ini", "B9600 Anew Xm.exe");
    ReloadFileLists();
    EXPECT_EQ(BaudRate, 4800);
    EXPECT_STREQ(DownloadFileName, "keep.exe");
    EXPECT_STREQ(RunArgs[0], "new");
    EXPECT_STREQ(RunArgs[1], "y");
    EXPECT_STREQ(MultiFiles[0], "m.exe");
    unlink("tarvik.ini");
    ReloadFileLists();  // no file: nothing changes
    EXPECT_STREQ(RunArgs[0], "new");
}

TEST(Options, ParseOptionValues)
{
    ResetGlobals();
    ParseOption("/b9600");
    EXPECT_EQ(BaudRate, 9600);
    ParseOption("/B 19200x");
    EXPECT_EQ(BaudRate, 19200);
    ParseOption("/S10");
    EXPECT_EQ(ScreenRows, 20);
    ParseOption("/s99");
    EXPECT_EQ(ScreenRows, 50);
    ParseOption("/S33");
    EXPECT_EQ(ScreenRows, 33);
    ParseOption("/F2");
    EXPECT_EQ(FlowControl, 2);
    ParseOption("/Q5");  // unknown letter: nothing
    ParseOption("/");
    EXPECT_EQ(BaudRate, 19200);
    ResetGlobals();
}

TEST(Numbers, DecimalReading)
{
    int v = 7;
    EXPECT_EQ(ParseDecimal("  -12ab", &v), 1);
    EXPECT_EQ(v, -12);
    EXPECT_EQ(ParseDecimal("+5", &v), 1);
    EXPECT_EQ(v, 5);
    EXPECT_EQ(ParseDecimal("x5", &v), 0);
    EXPECT_EQ(ParseDecimal("-", &v), 0);
    EXPECT_EQ(ParseDecimal("99999999999999999999", &v), 1);
    EXPECT_EQ(v, 2147483647);
    EXPECT_EQ(DecimalOrZero("abc"), 0);
}

}  // namespace
