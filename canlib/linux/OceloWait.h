/*
 * OceloWait.h - waiting for received frames without polling (oceloLnx only).
 *
 * An addition to the functions of Ocelo.h, which keep their behaviour: a
 * thread can sleep until a slot has something for GetCANMsg, and a program
 * with an event loop can watch a descriptor for it.
 *
 *   GetCANMsgFd      a descriptor per slot (an eventfd, owned by the
 *                    library, valid for the life of the process) that is
 *                    readable while the slot may have news: received frames
 *                    in the buffer, a status change, a board restart, or a
 *                    WakeCANMsgWait.  It stays readable until WaitCANMsg
 *                    finds the buffer empty and nothing new; so after it
 *                    turns readable, call GetCANMsg until it returns
 *                    OCELO_NO_MSG (22), then WaitCANMsg(Slot, 0).
 *   WaitCANMsg       sleeps until GetCANMsg has a frame for the slot or
 *                    TimeoutMs milliseconds have passed (0: look only).  It
 *                    keeps the board asked for the next batch while it
 *                    waits, as GetCANMsg does when called.  Results:
 *                    OCELO_OK (0) a frame waits or the slot's status
 *                    changed (see GetStatus); OCELO_NO_MSG (22) the time
 *                    passed or WakeCANMsgWait was called; OCELO_OVERFLOW
 *                    (23) the buffer status is set (GetCANMsg returns 23
 *                    until ClearStatus); OCELO_BAD_SLOT (27);
 *                    OCELO_NOT_INIT (28) the slot is not initialised (also
 *                    after a board restart or RecoverOcelo); OCELO_ERR_BOARD
 *                    (21) no descriptor could be made.
 *   WakeCANMsgWait   makes every WaitCANMsg on the slot that is waiting now
 *                    return OCELO_NO_MSG (with none waiting, the next one
 *                    does), and the descriptor readable: for a program that
 *                    ends its receiving thread.
 *   GetCANMsgStamp   GetCANMsg that also gives the time (seconds since
 *                    1970, the system clock) at which the frame's batch
 *                    reached the host: the interrupt that took it.
 */
#ifndef OCELO_WAIT_H
#define OCELO_WAIT_H

#include "Ocelo.h"

#ifdef __cplusplus
extern "C" {
#endif

OCELO_API int GetCANMsgFd(OceloSlot Slot, int *Fd);
OCELO_API int WaitCANMsg(OceloSlot Slot, OceloULong TimeoutMs);
OCELO_API int WakeCANMsgWait(OceloSlot Slot);
OCELO_API int GetCANMsgStamp(OceloSlot Slot, unsigned char *Mode, OceloULong *MsgID, unsigned char *RTR,
                             unsigned char *DataLen, unsigned char *Data, OceloULong *UpperTime,
                             OceloULong *LowerTime, double *HostTime);

#ifdef __cplusplus
}
#endif

#endif /* OCELO_WAIT_H */
