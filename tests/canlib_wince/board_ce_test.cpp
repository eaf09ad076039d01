// Board management on Windows CE: OceloInit and its failure bounds, the
// configuration block, status, reset, and the slot checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <pthread.h>
#include <sched.h>

#include "BoardSim.h"
#include "Ocelo.h"
#include "OceloCEState.h"
#include "ce_support.h"

using namespace cetest;

extern std::atomic<bool> FailRxBufferAlloc;

namespace {

constexpr int kSlot = 2;

// Puts the board back as plugged in: firmware state, faults and DPRAM.
void FreshBoard(int slot) {
  BoardSimDetach(slot);
  BoardSimAttach(slot);
  HalvexSimSetResetDelay(slot, HALVEXSIM_RESET_DELAY_MS);
}

std::vector<uint8_t> Peek(int slot, unsigned from, unsigned count) {
  std::vector<uint8_t> bytes;
  for (unsigned i = 0; i < count; ++i) bytes.push_back(BoardSimPeek(slot, from + i));
  return bytes;
}

class BoardCE : public ::testing::Test {
 protected:
  void SetUp() override { FreshBoard(kSlot); }
  void TearDown() override {
    EXPECT_EQ(LostCommands(kSlot), 0u) << "commands lost in the board's command byte";
    // Leave the slot to the next test uninitialised.
    RakInit[kSlot].store(0);
    FreshBoard(kSlot);
  }
};

}  // namespace

TEST_F(BoardCE, SlotsOutside1To7AreRejectedWithoutTouchingABoard) {
  HalvexSimLogStart();
  for (uint32_t slot : {0u, 8u, 255u, 0x100u}) {
    OceloULong baud = 0, code = 0, mask = 0, id = 0, t1 = 0, t2 = 0;
    unsigned char b0 = 0, b1 = 0, mode = 0, rtr = 0, len = 0, data[8] = {};
    EXPECT_EQ(OceloInit(slot, 125000, 0, 0, 0, 0), OCELO_BAD_SLOT) << slot;
    EXPECT_EQ(ResetOcelo(slot), OCELO_BAD_SLOT);
    EXPECT_EQ(SetCANBaud(slot, 125000, 0, 0), OCELO_BAD_SLOT);
    EXPECT_EQ(GetCANBaud(slot, &baud, &b0, &b1), OCELO_BAD_SLOT);
    EXPECT_EQ(SetCANMask(slot, 0, 0), OCELO_BAD_SLOT);
    EXPECT_EQ(GetCANMask(slot, &code, &mask), OCELO_BAD_SLOT);
    EXPECT_EQ(ClearStatus(slot), OCELO_BAD_SLOT);
    EXPECT_EQ(GetStatus(slot, &b0, &b1), OCELO_BAD_SLOT);
    EXPECT_EQ(GetCANMsg(slot, &mode, &id, &rtr, &len, data, &t1, &t2), OCELO_BAD_SLOT);
    EXPECT_EQ(SendCANMsg(slot, 0, 1, 0, 1, data), OCELO_BAD_SLOT);
  }
  EXPECT_TRUE(TakeLog().empty());
}

TEST_F(BoardCE, SlotNumberIsTakenFromItsLow8Bits) {
  unsigned char canReg = 1, overflow = 1;
  EXPECT_EQ(GetStatus(0x300u + kSlot, &canReg, &overflow), OCELO_OK);
  EXPECT_EQ(canReg, 0);
  EXPECT_EQ(overflow, 0);
}

