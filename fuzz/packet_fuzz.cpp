// Fuzz target: the packet monitor's block gathering.  Received pieces of any
// size go into 260-byte blocks; after every piece the block buffer holds
// exactly the tail of the stream since the last reset (the bytes of the
// block being gathered, or the last complete block).
#include "diag/diag.h"
#include "fuzz_support.h"
#include "globals.h"
#include "transfer/transfer.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzQuietStdio();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    PacketFeedReset();
    std::string stream;
    std::size_t pos = 0;
    while (pos < size) {
        // A length byte: 0xFF resets the block (the monitor's 'r'), other
        // values give a piece of up to 3 * 254 bytes.
        std::uint8_t len = data[pos++];
        if (len == 0xFF) {
            PacketFeedReset();
            stream.clear();
            continue;
        }
        std::size_t n = static_cast<std::size_t>(len) * 3;
        if (n > size - pos)
            n = size - pos;
        PacketFeed(data + pos, static_cast<int>(n));
        stream.append(reinterpret_cast<const char *>(data + pos), n);
        pos += n;

        std::size_t fill = stream.size() % TransferBlockSize;
        if (fill != 0)
            FUZZ_CHECK(std::memcmp(TransferBlock, stream.data() + stream.size() - fill, fill) == 0);
        else if (!stream.empty())
            FUZZ_CHECK(std::memcmp(TransferBlock, stream.data() + stream.size() - TransferBlockSize,
                                   TransferBlockSize) == 0);
    }
    return 0;
}
