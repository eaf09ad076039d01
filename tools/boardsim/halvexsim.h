/*
 * halvexsim.h - the Windows CE platform library (HalvexSDK: GetSlotAddr,
 * IoReadByte, IoWriteByte) on the simulated boards of BoardSim.h, plus what
 * tests need to watch it.
 *
 * Slot s (0 to 7) has base address HALVEXSIM_BASE + s * HALVEXSIM_STRIDE;
 * board register k of the slot is at base + 2 * k.  Addresses that fall on
 * no register read 0xFF and ignore writes, as does a slot without a board.
 *
 * Boards: the first GetSlotAddr call plugs a board into each slot listed in
 * $HALVEXSIM_SLOTS (digits 1 to 7, e.g. "25" or "2,5"; "none" for no board);
 * without the variable, slots 1 to 7 all hold a board.  Tests may plug and
 * pull boards with BoardSimAttach/BoardSimDetach at any time.
 *
 * A board's firmware takes a while to restart: after the system reset for a
 * polling host (command 12) it posts event 64 only after the reset delay
 * (HALVEXSIM_RESET_DELAY_MS unless set otherwise), never at once.
 *
 * The boards are those of BoardSim.h, strict as the real ones: one command
 * byte, read by the firmware a reaction time after each write (200 us;
 * $OCELO_SIM_REACTION_US or BoardSimSetReactionTime), a command written
 * sooner replacing the unread one (counted in BoardSimStats.LostCommands).
 */
#ifndef HALVEXSIM_H
#define HALVEXSIM_H

#include <stdint.h>

#include "HalvexSDK.h"

#ifdef __cplusplus
extern "C" {
#endif

#define HALVEXSIM_BASE 0x20000000u
#define HALVEXSIM_STRIDE 0x1000u

#define HALVEXSIM_RESET_DELAY_MS 30
/* Reset delay of the board in Slot for the following commands 12; 0 makes
 * the board answer at once. */
void HalvexSimSetResetDelay(int Slot, int Milliseconds);

/* One register access as the platform library saw it. */
typedef struct HalvexSimAccess {
    uint8_t Slot;
    uint8_t Reg;    /* board register number */
    uint8_t Value;  /* byte written, or byte read */
    uint8_t Write;  /* 1 write, 0 read */
} HalvexSimAccess;

/* Start recording register accesses (clears what was recorded).  At most
 * HALVEXSIM_LOG_MAX accesses are kept; later ones are only counted. */
#define HALVEXSIM_LOG_MAX 1000000
void HalvexSimLogStart(void);
/* Stop recording; copy up to Max accesses, oldest first.  Returns the
 * number of accesses made while recording (may exceed Max). */
long HalvexSimLogStop(HalvexSimAccess *Out, long Max);

/* Slots GetSlotAddr has been asked for since the last reset: bit s for
 * slot s (0 to 7); bit 8 for any argument outside 0 to 7. */
unsigned HalvexSimSlotQueries(void);
void HalvexSimResetSlotQueries(void);

#ifdef __cplusplus
}
#endif

#endif /* HALVEXSIM_H */
