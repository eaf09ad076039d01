// SplitTokens: the tokenised command line shared by scripts, command mode
// and the Line-mode diagnostics.
#include "script.h"

#include <cstring>

char *Tokens[MaxTokens];
int TokenCount;

namespace {

char TokenLine[TokenLineSize];

bool IsSeparator(char c) { return c == ' ' || c == ',' || c == '\r' || c == '\t'; }

}  // namespace

int SplitTokens(const char *line)
{
    for (char *&t : Tokens)
        t = nullptr;
    TokenCount = 0;
    if (line == nullptr) {
        TokenLine[0] = '\0';
        return 0;
    }
    // Copy at most 255 characters; a longer line is cut there.
    std::size_t n = 0;
    while (n < TokenLineSize - 1 && line[n] != '\0') {
        TokenLine[n] = line[n];
        ++n;
    }
    TokenLine[n] = '\0';

    char *p = TokenLine;
    while (*p != '\0') {
        while (*p != '\0' && IsSeparator(*p))
            *p++ = '\0';
        if (*p == '\0')
            break;
        if (TokenCount == MaxTokens)
            break;  // more than 20 words: the rest of the line is dropped
        Tokens[TokenCount++] = p;
        while (*p != '\0' && !IsSeparator(*p))
            ++p;
    }
    return TokenCount;
}
