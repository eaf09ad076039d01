// Waiting for frames without polling (OceloWait.h): the wait and the
// descriptor against the simulated boards, a frame sent from the other slot
// waking them, and two threads sharing one slot's frames.
#include "CanTestUtil.h"
#include "OceloWait.h"

#include <cerrno>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

using namespace cantest;

namespace {

double WallSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// poll until readable or timeout_ms (a board's signal landing on this
// thread ends a poll early: poll again for the rest).
bool Readable(int fd, int timeout_ms)
{
    const double end = NowMs() + timeout_ms;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int left = static_cast<int>(std::max(0.0, end - NowMs()));
        const int rc = poll(&p, 1, left);
        if (rc == 1)
            return (p.revents & POLLIN) != 0;
        if (rc == 0 || errno != EINTR)
            return false;
    }
}

// Takes the news a slot has from its set-up (status reports): the next look
// finds nothing.
void Settle(unsigned char slot)
{
    for (int i = 0; i < 10 && WaitCANMsg(slot, 0) == OCELO_OK; ++i) {
    }
}

Frame Numbered(uint32_t n)
{
    Frame f;
    f.id = 0x100 + (n & 0xFF);
    f.len = 4;
    std::memcpy(f.data, &n, 4);
    return f;
}

class Wait : public SimBoards {};

TEST_F(Wait, RefusesBadAndUninitialisedSlots)
{
    int fd = -1;
    for (unsigned char slot : {0, 8}) {
        EXPECT_EQ(WaitCANMsg(slot, 0), OCELO_BAD_SLOT);
        EXPECT_EQ(GetCANMsgFd(slot, &fd), OCELO_BAD_SLOT);
        EXPECT_EQ(WakeCANMsgWait(slot), OCELO_BAD_SLOT);
    }
    EXPECT_EQ(WaitCANMsg(2, 0), OCELO_NOT_INIT);
    EXPECT_EQ(WaitCANMsg(7, 1000), OCELO_NOT_INIT);  // at once, not after the second
}

TEST_F(Wait, AFrameWakesAWaitingThreadAndTheDescriptor)
{
    InitBoth();
    int fd = -1;
    ASSERT_EQ(GetCANMsgFd(2, &fd), OCELO_OK);
    ASSERT_GE(fd, 0);
    int again = -1;
    ASSERT_EQ(GetCANMsgFd(2, &again), OCELO_OK);
    EXPECT_EQ(again, fd);
    // Nothing on the bus: a look finds nothing, and clears the descriptor.
    Settle(2);
    EXPECT_EQ(WaitCANMsg(2, 0), OCELO_NO_MSG);
    EXPECT_FALSE(Readable(fd, 0));

    for (unsigned char from : {1, 2}) {  // each way: slot 1 to 2, then 2 to 1
        const unsigned char to = from == 1 ? 2 : 1;
        int tofd = -1;
        ASSERT_EQ(GetCANMsgFd(to, &tofd), OCELO_OK);
        Settle(to);
        EXPECT_EQ(WaitCANMsg(to, 0), OCELO_NO_MSG);
        std::atomic<int> rc{-1};
        std::thread waiter([&] { rc = WaitCANMsg(to, 60000); });
        Frame f = Numbered(from), got;
        const double before = WallSeconds();
        ASSERT_EQ(Send(from, f), OCELO_OK);
        EXPECT_TRUE(Readable(tofd, 60000)) << "the descriptor stayed quiet";
        waiter.join();
        EXPECT_EQ(rc.load(), OCELO_OK);
        const double noticed = WallSeconds();
        unsigned long up, lo;
        double stamp = 0;
        ASSERT_EQ(GetCANMsgStamp(to, &got.mode, &got.id, &got.rtr, &got.len, got.data, &up, &lo, &stamp), OCELO_OK);
        EXPECT_EQ(got, f);
        // Stamped when the interrupt took it, not when it was read.
        EXPECT_GE(stamp, before - 0.001);
        EXPECT_LE(stamp, noticed);
        // Everything read: the next look finds the buffer empty and clears
        // the descriptor.
        EXPECT_EQ(GetCANMsg(to, &got.mode, &got.id, &got.rtr, &got.len, got.data, &up, &lo), OCELO_NO_MSG);
        EXPECT_EQ(WaitCANMsg(to, 0), OCELO_NO_MSG);
        EXPECT_FALSE(Readable(tofd, 0));
    }
}

