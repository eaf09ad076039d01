#include "keyevent.h"

#include "keys.h"

namespace {

int FunctionKey(int vk)
{
    return (vk >= VirtualKeyF1 && vk <= VirtualKeyF12) ? vk - VirtualKeyF1 + 1 : 0;
}

bool IsDigitKey(int vk) { return vk >= '0' && vk <= '9'; }
bool IsLetterKey(int vk) { return vk >= 'A' && vk <= 'Z'; }

}  // namespace

int KeyDecodeEvent(const KeyEvent &event)
{
    if (!event.keyDown)
        return 0;
    const std::uint32_t state = event.controlState;
    const bool ctrl = (state & (KeyStateLeftCtrl | KeyStateRightCtrl)) != 0;
    const bool alt = (state & (KeyStateLeftAlt | KeyStateRightAlt)) != 0;
    const bool shift = (state & KeyStateShift) != 0;
    const int vk = event.virtualKey;
    const int fkey = FunctionKey(vk);
    const unsigned char ch = static_cast<unsigned char>(event.character);
    // Characters are signed 8-bit values: 0x80 and up give negative codes.
    const int charCode = static_cast<signed char>(event.character);

    if (ctrl) {
        if (ch >= 1 && ch <= 26)
            return ch;
        // AltGr arrives as Ctrl and Alt together; when the keyboard layout
        // makes a printable character of it ('@', '{', '\' on many European
        // layouts), that character is what the user typed.
        if (alt && ch >= 0x20 && ch != 0x7F)
            return charCode;
        if (IsDigitKey(vk))
            return KEY_CTRL_0 + (vk - '0') * 0x100;
        if (fkey != 0)
            return KeyCtrlF(fkey);
        return 0;
    }
    if (alt) {
        if (IsLetterKey(vk))
            return 0x8000 + (vk - 0x30) * 0x100;
        if (IsDigitKey(vk))
            return KEY_ALT_0 + (vk - '0') * 0x100;
        if (fkey != 0)
            return KeyAltF(fkey);
        return 0;
    }
    if (shift) {
        if (ch != 0)
            return charCode;
        if (fkey != 0)
            return KeyShiftF(fkey);
        return 0;
    }
    if (ch != 0)
        return charCode;
    if (fkey != 0)
        return KeyF(fkey);
    if (vk >= VirtualKeyLeft && vk <= VirtualKeyDown)
        return vk + 0x100;
    // Some consoles (wine's on a terminal) report the Escape key without
    // its character.
    if (vk == VirtualKeyEscape)
        return KEY_ESC;
    return 0;
}
