// Console layer: raw key input turned into one key code per key press, a
// line reader, text attributes, screen clearing and the window title.
//
// Ordinary output is formatted printing to standard output; this layer only
// sets the attribute in which that text is shown.  One back-end per platform
// implements the operations (console_posix.cpp, console_win32.cpp).
#pragma once

#include <cstddef>

// Key codes: 0 no key; 1..255 and negative values are characters; named
// keys from 0x100 up.
constexpr int KEY_F1 = 0x3000;      // F1..F12   = 0x3000..0x3B00
constexpr int KEY_SHIFT_F1 = 0xF000;
constexpr int KEY_CTRL_F1 = 0x7000;  // CTRL_F1.. = 0x7000..0x7B00
constexpr int KEY_ALT_F1 = 0xB000;   // ALT_F1..  = 0xB000..0xBB00
constexpr int KEY_CTRL_0 = 0x4000;   // CTRL_0..CTRL_9
constexpr int KEY_ALT_0 = 0x8000;    // ALT_0..ALT_9
constexpr int KEY_ALT_A = 0x9100;    // ALT_A..ALT_Z
constexpr int KEY_LEFT = 0x125;
constexpr int KEY_UP = 0x126;
constexpr int KEY_RIGHT = 0x127;
constexpr int KEY_DOWN = 0x128;
constexpr int KEY_ESC = 27;

constexpr int KeyF(int n) { return KEY_F1 + (n - 1) * 0x100; }
constexpr int KeyCtrlF(int n) { return KEY_CTRL_F1 + (n - 1) * 0x100; }
constexpr int KeyAltF(int n) { return KEY_ALT_F1 + (n - 1) * 0x100; }
constexpr int KeyShiftF(int n) { return KEY_SHIFT_F1 + (n - 1) * 0x100; }
constexpr int KeyAlt(char letterOrDigit)
{
    return (letterOrDigit >= '0' && letterOrDigit <= '9')
               ? KEY_ALT_0 + (letterOrDigit - '0') * 0x100
               : 0x8000 + ((letterOrDigit & ~0x20) - 0x30) * 0x100;
}

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
