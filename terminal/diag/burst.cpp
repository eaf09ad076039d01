// Test bursts (F12, CTRL_F12) and the packet monitor (ALT_F12), which cuts
// what arrives into 260-byte transfer blocks and checks each one's CRC.
//
// All three run on the key thread.  While the monitor runs it is the port's
// only reader: it raises MonitorActive and waits until the receive loop has
// stepped off the port before it reads.
#include "diag.h"

#include "console.h"
#include "globals.h"
#include "serial.h"
#include "system.h"
#include "../transfer/transfer.h"

#include <cstdio>
#include <cstring>

std::atomic<int> BurstLetter{'A'};

namespace {

constexpr int LetterBurstSize = 1040;  // four blocks of 260
constexpr int BlockSize = 260;
constexpr int MonitorReadSize = 4096;
const char BurstLine[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ12345678901234567890ABC\r\n";
constexpr int BurstLineSize = 51;
constexpr int BurstLineCount = 20;
// How long the monitor waits for the receive loop to let go of the port;
// past it the monitor reads anyway (the loop is busy with something long).
constexpr int MonitorHandOverMs = 3000;
// The monitor waits for data at most this long before it looks at the keys.
constexpr int MonitorPollMs = 10;

static_assert(sizeof BurstLine - 1 == BurstLineSize, "the burst line is 51 bytes");

// Bytes of the current block already placed (key thread only).
int BlockFill = 0;

void WaitForHandOver()
{
    std::uint32_t start = SysTickMs();
    while (MonitorActive != 2 && SysTickMs() - start < static_cast<std::uint32_t>(MonitorHandOverMs))
        SysSleepMs(1);
}

}  // namespace

void SendLetterBurst()
{
    unsigned char burst[LetterBurstSize];
    int letter = BurstLetter;
    if (letter < 'A' || letter > 'Z')
        letter = 'A';
    std::memset(burst, letter, sizeof burst);
    BurstLetter = letter == 'Z' ? 'A' : letter + 1;
    ComWrite(CurrentPort, burst, LetterBurstSize);
}

void SendLineBurst()
{
    for (int i = 0; i < BurstLineCount; ++i)
        ComWrite(CurrentPort, BurstLine, BurstLineSize);
    std::printf("[send 51*20 bytes]");
}

void PacketFeed(const unsigned char *data, int n)
{
    unsigned char *block = TransferBlock;
    if (BlockFill < 0 || BlockFill >= BlockSize)
        BlockFill = 0;
    while (n > 0) {
        if (BlockFill + n >= BlockSize) {
            int take = BlockSize - BlockFill;
            std::memcpy(block + BlockFill, data, static_cast<size_t>(take));
            data += take;
            n -= take;
            BlockFill = 0;
            unsigned count = static_cast<unsigned>(block[0]) | (static_cast<unsigned>(block[1]) << 8);
            std::printf("-->Packet %u : ", count);
            if (Crc16(block, BlockSize) != 0)
                std::printf("CRC error!\n");
            else
                std::printf("crc OK\n");
        } else {
            std::memcpy(block + BlockFill, data, static_cast<size_t>(n));
            BlockFill += n;
            n = 0;
            std::printf("[%d]", BlockFill);
        }
    }
}

void PacketFeedReset()
{
    BlockFill = 0;
}

void PacketDisplay()
{
    static unsigned char buffer[MonitorReadSize];
    MakeCrcTable();
    BlockFill = 0;
    MonitorActive = 1;
    ComWake();
    WaitForHandOver();
    bool stop = false;
    while (!stop) {
        // Wait for the port (bounded), so that an idle monitor sleeps; a
        // port that cannot be waited on leaves the wait to the console.
        if (ComWaitReadable(CurrentPort, MonitorPollMs) < 0)
            ConWaitInput(MonitorPollMs);
        int n = ComRead(CurrentPort, buffer, MonitorReadSize);
        if (n > 0) {
            std::printf("{%d}", n);
            PacketFeed(buffer, n);
        } else if (n == ComGone) {
            // The receive loop waits for the device and opens it again.
            std::printf("\n[COM%d is gone]\n", CurrentPort.load());
            break;
        }
        int key = ConReadKey();
        if (key == KEY_ESC || ExitRequest) {
            stop = true;
        } else if (key == 'r') {
            BlockFill = 0;
            std::printf("\nReset idx!\n");
        }
    }
    std::fflush(stdout);
    MonitorActive = 0;
}
