// Slot opening on a PC: simulated boards from libslotsim.
#include "CanTool.h"
#include "SlotSim.h"

#include <cerrno>
#include <cstring>

namespace cantool {
int OpenSlot(int slot) { return SlotSimOpen(slot); }

std::string OpenSlotError(int slot, int rc)
{
    if (rc == -EBUSY)
        return "slot " + std::to_string(slot) + " is in use by another process";
    char dir[4096];
    if (SlotSimBusError(dir, sizeof dir) == -rc)
        return "cannot open slot " + std::to_string(slot) + ": the simulated bus " + dir +
               " (OCELO_SIM_BUS) cannot be used: " + std::strerror(-rc);
    return "cannot open slot " + std::to_string(slot) + ": " + std::strerror(-rc);
}
} // namespace cantool
