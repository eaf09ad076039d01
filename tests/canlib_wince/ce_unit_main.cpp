// The OceloCE back-end linked into the test program: the library's load runs
// once for the whole program (as process attach of the DLL), on boards of a
// bus that stays inside this process.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "BoardSim.h"
#include "OceloCEState.h"

// Lets a test make the allocation of a receive buffer fail.
std::atomic<bool> FailRxBufferAlloc{false};

extern "C" void* __real_malloc(size_t size);
extern "C" void* __wrap_malloc(size_t size) {
  if (size == static_cast<size_t>(kRxBufferBytes) && FailRxBufferAlloc.exchange(false)) return nullptr;
  return __real_malloc(size);
}

namespace {

class OceloCELoaded : public ::testing::Environment {
 public:
  void SetUp() override {
    BoardSimSetBus("off");
    OceloProcessAttach();
  }
  void TearDown() override {
    OceloProcessDetach();
    BoardSimShutdown();
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new OceloCELoaded);
  return RUN_ALL_TESTS();
}
