// Showing what the controller sends.
//
// The controller prints whatever it likes.  Its bytes are shown as a text
// console in a given code page shows them: ESC and the other control
// characters appear as the console font's glyphs and only BEL, BS, TAB, LF
// and CR act, so no byte sequence from the line can drive the user's
// terminal (set its title, colours, modes or screen); bytes 0x80-0xFF are
// characters of the code page (437 unless TARVIK_CODEPAGE names another),
// converted to the terminal's character set.  A character whose bytes are
// split across two reads is shown when its last byte arrives.
//
// A Win32 console does all of this itself, so its back-end writes the bytes
// as they are.  ConInitReceived and ConWriteReceived are used by the receive
// loop only (main thread); they return nothing, since a display cannot
// fail in a way the loop could act on.  One back-end per platform
// (posix/display_posix.cpp, win32/display_win32.cpp).
#pragma once

// Chooses the code page; prints a note when TARVIK_CODEPAGE names one that
// cannot be shown.  Called once at start-up.
void ConInitReceived();

// Writes n received bytes to standard output as described above.  The one
// display of received bytes: Normal mode, ANSI mode's plain bytes, Hex
// mode's character column, Line mode and the armed download's watch.
void ConWriteReceived(const unsigned char *buf, int n);

// Writes text that came from a file or a name (a settings value, a file
// name) in the terminal's own character set, with the same guard: control
// characters other than BEL, BS, TAB, LF and CR as glyphs, nothing that
// could act on the terminal.  Keeps no state; either thread may call it.
void ConWriteText(const char *text);
