// Names of character sets and code pages, as a terminal's locale and the
// conversion library spell them.  Pure functions; the POSIX console
// back-end uses them to convert code-page text for the terminal.
#pragma once

#include <cstddef>

// Upper case without '-' and '_': "utf-8" and "UTF8" compare equal.
void NormaliseCharset(const char *name, char *out, std::size_t size);
// The code page of a character set name: 65001 (UTF-8), 950 (Big5), 936
// (the GB family), else 437.
unsigned CodePageOfCharset(const char *name);
// The conversion library's name of a code page ("UTF-8", "CP950").
void CharsetOfCodePage(unsigned codePage, char *out, std::size_t size);
// Whether characters of the code page take one or two bytes.
bool IsDoubleByteCodePage(unsigned codePage);
