// The Windows CE core library functions the OceloCE back-end uses, on a
// desktop Windows build: everything comes from the Win32 API except the
// CE-only CeSetThreadPriority, supplied by CeCore.cpp.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// Sets a thread's priority on the Windows CE scale (0 highest to 255 lowest).
BOOL CeSetThreadPriority(HANDLE thread, int priority);
