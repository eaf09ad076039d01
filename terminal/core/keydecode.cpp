#include "keydecode.h"

#include "keys.h"

namespace {

constexpr unsigned char ESC = 0x1B;

int CharCode(unsigned char c)
{
    if (c == 0x7F)
        return 8;  // the Backspace key of most terminals sends DEL
    return static_cast<signed char>(c);
}

int AltCode(unsigned char c)
{
    if (c >= 'a' && c <= 'z')
        return 0x8000 + ((c - 0x20) - 0x30) * 0x100;
    if (c >= 'A' && c <= 'Z')
        return 0x8000 + (c - 0x30) * 0x100;
    if (c >= '0' && c <= '9')
        return KEY_ALT_0 + (c - '0') * 0x100;
    if (c >= 1 && c <= 26)
        return c;  // Ctrl is tested before Alt: Ctrl+Alt+A is Ctrl+A
    return 0;
}

// F-key number of a "CSI n ~" sequence, 0 for another key.
int TildeFunctionKey(int n)
{
    switch (n) {
    case 11: return 1;
    case 12: return 2;
    case 13: return 3;
    case 14: return 4;
    case 15: return 5;
    case 17: return 6;
    case 18: return 7;
    case 19: return 8;
    case 20: return 9;
    case 21: return 10;
    case 23: return 11;
    case 24: return 12;
    default: return 0;
    }
}

// The length of a control string (OSC, DCS, APC, PM) that starts at
// buf[0..1] and ends with BEL or ESC \; 0 while it is still arriving.
// One that never ends is taken whole when no more follows.
int ControlStringLength(const unsigned char *buf, int len, bool final)
{
    for (int i = 2; i < len; ++i) {
        if (buf[i] == 0x07)
            return i + 1;
        if (buf[i] == ESC) {
            if (i + 1 >= len)
                return final ? len : 0;
            return buf[i + 1] == '\\' ? i + 2 : i;
        }
    }
    return final ? len : 0;
}

// The terminal's answers that come as control strings: an OSC (colours,
// title), a DCS (settings and capability reports: ESC P then a digit or
// one of > ! + =), an APC or PM.  ESC ] alone or ESC P with a letter stay
// keys (Alt+], Alt+P).
bool StartsControlString(const unsigned char *buf, int len)
{
    unsigned char second = buf[1];
    if (second == '_' || second == '^')
        return len >= 3;
    if (second == ']')
        return len >= 3;
    if (second == 'P' && len >= 3) {
        unsigned char c = buf[2];
        return (c >= '0' && c <= '9') || c == '>' || c == '!' || c == '+' || c == '=';
    }
    return false;
}

}  // namespace

int KeyCodeForFunction(int fkey, int modifier)
{
    if (fkey < 1 || fkey > 12)
        return 0;
    int bits = modifier > 0 ? modifier - 1 : 0;
    if (bits & 4)
        return KeyCtrlF(fkey);
    if (bits & 2)
        return KeyAltF(fkey);
    if (bits & 1)
        return KeyShiftF(fkey);
    return KeyF(fkey);
}

int KeyCodeForArrow(char letter, int modifier)
{
    int bits = modifier > 0 ? modifier - 1 : 0;
    if (bits != 0)
        return 0;  // Shift, Ctrl or Alt with an arrow matches no key code
    switch (letter) {
    case 'A': return KEY_UP;
    case 'B': return KEY_DOWN;
    case 'C': return KEY_RIGHT;
    case 'D': return KEY_LEFT;
    default: return 0;
    }
}

