/*
 * SlotSim.h - the simulated slot library: simulated Ocelo boards in the
 * controller's slots, reached through slot_fd and the slot driver's ioctl
 * requests, with board interrupts delivered as signal 40 + slot.
 *
 * Link it instead of the controller's slot library.  It defines slot_fd,
 * Close_SlotAll and ioctl; ioctl serves the simulated slots' descriptors and
 * passes every other descriptor on to the system.
 */
#ifndef SLOTSIM_H
#define SLOTSIM_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Plug a simulated board into Slot (0..7) and open its device: slot_fd[Slot]
 * becomes a descriptor that ioctl serves.  Returns 0 or a negative errno:
 * -EBUSY when the bus is shared with other processes and one of them has the
 * slot open (its board is that process's; Close_SlotAll or the end of the
 * process gives it up). */
int SlotSimOpen(int Slot);
/* Open slots 1 to 7. */
int SlotSimOpenAll(void);
/* The boards' bus joins other processes through a directory ($OCELO_SIM_BUS,
 * see BoardSim.h).  When that directory cannot be used (a regular file, a
 * path that cannot be created), SlotSimOpen fails with the negative errno
 * and this returns the errno, with the directory copied into Dir (at most
 * Size bytes); it returns 0 when the last try to start the boards did not
 * fail that way. */
int SlotSimBusError(char *Dir, size_t Size);

#ifdef __cplusplus
}
#endif

#endif /* SLOTSIM_H */
