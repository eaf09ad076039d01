// can-fault-runs: the CAN library (oceloLnx on the simulated slot library)
// against simulated boards that misbehave, with sequenced traffic whose
// every frame is checked on arrival.  Run by scripts/fault-runs.sh.
//
//   can-fault-runs [--short]
//
// Each run says what it tries and what it saw; a frame that arrives
// altered, twice or out of order, a library call that does not return
// within its bound, or a result code the run does not allow fails it.  The
// process ends with status 0 when every run passed, 1 otherwise, and is
// aborted (status 2) by its own watchdog if it hangs.
#include "BoardSim.h"
#include "Ocelo.h"
#include "OceloProtocol.h"
#include "SlotSim.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

bool Short = false;
int Failures = 0;

double NowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void Fail(const char *run, const std::string &what)
{
    std::printf("  FAILED %s: %s\n", run, what.c_str());
    ++Failures;
}

void Watchdog(int)
{
    const char msg[] = "can-fault-runs: a run hung past the overall bound\n";
    ssize_t w = write(2, msg, sizeof msg - 1);
    (void)w;
    _exit(2);
}

// A library call must come back within this many milliseconds.
bool Within(const char *run, const char *call, double startMs, double boundMs)
{
    double took = NowMs() - startMs;
    if (took <= boundMs)
        return true;
    Fail(run, std::string(call) + " took " + std::to_string(static_cast<int>(took)) + " ms");
    return false;
}

int Init(int slot, unsigned long baud = 1000000)
{
    int rc = OCELO_ERR_BOARD;
    for (int i = 0; i < 3 && rc != OCELO_OK; ++i)
        rc = OceloInit(static_cast<OceloSlot>(slot), baud, 0, 0, 0, 0xFFFFFFFFul);
    return rc;
}

// The traffic generator's frames: identifier 0x321, 8 bytes, the sequence
// number in bytes 0..3 and a fixed tail that shows alteration.
const unsigned char Tail[4] = {0xC3, 0x5A, 0x0F, 0xF0};

BoardSimFrame Template()
{
    BoardSimFrame f{};
    f.Ext = 0;
    f.Rtr = 0;
    f.Len = 8;
    f.Id = 0x321;
    std::memcpy(f.Data + 4, Tail, 4);
    return f;
}

BoardSimFrame Numbered(uint32_t n)
{
    BoardSimFrame f = Template();
    std::memcpy(f.Data, &n, 4);
    return f;
}

// Receives the generator's frames and checks each: right identifier and
// tail, sequence numbers rising.  Gaps are counted (lost frames), a frame
// that is altered, repeated or early is an error.
struct Checker {
    const char *run;
    long last = -1;
    unsigned long received = 0;
    unsigned long lost = 0;
    unsigned long others = 0;  // slot 2's frames (extended, 0x1ABCDE0..F)
    bool bad = false;

    // One GetCANMsg; returns its result code.
    int Poll(int slot)
    {
        unsigned char mode = 9, rtr = 9, len = 99, data[16];
        std::memset(data, 0xA5, sizeof data);
        OceloULong id = 0, upper = 0, lower = 0;
        double start = NowMs();
        int rc = GetCANMsg(static_cast<OceloSlot>(slot), &mode, &id, &rtr, &len, data, &upper, &lower);
        Within(run, "GetCANMsg", start, 200);
        if (rc != OCELO_OK)
            return rc;
        uint32_t seq;
        std::memcpy(&seq, data, 4);
        if (mode == 1 && rtr == 0 && len == 8 && (id & ~0xFul) == 0x1ABCDE0 && data[8] == 0xA5) {
            ++others;
            return rc;
        }
        if (mode != 0 || rtr != 0 || len != 8 || id != 0x321 || std::memcmp(data + 4, Tail, 4) != 0 || data[8] != 0xA5) {
            if (!bad)
                Fail(run, "frame altered (id " + std::to_string(id) + ", len " + std::to_string(len) + ", seq " +
                              std::to_string(seq) + ")");
            bad = true;
            return rc;
        }
        if (static_cast<long>(seq) <= last) {
            if (!bad)
                Fail(run, "frame " + std::to_string(seq) + " after " + std::to_string(last) + " (repeated or out of order)");
            bad = true;
            return rc;
        }
        lost += static_cast<unsigned long>(static_cast<long>(seq) - last - 1);
        last = seq;
        ++received;
        return rc;
    }

