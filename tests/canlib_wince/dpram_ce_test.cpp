// DPRAM access through HalvexSDK: page-saving transfers, Trigger186Int and
// the checked status bytes.  The board in slot 3 is never reset, so it
// leaves its DPRAM to the test.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <numeric>
#include <thread>

#include "BoardSim.h"
#include "Ocelo.h"
#include "OceloCEState.h"
#include "ce_support.h"

using namespace cetest;

namespace {

constexpr int kSlot = 3;

uint32_t Base() { return SlotBases[kSlot]; }

void PokePattern(uint16_t from, int count, uint8_t seed) {
  for (int i = 0; i < count; ++i) BoardSimPoke(kSlot, from + i, static_cast<uint8_t>(seed + i * 7));
}

}  // namespace

TEST(DpramCE, ShortReadsOnTwoPagesFromTwoThreadsNeverTear) {
  // The same offset of two pages holds different words.
  BoardSimPoke(kSlot, 3000, 0x11);
  BoardSimPoke(kSlot, 3001, 0x22);
  BoardSimPoke(kSlot, 3320, 0x33);
  BoardSimPoke(kSlot, 3321, 0x44);
  std::atomic<int> torn{0};
  auto reader = [&](uint16_t addr, uint16_t want) {
    for (int i = 0; i < 200000; ++i)
      if (DPRAMReadShort(Base(), addr) != want) ++torn;
  };
  std::thread a(reader, 3000, 0x2211), b(reader, 3320, 0x4433), c(reader, 3000, 0x2211), d(reader, 3320, 0x4433);
  a.join();
  b.join();
  c.join();
  d.join();
  EXPECT_EQ(torn.load(), 0);
}