int KeyDecodeBytes(const unsigned char *buf, int len, bool final, int *code)
{
    *code = 0;
    if (len <= 0)
        return 0;
    if (buf[0] != ESC) {
        *code = CharCode(buf[0]);
        return 1;
    }
    if (len == 1) {
        if (!final)
            return 0;
        *code = KEY_ESC;
        return 1;
    }

    unsigned char second = buf[1];
    if (StartsControlString(buf, len))
        return ControlStringLength(buf, len, final);  // an answer, not a key
    if (len == 2 && !final && (second == ']' || second == 'P' || second == '_' || second == '^'))
        return 0;  // the start of an answer, or Alt with that key
    if (second == 'O') {
        // SS3: F1-F4 and the arrows in application mode; "ESC O" alone is Alt+O.
        if (len == 2) {
            if (!final)
                return 0;
            *code = AltCode('O');
            return 2;
        }
        unsigned char f = buf[2];
        if (f >= 'P' && f <= 'S')
            *code = KeyCodeForFunction(f - 'P' + 1, 1);
        else if (f >= 'A' && f <= 'D')
            *code = KeyCodeForArrow(static_cast<char>(f), 1);
        return 3;
    }
    if (second == '[') {
        if (len == 2) {
            if (!final)
                return 0;
            return 2;  // Alt+[ gives no code
        }
        if (buf[2] == '[') {
            // Linux console: ESC [ [ A .. E are F1 .. F5.
            if (len == 3) {
                if (!final)
                    return 0;
                return 3;
            }
            unsigned char f = buf[3];
            if (f >= 'A' && f <= 'E')
                *code = KeyCodeForFunction(f - 'A' + 1, 1);
            return 4;
        }
        // CSI: parameters 0x30-0x3F, intermediates 0x20-0x2F, final 0x40-0x7E.
        int params[4] = {0, 0, 0, 0};
        int count = 0;
        bool any = false;
        bool odd = false;  // private markers and the like: consume, no code
        int i = 2;
        for (; i < len; ++i) {
            unsigned char c = buf[i];
            if (c >= '0' && c <= '9') {
                if (count < 4 && params[count] < 10000)
                    params[count] = params[count] * 10 + (c - '0');
                any = true;
            } else if (c == ';') {
                if (count < 4)
                    ++count;
                any = true;
            } else if (c >= 0x30 && c <= 0x3F) {
                odd = true;
            } else if (c >= 0x20 && c <= 0x2F) {
                odd = true;
            } else if (c >= 0x40 && c <= 0x7E) {
                break;
            } else {
                // A byte that cannot be part of a sequence: the sequence was
                // broken off; drop what came before it.
                return i;
            }
            if (i - 2 > 32) {
                return i + 1;  // absurdly long: consume and drop
            }
        }
        if (i >= len) {
            if (!final)
                return 0;
            return len;
        }
        unsigned char f = buf[i];
        int nparams = any ? count + 1 : 0;
        int modifier = nparams >= 2 ? params[1] : 1;
        // A modifier is 2..16.  Anything else is no key but an answer of the
        // terminal: ESC [ 1 ; 1 R is where its cursor stands (row 1, column 1),
        // not F3.
        if (nparams >= 2 && (modifier < 2 || modifier > 16))
            odd = true;
        if (!odd) {
            if (f == '~' && nparams >= 1)
                *code = KeyCodeForFunction(TildeFunctionKey(params[0]), modifier);
            else if (f >= 'P' && f <= 'S' && (nparams == 0 || params[0] == 1))
                *code = KeyCodeForFunction(f - 'P' + 1, modifier);
            else if (f >= 'A' && f <= 'D' && (nparams == 0 || params[0] == 1))
                *code = KeyCodeForArrow(static_cast<char>(f), modifier);
        }
        return i + 1;
    }
    if (second == ESC) {
        // ESC ESC: the first is the Escape key; the second starts anew.
        *code = KEY_ESC;
        return 1;
    }
    *code = AltCode(second);
    return 2;
}

int KeyFindPositionReport(const unsigned char *buf, int len, int *start, int *length, int *row, int *column)
{
    for (int at = 0; at < len; ++at) {
        if (buf[at] != 0x1B || at + 1 >= len || buf[at + 1] != '[')
            continue;
        long values[2] = {0, 0};
        int field = 0;
        int digits = 0;
        int i = at + 2;
        bool complete = false;
        for (; i < len; ++i) {
            unsigned char c = buf[i];
            if (c >= '0' && c <= '9') {
                if (values[field] < 100000)
                    values[field] = values[field] * 10 + (c - '0');
                ++digits;
            } else if (c == ';' && field == 0 && digits > 0) {
                field = 1;
                digits = 0;
            } else {
                complete = (c == 'R' && field == 1 && digits > 0);
                break;
            }
        }
        if (!complete)
            continue;
        *start = at;
        *length = i + 1 - at;
        *row = static_cast<int>(values[0]);
        *column = static_cast<int>(values[1]);
        return 1;
    }
    return 0;
}
