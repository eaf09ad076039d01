#include "status.h"

#include "console.h"
#include "globals.h"
#include "serial.h"
#include "system.h"

#include <cstdio>

void PortOpenFailureReason(int code, char *why, int size)
{
    if (code == -2)
        std::snprintf(why, static_cast<std::size_t>(size), "no such port");
    else if (code == -1)
        std::snprintf(why, static_cast<std::size_t>(size), "already open");
    else
        SysErrorText(code, why, size);
}

void ShowPortOpenFailure(int n, int code)
{
    char why[256];
    PortOpenFailureReason(code, why, sizeof why);
    if (code == -2) {
        std::printf("[COM%d: %s]\n\r", n, why);
        return;
    }
    char dev[256];
    ComDeviceName(n, dev, sizeof dev);
    std::printf("[COM%d is %s: %s]\n\r", n, dev, why);
}

void UpdateTitle()
{
    char dir[260];
    SysGetCwd(dir, sizeof dir);
    // Room for every field and the whole directory, so nothing is cut.
    char title[200 + sizeof dir];
    std::snprintf(title, sizeof title, "%s [COM%d:%d,%c,%d,%d],FC=%d,CTS=%d, DIR=%s", TarvikVersionText,
                  CurrentPort.load(), BaudRate.load(), ParityLetter(ParityIndex), DataBits.load(),
                  StopBits.load(), FlowControl.load(), CtsState.load(), dir);
    ConSetTitle(title);
}
