/*
 * BoardSim.h - simulated Ocelo CAN boards on a simulated CAN bus.
 *
 * One process is one controller with slots 0 to 7; each slot may hold a
 * simulated board.  A host reaches a board only through its byte-wide
 * registers (register 1: page, registers 32..63: the 32-byte DPRAM window),
 * exactly as through the slot bus.  The back-ends sit on top of this core:
 *   - libslotsim: the Linux slot library (ioctl requests, signal 40 + slot);
 *   - libhalvexsim: the Windows CE platform library (I/O addresses).
 *
 * The board's firmware runs on one simulation thread per process.  It takes
 * the commands the host writes to the command byte, fills the receive
 * zones, keeps the status bytes, takes frames from the transmit ring and
 * puts them on the bus.  It reports events either
 *   - through the interrupt code byte 8190 and the interrupt line (after
 *     system reset command 10), or
 *   - through the event byte 8177 with its complement (after command 12),
 *     for a host that polls.
 *
 * All boards of the process share one bus; boards of other processes join
 * it through Unix sockets in a directory (see BoardSimSetBus).
 *
 * Thread safety: BoardSimRegRead and BoardSimRegWrite are lock-free and
 * async-signal-safe (they may run inside a signal handler), except a read of
 * the acknowledgement byte 8185, of the ready word's first byte 8183 or of
 * the event byte 8177 that finds no acknowledgement, no ready word or no
 * event yet: it may do the
 * firmware's overdue work on the caller's thread (the firmware is never
 * starved by the host, the simulation thread may be), so the host reads that
 * byte outside signal handlers.  Every other function takes the simulation
 * lock and must not be called from a signal handler.
 */
#ifndef BOARDSIM_H
#define BOARDSIM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BOARDSIM_SLOTS 8

/* ---- Boards ------------------------------------------------------------- */

/* Plug a simulated board into Slot (0..7).  Starts the simulation thread on
 * first use.  The board is powered but silent until the host resets it.
 * Returns 0, or -EINVAL for a bad slot, or a negative errno when the
 * simulation thread cannot start.  Plugging an occupied slot returns 0. */
int BoardSimAttach(int Slot);
/* Pull the board out: its registers read 0xFF and ignore writes. */
void BoardSimDetach(int Slot);
int BoardSimPresent(int Slot);
/* Pull all boards, stop the simulation thread (bounded wait), leave the bus. */
void BoardSimShutdown(void);

/* ---- The command byte ------------------------------------------------------
 * The command byte 8191 is one byte, as on the board.  Writing it interrupts
 * the firmware, which reads the byte a reaction time after the write.  A
 * command written before the firmware has read the previous one replaces
 * it: the earlier command is lost and counted (BoardSimStats.LostCommands).
 * The default reaction time is BOARDSIM_REACTION_US, or the value of
 * $OCELO_SIM_REACTION_US (microseconds) when a board is plugged in. */
#define BOARDSIM_REACTION_US 200
/* Reaction time of the board in Slot, or of every board with Slot -1 (also
 * for boards plugged in later).  0 makes the firmware read each command at
 * once. */
int BoardSimSetReactionTime(int Slot, unsigned int Microseconds);

/* ---- Register access (lock-free, async-signal-safe) ---------------------- */
unsigned char BoardSimRegRead(int Slot, unsigned int Reg);
void BoardSimRegWrite(int Slot, unsigned int Reg, unsigned char Value);

/* The interrupt line.  Called on the simulation thread (with the slot
 * signals blocked there) each time a board in interrupt mode posts a new
 * interrupt code.  The host acknowledges by reading the code byte 8190; the
 * board posts its next code only after that read. */
typedef void (*BoardSimIrqFn)(int Slot, void *Ctx);
void BoardSimSetIrqHandler(BoardSimIrqFn Fn, void *Ctx);

/* ---- Test access ------------------------------------------------------------ */

/* Read or write a DPRAM byte directly, without any side effect. */
unsigned char BoardSimPeek(int Slot, unsigned int Addr);
void BoardSimPoke(int Slot, unsigned int Addr, unsigned char Value);

