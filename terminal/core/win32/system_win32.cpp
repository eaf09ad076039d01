// Time, sleeping, threads, directories and error texts on Win32.
#include "system.h"

#include <cstdio>
#include <cstring>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

std::uint32_t SysTickMs()
{
    // Wraps after 49 days; callers only take differences in 32-bit
    // arithmetic, which stay right across the wrap.
    return static_cast<std::uint32_t>(GetTickCount());
}

void SysSleepMs(int ms)
{
    if (ms > 0)
        Sleep(static_cast<DWORD>(ms));
}

namespace {
DWORD WINAPI ThreadEntry(LPVOID arg)
{
    auto fn = reinterpret_cast<void (*)()>(arg);
    fn();
    return 0;
}
}  // namespace

int SysStartThread(void (*fn)())
{
    // Default stack size; the thread runs detached.
    HANDLE h = CreateThread(nullptr, 0, ThreadEntry, reinterpret_cast<LPVOID>(fn), 0, nullptr);
    if (h == nullptr)
        return static_cast<int>(GetLastError());
    CloseHandle(h);
    return 0;
}

void SysGetCwd(char *buf, int size)
{
    if (size <= 0)
        return;
    DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(size), buf);
    // 0 is a failure; a value of size or more is the room the path would
    // need, and the buffer then holds nothing useful.
    if (n == 0 || n >= static_cast<DWORD>(size))
        buf[0] = 0;
}

int SysChangeDir(const char *path)
{
    return SetCurrentDirectoryA(path) ? 0 : static_cast<int>(GetLastError());
}

std::FILE *SysCreateNewFile(const char *name)
{
    // CREATE_NEW fails on any entry of that name, a link among them.
    HANDLE h = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_TEXT);
    if (fd < 0) {
        CloseHandle(h);
        DeleteFileA(name);
        return nullptr;
    }
    std::FILE *f = _fdopen(fd, "w");
    if (f == nullptr) {
        _close(fd);
        DeleteFileA(name);
    }
    return f;
}

int SysLastError()
{
    return static_cast<int>(GetLastError());
}

void SysErrorText(int code, char *buf, int size)
{
    if (size <= 0)
        return;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), 0, buf, static_cast<DWORD>(size), nullptr);
    if (n == 0) {
        std::snprintf(buf, static_cast<size_t>(size), "error %d", code);
        return;
    }
    // The system's texts end with CR LF (and sometimes a blank or a dot
    // before it): keep the sentence, drop the line end.
    while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' '))
        buf[--n] = 0;
}

void SysLocalTimeMs(SysDateTime *t, int *ms)
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    *t = SysDateTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
    *ms = st.wMilliseconds;
}

void SysLocalTime(SysDateTime *t)
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    *t = SysDateTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

int SysKeepOwner(const char *, const char *)
{
    // A new file in the same folder takes the folder's permissions.
    return 0;
}

bool SysIsTerminal(int stream)
{
    return _isatty(stream) != 0;
}

int SysChangeDrive(int drive)
{
    return _chdrive(drive + 1);
}

int SysOpenAppend(const char *name)
{
    // Others may read it while it is written.
    int fd = _sopen(name, _O_RDWR | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT, _SH_DENYWR, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return -1;
    _lseek(fd, 0, SEEK_END);
    return fd;
}

int SysPointAtNull(int fd)
{
    int null = _open("NUL", _O_WRONLY | _O_BINARY);
    if (null < 0)
        return -1;
    _dup2(null, fd);
    _close(null);
    return 0;
}

void SysCloseFile(int fd)
{
    _close(fd);
}

void SysWriteFile(int fd, const void *data, int n)
{
    int w = _write(fd, data, static_cast<unsigned>(n));
    (void)w;
}

int SysReadableFile(const char *path)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return static_cast<int>(GetLastError());
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return SysIsDirectory;
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return static_cast<int>(GetLastError());
    DWORD type = GetFileType(h);
    CloseHandle(h);
    return type == FILE_TYPE_DISK ? 0 : SysNotRegular;
}

namespace {
int SavedOutput = -1;
void (*InterruptFn)(int) = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    int sig = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? 2 : event == CTRL_CLOSE_EVENT ? 1 : 15;
    if (InterruptFn != nullptr)
        InterruptFn(sig);
    ExitProcess(static_cast<UINT>(128 + sig));
    return TRUE;
}
}  // namespace

void SysOutputToError()
{
    std::fflush(stdout);
    if (SavedOutput < 0)
        SavedOutput = _dup(1);
    if (SavedOutput >= 0)
        _dup2(2, 1);
}

void SysOutputBack()
{
    std::fflush(stdout);
    if (SavedOutput < 0)
        return;
    _dup2(SavedOutput, 1);
    _close(SavedOutput);
    SavedOutput = -1;
}

void SysOnInterrupt(void (*fn)(int sig))
{
    InterruptFn = fn;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

const char *SysName()
{
    return "WIN32";
}
