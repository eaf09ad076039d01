#include "script.h"

void ExecCommand() {}
void RunScript() {}
void ShowSystemError(const char *) {}
