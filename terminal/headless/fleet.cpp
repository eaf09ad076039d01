// Many controllers at once: one child tarvik per device, run in parallel.
// The children are ordinary single-device headless runs with --progress;
// what they say on stderr gives the progress, the bytes and the error of
// each device, what they copy to stdout is the controller's output.
#include "fleet.h"

#include "display.h"
#include "options.h"
#include "process.h"
#include "system.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int LineMax = 4096;      // a longer line of a child is cut in pieces
constexpr int DrawIntervalMs = 100;
constexpr int FinishMs = 10000;    // a child whose pipes have ended is gone by then
constexpr int BarWidth = 20;
constexpr int ShownNameMax = 24;   // the device's name on its bar, its end kept

struct Unit {
    const char *device;
    int pid;
    int out, err;  // pipes from the child; -1 once ended
    char outLine[LineMax];
    int outLen;
    char errLine[LineMax];
    int errLen;
    std::uint32_t start, ms;
    long long doneBytes;  // confirmed bytes of the files before the current one
    long long fileBytes, fileTotal;
    bool fileStarted;
    std::string file;
    std::string error;  // the child's last message of its own
    int status;         // exit status, -1 until known
};

Unit Units[MaxDevices];
int UnitCount = 0;
bool OutTerminal = false;
bool ErrTerminal = false;
int BarsDrawn = 0;  // lines of bars on the terminal now
std::uint32_t DrawnAt = 0;
char ReportTemp[4096];  // the unfinished report's name; empty when none

void OnInterrupt(int)
{
    ProcDropReport(ReportTemp);
    static const char line[] = "tarvik: interrupted; no report written\n";
    SysWriteFile(2, line, static_cast<int>(sizeof line - 1));
}

int Usage(const char *text, const char *name)
{
    std::fprintf(stderr, "tarvik: %s", text);
    if (name != nullptr)
        WriteNameTo(stderr, name);
    std::fputc('\n', stderr);
    return 2;
}

// The report may not take the place of a file the run reads or a device it
// uses: checked before anything is opened.
int CheckReport(int argc, char **argv)
{
    const char *report = StartOpts.report;
    if (ProcIsDirectory(report))
        return Usage("the report is a directory: ", report);
    auto clash = [&](const char *other) {
        return other != nullptr && (std::strcmp(other, report) == 0 || ProcSameFile(other, report));
    };
    for (int i = 0; i < StartOpts.downloadCount; ++i)
        if (clash(StartOpts.downloads[i]))
            return Usage("the report would replace the file to download ", StartOpts.downloads[i]);
    for (int i = 1; i < argc; ++i)
        if (clash(argv[i]))
            return Usage("the report would replace ", argv[i]);
    if (clash(StartOpts.logFile))
        return Usage("the report would replace the log ", StartOpts.logFile);
    return 0;
}

// ---- Output -----------------------------------------------------------------

void WriteShownName(std::FILE *stream, const char *name)
{
    std::size_t n = std::strlen(name);
    if (n > ShownNameMax) {
        std::fputs("...", stream);
        name += n - (ShownNameMax - 3);
    }
    WriteNameTo(stream, name);
}

void EraseBars()
{
    if (BarsDrawn > 0)
        std::fprintf(stderr, "\x1b[%dA\x1b[J", BarsDrawn);
    BarsDrawn = 0;
}

void DrawBars(bool force)
{
    std::uint32_t now = SysTickMs();
    if (!force && BarsDrawn > 0 && now - DrawnAt < static_cast<std::uint32_t>(DrawIntervalMs))
        return;
    DrawnAt = now;
    EraseBars();
    for (int i = 0; i < UnitCount; ++i) {
        const Unit &u = Units[i];
        std::fputs("\r", stderr);
        WriteShownName(stderr, u.device);
        std::fputs(" ", stderr);
        if (u.status == 0) {
            std::fprintf(stderr, "done, %lld bytes, %.1f s", u.doneBytes + u.fileBytes, u.ms * 0.001);
        } else if (u.status > 0) {
            std::fputs("FAILED", stderr);
        } else {
            int percent = u.fileTotal > 0 ? static_cast<int>(u.fileBytes * 100 / u.fileTotal) : (u.fileStarted ? 100 : 0);
            char bar[BarWidth + 1];
            for (int k = 0; k < BarWidth; ++k)
                bar[k] = k < percent * BarWidth / 100 ? '#' : '.';
            bar[BarWidth] = 0;
            std::fprintf(stderr, "[%s] %3d%% ", bar, percent);
            WriteShownName(stderr, u.fileStarted ? u.file.c_str() : "(waiting for the controller)");
        }
        std::fputs("\x1b[K\n", stderr);
    }
    BarsDrawn = UnitCount;
    std::fflush(stderr);
}

