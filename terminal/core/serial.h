// Serial port layer: a table of open ports indexed by COM number and the
// operations that open, configure, read, write and close them.
//
// Callers: the receive loop on the main thread reads, waits and reopens;
// the keyboard thread writes, switches ports and changes settings; a
// transfer writes and reads on the main thread.  Any of them may close a
// port while another uses it: each operation holds the handle for its
// duration (serial_use.h), so no thread uses a closed handle.
//
// Results: 0 success, -1 a port already open (ComOpen) or not open
// (ComClose), -2 a bad port number or a port that is not open, otherwise
// the system's error code.  Every operation reads the port's current
// settings, changes only the fields it names and writes them back.
// ComSetBaud, ComToggleRts and ComSendBreak print what they did.
//
// serial.cpp implements this header once; what a system does for a port is
// its back-end's (serial_system.h: posix/serial_posix.cpp,
// win32/serial_win32.cpp).
#pragma once

#include <atomic>
#include <cstdint>

typedef std::intptr_t ComHandle;
constexpr ComHandle ComNoHandle = -1;
constexpr int ComPortCount = 257;  // index = COM number, entry 0 unused

extern std::atomic<ComHandle> PortHandles[ComPortCount];
extern std::atomic<int> RtsState;

// 1 (the default): opening a port asks its driver for low latency (a USB
// adapter then hands on received bytes at once instead of holding them up
// to its latency timer), where the driver offers it, and closing the port
// puts the driver's setting back, on every way out of the program.  0
// (--no-low-latency): the port's driver settings are left as they are.
extern std::atomic<int> ComLowLatency;

int ComOpen(int n);
int ComClose(int n);
// Reads what is waiting (0 when nothing is).  Returns ComGone once the
// device behind the port has gone away (hang-up, end of file, adapter
// unplugged): the port stays in the table with its settings, and
// ComReopen brings it back when the device returns.
int ComRead(int n, void *buffer, int max);
constexpr int ComGone = -3;

// Opens the same device of port n again and gives it the settings it had
// (rate, data format, flow control, RTS).  0 when the device is back, else
// the system's error code (the device is still away).
int ComReopen(int n);
int ComWrite(int n, const void *buffer, int count);
void ComSetTimeouts(int n);
void ComSetQueues(int n);
int ComSetBaud(int n, int rate);
// ComSetBaud without a word on the console: the rates before and after in
// *before and *after.  1 when the port is open, else 0.
int ComSetRate(int n, int rate, unsigned long *before, unsigned long *after);
void ComSetFormat(int n, unsigned char parity, unsigned char data, unsigned char stop);
void ComToggleRts();
void ComSendBreak();

// Empties the whole port table (start-up step 2).
void ComResetTable();

// Modem status of port n: 0 on success with *cts set to 0 or 1, else
// non-zero (the receive loop then skips its CTS watch for that pass).
int ComGetCts(int n, int *cts);

// Waits until port n has bytes to read, at most timeout_ms milliseconds; a
// negative timeout_ms waits with no time-out.  Returns 1 when data is
// waiting or the device has gone (ComRead then tells which), 0 on time-out,
// on ComWake or on a CTS change where the driver reports one, negative when
// the port is not open or cannot be waited on (the caller then sleeps
// instead).
int ComWaitReadable(int n, int timeout_ms);

// Ends a ComWaitReadable that is under way (or the next one) at once, with
// 0: the other thread has set a flag the waiting loop must look at.
void ComWake();

// The device path that COM n names on this system (POSIX: TARVIK_COM<n>
// or /dev/ttyS<n-1>); written into buf, which holds size bytes.
void ComDeviceName(int n, char *buf, int size);
