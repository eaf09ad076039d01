// Decoding of Win32 console key events into key codes: the key table, the
// order in which modifiers are tested, and the events that give no code.
#include "keyevent.h"

#include "console.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint32_t None = 0;
constexpr std::uint32_t LCtrl = KeyStateLeftCtrl;
constexpr std::uint32_t RCtrl = KeyStateRightCtrl;
constexpr std::uint32_t LAlt = KeyStateLeftAlt;
constexpr std::uint32_t RAlt = KeyStateRightAlt;
constexpr std::uint32_t Shift = KeyStateShift;

struct EventCase {
    int vk;
    int ch;  // character carried (0..255)
    std::uint32_t state;
    int code;
    const char *what;
};

int Decode(int vk, int ch, std::uint32_t state, bool down = true)
{
    KeyEvent e{down, vk, static_cast<char>(ch), state};
    return KeyDecodeEvent(e);
}

TEST(KeyEvent, TableOfKeys)
{
    const EventCase cases[] = {
        // Ctrl with a character 1..26, either Ctrl key.
        {'A', 1, LCtrl, 1, "Ctrl+A"},
        {'A', 1, RCtrl, 1, "right Ctrl+A"},
        {'Z', 26, LCtrl, 26, "Ctrl+Z"},
        {'M', 13, LCtrl, 13, "Ctrl+M"},
        {'A', 1, LCtrl | Shift, 1, "Ctrl+Shift+A"},
        // Ctrl with digits and F-keys, by virtual-key code.
        {'0', 0, LCtrl, 0x4000, "Ctrl+0"},
        {'5', 0, RCtrl, 0x4500, "Ctrl+5"},
        {'9', 0, LCtrl, 0x4900, "Ctrl+9"},
        {0x70, 0, LCtrl, 0x7000, "Ctrl+F1"},
        {0x75, 0, LCtrl, 0x7500, "Ctrl+F6"},
        {0x7B, 0, RCtrl, 0x7B00, "Ctrl+F12"},
        // Ctrl is tested before Alt.
        {'A', 1, LCtrl | LAlt, 1, "Ctrl+Alt+A"},
        {0x72, 0, LCtrl | LAlt, 0x7200, "Ctrl+Alt+F3"},
        {'3', 0, LCtrl | RAlt, 0x4300, "Ctrl+Alt+3 without a character"},
        // Alt with letters, digits and F-keys.
        {'A', 'a', LAlt, 0x9100, "Alt+A"},
        {'X', 'x', LAlt, 0xA800, "Alt+X"},
        {'X', 'X', RAlt | Shift, 0xA800, "right Alt+Shift+X"},
        {'Z', 'z', LAlt, 0xAA00, "Alt+Z"},
        {'0', '0', LAlt, 0x8000, "Alt+0"},
        {'1', '1', LAlt, 0x8100, "Alt+1"},
        {'9', '9', RAlt, 0x8900, "Alt+9"},
        {0x70, 0, LAlt, 0xB000, "Alt+F1"},
        {0x7B, 0, LAlt, 0xBB00, "Alt+F12"},
        // Shift: characters as they are, F-keys to their own range.
        {'A', 'A', Shift, 'A', "Shift+A"},
        {0xBA, ':', Shift, ':', "Shift+;"},
        {0x70, 0, Shift, 0xF000, "Shift+F1"},
        {0x7B, 0, Shift, 0xFB00, "Shift+F12"},
        // No modifier.
        {'A', 'a', None, 'a', "a"},
        {0x0D, 13, None, 13, "Enter"},
        {0x08, 8, None, 8, "Backspace"},
        {0x09, 9, None, 9, "Tab"},
        {0x1B, 27, None, 27, "Esc"},
        {0x70, 0, None, 0x3000, "F1"},
        {0x79, 0, None, 0x3900, "F10"},
        {0x7B, 0, None, 0x3B00, "F12"},
        {0x25, 0, None, 0x125, "Left"},
        {0x26, 0, None, 0x126, "Up"},
        {0x27, 0, None, 0x127, "Right"},
        {0x28, 0, None, 0x128, "Down"},
        // Characters from 0x80 up are negative, their low byte the character.
        {0xDE, 0xE9, None, static_cast<signed char>(0xE9), "e acute"},
        {0xDE, 0xC4, Shift, static_cast<signed char>(0xC4), "Shift+A umlaut"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Decode(c.vk, c.ch, c.state), c.code) << c.what;
}

TEST(KeyEvent, EventsThatGiveNoCode)
{
    const EventCase cases[] = {
        {0x25, 0, Shift, 0, "Shift+Left"},
        {0x28, 0, Shift, 0, "Shift+Down"},
        {0x25, 0, LCtrl, 0, "Ctrl+Left"},
        {0x26, 0, LAlt, 0, "Alt+Up"},
        {0xBA, ';', LAlt, 0, "Alt with a key that is no letter, digit or F-key"},
        {0xDB, 27, LCtrl, 0, "Ctrl+[ carries 27, outside 1..26"},
        {0x20, ' ', LCtrl, 0, "Ctrl+Space"},
        {0x10, 0, Shift, 0, "Shift pressed alone"},
        {0x11, 0, LCtrl, 0, "Ctrl pressed alone"},
        {0x12, 0, LAlt, 0, "Alt pressed alone"},
        {0x2D, 0, None, 0, "Insert"},
        {0x24, 0, None, 0, "Home"},
        {0x7C, 0, None, 0, "F13"},
        {0x6F, 0, None, 0, "a key just below F1 without a character"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Decode(c.vk, c.ch, c.state), c.code) << c.what;
}

TEST(KeyEvent, KeyReleaseGivesNoCode)
{
    EXPECT_EQ(Decode('A', 'a', None, false), 0);
    EXPECT_EQ(Decode(0x70, 0, None, false), 0);
    EXPECT_EQ(Decode('X', 'x', LAlt, false), 0);
    EXPECT_EQ(Decode('X', 'x', LAlt, true), 0xA800);
}

TEST(KeyEvent, LockKeysAndEnhancedFlagAreIgnored)
{
    const std::uint32_t locks = KeyStateNumLock | KeyStateScrollLock | KeyStateCapsLock;
    EXPECT_EQ(Decode('A', 'A', locks), 'A');
    EXPECT_EQ(Decode(0x70, 0, locks), 0x3000);
    EXPECT_EQ(Decode('X', 'x', LAlt | locks), 0xA800);
    EXPECT_EQ(Decode(0x75, 0, LCtrl | KeyStateCapsLock), 0x7500);
    EXPECT_EQ(Decode(0x25, 0, KeyStateEnhanced), 0x125);
    EXPECT_EQ(Decode(0x28, 0, KeyStateEnhanced | KeyStateNumLock), 0x128);
    EXPECT_EQ(Decode(0x0D, 13, KeyStateEnhanced), 13);
}

TEST(KeyEvent, AltGrCharactersAreTyped)
{
    // Right Alt on many layouts arrives as left Ctrl + right Alt and carries
    // the character the layout gives it.
    EXPECT_EQ(Decode('Q', '@', LCtrl | RAlt), '@');
    EXPECT_EQ(Decode('7', '{', LCtrl | RAlt), '{');
    EXPECT_EQ(Decode(0xDB, '\\', LCtrl | RAlt), '\\');
    EXPECT_EQ(Decode('E', static_cast<char>(0x80), LCtrl | RAlt), static_cast<signed char>(0x80));
    // Without a character it stays a Ctrl key.
    EXPECT_EQ(Decode('7', 0, LCtrl | RAlt), 0x4700);
}

TEST(KeyEvent, HelperConstantsAgreeWithTheDecoder)
{
    for (int n = 1; n <= 12; ++n) {
        EXPECT_EQ(Decode(VirtualKeyF1 + n - 1, 0, None), KeyF(n));
        EXPECT_EQ(Decode(VirtualKeyF1 + n - 1, 0, LCtrl), KeyCtrlF(n));
        EXPECT_EQ(Decode(VirtualKeyF1 + n - 1, 0, LAlt), KeyAltF(n));
        EXPECT_EQ(Decode(VirtualKeyF1 + n - 1, 0, Shift), KeyShiftF(n));
    }
    for (char c = 'A'; c <= 'Z'; ++c)
        EXPECT_EQ(Decode(c, c + 0x20, LAlt), KeyAlt(c)) << c;
    for (char c = '0'; c <= '9'; ++c)
        EXPECT_EQ(Decode(c, c, LAlt), KeyAlt(c)) << c;
}

}  // namespace
