#include "script.h"

char *Tokens[MaxTokens];
int TokenCount;

int SplitTokens(const char *) { return 0; }
void ExecCommand() {}
void RunScript() {}
void ShowSystemError(const char *) {}
