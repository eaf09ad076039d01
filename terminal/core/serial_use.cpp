#include "serial_use.h"

#include "system.h"

std::atomic<int> PortUsers[ComPortCount];

namespace {

// Every use of a handle is itself bounded (a stalled write gives up after
// a few seconds, a break lasts two), so this bound is never reached by a
// working program.
constexpr int RetireWaitMs = 10000;

}  // namespace

ComHandle ComRetireHandle(int n)
{
    if (n < 1 || n >= ComPortCount)
        return ComNoHandle;
    ComHandle h = PortHandles[n].exchange(ComNoHandle);
    if (h == ComNoHandle)
        return ComNoHandle;
    ComWake();  // a receive loop waiting on this port looks again
    std::uint32_t start = SysTickMs();
    while (PortUsers[n].load() != 0) {
        if (SysTickMs() - start >= static_cast<std::uint32_t>(RetireWaitMs))
            return ComNoHandle;
        SysSleepMs(1);
    }
    return h;
}
