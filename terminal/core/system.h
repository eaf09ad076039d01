// The few operating-system services that the terminal logic needs beyond
// the serial and console layers: time, sleeping, threads, directories and
// the log file's descriptor.
//
// Either thread may call any of these; none keeps state between calls
// except where said.  Results are 0 (or a value) on success and the
// system's own error code, or -1, on failure, as each line says.  One
// back-end per platform (posix/system_posix.cpp, win32/system_win32.cpp)
// implements them.
#pragma once

#include <cstdint>
#include <cstdio>

// The name of the system the program runs on, as the banner shows it
// ("Linux", "WIN32", ...).  Never empty.
const char *SysName();
// Milliseconds from a fixed point, never going back.
std::uint32_t SysTickMs();
void SysSleepMs(int ms);
// Starts fn on a new thread with the default stack size, detached.
// Returns 0 on success.
int SysStartThread(void (*fn)());
// Current working directory into buf (size bytes); empty on failure.
void SysGetCwd(char *buf, int size);
// Changes the current directory; 0 on success, else the system's code.
int SysChangeDir(const char *path);
// Makes drive 0 = A:, 1 = B:, ... current.  0 on success.  POSIX systems
// have one file tree and no drives: nothing changes there.
int SysChangeDrive(int drive);
// Gives file the owner of model (user and group) where they differ; 0 when
// they are the same afterwards (or the system keeps no owners), -1 when
// they cannot be made so.
int SysKeepOwner(const char *model, const char *file);
// Creates name for writing as text, exclusively: it fails when anything
// holds the name already (a file, a link of any kind, even one that leads
// nowhere), so nothing is written through a link.  nullptr on failure,
// the system's error then left for SysLastError.
std::FILE *SysCreateNewFile(const char *name);
// The system's code and text for the last failed call.
int SysLastError();
void SysErrorText(int code, char *buf, int size);
// Whether the standard stream 1 (output) or 2 (error) is a terminal.
bool SysIsTerminal(int stream);
// Local date and time, with the milliseconds of the second (0..999).
struct SysDateTime {
    int year, month, day, hour, minute, second;
};
void SysLocalTimeMs(SysDateTime *t, int *ms);
// The same without the milliseconds, from the system's seconds clock.
void SysLocalTime(SysDateTime *t);

// Descriptors of files written by appending (the log).
// Opens name for reading and writing, created when missing, its content
// kept and every write going to its end; the descriptor, or -1 (the
// system's error is then left for SysLastError).
int SysOpenAppend(const char *name);
// Points descriptor fd at the null device in one step, so that a write
// that still comes lands nowhere; 0 on success.
int SysPointAtNull(int fd);
void SysCloseFile(int fd);
// Writes n bytes to fd; failures are dropped.
void SysWriteFile(int fd, const void *data, int n);

// Whether path is a regular file that can be read, checked without waiting
// (a pipe or a device is never opened for it).  0 when it is; SysIsDirectory
// or SysNotRegular for what is not a file; else the system's code for a
// file that cannot be opened (missing, no permission).
constexpr int SysIsDirectory = -1;
constexpr int SysNotRegular = -2;
int SysReadableFile(const char *path);

// From SysOutputToError to SysOutputBack, what is written to standard
// output goes to the standard error stream (standard output is flushed at
// both ends).  For the start-up messages of a run whose standard output
// carries only the controller's bytes.  Called by the main thread while no
// other thread writes.
void SysOutputToError();
void SysOutputBack();

// Calls fn when the user interrupts or ends the program (POSIX: SIGINT,
// SIGTERM, SIGHUP, unless it was started with the signal ignored; Win32:
// Ctrl+C, Ctrl+Break, the console closed), then ends the program as that
// signal does by default (the shell reports 128 + the signal's number).
// fn gets the signal's number (2, 15, 1) and may only format into its own
// buffers and call SysWriteFile.
void SysOnInterrupt(void (*fn)(int sig));
