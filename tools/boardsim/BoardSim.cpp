// Simulated Ocelo boards: DPRAM behind the page register and window, the
// board firmware, and the CAN bus joining them (see BoardSim.h).
#include "BoardSim.h"

#include "BusLink.h"
#include "OceloProtocol.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

namespace {

uint64_t NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Host writes of the command byte, in the order they happened.  The firmware
// reads the byte once per write, a reaction time after it: a write that
// follows the previous one sooner than that replaces it (see ServeBoard).
// The ring only records the writes; it is no queue of the board's.
constexpr int kCmdRing = 4096;
constexpr size_t kDefaultRxCapacity = 2048;
constexpr uint64_t kReRaiseNs = 200'000'000;  // interrupt line still up, nobody read the code
constexpr uint16_t kUnread = 0x100;
constexpr unsigned char BUF_RX_OVERFLOW = 0x01;

struct RxFrame {
    BoardSimFrame f;
    uint64_t t_us;
};

struct TxItem {
    BoardSimFrame f;
    uint64_t queued_ns;
};

constexpr size_t kTxQueue = 64;

enum class Mode { None, Irq, Poll };
enum class State { Off, Ready, Running, Released };

struct Board {
    // ---- host side: atomics only (register access may run in a signal handler)
    std::atomic<bool> present{false};
    std::atomic<uint8_t> dp[OCELO_DPRAM_SIZE];
    std::atomic<uint8_t> page{0};
    std::atomic<uint16_t> code_word{0};  // byte 8190, kUnread while the host has not read it
    std::atomic<uint32_t> cmd_tail{0};
    std::atomic<uint16_t> cmdq[kCmdRing];
    std::atomic<uint64_t> cmdt[kCmdRing];
    std::atomic<uint64_t> txack_reads{0};
    std::atomic<uint64_t> txack_soonest_ns{UINT64_MAX};
    // When the host first read an interrupt code announcing the visible
    // batch (0: not yet); the host's command 9 written before then cannot
    // be its answer to that batch.
    std::atomic<uint64_t> batch_seen_ns{0};

    // ---- firmware side: under Sim::mu
    uint32_t cmd_head = 0;
    uint64_t reaction_ns = 0;
    uint64_t cmd_due_ns = 0;  // when the firmware reads the unread command byte (0: nothing unread)
    Mode mode = Mode::None;
    State state = State::Off;
    uint8_t baud_idx = 0, bt0 = 0, bt1 = 0;
    uint32_t acc_code = 0, acc_mask = 0xFFFFFFFFu;
    std::deque<RxFrame> rxq;
    size_t rx_cap = kDefaultRxCapacity;
    std::vector<RxFrame> batch;
    bool batch_visible = false;
    int zone = 0;
    uint8_t announced = 0;  // the count written for the visible batch
    uint64_t cmd_written_ns = 0;  // host's write time of the command being carried out
    bool request_pending = false;
    unsigned tx_addr = OCELO_DP_TXRING;
    std::deque<uint8_t> events;
    std::deque<TxItem> txq;  // frames taken from the ring, waiting for the bus
    int tx_waiting = 0;      // transmit requests not yet taken (queue full)
    uint8_t poll_showing = 0;
    uint8_t canstat = 0, bufstat = 0;
    bool f_no_reset = false, f_no_ready = false, f_bad_status = false, f_no_tx_ack = false,
         f_tx_blocked = false, f_rx_count = false;
    uint8_t f_rx_count_value = 0;
    int f_reset_delay_ms = 0;
    int f_late_pass_us = 0;
    int f_starved_ms = 0;
    uint64_t reset_due_ns = 0;
    Mode reset_mode = Mode::None;
    uint64_t t0_ns = 0;
    uint64_t code_posted_ns = 0;
    BoardSimStats stats{};
    uint8_t log_code[256] = {};
    uint64_t log_t[256] = {};
    uint32_t log_n = 0;
};

struct Traffic {
    bool on = false;
    unsigned rate = 0;
    BoardSimFrame tpl{};
    int key = BOARDSIM_ANY_RATE;
    uint64_t start_ns = 0;
    uint64_t sent = 0;
};

uint64_t DefaultReactionNs()
{
    const char *env = std::getenv("OCELO_SIM_REACTION_US");
    if (env && *env) {
        char *end = nullptr;
        unsigned long us = std::strtoul(env, &end, 10);
        if (end && *end == '\0' && us <= 1'000'000)
            return static_cast<uint64_t>(us) * 1000u;
    }
    return static_cast<uint64_t>(BOARDSIM_REACTION_US) * 1000u;
}

struct Sim {
    std::mutex mu;
    std::thread th;
    bool running = false;
    std::atomic<bool> stop{false};
    std::atomic<bool> alive{false};  // the simulation thread has entered its loop
    std::atomic<int> efd{-1};
    Board boards[BOARDSIM_SLOTS];
    std::atomic<BoardSimIrqFn> irq_fn{nullptr};
    std::atomic<void *> irq_ctx{nullptr};
    std::string bus_setting;
    int bus_error = 0;          // why the bus last failed to join other processes
    std::string bus_error_dir;  // and the directory it tried
    boardsim::BusLink link;  // used by the simulation thread only while it runs
    Traffic traffic;
    std::atomic<uint64_t> traffic_count{0};
    uint64_t bus_free_ns = 0;  // the local bus is busy with a frame until then
    std::vector<boardsim::WireFrame> wire_out;  // for the other processes; only the simulation thread sends
    std::atomic<uint64_t> reaction_ns{DefaultReactionNs()};  // for boards plugged in from now on

