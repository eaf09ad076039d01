// File transfers of the simulated controller (placeholder).
#include "sim.h"

int TransferOption(const char *, const char *, int *) { return 0; }
int TransferCommand(int, char **) { return 0; }
void TransferTick() {}
void TransferUsage() {}
