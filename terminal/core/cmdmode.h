// Command mode (ALT_C): one command line for port, format, directory,
// download file name, logging and script commands.
#pragma once

void CommandMode();
// Handles one command-mode line (what CommandMode does after reading it).
void CommandLine(const char *line);

// Platform part (posix/cmdmode_posix.cpp, win32/cmdmode_win32.cpp).
// Opens (creating it when missing) the log file for appending; returns the
// descriptor or -1 (the system's error is left for SysLastError).
int CmdOpenLog(const char *name);
// Ends logging into fd.  The receive loop may be writing to fd at this
// moment, so the descriptor is first pointed at the null device and only
// closed at the next retirement: a late write never lands in another file.
void CmdRetireLog(int fd);
// Makes drive 0 = A:, 1 = B:, ... current.  Returns 0 on success.  POSIX
// systems have one file tree and no drives: nothing changes there.
int CmdChangeDrive(int drive);
// Appends n bytes to the log descriptor fd (failures are dropped: the
// session goes on without them).
void CmdWriteLog(int fd, const void *data, int n);
