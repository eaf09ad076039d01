// Fuzz target: the upload receiver, with the fuzz input as the controller's
// side of the line (blocks, CRC errors, hostile names, a line that ends
// anywhere).  Checks:
//   - nothing is created or opened for writing outside the working
//     directory: every open() that may write during the upload names a
//     plain file of the working directory (no '/'), and the directory tree
//     around the working directory (a sentinel file and folder beside it)
//     is the same afterwards;
//   - a file written has a name the name rule lets through, and holds no
//     more than the blocks the record announced;
//   - tarvik answers only with the start/stop byte, ACK and NAK.
#include "fuzz_support.h"
#include "globals.h"
#include "serial.h"
#include "transfer/transfer.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

std::string Root;     // holds work/, sentinel.txt and keep/
std::string WorkDir;  // the working directory of the upload
bool Watching = false;

void CheckOpen(const char *path, int flags)
{
    if (!Watching)
        return;
    bool writes = (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0;
    if (!writes)
        return;
    FUZZ_CHECK(path != nullptr && path[0] != '\0');
    FUZZ_CHECK(std::strchr(path, '/') == nullptr);  // a name of the working directory only
    FUZZ_CHECK(std::strcmp(path, ".") != 0 && std::strcmp(path, "..") != 0);
}

int RealOpen(const char *path, int flags, mode_t mode)
{
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

std::vector<std::string> List(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    FUZZ_CHECK(d != nullptr);
    while (dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    }
    closedir(d);
    return names;
}

std::string Slurp(const std::string &path)
{
    std::string s;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    FUZZ_CHECK(f != nullptr);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    std::fclose(f);
    return s;
}

void CheckSurroundings()
{
    std::vector<std::string> top = List(Root);
    FUZZ_CHECK(top.size() == 3);
    FUZZ_CHECK(Slurp(Root + "/sentinel.txt") == "sentinel");
    FUZZ_CHECK(List(Root + "/keep").size() == 1);
    FUZZ_CHECK(Slurp(Root + "/keep/inner.txt") == "inner");
}

}  // namespace

// Every open() of the program passes here; the check applies while an
// upload runs.
extern "C" int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    CheckOpen(path, flags);
    return RealOpen(path, flags, mode);
}

extern "C" int open64(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    CheckOpen(path, flags);
    return RealOpen(path, flags, mode);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzQuietStdio();
    Root = FuzzTempDir("upload");
    WorkDir = Root + "/work";
    FUZZ_CHECK(mkdir(WorkDir.c_str(), 0700) == 0);
    FUZZ_CHECK(mkdir((Root + "/keep").c_str(), 0700) == 0);
    for (auto [name, text] : {std::pair<std::string, std::string>{"/sentinel.txt", "sentinel"},
                              {"/keep/inner.txt", "inner"}}) {
        std::FILE *f = std::fopen((Root + name).c_str(), "wb");
        FUZZ_CHECK(f != nullptr);
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    FUZZ_CHECK(chdir(WorkDir.c_str()) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    ResetGlobals();
    fakecon::Reset(80, 25);
    fakeport::Reset();
    ComResetTable();
    CurrentPort = 1;
    FUZZ_CHECK(ComOpen(1) == 0);
    // The first byte chooses the size of the pieces the line delivers.
    static const int Chunks[8] = {1, 7, 64, 100, 259, 260, 261, 4096};
    fakeport::Chunk = Chunks[data[0] & 7];
    fakeport::Feed(data + 1, size - 1);

    Watching = true;
    GetFile();
    Watching = false;

    for (char c : fakeport::Written)
        FUZZ_CHECK(c == static_cast<char>(UploadStartByte) || c == static_cast<char>(TransferAck) ||
                   c == static_cast<char>(TransferNak));
    FUZZ_CHECK(!fakeport::Written.empty() && fakeport::Written[0] == static_cast<char>(UploadStartByte));

    std::vector<std::string> files = List(".");
    FUZZ_CHECK(files.size() <= 1);
    for (const std::string &found : files) {
        // A file that arrived whole has its own name; an incomplete one is
        // kept beside it with ".part" added.
        std::string name = found;
        const std::string part = std::string(FileInfo.name) + ".part";
        if (found == part)
            name = FileInfo.name;
        char name13[FileInfoNameSize] = {};
        FUZZ_CHECK(name.size() < FileInfoNameSize);
        std::memcpy(name13, name.data(), name.size());
        FUZZ_CHECK(UploadNameIsSafe(name13));
        FUZZ_CHECK(std::memcmp(name13, FileInfo.name, name.size() + 1) == 0);
        struct stat st {};
        FUZZ_CHECK(lstat(found.c_str(), &st) == 0 && S_ISREG(st.st_mode));
        long long blocks = (static_cast<long long>(FileInfo.size) + 255) / 256;
        FUZZ_CHECK(st.st_size <= blocks * TransferDataSize);
        // Under its own name only as many bytes as the record announced.
        FUZZ_CHECK(found != name || st.st_size == static_cast<long long>(FileInfo.size));
        FUZZ_CHECK(unlink(found.c_str()) == 0);
    }
    CheckSurroundings();
    ComClose(1);
    return 0;
}
