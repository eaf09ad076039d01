#include "status.h"

#include "console.h"
#include "globals.h"
#include "serial.h"
#include "system.h"

#include <cstdio>

// The device behind COM n and the system's reason why it did not open.
void ShowPortOpenFailure(int n, int code)
{
    if (code == -2) {
        std::printf("[COM%d: no such port]\n\r", n);
        return;
    }
    char dev[256];
    ComDeviceName(n, dev, sizeof dev);
    char why[256];
    if (code == -1)
        std::snprintf(why, sizeof why, "already open");
    else
        SysErrorText(code, why, sizeof why);
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
