// libOceloCE.so as an application meets it: loaded with dlopen (process
// attach), used through its exports, unloaded with dlclose (process detach).
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "BoardSim.h"
#include "Ocelo.h"
#include "ce_support.h"

using namespace cetest;

namespace {

struct Api {
  decltype(&::OceloInit) OceloInit;
  decltype(&::SendCANMsg) SendCANMsg;
  decltype(&::GetCANMsg) GetCANMsg;
  decltype(&::GetStatus) GetStatus;
};

// The export table, in ordinal order: ordinal i + 1 is kExports[i].
const char* const kExports[17] = {
    "ClearStatus", "DPRAMMultiRead", "DPRAMMultiWrite", "DPRAMReadByte", "DPRAMReadShort",
    "DPRAMWriteByte", "DPRAMWriteShort", "GetCANBaud", "GetCANMask", "GetCANMsg",
    "GetStatus", "OceloInit", "ResetOcelo", "SendCANMsg", "SetCANBaud", "SetCANMask",
    "Trigger186Int"};

int ThreadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.' ? 1 : 0;
    closedir(d);
  }
  return n;
}

class OceloCEDll : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    BoardSimSetBus("off");
    // Plugs the boards and starts the simulation before anything is counted.
    GetSlotAddr(0);
  }
  static void TearDownTestSuite() { BoardSimShutdown(); }

  void TearDown() override {
    if (handle_ != nullptr) dlclose(handle_);
  }

  void Load() {
    handle_ = dlopen(OCELOCE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    api_.OceloInit = reinterpret_cast<decltype(api_.OceloInit)>(dlsym(handle_, "OceloInit"));
    api_.SendCANMsg = reinterpret_cast<decltype(api_.SendCANMsg)>(dlsym(handle_, "SendCANMsg"));
    api_.GetCANMsg = reinterpret_cast<decltype(api_.GetCANMsg)>(dlsym(handle_, "GetCANMsg"));
    api_.GetStatus = reinterpret_cast<decltype(api_.GetStatus)>(dlsym(handle_, "GetStatus"));
    ASSERT_TRUE(api_.OceloInit && api_.SendCANMsg && api_.GetCANMsg && api_.GetStatus);
  }

  void Unload() {
    ASSERT_EQ(dlclose(handle_), 0);
    handle_ = nullptr;
    // Really gone: its unload ran.
    EXPECT_EQ(dlopen(OCELOCE_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr);
  }

  void* handle_ = nullptr;
  Api api_{};
};

}  // namespace

TEST_F(OceloCEDll, LoadAndUnloadWithoutOceloInitTouchNoBoard) {
  const int threadsBefore = ThreadCount();
  HalvexSimResetSlotQueries();
  HalvexSimLogStart();
  Load();
  EXPECT_EQ(ThreadCount(), threadsBefore + 1) << "the polling thread runs";
  // Every slot address was asked for at load, slot 0 included.
  EXPECT_EQ(HalvexSimSlotQueries(), 0xFFu);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Unload();
  EXPECT_TRUE(TakeLog().empty());
  EXPECT_EQ(ThreadCount(), threadsBefore) << "the polling thread ended";
}

