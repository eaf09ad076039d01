// Board access layer, Linux: DPRAM through the page register and the window
// of the slot driver, with per-slot locking against other threads and the
// slot's signal handler.
#include "OceloLnx.h"
#include "slot.h"

#include <cerrno>
#include <sched.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

extern "C" {
// Exported library state.
unsigned char RakInit[8];
unsigned char RakCANSystemReset[8];
unsigned char CANStatus[8];
unsigned char BufStatus[8];
unsigned char StoreMsgNum[8];
unsigned char CANRdCnt[8];
unsigned char DPStartToReadIndex[8];
int RequistAllow[8] = {1, 1, 1, 1, 1, 1, 1, 1};
int TxGetAck[8];
unsigned char CANReadMsg[8][1344];
unsigned char SizeArray[256];
unsigned char ArrCnt;
unsigned int TxMsgStartAddr = 2688;
unsigned int DPZoneBase[2] = {0, 1344};
}

namespace ocelo_lnx {

pthread_mutex_t work_mutex[8] = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
                                  PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
                                  PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};
unsigned int TxRingPos[8] = {2688, 2688, 2688, 2688, 2688, 2688, 2688, 2688};
unsigned char MutexLive[8];
unsigned char HandlerLive[8];
struct sigaction SignalAct_old[8];

