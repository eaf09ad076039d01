// Transmit path, Linux: SendCANMsg.
#include "OceloLnx.h"

#include <cerrno>
#include <pthread.h>
#include <time.h>

using namespace ocelo_lnx;

namespace {

// Transmissions on one slot follow each other: the ring position and the
// acknowledgement byte belong to one request at a time.
pthread_mutex_t TxMutex[8] = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
                              PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
                              PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};

// A board that has not acknowledged after this long, and after this many
// polls between pauses, is taken as silent.
constexpr double kAckWaitMs = 50.0;
constexpr int kMinPolls = 901;
// The firmware cannot answer before it has read the command, one reaction
// time after the write: the wait sleeps through most of that time, polls
// closely around its end, and goes on in growing sleeps beyond it.  The
// sleep is set to end early by as much as this thread's sleeps have lately
// ended late (a busy machine wakes it late), between 5 us and a quarter of
// the reaction time, so the first poll comes about when the answer does.
constexpr long long kEarlyMinNs = 5'000;
constexpr long long kEarlyMaxNs = kReactionUs * 1000 / 4;
thread_local long long SleepLateNs = 20'000;  // smoothed lateness of this thread's sleeps
constexpr double kClosePollMs = static_cast<double>(kReactionUs + kReactionUs / 4) / 1000.0;

long long MonotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