    // Reads until nothing has come for quietMs.
    void Drain(int slot, int quietMs)
    {
        double lastFrame = NowMs();
        while (NowMs() - lastFrame < quietMs) {
            int rc = Poll(slot);
            if (rc == OCELO_OK)
                lastFrame = NowMs();
            else
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
};

// ---- Runs ----------------------------------------------------------------------

// Traffic as fast as the receiving board takes it, and a second board
// sending back-to-back at the same time: nothing lost, altered or reordered.
void BusLimit()
{
    const char *run = "bus limit";
    int ms = Short ? 1500 : 5000;
    // An 8-byte standard frame is 111 bits on the wire: 9009 frames/s fill a
    // 1 Mbit/s bus.
    const unsigned rate = 1000000 / 111;
    std::printf("CAN fault: %s: %u frames/s (a full 1 Mbit/s bus) into slots 1 and 2 for %d ms, slot 2 sending "
                "back-to-back meanwhile\n",
                run, rate, ms);
    BoardSimSetRxCapacity(1, 1u << 20);
    BoardSimSetRxCapacity(2, 1u << 20);
    Checker c1{run}, c2{run};
    BoardSimFrame t = Template();
    BoardSimTrafficStart(rate, &t, OceloBaudIndex(1000000));
    unsigned long sent = 0;
    int sendErrors = 0;
    double end = NowMs() + ms;
    while (NowMs() < end) {
        for (int i = 0; i < 16; ++i) {
            c1.Poll(1);
            c2.Poll(2);
        }
        unsigned char d[8] = {1, 2, 3, 4, 5, 6, 7, static_cast<unsigned char>(sent)};
        double start = NowMs();
        int rc = SendCANMsg(2, 1, 0x1ABCDE0 + (sent & 15), 0, 8, d);
        Within(run, "SendCANMsg", start, 500);
        if (rc == OCELO_OK)
            ++sent;
        else
            ++sendErrors;
    }
    BoardSimTrafficStop();
    double quiet = NowMs();
    while (NowMs() - quiet < 300) {
        unsigned long before = c1.received + c1.others + c2.received;
        c1.Poll(1);
        c2.Poll(2);
        if (c1.received + c1.others + c2.received != before)
            quiet = NowMs();
    }
    unsigned long generated = static_cast<unsigned long>(BoardSimTrafficCount());
    std::printf("  generated %lu; slot 1 received %lu (lost %lu), slot 2 received %lu (lost %lu); slot 2 sent %lu "
                "(%d refused), slot 1 got %lu of them\n",
                generated, c1.received, c1.lost, c2.received, c2.lost, sent, sendErrors, c1.others);
    if (c1.received != generated || c2.received != generated || c1.lost != 0 || c2.lost != 0) {
        Fail(run, "not every generated frame arrived");
        BoardSimStats s1{};
        BoardSimGetStats(1, &s1);
        std::printf("  slot 1: board took %lu frames, %lu batches, %lu interrupts, %u batch requests; library: "
                    "%u of %u read, zone %u, request allowed %d, init %u, buffer status %02X, dropped %lu\n",
                    static_cast<unsigned long>(s1.RxFrames), static_cast<unsigned long>(s1.Batches),
                    static_cast<unsigned long>(s1.Interrupts), s1.Commands[OCELO_CMD_NEXT_BATCH], CANRdCnt[1],
                    StoreMsgNum[1], DPStartToReadIndex[1], RequistAllow[1], RakInit[1], BufStatus[1], static_cast<unsigned long>(s1.RxDropped));
    }
    if (sent == 0 || sendErrors != 0 || c1.others != sent)
        Fail(run, "slot 2's frames did not all reach slot 1");
}

// A board whose receive buffer overflows while the host does not read.
void Overflow()
{
    const char *run = "overflow";
    std::printf("CAN fault: %s: slot 1 holds 32 frames beyond its zones, 20000 frames/s arrive for 300 ms unread\n", run);
    BoardSimSetRxCapacity(1, 32);
    BoardSimStats st0{};
    BoardSimGetStats(1, &st0);
    Checker c{run};
    BoardSimFrame t = Template();
    BoardSimTrafficStart(20000, &t, BOARDSIM_ANY_RATE);
    SleepMs(300);
    BoardSimTrafficStop();
    int rc = OCELO_NO_MSG;
    double start = NowMs();
    while (NowMs() - start < 3000 && (rc = c.Poll(1)) != OCELO_OVERFLOW)
        SleepMs(1);
    unsigned char can = 0, ovf = 0;
    GetStatus(1, &can, &ovf);
    BoardSimStats st{};
    BoardSimGetStats(1, &st);
    std::printf("  GetCANMsg gave %d, overflow flag %02X, dropped by the board %lu\n", rc, ovf,
                static_cast<unsigned long>(st.RxDropped - st0.RxDropped));
    if (rc != OCELO_OVERFLOW || ovf == 0)
        Fail(run, "the overflow was not reported");
    ClearStatus(1);
    c.Drain(1, 300);
    std::printf("  after ClearStatus: received %lu in order, %lu lost\n", c.received, c.lost);
    if (c.received == 0)
        Fail(run, "reception did not resume after ClearStatus");
    if (c.received + c.lost > BoardSimTrafficCount())
        Fail(run, "frames beyond the last one generated");
    BoardSimSetRxCapacity(1, 1u << 20);
}

// Record counts outside 1..64 in the count byte of a batch.
void CountsOutOfRange()
{
    const char *run = "count bytes";
    std::printf("CAN fault: %s: batches announced with counts 0, 65, 200, 255, then the right count\n", run);
    uint32_t next = 0;
    for (int bad : {0, 65, 200, 255}) {
        Checker c{run};
        c.last = static_cast<long>(next) - 1;
        BoardSimSetFault(1, BOARDSIM_FAULT_RX_COUNT, bad);
        for (int i = 0; i < 10; ++i) {
            BoardSimFrame f = Numbered(next + static_cast<uint32_t>(i));
            BoardSimBusSend(&f, BOARDSIM_ANY_RATE);
        }
        double start = NowMs();
        while (NowMs() - start < 200)
            c.Poll(1);
        unsigned long early = c.received;
        if (StoreMsgNum[1] > OCELO_ZONE_RECORDS)
            Fail(run, "batch size " + std::to_string(StoreMsgNum[1]) + " taken");
        BoardSimClearFault(1, BOARDSIM_FAULT_RX_COUNT);
        c.Drain(1, 300);
        std::printf("  count %d: %lu frames taken while the count was wrong, %lu after, %lu lost\n", bad, early,
                    c.received - early, c.lost);
        if (early != 0)
            Fail(run, "frames taken from a batch with count " + std::to_string(bad));
        if (c.received != 10 || c.lost != 0)
            Fail(run, "the batch did not arrive whole once the count was right");
        next += 10;
    }
}

// Status bytes whose complements never match.
void StatusPairs()
{
    const char *run = "status pairs";
    std::printf("CAN fault: %s: CAN status changes while the pairs never add up; then OceloInit on such a board\n", run);
    unsigned char can0 = 0, ovf0 = 0;
    GetStatus(1, &can0, &ovf0);
    BoardSimSetFault(1, BOARDSIM_FAULT_BAD_STATUS, 1);
    BoardSimSetCANStatus(1, 0x05);
    SleepMs(100);
    unsigned char can = 0, ovf = 0;
    GetStatus(1, &can, &ovf);
    std::printf("  status copy before %02X, after the unreadable change %02X\n", can0, can);
    if (can != can0)
        Fail(run, "a status byte without its complement was taken");
    // Reception goes on.
    Checker c{run};
    for (uint32_t i = 0; i < 5; ++i) {
        BoardSimFrame f = Numbered(i);
        BoardSimBusSend(&f, BOARDSIM_ANY_RATE);
    }
    c.Drain(1, 300);
    if (c.received != 5)
        Fail(run, "reception stopped");
    double start = NowMs();
    int rc = OceloInit(1, 1000000, 0, 0, 0, 0xFFFFFFFFul);
    std::printf("  OceloInit with unreadable status: %d after %d ms\n", rc, static_cast<int>(NowMs() - start));
    Within(run, "OceloInit", start, 3000);
    if (rc != OCELO_ERR_BOARD)
        Fail(run, "OceloInit did not report the board");
    BoardSimClearFault(1, BOARDSIM_FAULT_BAD_STATUS);
    if (Init(1) != OCELO_OK)
        Fail(run, "OceloInit failed once the board was sound again");
}

// The board restarts on its own while traffic runs and the host reads.
void ResetInUse()
{
    const char *run = "reset in use";
    std::printf("CAN fault: %s: slot 1 restarts during 5000 frames/s; the host sees it, sets up again, reads on\n", run);
    Checker c{run};
    BoardSimFrame t = Template();
    BoardSimTrafficStart(5000, &t, BOARDSIM_ANY_RATE);
    double start = NowMs();
    while (NowMs() - start < 200)
        c.Poll(1);
    unsigned long before = c.received;
    BoardSimSpontaneousReset(1);
    int rc = OCELO_OK;
    start = NowMs();
    while (NowMs() - start < 3000 && (rc = c.Poll(1)) != OCELO_NOT_INIT)
        SleepMs(1);
    std::printf("  %lu frames before the restart; GetCANMsg then gave %d\n", before, rc);
    if (rc != OCELO_NOT_INIT)
        Fail(run, "the restart was not noticed");
    unsigned char d[2] = {1, 2};
    if (SendCANMsg(1, 0, 0x10, 0, 2, d) != OCELO_NOT_INIT)
        Fail(run, "sending on a restarted board was not refused");
    start = NowMs();
    rc = Init(1);
    Within(run, "OceloInit", start, 5000);
    if (rc != OCELO_OK)
        Fail(run, "OceloInit after the restart failed");
    unsigned long mark = c.received;
    start = NowMs();
    while (NowMs() - start < 500)
        c.Poll(1);
    BoardSimTrafficStop();
    c.Drain(1, 300);
    std::printf("  after the new OceloInit: %lu frames in order (%lu lost across the restart)\n", c.received - mark,
                c.lost);
    if (c.received == mark)
        Fail(run, "no frames after the new OceloInit");
}

}  // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--short") == 0)
            Short = true;
        else {
            std::fprintf(stderr, "usage: can-fault-runs [--short]\n");
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::signal(SIGALRM, Watchdog);
    alarm(Short ? 120 : 300);

    BoardSimSetBus("off");
    if (SlotSimOpen(1) != 0 || SlotSimOpen(2) != 0) {
        std::fprintf(stderr, "can-fault-runs: cannot open the simulated slots\n");
        return 1;
    }
    if (Init(1) != OCELO_OK || Init(2) != OCELO_OK) {
        std::fprintf(stderr, "can-fault-runs: OceloInit failed on sound boards\n");
        return 1;
    }
    BusLimit();
    Overflow();
    CountsOutOfRange();
    StatusPairs();
    ResetInUse();
    RecoverOcelo();
    // Each board has one command byte: no command of all these runs may
    // have been overwritten before the firmware read it.
    uint64_t lost = 0;
    for (int slot = 1; slot <= 2; ++slot) {
        BoardSimStats st{};
        BoardSimGetStats(slot, &st);
        lost += st.LostCommands;
    }
    std::printf("CAN fault: commands lost in the boards' command bytes: %llu\n", static_cast<unsigned long long>(lost));
    if (lost != 0)
        Fail("command byte", "commands were lost");
    BoardSimShutdown();
    std::printf("CAN fault runs: %s\n", Failures == 0 ? "all passed" : "FAILED");
    return Failures == 0 ? 0 : 1;
}
