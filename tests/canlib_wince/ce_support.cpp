#include "ce_support.h"

#include <thread>

#include "BoardSim.h"

namespace cetest {

uint64_t LostCommands(int slot) {
  BoardSimStats stats{};
  BoardSimGetStats(slot, &stats);
  return stats.LostCommands;
}

std::vector<DpramAccess> TakeLog() {
  std::vector<HalvexSimAccess> raw(HALVEXSIM_LOG_MAX);
  long n = HalvexSimLogStop(raw.data(), static_cast<long>(raw.size()));
  if (n > static_cast<long>(raw.size())) n = static_cast<long>(raw.size());
  std::vector<DpramAccess> out;
  int page[BOARDSIM_SLOTS] = {};
  for (long i = 0; i < n; ++i) {
    const HalvexSimAccess& a = raw[static_cast<size_t>(i)];
    DpramAccess d{a.Slot, false, a.Write != 0, 0, a.Value};
    if (a.Reg == 1 && a.Write) {
      page[a.Slot] = a.Value;
      d.pageWrite = true;
      d.addr = static_cast<uint16_t>(a.Value * 32);
    } else if (a.Reg >= 32 && a.Reg <= 63) {
      d.addr = static_cast<uint16_t>(page[a.Slot] * 32 + (a.Reg - 32));
    } else {
      d.addr = 0xFFFF;  // no DPRAM register
    }
    out.push_back(d);
  }
  return out;
}

std::vector<uint8_t> PageWrites(const std::vector<DpramAccess>& log, int slot) {
  std::vector<uint8_t> pages;
  for (const auto& a : log)
    if (a.slot == slot && a.pageWrite) pages.push_back(a.value);
  return pages;
}

std::vector<uint8_t> CommandWrites(const std::vector<DpramAccess>& log, int slot) {
  std::vector<uint8_t> commands;
  for (const auto& a : log)
    if (a.slot == slot && !a.pageWrite && a.write && a.addr == 8191) commands.push_back(a.value);
  return commands;
}

std::vector<uint8_t> AppCommandWrites(const std::vector<DpramAccess>& log, int slot) {
  std::vector<uint8_t> commands;
  for (uint8_t c : CommandWrites(log, slot))
    if (c != 9 && c != 13) commands.push_back(c);
  return commands;
}

size_t AccessesOn(const std::vector<DpramAccess>& log, int slot) {
  size_t n = 0;
  for (const auto& a : log) n += a.slot == slot ? 1 : 0;
  return n;
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void PokePair(int slot, uint16_t addr, uint8_t value, bool valid) {
  BoardSimPoke(slot, addr, value);
  BoardSimPoke(slot, addr + 1u, static_cast<uint8_t>(valid ? ~value : value));
}

}  // namespace cetest
