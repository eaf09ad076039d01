// CAN library benchmark on the simulated boards.
//
//   can_bench [seconds]         receive and transmit rates, and (when
//                               valgrind is installed) instructions per
//                               received frame measured with callgrind
//   can_bench --rx-frames N     receive N frames and stop (the callgrind run)
//
// Printed beside the bus limit: an 8-byte standard data frame is 111 bits on
// the wire without stuff bits, so 1 Mbit/s carries at most about 9009 such
// frames per second.
#include "BoardSim.h"
#include "Ocelo.h"
#include "SlotSim.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

double Now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

const double kBusLimit = 1e6 / 111.0;

// Slot 2 receives; slot 1 is started only for the transmit part (a board
// that nobody reads would hold the full-speed generator back).
bool Setup()
{
    BoardSimSetBus("off");
    if (SlotSimOpen(1) || SlotSimOpen(2))
        return false;
    return OceloInit(2, 1000000, 0, 0, 0, 0xFFFFFFFF) == OCELO_OK;
}

// Receives through GetCANMsg while the generator runs at full speed.
// Stops after `frames` frames or `seconds`, whichever comes first.
double Receive(unsigned long frames, double seconds, unsigned long &got, unsigned long &overflows)
{
    BoardSimFrame tpl{};
    tpl.Id = 0x123;
    tpl.Len = 8;
    BoardSimTrafficStart(0, &tpl, BOARDSIM_ANY_RATE);
    got = overflows = 0;
    double start = Now();
    while (got < frames && Now() - start < seconds) {
        unsigned char mode, rtr, len, data[8];
        unsigned long id, up, lo;
        int rc = GetCANMsg(2, &mode, &id, &rtr, &len, data, &up, &lo);
        if (rc == OCELO_OK)
            ++got;
        else if (rc == OCELO_OVERFLOW) {
            ++overflows;
            ClearStatus(2);
        } else {
            std::this_thread::yield();  // the board is filling the next zone
        }
    }
    double t = Now() - start;
    BoardSimTrafficStop();
    return t;
}

double Send(double seconds, unsigned long &sent, unsigned long &errors)
{
    unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    sent = errors = 0;
    double start = Now();
    while (Now() - start < seconds) {
        if (SendCANMsg(1, 0, 0x321, 0, 8, data) == OCELO_OK)
            ++sent;
        else
            ++errors;
    }
    return Now() - start;
}

// Total instructions callgrind counted (the "summary:" or "totals:" line).
unsigned long long CallgrindTotal(const std::string &file)
{
    std::ifstream in(file);
    std::string line;
    unsigned long long total = 0;
    while (std::getline(in, line))
        if (line.rfind("summary:", 0) == 0 || line.rfind("totals:", 0) == 0)
            total = std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
    return total;
}

void InstructionsPerFrame(const char *self)
{
    if (std::system("command -v valgrind >/dev/null 2>&1") != 0) {
        std::printf("instructions per received frame: valgrind not installed, skipped\n");
        return;
    }
    const unsigned long frames = 5000;
    char dir[] = "/tmp/can-bench-XXXXXX";
    if (!mkdtemp(dir))
        return;
    std::string out = std::string(dir) + "/callgrind.out";
    std::ostringstream cmd;
    cmd << "valgrind --tool=callgrind --callgrind-out-file=" << out
        << " --toggle-collect=GetCANMsg --toggle-collect=RakCAN_ISR " << self << " --rx-frames " << frames
        << " >" << dir << "/log 2>&1";
    int rc = std::system(cmd.str().c_str());
    unsigned long long total = rc == 0 ? CallgrindTotal(out) : 0;
    if (total)
        std::printf("instructions per received frame (GetCANMsg + RakCAN_ISR, empty polls included, callgrind): %.0f\n",
                    static_cast<double>(total) / frames);
    else
        std::printf("instructions per received frame: callgrind run failed (see %s/log)\n", dir);
    if (total)
        std::system((std::string("rm -rf ") + dir).c_str());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--rx-frames") == 0) {
        if (!Setup())
            return 1;
        unsigned long got, ovf;
        Receive(std::strtoul(argv[2], nullptr, 10), 600, got, ovf);
        RecoverOcelo();
        BoardSimShutdown();
        return got ? 0 : 1;
    }
    double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    if (seconds <= 0)
        seconds = 3.0;
    if (!Setup()) {
        std::fprintf(stderr, "can_bench: the simulated boards did not start\n");
        return 1;
    }
    std::printf("bus limit at 1 Mbit/s, 8-byte standard frames: %.0f frames/s\n", kBusLimit);

    unsigned long got, ovf;
    double t = Receive(~0ul, seconds, got, ovf);
    std::printf("GetCANMsg, generator at full speed: %.0f frames/s (%.1f x bus limit), %lu overflow reports\n",
                got / t, got / t / kBusLimit, ovf);

    unsigned long sent, err;
    if (OceloInit(1, 1000000, 0, 0, 0, 0xFFFFFFFF) != OCELO_OK) {
        std::fprintf(stderr, "can_bench: slot 1 did not start\n");
        return 1;
    }
    t = Send(seconds, sent, err);
    std::printf("SendCANMsg, 8-byte standard frames at 1 Mbit/s: %.0f frames/s (%.2f x bus limit), %lu failures\n",
                sent / t, sent / t / kBusLimit, err);
    RecoverOcelo();
    BoardSimShutdown();

    InstructionsPerFrame(argv[0]);
    return 0;
}
