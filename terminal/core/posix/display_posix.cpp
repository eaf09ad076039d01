// Received bytes on a POSIX terminal, shown the way a text console in a code
// page shows them (see display.h).
//
// Control characters other than BEL, BS, TAB, LF and CR become the glyphs of
// the console font (code page 437: ESC is an arrow, 0x01 a smiling face);
// runs of plain ASCII go out unchanged; everything from the first byte
// 0x80-0xFF up to the next control character goes through iconv from the
// code page to the terminal's character set.  An incomplete character at the
// end of a read waits in Pending for the next read.
#include "display.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <string>

namespace {

// The console font's glyphs of the control characters 0x00-0x1F and 0x7F,
// in UTF-8.  0x00 shows as a blank, as on the console.
const char *const ControlGlyphs[33] = {
    " ",            "\u263A", "\u263B", "\u2665", "\u2666", "\u2663", "\u2660", "\u2022",
    "\u25D8",       "\u25CB", "\u25D9", "\u2642", "\u2640", "\u266A", "\u266B", "\u263C",
    "\u25BA",       "\u25C4", "\u2195", "\u203C", "\u00B6", "\u00A7", "\u25AC", "\u21A8",
    "\u2191",       "\u2193", "\u2192", "\u2190", "\u221F", "\u2194", "\u25B2", "\u25BC",
    "\u2302",  // 0x7F
};

bool Ready = false;
iconv_t FromCodePage = reinterpret_cast<iconv_t>(-1);
std::string Glyphs[33];  // ControlGlyphs in the terminal's character set
// The terminal takes UTF-8; otherwise, whether it takes a single-byte set
// in which 0x80-0x9F are the 8-bit control characters.
bool TerminalUtf8 = true;
bool TerminalLatin = false;
std::string Replacement = "?";  // shown for what must not reach the terminal

// Bytes of a character not yet complete (at most a few: the longest
// multi-byte character of the code pages in use has four).
unsigned char Pending[8];
std::size_t PendingLen = 0;

bool IsActing(unsigned char c)
{
    return c == 0x07 || c == 0x08 || c == 0x09 || c == 0x0A || c == 0x0D;
}

bool IsControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

// The terminal's character set from the user's locale; the plain C locale
// counts as UTF-8, as terminals are in practice.
std::string TerminalCharset()
{
    std::string name = "UTF-8";
    locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (loc == static_cast<locale_t>(nullptr))
        return name;
    const char *cs = nl_langinfo_l(CODESET, loc);
    if (cs != nullptr && cs[0] != 0 && std::strcmp(cs, "ANSI_X3.4-1968") != 0 && std::strcmp(cs, "ASCII") != 0)
        name = cs;
    freelocale(loc);
    return name;
}

iconv_t OpenFrom(unsigned codePage, const std::string &to)
{
    char from[32];
    if (codePage == 65001)
        std::snprintf(from, sizeof from, "UTF-8");
    else
        std::snprintf(from, sizeof from, "CP%u", codePage);
    return iconv_open(to.c_str(), from);
}

void Init()
{
    if (Ready)
        return;
    Ready = true;
    std::string to = TerminalCharset();
    TerminalUtf8 = to == "UTF-8" || to == "utf-8" || to == "utf8" || to == "UTF8";
    TerminalLatin = to.compare(0, 8, "ISO-8859") == 0 || to.compare(0, 4, "KOI8") == 0;
    if (TerminalUtf8)
        Replacement = "\xEF\xBF\xBD";  // U+FFFD
    const char *env = std::getenv("TARVIK_CODEPAGE");
    if (env != nullptr && env[0] != 0) {
        char *end = nullptr;
        unsigned long cp = std::strtoul(env, &end, 10);
        iconv_t cd = reinterpret_cast<iconv_t>(-1);
        if (*end == 0 && cp > 0 && cp < 100000)
            cd = OpenFrom(static_cast<unsigned>(cp), to);
        if (cd != reinterpret_cast<iconv_t>(-1)) {
            FromCodePage = cd;
        } else {
            std::printf("[TARVIK_CODEPAGE=%s cannot be shown here; code page 437 is used]\n\r", env);
        }
    }
    if (FromCodePage == reinterpret_cast<iconv_t>(-1))
        FromCodePage = OpenFrom(437, to);

    iconv_t glyphs = iconv_open(to.c_str(), "UTF-8");
    for (int i = 0; i < 33; ++i) {
        Glyphs[i] = "?";
        if (glyphs == reinterpret_cast<iconv_t>(-1))
            continue;
        char out[16];
        char *in = const_cast<char *>(ControlGlyphs[i]);
        std::size_t inLeft = std::strlen(ControlGlyphs[i]);
        char *o = out;
        std::size_t outLeft = sizeof out;
        iconv(glyphs, nullptr, nullptr, nullptr, nullptr);
        if (iconv(glyphs, &in, &inLeft, &o, &outLeft) != static_cast<std::size_t>(-1) &&
            iconv(glyphs, nullptr, nullptr, &o, &outLeft) != static_cast<std::size_t>(-1))
            Glyphs[i].assign(out, sizeof out - outLeft);
    }
    if (glyphs != reinterpret_cast<iconv_t>(-1))
        iconv_close(glyphs);
}

// Length of the well-formed UTF-8 character at s[0..n) (no overlong form,
// no surrogate, nothing above U+10FFFF) and its code point; 0 when s does
// not start with one.
std::size_t Utf8Char(const unsigned char *s, std::size_t n, unsigned *cp)
{
    unsigned char c = s[0];
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    std::size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (len == 0 || n < len)
        return 0;
    unsigned v = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
    for (std::size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        v = (v << 6) | (s[i] & 0x3F);
    }
    if ((len == 3 && (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF))) || (len == 4 && (v < 0x10000 || v > 0x10FFFF)))
        return 0;
    *cp = v;
    return len;
}

