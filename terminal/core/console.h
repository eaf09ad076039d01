// Console layer: raw key input turned into one key code per key press, a
// line reader, text attributes, screen clearing, the window title, the
// cursor and code-page text.
//
// Callers: the main thread (start-up, prompts while KeyThreadHold is set,
// the ANSI interpreter and help screens) and the keyboard thread (keys,
// prompts, colours).  Key reads are guarded, so both threads may ask; a key
// goes to one of them.  Ordinary output is formatted printing to standard
// output; this layer only sets the attribute in which that text is shown.
// Functions return 0 on success and -1 where they say they can fail.
//
// One back-end per platform implements what talks to the console
// (posix/console_posix.cpp, win32/console_win32.cpp); console.cpp holds what
// is the same on every system (the line editor, the cursor's single
// coordinates, the attribute's ANSI form).
#pragma once

#include "keys.h"

#include <cstddef>

void ConInitInput();
void ConInitOutput();
int ConReadKey();
// Reads a line with echo and backspace editing; returns the length (0 for
// an empty line).  Gives up with 0 when ExitRequest is set meanwhile.
int ConReadLine(char *buffer, int capacity);
void ConSetColor(int attribute);
int ConGetColor();
void ConClearScreen();
void ConSetTitle(const char *title);

// Waits until a key may be waiting, at most timeout_ms (no busy loop).
void ConWaitInput(int timeout_ms);

// Puts the user's terminal back as it was before ConInitInput.  Safe to call
// more than once; called on every way out, signals included.
void ConRestore();

// Escape sequence (for a terminal that understands ANSI colours) that shows
// a console attribute byte; written into out (at least 32 bytes).
// Console attributes carry blue in bit 0 and red in bit 2, ANSI colour
// numbers the other way round.
void ConAttributeToAnsi(int attribute, char *out, std::size_t size);

// ---- Cursor, line clearing and code pages -----------------------------------
// Used by the ANSI interpreter and the help screens.  Positions are 1-based:
// column 1, row 1 is the top-left cell of the screen.

// The cursor's current column and row.  Returns 0 and fills both, or -1
// when the position cannot be learned (output is not a terminal, or the
// terminal does not answer); then both are set to 0.
int ConGetCursor(int *column, int *row);
int ConCursorColumn();  // 0 when unknown
int ConCursorRow();     // 0 when unknown

// The screen's width and height in cells.  Returns 0, or -1 when unknown.
int ConScreenSize(int *columns, int *rows);

// Puts the cursor at a 1-based position.  A position outside the screen
// (column or row below 1 or beyond its width or height) leaves the cursor
// where it is and returns -1; 0 when the cursor was moved.
int ConMoveCursor(int column, int row);

// Blanks the cells from the cursor to the end of its line in the attribute
// the console had at start-up (0x07); the cursor does not move and later
// text keeps the current attribute.
void ConClearToEndOfLine();

// Shows one byte received from the controller at the cursor, the way the
// console shows it: printable bytes and CR, LF, BS, TAB, BEL act as usual.
// An ESC byte is shown as the console font's arrow glyph: on a terminal
// that reads escape sequences it would otherwise start a command.
void ConPutByte(int byte);

// The console's input code page.  On POSIX terminals this is a number of
// our own: it starts as the code page matching the terminal's character set
// (65001 for UTF-8) and keeps whatever ConSetInputCodePage stores.
unsigned ConGetInputCodePage();
// Returns 0 when the code page was set, -1 for one the console cannot use.
int ConSetInputCodePage(unsigned codePage);

// Writes len bytes of text held in a code page (950, 936, 65001 = UTF-8,
// 437) to standard output, converted to the terminal's character set.
// Characters the terminal's set cannot show come out as '?'.
void ConWriteCodePage(const char *text, std::size_t len, unsigned codePage);
