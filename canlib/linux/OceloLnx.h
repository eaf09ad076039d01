// Internal interface of the Linux back-end (oceloLnx): slot-driver register
// access, the per-slot locking, and helpers shared by the board, receive and
// transmit functions.
#pragma once

#include "Ocelo.h"
#include "OceloProtocol.h"

#include <pthread.h>
#include <signal.h>

namespace ocelo_lnx {

constexpr int kFirstSignal = 40;  // slot s interrupts with signal 40 + s
// The board firmware's reaction time to a command, in microseconds: it reads
// the command byte this long after the write (see docs/canlib.md).
constexpr long long kReactionUs = 200;
// Least time between two commands to one board: the reaction time with a
// margin.
constexpr long long kCommandGapUs = kReactionUs + 50;

inline bool ValidSlot(unsigned Slot) { return Slot >= 1 && Slot <= 7; }

// Shared flags are plain exported bytes and ints; the library reads and
// writes them atomically because the signal handler may run on any thread.
template <class T> inline T Load(const T &v) { return __atomic_load_n(&v, __ATOMIC_ACQUIRE); }
template <class T, class U> inline void Store(T &v, U x) { __atomic_store_n(&v, static_cast<T>(x), __ATOMIC_RELEASE); }

extern pthread_mutex_t work_mutex[8];
// Next transmit ring address of each slot's board; the exported
// TxMsgStartAddr shows the one of the latest transmission or reset.
extern unsigned int TxRingPos[8];
extern unsigned char MutexLive[8];     // the slot's calls take work_mutex[s]
extern unsigned char HandlerLive[8];   // RakCAN_ISR is installed for slot s
extern struct sigaction SignalAct_old[8];

// One raw register access through the slot driver (no locking).
unsigned char RegRead(int Slot, unsigned Reg);
void RegWrite(int Slot, unsigned Reg, unsigned char Value);
// One DPRAM byte: page register, then the window register (no locking).
unsigned char RawRead(int Slot, unsigned Addr);
void RawWrite(int Slot, unsigned Addr, unsigned char Value);

// Keeps a sequence of register accesses on one slot together: takes the
// slot's mutex (while the slot is initialised), blocks the slot signals in
// this thread, and takes the slot's register lock, which the signal handler
// also takes whichever thread it runs on.  Released in the reverse order;
// an interrupt that had to wait is handled on release (ReleaseRegs).
class SlotGuard {
public:
    explicit SlotGuard(int Slot);
    // For a caller that has the slot signals blocked already (and unblocks
    // them itself): the guard leaves the signal mask alone.
    struct SignalsHeld {};
    SlotGuard(int Slot, SignalsHeld);
    ~SlotGuard();
    SlotGuard(const SlotGuard &) = delete;
    SlotGuard &operator=(const SlotGuard &) = delete;

private:
    int slot_;
    bool mutex_;
    bool restore_ = true;
    sigset_t old_;
};

// The register lock alone (used by the signal handler).
bool TryLockRegs(int Slot, int Tries);
void UnlockRegs(int Slot);
// An interrupt left for the lock's holder; TakeDeferred claims it (once).
void MarkDeferred(int Slot);
bool TakeDeferred(int Slot);
// Lets go of the register lock and handles every interrupt left for the
// holder meanwhile.  Every holder lets go this way, the handler included:
// an interrupt left behind would otherwise wait for the next call on the slot.
void ReleaseRegs(int Slot);
// An interrupt is marked and nobody has taken it yet.
bool DeferredPending(int Slot);
// Reads the interrupt code and acts on it (register lock held, slot signals
// blocked or inside the handler).
void HandleInterrupt(int Slot);

// Commands written to the board so far; CommandTaken(Slot, n) tells the
// access layer that the board has visibly taken command n (it answered it),
// so the next command needs no pause, unless another command followed.
unsigned CommandCount(int Slot);
// Nanoseconds until a command to the board may follow the last one (0: now).
long long CommandGapLeftNs(int Slot);
void CommandTaken(int Slot, unsigned Seq);

// Sleep that is not cut short by a signal.
void SleepUs(unsigned Us);
// Milliseconds on a monotonic clock.
double NowMs();

// Per-slot request timer of the receive path.
void SlotTimerReset(int Slot);
bool SlotTimerCheck(int Slot, int CntDown);

// Restore the signal action saved when the handler was installed; a default
// action becomes "ignore" so that a late board interrupt cannot end the process.
void RestoreSignal(int Slot);

// Waiting for frames (OceloWait.cpp).  The handler's side runs inside the
// signal handler or its deferred run, with the register lock held.
//   RequestBatch   command 13 (the caller holds the register lock), noted
//                  as the request the board has not answered yet
//   NoteRxEvent    after the handler acted on an event: answers, news and
//                  the wake-up of waiting threads
//   ForgetRequest  the board will answer no earlier request (set-up, reset)
//   WakeWaiters    wakes waiting threads (not from the handler)
void RequestBatch(int Slot);
// The request after the last record handed out: on a slot whose frames are
// waited for, one that would have to wait for the command gap is left owed
// to WaitCANMsg instead (the frame goes out at once); otherwise sent now.
void RequestAfterLastRecord(int Slot);
void NoteRxEvent(int Slot, unsigned char Event, bool Took);
void ForgetRequest(int Slot);
void WakeWaiters(int Slot);
// Host time (CLOCK_REALTIME, ns) at which the slot's buffered batch arrived.
extern long long BatchTimeNs[8];

} // namespace ocelo_lnx
