// Download throughput: SendFile sends a file through a pseudo-terminal to
// quarnix-sim, which checks and stores it.  bench/run-all.sh prints it
// beside the line's raw floor (pty_floor) and an XMODEM-1K transfer of the
// same file (xmodem_pair).
//
// Usage: download_bench [--kib N] [--line-rate BITS] [--keep FILE]
//   --kib N          file size in KiB (default 4096)
//   --line-rate B    the simulator paces the line at B bit/s both ways
//   --keep FILE      also write the file sent to FILE (for the XMODEM run)
// Prints "download_Bps <payload bytes/s>" and "download_seconds <s>"; exit
// 0 only when the simulator confirmed the whole file.
#include "globals.h"
#include "serial.h"
#include "system.h"
#include "transfer/transfer.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// Reads from COM n until text appears, at most ms; true when it did.
bool ReadUntil(int n, const char *text, int ms, std::string *seen = nullptr)
{
    std::string got;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    char buf[4096];
    while (Clock::now() < end) {
        int r = ComRead(n, buf, sizeof buf);
        if (r > 0) {
            got.append(buf, static_cast<std::size_t>(r));
            if (got.find(text) != std::string::npos) {
                if (seen != nullptr)
                    *seen = got;
                return true;
            }
            continue;
        }
        ComWaitReadable(n, 50);
    }
    if (seen != nullptr)
        *seen = got;
    return false;
}

// Output of SendFile goes to /dev/null while it runs; returns the saved fd.
int QuietStdout()
{
    std::fflush(stdout);
    int saved = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    return saved;
}

void RestoreStdout(int saved)
{
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
}

}  // namespace

int main(int argc, char **argv)
{
    long kib = 4096;
    std::string rate;
    std::string keep;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--kib") == 0)
            kib = std::atol(argv[i + 1]);
        else if (std::strcmp(argv[i], "--line-rate") == 0)
            rate = argv[i + 1];
        else if (std::strcmp(argv[i], "--keep") == 0)
            keep = argv[i + 1];
    }
    if (kib < 1 || kib > 60 * 1024)
        kib = 4096;
    char tmpl[] = "/tmp/download-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string dir = tmpl;
    std::string link = dir + "/com1";

    pid_t sim = fork();
    if (sim == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        if (rate.empty())
            execl(QUARNIX_SIM_PATH, QUARNIX_SIM_PATH, "--link", link.c_str(), "--quiet", static_cast<char *>(nullptr));
        else
            execl(QUARNIX_SIM_PATH, QUARNIX_SIM_PATH, "--link", link.c_str(), "--quiet", "--line-rate", rate.c_str(),
                  static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 500 && access(link.c_str(), F_OK) != 0; ++i)
        usleep(10000);

    ResetGlobals();
    ComResetTable();
    setenv("TARVIK_COM1", link.c_str(), 1);
    CurrentPort = 1;
    int rc = 1;
    if (ComOpen(1) != 0) {
        std::fprintf(stderr, "cannot open the simulator's line %s\n", link.c_str());
    } else if (chdir(dir.c_str()) != 0) {
        std::perror("chdir");
    } else {
        std::size_t size = static_cast<std::size_t>(kib) << 10;
        std::string data(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            data[i] = static_cast<char>((i * 2654435761u) >> 13);
        FILE *f = std::fopen("bench.bin", "wb");
        std::fwrite(data.data(), 1, size, f);
        std::fclose(f);
        if (!keep.empty()) {
            FILE *k = std::fopen(keep.c_str(), "wb");
            if (k != nullptr) {
                std::fwrite(data.data(), 1, size, k);
                std::fclose(k);
            }
        }

        ComWrite(1, "LOAD\r", 5);
        if (!ReadUntil(1, "!", 10000)) {
            std::fprintf(stderr, "the simulator did not get ready\n");
        } else {
            std::strcpy(LoadPath, "bench.bin");
            int saved = QuietStdout();
            auto t0 = Clock::now();
            SendFile();
            auto t1 = Clock::now();
            RestoreStdout(saved);
            std::string answer;
            bool stored = ReadUntil(1, "stored.", 10000, &answer);
            double secs = Seconds(t0, t1);
            std::printf("download_seconds %.4f\n", secs);
            std::printf("download_Bps %.0f\n", static_cast<double>(size) / secs);
            if (!stored)
                std::fprintf(stderr, "download_bench: the simulator did not confirm the file\n");
            rc = stored ? 0 : 1;
        }
        ComClose(1);
        unlink("bench.bin");
    }
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    if (chdir("/") == 0)
        rmdir(dir.c_str());
    return rc;
}
