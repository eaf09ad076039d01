// Fuzz target: the key decoder for the byte sequences of POSIX terminals.
// Every call consumes within the buffer, a final call always consumes, every
// code is one the console layer defines, and the keys come out the same
// whether the bytes arrive at once or in pieces (a piece that ends inside a
// sequence waits for the rest, as the console does).
#include "console.h"
#include "fuzz_support.h"
#include "keydecode.h"

#include <cstdint>
#include <vector>

namespace {

bool KnownCode(int code)
{
    if (code >= -128 && code <= 255)
        return true;  // no key, a character, Escape, Ctrl+letter
    if (code >= KEY_LEFT && code <= KEY_DOWN)
        return true;
    if ((code & 0xFF) != 0)
        return false;
    int high = code >> 8;
    if ((high >= 0x30 && high <= 0x3B) || (high >= 0x70 && high <= 0x7B) || (high >= 0xB0 && high <= 0xBB) ||
        (high >= 0xF0 && high <= 0xFB))
        return true;  // F1..F12 plain, Ctrl, Alt, Shift
    if (high >= 0x80 && high <= 0x89)
        return true;  // ALT_0..ALT_9
    if (high >= 0x91 && high <= 0xAA)
        return true;  // ALT_A..ALT_Z
    return false;
}

// Decodes the stream, the bytes arriving in pieces of the given sizes (the
// last piece then being final), the way the console's input buffer does.
std::vector<int> Decode(const std::uint8_t *data, std::size_t size, const std::vector<std::size_t> &pieces)
{
    std::vector<int> codes;
    std::size_t have = 0;  // bytes arrived
    std::size_t pos = 0;   // bytes consumed
    std::size_t piece = 0;
    while (pos < size) {
        if (have == pos || piece < pieces.size() || have < size) {
            // More bytes arrive.
            std::size_t n = piece < pieces.size() ? pieces[piece++] : size - have;
            have = have + n < size ? have + n : size;
        }
        bool final = have == size;
        int code = -1;
        int len = static_cast<int>(have - pos);
        int used = KeyDecodeBytes(data + pos, len, final, &code);
        FUZZ_CHECK(used >= 0 && used <= len);
        FUZZ_CHECK(KnownCode(code));
        if (final)
            FUZZ_CHECK(used >= 1);
        if (used == 0) {
            FUZZ_CHECK(code == 0);
            continue;  // wait for more
        }
        pos += static_cast<std::size_t>(used);
        if (code != 0)
            codes.push_back(code);
    }
    return codes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    // The first byte chooses how the rest is cut into pieces.
    unsigned cut = data[0];
    ++data;
    --size;
    std::vector<int> whole = Decode(data, size, {});
    std::vector<std::size_t> pieces;
    unsigned step = (cut & 7) + 1;
    for (std::size_t done = 0; done < size;) {
        pieces.push_back(step);
        done += step;
        step = (step * (cut | 1) + 3) % 9 + 1;
    }
    std::vector<int> split = Decode(data, size, pieces);
    FUZZ_CHECK(split == whole);
    return 0;
}
