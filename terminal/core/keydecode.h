// Turns the byte sequences that xterm-compatible terminals send for a key
// press into the key codes of the console layer.  Pure functions, shared by
// the POSIX console back-end, its tests and its fuzz target; built on
// every system.
#pragma once

// Decodes the key at the start of buf[0..len).  Returns the number of bytes
// that the key took (at least 1 when len > 0), or 0 when the bytes so far
// are the start of a longer sequence and more may follow.  *code receives
// the key code, or 0 for a sequence that gives no code (it is consumed
// whole).  When final is true no further byte will follow soon (a lone ESC
// then is the Escape key), and the result is never 0 for len > 0.
int KeyDecodeBytes(const unsigned char *buf, int len, bool final, int *code);

// The key code of an F-key (1..12) or an arrow ('A'..'D' as the terminal
// names them) under an xterm modifier parameter m (1 = none; m - 1 is a bit
// set: 1 Shift, 2 Alt, 4 Ctrl).  0 when that combination gives no code.
int KeyCodeForFunction(int fkey, int modifier);
int KeyCodeForArrow(char letter, int modifier);

// Finds the first complete cursor position report (ESC [ row ; column R,
// the terminal's answer to ESC [ 6 n) in buf[0..len).  Returns 1 with its
// start, its length in bytes and its two values; 0 when there is none yet.
int KeyFindPositionReport(const unsigned char *buf, int len, int *start, int *length, int *row, int *column);