    ~Sim();
};

Sim g;

void Wake()
{
    int fd = g.efd.load(std::memory_order_acquire);
    if (fd >= 0) {
        uint64_t one = 1;
        ssize_t r = write(fd, &one, sizeof one);
        (void)r;
    }
}

bool ValidSlot(int s) { return s >= 0 && s < BOARDSIM_SLOTS; }

// ---------------------------------------------------------------------------
// Firmware (simulation thread, under g.mu)

void Put(Board &b, unsigned addr, uint8_t v) { b.dp[addr & 0x1FFF].store(v, std::memory_order_release); }
uint8_t Get(Board &b, unsigned addr) { return b.dp[addr & 0x1FFF].load(std::memory_order_acquire); }

int BaudKey(const Board &b)
{
    return b.baud_idx < OCELO_BAUD_USER ? b.baud_idx : (OCELO_BAUD_USER | (b.bt0 << 8) | (b.bt1 << 16));
}

void QueueEvent(Board &b, uint8_t ev)
{
    if (b.mode == Mode::None)
        return;
    if (std::find(b.events.begin(), b.events.end(), ev) != b.events.end())
        return;
    b.events.push_back(ev);
}

void WriteStatus(Board &b)
{
    auto comp = [&](uint8_t v) {
        uint8_t c = static_cast<uint8_t>(~v);
        return b.f_bad_status ? static_cast<uint8_t>(c ^ 0x01) : c;
    };
    Put(b, OCELO_DP_CANSTAT, b.canstat);
    Put(b, OCELO_DP_CANSTAT + 1, comp(b.canstat));
    Put(b, OCELO_DP_BUFSTAT, b.bufstat);
    Put(b, OCELO_DP_BUFSTAT + 1, comp(b.bufstat));
}

void SetBufStat(Board &b, uint8_t v, bool always_tell = false)
{
    if (v == b.bufstat && !always_tell)
        return;
    b.bufstat = v;
    WriteStatus(b);
    QueueEvent(b, OCELO_EV_BUFSTAT);
}

void SetCanStat(Board &b, uint8_t v)
{
    if (v == b.canstat)
        return;
    b.canstat = v;
    WriteStatus(b);
    QueueEvent(b, OCELO_EV_CANSTAT);
}

void LatchBaud(Board &b)
{
    b.baud_idx = Get(b, OCELO_DP_BAUDIDX);
    b.bt0 = Get(b, OCELO_DP_BT0);
    b.bt1 = Get(b, OCELO_DP_BT1);
}

void LatchMask(Board &b)
{
    unsigned char buf[8];
    for (int i = 0; i < 8; ++i)
        buf[i] = Get(b, OCELO_DP_ACCCODE + i);
    b.acc_code = OceloGetLE32(buf);
    b.acc_mask = OceloGetLE32(buf + 4);
}

void DoReset(Board &b, Mode m, uint64_t now)
{
    b.mode = m;
    b.state = State::Ready;
    b.events.clear();
    b.code_word.store(0, std::memory_order_release);
    b.poll_showing = 0;
    b.rxq.clear();
    b.batch.clear();
    b.batch_visible = false;
    b.zone = 0;
    b.request_pending = false;
    b.tx_addr = OCELO_DP_TXRING;
    b.txq.clear();
    b.tx_waiting = 0;
    b.reset_due_ns = 0;
    // The firmware clears its mailbox area (event byte, counts, ready word,
    // acknowledgement, interrupt code); zones and ring are rewritten before
    // they are announced or read, so their old contents do no harm.
    for (unsigned a = OCELO_DP_EVENT; a < OCELO_DP_COMMAND; ++a)
        Put(b, a, 0);
    b.canstat = 0;
    b.bufstat = b.f_tx_blocked ? OCELO_BUF_TXBLOCKED : 0;
    WriteStatus(b);
    b.t0_ns = now;
    QueueEvent(b, OCELO_EV_RESET);
}

// Frame filter: one 32-bit acceptance word, mask bit 1 = "don't care".
bool FilterPass(const Board &b, const BoardSimFrame &f)
{
    uint32_t w, dont_care = b.acc_mask;
    if (f.Ext) {
        w = ((f.Id & 0x1FFFFFFFu) << 3) | (f.Rtr ? 4u : 0u);
        dont_care |= 0x3u;
    } else {
        w = ((f.Id & 0x7FFu) << 21) | (f.Rtr ? 0x100000u : 0u);
        dont_care |= 0x000F0000u;
        bool d0 = !f.Rtr && f.Len >= 1, d1 = !f.Rtr && f.Len >= 2;
        if (d0)
            w |= static_cast<uint32_t>(f.Data[0]) << 8;
        else
            dont_care |= 0xFF00u;
        if (d1)
            w |= f.Data[1];
        else
            dont_care |= 0xFFu;
    }
    return ((w ^ b.acc_code) & ~dont_care) == 0;
}

bool BaudMatch(const Board &b, int key) { return key == BOARDSIM_ANY_RATE || key == BaudKey(b); }

void ReceiveOne(Board &b, const BoardSimFrame &f, int key, uint64_t now)
{
    if (b.state != State::Running)
        return;
    if (!BaudMatch(b, key) || !FilterPass(b, f)) {
        ++b.stats.RxFiltered;
        return;
    }
    if (b.rxq.size() >= b.rx_cap) {
        ++b.stats.RxDropped;
        SetBufStat(b, b.bufstat | BUF_RX_OVERFLOW);
        return;
    }
    b.rxq.push_back({f, (now - b.t0_ns) / 1000});
    ++b.stats.RxFrames;
    if (b.request_pending) {
        b.request_pending = false;
        QueueEvent(b, OCELO_EV_RX);
    }
}

void Deliver(const BoardSimFrame &f, int key, int from_slot, uint64_t now)
{
    for (int s = 0; s < BOARDSIM_SLOTS; ++s)
        if (s != from_slot && g.boards[s].present.load(std::memory_order_relaxed))
            ReceiveOne(g.boards[s], f, key, now);
}

// The host has the visible batch: the next one goes to the other zone.
void BatchTaken(Board &b)
{
    Put(b, OCELO_DP_RXCOUNT0 + b.zone, 0);
    b.batch.clear();
    b.batch_visible = false;
    b.zone ^= 1;
    ++b.stats.Batches;
}

// Make the records of event 16 visible; false when there is nothing to say.
// A batch the host has not taken (no command 9 since it was announced) is
// announced again as it stands.
bool PrepareRx(Board &b)
{
    if (!b.batch_visible) {
        if (b.rxq.empty())
            return false;
        size_t n = std::min<size_t>(b.rxq.size(), OCELO_ZONE_RECORDS);
        b.batch.assign(b.rxq.begin(), b.rxq.begin() + static_cast<long>(n));
        b.rxq.erase(b.rxq.begin(), b.rxq.begin() + static_cast<long>(n));
        unsigned base = b.zone ? OCELO_DP_ZONE1 : OCELO_DP_ZONE0;
        for (size_t i = 0; i < n; ++i) {
            const RxFrame &r = b.batch[i];
            unsigned char rec[OCELO_REC_SIZE];
            OceloEncodeRxRecord(rec, r.f.Ext, r.f.Id, r.f.Rtr, r.f.Len, r.f.Data,
                                static_cast<uint32_t>(r.t_us >> 32), static_cast<uint32_t>(r.t_us));
            for (unsigned k = 0; k < OCELO_REC_SIZE; ++k)
                Put(b, base + static_cast<unsigned>(i) * OCELO_REC_SIZE + k, rec[k]);
        }
        b.batch_visible = true;
        b.batch_seen_ns.store(0, std::memory_order_release);
    }
    b.announced = b.f_rx_count ? b.f_rx_count_value : static_cast<uint8_t>(b.batch.size());
    Put(b, OCELO_DP_RXCOUNT0 + b.zone, b.announced);
    return true;
}

void PostNext(Board &b, int slot, uint64_t now, std::vector<int> &irqs)
{
    if (b.mode == Mode::Irq) {
        if (b.code_word.load(std::memory_order_acquire) & kUnread)
            return;
        while (!b.events.empty()) {
            uint8_t ev = b.events.front();
            b.events.pop_front();
            if (ev == OCELO_EV_RX && !PrepareRx(b))
                continue;
            b.code_word.store(kUnread | ev, std::memory_order_release);
            b.code_posted_ns = now;
            ++b.stats.Interrupts;
            irqs.push_back(slot);
            return;
        }
        // Nothing more to say: once read, the code byte goes back to 0, so a
        // late or repeated interrupt finds no event there.
        uint16_t w = b.code_word.load(std::memory_order_acquire);
        if (w != 0 && !(w & kUnread))
            b.code_word.compare_exchange_strong(w, 0, std::memory_order_acq_rel);
    } else if (b.mode == Mode::Poll) {
        if (Get(b, OCELO_DP_EVENT) != 0)
            return;
        while (!b.events.empty()) {
            uint8_t ev = b.events.front();
            b.events.pop_front();
            if (ev == OCELO_EV_RX && !PrepareRx(b))
                continue;
            Put(b, OCELO_DP_EVENT + 1, static_cast<uint8_t>(~ev));
            Put(b, OCELO_DP_EVENT, ev);
            b.poll_showing = ev;
            return;
        }
    }
}

// Nominal length of a frame on the wire in bits (no stuff bits): start of
// frame to end of frame plus the 3-bit intermission.
unsigned FrameBits(const BoardSimFrame &f)
{
    return (f.Ext ? 67u : 47u) + (f.Rtr ? 0u : 8u * f.Len);
}

uint64_t BitRate(const Board &b)
{
    if (b.baud_idx < OCELO_BAUD_USER)
        return BaudMap[b.baud_idx];
    return 125000;  // user-defined timing: the model assumes a middle rate
}

// The board takes the record at its ring position into its transmit queue
// and acknowledges the request.
void TakeTxRequest(Board &b, uint64_t now)
{
    unsigned char rec[OCELO_REC_SIZE] = {};
    for (unsigned k = 0; k < OCELO_TX_SLOT_SIZE; ++k)
        rec[k] = Get(b, b.tx_addr + k);
    b.tx_addr = OceloNextTxAddr(b.tx_addr);
    BoardSimFrame f{};
    unsigned char mode = 0, rtr = 0, len = 0;
    unsigned long id = 0;
    OceloDecodeRxRecord(rec, &mode, &id, &rtr, &len, f.Data, nullptr, nullptr);
    f.Ext = mode;
    f.Rtr = rtr;
    f.Len = len;
    f.Id = static_cast<uint32_t>(id);
    b.txq.push_back({f, now});
    Put(b, OCELO_DP_TXACK, OCELO_TXACK_VALUE);
}

// Puts queued frames on the bus as the bus time allows.  The boards take
// turns frame by frame (the model does not arbitrate by identifier, so a
// busy sender cannot starve another board); each frame keeps the bus busy
// for its length at the sender's bit rate.  Returns the time of the next
// completion (0: nothing queued).
uint64_t BusStep(uint64_t now)
{
    static int turn = 0;
    for (;;) {
        int best = -1;
        for (int k = 1; k <= BOARDSIM_SLOTS && best < 0; ++k) {
            int s = (turn + k) % BOARDSIM_SLOTS;
            Board &b = g.boards[s];
            if (b.present.load(std::memory_order_relaxed) && !b.txq.empty() &&
                (b.state == State::Running || b.state == State::Released))
                best = s;
        }
        if (best < 0)
            return 0;
        Board &b = g.boards[best];
        const TxItem &item = b.txq.front();
        uint64_t start = std::max(g.bus_free_ns, item.queued_ns);
        uint64_t done = start + FrameBits(item.f) * 1'000'000'000ull / BitRate(b);
        if (done > now)
            return done;
        g.bus_free_ns = done;
        turn = best;
        BoardSimFrame f = item.f;
        b.txq.pop_front();
        ++b.stats.TxFrames;
        Deliver(f, BaudKey(b), best, now);
        if (g.link.IsOpen()) {
            boardsim::WireFrame w;
            w.ext = f.Ext;
            w.rtr = f.Rtr;
            w.len = f.Len;
            w.id = f.Id;
            std::memcpy(w.data, f.Data, 8);
            w.baud_key = BaudKey(b);
            g.wire_out.push_back(w);
        }
        QueueEvent(b, OCELO_EV_TXACK);  // the frame went out
        if (b.tx_waiting > 0 && b.txq.size() < kTxQueue) {
            --b.tx_waiting;
            TakeTxRequest(b, now);
        }
    }
}

void Command(Board &b, int slot, uint8_t cmd, uint64_t now)
{
    switch (cmd) {
    case OCELO_CMD_SYSRESET_IRQ:
    case OCELO_CMD_SYSRESET_POLL: {
        if (b.f_no_reset)
            break;
        Mode m = cmd == OCELO_CMD_SYSRESET_IRQ ? Mode::Irq : Mode::Poll;
        if (b.f_reset_delay_ms > 0) {
            b.reset_mode = m;
            b.reset_due_ns = now + static_cast<uint64_t>(b.f_reset_delay_ms) * 1'000'000u;
        } else {
            DoReset(b, m, now);
        }
        break;
    }
    case OCELO_CMD_START:
        if (b.state != State::Ready && b.state != State::Running)
            break;
        LatchBaud(b);
        LatchMask(b);
        if (b.f_no_ready)
            break;
        WriteStatus(b);
        Put(b, OCELO_DP_READY, 0x00);
        Put(b, OCELO_DP_READY + 1, 0xFF);
        b.state = State::Running;
        QueueEvent(b, OCELO_EV_READY);
        break;
    case OCELO_CMD_SETBAUD:
        LatchBaud(b);
        break;
    case OCELO_CMD_SETMASK:
        LatchMask(b);
        break;
    case OCELO_CMD_RELEASE:
    case OCELO_CMD_HOST_GONE:
        b.state = State::Released;
        b.events.clear();
        b.tx_waiting = 0;  // frames already taken still go out
        b.mode = Mode::None;
        b.code_word.store(0, std::memory_order_release);
        b.request_pending = false;
        break;
    case OCELO_CMD_RESET_BOOKS:
        for (auto it = b.batch.rbegin(); it != b.batch.rend(); ++it)
            b.rxq.push_front(*it);
        b.batch.clear();
        b.batch_visible = false;
        b.zone = 0;
        Put(b, OCELO_DP_RXCOUNT0, 0);
        Put(b, OCELO_DP_RXCOUNT0 + 1, 0);
        b.request_pending = false;
        b.tx_addr = OCELO_DP_TXRING;
        b.tx_waiting = 0;
        if (b.state == State::Running)
            QueueEvent(b, OCELO_EV_READY);
        break;
    case OCELO_CMD_ZONE_TAKEN: {
        if (b.mode == Mode::Poll && b.poll_showing == OCELO_EV_READY && Get(b, OCELO_DP_EVENT) == OCELO_EV_READY) {
            Put(b, OCELO_DP_EVENT, 0);  // the host answered "ready"; it never clears that one
            Put(b, OCELO_DP_EVENT + 1, 0xFF);
            b.poll_showing = 0;
            break;
        }
        // The host has taken the records of the current zone.  A batch
        // announced with a broken count (fault injection) could not be
        // taken: the firmware keeps it for the next request.  On the
        // interrupt path the firmware knows when the host read its notice
        // (reading the mailbox drops the interrupt line): a 9 written before
        // the host had read any notice of this batch answers an earlier
        // notice (the host also answers a count it cannot take), not this
        // batch, which stays.
        const uint64_t seen = b.batch_seen_ns.load(std::memory_order_acquire);
        const bool answers = b.mode != Mode::Irq || (seen != 0 && b.cmd_written_ns >= seen);
        if (b.batch_visible && answers && b.announced >= 1 && b.announced <= OCELO_ZONE_RECORDS)
            BatchTaken(b);
        break;
    }
    case OCELO_CMD_CLEAR_STATUS:
        SetBufStat(b, b.f_tx_blocked ? OCELO_BUF_TXBLOCKED : 0, true);
        break;
    case OCELO_CMD_NEXT_BATCH:
        if (b.state != State::Running)
            break;
        if (b.batch_visible || !b.rxq.empty())
            QueueEvent(b, OCELO_EV_RX);
        else
            b.request_pending = true;
        break;
    case OCELO_CMD_TRANSMIT:
        if (b.state != State::Running || b.f_no_tx_ack || (b.bufstat & OCELO_BUF_TXBLOCKED))
            break;
        if (b.txq.size() >= kTxQueue)
            ++b.tx_waiting;  // acknowledged once the bus has taken a frame
        else
            TakeTxRequest(b, now);
        break;
    default:
        break;
    }
}

// The firmware's side of the command byte.  Each host write is read by the
// firmware a reaction time after it happened, unless the host wrote the byte
// again before that: then the firmware never saw the earlier value.  Whether
// a command was read is decided from the times of the host's writes alone,
// not from when this thread gets to run.
void TakeCommands(Board &b, int slot, uint64_t now)
{
    b.cmd_due_ns = 0;
    for (;;) {
        // The tail is read after `now`: a write not counted in it happened
        // after `now` (see BoardSimRegWrite).
        uint32_t tail = b.cmd_tail.load(std::memory_order_seq_cst);
        if (tail == b.cmd_head)
            return;
        uint32_t i = b.cmd_head % kCmdRing;
        uint16_t e = b.cmdq[i].load(std::memory_order_acquire);
        if (!(e & kUnread)) {
            b.cmd_due_ns = now;  // a writer is between claiming its entry and filling it
            return;
        }
        uint64_t t = b.cmdt[i].load(std::memory_order_relaxed);
        uint64_t read_at = t + b.reaction_ns;
        bool lost = false;
        if (tail - b.cmd_head > 1) {
            uint32_t j = (b.cmd_head + 1) % kCmdRing;
            if (!(b.cmdq[j].load(std::memory_order_acquire) & kUnread)) {
                b.cmd_due_ns = now;
                return;
            }
            // Writes that raced each other count as lost too.
            lost = b.cmdt[j].load(std::memory_order_relaxed) < read_at;
        } else if (now < read_at) {
            b.cmd_due_ns = read_at;  // the firmware has not looked yet
            return;
        }
        b.cmdq[i].store(0, std::memory_order_relaxed);
        ++b.cmd_head;
        uint8_t cmd = static_cast<uint8_t>(e & 0xFF);
        if (lost) {
            ++b.stats.LostCommands;
            continue;
        }
        ++b.stats.Commands[cmd];
        b.log_code[b.log_n % 256] = cmd;
        b.log_t[b.log_n % 256] = t;
        ++b.log_n;
        b.cmd_written_ns = t;
        Command(b, slot, cmd, std::max(now, read_at));
    }
}

// Whether the host has taken the event last posted (the event byte is 0
// again, or the interrupt code has been read): the firmware may post the
// next one.
bool EventTaken(Board &b)
{
    if (b.mode == Mode::Irq)
        return !(b.code_word.load(std::memory_order_acquire) & kUnread);
    if (b.mode == Mode::Poll)
        return Get(b, OCELO_DP_EVENT) == 0;
    return false;
}

// PostNext as the firmware does it, in real time.  This thread may get to
// the event byte long after its pass took `now`.  Every command the host
// wrote before it took the last event was read by the firmware before it
// saw that (a reaction time after the write), so those commands are taken
// first: otherwise a late pass would post again a batch that the host has
// taken, and the host's command 9 for it would take the next one.
void PostNextInTime(Board &b, int slot, uint64_t now, std::vector<int> &irqs)
{
    if (EventTaken(b)) {
        now = std::max(now, NowNs());
        TakeCommands(b, slot, now);
    }
    PostNext(b, slot, now, irqs);
}

void ServeBoard(Board &b, int slot, uint64_t now, std::vector<int> &irqs)
{
    TakeCommands(b, slot, now);
    if (b.reset_due_ns && now >= b.reset_due_ns)
        DoReset(b, b.reset_mode, now);
    if (b.f_late_pass_us > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(b.f_late_pass_us));
    PostNextInTime(b, slot, now, irqs);
    if (b.mode == Mode::Irq && (b.code_word.load(std::memory_order_acquire) & kUnread) &&
        now - b.code_posted_ns > kReRaiseNs) {
        b.code_posted_ns = now;  // the line is still up: interrupt again
        irqs.push_back(slot);
    }
}

bool TrafficRoom()
{
    bool any = false;
    for (auto &b : g.boards) {
        if (!b.present.load(std::memory_order_relaxed) || b.state != State::Running || !BaudMatch(b, g.traffic.key))
            continue;
        if (!FilterPass(b, g.traffic.tpl))
            continue;
        if (b.rxq.size() >= b.rx_cap)
            return false;
        any = true;
    }
    return any;
}

void EmitTraffic(uint64_t now)
{
    Traffic &t = g.traffic;
    if (!t.on)
        return;
    uint64_t budget;
    if (t.rate > 0) {
        uint64_t due = (now - t.start_ns) / 1000 * t.rate / 1'000'000;
        budget = due > t.sent ? std::min<uint64_t>(due - t.sent, 8192) : 0;
    } else {
        budget = 8192;
    }
    for (uint64_t i = 0; i < budget; ++i) {
        if (t.rate == 0 && !TrafficRoom())
            break;
        BoardSimFrame f = t.tpl;
        for (int k = 0; k < 4 && k < f.Len; ++k)
            f.Data[k] = static_cast<unsigned char>(t.sent >> (8 * k));
        Deliver(f, t.key, -1, now);
        ++t.sent;
    }
    g.traffic_count.store(t.sent, std::memory_order_relaxed);
}

// Under g.mu, on the simulation thread (or after it has ended): the frames
// the bus carried go to the other processes.
void SendWire()
{
    for (const auto &w : g.wire_out)
        g.link.Send(w);
    g.wire_out.clear();
}

// A board's firmware runs on its own processor: it answers in its reaction
// time however busy the host is.  When the simulation thread has fallen
// behind (a loaded machine does not run it for a while), a host that looks
// for the answer finds what the firmware would have done by now: the commands
// it has read and the frames the bus has carried since.  Called on the
// host's thread, never in a signal handler.  It waits for the lock: the
// simulation thread may have been stopped by the machine while it held it.
void CatchUp(int slot)
{
    std::unique_lock<std::mutex> lock(g.mu);
    if (!g.running)
        return;
    Board &b = g.boards[slot];
    if (!b.present.load(std::memory_order_relaxed))
        return;
    uint64_t now = NowNs();
    TakeCommands(b, slot, now);
    if (b.reset_due_ns && now >= b.reset_due_ns)
        DoReset(b, b.reset_mode, now);
    BusStep(now);
    if (b.mode == Mode::Poll) {
        std::vector<int> none;  // a polling host has no interrupt line
        PostNextInTime(b, slot, now, none);
    }
    lock.unlock();
    Wake();  // the simulation thread posts the events and passes the frames on
}

uint64_t TimeoutNs(uint64_t now, uint64_t bus_next)
{
    uint64_t wait_ns = 50'000'000;
    if (bus_next)
        wait_ns = std::min(wait_ns, bus_next > now ? bus_next - now : 0);
    const Traffic &t = g.traffic;
    if (t.on && t.rate > 0) {
        uint64_t next = t.start_ns + (t.sent + 1) * 1'000'000'000ull / t.rate;
        wait_ns = next > now ? std::min(wait_ns, next - now) : 0;
    }
    for (auto &b : g.boards) {
        if (b.reset_due_ns)
            wait_ns = std::min(wait_ns, b.reset_due_ns > now ? b.reset_due_ns - now : 0);
        if (b.cmd_due_ns)
            wait_ns = std::min(wait_ns, b.cmd_due_ns > now ? b.cmd_due_ns - now : 0);
    }
    return wait_ns;
}

void Run()
{
    std::vector<pollfd> fds;
    std::vector<int> irqs;
    std::vector<boardsim::WireFrame> received;
    uint64_t timeout_ns = 0;
    // A firmware answers at its own pace, not at the host's timer slack:
    // wake up when a command falls due, not up to 50 us later.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    int starved_ms = 0;
    g.alive.store(true, std::memory_order_release);
    while (!g.stop.load(std::memory_order_acquire)) {
        fds.clear();
        fds.push_back({g.efd.load(), POLLIN, 0});
        g.link.FillPoll(fds);
        timespec ts{static_cast<time_t>(timeout_ns / 1'000'000'000u), static_cast<long>(timeout_ns % 1'000'000'000u)};
        ppoll(fds.data(), fds.size(), &ts, nullptr);
        if (fds[0].revents & POLLIN) {
            uint64_t v;
            ssize_t r = read(fds[0].fd, &v, sizeof v);
            (void)r;
        }
        uint64_t now = NowNs();
        received.clear();
        g.link.Service(received, now);
        irqs.clear();
        {
            std::lock_guard<std::mutex> lock(g.mu);
            for (auto &w : received) {
                BoardSimFrame f{};
                f.Ext = w.ext;
                f.Rtr = w.rtr;
                f.Len = w.len;
                f.Id = w.id;
                std::memcpy(f.Data, w.data, 8);
                Deliver(f, w.baud_key, -1, now);
            }
            for (int s = 0; s < BOARDSIM_SLOTS; ++s)
                if (g.boards[s].present.load(std::memory_order_relaxed))
                    ServeBoard(g.boards[s], s, now, irqs);
            uint64_t bus_next = BusStep(now);
            SendWire();
            EmitTraffic(now);
            for (int s = 0; s < BOARDSIM_SLOTS; ++s)
                if (g.boards[s].present.load(std::memory_order_relaxed))
                    PostNextInTime(g.boards[s], s, now, irqs);
            timeout_ns = TimeoutNs(now, bus_next);
            for (auto &b : g.boards)
                starved_ms = std::max(starved_ms, b.f_starved_ms);
        }
        BoardSimIrqFn fn = g.irq_fn.load(std::memory_order_acquire);
        void *ctx = g.irq_ctx.load(std::memory_order_acquire);
        if (fn)
            for (int s : irqs)
                fn(s, ctx);
        if (starved_ms > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(starved_ms));
            starved_ms = 0;
        }
    }
}

