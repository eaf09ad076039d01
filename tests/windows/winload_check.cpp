// A download with tarvik's own SendFile from the command line, for the
// wine tests: the Windows build's serial layer, file services and the
// download protocol against the controller simulator, with no console.
//
//   winload_check N FILE   send "LOAD" CR on COM N, wait for the
//                          controller's '!', then SendFile with FILE
//
// Prints what the download prints and "armed=1", "done=1" lines for the
// test on the Linux side.
#include "globals.h"
#include "serial.h"
#include "system.h"
#include "transfer/transfer.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Reads until the controller's '!' arrives, at most timeout_ms.
bool WaitForPrompt(int n, int timeout_ms)
{
    std::uint32_t start = SysTickMs();
    while (static_cast<int>(SysTickMs() - start) < timeout_ms) {
        unsigned char buf[256];
        int r = ComRead(n, buf, sizeof buf);
        for (int i = 0; i < r; ++i) {
            std::putchar(buf[i]);
            if (buf[i] == '!')
                return true;
        }
        if (r <= 0 && ComWaitReadable(n, 50) < 0)
            SysSleepMs(10);
    }
    return false;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: winload_check N FILE\n");
        return 2;
    }
    int n = std::atoi(argv[1]);
    ComResetTable();
    int r = ComOpen(n);
    std::printf("open=%d\n", r);
    if (r != 0)
        return 1;
    CurrentPort = n;
    ComSetBaud(n, 115200);
    ComSetFormat(n, 0, 8, 1);
    ComSetTimeouts(n);
    ComSetQueues(n);
    ComWrite(n, "LOAD\r", 5);
    bool armed = WaitForPrompt(n, 30000);
    std::printf("\narmed=%d\n", armed ? 1 : 0);
    if (!armed)
        return 1;
    if (SetLoadPath(argv[2]) != 0)
        return 1;
    SendFile();
    std::printf("\ndone=1\n");
    std::fflush(stdout);
    ComClose(n);
    return 0;
}
