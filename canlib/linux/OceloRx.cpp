// Receive path, Linux: the slot signal handler and GetCANMsg.
#include "OceloLnx.h"
#include "OceloWait.h"

#include <cerrno>
#include <cstring>
#include <time.h>

using namespace ocelo_lnx;

namespace {

long long StartTimeUs;  // library-wide timer of TimerReset / TimerCheck

void ReadStatusInHandler(int Slot, unsigned Addr, unsigned char &Copy)
{
    for (int i = 0; i < 21; ++i) {
        unsigned char v = RawRead(Slot, Addr);
        unsigned char c = RawRead(Slot, Addr + 1);
        if (OceloStatusPairValid(v, c)) {
            Store(Copy, v);
            return;
        }
    }
}

// Event 16: take the announced batch into the empty software buffer; true
// when records were taken.
bool TakeBatch(int Slot)
{
    bool took = false;
    if (Load(CANRdCnt[Slot]) == Load(StoreMsgNum[Slot])) {
        const unsigned zone = Load(DPStartToReadIndex[Slot]) & 1;
        const unsigned countAddr = OCELO_DP_RXCOUNT0 + zone;
        unsigned char n = RawRead(Slot, countAddr);
        if (n >= 1 && n <= OCELO_ZONE_RECORDS) {
            RawWrite(Slot, countAddr, 0);
            // The log is shared by all slots, whose handlers may run at once.
            unsigned char at = __atomic_fetch_add(&ArrCnt, 1, __ATOMIC_ACQ_REL);
            Store(SizeArray[at], n);
            unsigned char *buf = CANReadMsg[Slot];
            std::memset(buf, 0, OCELO_ZONE_SIZE);
            const unsigned base = DPZoneBase[zone];
            const unsigned len = static_cast<unsigned>(n) * OCELO_REC_SIZE;
            // One page-register write per 32-byte page.
            for (unsigned i = 0; i < len; ++i) {
                unsigned addr = base + i;
                if (i == 0 || (addr & 31) == 0)
                    RegWrite(Slot, OCELO_REG_PAGE, static_cast<unsigned char>((addr >> 5) & 0xFF));
                buf[i] = RegRead(Slot, (addr & 31) + OCELO_REG_WINDOW);
            }
            timespec arrived;
            clock_gettime(CLOCK_REALTIME, &arrived);
            Store(BatchTimeNs[Slot], static_cast<long long>(arrived.tv_sec) * 1'000'000'000LL + arrived.tv_nsec);
            Store(DPStartToReadIndex[Slot], zone ^ 1);
            Store(CANRdCnt[Slot], 0);  // count before number: never "old index, new count"
            Store(StoreMsgNum[Slot], n);
            took = true;
        }
        // "Zone taken" answers every notice the host acts on, also one whose
        // count it cannot take (0 or above 64): the board waits for this
        // answer before it goes on, and a board left waiting sends nothing
        // more.  The zone index stays where it is when nothing was taken.
        RawWrite(Slot, OCELO_DP_COMMAND, OCELO_CMD_ZONE_TAKEN);
    }
    Store(RequistAllow[Slot], 1);
    return took;
}

} // namespace

void ocelo_lnx::HandleInterrupt(int Slot)
{
    const unsigned char event = RawRead(Slot, OCELO_DP_INTCODE) & 0xF0;
    bool took = false;
    switch (event) {
    case OCELO_EV_READY:
        Store(RequistAllow[Slot], 1);
        break;
    case OCELO_EV_RX:
        took = TakeBatch(Slot);
        break;
    case OCELO_EV_RESET:
        RawWrite(Slot, OCELO_DP_INTCODE, 0);
        Store(RakCANSystemReset[Slot], 1);
        Store(RakInit[Slot], 0);
        break;
    case OCELO_EV_CANSTAT:
        ReadStatusInHandler(Slot, OCELO_DP_CANSTAT, CANStatus[Slot]);
        break;
    case OCELO_EV_BUFSTAT:
        ReadStatusInHandler(Slot, OCELO_DP_BUFSTAT, BufStatus[Slot]);
        break;
    case OCELO_EV_TXACK:
        Store(TxGetAck[Slot], 1);
        break;
    default:
        break;
    }
    NoteRxEvent(Slot, event, took);
}

extern "C" {

// Runs on whichever thread the signal lands.  Threads inside a register
// sequence of this slot have the slot signals blocked and hold the slot's
// register lock; the handler takes the same lock, so its accesses never fall
// between another thread's page write and window access.  If the lock stays
// taken (another thread is mid-sequence), the interrupt is marked as left
// over and that thread (or handler) handles it when it lets go; exactly one of the two
// takes the mark, so one interrupt is handled once.
void RakCAN_ISR(int IntSingal)
{
    const int saved = errno;
    const int Slot = IntSingal - kFirstSignal;
    if (Slot >= 1 && Slot <= 7) {
        bool locked = TryLockRegs(Slot, 200);
        if (!locked) {
            MarkDeferred(Slot);
            locked = TryLockRegs(Slot, 1);  // it may have let go just now
            if (locked && !TakeDeferred(Slot)) {
                ReleaseRegs(Slot);  // the holder has taken the interrupt over
                locked = false;
            }
        } else {
            TakeDeferred(Slot);  // this run answers an interrupt left earlier too
        }
        if (locked) {
            HandleInterrupt(Slot);
            ReleaseRegs(Slot);  // and what other runs of this handler left meanwhile
        }
    }
    errno = saved;
}

void TimerReset(void) { Store(StartTimeUs, static_cast<long long>(NowMs() * 1000.0)); }

int TimerCheck(int CntDown)
{
    double elapsed = NowMs() - static_cast<double>(Load(StartTimeUs)) / 1000.0;
    return elapsed > static_cast<double>(CntDown) ? 1 : 0;
}

int GetCANMsg(OceloSlot Slot, unsigned char *Mode, OceloULong *MsgID, unsigned char *RTR, unsigned char *DataLen,
              unsigned char *Data, OceloULong *UpperTime, OceloULong *LowerTime)
{
    return GetCANMsgStamp(Slot, Mode, MsgID, RTR, DataLen, Data, UpperTime, LowerTime, nullptr);
}

int GetCANMsgStamp(OceloSlot Slot, unsigned char *Mode, OceloULong *MsgID, unsigned char *RTR,
                   unsigned char *DataLen, unsigned char *Data, OceloULong *UpperTime, OceloULong *LowerTime,
                   double *HostTime)
{
    if (!ValidSlot(Slot))
        return OCELO_BAD_SLOT;
    if (!Load(RakInit[Slot]))
        return OCELO_NOT_INIT;
    if (Load(BufStatus[Slot]))
        return OCELO_OVERFLOW;

    // Decoding and counting happen with the slot's interrupt kept out, on
    // every thread, so a batch is never loaded between the two.
    SlotGuard guard(Slot);
    const unsigned char cnt = Load(CANRdCnt[Slot]);
    if (cnt >= Load(StoreMsgNum[Slot])) {
        // Each slot paces its own requests: one slot's traffic must not
        // hold back another slot's first request.
        if (Load(RequistAllow[Slot]) && SlotTimerCheck(Slot, 10)) {
            RequestBatch(Slot);
            SlotTimerReset(Slot);
            TimerReset();
            Store(RequistAllow[Slot], 0);
        } else if (!Load(RequistAllow[Slot]) && SlotTimerCheck(Slot, 50)) {
            SlotTimerReset(Slot);
            TimerReset();
            Store(RequistAllow[Slot], 1);  // the request is taken as lost
        }
        return OCELO_NO_MSG;
    }

    unsigned char mode, rtr, len;
    unsigned long id, upper, lower;
    unsigned char data[8];
    OceloDecodeRxRecord(CANReadMsg[Slot] + static_cast<unsigned>(cnt) * OCELO_REC_SIZE, &mode, &id, &rtr, &len,
                        data, &upper, &lower);
    if (Mode)
        *Mode = mode;
    if (MsgID)
        *MsgID = id;
    if (RTR)
        *RTR = rtr;
    if (DataLen)
        *DataLen = len;
    if (Data && !rtr && len)
        std::memcpy(Data, data, len);
    if (UpperTime)
        *UpperTime = upper;
    if (LowerTime)
        *LowerTime = lower;
    if (HostTime)
        *HostTime = static_cast<double>(Load(BatchTimeNs[Slot])) / 1e9;

    Store(CANRdCnt[Slot], cnt + 1);
    if (cnt + 1 == Load(StoreMsgNum[Slot])) {
        RequestAfterLastRecord(Slot);
        SlotTimerReset(Slot);
        TimerReset();
        Store(RequistAllow[Slot], 1);
    }
    return OCELO_OK;
}

} // extern "C"
