// CAN library benchmark on the simulated boards, for both deliverables:
// can_bench (oceloLnx with libslotsim) and can_bench_ce (libOceloCE.so,
// loaded with dlopen, on libhalvexsim.so).
//
//   can_bench[_ce] [seconds [frames]]  prints, as "name value" lines:
//     rx_full_fps        GetCANMsg rate with the generator as fast as the
//                        board takes frames (the library's headroom)
//     rx_bus_fps, rx_lost  the generator at the bus limit for the whole
//                        time; frames lost (sequence numbers checked)
//     tx_fps, tx_lost    SendCANMsg on slot 1 as fast as it returns, slot 2
//                        receiving through GetCANMsg on a second thread;
//                        frames that did not arrive in order
//     tx_firmware_limit_fps  one transmission per firmware reaction time
//     tx_cpu_us_per_frame  CPU time of the sending thread per frame sent
//     tx_ack_polls_per_frame  reads of the acknowledgement byte per frame sent
//     rx_lost_commands, tx_lost_commands  commands the boards lost in their
//                        one command byte during the receive and send runs
//     rx_instr_per_frame, tx_instr_per_frame  (valgrind installed) the
//                        library's instructions per received and per sent
//                        frame, counted by callgrind over `frames` received
//                        (5000) and half as many sent frames
//   can_bench[_ce] --rx-frames N | --tx-frames N   (the callgrind runs)
//   can_bench[_ce] --tx-rate N [SLACK_NS]   the send run alone, N frames, the
//                        sending thread's timer slack SLACK_NS (default 1;
//                        0 is the system's default, 50 us): prints tx_fps,
//                        tx_lost, tx_cpu_us_per_frame and the whole
//                        process's process_cpu_us_per_frame (python_bench's
//                        reference, taken in turns with its own runs)
//   can_bench[_ce] --two-way N M   N frames from slot 1 to slot 2 and, at
//                        the same time, M from slot 2 to slot 1, standard and
//                        extended, data and remote, at most 1000 unread per
//                        direction; prints two_way_fps, two_way_errors (lost,
//                        altered, duplicated or failed) and exits 1 on any
//
// The bus limit: an 8-byte standard data frame is 111 bits without stuff
// bits (as the simulated bus counts it), so 1 Mbit/s carries 9009 a second.
#include "BoardSim.h"
#include "Ocelo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#ifdef OCELO_WINCE
#include <dlfcn.h>

#include "halvexsim.h"
#else
#include "SlotSim.h"
#endif