// One line of a child's stdout, as "DEVICE: line".  On a terminal the
// controller's bytes go through the received-byte display, so that none of
// them acts on the terminal.
void PutOutLine(Unit &u, bool ended)
{
    if (u.outLen == 0 && !ended)
        return;
    if (ErrTerminal && OutTerminal)
        EraseBars();
    WriteNameTo(stdout, u.device);
    std::fputs(": ", stdout);
    if (OutTerminal) {
        int n = u.outLen;
        while (n > 0 && (u.outLine[n - 1] == '\n' || u.outLine[n - 1] == '\r'))
            --n;
        std::fflush(stdout);
        ConWriteReceived(reinterpret_cast<const unsigned char *>(u.outLine), n);
        std::fputc('\n', stdout);
    } else {
        std::fwrite(u.outLine, 1, static_cast<std::size_t>(u.outLen), stdout);
        if (u.outLen == 0 || u.outLine[u.outLen - 1] != '\n')
            std::fputc('\n', stdout);
    }
    std::fflush(stdout);
    u.outLen = 0;
}

// "tarvik: progress BYTES TOTAL FILE": a file begins with BYTES 0 and ends
// with its last confirmed count.
void TakeProgress(Unit &u, const char *text)
{
    char *end = nullptr;
    long long bytes = std::strtoll(text, &end, 10);
    if (end == text || *end != ' ')
        return;
    const char *p = end + 1;
    long long total = std::strtoll(p, &end, 10);
    if (end == p || *end != ' ')
        return;
    if (bytes == 0 && u.fileStarted) {
        u.doneBytes += u.fileBytes;
        u.fileBytes = 0;
    }
    if (bytes == 0 || !u.fileStarted)
        u.file = end + 1;
    u.fileStarted = true;
    u.fileBytes = bytes;
    u.fileTotal = total;
}

void PutErrLine(Unit &u)
{
    std::string line(u.errLine, static_cast<std::size_t>(u.errLen));
    u.errLen = 0;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    static const char own[] = "tarvik: ";
    static const char progress[] = "tarvik: progress ";
    if (line.compare(0, sizeof progress - 1, progress) == 0) {
        TakeProgress(u, line.c_str() + sizeof progress - 1);
        return;
    }
    if (line.compare(0, sizeof own - 1, own) == 0)
        u.error = line.substr(sizeof own - 1);
    if (ErrTerminal)
        return;  // the bars say it; the failures are named at the end
    WriteNameTo(stderr, u.device);
    std::fputs(": ", stderr);
    WriteNameTo(stderr, line.c_str());
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

// What arrived on one of a child's pipes, taken line by line.
void Take(Unit &u, bool isOut, const char *data, int n)
{
    char *line = isOut ? u.outLine : u.errLine;
    int &len = isOut ? u.outLen : u.errLen;
    for (int i = 0; i < n; ++i) {
        line[len++] = data[i];
        if (data[i] == '\n' || len == LineMax) {
            if (isOut)
                PutOutLine(u, false);
            else
                PutErrLine(u);
        }
    }
}

// ---- Children ---------------------------------------------------------------

// The child's command line: the options of this run for one device.
std::vector<std::string> ChildWords(int argc, char **argv, const char *device)
{
    std::vector<std::string> w = {argv[0], "--progress"};
    if (StartOpts.baud != 0) {
        w.push_back("-b");
        w.push_back(std::to_string(StartOpts.baud));
    }
    // The line format, in the words the options take.
    static const char *const parities[] = {"none", "even", "odd", "mark", "space"};
    static const char *const flows[] = {"none", "cts", "rtscts", "rts"};
    if (StartOpts.parity >= 0 && StartOpts.parity < 5)
        w.push_back(std::string("--parity=") + parities[StartOpts.parity]);
    if (StartOpts.dataBits != 0)
        w.push_back("--databits=" + std::to_string(StartOpts.dataBits));
    if (StartOpts.stopBits != 0)
        w.push_back("--stopbits=" + std::to_string(StartOpts.stopBits));
    if (StartOpts.flow >= 0 && StartOpts.flow < 4)
        w.push_back(std::string("--flow=") + flows[StartOpts.flow]);
    if (StartOpts.keepLatency)
        w.push_back("--no-low-latency");
    if (StartOpts.timestamps)
        w.push_back("-t");
    if (StartOpts.waitDevice)
        w.push_back("-w");
    if (StartOpts.logFile != nullptr) {
        w.push_back("-l");
        w.push_back(StartOpts.logFile);
    }
    for (int i = 0; i < StartOpts.downloadCount; ++i) {
        w.push_back("-d");
        w.push_back(StartOpts.downloads[i]);
    }
    if (StartOpts.run)
        w.push_back("--run");
    if (StartOpts.sram)
        w.push_back("--sram");
    // The '/' options, in their order; the devices are the other words.
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] == '/' && !IsDevicePath(argv[i]))
            w.push_back(argv[i]);
    w.push_back(device);
    return w;
}

