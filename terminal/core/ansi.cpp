// ANSI escape interpreter.
//
// Positions are 1-based; the console layer tells where the cursor is and
// moves it.  Two fixed limits bound relative moves: a move right ends at
// column 80 at most, a move down must end on a row above ScreenRows.
#include "ansi.h"

#include "console.h"
#include "display.h"
#include "globals.h"

#include <mutex>

int AnsiState = 0;
std::int32_t AnsiNumber = 0;
std::int32_t AnsiParams[AnsiMaxParams];
std::int32_t AnsiParamCount = 0;
std::uint8_t AnsiAttr = 0x07;
std::int32_t AnsiSavedX = 0;
std::int32_t AnsiSavedY = 0;

namespace {

// The receive loop feeds bytes on the main thread while the keyboard thread
// resets the interpreter when ANSI mode is switched on.
std::mutex AnsiLock;

constexpr int RightmostColumn = 80;

// Plain bytes go through the receive loop's display, as in Normal mode.
void Show(int byte)
{
    unsigned char c = static_cast<unsigned char>(byte);
    ConWriteReceived(&c, 1);
}

// Stores the parameter just read.  Parameters beyond the 20th are dropped.
void StoreParam(std::int32_t value)
{
    if (AnsiParamCount >= 0 && AnsiParamCount < AnsiMaxParams)
        AnsiParams[AnsiParamCount++] = value;
}

void AppendDigit(int digit)
{
    // Wraps like 32-bit arithmetic on overflow.
    std::uint32_t n = static_cast<std::uint32_t>(AnsiNumber) * 10u + static_cast<std::uint32_t>(digit);
    AnsiNumber = static_cast<std::int32_t>(n);
}

// Cursor position: row and column parameters count from 0.
void CursorPosition()
{
    std::int64_t row = AnsiParamCount < 1 ? 0 : AnsiParams[0];
    std::int64_t column = AnsiParamCount < 2 ? 0 : AnsiParams[1];
    // Values past the screen (huge or wrapped negative) are refused by the
    // console; keep them out of int range trouble first.
    if (row < 0 || column < 0 || row >= 0x7FFF || column >= 0x7FFF)
        return;
    ConMoveCursor(static_cast<int>(column + 1), static_cast<int>(row + 1));
}

// Relative moves by n cells; a count of 0 (or a wrapped negative one)
// leaves the cursor where it is, as does a move its limit refuses.
void MoveUp(std::int64_t n)
{
    int column, row;
    if (n <= 0 || ConGetCursor(&column, &row) != 0)
        return;
    if (n < row)
        ConMoveCursor(column, static_cast<int>(row - n));
}

void MoveDown(std::int64_t n)
{
    int column, row;
    if (n <= 0 || ConGetCursor(&column, &row) != 0)
        return;
    if (row + n < ScreenRows)
        ConMoveCursor(column, static_cast<int>(row + n));
}

void MoveRight(std::int64_t n)
{
    int column, row;
    if (n <= 0 || ConGetCursor(&column, &row) != 0)
        return;
    if (column + n <= RightmostColumn)
        ConMoveCursor(static_cast<int>(column + n), row);
}

void MoveLeft(std::int64_t n)
{
    int column, row;
    if (n <= 0 || ConGetCursor(&column, &row) != 0)
        return;
    if (n < column)
        ConMoveCursor(static_cast<int>(column - n), row);
}

void SavePosition()
{
    int column, row;
    if (ConGetCursor(&column, &row) == 0) {
        AnsiSavedX = column;
        AnsiSavedY = row;
    }
}

void RestorePosition()
{
    // Before any save the position is 0,0, which lies off the screen.
    ConMoveCursor(AnsiSavedX, AnsiSavedY);
}

void ColourList()
{
    std::uint8_t attr = AnsiAttr;
    for (std::int32_t i = 0; i < AnsiParamCount && i < AnsiMaxParams; ++i)
        attr = AnsiApplyColour(attr, AnsiParams[i]);
    AnsiAttr = attr;
    ConSetColor(AnsiAttr);
}

// State 2: after ESC [ or after ';'.
void AfterBracket(int c)
{
    AnsiState = 0;
    switch (c) {
    case 'K': ConClearToEndOfLine(); return;
    case 's': SavePosition(); return;
    case 'u': RestorePosition(); return;
    case 'm':
        AnsiAttr = 0x07;
        ConSetColor(AnsiAttr);
        return;
    case ';':
        StoreParam(0);
        AnsiState = 2;
        return;
    case 'H':
    case 'f': CursorPosition(); return;
    case 'A': MoveUp(1); return;
    case 'B': MoveDown(1); return;
    case 'C': MoveRight(1); return;
    case 'D': MoveLeft(1); return;
    default: break;
    }
    if (c >= '0' && c <= '9') {
        AnsiNumber = c - '0';
        AnsiState = 3;
        return;
    }
    Show(c);
}

// State 3: inside a decimal parameter.
void InNumber(int c)
{
    if (c >= '0' && c <= '9') {
        AppendDigit(c - '0');
        return;
    }
    StoreParam(AnsiNumber);
    std::int64_t n = AnsiNumber;
    AnsiState = 0;
    switch (c) {
    case ';': AnsiState = 2; break;
    case 'm':
        ColourList();
        AnsiNumber = 0;
        break;
    case 'A': MoveUp(n); break;
    case 'B': MoveDown(n); break;
    case 'C': MoveRight(n); break;
    case 'D': MoveLeft(n); break;
    case 'J':
        if (n == 2)
            ConClearScreen();
        break;
    case 'H':
    case 'f': CursorPosition(); break;
    default: break;  // the whole sequence is dropped
    }
}

}  // namespace

