// The console layer's parts that are the same on every system (console.h).
#include "console.h"

#include "globals.h"

#include <cstdio>

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

int ConCursorColumn()
{
    int column, row;
    ConGetCursor(&column, &row);
    return column;
}

int ConCursorRow()
{
    int column, row;
    ConGetCursor(&column, &row);
    return row;
}

void ConAttributeToAnsi(int attribute, char *out, std::size_t size)
{
    attribute &= 0xFF;
    if (attribute == 0x07) {
        // Normal text: the terminal's own colours.
        std::snprintf(out, size, "\033[0m");
        return;
    }
    auto swap = [](int c) { return ((c & 1) << 2) | (c & 2) | ((c & 4) >> 2); };
    int fg = swap(attribute & 7);
    int bg = swap((attribute >> 4) & 7);
    int fgBase = (attribute & 0x08) ? 90 : 30;
    int bgBase = (attribute & 0x80) ? 100 : 40;
    std::snprintf(out, size, "\033[0;%d;%dm", fgBase + fg, bgBase + bg);
}