int StartChild(Unit &u, int argc, char **argv)
{
    std::vector<std::string> words = ChildWords(argc, argv, u.device);
    std::vector<char *> args;
    for (std::string &s : words)
        args.push_back(s.data());
    args.push_back(nullptr);
    u.start = SysTickMs();
    u.pid = ProcStart(args.data(), &u.out, &u.err);
    if (u.pid > 0)
        return 0;
    char why[256];
    SysErrorText(SysLastError(), why, sizeof why);
    u.error = std::string("cannot start tarvik for the device: ") + why;
    u.status = 1;
    u.out = u.err = -1;
    return -1;
}

// Every child's output until every pipe has ended.
void Serve()
{
    int fds[2 * MaxDevices];
    bool ready[2 * MaxDevices];
    char buf[4096];
    for (;;) {
        int open = 0;
        for (int i = 0; i < UnitCount; ++i) {
            fds[2 * i] = Units[i].out;
            fds[2 * i + 1] = Units[i].err;
            open += (Units[i].out >= 0) + (Units[i].err >= 0);
        }
        if (open == 0)
            return;
        int r = ProcWaitReadable(fds, ready, 2 * UnitCount, DrawIntervalMs);
        if (r < 0) {
            SysSleepMs(DrawIntervalMs);
            continue;
        }
        for (int k = 0; k < 2 * UnitCount; ++k) {
            if (!ready[k])
                continue;
            Unit &u = Units[k / 2];
            bool isOut = k % 2 == 0;
            int &fd = isOut ? u.out : u.err;
            int n = ProcRead(fd, buf, sizeof buf);
            if (n > 0) {
                Take(u, isOut, buf, n);
                continue;
            }
            ProcClose(fd);
            fd = -1;
            if (isOut && u.outLen > 0)
                PutOutLine(u, true);
            if (!isOut && u.errLen > 0)
                PutErrLine(u);
            if (u.out < 0 && u.err < 0) {
                u.status = ProcFinish(u.pid, FinishMs);
                u.ms = SysTickMs() - u.start;
                if (u.status != 0 && u.error.empty())
                    u.error = u.status > 128 ? "ended by signal " + std::to_string(u.status - 128)
                                             : "ended with status " + std::to_string(u.status);
                if (u.status < 0)
                    u.status = 1;
            }
        }
        if (ErrTerminal)
            DrawBars(false);
    }
}

// ---- The report -------------------------------------------------------------

// A JSON string: quotes, backslashes and control bytes escaped; bytes
// that are not UTF-8 become U+FFFD.
void JsonString(std::string &out, const std::string &text)
{
    out += '"';
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
    std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else {
            // The length of a well-formed UTF-8 sequence starting here, or 0.
            std::size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
            bool good = len > 0 && i + len <= n;
            for (std::size_t k = 1; good && k < len; ++k)
                good = (p[i + k] & 0xC0) == 0x80;
            if (good && len == 3)
                good = !(c == 0xE0 && p[i + 1] < 0xA0) && !(c == 0xED && p[i + 1] >= 0xA0);
            if (good && len == 4)
                good = !(c == 0xF0 && p[i + 1] < 0x90) && !(c == 0xF4 && p[i + 1] >= 0x90);
            if (good) {
                out.append(text, i, len);
                i += len;
            } else {
                out += "\\ufffd";
                ++i;
            }
        }
    }
    out += '"';
}

