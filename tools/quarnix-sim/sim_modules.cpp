// I/O modules on the simulated line (placeholder).
#include "sim.h"

int ModulesOption(const char *, const char *, int *) { return 0; }
int ModulesCommand(int, char **, const char *) { return 0; }
void ModulesTick() {}
void ModulesUsage() {}
