// Board command protocol, Linux: initialisation, bit rate, filter, status,
// reset and release of the boards.
#include "OceloLnx.h"
#include "slot.h"

#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace ocelo_lnx;

namespace {

void SendCommand(int Slot, unsigned char Cmd) { DPRAMWriteByte(Slot, OCELO_DP_COMMAND, Cmd); }

// Reads a status byte and its complement until they add up to 255.
bool ReadStatusPair(int Slot, unsigned Addr, int Tries, unsigned PauseUs, unsigned char *Out)
{
    for (int i = 0; i < Tries; ++i) {
        unsigned int v = DPRAMReadShort(Slot, Addr);
        if (OceloStatusPairValid(static_cast<unsigned char>(v & 0xFF), static_cast<unsigned char>(v >> 8))) {
            *Out = static_cast<unsigned char>(v & 0xFF);
            return true;
        }
        if (PauseUs)
            SleepUs(PauseUs);
    }
    return false;
}

int InitFailed(int Slot)
{
    Store(RakInit[Slot], 0);
    RestoreSignal(Slot);
    return OCELO_ERR_BOARD;
}

bool WriteAndVerify(int Slot, unsigned Addr, unsigned char *Block, unsigned Len)
{
    unsigned char back[OCELO_CONFIG_SIZE];
    DPRAMMultiWrite(Slot, Addr, Len, Block);
    DPRAMMultiRead(Slot, Addr, Len, back);
    return std::memcmp(Block, back, Len) == 0;
}

} // namespace

