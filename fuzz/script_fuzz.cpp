// Fuzz target: the script reader with its directives and commands, and
// SplitTokens and sendhex on the same bytes.  A script runs to its end or
// until the user's ALT_X (the fake console gives one after a while without
// keys, which also ends jumps that loop for ever); nothing overruns, the
// tables keep their sizes, and what the commands send keeps its limits.
#include "fuzz_support.h"
#include "globals.h"
#include "serial.h"
#include "script/script.h"
#include "transfer/transfer.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// The receive loop's part while a script waits for a download: it ends an
// armed download that was cancelled (the fake console's ALT_X cancels).
void ReceiveLoopPass()
{
    if (AutoLoadActive != 0 || MultiLoadActive != 0)
        AutoLoadWatch();
}

bool IsSeparator(char c) { return c == ' ' || c == ',' || c == '\r' || c == '\t'; }

void CheckTokens(const std::string &line)
{
    int n = SplitTokens(line.c_str());
    FUZZ_CHECK(n == TokenCount && n >= 0 && n <= MaxTokens);
    std::size_t cut = line.find('\0');
    std::string text = line.substr(0, cut == std::string::npos ? line.size() : cut).substr(0, TokenLineSize - 1);
    // The words are the separator-free runs of the line, in order.
    std::size_t pos = 0;
    for (int i = 0; i < n; ++i) {
        FUZZ_CHECK(Tokens[i] != nullptr && Tokens[i][0] != '\0');
        while (pos < text.size() && IsSeparator(text[pos]))
            ++pos;
        std::size_t end = pos;
        while (end < text.size() && !IsSeparator(text[end]))
            ++end;
        FUZZ_CHECK(text.substr(pos, end - pos) == Tokens[i]);
        pos = end;
    }
    for (int i = n; i < MaxTokens; ++i)
        FUZZ_CHECK(Tokens[i] == nullptr);
    if (n < MaxTokens) {
        while (pos < text.size() && IsSeparator(text[pos]))
            ++pos;
        FUZZ_CHECK(pos == text.size());  // no word left out
    }

    unsigned char bytes[ScriptSendHexSize + 16];
    std::memset(bytes, 0xA5, sizeof bytes);
    int count = BuildSendHex(Tokens, n, bytes, ScriptSendHexSize);
    FUZZ_CHECK(count >= 0 && count <= ScriptSendHexSize);
    for (std::size_t i = ScriptSendHexSize; i < sizeof bytes; ++i)
        FUZZ_CHECK(bytes[i] == 0xA5);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzQuietStdio();
    FUZZ_CHECK(chdir(FuzzTempDir("script").c_str()) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    CheckTokens(text);

    ResetGlobals();
    fakecon::Reset(80, 25);
    fakecon::IdleBudget = 300;
    fakecon::IdleHook = ReceiveLoopPass;
    fakeport::Reset();
    ComResetTable();
    CurrentPort = 1;
    FUZZ_CHECK(ComOpen(1) == 0);

    std::FILE *f = std::fopen("s.txt", "wb");
    FUZZ_CHECK(f != nullptr);
    if (size > 0)
        FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
    FUZZ_CHECK(std::fclose(f) == 0);

    SplitTokens("/run s.txt");
    ExecCommand();

    FUZZ_CHECK(ScriptLabelCount >= 0 && ScriptLabelCount <= ScriptTableSize);
    FUZZ_CHECK(ScriptVarCount >= 0 && ScriptVarCount <= ScriptTableSize);
    for (int i = 0; i < ScriptLabelCount; ++i)
        FUZZ_CHECK(std::memchr(ScriptLabels[i].name, 0, ScriptNameSize) != nullptr);
    for (int i = 0; i < ScriptVarCount; ++i)
        FUZZ_CHECK(std::memchr(ScriptVars[i].name, 0, ScriptNameSize) != nullptr);
    // A download armed by the script has been ended.
    FUZZ_CHECK(AutoLoadActive == 0);
    ComClose(1);
    return 0;
}
