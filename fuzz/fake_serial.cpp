// The serial layer's back-end for the fuzz targets: the controller's side
// of the line is the fuzz input (see fuzz_support.h).  The layer's own
// rules (serial.cpp) run as they do in tarvik.
#include "fuzz_support.h"
#include "globals.h"
#include "serial_system.h"

#include <cstring>

namespace fakeport {
std::string Written;
int Chunk = 4096;

namespace {
const std::uint8_t *In = nullptr;
std::size_t InLen = 0;
std::size_t InPos = 0;
}  // namespace

void Feed(const std::uint8_t *data, std::size_t len)
{
    In = data;
    InLen = len;
    InPos = 0;
}

std::size_t Left() { return InLen - InPos; }

void Reset()
{
    Written.clear();
    Chunk = 4096;
    Feed(nullptr, 0);
}
}  // namespace fakeport

using namespace fakeport;

void ComSysStart() {}
void ComSysWake() {}

void ComSysDeviceName(int n, char *buf, int size) { std::snprintf(buf, static_cast<std::size_t>(size), "fake%d", n); }

int ComSysOpen(int n, ComHandle *h)
{
    *h = n;
    return 0;
}

bool ComSysPurge(int, ComHandle) { return true; }

int ComSysClose(int n)
{
    return ComRetireHandle(n) == ComNoHandle ? -1 : 0;
}

// The fake port never goes away.
int ComSysReopen(int n) { return PortHandles[n].load() != ComNoHandle ? 0 : -2; }

int ComSysRead(int, ComHandle h, void *buffer, int max)
{
    FUZZ_CHECK(max >= 0);
    if (h == ComNoHandle)
        return -2;
    if (InPos >= InLen)
        return -1;  // the line is gone
    std::size_t take = static_cast<std::size_t>(max);
    if (take > static_cast<std::size_t>(Chunk))
        take = static_cast<std::size_t>(Chunk);
    if (take > InLen - InPos)
        take = InLen - InPos;
    std::memcpy(buffer, In + InPos, take);
    InPos += take;
    return static_cast<int>(take);
}

int ComSysWrite(int, ComHandle, const void *buffer, int count)
{
    FUZZ_CHECK(count >= 0);
    if (Written.size() < (1u << 20))
        Written.append(static_cast<const char *>(buffer), static_cast<std::size_t>(count));
    return count;
}

int ComSysWaitReadable(int, ComHandle h, int)
{
    if (h == ComNoHandle)
        return -1;
    if (InPos < InLen)
        return 1;
    CancelRequest = 1;
    return 0;
}

void ComSysSetTimeouts(int, ComHandle) {}
void ComSysSetQueues(int, ComHandle) {}

void ComSysSetRate(int, ComHandle, int, int rate, unsigned long *before, unsigned long *after)
{
    FUZZ_CHECK(rate > 0);
    *before = static_cast<unsigned long>(rate);
    *after = static_cast<unsigned long>(rate);
}

void ComSysSetFormat(int, ComHandle, int, int, int) {}
void ComSysSetRts(int, ComHandle, bool) {}
void ComSysBreak(int, ComHandle, bool) {}

int ComSysGetCts(int, ComHandle, int *cts)
{
    *cts = 1;
    return 0;
}
