// Received bytes on the Win32 console: the console itself shows control
// characters as glyphs and bytes 0x80-0xFF in its output code page, so they
// are written as they are (see display.h).
#include "display.h"

#include <cstdio>

void ConInitReceived()
{
}

void ConWriteReceived(const unsigned char *buf, int n)
{
    if (n > 0)
        std::fwrite(buf, 1, static_cast<std::size_t>(n), stdout);
}

void ConWriteText(const char *text)
{
    std::fputs(text, stdout);
}
