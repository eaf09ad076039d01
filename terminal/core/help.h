// The help screens: English (F1), Chinese in BIG5 (ALT_F1) and in GB2312
// (CTRL_F1).
#pragma once

void ShowHelp();
void ShowHelpBig5();
void ShowHelpGb2312();