std::string BusDir()
{
    std::string d = g.bus_setting;
    if (d.empty()) {
        const char *env = std::getenv("OCELO_SIM_BUS");
        if (env && *env)
            d = env;
    }
    if (d.empty()) {
        const char *xdg = std::getenv("XDG_RUNTIME_DIR");
        if (xdg && *xdg)
            d = std::string(xdg) + "/ocelo-sim-bus";
        else
            d = "/tmp/ocelo-sim-bus-" + std::to_string(getuid());
    }
    return d == "off" ? std::string() : d;
}

// Under g.mu.
int EnsureStarted()
{
    if (g.running)
        return 0;
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        return -errno;
    g.efd.store(fd, std::memory_order_release);
    // A bus that should join other processes but cannot is an error: a
    // board on it would send into nowhere and share its slot with nobody.
    std::string dir = BusDir();
    if (!dir.empty()) {
        if (int err = g.link.Open(dir)) {
            g.bus_error = err;
            g.bus_error_dir = dir;
            g.efd.store(-1);
            close(fd);
            return -err;
        }
    }
    g.bus_error = 0;
    g.bus_error_dir.clear();
    g.stop.store(false);
    // The simulation thread must never run a slot's signal handler.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    try {
        g.th = std::thread(Run);
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        g.link.Close();
        g.efd.store(-1);
        close(fd);
        return -EAGAIN;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    g.running = true;
    // The firmware answers within microseconds from then on; a thread that
    // is slow to start must not eat into the host's first time limits.
    for (int i = 0; i < 2000 && !g.alive.load(std::memory_order_acquire); ++i)
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    return 0;
}