namespace {
int RegBusy[8];      // register lock per slot
int IsrDeferred[8];  // the handler found the lock taken and left the event for later
long long SlotTimer[8];
// Time of the last command written to each board (0: the board has taken
// it), and a count of the commands written.  Changed under the register lock.
long long LastCommandNs[8];
unsigned CommandSeq[8];

long long MonoNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

// The board has one command byte, and its firmware reads it a while after
// each write; a command written before that replaces the unread one, which
// is then never carried out.  A command therefore follows the previous one
// to the same board no sooner than the firmware's reaction time allows.
// Runs under the register lock (also inside the signal handler: only
// clock_gettime and nanosleep).
void WaitCommandGap(int Slot)
{
    const long long last = Load(LastCommandNs[Slot]);
    if (last == 0)
        return;
    const long long due = last + kCommandGapUs * 1000LL;
    for (long long now = MonoNs(); now < due; now = MonoNs()) {
        timespec ts{0, static_cast<long>(due - now)};
        nanosleep(&ts, nullptr);
    }
}

void SlotSignals(sigset_t *set)
{
    sigemptyset(set);
    for (int s = 1; s <= 7; ++s)
        sigaddset(set, kFirstSignal + s);
}

void LockRegs(int Slot)
{
    // The holder is another thread inside a short register sequence (it has
    // the slot signals blocked, so it is never this thread's interrupted
    // context); it may be preempted, so wait patiently.  Only a holder that
    // can never let go (a thread killed inside the sequence) ends the wait,
    // after about ten seconds.
    for (long i = 0; i < 200'000; ++i) {
        if (!__atomic_exchange_n(&RegBusy[Slot], 1, __ATOMIC_SEQ_CST))
            return;
        if (i < 100)
            continue;
        if (i < 1000) {
            sched_yield();
            continue;
        }
        timespec ts{0, 50'000};
        nanosleep(&ts, nullptr);
    }
}
} // namespace

bool TryLockRegs(int Slot, int Tries)
{
    for (int i = 0; i < Tries; ++i) {
        if (!__atomic_exchange_n(&RegBusy[Slot], 1, __ATOMIC_SEQ_CST))
            return true;
        if (i > 50)
            sched_yield();
    }
    return false;
}

void UnlockRegs(int Slot) { __atomic_store_n(&RegBusy[Slot], 0, __ATOMIC_SEQ_CST); }

// The mark and the register lock pair up like this: the handler marks, then
// tries the lock; the holder lets go of the lock, then looks for a mark.  All
// four accesses are sequentially consistent, which keeps each store ahead of
// the following load (also on ARM), so either the handler gets the lock or
// the holder sees the mark.
void MarkDeferred(int Slot) { __atomic_store_n(&IsrDeferred[Slot], 1, __ATOMIC_SEQ_CST); }

bool TakeDeferred(int Slot) { return __atomic_exchange_n(&IsrDeferred[Slot], 0, __ATOMIC_SEQ_CST) != 0; }

unsigned CommandCount(int Slot) { return Load(CommandSeq[Slot & 7]); }

long long CommandGapLeftNs(int Slot)
{
    const long long last = Load(LastCommandNs[Slot & 7]);
    if (last == 0)
        return 0;
    const long long left = last + kCommandGapUs * 1000LL - MonoNs();
    return left > 0 ? left : 0;
}

void CommandTaken(int Slot, unsigned Seq)
{
    if (Load(CommandSeq[Slot & 7]) == Seq)
        Store(LastCommandNs[Slot & 7], 0);
}

unsigned char RegRead(int Slot, unsigned Reg)
{
    slot_reg_t DataReg{};
    DataReg.offset = Reg;
    ioctl(slot_fd[Slot & 7], SLOT_IOCTL_ID_READ_REG, &DataReg);
    return static_cast<unsigned char>(DataReg.value & 0xFF);
}

void RegWrite(int Slot, unsigned Reg, unsigned char Value)
{
    slot_reg_t DataReg{};
    DataReg.offset = Reg;
    DataReg.value = Value;
    ioctl(slot_fd[Slot & 7], SLOT_IOCTL_ID_WRITE_REG, &DataReg);
}

unsigned char RawRead(int Slot, unsigned Addr)
{
    RegWrite(Slot, OCELO_REG_PAGE, static_cast<unsigned char>((Addr >> 5) & 0xFF));
    return RegRead(Slot, (Addr & 31) + OCELO_REG_WINDOW);
}

void RawWrite(int Slot, unsigned Addr, unsigned char Value)
{
    const bool command = (Addr & 0x1FFF) == OCELO_DP_COMMAND;
    if (command)
        WaitCommandGap(Slot & 7);
    RegWrite(Slot, OCELO_REG_PAGE, static_cast<unsigned char>((Addr >> 5) & 0xFF));
    RegWrite(Slot, (Addr & 31) + OCELO_REG_WINDOW, Value);
    if (command) {
        Store(LastCommandNs[Slot & 7], MonoNs());
        Store(CommandSeq[Slot & 7], Load(CommandSeq[Slot & 7]) + 1);
    }
}

SlotGuard::SlotGuard(int Slot) : slot_(Slot & 7)
{
    // The decision to take the mutex is made once: the signal handler may
    // clear RakInit meanwhile, and the unlock must match the lock.
    mutex_ = Load(RakInit[slot_]) && Load(MutexLive[slot_]);
    if (mutex_)
        pthread_mutex_lock(&work_mutex[slot_]);
    sigset_t set;
    SlotSignals(&set);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
    LockRegs(slot_);
}

SlotGuard::SlotGuard(int Slot, SignalsHeld) : slot_(Slot & 7), restore_(false)
{
    mutex_ = Load(RakInit[slot_]) && Load(MutexLive[slot_]);
    if (mutex_)
        pthread_mutex_lock(&work_mutex[slot_]);
    sigemptyset(&old_);
    LockRegs(slot_);
}

void ReleaseRegs(int Slot)
{
    UnlockRegs(Slot);  // (sequentially consistent: see MarkDeferred)
    // An interrupt that found the lock taken is handled here, with the slot
    // signals still blocked, by whoever holds the lock first and takes the
    // mark (the handler that marked it may yet have got the lock itself).
    // No signal is raised again: a second run of the handler for one
    // interrupt would act on a code the board posted once.
    while (__atomic_load_n(&IsrDeferred[Slot], __ATOMIC_SEQ_CST)) {
        LockRegs(Slot);
        if (TakeDeferred(Slot))
            HandleInterrupt(Slot);
        UnlockRegs(Slot);
    }
}

bool DeferredPending(int Slot) { return __atomic_load_n(&IsrDeferred[Slot & 7], __ATOMIC_SEQ_CST) != 0; }

SlotGuard::~SlotGuard()
{
    ReleaseRegs(slot_);
    if (restore_)
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    if (mutex_)
        pthread_mutex_unlock(&work_mutex[slot_]);
}

void SleepUs(unsigned Us)
{
    timespec ts{static_cast<time_t>(Us / 1'000'000), static_cast<long>(Us % 1'000'000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

double NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void SlotTimerReset(int Slot) { Store(SlotTimer[Slot & 7], static_cast<long long>(NowMs() * 1000.0)); }

bool SlotTimerCheck(int Slot, int CntDown)
{
    double start = static_cast<double>(Load(SlotTimer[Slot & 7])) / 1000.0;
    return NowMs() - start > CntDown;
}

void RestoreSignal(int Slot)
{
    if (!Load(HandlerLive[Slot]))
        return;
    struct sigaction act = SignalAct_old[Slot];
    if (!(act.sa_flags & SA_SIGINFO) && act.sa_handler == SIG_DFL) {
        act.sa_handler = SIG_IGN;
        act.sa_flags = 0;
    }
    sigaction(kFirstSignal + Slot, &act, nullptr);
    Store(HandlerLive[Slot], 0);
}

} // namespace ocelo_lnx

using namespace ocelo_lnx;

extern "C" {

// A slot number outside 0 to 7 reaches no board: reads give 0xFF, writes
// do nothing (the per-slot arrays have 8 entries).
unsigned char DPRAMReadByte(int Slot, unsigned int ReadAddr)
{
    if (Slot < 0 || Slot > 7)
        return 0xFF;
    SlotGuard guard(Slot);
    return RawRead(Slot, ReadAddr);
}

void DPRAMWriteByte(int Slot, unsigned int WriteAddr, unsigned char Data)
{
    if (Slot < 0 || Slot > 7)
        return;
    SlotGuard guard(Slot);
    RawWrite(Slot, WriteAddr, Data);
}

unsigned int DPRAMReadShort(int Slot, unsigned int ReadAddr)
{
    unsigned int low = DPRAMReadByte(Slot, ReadAddr);
    unsigned int high = DPRAMReadByte(Slot, ReadAddr + 1);
    return low + 256u * high;
}

void DPRAMWriteShort(int Slot, unsigned int WriteAddr, unsigned int Data)
{
    DPRAMWriteByte(Slot, WriteAddr, static_cast<unsigned char>(Data & 0xFF));
    DPRAMWriteByte(Slot, WriteAddr + 1, static_cast<unsigned char>((Data >> 8) & 0xFF));
}

void DPRAMMultiRead(int Slot, unsigned int StartAddr, unsigned int DataNum, unsigned char *DataBuf)
{
    if (!DataBuf)
        return;
    for (unsigned int i = 0; i < DataNum; ++i)
        DataBuf[i] = DPRAMReadByte(Slot, StartAddr + i);
}

void DPRAMMultiWrite(int Slot, unsigned int StartAddr, unsigned int DataNum, unsigned char *DataBuf)
{
    if (!DataBuf)
        return;
    for (unsigned int i = 0; i < DataNum; ++i)
        DPRAMWriteByte(Slot, StartAddr + i, DataBuf[i]);
}

} // extern "C"
