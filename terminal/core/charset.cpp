#include "charset.h"

#include <cctype>
#include <cstdio>
#include <cstring>

void NormaliseCharset(const char *name, char *out, std::size_t size)
{
    std::size_t n = 0;
    for (; *name != 0 && n + 1 < size; ++name) {
        if (*name == '-' || *name == '_')
            continue;
        out[n++] = static_cast<char>(std::toupper(static_cast<unsigned char>(*name)));
    }
    out[n] = 0;
}

unsigned CodePageOfCharset(const char *name)
{
    char norm[64];
    NormaliseCharset(name, norm, sizeof norm);
    if (std::strcmp(norm, "UTF8") == 0)
        return 65001;
    if (std::strncmp(norm, "BIG5", 4) == 0 || std::strcmp(norm, "CP950") == 0)
        return 950;
    if (std::strcmp(norm, "GBK") == 0 || std::strcmp(norm, "GB2312") == 0 || std::strcmp(norm, "GB18030") == 0 ||
        std::strcmp(norm, "CP936") == 0 || std::strcmp(norm, "EUCCN") == 0)
        return 936;
    return 437;
}

void CharsetOfCodePage(unsigned codePage, char *out, std::size_t size)
{
    if (codePage == 65001)
        std::snprintf(out, size, "UTF-8");
    else
        std::snprintf(out, size, "CP%u", codePage);
}

bool IsDoubleByteCodePage(unsigned codePage)
{
    return codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950;
}
