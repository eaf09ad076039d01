// Console layer on a Win32 text console.
//
// Keys: the input handle's mode keeps processed input (Ctrl+C ends the
// program through the system's default handling) and drops line input,
// echo, window and mouse events; each key event read with ReadConsoleInputA
// is decoded by KeyDecodeEvent.  Attributes, title and clearing use the
// console's own calls on the output handle.
//
// Standard output is fully buffered: the buffer is written out before every
// attribute change (so text already printed keeps its colour) and before
// every wait for a key.
#include "console.h"

#include "keyevent.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <windows.h>

namespace {

HANDLE InputHandle = INVALID_HANDLE_VALUE;
HANDLE OutputHandle = INVALID_HANDLE_VALUE;

std::atomic<int> Attribute{7};

DWORD SavedInputMode = 0;
std::atomic<bool> InputModeChanged{false};
WORD SavedOutputAttribute = 7;
std::atomic<bool> HaveSavedAttribute{false};

// Both threads may ask for keys (a prompt on the main thread, the keyboard
// thread).  The count of waiting events and the reads that follow it must
// belong to one caller, or a read could block on an event that the other
// thread took.
std::mutex InputLock;

bool InputIsConsole()
{
    DWORD mode = 0;
    return InputHandle != INVALID_HANDLE_VALUE && InputHandle != nullptr && GetConsoleMode(InputHandle, &mode);
}

// Set when the program ends (ConRestore): a thread still waiting for a key
// returns at once.
HANDLE EndSignal()
{
    static HANDLE end = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return end;
}

constexpr DWORD ModeBitsCleared = ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_WINDOW_INPUT | ENABLE_MOUSE_INPUT;
static_assert(ModeBitsCleared == 0x1E, "line, echo, window and mouse input bits");

}  // namespace

void ConInitInput()
{
    InputHandle = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(InputHandle, &mode)) {
        SavedInputMode = mode;
        if (SetConsoleMode(InputHandle, mode & ~ModeBitsCleared))
            InputModeChanged = true;
    }
}

void ConInitOutput()
{
    OutputHandle = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(OutputHandle, &info)) {
        SavedOutputAttribute = info.wAttributes;
        HaveSavedAttribute = true;
    }
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

void ConRestore()
{
    std::fflush(stdout);
    if (EndSignal() != nullptr)
        SetEvent(EndSignal());
    if (InputModeChanged.exchange(false))
        SetConsoleMode(InputHandle, SavedInputMode);
    if (HaveSavedAttribute)
        SetConsoleTextAttribute(OutputHandle, SavedOutputAttribute);
}

int ConReadKey()
{
    std::fflush(stdout);
    std::lock_guard<std::mutex> lock(InputLock);
    DWORD waiting = 0;
    if (!GetNumberOfConsoleInputEvents(InputHandle, &waiting))
        return 0;
    // At most as many events are read as were waiting, so the read never
    // blocks.  Non-key events and key releases are consumed and dropped.
    while (waiting > 0) {
        INPUT_RECORD record;
        DWORD got = 0;
        if (!ReadConsoleInputA(InputHandle, &record, 1, &got))
            return 0;
        --waiting;
        if (got == 1 && record.EventType == KEY_EVENT) {
            const KEY_EVENT_RECORD &k = record.Event.KeyEvent;
            KeyEvent e{k.bKeyDown != FALSE, k.wVirtualKeyCode, k.uChar.AsciiChar,
                       static_cast<std::uint32_t>(k.dwControlKeyState)};
            int code = KeyDecodeEvent(e);
            if (code != 0)
                return code;
        }
    }
    return 0;
}

void ConWaitInput(int timeout_ms)
{
    std::fflush(stdout);
    DWORD bound = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
    // The console input handle is signalled while events are waiting, so
    // the thread sleeps until a key comes (or the program ends); a handle
    // that is no console (input redirected) cannot be waited on.
    HANDLE end = EndSignal();
    if (InputIsConsole()) {
        HANDLE objects[2] = {InputHandle, end};
        WaitForMultipleObjects(end != nullptr ? 2 : 1, objects, FALSE, bound);
    } else if (end != nullptr) {
        WaitForSingleObject(end, bound);
    } else {
        Sleep(bound);
    }
}

void ConSetColor(int attribute)
{
    std::fflush(stdout);
    Attribute = attribute & 0xFFFF;
    SetConsoleTextAttribute(OutputHandle, static_cast<WORD>(attribute & 0xFFFF));
}

int ConGetColor()
{
    return Attribute;
}

void ConClearScreen()
{
    std::fflush(stdout);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(OutputHandle, &info)) {
        // The whole screen buffer, not only the visible window.
        DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
        COORD origin = {0, 0};
        DWORD written = 0;
        FillConsoleOutputCharacterA(OutputHandle, ' ', cells, origin, &written);
        FillConsoleOutputAttribute(OutputHandle, 0x07, cells, origin, &written);
    }
    ConSetColor(7);
    COORD home = {0, 0};
    SetConsoleCursorPosition(OutputHandle, home);
}

