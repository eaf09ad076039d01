// The help texts: the English pages byte for byte, the two Chinese byte
// strings (decoded with iconv) the same text line for line, and the console
// layer's code-page output and input code page.
#include "e2e.h"
#include "console.h"
#include "help.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iconv.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const int UseUtf8 = (setenv("LC_ALL", "C.UTF-8", 1), 0);

std::string Page(const std::vector<std::string> &lines)
{
    std::string s = "\n\r";
    for (auto &l : lines)
        s += l + "\n\r";
    return s;
}

// Decodes text in a code page to UTF-8; fails the test on a bad byte.
std::string Decode(const std::string &text, const char *charset)
{
    iconv_t cd = iconv_open("UTF-8", charset);
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << charset;
    if (cd == reinterpret_cast<iconv_t>(-1))
        return "";
    std::string out(text.size() * 4 + 16, '\0');
    char *in = const_cast<char *>(text.data());
    std::size_t inLeft = text.size();
    char *o = out.data();
    std::size_t outLeft = out.size();
    std::size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
    EXPECT_NE(r, static_cast<std::size_t>(-1)) << charset << " stops at byte " << (text.size() - inLeft);
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

// Splits a page into its lines; checks the "\n\r" framing on the way.
std::vector<std::string> Lines(const std::string &page)
{
    std::vector<std::string> lines;
    EXPECT_EQ(page.substr(0, 2), "\n\r");
    std::size_t pos = 2;
    while (pos < page.size()) {
        std::size_t end = page.find("\n\r", pos);
        EXPECT_NE(end, std::string::npos) << "last line without its \\n\\r";
        if (end == std::string::npos)
            break;
        lines.push_back(page.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

TEST(HelpEnglish, PagesByteForByte)
{
    const std::string page1 = Page({
        "1. Command line parameter:",
        "/c#     using com # (default is COM1)",
        "/b#     baud=# (default is 115200)(N81)",
        "/s#     Set screen rows. Default is 25. range is 20-50.",
        "   [ If do not use parameter, will use last time setting or default setting. ]",
        "2. Hotkey:",
        "F1:    Show help message.",
        "ALT_F1:Show Chinese help message(BIG5).",
        "CTRL_F1:Show Chinese help message(GB2312).",
        "F2:    set file name for auto downlaod.",
        "ALT_F2:    set file names for auto downlaod multi-files.",
        "F3:    Send the command \"RUN\", for run the last file in FLASH.",
        "F5:    Auto RUN",
        "ALT_F5:RUN the file stored in SRAM.",
        "F6:    Set auto run argument(s)",
        "F8:    Auto downlaod file to FLASH, then run the program.",
        "F9:    Auto downlaod file to FLASH.",
        "ALT_F9:Auto downlaod multi-files to FLASH.",
        "F10:   Auto download file to SRAM, then run the program.",
        "ALT_F10:Auto download file to SRAM.",
        "CTRL_F6:Clear screen",
        "ALT_1 - ALT_9 : Set to use COM1 - COM9 if possible",
        "*** Press any key to continue ***",
    });
    const std::string page2 = Page({
        "ALT_C: use COMMAND.",
        "          q: quit command mode.",
        "          c#: set to use COM#.",
        "          b#: set baud rate to #.",
        "          N/E/O: No/Even/Odd parity.",
        "          5/6/7/8: 5/6/7/8 data bits.",
        "          1/2: 1/2 stop bit.",
        "          p#: change work directory.",
        "          f[filename]: set file name for auto downlaod.",
        "          [P.S.]: Parity,data,stop bits can be set together like N81",
        "ALT_D: Set DATE of PC to Quarnix system",
        "ALT_A: Toggle ANSI escape code mode.",
        "ALT_H: Toggle HEX/ASCII mode.",
        "ALT_L: Toggle Line/Normal mode.",
        "ALT_T: Set TIME of PC to Quarnix system",
        "ALT_B: Send BREAK signal(2 seconds)",
        "ALT_X: exit tarvik.exe",
        "*** end ***",
    });
    EXPECT_EQ(std::string(HelpEnglishPage1), page1);
    EXPECT_EQ(std::string(HelpEnglishPage2), page2);
    EXPECT_EQ(std::strlen(HelpEnglishPage1), 965u);
    EXPECT_EQ(std::strlen(HelpEnglishPage2), 653u);
}

struct ChinesePage {
    const char *big5;
    const char *gbk;
    std::size_t bytes;
    std::size_t lines;
    const char *last;
};

TEST(HelpChinese, BothCodePagesCarryTheSameText)
{
    const ChinesePage pages[] = {
        {HelpBig5Page1, HelpGb2312Page1, 791, 22, "*** Press any key to continue ***"},
        {HelpBig5Page2, HelpGb2312Page2, 669, 21, " *** END ***"},
    };
    for (const ChinesePage &p : pages) {
        std::string big5 = p.big5, gbk = p.gbk;
        EXPECT_EQ(big5.size(), p.bytes);
        EXPECT_EQ(gbk.size(), p.bytes);
        // ASCII is the same bytes in both; every other character is two bytes
        // in both, at the same place.
        ASSERT_EQ(big5.size(), gbk.size());
        for (std::size_t i = 0; i < big5.size(); ++i) {
            unsigned char b = static_cast<unsigned char>(big5[i]);
            unsigned char g = static_cast<unsigned char>(gbk[i]);
            if (b < 0x80) {
                ASSERT_EQ(b, g) << "byte " << i;
            } else {
                ASSERT_GE(g, 0x80) << "byte " << i;
                ASSERT_LT(i + 1, big5.size());
                ++i;
            }
        }
        std::vector<std::string> fromBig5 = Lines(Decode(big5, "CP950"));
        std::vector<std::string> fromGbk = Lines(Decode(gbk, "CP936"));
        ASSERT_EQ(fromBig5.size(), p.lines);
        ASSERT_EQ(fromGbk.size(), p.lines);
        for (std::size_t i = 0; i < p.lines; ++i)
            EXPECT_EQ(fromBig5[i], fromGbk[i]) << "line " << i + 1;
        EXPECT_EQ(fromBig5.back(), p.last);
    }
}

TEST(HelpChinese, TraditionalCharactersAndTheKeysOfTheLineList)
{
    std::string page1 = Decode(HelpBig5Page1, "CP950");
    std::string page2 = Decode(HelpBig5Page2, "CP950");
    // Traditional forms (the simplified ones would be 参数, 键, 设定, 说明).
    for (const char *word : {"參數", "功能鍵", "設定", "螢幕"})
        EXPECT_NE(page1.find(word), std::string::npos) << word;
    EXPECT_NE(page2.find("說明"), std::string::npos);
    std::vector<std::string> l1 = Lines(page1), l2 = Lines(page2);
    ASSERT_EQ(l1.size(), 22u);
    ASSERT_EQ(l2.size(), 21u);
    const char *keys1[] = {"1.", "/c#", "/b#", "/s#", "", "", "2.", "ALT_1 --> COM1, .... ALT_9 --> COM9",
                           "ALT_D", "ALT_T", "ALT_C", "C#", "B#", "N,E,O", "5,6,7,8", "1,2", "n81", "p#",
                           "f[", "Q", "ALT_B", "*** Press any key to continue ***"};
    for (std::size_t i = 0; i < l1.size(); ++i)
        EXPECT_NE(l1[i].find(keys1[i]), std::string::npos) << "page 1 line " << i + 1 << ": " << l1[i];
    EXPECT_EQ(l1[5], "");
    EXPECT_NE(l1[2].find("115200"), std::string::npos);
    EXPECT_NE(l1[3].find("20-50"), std::string::npos);
    const char *keys2[] = {"ALT_A", "ALT_H", "ALT_L", "ALT_E", "ALT_X", "", "F1", "ALT_F1", "F2", "ALT_F2",
                           "F3", "F5", "ALT_F5", "F6", "CTRL_F6", "F8", "F9", "ALT_F9", "F10", "ALT_F10",
                           " *** END ***"};
    for (std::size_t i = 0; i < l2.size(); ++i)
        EXPECT_NE(l2[i].find(keys2[i]), std::string::npos) << "page 2 line " << i + 1 << ": " << l2[i];
    EXPECT_EQ(l2[5], "");
    EXPECT_NE(l2[10].find("\"RUN\""), std::string::npos);
}

TEST(ConsoleCodePage, TextShownInTheTerminalsCharacterSet)
{
    std::string big5 = HelpBig5Page2;
    EXPECT_EQ(e2e::CaptureStdout([&] { ConWriteCodePage(big5.data(), big5.size(), 950); }), Decode(big5, "CP950"));
    std::string gbk = HelpGb2312Page1;
    EXPECT_EQ(e2e::CaptureStdout([&] { ConWriteCodePage(gbk.data(), gbk.size(), 936); }), Decode(gbk, "CP936"));
    // UTF-8 to a UTF-8 terminal passes unchanged.
    EXPECT_EQ(e2e::CaptureStdout([] { ConWriteCodePage("\xE4\xB8\xAD-x", 5, 65001); }), "\xE4\xB8\xAD-x");
    // Broken input: a lead byte without its trail, an unassigned pair; the
    // rest still comes through.
    const char broken[] = "ab\xA4\x40" "cd\xFF\xFF" "ef\xA4";
    EXPECT_EQ(e2e::CaptureStdout([&] { ConWriteCodePage(broken, sizeof broken - 1, 950); }), "ab\xE4\xB8\x80" "cd?ef?");
}

TEST(ConsoleCodePage, InputCodePageIsKept)
{
    // The terminal here is UTF-8.
    EXPECT_EQ(ConGetInputCodePage(), 65001u);
    EXPECT_EQ(ConSetInputCodePage(950), 0);
    EXPECT_EQ(ConGetInputCodePage(), 950u);
    EXPECT_EQ(ConSetInputCodePage(4242), -1);  // no such code page
    EXPECT_EQ(ConGetInputCodePage(), 950u);
    EXPECT_EQ(ConSetInputCodePage(936), 0);
    EXPECT_EQ(ConGetInputCodePage(), 936u);
}

}  // namespace
