// Serial port layer: a table of open ports indexed by COM number and the
// operations that open, configure, read, write and close them.
//
// Results: 0 success, -1 a port already open (ComOpen) or not open
// (ComClose), -2 a bad port number or a port that is not open, otherwise
// the system's error code.  Every operation reads the port's current
// settings, changes only the fields it names and writes them back.
//
// One back-end per platform implements this header (serial_posix.cpp,
// serial_win32.cpp).
#pragma once

#include <atomic>
#include <cstdint>

typedef std::intptr_t ComHandle;
constexpr ComHandle ComNoHandle = -1;
constexpr int ComPortCount = 257;  // index = COM number, entry 0 unused

extern std::atomic<ComHandle> PortHandles[ComPortCount];
extern std::atomic<int> RtsState;

int ComOpen(int n);
int ComClose(int n);
int ComRead(int n, void *buffer, int max);
int ComWrite(int n, const void *buffer, int count);
void ComSetTimeouts(int n);
void ComSetQueues(int n);
int ComSetBaud(int n, int rate);
void ComSetFormat(int n, unsigned char parity, unsigned char data, unsigned char stop);
void ComToggleRts();
void ComSendBreak();

// Empties the whole port table (start-up step 2).
void ComResetTable();

// Modem status of port n: 0 on success with *cts set to 0 or 1, else
// non-zero (the receive loop then skips its CTS watch for that pass).
int ComGetCts(int n, int *cts);

// Waits until port n has bytes to read, at most timeout_ms milliseconds.
// Returns 1 when data is waiting, 0 on time-out, negative when the port is
// not open or cannot be waited on (the caller then sleeps instead).
int ComWaitReadable(int n, int timeout_ms);

// Ends a ComWaitReadable that is under way (or the next one) at once, with
// 0: the other thread has set a flag the waiting loop must look at.
void ComWake();

// The device path that COM n names on this system (POSIX: TARVIK_COM<n>
// or /dev/ttyS<n-1>); written into buf, which holds size bytes.
void ComDeviceName(int n, char *buf, int size);
