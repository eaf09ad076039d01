// The version banner and the help screens: English (F1), Chinese in BIG5 (ALT_F1) and in GB2312
// (CTRL_F1).  Each shows the version banner, page 1, waits for a key (which
// is used for nothing else) and shows page 2.
#pragma once

// The version banner; %s is the system's name (SysName).
constexpr const char *BannerFormat = "tarvi for %s version 1.30 (2005/11/29)";

// Prints the version banner on a line of its own (at start-up and at the
// top of every help screen).
void ShowBanner();

void ShowHelp();
void ShowHelpBig5();
void ShowHelpGb2312();

// The page texts.  Each begins with "\n\r" and ends every line with "\n\r";
// none holds a zero byte.  The Chinese pages are byte strings in code page
// 950 (Big5) and code page 936 (GB2312 family), the same characters line
// for line.
extern const char HelpEnglishPage1[];
extern const char HelpEnglishPage2[];
extern const char HelpBig5Page1[];
extern const char HelpBig5Page2[];
extern const char HelpGb2312Page1[];
extern const char HelpGb2312Page2[];
