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
int OpenSlot(int slot)
{
    if (slot < 0 || slot > 7)
        return -EINVAL;
    const char *pattern = std::getenv("OCELO_SLOT_DEVICE");
    if (!pattern || !*pattern || std::strstr(pattern, "%d") == nullptr || std::strchr(pattern, '%') != std::strrchr(pattern, '%'))
        pattern = "/dev/slot%d";
    char path[256];
    std::snprintf(path, sizeof path, pattern, slot);
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    slot_fd[slot] = fd;
    return 0;
}
} // namespace cantool
