// The help screens.  The English pages are printed as they are; the
// Chinese pages are code-page byte strings (help_zh.cpp) that the console
// layer shows in the terminal's character set.
#include "help.h"

#include "console.h"
#include "globals.h"
#include "system.h"

#include <cstdio>
#include <cstring>

const char HelpEnglishPage1[] =
    "\n\r"
    "1. Command line parameter:\n\r"
    "/c#     using com # (default is COM1)\n\r"
    "/b#     baud=# (default is 115200)(N81)\n\r"
    "/s#     Set screen rows. Default is 25. range is 20-50.\n\r"
    "   [ If do not use parameter, will use last time setting or default setting. ]\n\r"
    "2. Hotkey:\n\r"
    "F1:    Show help message.\n\r"
    "ALT_F1:Show Chinese help message(BIG5).\n\r"
    "CTRL_F1:Show Chinese help message(GB2312).\n\r"
    "F2:    set file name for auto downlaod.\n\r"
    "ALT_F2:    set file names for auto downlaod multi-files.\n\r"
    "F3:    Send the command \"RUN\", for run the last file in FLASH.\n\r"
    "F5:    Auto RUN\n\r"
    "ALT_F5:RUN the file stored in SRAM.\n\r"
    "F6:    Set auto run argument(s)\n\r"
    "F8:    Auto downlaod file to FLASH, then run the program.\n\r"
    "F9:    Auto downlaod file to FLASH.\n\r"
    "ALT_F9:Auto downlaod multi-files to FLASH.\n\r"
    "F10:   Auto download file to SRAM, then run the program.\n\r"
    "ALT_F10:Auto download file to SRAM.\n\r"
    "CTRL_F6:Clear screen\n\r"
    "ALT_1 - ALT_9 : Set to use COM1 - COM9 if possible\n\r"
    "*** Press any key to continue ***\n\r";

const char HelpEnglishPage2[] =
    "\n\r"
    "ALT_C: use COMMAND.\n\r"
    "          q: quit command mode.\n\r"
    "          c#: set to use COM#.\n\r"
    "          b#: set baud rate to #.\n\r"
    "          N/E/O: No/Even/Odd parity.\n\r"
    "          5/6/7/8: 5/6/7/8 data bits.\n\r"
    "          1/2: 1/2 stop bit.\n\r"
    "          p#: change work directory.\n\r"
    "          f[filename]: set file name for auto downlaod.\n\r"
    "          [P.S.]: Parity,data,stop bits can be set together like N81\n\r"
    "ALT_D: Set DATE of PC to Quarnix system\n\r"
    "ALT_A: Toggle ANSI escape code mode.\n\r"
    "ALT_H: Toggle HEX/ASCII mode.\n\r"
    "ALT_L: Toggle Line/Normal mode.\n\r"
    "ALT_T: Set TIME of PC to Quarnix system\n\r"
    "ALT_B: Send BREAK signal(2 seconds)\n\r"
    "ALT_X: exit tarvik.exe\n\r"
    "*** end ***\n\r";

namespace {

// How long one wait for the key between the pages lasts before the wait
// looks at ExitRequest again.
constexpr int PageKeyWaitMs = 50;

void ShowPage(const char *text, unsigned codePage)
{
    ConWriteCodePage(text, std::strlen(text), codePage);
}

// Waits for any key; the key ends the wait and nothing else.  The program's
// end (ExitRequest, set by a signal or the other thread) also ends it.
void WaitPageKey()
{
    std::fflush(stdout);
    while (ConReadKey() == 0) {
        if (ExitRequest)
            return;
        ConWaitInput(PageKeyWaitMs);
    }
}

void ShowTwoPages(const char *page1, const char *page2, unsigned codePage)
{
    ShowBanner();
    ShowPage(page1, codePage);
    WaitPageKey();
    ShowPage(page2, codePage);
    std::fflush(stdout);
}

}  // namespace

void ShowHelp()
{
    ShowBanner();
    std::fputs(HelpEnglishPage1, stdout);
    WaitPageKey();
    std::fputs(HelpEnglishPage2, stdout);
    std::fflush(stdout);
}

void ShowHelpBig5()
{
    std::printf("Current CP=%u\n\r", ConGetInputCodePage());
    if (ConGetInputCodePage() != 950) {
        ConSetInputCodePage(950);
        std::printf("Now Current CP=%u\n\r", ConGetInputCodePage());
    }
    ShowTwoPages(HelpBig5Page1, HelpBig5Page2, 950);
}

void ShowHelpGb2312()
{
    ShowTwoPages(HelpGb2312Page1, HelpGb2312Page2, 936);
}

void ShowBanner()
{
    std::printf(BannerFormat, SysName());
    std::printf("\n");
}