namespace {

double Now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

const double kBusLimit = 1e6 / 111.0;

// The simulated boards' reaction time to a command, as they take it.
double ReactionUs()
{
    const char *env = std::getenv("OCELO_SIM_REACTION_US");
    if (env != nullptr && *env != '\0') {
        char *end = nullptr;
        unsigned long us = std::strtoul(env, &end, 10);
        if (end != nullptr && *end == '\0' && us <= 1'000'000)
            return static_cast<double>(us);
    }
    return BOARDSIM_REACTION_US;
}

struct Api {
    decltype(&::OceloInit) Init = nullptr;
    decltype(&::GetCANMsg) Get = nullptr;
    decltype(&::SendCANMsg) Send = nullptr;
    decltype(&::ClearStatus) Clear = nullptr;
} L;

#ifdef OCELO_WINCE
void *Library = nullptr;

bool Load()
{
    BoardSimSetBus("off");
    GetSlotAddr(0);  // plugs the boards and starts the simulation first
    Library = dlopen(OCELOCE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (Library == nullptr) {
        std::fprintf(stderr, "can_bench_ce: %s\n", dlerror());
        return false;
    }
    L.Init = reinterpret_cast<decltype(L.Init)>(dlsym(Library, "OceloInit"));
    L.Get = reinterpret_cast<decltype(L.Get)>(dlsym(Library, "GetCANMsg"));
    L.Send = reinterpret_cast<decltype(L.Send)>(dlsym(Library, "SendCANMsg"));
    L.Clear = reinterpret_cast<decltype(L.Clear)>(dlsym(Library, "ClearStatus"));
    return L.Init && L.Get && L.Send && L.Clear;
}

void Unload()
{
    if (Library != nullptr)
        dlclose(Library);
    BoardSimShutdown();
}

const char *const kName = "can_bench_ce";
// The library's own receive work: GetCANMsg and the polling thread.
const char *const kRxCollect = "--toggle-collect=GetCANMsg --toggle-collect='*OceloPollThread*'";
#else
bool Load()
{
    BoardSimSetBus("off");
    if (SlotSimOpen(1) || SlotSimOpen(2))
        return false;
    L.Init = &::OceloInit;
    L.Get = &::GetCANMsg;
    L.Send = &::SendCANMsg;
    L.Clear = &::ClearStatus;
    return true;
}

void Unload()
{
    RecoverOcelo();
    BoardSimShutdown();
}

const char *const kName = "can_bench";
// The library's own receive work: GetCANMsg and the interrupt handler.
const char *const kRxCollect = "--toggle-collect=GetCANMsg --toggle-collect=RakCAN_ISR";
#endif

bool InitSlot(int slot)
{
    for (int i = 0; i < 3; ++i)
        if (L.Init(static_cast<OceloSlot>(slot), 1000000, 0, 0, 0, 0xFFFFFFFF) == OCELO_OK)
            return true;
    return false;
}

struct RxResult {
    unsigned long got = 0;
    unsigned long overflows = 0;
    unsigned long outOfOrder = 0;  // frames whose sequence number was not the next one
    double seconds = 0;
    double lastFrame = 0;  // when the last frame came (Now())
};

uint32_t Seq(const unsigned char *d)
{
    return static_cast<uint32_t>(d[0]) | (static_cast<uint32_t>(d[1]) << 8) | (static_cast<uint32_t>(d[2]) << 16) |
           (static_cast<uint32_t>(d[3]) << 24);
}

// Receives on slot through GetCANMsg until `frames` frames, `seconds`, or
// (when stop is given) stop is set and nothing more came for 200 ms.
RxResult Receive(int slot, unsigned long frames, double seconds, const std::atomic<bool> *stop = nullptr)
{
    RxResult r;
    uint32_t next = 0;
    double start = Now();
    double lastFrame = start;
    while (r.got < frames && Now() - start < seconds) {
        unsigned char mode, rtr, len, data[8];
        OceloULong id, up, lo;
        int rc = L.Get(static_cast<OceloSlot>(slot), &mode, &id, &rtr, &len, data, &up, &lo);
        if (rc == OCELO_OK) {
            if (len >= 4) {
                uint32_t s = Seq(data);
                if (s != next)
                    ++r.outOfOrder;
                next = s + 1;
            }
            ++r.got;
            lastFrame = Now();
        } else if (rc == OCELO_OVERFLOW) {
            ++r.overflows;
            L.Clear(static_cast<OceloSlot>(slot));
        } else {
            if (stop != nullptr && stop->load() && Now() - lastFrame > 0.2)
                break;
            // The board is filling the next zone.  A receiver that spins here
            // takes a core from the sender and the simulated firmware (two
            // cores here), so it waits as an application would.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    r.seconds = Now() - start;
    r.lastFrame = lastFrame;
    return r;
}

// The generator on the bus at `rate` frames/s (0: as fast as the boards
// take them) while slot 2 receives.
RxResult ReceiveFromGenerator(unsigned rate, unsigned long frames, double seconds, uint64_t *generated,
                              double *ran = nullptr)
{
    BoardSimFrame tpl{};
    tpl.Id = 0x123;
    tpl.Len = 8;
    BoardSimTrafficStart(rate, &tpl, BOARDSIM_ANY_RATE);
    RxResult r;
    if (rate == 0) {
        r = Receive(2, frames, seconds);
        BoardSimTrafficStop();
    } else {
        std::atomic<bool> stop{false};
        double t0 = Now();
        std::thread gen([&] {
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            BoardSimTrafficStop();
            if (ran != nullptr)
                *ran = Now() - t0;
            stop = true;
        });
        r = Receive(2, ~0ul, seconds + 10, &stop);
        gen.join();
    }
    if (generated != nullptr)
        *generated = BoardSimTrafficCount();
    return r;
}

// Takes whatever an earlier run left on the board.
void Drain(int slot)
{
    std::atomic<bool> stop{true};
    Receive(slot, ~0ul, 5, &stop);
}

struct TxResult {
    unsigned long sent = 0;
    unsigned long failures = 0;
    double seconds = 0;
    double cpu = 0;  // CPU seconds of the sending thread
};

double ThreadCpu()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TxResult Send(unsigned long frames, double seconds)
{
    unsigned char data[8] = {0, 0, 0, 0, 5, 6, 7, 8};
    TxResult t;
    double start = Now(), cpu0 = ThreadCpu();
    while (t.sent < frames && Now() - start < seconds) {
        data[0] = static_cast<unsigned char>(t.sent & 0xFF);
        data[1] = static_cast<unsigned char>((t.sent >> 8) & 0xFF);
        data[2] = static_cast<unsigned char>((t.sent >> 16) & 0xFF);
        data[3] = static_cast<unsigned char>((t.sent >> 24) & 0xFF);
        if (L.Send(1, 0, 0x321, 0, 8, data) == OCELO_OK)
            ++t.sent;
        else
            ++t.failures;
    }
    t.seconds = Now() - start;
    t.cpu = ThreadCpu() - cpu0;
    return t;
}

// Commands lost in the command bytes of slots 1 and 2 so far.
unsigned long LostCommands()
{
    unsigned long n = 0;
    for (int slot = 1; slot <= 2; ++slot) {
        BoardSimStats st{};
        BoardSimGetStats(slot, &st);
        n += static_cast<unsigned long>(st.LostCommands);
    }
    return n;
}

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

// Instructions per frame of one callgrind run of this program; 0 on failure.
double Instructions(const char *self, const char *mode, const char *collect, unsigned long frames)
{
    char dir[] = "/tmp/can-bench-XXXXXX";
    if (!mkdtemp(dir))
        return 0;
    std::string out = std::string(dir) + "/callgrind.out";
    std::ostringstream cmd;
    cmd << "valgrind --tool=callgrind --callgrind-out-file=" << out << " " << collect << " " << self << " " << mode
        << " " << frames << " >" << dir << "/log 2>&1";
    int rc = std::system(cmd.str().c_str());
    unsigned long long total = rc == 0 ? CallgrindTotal(out) : 0;
    if (total == 0)
        std::fprintf(stderr, "%s: callgrind run %s failed (see %s/log)\n", kName, mode, dir);
    else
        std::system((std::string("rm -rf ") + dir).c_str());
    return static_cast<double>(total) / static_cast<double>(frames);
}

} // namespace

// Frame n of a two-way run: identifiers and formats vary with n, the data
// carry n and the sender.
struct TwoWayFrame {
    unsigned char ext, rtr, len, data[8];
    OceloULong id;
};

TwoWayFrame TwoWay(uint32_t n, int from)
{
    TwoWayFrame f{};
    f.ext = n % 3 == 0;
    f.rtr = n % 7 == 6;
    f.len = static_cast<unsigned char>(4 + n % 5);
    f.id = f.ext ? (0x1000000u + n) & 0x1FFFFFFF : (n & 0x7FF);
    f.data[0] = static_cast<unsigned char>(n);
    f.data[1] = static_cast<unsigned char>(n >> 8);
    f.data[2] = static_cast<unsigned char>(n >> 16);
    f.data[3] = static_cast<unsigned char>(from);
    return f;
}

int TwoWayRun(unsigned long forward, unsigned long backward)
{
    if (!Load() || !InitSlot(1) || !InitSlot(2)) {
        std::fprintf(stderr, "%s: the simulated boards did not start\n", kName);
        return 1;
    }
    constexpr unsigned long kWindow = 1000;
    const double deadline = Now() + 3600;
    std::atomic<unsigned long> received[3] = {};
    std::atomic<unsigned long> errors{0};
    auto send = [&](int from, int to, unsigned long count) {
        for (unsigned long n = 0; n < count && Now() < deadline; ++n) {
            while (n - received[to].load() >= kWindow && Now() < deadline)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            TwoWayFrame f = TwoWay(static_cast<uint32_t>(n), from);
            if (L.Send(static_cast<OceloSlot>(from), f.ext, f.id, f.rtr, f.len, f.data) != OCELO_OK)
                ++errors;
        }
    };
    auto receive = [&](int slot, int from, unsigned long count) {
        while (received[slot].load() < count && Now() < deadline) {
            unsigned char mode = 0, rtr = 0, len = 0, data[8] = {};
            OceloULong id = 0, up = 0, lo = 0;
            int rc = L.Get(static_cast<OceloSlot>(slot), &mode, &id, &rtr, &len, data, &up, &lo);
            if (rc == OCELO_NO_MSG) {
                std::this_thread::sleep_for(std::chrono::microseconds(500));
                continue;
            }
            TwoWayFrame want = TwoWay(static_cast<uint32_t>(received[slot].load()), from);
            bool same = rc == OCELO_OK && mode == want.ext && rtr == want.rtr && len == want.len && id == want.id &&
                        (want.rtr || std::memcmp(data, want.data, 4) == 0);
            if (!same)
                ++errors;
            ++received[slot];
        }
    };
    const double start = Now();
    std::thread t1(send, 1, 2, forward), t2(send, 2, 1, backward);
    std::thread r2(receive, 2, 1, forward), r1(receive, 1, 2, backward);
    t1.join();
    t2.join();
    r2.join();
    r1.join();
    const double took = Now() - start;
    unsigned long missing = (forward - received[2].load()) + (backward - received[1].load());
    std::printf("two_way_fps %.0f\n", static_cast<double>(received[1] + received[2]) / took);
    std::printf("two_way_errors %lu\n", errors.load() + missing);
    Unload();
    return errors.load() + missing == 0 ? 0 : 1;
}

double ProcessCpu()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The send run of the table on its own: slot 1 sends `frames` frames as
// fast as SendCANMsg returns while slot 2 receives them on a second thread.
int TxRateRun(unsigned long frames, unsigned long slackNs)
{
    prctl(PR_SET_TIMERSLACK, slackNs, 0UL, 0UL, 0UL);
    if (!Load() || !InitSlot(2) || !InitSlot(1)) {
        std::fprintf(stderr, "%s: the simulated boards did not start\n", kName);
        return 1;
    }
    Drain(2);
    std::atomic<bool> stop{false};
    RxResult arrived;
    double start = Now(), cpu0 = ProcessCpu();
    std::thread reader([&] { arrived = Receive(2, frames, 600, &stop); });
    TxResult tx = Send(frames, 600);
    stop = true;
    reader.join();
    const double cpu = ProcessCpu() - cpu0;
    Unload();
    double seconds = arrived.lastFrame > start ? arrived.lastFrame - start : tx.seconds;
    std::printf("tx_fps %.0f\n", static_cast<double>(arrived.got) / seconds);
    std::printf("tx_lost %lu\n", tx.sent > arrived.got ? tx.sent - arrived.got : 0);
    if (tx.sent > 0) {
        std::printf("tx_cpu_us_per_frame %.1f\n", tx.cpu * 1e6 / static_cast<double>(tx.sent));
        std::printf("process_cpu_us_per_frame %.1f\n", cpu * 1e6 / static_cast<double>(tx.sent));
    }
    return tx.sent == frames && arrived.got == frames && arrived.outOfOrder == 0 ? 0 : 1;
}

int main(int argc, char **argv)
{
    // The sending and receiving threads wake on time (1 ns timer slack, as a
    // control program that cares would set it); the simulated firmware's
    // thread sets its own.  With the default 50 us slack SendCANMsg's sleep
    // wakes later and ends earlier to make up for it (see docs/benchmarks.md).
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--tx-rate") == 0)
        return TxRateRun(std::strtoul(argv[2], nullptr, 10), argc == 4 ? std::strtoul(argv[3], nullptr, 10) : 1);
    if (argc == 4 && std::strcmp(argv[1], "--two-way") == 0)
        return TwoWayRun(std::strtoul(argv[2], nullptr, 10), std::strtoul(argv[3], nullptr, 10));
    if (argc == 3 && (std::strcmp(argv[1], "--rx-frames") == 0 || std::strcmp(argv[1], "--tx-frames") == 0)) {
        unsigned long n = std::strtoul(argv[2], nullptr, 10);
        bool rx = argv[1][2] == 'r';
        if (!Load() || !InitSlot(2) || (!rx && !InitSlot(1)))
            return 1;
        bool ok;
        if (rx) {
            ok = ReceiveFromGenerator(0, n, 600, nullptr).got == n;
        } else {
            std::atomic<bool> stop{false};
            std::thread reader([&] { Receive(2, ~0ul, 600, &stop); });
            ok = Send(n, 600).sent == n;
            stop = true;
            reader.join();
        }
        Unload();
        return ok ? 0 : 1;
    }
    double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    if (seconds <= 0)
        seconds = 3.0;
    long callgrindFrames = argc > 2 ? std::atol(argv[2]) : 5000;
    if (callgrindFrames < 100)
        callgrindFrames = 5000;
    if (!Load() || !InitSlot(2)) {
        std::fprintf(stderr, "%s: the simulated boards did not start\n", kName);
        return 1;
    }
    std::printf("bus_limit_fps %.0f\n", kBusLimit);

    RxResult full = ReceiveFromGenerator(0, ~0ul, seconds, nullptr);
    std::printf("rx_full_fps %.0f\n", full.got / full.seconds);

    Drain(2);
    uint64_t generated = 0;
    double ran = seconds;
    RxResult bus = ReceiveFromGenerator(static_cast<unsigned>(kBusLimit + 1), ~0ul, seconds, &generated, &ran);
    std::printf("rx_bus_fps %.0f\n", static_cast<double>(bus.got) / ran);
    unsigned long rxLost = generated > bus.got ? static_cast<unsigned long>(generated - bus.got) : 0;
    std::printf("rx_lost %lu\n", rxLost);
    std::printf("rx_out_of_order %lu\n", bus.outOfOrder);
    std::printf("rx_overflow_reports %lu\n", bus.overflows);
    const unsigned long rxLostCommands = LostCommands();
    std::printf("rx_lost_commands %lu\n", rxLostCommands);

    if (!InitSlot(1)) {
        std::fprintf(stderr, "%s: slot 1 did not start\n", kName);
        return 1;
    }
    Drain(2);
    BoardSimStats ackBefore{};
    BoardSimGetStats(1, &ackBefore);
    std::atomic<bool> stop{false};
    RxResult arrived;
    double txStart = Now();
    std::thread reader([&] { arrived = Receive(2, ~0ul, seconds + 30, &stop); });
    TxResult tx = Send(~0ul, seconds);
    stop = true;
    reader.join();
    // Frames that reached the other board, over the time until the last
    // one did (the board's transmit queue still holds some when the
    // sending stops).
    double txTime = arrived.lastFrame > txStart ? arrived.lastFrame - txStart : tx.seconds;
    std::printf("tx_fps %.0f\n", static_cast<double>(arrived.got) / txTime);
    // The board's firmware reads one command a reaction time after it was
    // written and answers a transmission only then: one frame per reaction
    // time (200 us unless OCELO_SIM_REACTION_US says otherwise), with no
    // time at all on the host between the answer and the next command (a
    // board that reads commands at once leaves the bus to pace it).
    const double reaction = ReactionUs();
    std::printf("tx_firmware_limit_fps %.0f\n", reaction > 0 ? std::min(1e6 / reaction, kBusLimit) : kBusLimit);
    if (tx.sent > 0)
        std::printf("tx_cpu_us_per_frame %.1f\n", tx.cpu * 1e6 / static_cast<double>(tx.sent));
    BoardSimStats ackAfter{};
    BoardSimGetStats(1, &ackAfter);
    if (tx.sent > 0)
        std::printf("tx_ack_polls_per_frame %.1f\n",
                    static_cast<double>(ackAfter.TxAckReads - ackBefore.TxAckReads) / static_cast<double>(tx.sent));
    unsigned long txLost = tx.sent > arrived.got ? tx.sent - arrived.got : 0;
    std::printf("tx_failures %lu\n", tx.failures);
    std::printf("tx_lost %lu\n", txLost);
    std::printf("tx_out_of_order %lu\n", arrived.outOfOrder);
    std::printf("tx_overflow_reports %lu\n", arrived.overflows);
    std::printf("tx_lost_commands %lu\n", LostCommands() - rxLostCommands);
    Unload();

    if (std::system("command -v valgrind >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "%s: valgrind not installed, instruction counts skipped\n", kName);
        return 0;
    }
    unsigned long frames = static_cast<unsigned long>(callgrindFrames);
    double rxI = Instructions(argv[0], "--rx-frames", kRxCollect, frames);
    double txI = Instructions(argv[0], "--tx-frames", "--toggle-collect=SendCANMsg", frames / 2);
    if (rxI > 0)
        std::printf("rx_instr_per_frame %.0f\n", rxI);
    if (txI > 0)
        std::printf("tx_instr_per_frame %.0f\n", txI);
    return 0;
}