/* Fault injection.  Value 0 turns a fault off. */
enum BoardSimFault {
    BOARDSIM_FAULT_NO_RESET = 1,     /* ignores system reset (no event 64) */
    BOARDSIM_FAULT_NO_READY = 2,     /* takes command 4 but never writes the ready word */
    BOARDSIM_FAULT_BAD_STATUS = 3,   /* status bytes and complements never add up to 255 */
    BOARDSIM_FAULT_RX_COUNT = 4,     /* announces batches with this count (0 means: count 0;
                                        use BoardSimClearFault to end it) */
    BOARDSIM_FAULT_NO_TX_ACK = 5,    /* takes no transmit request, never writes 102 */
    BOARDSIM_FAULT_TX_BLOCKED = 6,   /* buffer status bit 5 set: transmission blocked */
    BOARDSIM_FAULT_RESET_DELAY_MS = 7, /* answers a system reset only after this delay */
    BOARDSIM_FAULT_LATE_PASS_US = 8,   /* the simulation runs late: each pass over the board
                                          stalls this long after taking its time, as on a
                                          loaded machine or an emulator */
    BOARDSIM_FAULT_STARVED_MS = 9      /* the simulation thread is not run for this long after
                                          each pass (outside its lock), as when a busy machine
                                          starves it; the firmware must still answer in time */
};
int BoardSimSetFault(int Slot, int Fault, int Value);
int BoardSimClearFault(int Slot, int Fault);

/* The board restarts on its own (event 64); it is silent on the bus until the
 * host configures and starts it again. */
int BoardSimSpontaneousReset(int Slot);
/* The CAN controller's status byte changes (event 32). */
int BoardSimSetCANStatus(int Slot, unsigned char Value);
/* How many received frames the board can hold besides the DPRAM zones;
 * beyond it frames are lost and the buffer status reports an overflow. */
int BoardSimSetRxCapacity(int Slot, unsigned int Frames);

/* ---- The bus -------------------------------------------------------------- */

typedef struct BoardSimFrame {
    unsigned char Ext;     /* 1: 29-bit identifier */
    unsigned char Rtr;     /* 1: remote frame */
    unsigned char Len;     /* data length code 0..8 */
    uint32_t Id;
    unsigned char Data[8];
} BoardSimFrame;

#define BOARDSIM_ANY_RATE (-1)

/* Put one frame on the bus from a node outside the boards.  BaudIndex is a
 * bit-rate index (0..11) or BOARDSIM_ANY_RATE (reaches every board). */
int BoardSimBusSend(const BoardSimFrame *Frame, int BaudIndex);

/* Traffic generator: puts copies of Template on the bus, Rate frames per
 * second (0: as fast as the receiving boards take them, without overflow).
 * The first 4 data bytes (as many as Len allows) carry a little-endian
 * sequence number starting at 0.  Replaces a running generator. */
int BoardSimTrafficStart(unsigned int Rate, const BoardSimFrame *Template, int BaudIndex);
void BoardSimTrafficStop(void);
/* Frames the generator has put on the bus since its start. */
uint64_t BoardSimTrafficCount(void);

/* Join boards of other processes: Dir is a directory for the bus's Unix
 * sockets; NULL or "" takes $OCELO_SIM_BUS, else $XDG_RUNTIME_DIR/ocelo-sim-bus,
 * else /tmp/ocelo-sim-bus-<uid>; "off" keeps the bus inside this process.
 * Takes effect when the simulation thread starts (call it first). */
int BoardSimSetBus(const char *Dir);
/* When the bus cannot join other processes through its directory (a regular
 * file, a directory that cannot be created or written), the simulation does
 * not start and plugging a board fails with the negative errno.  This gives
 * that errno (0: the last start did not fail) and copies the directory into
 * Dir (Size bytes at most). */
int BoardSimBusError(char *Dir, size_t Size);

/* ---- Observation ----------------------------------------------------------- */

typedef struct BoardSimStats {
    uint64_t RxFrames;       /* frames accepted by the filter */
    uint64_t RxDropped;      /* frames lost because the board was full */
    uint64_t RxFiltered;     /* frames on the bus this board did not take */
    uint64_t TxFrames;       /* frames put on the bus */
    uint64_t Interrupts;     /* interrupt codes posted (interrupt mode) */
    uint64_t Batches;        /* batches the host took */
    uint32_t Commands[256];  /* commands taken, by code */
    uint64_t LostCommands;   /* commands overwritten before the firmware read them */
    uint64_t TxAckReads;     /* host reads of the acknowledgement byte 8185 */
    uint64_t TxAckSoonestNs; /* least time from a command write to a read of 8185
                                after it (0: no such read yet) */
} BoardSimStats;
int BoardSimGetStats(int Slot, BoardSimStats *Stats);

/* The last commands the board took, oldest first: code and the time of the
 * host's write (CLOCK_MONOTONIC, ns).  Returns how many were stored.  Lost
 * commands are not in the log. */
int BoardSimCommandLog(int Slot, unsigned char *Codes, uint64_t *TimesNs, int Max);

#ifdef __cplusplus
}
#endif

#endif /* BOARDSIM_H */