// Writes text already in the terminal's character set.  What could still
// act on the terminal is shown instead: control characters other than
// BEL, BS, TAB, LF and CR as their glyphs, the 8-bit controls (plain or
// UTF-8-encoded) and malformed UTF-8 as the replacement character.
void WriteShown(const char *text, std::size_t n)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
    std::size_t i = 0;
    while (i < n) {
        std::size_t j = i;
        unsigned cp = 0;
        std::size_t len = 1;
        // The run that goes out as it is.
        for (; j < n; j += len) {
            unsigned char c = s[j];
            if (IsControl(c) && !IsActing(c))
                break;
            if (TerminalUtf8) {
                len = Utf8Char(s + j, n - j, &cp);
                if (len == 0 || (cp >= 0x80 && cp <= 0x9F))
                    break;
            } else {
                len = 1;
                if (TerminalLatin && c >= 0x80 && c <= 0x9F)
                    break;
            }
        }
        if (j > i)
            std::fwrite(s + i, 1, j - i, stdout);
        if (j >= n)
            break;
        unsigned char c = s[j];
        if (IsControl(c)) {
            std::fputs(Glyphs[c == 0x7F ? 32 : c].c_str(), stdout);
            i = j + 1;
        } else {
            std::fputs(Replacement.c_str(), stdout);
            i = j + (len > 0 ? len : 1);
        }
    }
}

// Converts text (no control characters), Pending first.  more: the text
// runs on into the next read, so an incomplete character at its end waits
// there; otherwise it is shown as '?'.
void ShowText(const unsigned char *text, std::size_t len, bool more)
{
    if (FromCodePage == reinterpret_cast<iconv_t>(-1)) {
        for (std::size_t i = 0; i < len; ++i)
            std::putchar(text[i] < 0x80 ? text[i] : '?');
        PendingLen = 0;
        return;
    }
    char buf[512];
    char out[2048];
    do {
        std::size_t k = PendingLen;
        std::memcpy(buf, Pending, k);
        PendingLen = 0;
        std::size_t take = len < sizeof buf - k ? len : sizeof buf - k;
        if (take > 0) {
            std::memcpy(buf + k, text, take);
            text += take;
        }
        len -= take;
        k += take;
        char *in = buf;
        std::size_t left = k;
        while (left > 0) {
            char *o = out;
            std::size_t outLeft = sizeof out;
            std::size_t r = iconv(FromCodePage, &in, &left, &o, &outLeft);
            int err = r == static_cast<std::size_t>(-1) ? errno : 0;
            WriteShown(out, sizeof out - outLeft);
            if (err == 0 || err == E2BIG)
                continue;
            if (err == EINVAL && (len > 0 || more) && left < sizeof Pending) {
                std::memcpy(Pending, in, left);
                PendingLen = left;
                break;
            }
            // Not a character of the code page, or cut off: one '?' for its
            // first byte, and on with the next.
            std::putchar('?');
            ++in;
            --left;
            iconv(FromCodePage, nullptr, nullptr, nullptr, nullptr);
        }
    } while (len > 0);
}

}  // namespace

void ConInitReceived()
{
    Init();
}

void ConWriteText(const char *text)
{
    Init();
    WriteShown(text, std::strlen(text));
}

void ConWriteReceived(const unsigned char *buf, int n)
{
    Init();
    int i = 0;
    while (i < n) {
        if (PendingLen == 0) {
            // Plain ASCII and the control characters that act go out as
            // they are, in one write.
            int j = i;
            while (j < n && ((buf[j] >= 0x20 && buf[j] < 0x7F) || IsActing(buf[j])))
                ++j;
            if (j > i) {
                std::fwrite(buf + i, 1, static_cast<std::size_t>(j - i), stdout);
                i = j;
                continue;
            }
        }
        unsigned char c = buf[i];
        if (IsControl(c)) {
            if (PendingLen > 0)
                ShowText(nullptr, 0, false);
            if (IsActing(c))
                std::putchar(c);
            else
                std::fputs(Glyphs[c == 0x7F ? 32 : c].c_str(), stdout);
            ++i;
            continue;
        }
        int j = i;
        while (j < n && !IsControl(buf[j]))
            ++j;
        ShowText(buf + i, static_cast<std::size_t>(j - i), j == n);
        i = j;
    }
}