// Sleeps until the monotonic clock reads Ns (signals do not cut it short).
void SleepUntilNs(long long Ns)
{
    timespec ts{static_cast<time_t>(Ns / 1'000'000'000LL), static_cast<long>(Ns % 1'000'000'000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// The record goes into the ring with one page-register write per 32-byte
// page it touches, not one per byte (register lock held).
void WriteRecord(int Slot, unsigned Addr, const unsigned char *Buf, unsigned Len)
{
    for (unsigned i = 0; i < Len; ++i) {
        const unsigned a = Addr + i;
        if (i == 0 || (a & 31) == 0)
            RegWrite(Slot, OCELO_REG_PAGE, static_cast<unsigned char>((a >> 5) & 0xFF));
        RegWrite(Slot, (a & 31) + OCELO_REG_WINDOW, Buf[i]);
    }
}

// Holds the slot signals back in this thread from the record's write until
// the answer has been seen, with one change of the signal mask each way
// (each costs a system call; a guard per register sequence would take
// three pairs per frame).  A board interrupt meanwhile (the previous
// frame's event 96, say) goes to another thread, or waits until the hold
// ends; it neither wakes the sleep early nor comes between the wake-up and
// the first look at the board.
class SignalHold {
public:
    SignalHold()
    {
        sigset_t slots;
        sigemptyset(&slots);
        for (int s = 1; s <= 7; ++s)
            sigaddset(&slots, kFirstSignal + s);
        pthread_sigmask(SIG_BLOCK, &slots, &old_);
    }
    ~SignalHold() { Release(); }
    void Release()
    {
        if (held_)
            pthread_sigmask(SIG_SETMASK, &old_, nullptr);
        held_ = false;
    }
    bool Held() const { return held_; }
    SignalHold(const SignalHold &) = delete;
    SignalHold &operator=(const SignalHold &) = delete;

private:
    sigset_t old_;
    bool held_ = true;
};

// Whether the board has answered the transmit command.  The answer says
// that the firmware has read the command byte, and that is noted under the
// same register lock: a command that another thread (the interrupt handler
// on the receiving thread, say) writes just after the look must keep its
// own gap, which a note made outside the lock could wipe.
bool AckSeen(int Slot, const SignalHold &Hold, unsigned Command)
{
    auto look = [Slot, Command] {
        if (RawRead(Slot, OCELO_DP_TXACK) != OCELO_TXACK_VALUE)
            return false;
        CommandTaken(Slot, Command);
        return true;
    };
    if (Hold.Held()) {
        SlotGuard guard(Slot, SlotGuard::SignalsHeld{});
        return look();
    }
    SlotGuard guard(Slot);
    return look();
}

class TxLock {
public:
    explicit TxLock(int Slot) : m_(&TxMutex[Slot]) { pthread_mutex_lock(m_); }
    ~TxLock() { pthread_mutex_unlock(m_); }
    TxLock(const TxLock &) = delete;
    TxLock &operator=(const TxLock &) = delete;

private:
    pthread_mutex_t *m_;
};

} // namespace

extern "C" {

int SendCANMsg(OceloSlot Slot, unsigned char Mode, OceloULong MsgID, unsigned char RTR, unsigned char DataLen,
               unsigned char *Data)
{
    if (!ValidSlot(Slot))
        return OCELO_BAD_SLOT;
    if (!Load(RakInit[Slot]))
        return OCELO_NOT_INIT;
    if (Load(BufStatus[Slot]) & OCELO_BUF_TXBLOCKED)
        return OCELO_OVERFLOW;
    if (!RTR && DataLen && !Data)
        return OCELO_ERR_BOARD;  // a data frame without its data: nothing is written

    TxLock tx(Slot);
    SignalHold hold;
    unsigned char CmdBuf[30];
    unsigned int NumOfCmdBytes = OceloEncodeTxRecord(CmdBuf, Mode, MsgID, RTR, DataLen, Data);
    unsigned command;
    long long commandNs;
    {
        SlotGuard guard(Slot, SlotGuard::SignalsHeld{});
        unsigned int addr = Load(TxRingPos[Slot]);
        if (addr < OCELO_DP_TXRING || addr >= OCELO_DP_TXRING_END)
            addr = OCELO_DP_TXRING;
        WriteRecord(Slot, addr, CmdBuf, NumOfCmdBytes);
        Store(TxRingPos[Slot], OceloNextTxAddr(addr));
        Store(TxMsgStartAddr, OceloNextTxAddr(addr));
        Store(TxGetAck[Slot], 0);
        // The board sets the acknowledgement byte and never clears it: a 102
        // left by the previous transmission must not answer this one.
        RawWrite(Slot, OCELO_DP_TXACK, 0);
        RawWrite(Slot, OCELO_DP_COMMAND, OCELO_CMD_TRANSMIT);
        commandNs = MonotonicNs();
        command = CommandCount(Slot);
    }

    // The board answers one reaction time of its firmware after the command.
    // Sleep through most of it (polling sooner finds nothing and only burns
    // the processor), wait on the clock for the rest of it if the sleep
    // ended early, then poll closely until a little past it, so the
    // answer is seen as soon as it is there; a board that takes longer is
    // busy, and the wait goes on in sleeps that grow to 100 us, with the
    // slot signals let through again.  It gives up after at least 901 polls
    // between sleeps (the close polls do not count) and at least 50 ms: on
    // a loaded host each sleep stretches, and the wait with it, as the
    // board's answer may be held up too.
    {
        long long early = SleepLateNs + kEarlyMinNs;
        early = early < kEarlyMinNs ? kEarlyMinNs : early > kEarlyMaxNs ? kEarlyMaxNs : early;
        const long long until = commandNs + kReactionUs * 1000LL - early;
        SleepUntilNs(until);
        long long late = MonotonicNs() - until;
        late = late < 0 ? 0 : late > kEarlyMaxNs ? kEarlyMaxNs : late;  // one long stall is no habit
        SleepLateNs += (late - SleepLateNs) / 8;
        // Woken before the firmware can have read the command: a look at the
        // board now would find nothing, so wait on the clock.
        while (MonotonicNs() < commandNs + kReactionUs * 1000LL) {
        }
    }
    const double start = static_cast<double>(commandNs) / 1e6;
    unsigned pauseUs = 20;
    for (int polls = 0;;) {
        if (AckSeen(Slot, hold, command))
            return OCELO_OK;
        if (Load(BufStatus[Slot]) & OCELO_BUF_TXBLOCKED)
            return OCELO_OVERFLOW;
        const double waited = static_cast<double>(MonotonicNs()) / 1e6 - start;
        if (waited < kClosePollMs)
            continue;
        // The board is late: interrupts are handled again while this thread
        // sleeps between looks (a blocking status among them ends the wait).
        hold.Release();
        if (++polls >= kMinPolls && waited > kAckWaitMs)
            return OCELO_ERR_BOARD;
        SleepUs(pauseUs);
        if (pauseUs < 100)
            pauseUs += pauseUs / 2;
    }
}

} // extern "C"
