// ocelo-send: puts CAN frames on the bus through an Ocelo board.
//
//   ocelo-send [-b bitrate] [-n count] [-g gap_ms] <slot> <frame>...
//
// A frame is <id>#<data> or <id>#R[<len>]: 3 hex digits or fewer for a
// standard identifier, 8 for an extended one; data as hex byte pairs,
// optionally separated by '.'.  With -n each frame is sent count times;
// -g waits that many milliseconds after each frame.
#include "CanTool.h"
#include "Ocelo.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

void Usage(FILE *out)
{
    std::fputs("usage: ocelo-send [-b bitrate] [-n count] [-g gap_ms] [-v] <slot> <frame>...\n"
               "  frame: <id>#<data> or <id>#R[<len>]; id has up to 3 hex digits (standard)\n"
               "         or 8 (extended); data is up to 8 hex byte pairs, '.' may separate them\n"
               "  -b  bit rate in bit/s (default 500000)\n"
               "  -n  send each frame this many times (default 1)\n"
               "  -g  pause after each frame in milliseconds (default 0)\n"
               "  -v  print each frame sent\n"
               "examples: ocelo-send 1 123#DEADBEEF   ocelo-send -n 10 -g 100 1 1ABCDEF0#R4\n",
               out);
}

} // namespace

int main(int argc, char **argv)
{
    unsigned long baud = 500000, count = 1, gap = 0, slot = 0;
    bool verbose = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            Usage(stdout);
            return 0;
        }
        if (a == "-v") {
            verbose = true;
            continue;
        }
        if (a == "-b" || a == "-n" || a == "-g") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ocelo-send: %s needs a value\n", a.c_str());
                return 2;
            }
            unsigned long *dst = a == "-b" ? &baud : a == "-n" ? &count : &gap;
            unsigned long max = a == "-b" ? 1000000 : a == "-n" ? 100000000 : 3600000;
            if (!cantool::ParseNumber(argv[++i], max, *dst)) {
                std::fprintf(stderr, "ocelo-send: bad value for %s: %s\n", a.c_str(), argv[i]);
                return 2;
            }
            continue;
        }
        args.push_back(a);
    }
    if (args.size() < 2) {
        Usage(stderr);
        return 2;
    }
    if (!cantool::ParseNumber(args[0], 7, slot) || slot < 1) {
        std::fprintf(stderr, "ocelo-send: slot must be 1 to 7\n");
        return 2;
    }
    std::vector<cantool::FrameSpec> frames;
    for (size_t i = 1; i < args.size(); ++i) {
        cantool::FrameSpec f;
        std::string err = cantool::ParseFrame(args[i], f);
        if (!err.empty()) {
            std::fprintf(stderr, "ocelo-send: %s: %s\n", args[i].c_str(), err.c_str());
            return 2;
        }
        frames.push_back(f);
    }

    int rc = cantool::OpenSlot(static_cast<int>(slot));
    if (rc != 0) {
        std::fprintf(stderr, "ocelo-send: cannot open slot %lu: %s\n", slot, std::strerror(-rc));
        return 1;
    }
    rc = cantool::InitBoard(static_cast<unsigned char>(slot), baud, 0, 0, 0, 0xFFFFFFFF);
    if (rc != OCELO_OK) {
        std::fprintf(stderr, "ocelo-send: OceloInit on slot %lu failed (%d)\n", slot, rc);
        RecoverOcelo();
        return 1;
    }
    int status = 0;
    for (unsigned long n = 0; n < count && status == 0; ++n) {
        for (auto &f : frames) {
            rc = SendCANMsg(static_cast<unsigned char>(slot), f.ext, f.id, f.rtr, f.len, f.data);
            if (rc != OCELO_OK) {
                std::fprintf(stderr, "ocelo-send: SendCANMsg failed (%d)%s\n", rc,
                             rc == OCELO_OVERFLOW ? ": transmission blocked" : "");
                status = 1;
                break;
            }
            if (verbose)
                std::printf("%s\n", cantool::FormatFrame(static_cast<int>(slot), f, 0, 0).c_str());
            if (gap)
                std::this_thread::sleep_for(std::chrono::milliseconds(gap));
        }
    }
    RecoverOcelo();
    return status;
}
