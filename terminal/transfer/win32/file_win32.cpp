// File services of the transfers on Win32.
#include "transfer/transfer_file.h"

#include <ctime>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace {

// Seconds between 1601-01-01 (file times) and 1970-01-01 (time_t).
constexpr long long FileTimeEpochOffset = 11644473600LL;

// Whether a handle is an ordinary file: on a disk, no directory, no link.
bool IsPlainFile(HANDLE h)
{
    if (GetFileType(h) != FILE_TYPE_DISK)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info))
        return false;
    return (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// Hands a Win32 handle over to a C stream; the handle is closed on failure.
std::FILE *StreamOf(HANDLE h, int flags, const char *mode)
{
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE *f = _fdopen(fd, mode);
    if (f == nullptr)
        _close(fd);
    return f;
}

}  // namespace

bool TransferSysLocalTime(long long t, std::tm *out)
{
    __time64_t tt = static_cast<__time64_t>(t);
    return _localtime64_s(out, &tt) == 0;
}

long long TransferSysMakeTime(std::tm *tmv)
{
    __time64_t t = _mktime64(tmv);
    return t == static_cast<__time64_t>(-1) ? -1 : static_cast<long long>(t);
}

int TransferSysStat(std::FILE *f, long long *modified, long long *length)
{
    struct _stat64 st {};
    if (_fstat64(_fileno(f), &st) != 0)
        return -1;
    *modified = static_cast<long long>(st.st_mtime);
    *length = static_cast<long long>(st.st_size);
    return 0;
}

std::FILE *TransferCreateNewFile(const char *name)
{
    // Whatever holds the name goes first (DeleteFileA removes a link
    // itself); CREATE_NEW then fails on anything that has come to hold it
    // since, so nothing is written through a link or into a file that
    // another name shares.  A device name such as "NUL" or a directory is
    // refused before a byte of it is changed.
    if (!DeleteFileA(name) && GetLastError() != ERROR_FILE_NOT_FOUND)
        return nullptr;
    HANDLE h = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    if (!IsPlainFile(h)) {
        CloseHandle(h);
        return nullptr;
    }
    return StreamOf(h, _O_WRONLY | _O_BINARY, "wb");
}

std::FILE *TransferOpenFile(const char *name)
{
    HANDLE h = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return nullptr;
    }
    return StreamOf(h, _O_RDONLY | _O_BINARY, "rb");
}

int TransferSetFileTime(std::FILE *f, long long t)
{
    if (std::fflush(f) != 0)
        return -1;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    unsigned long long ticks = static_cast<unsigned long long>(t + FileTimeEpochOffset) * 10000000ULL;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFULL);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return SetFileTime(h, nullptr, nullptr, &ft) ? 0 : -1;
}

int TransferReplaceFile(const char *from, const char *to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : -1;
}

namespace {

// Volume and file index of the file name leads to; false when it cannot
// be opened.
bool FileIdentity(HANDLE h, BY_HANDLE_FILE_INFORMATION *info)
{
    return GetFileInformationByHandle(h, info) != 0;
}

HANDLE OpenForIdentity(const char *name)
{
    return CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool SameIdentity(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace

int TransferIsOpenFile(const char *name, int fd)
{
    if (fd < 0)
        return 0;
    HANDLE logHandle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (logHandle == INVALID_HANDLE_VALUE)
        return 0;
    HANDLE h = OpenForIdentity(name);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION a, b;
    bool same = FileIdentity(h, &a) && FileIdentity(logHandle, &b) && SameIdentity(a, b);
    CloseHandle(h);
    return same ? 1 : 0;
}

int TransferIsSameFile(const char *nameA, const char *nameB)
{
    HANDLE ha = OpenForIdentity(nameA);
    if (ha == INVALID_HANDLE_VALUE)
        return 0;
    HANDLE hb = OpenForIdentity(nameB);
    if (hb == INVALID_HANDLE_VALUE) {
        CloseHandle(ha);
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION a, b;
    bool same = FileIdentity(ha, &a) && FileIdentity(hb, &b) && SameIdentity(a, b);
    CloseHandle(ha);
    CloseHandle(hb);
    return same ? 1 : 0;
}
