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

#include "globals.h"
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
    if (timeout_ms < 0)
        timeout_ms = 0;
    // The console input handle is signalled while events are waiting; a
    // handle that is no console (input redirected) cannot be waited on.
    if (InputIsConsole())
        WaitForSingleObject(InputHandle, static_cast<DWORD>(timeout_ms));
    else
        Sleep(static_cast<DWORD>(timeout_ms));
}

int ConReadLine(char *buffer, int capacity)
{
    int len = 0;
    if (capacity <= 0)
        return 0;
    buffer[0] = 0;
    for (;;) {
        int code = ConReadKey();
        if (code == 0) {
            if (ExitRequest)
                break;
            ConWaitInput(20);
            continue;
        }
        if (code < 1 || code > 255)
            continue;
        if (code == 13)
            break;
        if (code == 8) {
            if (len > 0) {
                --len;
                std::printf("\b \b");
                std::fflush(stdout);
            }
            continue;
        }
        if (len < capacity - 1) {
            buffer[len++] = static_cast<char>(code);
            std::printf("%c", code);
            std::fflush(stdout);
        }
    }
    buffer[len] = 0;
    return len;
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
