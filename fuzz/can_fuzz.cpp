// Fuzz target: the CAN receive-record decoder and the library's event
// handling against a hostile simulated board.  One board is set up in slot 1
// (oceloLnx on the simulated slot library, bus inside this process); each
// input is a little program that pokes bytes into the board's DPRAM (receive
// zones, record counts, status pairs, the interrupt code), raises the
// board's interrupt, reads messages and status, sends, and resets the books.
// Checks: decoded records keep their ranges and never write past DataLen;
// the library's batch bookkeeping stays within one zone of 64 records; the
// transmit ring position stays on a slot of the ring.
#include "BoardSim.h"
#include "Ocelo.h"
#include "OceloProtocol.h"
#include "SlotSim.h"
#include "fuzz_support.h"

#include <csignal>
#include <cstdint>
#include <cstring>
#include <pthread.h>

namespace {

constexpr int Slot = 1;
constexpr int Signal = 40 + Slot;

struct Input {
    const std::uint8_t *p;
    std::size_t left;
    std::uint8_t Byte()
    {
        if (left == 0)
            return 0;
        --left;
        return *p++;
    }
    unsigned Word() { return Byte() | (static_cast<unsigned>(Byte()) << 8); }
};

// Runs with the slot's interrupt held back, as the library's own sequences
// do, so that a check sees one consistent state.
class Quiet {
public:
    Quiet()
    {
        sigset_t s;
        sigemptyset(&s);
        sigaddset(&s, Signal);
        pthread_sigmask(SIG_BLOCK, &s, &old_);
    }
    ~Quiet() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

private:
    sigset_t old_;
};

void CheckBooks()
{
    Quiet q;
    FUZZ_CHECK(StoreMsgNum[Slot] <= OCELO_ZONE_RECORDS);
    FUZZ_CHECK(CANRdCnt[Slot] <= StoreMsgNum[Slot]);
    FUZZ_CHECK(DPStartToReadIndex[Slot] <= 1);
    unsigned tx = TxMsgStartAddr;
    FUZZ_CHECK(tx >= OCELO_DP_TXRING && tx < OCELO_DP_TXRING_END);
    FUZZ_CHECK((tx - OCELO_DP_TXRING) % OCELO_TX_SLOT_SIZE == 0);
}

void CheckDecoded(unsigned char mode, unsigned long id, unsigned char rtr, unsigned char len,
                  const unsigned char *data, std::size_t cap)
{
    FUZZ_CHECK(mode <= 1 && rtr <= 1 && len <= 8);
    FUZZ_CHECK(id <= (mode ? 0x1FFFFFFFul : 0x7FFul));
    std::size_t used = rtr ? 0 : len;
    for (std::size_t i = used; i < cap; ++i)
        FUZZ_CHECK(data[i] == 0xA5);  // nothing written past the frame's data
}

void GetOne()
{
    unsigned char mode = 9, rtr = 9, len = 99;
    OceloULong id = 0, upper = 0, lower = 0;
    unsigned char data[16];
    std::memset(data, 0xA5, sizeof data);
    int rc = GetCANMsg(Slot, &mode, &id, &rtr, &len, data, &upper, &lower);
    FUZZ_CHECK(rc == OCELO_OK || rc == OCELO_NO_MSG || rc == OCELO_OVERFLOW || rc == OCELO_NOT_INIT);
    if (rc == OCELO_OK)
        CheckDecoded(mode, id, rtr, len, data, sizeof data);
}

void Interrupt()
{
    // The interrupt as the slot driver raises it, handled on this thread.
    RakCAN_ISR(Signal);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FUZZ_CHECK(BoardSimSetBus("off") == 0);
    FUZZ_CHECK(SlotSimOpen(Slot) == 0);
    int rc = OCELO_ERR_BOARD;
    for (int i = 0; i < 3 && rc != OCELO_OK; ++i)
        rc = OceloInit(Slot, 125000, 0, 0, 0, 0xFFFFFFFFul);
    FUZZ_CHECK(rc == OCELO_OK);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size)
{
    // The decoder alone on the first record's worth of bytes.
    if (size >= OCELO_REC_SIZE) {
        unsigned char mode = 9, rtr = 9, len = 99;
        unsigned long id = 0, upper = 0, lower = 0;
        unsigned char data[16];
        std::memset(data, 0xA5, sizeof data);
        OceloDecodeRxRecord(bytes, &mode, &id, &rtr, &len, data, &upper, &lower);
        CheckDecoded(mode, id, rtr, len, data, sizeof data);
        FUZZ_CHECK(upper == OceloGetLE32(bytes + 13) && lower == OceloGetLE32(bytes + 17));
        // A record that the encoder makes from the decoded frame decodes to it again.
        unsigned char rec[OCELO_REC_SIZE];
        OceloEncodeRxRecord(rec, mode, id, rtr, len, data, static_cast<uint32_t>(upper), static_cast<uint32_t>(lower));
        unsigned char mode2, rtr2, len2, data2[8];
        unsigned long id2, upper2, lower2;
        OceloDecodeRxRecord(rec, &mode2, &id2, &rtr2, &len2, data2, &upper2, &lower2);
        FUZZ_CHECK(mode2 == mode && id2 == id && rtr2 == rtr && len2 == len && upper2 == upper && lower2 == lower);
        if (!rtr)
            FUZZ_CHECK(std::memcmp(data2, data, len) == 0);
    }

    Input in{bytes, size};
    int sends = 0;
    while (in.left > 0) {
        switch (in.Byte() % 10) {
        case 0: {  // a byte anywhere in the DPRAM
            unsigned addr = in.Word() % OCELO_DPRAM_SIZE;
            BoardSimPoke(Slot, addr, in.Byte());
            break;
        }
        case 1: {  // a whole record in a receive zone
            unsigned zone = in.Byte() & 1;
            unsigned index = in.Byte() % OCELO_ZONE_RECORDS;
            unsigned base = (zone ? OCELO_DP_ZONE1 : OCELO_DP_ZONE0) + index * OCELO_REC_SIZE;
            for (unsigned k = 0; k < OCELO_REC_SIZE; ++k)
                BoardSimPoke(Slot, base + k, in.Byte());
            break;
        }
        case 2: {  // a batch announced with any count, then its interrupt
            unsigned zone = in.Byte() & 1;
            BoardSimPoke(Slot, OCELO_DP_RXCOUNT0 + zone, in.Byte());
            BoardSimPoke(Slot, OCELO_DP_INTCODE, OCELO_EV_RX);
            Interrupt();
            break;
        }
        case 3: {  // any interrupt code
            BoardSimPoke(Slot, OCELO_DP_INTCODE, in.Byte());
            Interrupt();
            break;
        }
        case 4: {  // a status pair, matching or not, and its event
            unsigned addr = (in.Byte() & 1) ? OCELO_DP_CANSTAT : OCELO_DP_BUFSTAT;
            BoardSimPoke(Slot, addr, in.Byte());
            BoardSimPoke(Slot, addr + 1, in.Byte());
            BoardSimPoke(Slot, OCELO_DP_INTCODE, addr == OCELO_DP_CANSTAT ? OCELO_EV_CANSTAT : OCELO_EV_BUFSTAT);
            Interrupt();
            break;
        }
        case 5:
        case 6: {
            int n = in.Byte() % 8 + 1;
            for (int i = 0; i < n; ++i)
                GetOne();
            break;
        }
        case 7: {
            unsigned char can = 0, overflow = 0;
            FUZZ_CHECK(GetStatus(Slot, &can, &overflow) == OCELO_OK);
            if (in.Byte() & 1)
                FUZZ_CHECK(ClearStatus(Slot) == OCELO_OK);
            break;
        }
        case 8: {  // a frame out (a silent board costs 50 ms: at most two an input)
            unsigned char mode = in.Byte() & 1;
            unsigned long id = in.Word() | (static_cast<unsigned long>(in.Word()) << 16);
            unsigned char rtr = in.Byte() & 1;
            unsigned char len = in.Byte();
            unsigned char data[8];
            for (unsigned char &d : data)
                d = in.Byte();
            if (sends++ < 2) {
                int rc = SendCANMsg(Slot, mode, id, rtr, len, data);
                FUZZ_CHECK(rc == OCELO_OK || rc == OCELO_ERR_BOARD || rc == OCELO_OVERFLOW ||
                           rc == OCELO_NOT_INIT);
            }
            break;
        }
        default:
            FUZZ_CHECK(ResetOcelo(Slot) == OCELO_OK);
            break;
        }
        CheckBooks();
    }

    // Leave the board and the library in step for the next input: a reset
    // notice (event 64) among the codes left the slot uninitialised, and
    // the next input starts from empty books with the status cleared.
    {
        Quiet q;
        if (!RakInit[Slot])
            RakInit[Slot] = 1;
    }
    BoardSimPoke(Slot, OCELO_DP_CANSTAT, 0);
    BoardSimPoke(Slot, OCELO_DP_CANSTAT + 1, 0xFF);
    BoardSimPoke(Slot, OCELO_DP_BUFSTAT, 0);
    BoardSimPoke(Slot, OCELO_DP_BUFSTAT + 1, 0xFF);
    BoardSimPoke(Slot, OCELO_DP_INTCODE, 0);
    ClearStatus(Slot);
    if (StoreMsgNum[Slot] != 0 || DPStartToReadIndex[Slot] != 0 || TxMsgStartAddr != OCELO_DP_TXRING)
        ResetOcelo(Slot);  // (5 ms: only when the books moved)
    CheckBooks();
    return 0;
}