// The system stops the other threads of an ending process wherever they
// are; the unload must not wait for a lock one of them held.
TEST(DpramCE, AnEndingProcessUnloadsThoughAStoppedThreadHeldTheLock) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        alarm(10);
        std::thread([] { EnterCriticalSection(&DpramLock); }).join();
        RakInit[kSlot].store(1);
        OceloProcessDetach(true);
        std::_Exit(BoardSimPeek(kSlot, 8191) == 80 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(DpramCE, SlotBasesComeFromTheFirstRegisterOfEachSlot) {
  for (int s = 0; s < kOceloSlots; ++s) EXPECT_EQ(SlotBases[s], GetSlotAddr(s)) << s;
  BoardSimPoke(kSlot, 100, 0x5C);
  EXPECT_EQ(DPRAMReadByte(Base(), 100), 0x5C);
  DPRAMWriteByte(Base(), 4000, 0xA7);
  EXPECT_EQ(BoardSimPeek(kSlot, 4000), 0xA7);
}

TEST(DpramCE, ShortAcrossAPageEndWritesBothPages) {
  BoardSimPoke(kSlot, 6015, 0x34);
  BoardSimPoke(kSlot, 6016, 0x12);
  HalvexSimLogStart();
  EXPECT_EQ(DPRAMReadShort(Base(), 6015), 0x1234);
  DPRAMWriteShort(Base(), 6015, 0xBEEF);
  auto log = TakeLog();
  EXPECT_EQ(PageWrites(log, kSlot), (std::vector<uint8_t>{187, 188, 187, 188}));
  EXPECT_EQ(BoardSimPeek(kSlot, 6015), 0xEF);
  EXPECT_EQ(BoardSimPeek(kSlot, 6016), 0xBE);
}

TEST(DpramCE, ShortInsideAPageWritesThePageOnce) {
  HalvexSimLogStart();
  DPRAMWriteShort(Base(), 8183, 0xFF00);
  EXPECT_EQ(DPRAMReadShort(Base(), 8183), 0xFF00);
  auto log = TakeLog();
  EXPECT_EQ(PageWrites(log, kSlot), (std::vector<uint8_t>{255, 255}));
  EXPECT_EQ(BoardSimPeek(kSlot, 8183), 0x00);
  EXPECT_EQ(BoardSimPeek(kSlot, 8184), 0xFF);
}

TEST(DpramCE, FortyBytesFromAPageStartWriteThePageRegisterTwice) {
  PokePattern(6016, 40, 11);
  uint8_t got[40] = {};
  HalvexSimLogStart();
  DPRAMMultiRead(Base(), 6016, 40, got);
  auto log = TakeLog();
  EXPECT_EQ(PageWrites(log, kSlot), (std::vector<uint8_t>{188, 189}));
  for (int i = 0; i < 40; ++i) EXPECT_EQ(got[i], BoardSimPeek(kSlot, 6016 + i)) << i;

  uint8_t out[40];
  std::iota(out, out + 40, static_cast<uint8_t>(200));
  HalvexSimLogStart();
  DPRAMMultiWrite(Base(), 6016, 40, out);
  log = TakeLog();
  EXPECT_EQ(PageWrites(log, kSlot), (std::vector<uint8_t>{188, 189}));
  for (int i = 0; i < 40; ++i) EXPECT_EQ(BoardSimPeek(kSlot, 6016 + i), out[i]) << i;
}

TEST(DpramCE, UnalignedBlockStartsMidPageAndFollowsEveryPageStart) {
  PokePattern(5990, 80, 3);
  uint8_t got[80] = {};
  HalvexSimLogStart();
  DPRAMMultiRead(Base(), 5990, 80, got);
  auto log = TakeLog();
  // 5990 is byte 6 of page 187; the block ends in page 189.
  EXPECT_EQ(PageWrites(log, kSlot), (std::vector<uint8_t>{187, 188, 189}));
  for (int i = 0; i < 80; ++i) EXPECT_EQ(got[i], BoardSimPeek(kSlot, 5990 + i)) << i;
  size_t windowReads = 0;
  for (const auto& a : log) windowReads += (!a.pageWrite && !a.write) ? 1 : 0;
  EXPECT_EQ(windowReads, 80u);
}

TEST(DpramCE, EmptyBlockTouchesNothing) {
  uint8_t buf[4] = {1, 2, 3, 4};
  HalvexSimLogStart();
  DPRAMMultiRead(Base(), 6016, 0, buf);
  DPRAMMultiWrite(Base(), 6016, 0, buf);
  EXPECT_TRUE(TakeLog().empty());
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(buf[3], 4);
}

TEST(DpramCE, AddressesAreTakenAs16BitsWithThePageModulo256) {
  BoardSimPoke(kSlot, 5, 0x66);
  // 8192 + 5: page 256 wraps to page 0.
  EXPECT_EQ(DPRAMReadByte(Base(), 8197), 0x66);
}

TEST(DpramCE, TriggerPausesTwoMillisecondsUnlessToldNotTo) {
  unsigned long sleeps = CeSleepCallCount();
  HalvexSimLogStart();
  auto t0 = std::chrono::steady_clock::now();
  Trigger186Int(Base(), 11, 0);
  auto elapsed = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(CeSleepCallCount(), sleeps + 1);
  EXPECT_GE(elapsed, std::chrono::milliseconds(2));
  Trigger186Int(Base(), 11, 1);
  EXPECT_EQ(CeSleepCallCount(), sleeps + 1);
  auto log = TakeLog();
  EXPECT_EQ(CommandWrites(log, kSlot), (std::vector<uint8_t>{11, 11}));
}

TEST(DpramCE, CheckedReadAcceptsOnlyAComplementedPair) {
  PokePair(kSlot, 6027, 0x10);
  uint8_t value = 0;
  EXPECT_EQ(ReadCheckedByte(Base(), 6027, &value), 0);
  EXPECT_EQ(value, 0x10);

  BoardSimPoke(kSlot, 6027, 0x10);
  BoardSimPoke(kSlot, 6028, 0x00);
  value = 0x77;
  HalvexSimLogStart();
  EXPECT_EQ(ReadCheckedByte(Base(), 6027, &value), 43);
  auto log = TakeLog();
  EXPECT_EQ(value, 0x77);
  size_t reads = 0;
  for (const auto& a : log) reads += (!a.pageWrite && !a.write && a.addr == 6027) ? 1 : 0;
  EXPECT_EQ(reads, 3u);
}

TEST(DpramCE, CheckedWriteStoresTheComplementAndVerifies) {
  EXPECT_EQ(WriteCheckedByte(Base(), 8177, 0x30), 0);
  EXPECT_EQ(BoardSimPeek(kSlot, 8177), 0x30);
  EXPECT_EQ(BoardSimPeek(kSlot, 8178), 0xCF);

  // Without a board the registers read 0xFF: the verification fails.
  BoardSimDetach(6);
  HalvexSimLogStart();
  EXPECT_EQ(WriteCheckedByte(SlotBases[6], 8177, 0), 42);
  auto log = TakeLog();
  size_t writes = 0;
  for (const auto& a : log) writes += (!a.pageWrite && a.write && a.addr == 8177) ? 1 : 0;
  EXPECT_EQ(writes, 3u);
  BoardSimAttach(6);
}
