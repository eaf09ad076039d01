// Key codes: what the console layer hands out for one key press, the same on
// every system.  The decoders (keydecode.h for terminals, keyevent.h for
// Win32 console events) produce them; the keyboard thread's hotkey table
// and the prompts read them.
#pragma once

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
