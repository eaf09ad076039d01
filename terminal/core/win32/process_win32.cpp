// The Windows build runs one device per tarvik: the run over several
// devices (and its report) is refused before anything is opened.
#include "process.h"

#include <windows.h>

bool ProcAvailable()
{
    return false;
}

int ProcStart(char *const *, int *, int *)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return -1;
}

int ProcWaitReadable(const int *, bool *ready, int count, int)
{
    for (int i = 0; i < count; ++i)
        ready[i] = false;
    return -1;
}

int ProcRead(int, void *, int)
{
    return -1;
}

void ProcClose(int) {}

int ProcFinish(int, int)
{
    return -1;
}

int ProcOpenReport(const char *, char *tempName, int tempSize)
{
    if (tempSize > 0)
        tempName[0] = 0;
    SetLastError(ERROR_NOT_SUPPORTED);
    return -1;
}

int ProcCommitReport(int, const char *, const char *)
{
    return ERROR_NOT_SUPPORTED;
}

void ProcDropReport(const char *) {}

int ProcWriteAll(int, const void *, int)
{
    return ERROR_NOT_SUPPORTED;
}

bool ProcSameFile(const char *, const char *)
{
    return false;
}

bool ProcIsDirectory(const char *path)
{
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
