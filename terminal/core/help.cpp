#include "help.h"

void ShowHelp() {}
void ShowHelpBig5() {}
void ShowHelpGb2312() {}
