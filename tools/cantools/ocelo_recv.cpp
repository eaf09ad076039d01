// ocelo-recv: prints the CAN frames that Ocelo boards receive.
//
//   ocelo-recv [-b bitrate] [-c code] [-m mask] [-n count] [-t seconds] <slot>...
//
// One line per frame: slot, identifier, [length], data bytes (or "remote
// request") and the board's two time words.  Ends after count frames, after
// the given number of seconds, or on Ctrl-C.
#include "CanTool.h"
#include "Ocelo.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

void Usage(FILE *out)
{
    std::fputs("usage: ocelo-recv [-b bitrate] [-c code] [-m mask] [-n count] [-t seconds] <slot>...\n"
               "  -b  bit rate in bit/s (default 500000)\n"
               "  -c  acceptance code (default 0)\n"
               "  -m  acceptance mask, bit 1 = don't care (default 0xFFFFFFFF: every frame)\n"
               "  -n  stop after this many frames (default: run until Ctrl-C)\n"
               "  -t  stop after this many seconds\n",
               out);
}

} // namespace

int main(int argc, char **argv)
{
    unsigned long baud = 500000, code = 0, mask = 0xFFFFFFFF, count = 0, seconds = 0;
    std::vector<unsigned char> slots;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            Usage(stdout);
            return 0;
        }
        if (a == "-b" || a == "-c" || a == "-m" || a == "-n" || a == "-t") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ocelo-recv: %s needs a value\n", a.c_str());
                return 2;
            }
            unsigned long *dst = a == "-b" ? &baud : a == "-c" ? &code : a == "-m" ? &mask : a == "-n" ? &count : &seconds;
            unsigned long max = a == "-b" ? 1000000 : (a == "-c" || a == "-m") ? 0xFFFFFFFFul : 100000000;
            if (!cantool::ParseNumber(argv[++i], max, *dst)) {
                std::fprintf(stderr, "ocelo-recv: bad value for %s: %s\n", a.c_str(), argv[i]);
                return 2;
            }
            continue;
        }
        unsigned long s;
        if (!cantool::ParseNumber(a, 7, s) || s < 1) {
            std::fprintf(stderr, "ocelo-recv: slot must be 1 to 7: %s\n", a.c_str());
            return 2;
        }
        slots.push_back(static_cast<unsigned char>(s));
    }
    if (slots.empty()) {
        Usage(stderr);
        return 2;
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    for (unsigned char s : slots) {
        int rc = cantool::OpenSlot(s);
        if (rc != 0) {
            std::fprintf(stderr, "ocelo-recv: cannot open slot %u: %s\n", s, std::strerror(-rc));
            return 1;
        }
        rc = cantool::InitBoard(s, baud, 0, 0, code, mask);
        if (rc != OCELO_OK) {
            std::fprintf(stderr, "ocelo-recv: OceloInit on slot %u failed (%d)\n", s, rc);
            RecoverOcelo();
            return 1;
        }
        std::printf("# listening on slot %u at %lu bit/s\n", s, baud);
    }

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    unsigned long printed = 0;
    int status = 0;
    while (!g_stop && (count == 0 || printed < count) &&
           (seconds == 0 || std::chrono::steady_clock::now() < end)) {
        bool any = false;
        for (unsigned char s : slots) {
            cantool::FrameSpec f;
            unsigned long id, upper, lower;
            int rc = GetCANMsg(s, &f.ext, &id, &f.rtr, &f.len, f.data, &upper, &lower);
            if (rc == OCELO_OK) {
                f.id = id;
                std::printf("%s\n", cantool::FormatFrame(s, f, upper, lower).c_str());
                any = true;
                if (count && ++printed >= count)
                    break;
            } else if (rc == OCELO_OVERFLOW) {
                std::fprintf(stderr, "ocelo-recv: slot %u: board reports an overflow, frames were lost\n", s);
                ClearStatus(s);
            } else if (rc == OCELO_NOT_INIT) {
                std::fprintf(stderr, "ocelo-recv: slot %u: the board restarted, initialising again\n", s);
                if (OceloInit(s, baud, 0, 0, code, mask) != OCELO_OK) {
                    std::fprintf(stderr, "ocelo-recv: slot %u does not answer\n", s);
                    status = 1;
                    g_stop = 1;
                }
            }
        }
        if (!any)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    RecoverOcelo();
    return status;
}
