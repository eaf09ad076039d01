// ANSI escape emulation for controller programs that draw with escape
// sequences (shown while ANSI mode is on).
#pragma once

void AnsiReset();
void AnsiPutByte(int byte);
