// Download throughput: SendFile sends a file of a few MiB through a
// pseudo-terminal to quarnix-sim, which checks and stores it.  Beside it,
// the same kind of line's raw floor: a 260-byte block out and a one-byte
// answer back, with the same serial layer calls and nothing else, so the
// ratio shows what the protocol code costs on top of the line.
//
// Usage: download_bench [MiB]   (default 4)
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

// The raw floor on a pseudo-terminal of our own: the far end answers every
// 260 bytes with one byte, as a controller's ACK.
double RawRoundTrip(const std::string &dir, int rounds)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return -1;
    std::string link = dir + "/raw";
    if (symlink(ptsname(master), link.c_str()) != 0)
        return -1;
    setenv("TARVIK_COM2", link.c_str(), 1);
    if (ComOpen(2) != 0)
        return -1;
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        unsigned char buf[260];
        std::size_t fill = 0;
        while (!stop) {
            struct pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            ssize_t n = read(master, buf + fill, sizeof buf - fill);
            if (n <= 0)
                continue;
            fill += static_cast<std::size_t>(n);
            if (fill == sizeof buf) {
                fill = 0;
                unsigned char ack = TransferAck;
                if (write(master, &ack, 1) != 1)
                    break;
            }
        }
    });
    unsigned char block[260];
    std::memset(block, 0x5A, sizeof block);
    auto t0 = Clock::now();
    int done = 0;
    for (; done < rounds; ++done) {
        ComWrite(2, block, sizeof block);
        unsigned char reply = 0;
        int waited = 0;
        while (ComRead(2, &reply, 1) != 1) {
            if (ComWaitReadable(2, 50) == 0 && ++waited > 100)
                break;  // 5 s without an answer: give the measurement up
        }
        if (waited > 100)
            break;
    }
    auto t1 = Clock::now();
    stop = true;
    peer.join();
    ComClose(2);
    close(master);
    unlink(link.c_str());
    return done > 0 ? Seconds(t0, t1) / done : -1;
}

}  // namespace

int main(int argc, char **argv)
{
    int mib = argc > 1 ? std::atoi(argv[1]) : 4;
    if (mib < 1 || mib > 60)
        mib = 4;
    char tmpl[] = "/tmp/download-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string dir = tmpl;
    std::string link = dir + "/com1";

    pid_t sim = fork();
    if (sim == 0) {
        execl(QUARNIX_SIM_PATH, QUARNIX_SIM_PATH, "--link", link.c_str(), "--quiet", static_cast<char *>(nullptr));
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
        std::size_t size = static_cast<std::size_t>(mib) << 20;
        std::string data(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            data[i] = static_cast<char>((i * 2654435761u) >> 13);
        FILE *f = std::fopen("bench.bin", "wb");
        std::fwrite(data.data(), 1, size, f);
        std::fclose(f);

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
            double rate = static_cast<double>(size) / secs;
            double rtt = RawRoundTrip(dir, 2000);
            double floorRate = rtt > 0 ? 256.0 / rtt : 0;
            std::printf("download: %d MiB in %.3f s = %.0f payload bytes/s (%s)\n", mib, secs, rate,
                        stored ? "stored by the simulator" : "NOT confirmed by the simulator");
            if (rtt > 0) {
                std::printf("raw floor: 260-byte block + 1-byte answer = %.1f us a round trip = %.0f payload bytes/s\n",
                            rtt * 1e6, floorRate);
                std::printf("ratio download / floor: %.2f\n", rate / floorRate);
            } else {
                std::printf("raw floor: could not be measured\n");
            }
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