std::string ReportLine(const Unit &u)
{
    std::string line = "{\"device\":";
    JsonString(line, u.device);
    line += ",\"files\":[";
    for (int i = 0; i < StartOpts.downloadCount; ++i) {
        if (i > 0)
            line += ',';
        JsonString(line, StartOpts.downloads[i]);
    }
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "],\"bytes\":%lld,\"seconds\":%.3f,\"status\":", u.doneBytes + u.fileBytes,
                  u.ms * 0.001);
    line += numbers;
    line += u.status == 0 ? "\"ok\",\"error\":null}" : "\"failed\",\"error\":";
    if (u.status != 0) {
        JsonString(line, u.error);
        line += '}';
    }
    line += '\n';
    return line;
}

}  // namespace

int HeadlessFleet(int argc, char **argv)
{
    if (!ProcAvailable())
        return Usage("several devices and --report are not available on this system", nullptr);
    if (StartOpts.logFile != nullptr && StartOpts.deviceCount > 1)
        return Usage("-l takes one device (the logs of several would be mixed)", nullptr);
    if (StartOpts.deviceCount == 0)
        return Usage("--report needs a device", nullptr);
    // Two transfers on one line would garble each other.
    for (int i = 0; i < StartOpts.deviceCount; ++i)
        for (int k = 0; k < i; ++k)
            if (std::strcmp(StartOpts.devices[i], StartOpts.devices[k]) == 0 ||
                ProcSameFile(StartOpts.devices[i], StartOpts.devices[k]))
                return Usage("one device named twice: ", StartOpts.devices[i]);
    int reportFd = -1;
    if (StartOpts.report != nullptr) {
        if (CheckReport(argc, argv) != 0)
            return 2;
        reportFd = ProcOpenReport(StartOpts.report, ReportTemp, sizeof ReportTemp);
        if (reportFd < 0) {
            ReportTemp[0] = 0;
            char why[256];
            SysErrorText(SysLastError(), why, sizeof why);
            std::fprintf(stderr, "tarvik: cannot write the report ");
            WriteNameTo(stderr, StartOpts.report);
            std::fprintf(stderr, ": %s\n", why);
            return 2;
        }
    }
    SysOnInterrupt(OnInterrupt);
    OutTerminal = SysIsTerminal(1);
    ErrTerminal = SysIsTerminal(2);
    if (OutTerminal) {
        SysOutputToError();
        ConInitReceived();
        SysOutputBack();
    }
    UnitCount = StartOpts.deviceCount;
    for (int i = 0; i < UnitCount; ++i) {
        Unit &u = Units[i];
        u.device = StartOpts.devices[i];
        u.status = -1;
        u.out = u.err = -1;
        StartChild(u, argc, argv);
    }
    if (ErrTerminal)
        DrawBars(true);
    Serve();
    if (ErrTerminal)
        DrawBars(true);
    int failed = 0;
    for (int i = 0; i < UnitCount; ++i) {
        const Unit &u = Units[i];
        if (u.status == 0)
            continue;
        ++failed;
        // Without the bars every line of the child has been shown already.
        if (ErrTerminal || u.pid <= 0) {
            WriteNameTo(stderr, u.device);
            std::fprintf(stderr, ": failed: ");
            WriteNameTo(stderr, u.error.c_str());
            std::fputc('\n', stderr);
        }
    }
    std::fprintf(stderr, "tarvik: %d device%s: %d done, %d failed\n", UnitCount, UnitCount == 1 ? "" : "s",
                 UnitCount - failed, failed);
    int status = failed > 0 ? 1 : 0;
    if (reportFd >= 0) {
        std::string text;
        for (int i = 0; i < UnitCount; ++i)
            text += ReportLine(Units[i]);
        int code = ProcWriteAll(reportFd, text.data(), static_cast<int>(text.size()));
        if (code != 0) {
            ProcCommitReport(reportFd, ReportTemp, "");  // closes and removes it
        } else {
            code = ProcCommitReport(reportFd, ReportTemp, StartOpts.report);
        }
        ReportTemp[0] = 0;
        if (code != 0) {
            char why[256];
            SysErrorText(code, why, sizeof why);
            std::fprintf(stderr, "tarvik: cannot write the report ");
            WriteNameTo(stderr, StartOpts.report);
            std::fprintf(stderr, ": %s\n", why);
            status = 1;
        }
    }
    std::fflush(stdout);
    return status;
}
