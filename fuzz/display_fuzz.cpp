// Fuzz target: the display of received bytes in a code page (built twice:
// UTF-8, code page 65001, and Big5, code page 950), fed the controller's
// bytes in pieces of varying size.  Whatever arrives, what it writes for a
// UTF-8 terminal is well-formed UTF-8 holding no control character but
// BEL, BS, TAB, LF and CR: no ESC, no 8-bit control (plain or encoded).
#include "display.h"
#include "fuzz_support.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef DISPLAY_CODEPAGE
#define DISPLAY_CODEPAGE "65001"
#endif

namespace {

// Checks the bytes written: one well-formed UTF-8 character after another.
void CheckShown(const unsigned char *s, std::size_t n)
{
    std::size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        if (c < 0x80) {
            FUZZ_CHECK(c >= 0x20 || c == 0x07 || c == 0x08 || c == 0x09 || c == 0x0A || c == 0x0D);
            FUZZ_CHECK(c != 0x7F);
            ++i;
            continue;
        }
        std::size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        FUZZ_CHECK(len != 0 && i + len <= n);
        unsigned v = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
        for (std::size_t k = 1; k < len; ++k) {
            FUZZ_CHECK((s[i + k] & 0xC0) == 0x80);
            v = (v << 6) | (s[i + k] & 0x3F);
        }
        FUZZ_CHECK(!(v >= 0x80 && v <= 0x9F));  // no 8-bit control
        FUZZ_CHECK(!(len == 3 && v < 0x800) && !(len == 4 && v < 0x10000) && v <= 0x10FFFF);
        FUZZ_CHECK(!(v >= 0xD800 && v <= 0xDFFF));
        i += len;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("LC_ALL", "C.UTF-8", 1);
    setenv("TARVIK_CODEPAGE", DISPLAY_CODEPAGE, 1);
    FuzzQuietStdio();
    ConInitReceived();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    char *shown = nullptr;
    std::size_t shownLen = 0;
    std::FILE *mem = open_memstream(&shown, &shownLen);
    if (mem == nullptr)
        return 0;
    std::FILE *screen = stdout;
    stdout = mem;
    // Pieces of varying size, as reads of the port cut the bytes; a
    // character left pending at the end is flushed by a line end.
    std::size_t pos = 0;
    std::size_t piece = size > 0 ? (data[0] % 5) + 1 : 1;
    while (pos < size) {
        std::size_t n = size - pos < piece ? size - pos : piece;
        ConWriteReceived(data + pos, static_cast<int>(n));
        pos += n;
        piece = piece * 3 % 7 + 1;
    }
    const unsigned char end[] = {'\r', '\n'};
    ConWriteReceived(end, 2);
    // File text goes through the same guard.
    std::string text(reinterpret_cast<const char *>(data), size);
    ConWriteText(text.c_str());
    std::fflush(mem);
    stdout = screen;
    std::fclose(mem);
    CheckShown(reinterpret_cast<const unsigned char *>(shown), shownLen);
    std::free(shown);
    return 0;
}
