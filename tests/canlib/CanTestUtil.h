// Helpers for the CAN library tests: simulated slots on a bus private to the
// test process, and bounded waits.
#pragma once

#include "BoardSim.h"
#include "Ocelo.h"
#include "OceloProtocol.h"
#include "SlotSim.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

// Each slot's transmit ring position inside the library (the exported
// TxMsgStartAddr shows the one used last).
namespace ocelo_lnx {
extern unsigned int TxRingPos[8];
// The signal handler's register lock and its mark for the lock's holder.
bool DeferredPending(int Slot);
void MarkDeferred(int Slot);
bool TakeDeferred(int Slot);
bool TryLockRegs(int Slot, int Tries);
void ReleaseRegs(int Slot);
void HandleInterrupt(int Slot);
}

namespace cantest {

inline double NowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// Polls pred every millisecond until it holds or timeout_ms passes.
inline bool WaitFor(const std::function<bool()> &pred, int timeout_ms = 10000)
{
    double end = NowMs() + timeout_ms;
    while (NowMs() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

struct Frame {
    unsigned char mode = 0, rtr = 0, len = 0;
    unsigned long id = 0;
    unsigned char data[8] = {};
    bool operator==(const Frame &o) const
    {
        return mode == o.mode && rtr == o.rtr && len == o.len && id == o.id &&
               (rtr || std::memcmp(data, o.data, len) == 0);
    }
};

inline std::ostream &operator<<(std::ostream &os, const Frame &f)
{
    os << (f.mode ? "ext " : "std ") << std::hex << f.id << std::dec << (f.rtr ? " rtr" : "") << " len " << int(f.len);
    return os;
}

// Receives one frame, waiting up to timeout_ms; returns the last result code.
inline int Receive(unsigned char slot, Frame &f, int timeout_ms = 5000, unsigned long *upper = nullptr,
                   unsigned long *lower = nullptr)
{
    double end = NowMs() + timeout_ms;
    int rc;
    unsigned long u = 0, l = 0;
    for (;;) {
        rc = GetCANMsg(slot, &f.mode, &f.id, &f.rtr, &f.len, f.data, &u, &l);
        if (rc != OCELO_NO_MSG || NowMs() > end)
            break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (upper)
        *upper = u;
    if (lower)
        *lower = l;
    return rc;
}

inline int Send(unsigned char slot, const Frame &f)
{
    return SendCANMsg(slot, f.mode, f.id, f.rtr, f.len, const_cast<unsigned char *>(f.data));
}

inline BoardSimFrame ToSim(const Frame &f)
{
    BoardSimFrame s{};
    s.Ext = f.mode;
    s.Rtr = f.rtr;
    s.Len = f.len;
    s.Id = static_cast<uint32_t>(f.id);
    std::memcpy(s.Data, f.data, 8);
    return s;
}

// The frame with sequence number n of a deterministic mix: standard and
// extended, data and remote; the sequence sits in the data or, for a remote
// frame, in the identifier.
inline Frame SeqFrame(uint32_t n, uint32_t stream = 0)
{
    Frame f;
    f.mode = (n % 3) == 1;
    f.rtr = (n % 5) == 4;
    if (f.rtr) {
        f.len = static_cast<unsigned char>(n % 9);
        f.id = f.mode ? ((n & 0xFFFFF) | (stream << 24)) & 0x1FFFFFFF : (n & 0x7FF);
    } else {
        f.len = static_cast<unsigned char>(4 + n % 5);
        f.id = f.mode ? (0x1000000 + stream) : (0x100 + stream);
        std::memcpy(f.data, &n, 4);
        for (int i = 4; i < f.len; ++i)
            f.data[i] = static_cast<unsigned char>(n * 7 + i + stream);
    }
    return f;
}

// Slots 1 and 2 with simulated boards on a bus of their own.
class SimBoards : public ::testing::Test {
protected:
    void SetUp() override
    {
        BoardSimSetBus("off");
        ASSERT_EQ(SlotSimOpen(1), 0);
        ASSERT_EQ(SlotSimOpen(2), 0);
    }
    void TearDown() override
    {
        RecoverOcelo();
        // One command byte per board: no command of this test's traffic may
        // have been overwritten before the firmware read it.
        EXPECT_EQ(LostCommands(1) + LostCommands(2), allowed_lost_) << "commands lost in the board's command byte";
        BoardSimShutdown();
    }
    static uint64_t LostCommands(int slot)
    {
        BoardSimStats st;
        BoardSimGetStats(slot, &st);
        return st.LostCommands;
    }
    uint64_t allowed_lost_ = 0;
    // The library waits for the board's reset notice and ready word in
    // milliseconds, as the firmware answers; a loaded test machine may hold
    // the simulated board's thread back longer than that.  Tests that are
    // not about those bounds try the set-up until it works (each try is
    // bounded by the library's own limits; the count bounds the whole).
    static constexpr int InitAttempts = 20;
    static int InitWithRetries(int slot, unsigned long baud)
    {
        int rc = OCELO_OK;
        for (int attempt = 0; attempt < InitAttempts; ++attempt)
            if ((rc = OceloInit(static_cast<OceloSlot>(slot), baud, 0, 0, 0, 0xFFFFFFFF)) == OCELO_OK)
                break;
        return rc;
    }
    void InitBoth(unsigned long baud = 500000)
    {
        ASSERT_EQ(InitWithRetries(1, baud), OCELO_OK);
        ASSERT_EQ(InitWithRetries(2, baud), OCELO_OK);
    }
    static std::vector<unsigned char> Commands(int slot)
    {
        unsigned char codes[256];
        int n = BoardSimCommandLog(slot, codes, nullptr, 256);
        return std::vector<unsigned char>(codes, codes + (n > 0 ? n : 0));
    }
    static uint32_t CommandCount(int slot, int code)
    {
        BoardSimStats st;
        BoardSimGetStats(slot, &st);
        return st.Commands[code];
    }
};

} // namespace cantest
