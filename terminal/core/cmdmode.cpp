#include "cmdmode.h"

void CommandMode() {}