TEST_F(OceloCEDll, UnloadTellsOnlyTheInitialisedBoardsThatTheHostIsGone) {
  Load();
  ASSERT_EQ(api_.OceloInit(2, 125000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);
  ASSERT_EQ(api_.OceloInit(5, 125000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);
  HalvexSimLogStart();
  Unload();
  auto log = TakeLog();
  for (int slot = 0; slot < 8; ++slot) {
    if (slot == 2 || slot == 5) {
      EXPECT_EQ(CommandWrites(log, slot).back(), 80) << slot;
      bool readCode = std::any_of(log.begin(), log.end(), [&](const DpramAccess& a) {
        return a.slot == slot && !a.write && a.addr == 8190;
      });
      EXPECT_TRUE(readCode) << slot;
    } else {
      EXPECT_EQ(AccessesOn(log, slot), 0u) << slot;
    }
  }
  // The boards take the command on their own time: give them a moment.
  unsigned char codes[256];
  for (int slot : {2, 5}) {
    int n = 0;
    for (int tries = 0; tries < 200; ++tries) {
      n = BoardSimCommandLog(slot, codes, nullptr, 256);
      if (n > 0 && codes[n - 1] == 80) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GT(n, 0);
    EXPECT_EQ(codes[n - 1], 80) << slot;
  }
}

TEST_F(OceloCEDll, ExportsExactlyTheListedFunctions) {
  Load();
  for (const char* name : kExports) EXPECT_NE(dlsym(handle_, name), nullptr) << name;
  for (const char* name : {"RecoverOcelo", "TimerReset", "TimerCheck", "RakInit", "BufStatus",
                           "CANReadMsg", "ReadCheckedByte", "WriteCheckedByte", "DllMain",
                           "InitializeCriticalSection", "CreateThread", "Sleep", "OceloPollThread"})
    EXPECT_EQ(dlsym(handle_, name), nullptr) << name;
}

// The Windows build takes its export table from the module-definition file:
// each function must sit there at its own ordinal (applications that import
// by ordinal call whatever that ordinal names).
TEST(OceloCEExports, TheDefinitionFileGivesEachFunctionItsOrdinal) {
  std::ifstream def(OCELOCE_DEF);
  ASSERT_TRUE(def) << OCELOCE_DEF;
  bool seen[17] = {};
  int entries = 0;
  for (std::string line; std::getline(def, line);) {
    std::istringstream words(line);
    std::string name, ordinal;
    if (!(words >> name >> ordinal) || ordinal.size() < 2 || ordinal[0] != '@') continue;
    int n = std::atoi(ordinal.c_str() + 1);
    ++entries;
    ASSERT_TRUE(n >= 1 && n <= 17) << line;
    EXPECT_EQ(name, kExports[n - 1]) << "ordinal " << n;
    EXPECT_FALSE(seen[n - 1]) << "ordinal " << n << " twice";
    seen[n - 1] = true;
  }
  EXPECT_EQ(entries, 17);
}

TEST_F(OceloCEDll, ReloadingStartsAfresh) {
  for (int round = 0; round < 3; ++round) {
    Load();
    ASSERT_EQ(api_.OceloInit(3, 250000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK) << round;
    BoardSimFrame f{};
    f.Id = 0x77;
    f.Len = 1;
    f.Data[0] = static_cast<unsigned char>(round);
    BoardSimBusSend(&f, BOARDSIM_ANY_RATE);
    unsigned char mode = 0, rtr = 0, len = 0, data[8] = {};
    OceloULong id = 0, t1 = 0, t2 = 0;
    ASSERT_TRUE(WaitFor([&] { return api_.GetCANMsg(3, &mode, &id, &rtr, &len, data, &t1, &t2) == OCELO_OK; }));
    EXPECT_EQ(id, 0x77u);
    EXPECT_EQ(data[0], round);
    Unload();
  }
}

// Two boards on one bus: 3000 frames from slot 2 to slot 5 and, at the same
// time, 300 from slot 5 to slot 2, standard and extended, data and remote;
// none may be lost, duplicated or altered.  The senders keep at most kWindow
// frames unread by the other side, as an application must when the
// receiving side drains at the polling thread's pace (a batch per visit and
// a pause of a millisecond or more after each: a few seconds here, a minute
// on a loaded machine; the long run is can_bench_ce --two-way).
TEST_F(OceloCEDll, TwoBoardsOnOneBusPassFramesBothWaysWithoutLoss) {
  constexpr uint32_t kForward = 3000;
  constexpr uint32_t kBackward = 300;
  constexpr int kWindow = 1000;  // frames in flight; the board holds 2048 more
  Load();
  ASSERT_EQ(api_.OceloInit(2, 1000000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);
  ASSERT_EQ(api_.OceloInit(5, 1000000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(500);
  auto timeLeft = [&] { return std::chrono::steady_clock::now() < deadline; };
  std::atomic<uint32_t> received[8] = {};
  std::atomic<int> errors{0};

  // Frame n of a direction: identifiers and formats vary with n, the data
  // carry n.
  auto send = [&](int from, int to, uint32_t count) {
    for (uint32_t n = 0; n < count && timeLeft(); ++n) {
      while (n - received[to].load() >= kWindow && timeLeft()) std::this_thread::sleep_for(std::chrono::microseconds(200));
      unsigned char data[8] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                               static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(from)};
      unsigned char ext = n % 3 == 0;
      unsigned char remote = n % 7 == 6;
      OceloULong id = ext ? (0x1000000u + n) & 0x1FFFFFFF : (n & 0x7FF);
      if (api_.SendCANMsg(from, ext, id, remote, static_cast<unsigned char>(4 + n % 5), data) != OCELO_OK) ++errors;
    }
  };
  auto receive = [&](int slot, int from, uint32_t count) {
    unsigned char mode = 0, rtr = 0, len = 0, data[8] = {};
    OceloULong id = 0, t1 = 0, t2 = 0;
    while (received[slot] < count && timeLeft()) {
      int rc = api_.GetCANMsg(slot, &mode, &id, &rtr, &len, data, &t1, &t2);
      if (rc == OCELO_NO_MSG) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        continue;
      }
      uint32_t n = received[slot].load();
      bool ext = n % 3 == 0;
      bool remote = n % 7 == 6;
      // A remote frame carries no data: its identifier and length tell it.
      uint32_t seq = remote ? n : (data[0] | data[1] << 8 | data[2] << 16);
      int sender = remote ? from : data[3];
      OceloULong expectId = ext ? (0x1000000u + n) & 0x1FFFFFFF : (n & 0x7FF);
      if (rc != OCELO_OK || seq != n || sender != from || mode != ext || id != expectId ||
          rtr != remote || len != 4 + n % 5) {
        if (errors++ < 5)
          ADD_FAILURE() << "slot " << slot << " frame " << n << ": rc " << rc << " seq " << seq << " id " << id;
      }
      ++received[slot];
    }
  };

  std::thread forwardTx(send, 2, 5, kForward);
  std::thread backwardTx(send, 5, 2, kBackward);
  std::thread forwardRx(receive, 5, 2, kForward);
  std::thread backwardRx(receive, 2, 5, kBackward);
  forwardTx.join();
  backwardTx.join();
  forwardRx.join();
  backwardRx.join();

  EXPECT_EQ(received[5].load(), kForward);
  EXPECT_EQ(received[2].load(), kBackward);
  EXPECT_EQ(errors.load(), 0);
  // Nothing extra behind the last frames.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  unsigned char mode = 0, rtr = 0, len = 0, data[8] = {};
  OceloULong id = 0, t1 = 0, t2 = 0;
  EXPECT_EQ(api_.GetCANMsg(5, &mode, &id, &rtr, &len, data, &t1, &t2), OCELO_NO_MSG);
  EXPECT_EQ(api_.GetCANMsg(2, &mode, &id, &rtr, &len, data, &t1, &t2), OCELO_NO_MSG);
  unsigned char canReg = 0, overflow = 0;
  api_.GetStatus(5, &canReg, &overflow);
  EXPECT_EQ(overflow, 0);
  BoardSimStats stats{};
  BoardSimGetStats(5, &stats);
  EXPECT_EQ(stats.RxDropped, 0u);
  EXPECT_EQ(stats.TxFrames, kBackward);
  BoardSimGetStats(2, &stats);
  EXPECT_EQ(stats.RxDropped, 0u);
  // Every frame went on the bus once: no command 1 was repeated for a
  // request the board had taken.
  EXPECT_EQ(stats.TxFrames, kForward);
  EXPECT_EQ(LostCommands(2) + LostCommands(5), 0u);
}
