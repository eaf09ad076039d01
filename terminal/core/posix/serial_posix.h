// Pieces of the POSIX serial back-end that tests check directly.
#pragma once

#include <termios.h>

// Applies data bits (5..8), parity index (0..4: N, E, O, M, S) and stop
// bits (1, 2) to a termios control-flag word; any other value leaves its
// field unchanged.
void ComPosixApplyFormat(tcflag_t *cflag, int parity, int data, int stop);

// Applies flow-control mode 0..3 (any other value acts as 0).
void ComPosixApplyFlow(tcflag_t *cflag, int mode);

// Bit rate of an open descriptor: any rate the driver takes (termios2 on
// Linux).  Return 0 on success.
int ComPosixSetSpeed(int fd, unsigned rate);
int ComPosixGetSpeed(int fd, unsigned *rate);

// RS-485 style RTS (raised while sending) where the driver offers it.
// Returns 0 when the driver took the setting.
int ComPosixSetRtsOnSend(int fd, bool on);

// The driver's low-latency setting (ASYNC_LOW_LATENCY): 1 on, 0 off, -1
// when the driver has no such setting (a pseudo-terminal).  Both only read
// the driver's record and write it back, so they may run in a signal
// handler.
int ComPosixGetLowLatency(int fd);
// Sets or clears it: 0 when the driver took it.
int ComPosixSetLowLatency(int fd, bool on);
