// The serial layer's back-end: what one operating system does for a port.
//
// serial.cpp implements serial.h once for every system: it checks port
// numbers, keeps the port table, holds a PortUse around each use of a
// handle, prints the layer's messages in their colours, keeps the RTS state
// and copies received bytes into the log.  It calls these functions, and
// only it does; one back-end per system implements them
// (posix/serial_posix.cpp, win32/serial_win32.cpp).  Each is a translation
// of one operation to the system's calls, with the system's error codes as
// results.
//
// Threads: the receive loop (main thread) reads and waits, the keyboard
// thread writes and changes settings, both through serial.cpp, which holds
// the handle for the call.  A handle h given here is the table's entry for
// port n at the time, never ComNoHandle unless said.
#pragma once

#include "serial_use.h"

// Called once by ComResetTable: sets up what ComSysWake needs.
void ComSysStart();
// Ends a ComSysWaitReadable under way (or the next one) with 0.
void ComSysWake();

// The device path that COM n names on this system.
void ComSysDeviceName(int n, char *buf, int size);

// Opens COM n's device for exclusive use as a raw 8-bit line.  0 and the
// handle in *h, -1 when the system still holds the port as gone, or the
// system's error code.  The caller then puts *h in the table.
int ComSysOpen(int n, ComHandle *h);
// Throws away whatever waits in both directions of a newly opened port;
// false when the driver refused.
bool ComSysPurge(int n, ComHandle h);
// Takes port n out of the table (ComRetireHandle) and closes it: 0, -1 when
// it was not open, else the system's error code.
int ComSysClose(int n);
// Opens port n's device again after it went away, with the settings it had
// (see ComReopen): 0, -2 when the port is not open, else the system's error
// code.
int ComSysReopen(int n);

// Reads what is waiting, without waiting: the count (0 when nothing is),
// ComGone once the device has gone, -2 when h is ComNoHandle and the port is
// not held as gone, -1 on another failure.
int ComSysRead(int n, ComHandle h, void *buffer, int max);
// Writes count bytes: count, or the system's error code when the driver
// stops taking them (a write held by flow control fails after a bound).
int ComSysWrite(int n, ComHandle h, const void *buffer, int count);
// As ComWaitReadable, for a port number in range; h may be ComNoHandle.
int ComSysWaitReadable(int n, ComHandle h, int timeout_ms);

// Reads return at once with what is buffered.
void ComSysSetTimeouts(int n, ComHandle h);
void ComSysSetQueues(int n, ComHandle h);
// Flow-control mode 0..3 and the bit rate, with the line left raw.  The
// rate before and after the change (as the driver reports it) go to *before
// and *after.
void ComSysSetRate(int n, ComHandle h, int flowMode, int rate, unsigned long *before, unsigned long *after);
// Parity index 0..4 (N, E, O, M, S), data bits 5..8, stop bits 1 or 2.
void ComSysSetFormat(int n, ComHandle h, int parity, int data, int stop);
// Raises (on) or drops the RTS line.
void ComSysSetRts(int n, ComHandle h, bool on);
// Starts (on) or ends a break on the line.
void ComSysBreak(int n, ComHandle h, bool on);
// 0 and *cts 0 or 1, else non-zero.
int ComSysGetCts(int n, ComHandle h, int *cts);