TEST_F(Wait, WakeEndsAWaitAndReleasingTheSlotsEndsIt)
{
    InitBoth();
    Settle(2);
    // One wake, whether it comes before the wait begins (a receiving
    // thread told to stop on its way into the wait) or during it.
    for (bool before : {true, false}) {
        SCOPED_TRACE(before ? "wake before the wait" : "wake during the wait");
        std::atomic<int> rc{-1};
        if (before)
            WakeCANMsgWait(2);
        std::thread waiter([&] { rc = WaitCANMsg(2, 600000); });
        if (!before)
            WakeCANMsgWait(2);
        const bool ended = WaitFor([&] { return rc.load() != -1; }, 60000);
        while (rc.load() == -1) {  // (a lost wake: end the wait to fail cleanly)
            WakeCANMsgWait(2);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        waiter.join();
        EXPECT_TRUE(ended) << "the wake was lost";
        EXPECT_EQ(rc.load(), OCELO_NO_MSG);
    }

    std::atomic<int> rc2{-1};
    std::thread waiter2([&] {
        int r;
        while ((r = WaitCANMsg(1, 600000)) == OCELO_NO_MSG || r == OCELO_OK) {
        }
        rc2 = r;
    });
    RecoverOcelo();
    ASSERT_TRUE(WaitFor([&] { return rc2.load() != -1; }, 60000));
    waiter2.join();
    EXPECT_EQ(rc2.load(), OCELO_NOT_INIT);
    ASSERT_EQ(SlotSimOpen(1), 0);  // TearDown releases again
    ASSERT_EQ(SlotSimOpen(2), 0);
}

TEST_F(Wait, StatusChangeAndBoardRestartEndTheWait)
{
    InitBoth();
    Settle(2);
    EXPECT_EQ(WaitCANMsg(2, 0), OCELO_NO_MSG);
    std::atomic<int> rc{-1};
    std::thread waiter([&] { rc = WaitCANMsg(2, 600000); });
    ASSERT_EQ(BoardSimSetCANStatus(2, 0x40), 0);
    ASSERT_TRUE(WaitFor([&] { return rc.load() != -1; }, 60000));
    waiter.join();
    EXPECT_EQ(rc.load(), OCELO_OK);
    unsigned char reg = 0, ovr = 0;
    GetStatus(2, &reg, &ovr);
    EXPECT_EQ(reg, 0x40);

    std::atomic<int> rc2{-1};
    std::thread waiter2([&] {
        int r;
        while ((r = WaitCANMsg(2, 600000)) == OCELO_OK) {
        }
        rc2 = r;
    });
    ASSERT_EQ(BoardSimSpontaneousReset(2), 0);
    ASSERT_TRUE(WaitFor([&] { return rc2.load() != -1; }, 60000));
    waiter2.join();
    EXPECT_EQ(rc2.load(), OCELO_NOT_INIT);
}

// Two threads take slot 2's frames, each sleeping in poll on the slot's
// descriptor whenever WaitCANMsg finds nothing.  Every frame must reach one
// of them exactly once: a wake-up lost between the buffer's last look and
// the sleep would leave both asleep with frames in the buffer, and poll has
// no time-out of its own to save them (60 s counts as lost).
TEST_F(Wait, TwoThreadsOnOneSlotLoseNoWakeUp)
{
    InitBoth();
    int fd = -1;
    ASSERT_EQ(GetCANMsgFd(2, &fd), OCELO_OK);
    const uint32_t total = 3000;
    std::atomic<uint32_t> taken{0};
    std::atomic<bool> stuck{false};
    std::mutex seen_lock;
    std::set<uint32_t> seen;
    std::vector<uint32_t> twice;
    auto reader = [&] {
        while (taken.load() < total && !stuck.load()) {
            int rc = WaitCANMsg(2, 0);
            if (rc == OCELO_NO_MSG) {
                if (!Readable(fd, 60000) && taken.load() < total)
                    stuck = true;
                continue;
            }
            if (rc != OCELO_OK)
                continue;
            Frame f;
            unsigned long up, lo;
            while (GetCANMsg(2, &f.mode, &f.id, &f.rtr, &f.len, f.data, &up, &lo) == OCELO_OK) {
                uint32_t n;
                std::memcpy(&n, f.data, 4);
                std::lock_guard<std::mutex> g(seen_lock);
                if (!seen.insert(n).second)
                    twice.push_back(n);
                if (++taken == total)
                    WakeCANMsgWait(2);  // the other reader may be asleep
            }
        }
    };
    std::thread r1(reader), r2(reader);
    for (uint32_t i = 0; i < total; ++i) {
        ASSERT_EQ(Send(1, Numbered(i)), OCELO_OK) << i;
        if (i % 7 == 0)  // bursts of several frames and single ones
            std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    // The readers end when all arrived, or one slept 60 s with frames owed.
    r1.join();
    r2.join();
    EXPECT_FALSE(stuck.load()) << "a reader slept with " << total - taken.load() << " frames owed";
    EXPECT_EQ(seen.size(), total);
    EXPECT_TRUE(twice.empty());
}

} // namespace