TEST_F(BoardCE, InitWritesTheConfigurationAndBringsTheBoardUp) {
  // A stale event from before must not be taken for the reset's answer.
  PokePair(kSlot, 8177, 0x40);
  HalvexSimLogStart();
  ASSERT_EQ(OceloInit(kSlot, 125000, 0x12, 0x34, 0x11223344, 0xAABBCCDD), OCELO_OK);
  auto log = TakeLog();

  EXPECT_EQ(RakInit[kSlot].load(), 1u);
  EXPECT_EQ(Peek(kSlot, 6016, 11),
            (std::vector<uint8_t>{6, 0, 0, 0x44, 0x33, 0x22, 0x11, 0xDD, 0xCC, 0xBB, 0xAA}));
  auto commands = CommandWrites(log, kSlot);
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[0], 12);
  EXPECT_NE(std::find(commands.begin(), commands.end(), 4), commands.end());

  // The library clears the stale event byte before command 12.
  auto cmd12 = std::find_if(log.begin(), log.end(), [](const DpramAccess& a) {
    return a.slot == kSlot && a.write && !a.pageWrite && a.addr == 8191 && a.value == 12;
  });
  auto clear = std::find_if(log.begin(), log.end(), [](const DpramAccess& a) {
    return a.slot == kSlot && a.write && !a.pageWrite && a.addr == 8177 && a.value == 0;
  });
  EXPECT_TRUE(clear < cmd12);

  OceloULong baud = 1, code = 0, mask = 0;
  unsigned char bt0 = 9, bt1 = 9;
  EXPECT_EQ(GetCANBaud(kSlot, &baud, &bt0, &bt1), OCELO_OK);
  EXPECT_EQ(baud, 125000u);
  EXPECT_EQ(bt0, 0);
  EXPECT_EQ(bt1, 0);
  EXPECT_EQ(GetCANMask(kSlot, &code, &mask), OCELO_OK);
  EXPECT_EQ(code, 0x11223344u);
  EXPECT_EQ(mask, 0xAABBCCDDu);
  unsigned char canReg = 1, overflow = 1;
  EXPECT_EQ(GetStatus(kSlot, &canReg, &overflow), OCELO_OK);
  EXPECT_EQ(overflow, 0);
}

TEST_F(BoardCE, UserDefinedRatesKeepTheTimingBytes) {
  ASSERT_EQ(OceloInit(kSlot, 33333, 0x12, 0x34, 0, 0xFFFFFFFF), OCELO_OK);
  EXPECT_EQ(Peek(kSlot, 6016, 3), (std::vector<uint8_t>{12, 0x12, 0x34}));
  OceloULong baud = 1;
  unsigned char bt0 = 0, bt1 = 0;
  GetCANBaud(kSlot, &baud, &bt0, &bt1);
  EXPECT_EQ(baud, 0u);
  EXPECT_EQ(bt0, 0x12);
  EXPECT_EQ(bt1, 0x34);

  HalvexSimLogStart();
  EXPECT_EQ(SetCANBaud(kSlot, 250000, 1, 2), OCELO_OK);
  EXPECT_EQ(AppCommandWrites(TakeLog(), kSlot), (std::vector<uint8_t>{2}));
  EXPECT_EQ(Peek(kSlot, 6016, 3), (std::vector<uint8_t>{8, 0, 0}));
  GetCANBaud(kSlot, &baud, &bt0, &bt1);
  EXPECT_EQ(baud, 250000u);
  EXPECT_EQ(bt0, 0);
}

TEST_F(BoardCE, SetCANMaskStoresCodeAndMaskLowByteFirst) {
  ASSERT_EQ(OceloInit(kSlot, 500000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);
  HalvexSimLogStart();
  EXPECT_EQ(SetCANMask(kSlot, 0x11223344, 0xAABBCCDD), OCELO_OK);
  EXPECT_EQ(AppCommandWrites(TakeLog(), kSlot), (std::vector<uint8_t>{3}));
  EXPECT_EQ(Peek(kSlot, 6019, 8), (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11, 0xDD, 0xCC, 0xBB, 0xAA}));
}

TEST_F(BoardCE, ABlockThatReadsBackWrongIsNotCommanded) {
  // Without a board every register reads 0xFF.
  BoardSimDetach(kSlot);
  HalvexSimLogStart();
  EXPECT_EQ(SetCANBaud(kSlot, 125000, 0, 0), OCELO_ERR_BOARD);
  EXPECT_EQ(SetCANMask(kSlot, 1, 2), OCELO_ERR_BOARD);
  EXPECT_TRUE(CommandWrites(TakeLog(), kSlot).empty());
}

