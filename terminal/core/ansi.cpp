#include "ansi.h"

#include <cstdio>

// Placeholder until the interpreter lands: bytes are shown as they are.
void AnsiReset() {}
void AnsiPutByte(int byte) { std::putchar(byte); }
