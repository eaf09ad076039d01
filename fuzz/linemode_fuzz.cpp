// Fuzz target: Line mode.  The input is a little program of typed keys,
// command-line words given straight to ApplyDiagOption, controller replies
// shown by the receive loop and test steps.  The typed line, the command
// bytes, the pattern buffer and every line sent keep their sizes.
#include "diag/diag.h"
#include "fuzz_support.h"
#include "globals.h"
#include "serial.h"
#include "receive.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

void CheckState()
{
    FUZZ_CHECK(LineLength >= 0 && LineLength <= LineMaxTyped);
    char text[DiagCommandTextSize + 8];
    unsigned char bytes[DiagCommandBytesSize + 8];
    std::memset(text, 0x5A, sizeof text);
    std::memset(bytes, 0x5A, sizeof bytes);
    int n = DiagCommand(text, bytes);
    FUZZ_CHECK(n >= 0 && n <= DiagCommandBytesSize);
    FUZZ_CHECK(std::memchr(text, 0, DiagCommandTextSize) != nullptr);
    for (std::size_t i = DiagCommandTextSize; i < sizeof text; ++i)
        FUZZ_CHECK(text[i] == 0x5A);
    FUZZ_CHECK(PatternIndex >= 0 && PatternIndex <= PatternBufferSize);
    FUZZ_CHECK(PatternLength >= 0 && PatternLength < PatternTextSize);
    FUZZ_CHECK(std::memchr(PatternText, 0, PatternTextSize) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzQuietStdio();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    ResetGlobals();
    ResetDiag();
    fakecon::Reset(80, 25);
    fakeport::Reset();
    ComResetTable();
    CurrentPort = 1;
    FUZZ_CHECK(ComOpen(1) == 0);
    LineMode = 1;
    LineLength = 0;

    std::size_t pos = 0;
    while (pos < size) {
        std::uint8_t op = data[pos++];
        std::size_t before = fakeport::Written.size();
        switch (op % 5) {
        case 0:
        case 1:
            // A typed key (the low byte is what Line mode sees).
            if (pos < size)
                LineModeKey(data[pos++]);
            break;
        case 2: {
            // One word given to the option reader.
            std::size_t n = pos < size ? data[pos++] % 96 : 0;
            if (n > size - pos)
                n = size - pos;
            std::string word(reinterpret_cast<const char *>(data + pos), n);
            pos += n;
            ApplyDiagOption(word.c_str());
            break;
        }
        case 3: {
            // A reply from the controller.
            std::size_t n = pos < size ? data[pos++] % 128 : 0;
            if (n > size - pos)
                n = size - pos;
            ShowReceived(data + pos, static_cast<int>(n));
            pos += n;
            break;
        }
        default:
            RepeatTestStep();
            ScanStep();
            break;
        }
        // No single action sends more than one line or one command.
        FUZZ_CHECK(fakeport::Written.size() - before <= LineBufferSize + PatternTextSize);
        CheckState();
    }
    ComClose(1);
    return 0;
}
