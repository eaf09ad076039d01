// Waiting for received frames without polling, Linux: one eventfd per slot
// that the interrupt handler writes when it has taken a batch (or learnt
// something else a receiver must see), and a wait on it that keeps the board
// asked for the next batch.
#include "OceloLnx.h"
#include "OceloWait.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

using namespace ocelo_lnx;

namespace ocelo_lnx {
long long BatchTimeNs[8];
}

namespace {

int NoticeFd[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
// Command 13 is out and the board has not answered it yet (it answers with
// event 16 once it has frames); the time it went out, for the renewal.
int Requested[8];
long long RequestedAtUs[8];
// The request after the last record is still to be sent (the command gap).
int RequestOwed[8];
// A status change or board restart that no wait has reported yet.
int StatusNews[8];
// Counts WakeCANMsgWait calls; a wait ends when it changes.
unsigned WakeCount[8];
// A WakeCANMsgWait that no wait has ended on yet.  A wake that comes while
// the receiving thread is between its last look (its own stop flag, its
// queue) and the start of its wait ends that wait, not just waits that
// were already asleep.
int WakeOwed[8];

// A request the board leaves unanswered this long is asked again, in case
// it was lost (the board keeps one request, so asking twice is harmless).
constexpr double kRenewMs = 1000.0;

// Async-signal-safe: one write to an eventfd.  errno is kept for the
// interrupted code.
void Notify(int Slot)
{
    const int fd = __atomic_load_n(&NoticeFd[Slot], __ATOMIC_ACQUIRE);
    if (fd < 0)
        return;
    const int saved = errno;
    const uint64_t one = 1;
    ssize_t w = write(fd, &one, sizeof one);
    (void)w;  // full counter (EAGAIN): readable already
    errno = saved;
}

double RequestedAt(int Slot) { return static_cast<double>(Load(RequestedAtUs[Slot])) / 1000.0; }

void Drain(int fd)
{
    uint64_t count;
    ssize_t r = read(fd, &count, sizeof count);  // non-blocking: EAGAIN when clear
    (void)r;
}

// The slot's descriptor, made on first use.  It starts readable, so that a
// program's first look (GetCANMsg, WaitCANMsg) happens at once.
int EnsureFd(int Slot)
{
    int fd = __atomic_load_n(&NoticeFd[Slot], __ATOMIC_ACQUIRE);
    if (fd >= 0)
        return fd;
    int made = eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC);
    if (made < 0)
        return -1;
    int expected = -1;
    if (!__atomic_compare_exchange_n(&NoticeFd[Slot], &expected, made, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        close(made);  // another thread made it first
        return expected;
    }
    return made;
}

} // namespace

void ocelo_lnx::RequestBatch(int Slot)
{
    Store(RequestOwed[Slot], 0);
    RawWrite(Slot, OCELO_DP_COMMAND, OCELO_CMD_NEXT_BATCH);
    Store(RequestedAtUs[Slot], static_cast<long long>(NowMs() * 1000.0));
    Store(Requested[Slot], 1);
}

// The handler has just answered the batch with command 9, so the request
// for the next one would wait out the firmware's reaction time (250 us)
// before the frame reaches the application.  A slot whose frames are waited
// for (it has its descriptor) leaves the request to WaitCANMsg, which the
// application calls when the buffer is empty, and sends it when the gap has
// passed; a program that only calls GetCANMsg gets it sent at once, as ever.
void ocelo_lnx::RequestAfterLastRecord(int Slot)
{
    if (__atomic_load_n(&NoticeFd[Slot], __ATOMIC_ACQUIRE) >= 0 && CommandGapLeftNs(Slot) > 0) {
        Store(Requested[Slot], 0);
        Store(RequestOwed[Slot], 1);
        Notify(Slot);  // an event loop must come back to send it
        return;
    }
    RequestBatch(Slot);
}

void ocelo_lnx::ForgetRequest(int Slot)
{
    Store(Requested[Slot], 0);
    Store(RequestOwed[Slot], 0);
    Notify(Slot);
}

void ocelo_lnx::NoteRxEvent(int Slot, unsigned char Event, bool Took)
{
    switch (Event) {
    case OCELO_EV_RX:
        // The notice answers the request; a batch that could not be taken
        // (buffer still full, or a bad count) is asked for again later.  A
        // batch taken makes an owed request moot: the next one is due when
        // this batch has been handed out.
        Store(Requested[Slot], 0);
        if (Took)
            Store(RequestOwed[Slot], 0);
        Notify(Slot);
        break;
    case OCELO_EV_READY:
        // Ready for a request after a start or a reset of the bookkeeping:
        // an earlier request is gone.
        Store(Requested[Slot], 0);
        Notify(Slot);
        break;
    case OCELO_EV_CANSTAT:
    case OCELO_EV_BUFSTAT:
    case OCELO_EV_RESET:
        Store(StatusNews[Slot], 1);
        Notify(Slot);
        break;
    default:
        break;
    }
}

void ocelo_lnx::WakeWaiters(int Slot)
{
    Store(WakeOwed[Slot], 1);
    __atomic_fetch_add(&WakeCount[Slot], 1u, __ATOMIC_ACQ_REL);
    Notify(Slot);
}

extern "C" {

int GetCANMsgFd(OceloSlot Slot, int *Fd)
{
    if (!ValidSlot(Slot))
        return OCELO_BAD_SLOT;
    const int fd = EnsureFd(Slot);
    if (fd < 0)
        return OCELO_ERR_BOARD;
    if (Fd)
        *Fd = fd;
    return OCELO_OK;
}

int WakeCANMsgWait(OceloSlot Slot)
{
    if (!ValidSlot(Slot))
        return OCELO_BAD_SLOT;
    WakeWaiters(Slot);
    return OCELO_OK;
}

int WaitCANMsg(OceloSlot Slot, OceloULong TimeoutMs)
{
    if (!ValidSlot(Slot))
        return OCELO_BAD_SLOT;
    const int fd = EnsureFd(Slot);
    if (fd < 0)
        return OCELO_ERR_BOARD;
    const unsigned woken = __atomic_load_n(&WakeCount[Slot], __ATOMIC_ACQUIRE);
    const double deadline = NowMs() + static_cast<double>(TimeoutMs);
    for (;;) {
        if (!Load(RakInit[Slot]))
            return OCELO_NOT_INIT;
        if (Load(BufStatus[Slot]))
            return OCELO_OVERFLOW;
        bool waiting;
        double gap_ms = 0;  // an owed request waits this long for the command gap
        {
            // With the register lock held no interrupt can load a batch, so
            // an empty buffer here is truly empty: the descriptor is cleared
            // only then, and a batch taken from now on (also by an interrupt
            // left for this thread, handled when the lock goes) sets it again.
            SlotGuard guard(Slot);
            // Looked at again under the guard: RecoverOcelo waits for the
            // guard's holder before it closes the slot, so a slot still
            // initialised here stays open until the guard goes.
            if (!Load(RakInit[Slot]))
                return OCELO_NOT_INIT;
            waiting = Load(CANRdCnt[Slot]) < Load(StoreMsgNum[Slot]);
            if (!waiting) {
                if (Load(RequestOwed[Slot])) {
                    // Sent when the gap has passed; a wait shorter than the
                    // gap (a look) sends it now, waiting the gap out, so that
                    // a request is always out when the wait returns.
                    const long long left = CommandGapLeftNs(Slot);
                    if (left > 0 && deadline - NowMs() > static_cast<double>(left) / 1e6)
                        gap_ms = static_cast<double>(left) / 1e6;
                    else
                        RequestBatch(Slot);
                } else if (!Load(Requested[Slot]) || NowMs() - RequestedAt(Slot) > kRenewMs) {
                    RequestBatch(Slot);
                    SlotTimerReset(Slot);
                    TimerReset();
                    Store(RequistAllow[Slot], 0);  // as GetCANMsg after its own request
                }
                Drain(fd);
            }
        }
        if (waiting)
            return OCELO_OK;
        if (__atomic_exchange_n(&StatusNews[Slot], 0, __ATOMIC_ACQ_REL))
            return OCELO_OK;
        // Woken while asleep here, or just before the wait began.
        const bool owed = __atomic_exchange_n(&WakeOwed[Slot], 0, __ATOMIC_ACQ_REL) != 0;
        if (owed || __atomic_load_n(&WakeCount[Slot], __ATOMIC_ACQUIRE) != woken)
            return OCELO_NO_MSG;
        const double now = NowMs();
        if (now >= deadline)
            return OCELO_NO_MSG;
        double wait = deadline - now;
        if (gap_ms > 0) {
            wait = std::min(wait, gap_ms);
        } else {
            const double renew = RequestedAt(Slot) + kRenewMs - now;
            if (renew < wait)
                wait = renew > 1.0 ? renew : 1.0;
        }
        pollfd p{fd, POLLIN, 0};
        const long long ns = static_cast<long long>(std::min(wait, 3'600'000.0) * 1e6) + 1;
        timespec ts{static_cast<time_t>(ns / 1'000'000'000LL), static_cast<long>(ns % 1'000'000'000LL)};
        if (ppoll(&p, 1, &ts, nullptr) < 0 && errno != EINTR)
            return OCELO_ERR_BOARD;
    }
}

} // extern "C"
