#include "timestamp.h"

#include "globals.h"
#include "logfile.h"
#include "system.h"

#include <cstdio>
#include <cstring>

std::atomic<int> TimeStampMode{0};
std::atomic<int> StampedLog{0};

namespace {
// The next byte shown begins a line (main thread only).
bool AtLineStart = true;

void LogBytes(const void *data, int n)
{
    if (!LogEnabled)
        return;
    int fd = LogFile.load();
    if (fd >= 0)
        LogWrite(fd, data, n);
}
}  // namespace

void StampText(char out[StampTextSize])
{
    SysDateTime t{};
    int ms = 0;
    SysLocalTimeMs(&t, &ms);
    char text[48];
    std::snprintf(text, sizeof text, "[%02d:%02d:%02d.%03d] ", t.hour, t.minute, t.second, ms);
    std::memcpy(out, text, StampTextSize - 1);  // the fields always have their widths
    out[StampTextSize - 1] = 0;
}

bool StampsApply()
{
    return TimeStampMode != 0 && EchoBackMode == 0 && AutoLoadActive == 0 && MultiLoadActive == 0 &&
           LineMode == 0 && HexMode == 0 && AnsiMode == 0;
}

void ShowStamped(const unsigned char *buf, int n, void (*show)(const unsigned char *, int))
{
    int start = 0;
    char stamp[StampTextSize] = "";
    for (int i = 0; i < n; ++i) {
        if (AtLineStart) {
            if (stamp[0] == 0)
                StampText(stamp);  // one time for the bytes of one read
            std::fputs(stamp, stdout);
            LogBytes(stamp, StampTextSize - 1);
            AtLineStart = false;
        }
        if (buf[i] == '\n') {
            show(buf + start, i + 1 - start);
            LogBytes(buf + start, i + 1 - start);
            start = i + 1;
            AtLineStart = true;
        }
    }
    if (start < n) {
        show(buf + start, n - start);
        LogBytes(buf + start, n - start);
    }
}

void ToggleTimeStamps()
{
    int on = TimeStampMode.load() == 0 ? 1 : 0;
    TimeStampMode = on;
    std::printf("\n\rTime stamps %s\n\r", on ? "ON" : "OFF");
}