extern "C" {

int OceloInit(OceloSlot Slot, OceloULong CANBaud, unsigned char BT0, unsigned char BT1, OceloULong CAN_AccCode,
              OceloULong CAN_Mask)
{
    if (!ValidSlot(Slot))
        return OCELO_BAD_SLOT;
    const int sig = kFirstSignal + Slot;
    DPZoneBase[0] = OCELO_DP_ZONE0;
    DPZoneBase[1] = OCELO_DP_ZONE1;

    // The mutex itself lives as long as the process (another thread may be
    // about to take it at any time); MutexLive says the slot's calls use it.
    Store(RakInit[Slot], 0);
    Store(MutexLive[Slot], 1);
    Store(RequistAllow[Slot], 1);

    // Install the handler.  The action found before the first installation
    // is kept for RecoverOcelo; re-initialising never passes through the
    // default action (which would end the process on a board interrupt).
    struct sigaction SignalAct;
    std::memset(&SignalAct, 0, sizeof SignalAct);
    SignalAct.sa_handler = RakCAN_ISR;
    SignalAct.sa_flags = 0;
    sigemptyset(&SignalAct.sa_mask);
    for (int s = 1; s <= 63; ++s)
        if (s != sig)
            sigaddset(&SignalAct.sa_mask, s);  // (the C library refuses its own few)
    if (sigaction(sig, &SignalAct, Load(HandlerLive[Slot]) ? nullptr : &SignalAct_old[Slot]) != 0)
        return OCELO_ERR_BOARD;
    Store(HandlerLive[Slot], 1);

    slot_signal_t SigReg{};
    SigReg.sid = sig;
    SigReg.pid = getpid();
    SigReg.is = 1;
    SigReg.edge = 0;
    if (ioctl(slot_fd[Slot], SLOT_IOCTL_ID_SET_SIG, &SigReg) != 0) {
        RestoreSignal(Slot);
        return OCELO_ERR_BOARD;
    }
    // This thread must be able to take the reset notice.
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);

    if (DPRAMReadByte(Slot, OCELO_DP_INTCODE) != 0)
        DPRAMWriteByte(Slot, OCELO_DP_INTCODE, 0);

    // System reset; the handler sees event 64.
    Store(RakCANSystemReset[Slot], 0);
    Store(RakInit[Slot], 1);
    SendCommand(Slot, OCELO_CMD_SYSRESET_IRQ);
    SleepUs(1000);
    for (int i = 0; i < 21 && !Load(RakCANSystemReset[Slot]); ++i)
        SleepUs(500);
    if (!Load(RakCANSystemReset[Slot]))
        return InitFailed(Slot);

    {
        // Start from empty bookkeeping, in step with the board's reset.
        SlotGuard guard(Slot);
        Store(DPStartToReadIndex[Slot], 0);
        Store(BufStatus[Slot], 0);
        Store(CANStatus[Slot], 0);
        Store(CANRdCnt[Slot], 0);
        Store(StoreMsgNum[Slot], 0);
        Store(TxGetAck[Slot], 0);
        Store(TxRingPos[Slot], OCELO_DP_TXRING);
        Store(TxMsgStartAddr, OCELO_DP_TXRING);
        ForgetRequest(Slot);
    }
    Store(RakInit[Slot], 1);
    SlotTimerReset(Slot);

    unsigned char TempStr[OCELO_CONFIG_SIZE];
    OceloBuildConfig(TempStr, CANBaud, BT0, BT1, CAN_AccCode, CAN_Mask);
    if (!WriteAndVerify(Slot, OCELO_DP_CONFIG, TempStr, OCELO_CONFIG_SIZE))
        return InitFailed(Slot);

    SendCommand(Slot, OCELO_CMD_START);
    bool ready = false;
    for (int i = 0; i < 21 && !ready; ++i) {
        ready = DPRAMReadShort(Slot, OCELO_DP_READY) == OCELO_READY_VALUE;
        if (!ready)
            SleepUs(1000);
    }
    if (!ready)
        return InitFailed(Slot);

    unsigned char v;
    if (!ReadStatusPair(Slot, OCELO_DP_BUFSTAT, 21, 1000, &v))
        return InitFailed(Slot);
    Store(BufStatus[Slot], v);
    if (!ReadStatusPair(Slot, OCELO_DP_CANSTAT, 101, 0, &v))
        return InitFailed(Slot);
    Store(CANStatus[Slot], v);

    Store(RakInit[Slot], 1);
    SleepUs(100'000);
    return OCELO_OK;
}

int SetCANBaud(OceloSlot Slot, OceloULong Baud, unsigned char BT0, unsigned char BT1)
{
    if (!ValidSlot(Slot))
        return OCELO_BAD_SLOT;
    SleepUs(50'000);
    unsigned char TempStr[OCELO_CONFIG_SIZE];
    OceloBuildConfig(TempStr, Baud, BT0, BT1, 0, 0);
    if (!WriteAndVerify(Slot, OCELO_DP_BAUDIDX, TempStr, 3))
        return OCELO_ERR_BOARD;
    SendCommand(Slot, OCELO_CMD_SETBAUD);
    SleepUs(5000);
    return OCELO_OK;
}

int GetCANBaud(OceloSlot Slot, OceloULong *Baud, unsigned char *BT0, unsigned char *BT1)
{
    if (!ValidSlot(Slot))
        return OCELO_BAD_SLOT;
    unsigned char ReadBack[3];
    DPRAMMultiRead(Slot, OCELO_DP_BAUDIDX, 3, ReadBack);
    unsigned long b;
    unsigned char t0, t1;
    OceloDecodeBaud(ReadBack, &b, &t0, &t1);
    if (Baud)
        *Baud = b;
    if (BT0)
        *BT0 = t0;
    if (BT1)
        *BT1 = t1;
    return OCELO_OK;
}

int SetCANMask(OceloSlot Slot, OceloULong AccCode, OceloULong AccMask)
{
    if (!ValidSlot(Slot))
        return OCELO_BAD_SLOT;
    SleepUs(50'000);
    unsigned char TempStr[8];
    OceloPutLE32(TempStr, static_cast<uint32_t>(AccCode));
    OceloPutLE32(TempStr + 4, static_cast<uint32_t>(AccMask));
    if (!WriteAndVerify(Slot, OCELO_DP_ACCCODE, TempStr, 8))
        return OCELO_ERR_BOARD;
    SendCommand(Slot, OCELO_CMD_SETMASK);
    SleepUs(5000);
    return OCELO_OK;
}

int GetCANMask(OceloSlot Slot, OceloULong *AccCode, OceloULong *AccMask)
{
    if (!ValidSlot(Slot))
        return OCELO_BAD_SLOT;
    unsigned char ReadBack[8];
    DPRAMMultiRead(Slot, OCELO_DP_ACCCODE, 8, ReadBack);
    if (AccCode)
        *AccCode = OceloGetLE32(ReadBack);
    if (AccMask)
        *AccMask = OceloGetLE32(ReadBack + 4);
    return OCELO_OK;
}

int ClearStatus(OceloSlot Slot)
{
    if (!ValidSlot(Slot))
        return OCELO_BAD_SLOT;
    SendCommand(Slot, OCELO_CMD_CLEAR_STATUS);
    Store(BufStatus[Slot], 0);
    return OCELO_OK;
}

int GetStatus(OceloSlot Slot, unsigned char *CANReg, unsigned char *OverflowFlag)
{
    if (!ValidSlot(Slot))
        return OCELO_BAD_SLOT;
    if (CANReg)
        *CANReg = Load(CANStatus[Slot]);
    if (OverflowFlag)
        *OverflowFlag = Load(BufStatus[Slot]);
    return OCELO_OK;
}

int ResetOcelo(OceloSlot Slot)
{
    if (!ValidSlot(Slot))
        return OCELO_BAD_SLOT;
    {
        // One sequence: no interrupt may load a batch between the command
        // and the cleared bookkeeping.
        SlotGuard guard(Slot);
        RawWrite(Slot, OCELO_DP_COMMAND, OCELO_CMD_RESET_BOOKS);
        RawWrite(Slot, OCELO_DP_INTCODE, 0);
        Store(DPStartToReadIndex[Slot], 0);
        Store(CANRdCnt[Slot], 0);
        Store(StoreMsgNum[Slot], 0);
        Store(TxRingPos[Slot], OCELO_DP_TXRING);
        Store(TxMsgStartAddr, OCELO_DP_TXRING);
        ForgetRequest(Slot);
    }
    SleepUs(5000);
    return OCELO_OK;
}

void RecoverOcelo(void)
{
    for (int Slot = 0; Slot < 8; ++Slot) {
        if (!Load(RakInit[Slot]) && !Load(HandlerLive[Slot]) && !Load(MutexLive[Slot]))
            continue;
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, kFirstSignal + Slot);
        pthread_sigmask(SIG_BLOCK, &one, nullptr);
        DPRAMWriteByte(Slot, OCELO_DP_COMMAND, OCELO_CMD_RELEASE);
        RestoreSignal(Slot);
        // The slot is no longer initialised: later calls get 28 and stop
        // taking the mutex.
        Store(RakInit[Slot], 0);
        WakeWaiters(Slot);  // a thread waiting for frames sees the slot go
        // The mutex is never destroyed: a thread that decided to take it
        // just before the slot went may still take it, and must find it.
        if (Load(MutexLive[Slot])) {
            pthread_mutex_lock(&work_mutex[Slot]);  // waits out a current holder
            Store(MutexLive[Slot], 0);
            pthread_mutex_unlock(&work_mutex[Slot]);
        }
    }
    Close_SlotAll();
}

} // extern "C"
