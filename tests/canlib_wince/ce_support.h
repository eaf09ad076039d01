// Helpers for the OceloCE tests: the register accesses that libhalvexsim
// recorded, turned into DPRAM accesses, and small waits with upper bounds.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "halvexsim.h"

namespace cetest {

struct DpramAccess {
  int slot;
  bool pageWrite;   // a write of the page register (then addr is page * 32)
  bool write;       // window write (or page write)
  uint16_t addr;    // DPRAM address of a window access
  uint8_t value;
};

// Stops recording and returns the accesses, with window accesses resolved
// to DPRAM addresses through the last page written on each slot.
std::vector<DpramAccess> TakeLog();

// Page-register writes of one slot, in order.
std::vector<uint8_t> PageWrites(const std::vector<DpramAccess>& log, int slot);
// Commands written to the command byte (8191) of one slot, in order.
std::vector<uint8_t> CommandWrites(const std::vector<DpramAccess>& log, int slot);
// The same without the polling thread's commands 9 and 13.
std::vector<uint8_t> AppCommandWrites(const std::vector<DpramAccess>& log, int slot);
// Number of accesses touching the slot.
size_t AccessesOn(const std::vector<DpramAccess>& log, int slot);

// Calls pred every millisecond until it holds or the limit passes.
bool WaitFor(const std::function<bool()>& pred,
             std::chrono::milliseconds limit = std::chrono::seconds(10));

// Commands the board in the slot lost in its one command byte (written again
// before the firmware had read them) since it was plugged in.
uint64_t LostCommands(int slot);

// Puts a status byte and its complement (or a broken complement) in DPRAM.
void PokePair(int slot, uint16_t addr, uint8_t value, bool valid = true);

}  // namespace cetest
