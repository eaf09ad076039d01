// Console layer for the fuzz targets: a virtual screen and a key queue (see
// fuzz_support.h).  Nothing reaches the user's terminal.
#include "console.h"
#include "fuzz_support.h"
#include "globals.h"

#include <cstring>
#include <deque>
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

namespace fakecon {
int Columns = 132;
int Rows = 60;
int CursorX = 1;
int CursorY = 1;
int Attribute = 7;
long IdleBudget = 200;
void (*IdleHook)() = nullptr;

namespace {
std::deque<int> Keys;
long EmptyReads = 0;
unsigned CodePage = 65001;
}  // namespace

void PushKey(int code) { Keys.push_back(code); }

void Reset(int columns, int rows)
{
    Columns = columns;
    Rows = rows;
    CursorX = 1;
    CursorY = 1;
    Attribute = 7;
    Keys.clear();
    EmptyReads = 0;
    IdleHook = nullptr;
}
}  // namespace fakecon

using namespace fakecon;

void ConInitInput() {}
void ConInitOutput() {}
void ConRestore() {}

int ConReadKey()
{
    if (!Keys.empty()) {
        int code = Keys.front();
        Keys.pop_front();
        EmptyReads = 0;
        return code;
    }
    if (++EmptyReads >= IdleBudget) {
        EmptyReads = 0;
        return KeyAlt('X');
    }
    return 0;
}

void ConWaitInput(int)
{
    if (IdleHook != nullptr)
        IdleHook();
}

int ConReadLine(char *buffer, int capacity)
{
    int len = 0;
    for (;;) {
        if (ExitRequest)
            break;
        int code = ConReadKey();
        if (code == 0) {
            ConWaitInput(10);
            continue;
        }
        if (code == 13)
            break;
        if (code == KeyAlt('X')) {
            ExitRequest = 1;
            len = 0;
            break;
        }
        if (code == 8) {
            if (len > 0)
                --len;
            continue;
        }
        if (code > 0 && code < 256 && len < capacity - 1)
            buffer[len++] = static_cast<char>(code);
    }
    if (capacity > 0)
        buffer[len < capacity ? len : capacity - 1] = 0;
    return ExitRequest ? 0 : len;
}

void ConSetColor(int attribute)
{
    FUZZ_CHECK(attribute >= 0 && attribute <= 0xFF);
    Attribute = attribute;
}

int ConGetColor() { return Attribute; }

void ConClearScreen()
{
    CursorX = 1;
    CursorY = 1;
}

void ConSetTitle(const char *title)
{
    FUZZ_CHECK(title != nullptr);
    FUZZ_CHECK(std::strlen(title) < 4096);
}

void ConAttributeToAnsi(int attribute, char *out, std::size_t size)
{
    std::snprintf(out, size, "\033[0;%dm", 30 + (attribute & 7));
}

int ConGetCursor(int *column, int *row)
{
    *column = CursorX;
    *row = CursorY;
    return 0;
}

int ConCursorColumn() { return CursorX; }
int ConCursorRow() { return CursorY; }

int ConScreenSize(int *columns, int *rows)
{
    *columns = Columns;
    *rows = Rows;
    return 0;
}

int ConMoveCursor(int column, int row)
{
    if (column < 1 || row < 1 || column > Columns || row > Rows)
        return -1;
    CursorX = column;
    CursorY = row;
    return 0;
}

void ConClearToEndOfLine() {}

void ConPutByte(int byte)
{
    unsigned char c = static_cast<unsigned char>(byte);
    switch (c) {
    case '\r': CursorX = 1; break;
    case '\n':
        if (CursorY < Rows)
            ++CursorY;
        break;
    case '\b':
        if (CursorX > 1)
            --CursorX;
        break;
    case '\t':
        CursorX = ((CursorX - 1) / 8 + 1) * 8 + 1;
        if (CursorX > Columns)
            CursorX = Columns;
        break;
    case 7: break;
    default:
        if (++CursorX > Columns) {
            CursorX = 1;
            if (CursorY < Rows)
                ++CursorY;
        }
        break;
    }
    FUZZ_CHECK(CursorX >= 1 && CursorX <= Columns && CursorY >= 1 && CursorY <= Rows);
}

unsigned ConGetInputCodePage() { return CodePage; }

int ConSetInputCodePage(unsigned codePage)
{
    CodePage = codePage;
    return 0;
}

void ConWriteCodePage(const char *text, std::size_t len, unsigned)
{
    std::fwrite(text, 1, len, stdout);
}

// ---- Shared helpers ------------------------------------------------------------

void FuzzQuietStdio()
{
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0)
        return;
    std::fflush(stdout);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDIN_FILENO);
    close(null);
}

namespace {
std::string TempRoot;

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
{
    std::remove(path);
    return 0;
}

void RemoveTempDir()
{
    if (!TempRoot.empty())
        nftw(TempRoot.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}
}  // namespace

std::string FuzzTempDir(const char *tag)
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != 0 ? base : "/tmp") + "/tarvik-fuzz-" + tag + "-XXXXXX";
    char buf[4096];
    std::snprintf(buf, sizeof buf, "%s", pattern.c_str());
    FUZZ_CHECK(mkdtemp(buf) != nullptr);
    // One folder a process; removed when the run ends normally.
    if (TempRoot.empty()) {
        TempRoot = buf;
        std::atexit(RemoveTempDir);
    }
    return buf;
}