void ResetFirmwareState(Board &b)
{
    b.mode = Mode::None;
    b.state = State::Off;
    b.events.clear();
    b.rxq.clear();
    b.batch.clear();
    b.batch_visible = false;
    b.zone = 0;
    b.request_pending = false;
    b.tx_addr = OCELO_DP_TXRING;
    b.txq.clear();
    b.tx_waiting = 0;
    b.poll_showing = 0;
    b.canstat = b.bufstat = 0;
    b.f_no_reset = b.f_no_ready = b.f_bad_status = b.f_no_tx_ack = b.f_tx_blocked = b.f_rx_count = false;
    b.f_reset_delay_ms = 0;
    b.f_late_pass_us = 0;
    b.f_starved_ms = 0;
    b.reset_due_ns = 0;
    b.rx_cap = kDefaultRxCapacity;
    b.stats = BoardSimStats{};
    b.txack_reads.store(0);
    b.txack_soonest_ns.store(UINT64_MAX);
    b.log_n = 0;
    b.reaction_ns = g.reaction_ns.load();
    b.cmd_due_ns = 0;
    b.cmd_head = b.cmd_tail.load();
    for (auto &c : b.cmdq)
        c.store(0);
    b.code_word.store(0);
    b.page.store(0);
    for (auto &d : b.dp)
        d.store(0);
}

