// The log file of received bytes (command mode's log command, -l).
//
// The keyboard thread opens and ends the log; the receive loop (main
// thread) writes to it through the serial layer and the time stamps.  The
// descriptor is shared in LogFile (globals.h).
#pragma once

// Opens (creating it when missing) the log file for appending; returns the
// descriptor or -1 (the system's error is left for SysLastError).
int LogOpen(const char *name);
// Ends logging into fd.  The receive loop may be writing to fd at this
// moment, so the descriptor is first pointed at the null device and only
// closed at the next retirement: a late write never lands in another file.
void LogRetire(int fd);
// Appends n bytes to the log descriptor fd (failures are dropped: the
// session goes on without them).
void LogWrite(int fd, const void *data, int n);