TEST_F(BoardCE, InitGivesUpWhenTheBoardNeverAnswersTheReset) {
  BoardSimSetFault(kSlot, BOARDSIM_FAULT_NO_RESET, 1);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(OceloInit(kSlot, 125000, 0, 0, 0, 0xFFFFFFFF), OCELO_ERR_BOARD);
  // It ends (about 150 ms of waiting; the bound here only says "it ended").
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
  EXPECT_EQ(RakInit[kSlot].load(), 0u);
  unsigned char data[8] = {};
  EXPECT_EQ(SendCANMsg(kSlot, 0, 1, 0, 1, data), OCELO_NOT_INIT);
  EXPECT_EQ(GetCANMsg(kSlot, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), OCELO_NOT_INIT);

  // The polling thread has let go of the slot.
  Sleep(20);
  HalvexSimLogStart();
  Sleep(60);
  EXPECT_EQ(AccessesOn(TakeLog(), kSlot), 0u);
}

TEST_F(BoardCE, InitFailsWithoutTheReadyWordOrAValidStatus) {
  BoardSimSetFault(kSlot, BOARDSIM_FAULT_NO_READY, 1);
  EXPECT_EQ(OceloInit(kSlot, 125000, 0, 0, 0, 0xFFFFFFFF), OCELO_ERR_BOARD);
  EXPECT_EQ(RakInit[kSlot].load(), 0u);

  FreshBoard(kSlot);
  BoardSimSetFault(kSlot, BOARDSIM_FAULT_BAD_STATUS, 1);
  EXPECT_EQ(OceloInit(kSlot, 125000, 0, 0, 0, 0xFFFFFFFF), OCELO_ERR_BOARD);
  EXPECT_EQ(RakInit[kSlot].load(), 0u);

  FreshBoard(kSlot);
  EXPECT_EQ(OceloInit(kSlot, 125000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);
}

TEST_F(BoardCE, AFailedBufferAllocationFailsInitAndTheThreadStaysAway) {
  const int slot = 6;
  FreshBoard(slot);
  ASSERT_EQ(CANReadMsg[slot].load(), nullptr) << "slot 6 is initialised by no other test";
  FailRxBufferAlloc = true;
  HalvexSimLogStart();
  EXPECT_EQ(OceloInit(slot, 125000, 0, 0, 0, 0xFFFFFFFF), OCELO_ERR_BOARD);
  Sleep(60);
  auto log = TakeLog();
  EXPECT_FALSE(FailRxBufferAlloc.load());
  EXPECT_EQ(RakInit[slot].load(), 0u);
  EXPECT_EQ(CANReadMsg[slot].load(), nullptr);
  // Only command 12 went out; the thread never asked for a batch.
  EXPECT_EQ(CommandWrites(log, slot), (std::vector<uint8_t>{12}));
  FreshBoard(slot);
}

TEST_F(BoardCE, ReinitialisingASlotReusesItsBuffer) {
  ASSERT_EQ(OceloInit(kSlot, 125000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);
  uint8_t* first = CANReadMsg[kSlot].load();
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(OceloInit(kSlot, 250000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);
  EXPECT_EQ(CANReadMsg[kSlot].load(), first);
}

TEST_F(BoardCE, ClearStatusClearsTheCopyAtOnce) {
  ASSERT_EQ(OceloInit(kSlot, 125000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);
  BufStatus[kSlot].store(0x01);
  HalvexSimLogStart();
  EXPECT_EQ(ClearStatus(kSlot), OCELO_OK);
  EXPECT_EQ(BufStatus[kSlot].load(), 0);
  auto commands = CommandWrites(TakeLog(), kSlot);
  EXPECT_NE(std::find(commands.begin(), commands.end(), 11), commands.end());
}

// The firmware restarts and answers on its own processor: a simulation
// thread that the machine does not run for a while must not fail OceloInit.
TEST_F(BoardCE, InitSucceedsWhileTheSimulationIsStarved) {
  ASSERT_EQ(BoardSimSetFault(kSlot, BOARDSIM_FAULT_STARVED_MS, 400), 0);
  EXPECT_EQ(OceloInit(kSlot, 125000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);
  ASSERT_EQ(BoardSimClearFault(kSlot, BOARDSIM_FAULT_STARVED_MS), 0);
}

// A board that has restarted by the time the library first looks at the
// event byte after command 12 (or a host held up that long): its 64 is the
// answer to the reset, not a stale event, and must reach the polling thread.
TEST_F(BoardCE, InitKeepsTheAnswerOfABoardThatRestartsBeforeTheHostLooks) {
  HalvexSimSetResetDelay(kSlot, 1);  // within Trigger186Int's 2 ms pause
  EXPECT_EQ(OceloInit(kSlot, 125000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);
}

TEST_F(BoardCE, ResetOceloRestartsZoneAndRingBookkeeping) {
  ASSERT_EQ(OceloInit(kSlot, 125000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);
  unsigned char data[2] = {1, 2};
  ASSERT_EQ(SendCANMsg(kSlot, 0, 0x10, 0, 2, data), OCELO_OK);
  EXPECT_EQ(TxMsgStartAddr[kSlot].load(), 2701);
  DPStartToReadIndex[kSlot].store(1);
  HalvexSimLogStart();
  EXPECT_EQ(ResetOcelo(kSlot), OCELO_OK);
  auto commands = CommandWrites(TakeLog(), kSlot);
  EXPECT_NE(std::find(commands.begin(), commands.end(), 8), commands.end());
  EXPECT_EQ(TxMsgStartAddr[kSlot].load(), 2688);
  EXPECT_EQ(DPStartToReadIndex[kSlot].load(), 0);
  EXPECT_EQ(RakInit[kSlot].load(), 1u);
}

TEST_F(BoardCE, GetStatusOfAnUninitialisedSlotGivesTheStoredCopies) {
  unsigned char canReg = 9, overflow = 9;
  EXPECT_EQ(GetStatus(7, &canReg, &overflow), OCELO_OK);
  EXPECT_EQ(canReg, 0);
  EXPECT_EQ(overflow, 0);
  EXPECT_EQ(GetStatus(7, nullptr, nullptr), OCELO_OK);
}

TEST(PollThreadCE, RunsAtPriority113) {
  ASSERT_NE(PollThreadHandle, nullptr);
  EXPECT_EQ(CeGetThreadPriority(PollThreadHandle), 113);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(PollThreadHandle, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
}

// A real-time priority reaches the system's scheduler where this process may
// use a real-time class, so that a busy machine cannot starve the thread.
TEST(PollThreadCE, ARealTimePriorityIsGivenToTheThreadWhereAllowed) {
  int probe = -1;
  std::thread([&] {
    sched_param p{};
    p.sched_priority = 1;
    probe = pthread_setschedparam(pthread_self(), SCHED_RR, &p);
  }).join();
  if (probe != 0) GTEST_SKIP() << "no real-time class for this process";
  static std::atomic<bool> go{false};
  static std::atomic<int> policy{-1};
  go = false;
  HANDLE t = CreateThread(nullptr, 0, [](LPVOID) -> DWORD {
    for (int i = 0; i < 5000 && !go.load(); ++i) Sleep(1);
    sched_param p{};
    int pol = -1;
    pthread_getschedparam(pthread_self(), &pol, &p);
    policy = pol;
    return 0;
  }, nullptr, 0, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(CeSetThreadPriority(t, 113));
  go = true;
  DWORD code = STILL_ACTIVE;
  for (int i = 0; i < 5000 && GetExitCodeThread(t, &code) && code == STILL_ACTIVE; ++i) Sleep(1);
  CloseHandle(t);
  EXPECT_EQ(policy.load(), SCHED_RR);
}
