// libhalvexsim: the Windows CE platform library's slot I/O on the simulated
// boards.
#include "halvexsim.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "BoardSim.h"

namespace {

std::atomic<unsigned> slotQueries{0};
// The page register of each slot as last written, to recognise commands.
std::atomic<uint8_t> pageOf[BOARDSIM_SLOTS];
std::atomic<int> resetDelayMs[BOARDSIM_SLOTS] = {
    HALVEXSIM_RESET_DELAY_MS, HALVEXSIM_RESET_DELAY_MS, HALVEXSIM_RESET_DELAY_MS,
    HALVEXSIM_RESET_DELAY_MS, HALVEXSIM_RESET_DELAY_MS, HALVEXSIM_RESET_DELAY_MS,
    HALVEXSIM_RESET_DELAY_MS, HALVEXSIM_RESET_DELAY_MS};
constexpr unsigned kCommandReg = 32 + (8191 & 31);
constexpr uint8_t kCommandPage = 8191 >> 5;
constexpr uint8_t kSystemResetForPolling = 12;
std::once_flag boardsPlugged;

std::mutex logMutex;
std::atomic<bool> logging{false};
std::vector<HalvexSimAccess> logEntries;
long logCount = 0;

void PlugBoards() {
  const char* list = std::getenv("HALVEXSIM_SLOTS");
  if (list == nullptr) list = "1234567";
  for (const char* p = list; *p != '\0'; ++p) {
    if (*p >= '1' && *p <= '7' && BoardSimAttach(*p - '0') != 0) {
      // The platform library has no way to fail: say why the slots are empty.
      char dir[4096];
      if (int err = BoardSimBusError(dir, sizeof dir)) {
        std::fprintf(stderr, "halvexsim: the simulated bus %s (OCELO_SIM_BUS) cannot be used: %s\n", dir,
                     std::strerror(err));
        break;
      }
    }
  }
}

// Slot and register of an I/O address; false when it names no register.
bool Decode(uint32_t Address, int* Slot, unsigned* Reg) {
  if (Address < HALVEXSIM_BASE) return false;
  uint32_t offset = Address - HALVEXSIM_BASE;
  uint32_t slot = offset / HALVEXSIM_STRIDE;
  uint32_t inSlot = offset % HALVEXSIM_STRIDE;
  if (slot >= BOARDSIM_SLOTS || (inSlot & 1) != 0 || inSlot / 2 > 255) return false;
  *Slot = static_cast<int>(slot);
  *Reg = inSlot / 2;
  return true;
}

void Record(int Slot, unsigned Reg, uint8_t Value, bool Write) {
  if (!logging.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> lock(logMutex);
  if (!logging.load(std::memory_order_relaxed)) return;
  ++logCount;
  if (logEntries.size() < HALVEXSIM_LOG_MAX)
    logEntries.push_back({static_cast<uint8_t>(Slot), static_cast<uint8_t>(Reg), Value,
                          static_cast<uint8_t>(Write ? 1 : 0)});
}

}  // namespace

extern "C" {

uint32_t GetSlotAddr(int slot) {
  std::call_once(boardsPlugged, PlugBoards);
  if (slot < 0 || slot >= BOARDSIM_SLOTS) {
    slotQueries.fetch_or(1u << 8);
    return 0;
  }
  slotQueries.fetch_or(1u << slot);
  return HALVEXSIM_BASE + static_cast<uint32_t>(slot) * HALVEXSIM_STRIDE;
}

void IoWriteByte(uint32_t address, uint8_t value) {
  int slot = 0;
  unsigned reg = 0;
  if (!Decode(address, &slot, &reg)) return;
  Record(slot, reg, value, true);
  if (reg == 1) pageOf[slot].store(value);
  if (reg == kCommandReg && pageOf[slot].load() == kCommandPage && value == kSystemResetForPolling)
    BoardSimSetFault(slot, BOARDSIM_FAULT_RESET_DELAY_MS, resetDelayMs[slot].load());
  BoardSimRegWrite(slot, reg, value);
}

uint8_t IoReadByte(uint32_t address) {
  int slot = 0;
  unsigned reg = 0;
  if (!Decode(address, &slot, &reg)) return 0xFF;
  uint8_t value = BoardSimRegRead(slot, reg);
  Record(slot, reg, value, false);
  return value;
}

void HalvexSimSetResetDelay(int Slot, int Milliseconds) {
  if (Slot >= 0 && Slot < BOARDSIM_SLOTS) resetDelayMs[Slot].store(Milliseconds > 0 ? Milliseconds : 0);
}

void HalvexSimLogStart(void) {
  std::lock_guard<std::mutex> lock(logMutex);
  logEntries.clear();
  logCount = 0;
  logging.store(true);
}

long HalvexSimLogStop(HalvexSimAccess* Out, long Max) {
  std::lock_guard<std::mutex> lock(logMutex);
  logging.store(false);
  long n = static_cast<long>(logEntries.size());
  if (Out != nullptr && Max > 0) {
    long copy = n < Max ? n : Max;
    if (copy > 0) std::memcpy(Out, logEntries.data(), static_cast<size_t>(copy) * sizeof(HalvexSimAccess));
  }
  logEntries.clear();
  logEntries.shrink_to_fit();
  return logCount;
}

unsigned HalvexSimSlotQueries(void) { return slotQueries.load(); }

void HalvexSimResetSlotQueries(void) { slotQueries.store(0); }

}  // extern "C"
