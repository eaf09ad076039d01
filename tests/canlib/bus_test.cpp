// Two boards on one bus: sequence-numbered frames from slot 1 to slot 2 and
// back at the same time, standard and extended, data and remote; none may be
// lost, duplicated or altered.
#include "CanTestUtil.h"

#include <atomic>
#include <cstdlib>

using namespace cantest;

namespace {

uint32_t FrameCount()
{
    const char *env = std::getenv("OCELO_TEST_FRAMES");  // a smaller run for slow sanitizer builds
    long n = env ? std::strtol(env, nullptr, 10) : 0;
    return n > 0 ? static_cast<uint32_t>(n) : 100000u;
}

struct Result {
    uint32_t received = 0;
    std::string error;
};

void Sender(unsigned char slot, uint32_t stream, uint32_t count, std::string &error)
{
    for (uint32_t i = 0; i < count; ++i) {
        int rc = Send(slot, SeqFrame(i, stream));
        if (rc != OCELO_OK) {
            error = "send " + std::to_string(i) + " returned " + std::to_string(rc);
            return;
        }
    }
}

void Receiver(unsigned char slot, uint32_t stream, uint32_t count, Result &res, const std::atomic<bool> &abort)
{
    double deadline = NowMs() + 30000;
    while (res.received < count && !abort.load()) {
        Frame f;
        unsigned long up, lo;
        int rc = GetCANMsg(slot, &f.mode, &f.id, &f.rtr, &f.len, f.data, &up, &lo);
        if (rc == OCELO_NO_MSG) {
            if (NowMs() > deadline) {
                BoardSimStats st;
                BoardSimGetStats(slot, &st);
                unsigned char codes[16];
                int nlog = BoardSimCommandLog(slot, codes, nullptr, 16);
                std::ostringstream os;
                os << "timed out after " << res.received << " frames (board: rx " << st.RxFrames << ", batches "
                   << st.Batches << ", irqs " << st.Interrupts << ", counts " << int(BoardSimPeek(slot, OCELO_DP_RXCOUNT0))
                   << "/" << int(BoardSimPeek(slot, OCELO_DP_RXCOUNT0 + 1)) << ", code "
                   << int(BoardSimPeek(slot, OCELO_DP_INTCODE)) << "; host: read " << int(CANRdCnt[slot]) << " of "
                   << int(StoreMsgNum[slot]) << ", zone " << int(DPStartToReadIndex[slot]) << ", request allowed "
                   << RequistAllow[slot] << "; last commands";
                for (int i = 0; i < nlog; ++i)
                    os << " " << int(codes[i]);
                os << ")";
                res.error = os.str();
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            continue;
        }
        if (rc != OCELO_OK) {
            res.error = "receive returned " + std::to_string(rc) + " after " + std::to_string(res.received);
            return;
        }
        Frame want = SeqFrame(res.received, stream);
        if (!(f == want)) {
            std::ostringstream os;
            os << "frame " << res.received << ": got " << f << ", want " << want;
            res.error = os.str();
            return;
        }
        ++res.received;
        deadline = NowMs() + 30000;  // a bound on silence, not on speed
    }
}

class TwoBoards : public SimBoards {};

TEST_F(TwoBoards, SequencedFramesBothWaysArriveExactlyOnceAndInOrder)
{
    InitBoth(1000000);
    const uint32_t total = FrameCount();
    const uint32_t each = total / 2;
    // The boards hold the whole run: a receiving thread that a loaded machine
    // starves for a while must not turn into lost frames here (what a full
    // board does is tested with the overflow cases).
    ASSERT_EQ(BoardSimSetRxCapacity(1, each + 64), 0);
    ASSERT_EQ(BoardSimSetRxCapacity(2, each + 64), 0);
    std::string send1, send2;
    Result recv1, recv2;
    std::atomic<bool> abort{false};
    std::thread r2(Receiver, 2, 1, each, std::ref(recv2), std::cref(abort));
    std::thread r1(Receiver, 1, 2, each, std::ref(recv1), std::cref(abort));
    std::thread s1(Sender, 1, 1, each, std::ref(send1));
    std::thread s2(Sender, 2, 2, each, std::ref(send2));
    s1.join();
    s2.join();
    if (!send1.empty() || !send2.empty())
        abort = true;
    r1.join();
    r2.join();
    EXPECT_EQ(send1, "");
    EXPECT_EQ(send2, "");
    EXPECT_EQ(recv2.error, "");
    EXPECT_EQ(recv1.error, "");
    EXPECT_EQ(recv2.received, each);
    EXPECT_EQ(recv1.received, each);
    // Nothing extra behind the last frame, and no overflow on the way.
    Frame extra;
    EXPECT_EQ(Receive(1, extra, 200), OCELO_NO_MSG);
    EXPECT_EQ(Receive(2, extra, 200), OCELO_NO_MSG);
    BoardSimStats st1, st2;
    BoardSimGetStats(1, &st1);
    BoardSimGetStats(2, &st2);
    EXPECT_EQ(st1.RxDropped + st2.RxDropped, 0u);
    EXPECT_EQ(st1.TxFrames, each);
    EXPECT_EQ(st2.RxFrames, each);
}

// The firmware answers on its own processor: a simulation thread that the
// machine does not run for a while must not turn into a send without its
// acknowledgement, nor into frames that never leave a full transmit queue.
TEST_F(TwoBoards, AStarvedSimulationStillAcknowledgesEverySend)
{
    InitBoth(1000000);
    ASSERT_EQ(BoardSimSetFault(1, BOARDSIM_FAULT_STARVED_MS, 300), 0);
    for (uint32_t i = 0; i < 100; ++i)
        ASSERT_EQ(Send(1, SeqFrame(i, 1)), OCELO_OK) << "send " << i;
    ASSERT_EQ(BoardSimClearFault(1, BOARDSIM_FAULT_STARVED_MS), 0);
    for (uint32_t i = 0; i < 100; ++i) {
        Frame f;
        ASSERT_EQ(Receive(2, f), OCELO_OK) << "frame " << i;
        EXPECT_EQ(f, SeqFrame(i, 1));
    }
}

} // namespace
