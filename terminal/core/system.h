// The few operating-system services that the terminal logic needs beyond
// the serial and console layers: time, sleeping, threads and directories.
// One back-end per platform (posix/system_posix.cpp, win32/system_win32.cpp).
#pragma once

#include <cstdint>

// Milliseconds from a fixed point, never going back.
std::uint32_t SysTickMs();
void SysSleepMs(int ms);
// Starts fn on a new thread with the default stack size, detached.
// Returns 0 on success.
int SysStartThread(void (*fn)());
// Current working directory into buf (size bytes); empty on failure.
void SysGetCwd(char *buf, int size);
// Changes the current directory; 0 on success.
int SysChangeDir(const char *path);
// Gives file the owner of model (user and group) where they differ; 0 when
// they are the same afterwards (or the system keeps no owners), -1 when
// they cannot be made so.
int SysKeepOwner(const char *model, const char *file);
// The system's code and text for the last failed call.
int SysLastError();
void SysErrorText(int code, char *buf, int size);
// Whether the standard stream 1 (output) or 2 (error) is a terminal.
bool SysIsTerminal(int stream);
// Local date and time.
struct SysDateTime {
    int year, month, day, hour, minute, second;
};
void SysLocalTime(SysDateTime *t);
// The same with the milliseconds of the second (0..999).
void SysLocalTimeMs(SysDateTime *t, int *ms);
