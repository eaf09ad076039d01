// Child processes of tarvik itself, and the report file written beside
// them: what the run over several devices needs of the system.  One
// back-end per platform (posix/process_posix.cpp, win32/process_win32.cpp).
// Called from the main thread only.
#pragma once

// Whether this system can run tarvik's own children (false: the run over
// several devices is refused with a message).
bool ProcAvailable();

// Starts this program again with args (args[0] its name, nullptr at the
// end), its standard input from the null device, its standard output and
// error into pipes whose read ends are left in *outFd and *errFd (not
// inherited by later children).  The child ends when this process ends.
// Returns the child's id (> 0), or -1 with the system's code in SysLastError.
int ProcStart(char *const *args, int *outFd, int *errFd);

// Waits at most ms for any of the count descriptors to have data or its
// end; ready[i] tells which.  Returns the number ready (0 after ms), -1 on
// failure.  Descriptors below 0 are skipped.
int ProcWaitReadable(const int *fds, bool *ready, int count, int ms);

// Reads up to n bytes: the count, 0 at the end (the child closed it), -1 on
// failure.
int ProcRead(int fd, void *buf, int n);
void ProcClose(int fd);

// The child's end, once its pipes have ended: its exit status, or 128 plus
// the number of the signal that ended it.  A child that has not ended
// after ms is killed first.  -1 when it cannot be learnt.
int ProcFinish(int child, int ms);

// The report file.  ProcOpenReport creates a new, empty file beside path
// (in its directory, readable as the user's files are, never through a
// link) and returns its descriptor, or -1 with the system's code in
// SysLastError; *tempName receives its name (tempSize bytes).
// ProcCommitReport puts it in path's place in one step (a link at path is
// replaced, not followed): 0, else the system's code.
int ProcOpenReport(const char *path, char *tempName, int tempSize);
int ProcCommitReport(int fd, const char *tempName, const char *path);
// Removes the unfinished report; safe inside a signal handler.
void ProcDropReport(const char *tempName);
// Writes n bytes to fd: 0 when all were written, else the system's code.
int ProcWriteAll(int fd, const void *data, int n);
// Whether a and b name the same existing file.
bool ProcSameFile(const char *a, const char *b);
// Whether path names an existing directory.
bool ProcIsDirectory(const char *path);