std::uint8_t AnsiApplyColour(std::uint8_t attr, std::int32_t param)
{
    // Console colour bits: 1 blue, 2 green, 4 red; ANSI numbers them the
    // other way round.
    static const std::uint8_t consoleColour[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    switch (param) {
    case 0: return 0x07;
    case 1: return static_cast<std::uint8_t>(attr | 0x08);
    case 2: return static_cast<std::uint8_t>(attr & ~0x08);
    case 5: return static_cast<std::uint8_t>(attr | 0x80);
    case 7: return 0x70;
    case 8: return 0x00;
    case 33:
        // Yellow comes with intensity, which then stays for later colours.
        return static_cast<std::uint8_t>((attr & ~0x07) | 0x0E);
    default: break;
    }
    if (param >= 30 && param <= 37)
        return static_cast<std::uint8_t>((attr & ~0x07) | consoleColour[param - 30]);
    if (param >= 40 && param <= 47)
        return static_cast<std::uint8_t>((attr & ~0x70) | (consoleColour[param - 40] << 4));
    return attr;
}

void AnsiReset()
{
    std::lock_guard<std::mutex> lock(AnsiLock);
    AnsiState = 0;
    AnsiAttr = 0x07;
    ConSetColor(AnsiAttr);
    AnsiSavedX = 0;
    AnsiSavedY = 0;
    AnsiNumber = 0;
    AnsiParamCount = 0;
}

void AnsiPutByte(int byte)
{
    std::lock_guard<std::mutex> lock(AnsiLock);
    int c = byte & 0xFF;
    switch (AnsiState) {
    case 1:
        if (c == '[') {
            AnsiState = 2;
            AnsiParamCount = 0;
        } else {
            AnsiState = 0;
            Show(0x1B);
            Show(c);
        }
        break;
    case 2: AfterBracket(c); break;
    case 3: InNumber(c); break;
    default:
        if (c == 0x1B) {
            AnsiState = 1;
        } else {
            AnsiState = 0;
            Show(c);
        }
        break;
    }
}
