// Fuzz target: the ANSI interpreter, fed the controller's bytes one at a
// time, on a virtual screen.  After every byte the interpreter's state stays
// within its bounds; relative moves keep to their limits (column 80, the
// row above ScreenRows) unless the cursor already stood beyond them; and the
// same bytes given through the receive loop's display in ANSI mode leave
// the same screen and attribute.
#include "ansi.h"
#include "console.h"
#include "fuzz_support.h"
#include "globals.h"
#include "receive.h"

#include <cstdint>
#include <cstring>

namespace {

struct Screen {
    int x, y, attr;
    bool operator==(const Screen &o) const { return x == o.x && y == o.y && attr == o.attr; }
};

Screen Now() { return {fakecon::CursorX, fakecon::CursorY, fakecon::Attribute}; }

void CheckState()
{
    FUZZ_CHECK(AnsiState >= 0 && AnsiState <= 3);
    FUZZ_CHECK(AnsiParamCount >= 0 && AnsiParamCount <= AnsiMaxParams);
    FUZZ_CHECK(AnsiSavedX >= 0 && AnsiSavedY >= 0);
}

Screen RunBytes(const std::uint8_t *data, std::size_t size, bool check)
{
    fakecon::Reset(132, 60);
    ScreenRows = 25;
    AnsiReset();
    for (std::size_t i = 0; i < size; ++i) {
        Screen before = Now();
        int stateBefore = AnsiState;
        AnsiPutByte(data[i]);
        if (!check)
            continue;
        CheckState();
        Screen after = Now();
        // A relative move never passes its limit.
        unsigned char c = data[i];
        if (stateBefore >= 2 && (c == 'C') && after.x != before.x)
            FUZZ_CHECK(after.x <= 80 && after.x > before.x);
        if (stateBefore >= 2 && (c == 'B') && after.y != before.y)
            FUZZ_CHECK(after.y < ScreenRows && after.y > before.y);
        if (stateBefore >= 2 && (c == 'A') && after.y != before.y)
            FUZZ_CHECK(after.y >= 1 && after.y < before.y);
        if (stateBefore >= 2 && (c == 'D') && after.x != before.x)
            FUZZ_CHECK(after.x >= 1 && after.x < before.x);
    }
    return Now();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzQuietStdio();
    ResetGlobals();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Screen direct = RunBytes(data, size, true);

    // The receive loop's display in ANSI mode, in pieces of varying size.
    fakecon::Reset(132, 60);
    ScreenRows = 25;
    AnsiReset();
    AnsiMode = 1;
    HexMode = 0;
    LineMode = 0;
    std::size_t pos = 0;
    std::size_t piece = size > 0 ? (data[0] % 7) + 1 : 1;
    while (pos < size) {
        std::size_t n = size - pos < piece ? size - pos : piece;
        ShowReceived(data + pos, static_cast<int>(n));
        pos += n;
        piece = piece * 3 % 11 + 1;
    }
    AnsiMode = 0;
    FUZZ_CHECK(Now() == direct);
    CheckState();
    return 0;
}
