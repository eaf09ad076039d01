// Several application threads on two slots at once while the slot signals
// land on any thread: senders, receivers, and threads that read status and
// raw DPRAM in between.  Meant for the tsan preset as much as the others.
#include "CanTestUtil.h"

#include <atomic>
#include <map>
#include <mutex>

using namespace cantest;

namespace {

class Stress : public SimBoards {};

TEST_F(Stress, ManyThreadsTwoSlots)
{
    InitBoth();
    const uint32_t perSender = 1500;
    const int sendersPerSlot = 2;
    // The boards hold everything sent: receivers starved by a loaded machine
    // must not turn into overflow here (overflow has tests of its own).
    ASSERT_EQ(BoardSimSetRxCapacity(1, perSender * sendersPerSlot + 64), 0);
    ASSERT_EQ(BoardSimSetRxCapacity(2, perSender * sendersPerSlot + 64), 0);
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::mutex mu;
    // Received frames per (receiving slot, stream): each stream must arrive in order.
    std::map<std::pair<int, uint32_t>, uint32_t> next;
    std::vector<std::string> errors;

    auto note = [&](const std::string &e) {
        std::lock_guard<std::mutex> lock(mu);
        if (errors.size() < 10)
            errors.push_back(e);
        ++failures;
    };

    std::vector<std::thread> threads;
    std::atomic<uint32_t> received[3] = {0, 0, 0};
    for (unsigned char slot : {1, 2}) {
        for (int k = 0; k < sendersPerSlot; ++k) {
            uint32_t stream = slot * 10u + static_cast<uint32_t>(k);
            threads.emplace_back([&, slot, stream] {
                for (uint32_t i = 0; i < perSender; ++i) {
                    Frame f = SeqFrame(i, stream);
                    f.rtr = 0;  // the stream number rides in the identifier
                    f.mode = 1;
                    f.id = 0x100000u * stream + (i & 0xFFFFF);
                    f.len = 8;
                    std::memcpy(f.data, &i, 4);
                    int rc = Send(slot, f);
                    if (rc != OCELO_OK) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(100));
                        note("send rc " + std::to_string(rc) + " seq " + std::to_string(i) + " slot " +
                             std::to_string(slot) + ", ack byte later " +
                             std::to_string(BoardSimPeek(slot, OCELO_DP_TXACK)));
                    }
                }
            });
        }
        threads.emplace_back([&, slot] {
            const uint32_t want = perSender * sendersPerSlot;
            double deadline = NowMs() + 60000;
            while (received[slot] < want && NowMs() < deadline) {
                Frame f;
                unsigned long u, l;
                int rc = GetCANMsg(slot, &f.mode, &f.id, &f.rtr, &f.len, f.data, &u, &l);
                if (rc == OCELO_NO_MSG) {
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                    continue;
                }
                if (rc != OCELO_OK) {
                    BoardSimStats st;
                    BoardSimGetStats(slot, &st);
                    note("receive rc " + std::to_string(rc) + " on slot " + std::to_string(slot) + " after " +
                         std::to_string(received[slot].load()) + " (board resets asked: " +
                         std::to_string(st.Commands[OCELO_CMD_SYSRESET_IRQ] + st.Commands[OCELO_CMD_SYSRESET_POLL]) +
                         ", system reset flag " + std::to_string(RakCANSystemReset[slot]) + ")");
                    return;
                }
                uint32_t stream = static_cast<uint32_t>(f.id / 0x100000u), seq;
                std::memcpy(&seq, f.data, 4);
                std::lock_guard<std::mutex> lock(mu);
                uint32_t &n = next[{slot, stream}];
                if (seq != n || (f.id & 0xFFFFF) != (seq & 0xFFFFF)) {
                    if (errors.size() < 10)
                        errors.push_back("slot " + std::to_string(slot) + " stream " + std::to_string(stream) +
                                         ": got " + std::to_string(seq) + " want " + std::to_string(n));
                    ++failures;
                }
                n = seq + 1;
                ++received[slot];
            }
        });
    }
    // Bystanders: status, configuration and raw DPRAM reads in a loop.
    for (unsigned char slot : {1, 2}) {
        threads.emplace_back([&, slot] {
            while (!done.load()) {
                unsigned char can, ovf;
                unsigned long code, mask;
                GetStatus(slot, &can, &ovf);
                if (GetCANMask(slot, &code, &mask) != OCELO_OK || code != 0 || mask != 0xFFFFFFFF)
                    note("mask read back wrong");
                if (DPRAMReadShort(slot, OCELO_DP_READY) != OCELO_READY_VALUE)
                    note("ready word read back wrong");
                std::this_thread::yield();
            }
        });
    }
    for (size_t i = 0; i + 2 < threads.size(); ++i)
        threads[i].join();
    done = true;
    threads[threads.size() - 2].join();
    threads[threads.size() - 1].join();

    for (auto &e : errors)
        ADD_FAILURE() << e;
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(received[1].load(), perSender * sendersPerSlot);
    EXPECT_EQ(received[2].load(), perSender * sendersPerSlot);
}

} // namespace
