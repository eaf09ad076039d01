// Slot opening on a PC: simulated boards from libslotsim.
#include "CanTool.h"
#include "SlotSim.h"

namespace cantool {
int OpenSlot(int slot) { return SlotSimOpen(slot); }
} // namespace cantool
