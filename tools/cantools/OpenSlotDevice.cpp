// Slot opening on a controller: the slot device node, named by the pattern
// in $OCELO_SLOT_DEVICE (default "/dev/slot%d"), stored in the slot
// library's slot_fd table.
#include "CanTool.h"
#include "slot.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace cantool {
namespace {
std::string DevicePath(int slot)
{
    const char *pattern = std::getenv("OCELO_SLOT_DEVICE");
    if (!pattern || !*pattern || std::strstr(pattern, "%d") == nullptr || std::strchr(pattern, '%') != std::strrchr(pattern, '%'))
        pattern = "/dev/slot%d";
    char path[256];
    std::snprintf(path, sizeof path, pattern, slot);
    return path;
}
} // namespace

std::string OpenSlotError(int slot, int rc)
{
    if (rc == -EBUSY)
        return "slot " + std::to_string(slot) + " is in use by another process";
    return "cannot open slot " + std::to_string(slot) + ": " + DevicePath(slot) + ": " + std::strerror(-rc);
}

int OpenSlot(int slot)
{
    if (slot < 0 || slot > 7)
        return -EINVAL;
    const std::string path = DevicePath(slot);
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    slot_fd[slot] = fd;
    return 0;
}
} // namespace cantool
