// Receive and transmit paths on Windows CE: the polling thread's batches and
// events, GetCANMsg, SendCANMsg and the transmit ring.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "BoardSim.h"
#include "Ocelo.h"
#include "OceloCEState.h"
#include "ce_support.h"

using namespace cetest;

namespace {

constexpr int kRx = 4;  // receiving board
constexpr int kTx = 5;  // transmitting board

struct Msg {
  unsigned char mode = 0xEE, rtr = 0xEE, len = 0xEE;
  OceloULong id = 0xEEEEEEEE, upper = 0, lower = 0;
  unsigned char data[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
};

int Get(int slot, Msg& m) {
  return GetCANMsg(slot, &m.mode, &m.id, &m.rtr, &m.len, m.data, &m.upper, &m.lower);
}

// Waits (bounded) for the next message of the slot.
bool Receive(int slot, Msg& m) {
  int rc = OCELO_NO_MSG;
  WaitFor([&] {
    m = Msg{};
    rc = Get(slot, m);
    return rc != OCELO_NO_MSG;
  });
  return rc == OCELO_OK;
}

BoardSimFrame Frame(bool ext, uint32_t id, bool rtr, std::initializer_list<uint8_t> data) {
  BoardSimFrame f{};
  f.Ext = ext ? 1 : 0;
  f.Rtr = rtr ? 1 : 0;
  f.Id = id;
  f.Len = static_cast<unsigned char>(data.size());
  std::copy(data.begin(), data.end(), f.Data);
  return f;
}

void FreshBoard(int slot) {
  RakInit[slot].store(0);
  BoardSimDetach(slot);
  BoardSimAttach(slot);
  HalvexSimSetResetDelay(slot, HALVEXSIM_RESET_DELAY_MS);
}

class RxTxCE : public ::testing::Test {
 protected:
  void SetUp() override {
    FreshBoard(kRx);
    FreshBoard(kTx);
    ASSERT_EQ(OceloInit(kRx, 500000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);
    ASSERT_EQ(OceloInit(kTx, 500000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);
  }
  void TearDown() override {
    EXPECT_EQ(LostCommands(kRx) + LostCommands(kTx), 0u) << "commands lost in the board's command byte";
    FreshBoard(kRx);
    FreshBoard(kTx);
  }
};

}  // namespace

TEST_F(RxTxCE, StandardAndExtendedFramesAreDecoded) {
  BoardSimFrame std1 = Frame(false, 0x123, false, {0xAA, 0xBB});
  BoardSimFrame extRemote = Frame(true, 0x1ABCDEF0, true, {});
  extRemote.Len = 4;
  ASSERT_EQ(BoardSimBusSend(&std1, BOARDSIM_ANY_RATE), 0);
  ASSERT_EQ(BoardSimBusSend(&extRemote, BOARDSIM_ANY_RATE), 0);

  Msg m;
  ASSERT_TRUE(Receive(kRx, m));
  EXPECT_EQ(m.mode, 0);
  EXPECT_EQ(m.id, 0x123u);
  EXPECT_EQ(m.rtr, 0);
  EXPECT_EQ(m.len, 2);
  EXPECT_EQ(m.data[0], 0xAA);
  EXPECT_EQ(m.data[1], 0xBB);
  EXPECT_EQ(m.data[2], 0xEE);

  ASSERT_TRUE(Receive(kRx, m));
  EXPECT_EQ(m.mode, 1);
  EXPECT_EQ(m.id, 0x1ABCDEF0u);
  EXPECT_EQ(m.rtr, 1);
  EXPECT_EQ(m.len, 4);
  EXPECT_EQ(m.data[0], 0xEE) << "a remote frame leaves Data untouched";

  Msg none;
  EXPECT_EQ(Get(kRx, none), OCELO_NO_MSG);
  EXPECT_EQ(none.id, 0xEEEEEEEEu);
}

TEST_F(RxTxCE, BatchesAreTakenFromAlternatingZonesInOrder) {
  constexpr int kFrames = 300;  // several batches of up to 64
  for (int i = 0; i < kFrames; ++i) {
    BoardSimFrame f = Frame(false, 0x200 + (i % 16), false,
                            {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)});
    ASSERT_EQ(BoardSimBusSend(&f, BOARDSIM_ANY_RATE), 0);
  }
  for (int i = 0; i < kFrames; ++i) {
    Msg m;
    ASSERT_TRUE(Receive(kRx, m)) << i;
    EXPECT_EQ(m.id, 0x200u + (i % 16));
    EXPECT_EQ(m.data[0] | m.data[1] << 8, i);
  }
  // The last batch counts as taken once the firmware has read its command 9,
  // a reaction time after the library wrote it.
  BoardSimStats stats{};
  EXPECT_TRUE(WaitFor([&] {
    BoardSimGetStats(kRx, &stats);
    return stats.Batches >= 5u;
  })) << stats.Batches;
  EXPECT_EQ(stats.RxDropped, 0u);
}

// A simulation that runs late (a loaded machine, an emulator) sees the host
// clear its event byte long after the host's command 9 for the batch; the
// batch must count as taken all the same, and the next one go to the other
// zone, however late the firmware gets to both.
TEST_F(RxTxCE, ALateFirmwareKeepsTheBatchesInOrder) {
  ASSERT_EQ(BoardSimSetFault(kRx, BOARDSIM_FAULT_LATE_PASS_US, 2500), 0);
  constexpr int kFrames = 1500;  // frames keep arriving while batches are taken
  std::thread sender([] {
    for (int i = 0; i < kFrames; ++i) {
      BoardSimFrame f = Frame(false, 0x100, false, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)});
      while (BoardSimBusSend(&f, BOARDSIM_ANY_RATE) != 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
      std::this_thread::sleep_for(std::chrono::microseconds(150));
    }
  });
  int bad = 0;
  for (int i = 0; i < kFrames && bad < 5; ++i) {
    Msg m;
    if (!Receive(kRx, m)) { ++bad; ADD_FAILURE() << "no frame " << i; break; }
    if ((m.data[0] | m.data[1] << 8) != i) { ++bad; ADD_FAILURE() << "frame " << i << " is " << (m.data[0] | m.data[1] << 8); }
  }
  sender.join();
  ASSERT_EQ(BoardSimClearFault(kRx, BOARDSIM_FAULT_LATE_PASS_US), 0);
}

TEST_F(RxTxCE, CANStatusChangesReachGetStatus) {
  ASSERT_EQ(BoardSimSetCANStatus(kRx, 0x5A), 0);
  unsigned char canReg = 0, overflow = 0;
  EXPECT_TRUE(WaitFor([&] {
    GetStatus(kRx, &canReg, &overflow);
    return canReg == 0x5A;
  }));
}

TEST_F(RxTxCE, OverflowBlocksGetCANMsgUntilClearStatus) {
  ASSERT_EQ(BoardSimSetRxCapacity(kRx, 2), 0);
  // No reader: the library's buffer takes one batch, the board two more
  // frames, and the rest overflows.
  for (int i = 0; i < 200; ++i) {
    BoardSimFrame f = Frame(false, 0x300, false, {static_cast<uint8_t>(i)});
    BoardSimBusSend(&f, BOARDSIM_ANY_RATE);
  }
  ASSERT_TRUE(WaitFor([&] { return BufStatus[kRx].load() != 0; }));
  Msg m;
  EXPECT_EQ(Get(kRx, m), OCELO_OVERFLOW);
  unsigned char canReg = 0, overflow = 0;
  GetStatus(kRx, &canReg, &overflow);
  EXPECT_NE(overflow, 0);

  EXPECT_EQ(ClearStatus(kRx), OCELO_OK);
  ASSERT_TRUE(Receive(kRx, m));
  EXPECT_EQ(m.id, 0x300u);
  EXPECT_EQ(m.data[0], 0);
}

TEST_F(RxTxCE, ABoardResetUninitialisesTheSlotUntilOceloInit) {
  // The polling thread has handled the reset event once it has also noted
  // the reset (the mark OceloInit left is cleared first): a new OceloInit
  // before that would take this reset for its own.
  RakCANSystemReset[kRx].store(0);
  ASSERT_EQ(BoardSimSpontaneousReset(kRx), 0);
  ASSERT_TRUE(WaitFor([&] { return RakInit[kRx].load() == 0 && RakCANSystemReset[kRx].load() == 1; }));
  Msg m;
  EXPECT_EQ(Get(kRx, m), OCELO_NOT_INIT);
  EXPECT_EQ(SendCANMsg(kRx, 0, 1, 1, 0, nullptr), OCELO_NOT_INIT);

  ASSERT_EQ(OceloInit(kRx, 500000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);
  BoardSimFrame f = Frame(false, 0x42, false, {7});
  BoardSimBusSend(&f, BOARDSIM_ANY_RATE);
  ASSERT_TRUE(Receive(kRx, m));
  EXPECT_EQ(m.id, 0x42u);
}

TEST_F(RxTxCE, ReadyEventIsAnsweredWithCommand9AndLeftToTheBoard) {
  // A started board reports that it is ready (event 80).
  HalvexSimLogStart();
  ASSERT_EQ(OceloInit(kRx, 500000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);
  ASSERT_TRUE(WaitFor([&] {
    unsigned char codes[256];
    int n = BoardSimCommandLog(kRx, codes, nullptr, 256);
    auto start = std::find(codes, codes + n, 4);
    return start != codes + n && std::find(start, codes + n, 9) != codes + n;
  }));
  EXPECT_TRUE(WaitFor([&] { return BoardSimPeek(kRx, 8177) == 0; }));
  auto log = TakeLog();
  auto isCommand = [](uint8_t code) {
    return [code](const DpramAccess& a) {
      return a.slot == kRx && a.write && !a.pageWrite && a.addr == 8191 && a.value == code;
    };
  };
  auto start = std::find_if(log.begin(), log.end(), isCommand(4));
  auto answer = std::find_if(start, log.end(), isCommand(9));
  ASSERT_NE(answer, log.end());
  // The library left the event byte to the board.
  EXPECT_TRUE(std::none_of(start, answer, [](const DpramAccess& a) {
    return a.slot == kRx && a.write && !a.pageWrite && (a.addr == 8177 || a.addr == 8178);
  }));
}

TEST_F(RxTxCE, ACountOfZeroTakesNoRecordsAndTheBoardIsToldToGoOn) {
  ASSERT_EQ(BoardSimSetFault(kRx, BOARDSIM_FAULT_RX_COUNT, 0), 0);
  BoardSimFrame f = Frame(false, 0x55, false, {1});
  BoardSimBusSend(&f, BOARDSIM_ANY_RATE);
  BoardSimStats before{};
  BoardSimGetStats(kRx, &before);
  ASSERT_TRUE(WaitFor([&] {
    BoardSimStats s{};
    BoardSimGetStats(kRx, &s);
    return s.Commands[9] >= before.Commands[9] + 2;
  }));
  Msg m;
  EXPECT_EQ(Get(kRx, m), OCELO_NO_MSG);
  EXPECT_EQ(DPStartToReadIndex[kRx].load(), 0);

  // With the true count the same batch arrives.
  ASSERT_EQ(BoardSimClearFault(kRx, BOARDSIM_FAULT_RX_COUNT), 0);
  ASSERT_TRUE(Receive(kRx, m));
  EXPECT_EQ(m.id, 0x55u);
  EXPECT_EQ(DPStartToReadIndex[kRx].load(), 1);
}

TEST_F(RxTxCE, TransmitRecordsGoIntoTheRingAndOnTheBus) {
  unsigned char data[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  ASSERT_EQ(TxMsgStartAddr[kTx].load(), 2688);
  ASSERT_EQ(SendCANMsg(kTx, 0, 0x7FF, 0, 8, data), OCELO_OK);
  std::vector<uint8_t> ring;
  for (unsigned a = 2688; a < 2699; ++a) ring.push_back(BoardSimPeek(kTx, a));
  EXPECT_EQ(ring, (std::vector<uint8_t>{0x08, 0xFF, 0xE0, 1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(TxMsgStartAddr[kTx].load(), 2701);

  // An extended remote frame never reads Data.
  ASSERT_EQ(SendCANMsg(kTx, 1, 0x1FFFFFFF, 1, 3, nullptr), OCELO_OK);
  ring.clear();
  for (unsigned a = 2701; a < 2706; ++a) ring.push_back(BoardSimPeek(kTx, a));
  EXPECT_EQ(ring, (std::vector<uint8_t>{0xC3, 0xFF, 0xFF, 0xFF, 0xF8}));

  // A length above 8 is sent as 8.
  ASSERT_EQ(SendCANMsg(kTx, 0, 0x100, 0, 12, data), OCELO_OK);
  EXPECT_EQ(BoardSimPeek(kTx, 2714), 0x08);

  Msg m;
  ASSERT_TRUE(Receive(kRx, m));
  EXPECT_EQ(m.id, 0x7FFu);
  EXPECT_EQ(m.len, 8);
  EXPECT_EQ(m.data[7], 8);
  ASSERT_TRUE(Receive(kRx, m));
  EXPECT_EQ(m.mode, 1);
  EXPECT_EQ(m.rtr, 1);
  EXPECT_EQ(m.len, 3);
  EXPECT_EQ(m.id, 0x1FFFFFFFu);
  ASSERT_TRUE(Receive(kRx, m));
  EXPECT_EQ(m.len, 8);

  // A data frame without its data is refused before anything is written.
  EXPECT_EQ(SendCANMsg(kTx, 0, 0x100, 0, 2, nullptr), OCELO_ERR_BOARD);
  EXPECT_EQ(TxMsgStartAddr[kTx].load(), 2727);
}

TEST_F(RxTxCE, TheRingWrapsAfter256Records) {
  unsigned char data[1] = {0};
  for (int i = 0; i < 255; ++i) ASSERT_EQ(SendCANMsg(kTx, 0, 0x10, 0, 1, data), OCELO_OK) << i;
  EXPECT_EQ(TxMsgStartAddr[kTx].load(), 6003);
  data[0] = 0x99;
  ASSERT_EQ(SendCANMsg(kTx, 0, 0x10, 0, 1, data), OCELO_OK);
  EXPECT_EQ(BoardSimPeek(kTx, 6003 + 3), 0x99);
  EXPECT_EQ(TxMsgStartAddr[kTx].load(), 2688);
}

TEST_F(RxTxCE, AStaleAcknowledgementIsClearedAndTheCommandRetried) {
  ASSERT_EQ(BoardSimSetFault(kTx, BOARDSIM_FAULT_NO_TX_ACK, 1), 0);
  BoardSimPoke(kTx, 8185, 102);
  unsigned char data[1] = {5};
  HalvexSimLogStart();
  EXPECT_EQ(SendCANMsg(kTx, 0, 0x10, 0, 1, data), OCELO_ERR_BOARD);
  auto log = TakeLog();
  EXPECT_EQ(AppCommandWrites(log, kTx), std::vector<uint8_t>(10, 1));
  auto ackClear = std::find_if(log.begin(), log.end(), [](const DpramAccess& a) {
    return a.slot == kTx && a.write && !a.pageWrite && a.addr == 8185 && a.value == 0;
  });
  // The application's command 1, not a command of the polling thread.
  auto firstCommand = std::find_if(log.begin(), log.end(), [](const DpramAccess& a) {
    return a.slot == kTx && a.write && !a.pageWrite && a.addr == 8191 && a.value == 1;
  });
  ASSERT_NE(firstCommand, log.end());
  EXPECT_TRUE(ackClear < firstCommand);
  // The ring moved on once, not once per attempt.
  EXPECT_EQ(TxMsgStartAddr[kTx].load(), 2701);
}

TEST_F(RxTxCE, BlockedTransmissionWritesNothing) {
  ASSERT_EQ(BoardSimSetFault(kTx, BOARDSIM_FAULT_TX_BLOCKED, 1), 0);
  unsigned char data[1] = {5};
  HalvexSimLogStart();
  EXPECT_EQ(SendCANMsg(kTx, 0, 0x10, 0, 1, data), OCELO_OVERFLOW);
  auto log = TakeLog();
  // Neither a record, nor the acknowledgement byte, nor command 1 (the
  // polling thread's own commands may appear).
  for (const auto& a : log) {
    bool txWrite = a.slot == kTx && a.write && !a.pageWrite &&
                   ((a.addr >= 2688 && a.addr < 6016) || a.addr == 8185 || (a.addr == 8191 && a.value == 1));
    EXPECT_FALSE(txWrite) << "write at " << a.addr;
  }
  EXPECT_EQ(TxMsgStartAddr[kTx].load(), 2688);
}

// The polling thread against several application threads on their own
// slots (run under ThreadSanitizer by the tsan preset).
TEST_F(RxTxCE, PollingThreadAgainstSeveralApplicationThreads) {
  constexpr int kGenerated = 3000;
  constexpr int kSent = 1000;
  // The receiving board takes only the generator's identifier 0x100; the
  // third board (slot 3) takes only the sender's 0x200.
  FreshBoard(3);
  ASSERT_EQ(OceloInit(3, 500000, 0, 0, 0x200u << 21, 0x001FFFFF), OCELO_OK);
  ASSERT_EQ(SetCANMask(kRx, 0x100u << 21, 0x001FFFFF), OCELO_OK);
  ASSERT_EQ(SetCANMask(kTx, 0x300u << 21, 0x001FFFFF), OCELO_OK);
  BoardSimFrame tpl = Frame(false, 0x100, false, {0, 0, 0, 0});
  ASSERT_EQ(BoardSimTrafficStart(0, &tpl, BOARDSIM_ANY_RATE), 0);

  std::atomic<bool> stop{false};
  std::atomic<int> generatedSeen{0}, sentSeen{0}, errors{0};
  std::thread generatedReader([&] {
    Msg m;
    uint32_t expect = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (expect < kGenerated && std::chrono::steady_clock::now() < end) {
      int rc = Get(kRx, m);
      if (rc == OCELO_NO_MSG) {
        Sleep(1);
        continue;
      }
      uint32_t seq = m.data[0] | m.data[1] << 8 | m.data[2] << 16 | static_cast<uint32_t>(m.data[3]) << 24;
      if (rc != OCELO_OK || m.id != 0x100 || seq != expect) ++errors;
      expect = seq + 1;
      generatedSeen = static_cast<int>(expect);
    }
  });
  std::thread sender([&] {
    for (int i = 0; i < kSent && !stop; ++i) {
      unsigned char data[2] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
      if (SendCANMsg(kTx, 0, 0x200, 0, 2, data) != OCELO_OK) ++errors;
      // Keep at most a few hundred frames in flight towards slot 3.
      WaitFor([&] { return i - sentSeen.load() < 500; });
    }
  });
  std::thread sentReader([&] {
    Msg m;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (sentSeen < kSent && std::chrono::steady_clock::now() < end) {
      int rc = Get(3, m);
      if (rc == OCELO_NO_MSG) {
        Sleep(1);
        continue;
      }
      if (rc != OCELO_OK || m.id != 0x200 || (m.data[0] | m.data[1] << 8) != sentSeen) ++errors;
      ++sentSeen;
    }
  });
  std::thread watcher([&] {
    while (!stop) {
      unsigned char canReg = 0, overflow = 0, bt0 = 0, bt1 = 0;
      OceloULong baud = 0, code = 0, mask = 0;
      GetStatus(kRx, &canReg, &overflow);
      GetCANBaud(kTx, &baud, &bt0, &bt1);
      GetCANMask(3, &code, &mask);
      if (baud != 500000 || code != 0x200u << 21) ++errors;
      (void)DPRAMReadShort(SlotBases[kRx], 6027);
      Sleep(2);
    }
  });
  generatedReader.join();
  sentReader.join();
  stop = true;
  sender.join();
  watcher.join();
  BoardSimTrafficStop();
  EXPECT_GE(generatedSeen.load(), kGenerated);
  EXPECT_EQ(sentSeen.load(), kSent);
  EXPECT_EQ(errors.load(), 0);
  EXPECT_EQ(LostCommands(3), 0u);
  FreshBoard(3);
}

TEST_F(RxTxCE, TwoThreadsSendingOnOneSlotLoseNoFrame) {
  constexpr int kEach = 200;
  auto send = [](uint8_t thread) {
    for (int i = 0; i < kEach; ++i) {
      unsigned char data[2] = {thread, static_cast<uint8_t>(i)};
      EXPECT_EQ(SendCANMsg(kTx, 0, 0x300, 0, 2, data), OCELO_OK);
    }
  };
  std::thread a(send, 1), b(send, 2);
  a.join();
  b.join();
  int next[3] = {0, 0, 0};
  Msg m;
  for (int n = 0; n < 2 * kEach && Receive(kRx, m); ++n) {
    ASSERT_TRUE(m.len == 2 && (m.data[0] == 1 || m.data[0] == 2)) << n;
    EXPECT_EQ(m.data[1], next[m.data[0]]++) << "thread " << int(m.data[0]);
  }
  EXPECT_EQ(next[1] + next[2], 2 * kEach);
}

// The polling thread visits every slot from 1 to 7: boards in the first and
// the last slot come up (OceloInit waits for the thread to see their reset),
// receive, and send to each other.
TEST(PollThreadCE, ServesTheFirstAndTheLastSlot) {
  for (int slot : {1, 7}) FreshBoard(slot);
  for (int slot : {1, 7}) ASSERT_EQ(OceloInit(slot, 500000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK) << slot;
  BoardSimFrame f = Frame(false, 0x3A7, false, {0x17});
  ASSERT_EQ(BoardSimBusSend(&f, BOARDSIM_ANY_RATE), 0);
  for (int slot : {1, 7}) {
    Msg m;
    ASSERT_TRUE(Receive(slot, m)) << slot;
    EXPECT_EQ(m.id, 0x3A7u);
    EXPECT_EQ(m.data[0], 0x17);
  }
  for (int from : {7, 1}) {
    unsigned char data[1] = {static_cast<unsigned char>(from)};
    ASSERT_EQ(SendCANMsg(from, 1, 0x1000000u + from, 0, 1, data), OCELO_OK) << from;
    Msg m;
    ASSERT_TRUE(Receive(8 - from, m)) << from;
    EXPECT_EQ(m.id, 0x1000000u + from);
    EXPECT_EQ(m.data[0], from);
  }
  for (int slot : {1, 7}) {
    EXPECT_EQ(LostCommands(slot), 0u) << slot;
    FreshBoard(slot);
  }
}
