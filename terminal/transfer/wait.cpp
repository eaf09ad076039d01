// Bounded waits on the controller: each wait polls the port's readiness in
// short slices, so Escape and ALT_X are seen promptly and nothing spins.
#include "transfer.h"
#include "transfer_wait.h"

#include "globals.h"
#include "serial.h"
#include "system.h"

#include <atomic>
#include <cstdio>

namespace {

// Longest single wait on the port, so that a cancel is seen within it.
constexpr int WaitSliceMs = 50;

std::atomic<int> LastCancelled{0};

bool Cancelled()
{
    return CancelRequest != 0 || ExitRequest != 0;
}

}  // namespace

int TransferWaitPort(std::uint32_t deadline)
{
    for (;;) {
        if (Cancelled())
            return TransferWaitCancel;
        std::int32_t left = static_cast<std::int32_t>(deadline - SysTickMs());
        if (left <= 0)
            return TransferWaitTimeout;
        int slice = left < WaitSliceMs ? static_cast<int>(left) : WaitSliceMs;
        int w = ComWaitReadable(CurrentPort, slice);
        if (w > 0)
            return TransferWaitOk;
        if (w < 0) {
            // The port cannot be waited on (closed or switched): a read
            // would fail at once, so pause instead of spinning.
            std::fflush(stdout);
            SysSleepMs(1);
            return TransferWaitOk;
        }
    }
}

int TransferWaitByte(unsigned char *byte, int timeoutMs)
{
    std::uint32_t deadline = SysTickMs() + static_cast<std::uint32_t>(timeoutMs);
    for (;;) {
        int w = TransferWaitPort(deadline);
        if (w != TransferWaitOk)
            return w;
        int n = ComRead(CurrentPort, byte, 1);
        if (n == 1)
            return TransferWaitOk;
        if (n == ComGone)
            return TransferWaitGone;
    }
}

bool TransferQuiet = false;

void TransferReportWait(int result, const char *eol)
{
    if (TransferQuiet) {
        if (result == TransferWaitCancel)
            LastCancelled = 1;
        return;
    }
    if (result == TransferWaitCancel) {
        LastCancelled = 1;
        std::printf("%s[Transfer cancelled]", eol);
    } else if (result == TransferWaitTimeout) {
        std::printf("%s[No answer from the controller]", eol);
    } else if (result == TransferWaitGone) {
        std::printf("%s[COM%d is gone]", eol, CurrentPort.load());
    }
    std::fflush(stdout);
}

void TransferClearOutcome()
{
    LastCancelled = 0;
}

bool TransferWasCancelled()
{
    return LastCancelled != 0;
}
