// The part of the Windows CE core library that the OceloCE back-end uses,
// provided on POSIX systems by CeCore.cpp on top of POSIX threads.
//
// Semantics kept from the original: critical sections are recursive, Sleep
// takes milliseconds and Sleep(0) yields, GetExitCodeThread reports
// STILL_ACTIVE while the thread runs, priorities are 0 (highest) to 255.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#define WINAPI

typedef uint32_t DWORD;
typedef int BOOL;
typedef void* HANDLE;
typedef void* LPVOID;
typedef HANDLE HINSTANCE;
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline constexpr DWORD STILL_ACTIVE = 259;
inline constexpr DWORD DLL_PROCESS_DETACH = 0;
inline constexpr DWORD DLL_PROCESS_ATTACH = 1;
inline constexpr DWORD DLL_THREAD_ATTACH = 2;
inline constexpr DWORD DLL_THREAD_DETACH = 3;
// Priority a new thread starts with (THREAD_PRIORITY_NORMAL on Windows CE).
inline constexpr int CE_DEFAULT_PRIORITY = 251;

struct CRITICAL_SECTION {
  pthread_mutex_t mutex;
};

void InitializeCriticalSection(CRITICAL_SECTION* cs);
void DeleteCriticalSection(CRITICAL_SECTION* cs);
void EnterCriticalSection(CRITICAL_SECTION* cs);
void LeaveCriticalSection(CRITICAL_SECTION* cs);

// Security attributes and creation flags are not supported: pass nullptr and 0.
HANDLE CreateThread(void* security, size_t stackSize, LPTHREAD_START_ROUTINE start, LPVOID param,
                    DWORD flags, DWORD* threadId);
BOOL CeSetThreadPriority(HANDLE thread, int priority);
int CeGetThreadPriority(HANDLE thread);
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
// Cancels the thread at its next cancellation point and waits at most about
// two seconds for it to end.
BOOL TerminateThread(HANDLE thread, DWORD exitCode);
BOOL CloseHandle(HANDLE handle);
void Sleep(DWORD milliseconds);

// Number of Sleep calls made so far by the calling thread (for tests of the
// pauses that the protocol requires).
unsigned long CeSleepCallCount();
