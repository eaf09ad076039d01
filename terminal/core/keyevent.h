// Turns one key event of a Win32 console (virtual-key code, character,
// control-key state, down or up) into the key code of the console layer.
// Pure: the Win32 console back-end feeds it the records it reads, and the
// tests check it on every system.
#pragma once

#include <cstdint>

// Control-key state bits, as the console reports them in a key event.
constexpr std::uint32_t KeyStateRightAlt = 0x0001;
constexpr std::uint32_t KeyStateLeftAlt = 0x0002;
constexpr std::uint32_t KeyStateRightCtrl = 0x0004;
constexpr std::uint32_t KeyStateLeftCtrl = 0x0008;
constexpr std::uint32_t KeyStateShift = 0x0010;
constexpr std::uint32_t KeyStateNumLock = 0x0020;
constexpr std::uint32_t KeyStateScrollLock = 0x0040;
constexpr std::uint32_t KeyStateCapsLock = 0x0080;
constexpr std::uint32_t KeyStateEnhanced = 0x0100;

// Virtual-key codes that the decoding looks at.  Letters and digits are
// their upper-case ASCII values ('A' = 0x41, '0' = 0x30).
constexpr int VirtualKeyEscape = 0x1B;
constexpr int VirtualKeyLeft = 0x25;
constexpr int VirtualKeyUp = 0x26;
constexpr int VirtualKeyRight = 0x27;
constexpr int VirtualKeyDown = 0x28;
constexpr int VirtualKeyF1 = 0x70;   // F1..F12 = 0x70..0x7B
constexpr int VirtualKeyF12 = 0x7B;

struct KeyEvent {
    bool keyDown;
    int virtualKey;
    char character;  // the character the event carries, 0 for none
    std::uint32_t controlState;
};

// The key code of the event, or 0 when it gives none (a key released, a
// modifier combination that names no key, Shift with an arrow, ...).
int KeyDecodeEvent(const KeyEvent &event);