void ConSetTitle(const char *title)
{
    SetConsoleTitleA(title);
}

// ---- Cursor and line ----------------------------------------------------------
// Positions are 1-based within the visible window of the screen buffer, so
// a console with a long scroll-back still has row 1 at its top line.

namespace {

bool ScreenInfo(CONSOLE_SCREEN_BUFFER_INFO *info)
{
    std::fflush(stdout);
    return GetConsoleScreenBufferInfo(OutputHandle, info) != FALSE;
}

}  // namespace

int ConGetCursor(int *column, int *row)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!ScreenInfo(&info)) {
        *column = 0;
        *row = 0;
        return -1;
    }
    *column = info.dwCursorPosition.X - info.srWindow.Left + 1;
    *row = info.dwCursorPosition.Y - info.srWindow.Top + 1;
    return 0;
}

int ConScreenSize(int *columns, int *rows)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!ScreenInfo(&info)) {
        *columns = 0;
        *rows = 0;
        return -1;
    }
    *columns = info.srWindow.Right - info.srWindow.Left + 1;
    *rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    return 0;
}

int ConMoveCursor(int column, int row)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (column < 1 || row < 1 || !ScreenInfo(&info))
        return -1;
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    if (column > columns || row > rows)
        return -1;
    COORD to = {static_cast<SHORT>(info.srWindow.Left + column - 1), static_cast<SHORT>(info.srWindow.Top + row - 1)};
    return SetConsoleCursorPosition(OutputHandle, to) ? 0 : -1;
}

void ConClearToEndOfLine()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!ScreenInfo(&info))
        return;
    DWORD cells = static_cast<DWORD>(info.dwSize.X - info.dwCursorPosition.X);
    DWORD written = 0;
    FillConsoleOutputCharacterA(OutputHandle, ' ', cells, info.dwCursorPosition, &written);
    FillConsoleOutputAttribute(OutputHandle, 0x07, cells, info.dwCursorPosition, &written);
}

// ---- Character sets -------------------------------------------------------------

namespace {

bool OutputIsConsole()
{
    DWORD mode = 0;
    return OutputHandle != INVALID_HANDLE_VALUE && OutputHandle != nullptr && GetConsoleMode(OutputHandle, &mode);
}

// The input code page kept when there is no console to hold one.
std::atomic<unsigned> DetachedInputCodePage{0};

// Bytes of the character that starts with byte c in code page cp.
int CharLength(unsigned cp, unsigned char c)
{
    if (cp == CP_UTF8) {
        if (c >= 0xF0) return 4;
        if (c >= 0xE0) return 3;
        if (c >= 0xC0) return 2;
        return 1;
    }
    return IsDBCSLeadByteEx(cp, c) ? 2 : 1;
}

}  // namespace

unsigned ConGetInputCodePage()
{
    UINT cp = GetConsoleCP();
    if (cp != 0)
        return cp;
    unsigned kept = DetachedInputCodePage;
    return kept != 0 ? kept : GetOEMCP();
}

int ConSetInputCodePage(unsigned codePage)
{
    if (codePage == 0 || !IsValidCodePage(codePage))
        return -1;
    if (SetConsoleCP(codePage))
        return 0;
    if (GetConsoleCP() != 0)
        return -1;  // a console that refused the code page
    DetachedInputCodePage = codePage;
    return 0;
}

void ConWriteCodePage(const char *text, std::size_t len, unsigned codePage)
{
    if (!OutputIsConsole() || !IsValidCodePage(codePage)) {
        // A file or pipe takes the bytes as they are.
        std::fwrite(text, 1, len, stdout);
        return;
    }
    // The console shows wide characters whatever its output code page, so
    // the text reads right without changing that code page.
    std::fflush(stdout);
    constexpr std::size_t Piece = 1024;
    std::size_t at = 0;
    while (at < len) {
        // A piece ends on a character boundary.
        std::size_t end = at;
        while (end < len) {
            std::size_t next = end + static_cast<std::size_t>(CharLength(codePage, static_cast<unsigned char>(text[end])));
            if (next - at > Piece)
                break;
            end = next > len ? len : next;
        }
        if (end == at)
            end = at + 1;
        wchar_t wide[Piece * 2];
        int n = MultiByteToWideChar(codePage, 0, text + at, static_cast<int>(end - at), wide, Piece * 2);
        DWORD written = 0;
        if (n > 0)
            WriteConsoleW(OutputHandle, wide, static_cast<DWORD>(n), &written, nullptr);
        at = end;
    }
}

void ConPutByte(int byte)
{
    unsigned char c = static_cast<unsigned char>(byte);
    if (c != 0x1B) {
        std::putchar(c);
        return;
    }
    // ESC shows as the console font's arrow; written as a wide character so
    // that a console reading escape sequences does not start one.
    if (OutputIsConsole()) {
        std::fflush(stdout);
        DWORD written = 0;
        WriteConsoleW(OutputHandle, L"\x2190", 1, &written, nullptr);
    } else {
        std::putchar('?');
    }
}
