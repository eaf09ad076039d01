// Serial port layer for the fuzz targets: the controller's side of the line
// is the fuzz input (see fuzz_support.h).
#include "fuzz_support.h"
#include "globals.h"
#include "serial.h"

#include <cstring>

std::atomic<ComHandle> PortHandles[ComPortCount];
std::atomic<int> RtsState{1};

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

namespace {
bool Valid(int n) { return n >= 1 && n < ComPortCount; }
bool IsOpen(int n) { return Valid(n) && PortHandles[n].load() != ComNoHandle; }
}  // namespace

void ComResetTable()
{
    for (auto &h : PortHandles)
        h = ComNoHandle;
}

void ComWake() {}

void ComDeviceName(int n, char *buf, int size) { std::snprintf(buf, static_cast<std::size_t>(size), "fake%d", n); }

int ComOpen(int n)
{
    if (!Valid(n))
        return -2;
    if (IsOpen(n))
        return -1;
    PortHandles[n] = n;
    return 0;
}

int ComClose(int n)
{
    if (!Valid(n))
        return -2;
    if (!IsOpen(n))
        return -1;
    PortHandles[n] = ComNoHandle;
    return 0;
}

int ComRead(int n, void *buffer, int max)
{
    FUZZ_CHECK(max >= 0);
    if (!IsOpen(n))
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

int ComWrite(int n, const void *buffer, int count)
{
    FUZZ_CHECK(count >= 0);
    if (!IsOpen(n))
        return -2;
    if (Written.size() < (1u << 20))
        Written.append(static_cast<const char *>(buffer), static_cast<std::size_t>(count));
    return count;
}

void ComSetTimeouts(int) {}
void ComSetQueues(int) {}

int ComSetBaud(int n, int rate)
{
    if (!IsOpen(n))
        return 0;
    return rate > 0 ? 1 : 0;
}

void ComSetFormat(int, unsigned char, unsigned char, unsigned char) {}
void ComToggleRts() { RtsState = !RtsState; }
void ComSendBreak() {}

int ComGetCts(int n, int *cts)
{
    *cts = 1;
    return IsOpen(n) ? 0 : -1;
}

// The fake port never goes away.
int ComReopen(int n) { return IsOpen(n) ? 0 : -2; }

int ComWaitReadable(int n, int)
{
    if (!IsOpen(n))
        return -1;
    if (InPos < InLen)
        return 1;
    CancelRequest = 1;
    return 0;
}