Sim::~Sim() { BoardSimShutdown(); }

} // namespace

extern "C" {

int BoardSimAttach(int Slot)
{
    if (!ValidSlot(Slot))
        return -EINVAL;
    std::lock_guard<std::mutex> lock(g.mu);
    int rc = EnsureStarted();
    if (rc != 0)
        return rc;
    Board &b = g.boards[Slot];
    if (!b.present.load()) {
        ResetFirmwareState(b);
        b.present.store(true, std::memory_order_release);
    }
    return 0;
}

void BoardSimDetach(int Slot)
{
    if (!ValidSlot(Slot))
        return;
    std::lock_guard<std::mutex> lock(g.mu);
    g.boards[Slot].present.store(false, std::memory_order_release);
    ResetFirmwareState(g.boards[Slot]);
}

int BoardSimPresent(int Slot) { return ValidSlot(Slot) && g.boards[Slot].present.load() ? 1 : 0; }

void BoardSimShutdown(void)
{
    // Frames the boards have taken still go on the bus (bounded wait).
    for (int i = 0; i < 1000; ++i) {
        {
            std::lock_guard<std::mutex> lock(g.mu);
            if (!g.running)
                break;
            bool pending = false;
            for (auto &b : g.boards)
                pending = pending || (b.present.load() && !b.txq.empty());
            if (!pending)
                break;
        }
        Wake();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::thread th;
    {
        std::lock_guard<std::mutex> lock(g.mu);
        for (auto &b : g.boards)
            b.present.store(false, std::memory_order_release);
        if (!g.running)
            return;
        g.running = false;
        g.stop.store(true, std::memory_order_release);
        g.traffic = Traffic{};
        g.bus_free_ns = 0;
        th = std::move(g.th);
    }
    Wake();
    if (th.joinable())
        th.join();  // the loop wakes at least every 50 ms and then sees stop
    std::lock_guard<std::mutex> lock(g.mu);
    // A board goes on sending what it has acknowledged when its host ends:
    // frames still queued (the simulation thread may have been starved
    // above) go on the bus now.
    for (int s = 0; s < BOARDSIM_SLOTS; ++s)
        for (const TxItem &item : g.boards[s].txq)
            if (g.link.IsOpen()) {
                boardsim::WireFrame w;
                w.ext = item.f.Ext;
                w.rtr = item.f.Rtr;
                w.len = item.f.Len;
                w.id = item.f.Id;
                std::memcpy(w.data, item.f.Data, 8);
                w.baud_key = BaudKey(g.boards[s]);
                g.wire_out.push_back(w);
            }
    SendWire();
    g.link.Drain(500);  // frames already on the bus still reach the other processes
    g.link.Close();
    g.alive.store(false);
    int fd = g.efd.exchange(-1);
    if (fd >= 0)
        close(fd);
    for (auto &b : g.boards)
        ResetFirmwareState(b);
}

unsigned char BoardSimRegRead(int Slot, unsigned int Reg)
{
    if (!ValidSlot(Slot))
        return 0xFF;
    Board &b = g.boards[Slot];
    if (!b.present.load(std::memory_order_acquire) || Reg < OCELO_REG_WINDOW || Reg > OCELO_REG_WINDOW_LAST)
        return 0xFF;  // nothing there, or a write-only register
    unsigned addr = b.page.load(std::memory_order_acquire) * 32u + (Reg - OCELO_REG_WINDOW);
    if (addr == OCELO_DP_INTCODE) {
        // Reading the board's mailbox acknowledges its interrupt.
        uint16_t w = b.code_word.load(std::memory_order_acquire);
        while ((w & kUnread) && !b.code_word.compare_exchange_weak(w, w & 0xFF, std::memory_order_acq_rel))
            ;
        if (w & kUnread) {
            uint64_t none = 0;
            if ((w & 0xF0) == OCELO_EV_RX)
                b.batch_seen_ns.compare_exchange_strong(none, NowNs(), std::memory_order_acq_rel);
            Wake();
        }
        return static_cast<unsigned char>(w & 0xFF);
    }
    if (addr == OCELO_DP_TXACK) {
        b.txack_reads.fetch_add(1, std::memory_order_relaxed);
        // How soon after the latest command write the host looks.
        const uint32_t tail = b.cmd_tail.load(std::memory_order_acquire);
        const uint64_t written = b.cmdt[(tail - 1) % kCmdRing].load(std::memory_order_relaxed);
        const uint64_t now = NowNs();
        if (written != 0 && now >= written) {
            uint64_t soonest = b.txack_soonest_ns.load(std::memory_order_relaxed);
            while (now - written < soonest &&
                   !b.txack_soonest_ns.compare_exchange_weak(soonest, now - written, std::memory_order_relaxed))
                ;
        }
        if (b.dp[addr].load(std::memory_order_acquire) != OCELO_TXACK_VALUE)
            CatchUp(Slot);
    } else if (addr == OCELO_DP_READY && b.dp[OCELO_DP_READY + 1].load(std::memory_order_acquire) != 0xFF) {
        CatchUp(Slot);  // the host waits for the ready word after command 4
    } else if (addr == OCELO_DP_EVENT && b.dp[addr].load(std::memory_order_acquire) == 0) {
        CatchUp(Slot);  // a polling host looks for the next event
    }
    return b.dp[addr].load(std::memory_order_acquire);
}

void BoardSimRegWrite(int Slot, unsigned int Reg, unsigned char Value)
{
    if (!ValidSlot(Slot))
        return;
    Board &b = g.boards[Slot];
    if (!b.present.load(std::memory_order_acquire))
        return;
    if (Reg == OCELO_REG_PAGE) {
        b.page.store(Value, std::memory_order_release);
        return;
    }
    if (Reg < OCELO_REG_WINDOW || Reg > OCELO_REG_WINDOW_LAST)
        return;
    unsigned addr = b.page.load(std::memory_order_acquire) * 32u + (Reg - OCELO_REG_WINDOW);
    if (addr == OCELO_DP_COMMAND) {
        // The board's mailbox interrupt: the firmware reads the byte later
        // (TakeCommands).  The time is taken after the entry is claimed.
        b.dp[addr].store(Value, std::memory_order_release);
        uint32_t i = b.cmd_tail.fetch_add(1, std::memory_order_seq_cst) % kCmdRing;
        b.cmdt[i].store(NowNs(), std::memory_order_relaxed);
        b.cmdq[i].store(static_cast<uint16_t>(kUnread | Value), std::memory_order_release);
        Wake();
        return;
    }
    if (addr == OCELO_DP_INTCODE) {
        uint16_t old = b.code_word.exchange(Value, std::memory_order_acq_rel);
        if (old & kUnread)
            Wake();
        return;
    }
    b.dp[addr].store(Value, std::memory_order_release);
    if (addr == OCELO_DP_EVENT)
        Wake();
}

void BoardSimSetIrqHandler(BoardSimIrqFn Fn, void *Ctx)
{
    g.irq_ctx.store(Ctx, std::memory_order_release);
    g.irq_fn.store(Fn, std::memory_order_release);
}

unsigned char BoardSimPeek(int Slot, unsigned int Addr)
{
    if (!ValidSlot(Slot))
        return 0xFF;
    Board &b = g.boards[Slot];
    if ((Addr & 0x1FFF) == OCELO_DP_INTCODE)
        return static_cast<unsigned char>(b.code_word.load() & 0xFF);
    return b.dp[Addr & 0x1FFF].load();
}

void BoardSimPoke(int Slot, unsigned int Addr, unsigned char Value)
{
    if (!ValidSlot(Slot))
        return;
    Board &b = g.boards[Slot];
    if ((Addr & 0x1FFF) == OCELO_DP_INTCODE)
        b.code_word.store(Value);
    else
        b.dp[Addr & 0x1FFF].store(Value);
}

int BoardSimSetFault(int Slot, int Fault, int Value)
{
    if (!ValidSlot(Slot))
        return -EINVAL;
    std::lock_guard<std::mutex> lock(g.mu);
    Board &b = g.boards[Slot];
    bool on = Value != 0;
    switch (Fault) {
    case BOARDSIM_FAULT_NO_RESET: b.f_no_reset = on; break;
    case BOARDSIM_FAULT_NO_READY: b.f_no_ready = on; break;
    case BOARDSIM_FAULT_BAD_STATUS:
        b.f_bad_status = on;
        WriteStatus(b);
        break;
    case BOARDSIM_FAULT_RX_COUNT:
        b.f_rx_count = true;
        b.f_rx_count_value = static_cast<uint8_t>(Value);
        break;
    case BOARDSIM_FAULT_NO_TX_ACK: b.f_no_tx_ack = on; break;
    case BOARDSIM_FAULT_TX_BLOCKED:
        b.f_tx_blocked = on;
        SetBufStat(b, on ? (b.bufstat | OCELO_BUF_TXBLOCKED) : (b.bufstat & ~OCELO_BUF_TXBLOCKED));
        break;
    case BOARDSIM_FAULT_RESET_DELAY_MS: b.f_reset_delay_ms = Value > 0 ? Value : 0; break;
    case BOARDSIM_FAULT_LATE_PASS_US: b.f_late_pass_us = Value > 0 ? Value : 0; break;
    case BOARDSIM_FAULT_STARVED_MS: b.f_starved_ms = Value > 0 ? Value : 0; break;
    default: return -EINVAL;
    }
    Wake();
    return 0;
}

int BoardSimClearFault(int Slot, int Fault)
{
    if (Fault == BOARDSIM_FAULT_RX_COUNT) {
        if (!ValidSlot(Slot))
            return -EINVAL;
        std::lock_guard<std::mutex> lock(g.mu);
        g.boards[Slot].f_rx_count = false;
        return 0;
    }
    return BoardSimSetFault(Slot, Fault, 0);
}

int BoardSimSpontaneousReset(int Slot)
{
    if (!ValidSlot(Slot))
        return -EINVAL;
    std::lock_guard<std::mutex> lock(g.mu);
    Board &b = g.boards[Slot];
    if (!b.present.load())
        return -ENODEV;
    DoReset(b, b.mode, NowNs());
    Wake();
    return 0;
}

int BoardSimSetCANStatus(int Slot, unsigned char Value)
{
    if (!ValidSlot(Slot))
        return -EINVAL;
    std::lock_guard<std::mutex> lock(g.mu);
    SetCanStat(g.boards[Slot], Value);
    Wake();
    return 0;
}

int BoardSimSetRxCapacity(int Slot, unsigned int Frames)
{
    if (!ValidSlot(Slot) || Frames == 0)
        return -EINVAL;
    std::lock_guard<std::mutex> lock(g.mu);
    g.boards[Slot].rx_cap = Frames;
    return 0;
}

int BoardSimBusSend(const BoardSimFrame *Frame, int BaudIndex)
{
    if (!Frame)
        return -EINVAL;
    BoardSimFrame f = *Frame;
    if (f.Len > 8)
        f.Len = 8;
    f.Id &= f.Ext ? 0x1FFFFFFFu : 0x7FFu;
    std::lock_guard<std::mutex> lock(g.mu);
    Deliver(f, BaudIndex, -1, NowNs());
    Wake();
    return 0;
}

int BoardSimTrafficStart(unsigned int Rate, const BoardSimFrame *Template, int BaudIndex)
{
    if (!Template)
        return -EINVAL;
    std::lock_guard<std::mutex> lock(g.mu);
    g.traffic = Traffic{};
    g.traffic.on = true;
    g.traffic.rate = Rate;
    g.traffic.tpl = *Template;
    if (g.traffic.tpl.Len > 8)
        g.traffic.tpl.Len = 8;
    g.traffic.key = BaudIndex;
    g.traffic.start_ns = NowNs();
    g.traffic_count.store(0);
    Wake();
    return 0;
}

void BoardSimTrafficStop(void)
{
    std::lock_guard<std::mutex> lock(g.mu);
    g.traffic.on = false;
}

uint64_t BoardSimTrafficCount(void) { return g.traffic_count.load(std::memory_order_relaxed); }

int BoardSimSetBus(const char *Dir)
{
    std::lock_guard<std::mutex> lock(g.mu);
    g.bus_setting = Dir ? Dir : "";
    return 0;
}

int BoardSimBusError(char *Dir, size_t Size)
{
    std::lock_guard<std::mutex> lock(g.mu);
    if (Dir && Size > 0)
        std::snprintf(Dir, Size, "%s", g.bus_error_dir.c_str());
    return g.bus_error;
}

int BoardSimSetReactionTime(int Slot, unsigned int Microseconds)
{
    if (Slot != -1 && !ValidSlot(Slot))
        return -EINVAL;
    uint64_t ns = static_cast<uint64_t>(Microseconds) * 1000u;
    std::lock_guard<std::mutex> lock(g.mu);
    if (Slot == -1) {
        g.reaction_ns.store(ns);
        for (auto &b : g.boards)
            b.reaction_ns = ns;
    } else {
        g.boards[Slot].reaction_ns = ns;
    }
    Wake();
    return 0;
}

int BoardSimGetStats(int Slot, BoardSimStats *Stats)
{
    if (!ValidSlot(Slot) || !Stats)
        return -EINVAL;
    std::lock_guard<std::mutex> lock(g.mu);
    // Every write so far that the firmware has read, or that a later write
    // replaced, is counted, however long ago this thread last ran.
    if (g.running && g.boards[Slot].present.load())
        TakeCommands(g.boards[Slot], Slot, NowNs());
    Wake();
    *Stats = g.boards[Slot].stats;
    Stats->TxAckReads = g.boards[Slot].txack_reads.load();
    const uint64_t soonest = g.boards[Slot].txack_soonest_ns.load();
    Stats->TxAckSoonestNs = soonest == UINT64_MAX ? 0 : soonest;
    return 0;
}

int BoardSimCommandLog(int Slot, unsigned char *Codes, uint64_t *TimesNs, int Max)
{
    if (!ValidSlot(Slot) || Max < 0)
        return -EINVAL;
    std::lock_guard<std::mutex> lock(g.mu);
    const Board &b = g.boards[Slot];
    uint32_t n = std::min<uint32_t>(b.log_n, 256);
    n = std::min<uint32_t>(n, static_cast<uint32_t>(Max));
    uint32_t first = b.log_n - n;
    for (uint32_t i = 0; i < n; ++i) {
        if (Codes)
            Codes[i] = b.log_code[(first + i) % 256];
        if (TimesNs)
            TimesNs[i] = b.log_t[(first + i) % 256];
    }
    return static_cast<int>(n);
}

} // extern "C"
