// Downloads and scripts without a console.  The port is opened as the
// session opens it (settings file, '/' options, -b); the transfer itself is
// the session's SendFile, kept quiet, with the progress and the outcome
// reported on stderr and the controller's own output copied to stdout.
#include "headless.h"

#include "comdevice.h"
#include "console.h"
#include "display.h"
#include "globals.h"
#include "options.h"
#include "serial.h"
#include "receive.h"
#include "settings.h"
#include "status.h"
#include "system.h"
#include "transfer/transfer.h"
#include "transfer/transfer_wait.h"
#include "script/script.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

// After the run line, the program's first output is copied to stdout: the
// wait for its first byte, and the quiet that ends the copy.
constexpr int RunReplyWaitMs = 2000;
constexpr int RunQuietMs = 300;
// The bar is redrawn at most this often.
constexpr int BarIntervalMs = 100;
constexpr int BarWidth = 30;

char DeviceText[256];  // the device, for messages

// Standard output carries the controller's bytes and nothing else: on a
// terminal through the session's display (so that no byte sequence from
// the line acts on the user's terminal), into a pipe or a file unchanged.
// tarvik's own words go to stderr.
bool OutTerminal = false;

// ---- Interruption ----------------------------------------------------------
// What the run is doing, for the one line said when it is interrupted.  The
// signal handler reads these: whole words, and the file's name in one of two
// buffers, the one published being never written.
constexpr int StepNone = -1;     // no file under way
constexpr int StepWaiting = -2;  // the receive command sent, the '!' awaited
std::atomic<int> StepBlock{StepNone};
std::atomic<int> StepBlocks{0};
char StepFiles[2][LoadPathSize];
std::atomic<int> StepFile{-1};  // index of the published name, -1: none
bool ErrTerminal = false;
char InterruptLine[LoadPathSize + 512];

void PublishFile(const char *path)
{
    int next = StepFile.load() == 0 ? 1 : 0;
    std::snprintf(StepFiles[next], sizeof StepFiles[next], "%s", path);
    StepFile = next;
}

void OnStep(int block, int blocks)
{
    if (block == 0)
        PublishFile(LoadPath);
    StepBlocks = blocks;
    StepBlock = block;
}

// Signal-safe formatting: no locale, no allocation, no stdio.
void Put(char *&p, const char *end, const char *text)
{
    for (; *text != 0 && p < end; ++text) {
        unsigned char c = static_cast<unsigned char>(*text);
        *p++ = c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
    }
}

void PutNumber(char *&p, const char *end, int value)
{
    char digits[12];
    int n = 0;
    unsigned v = value < 0 ? 0u : static_cast<unsigned>(value);
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0 && n < 11);
    while (n > 0 && p < end)
        *p++ = digits[--n];
}

void OnInterrupt(int)
{
    char *p = InterruptLine;
    const char *end = InterruptLine + sizeof InterruptLine - 1;
    int block = StepBlock.load();
    int file = StepFile.load();
    if (block >= 0 && ErrTerminal)
        *p++ = '\n';  // after the progress bar
    Put(p, end, "tarvik: interrupted");
    if (file >= 0 && block >= 0) {
        Put(p, end, " during block ");
        PutNumber(p, end, block);
        Put(p, end, " of ");
        PutNumber(p, end, StepBlocks.load());
        Put(p, end, " of ");
        Put(p, end, StepFiles[file]);
    } else if (file >= 0 && block == StepWaiting) {
        Put(p, end, " while the controller was asked to take ");
        Put(p, end, StepFiles[file]);
    }
    Put(p, end, " (");
    Put(p, end, DeviceText);
    Put(p, end, ")");
    *p++ = '\n';
    SysWriteFile(2, InterruptLine, static_cast<int>(p - InterruptLine));
}

// The settings file, the '/' options, the device and the options of our
// own, then the port opened and set up.  0 when it is ready.
int OpenPort(int argc, char **argv)
{
    ComResetTable();
    ComAbsoluteDevicePaths();
    // What the settings file and the '/' options have to say goes with the
    // other reports.
    SysOutputToError();
    const char *device = ReadSessionSettings(argc, argv);
    SysOutputBack();
    if (device != nullptr && ComUseDevice(CurrentPort, device) != 0) {
        std::fprintf(stderr, "tarvik: cannot use the device ");
        WriteNameTo(stderr, device);
        std::fprintf(stderr, "\n");
        return -1;
    }
    ApplyStartOptions();
    ComDeviceName(CurrentPort, DeviceText, sizeof DeviceText);
    ErrTerminal = SysIsTerminal(2);
    SysOnInterrupt(OnInterrupt);
    if (StartOpts.waitDevice && WaitForStartDevice(false) != 0)
        return -1;
    int code = ComOpen(CurrentPort);
    if (code != 0) {
        char why[256];
        PortOpenFailureReason(code, why, sizeof why);
        std::fprintf(stderr, "tarvik: cannot open COM%d (", CurrentPort.load());
        WriteNameTo(stderr, DeviceText);
        std::fprintf(stderr, "): %s\n", why);
        return -1;
    }
    int n = CurrentPort;
    unsigned long before = 0, after = 0;
    if (ComSetRate(n, BaudRate, &before, &after) == 0) {
        std::fprintf(stderr, "tarvik: %s cannot take %d bit/s\n", DeviceText, BaudRate.load());
        ComClose(n);
        return -1;
    }
    std::fprintf(stderr, "original baudrate = %lu!\nnow baudrate = %lu!\n", before, after);
    ComSetFormat(n, static_cast<unsigned char>(ParityIndex), static_cast<unsigned char>(DataBits),
                 static_cast<unsigned char>(StopBits));
    ComSetTimeouts(n);
    ComSetQueues(n);
    return 0;
}

// The last byte the controller's output ended with, so that the progress
// bar starts on a line of its own when both share a terminal.
unsigned char LastOut = '\n';

void CopyOut(const unsigned char *buf, int n)
{
    if (n > 0)
        LastOut = buf[n - 1];
    if (n > 0)
        std::fwrite(buf, 1, static_cast<std::size_t>(n), stdout);
    std::fflush(stdout);
}

// Bytes from the controller to stdout.  While a script's download is armed
// the controller's '!' starts it (AutoLoadStep), as on the screen, where a
// zero byte ends the watch for the rest of the chunk.
void Emit(const unsigned char *buf, int n)
{
    if (OutTerminal) {
        if (n > 0)
            LastOut = buf[n - 1];
        ShowReceived(buf, n);
        std::fflush(stdout);
        return;
    }
    int start = 0;
    if (AutoLoadActive != 0 || MultiLoadActive != 0) {
        for (int i = 0; i < n && buf[i] != 0; ++i) {
            if (buf[i] == '!') {
                CopyOut(buf + start, i + 1 - start);
                start = i + 1;
                AutoLoadStep();
            }
        }
    }
    CopyOut(buf + start, n - start);
}

// Chooses the display of the controller's bytes: on a terminal the
// session's (its note on an unusable code page goes to stderr).
void ChooseOutput()
{
    OutTerminal = SysIsTerminal(1);
    if (OutTerminal) {
        SysOutputToError();
        ConInitReceived();
        SysOutputBack();
    }
}

// Copies the controller's output to stdout until its '!' (0), the bound
// (TransferWaitTimeout) or the device's end (TransferWaitGone).
int WaitReady(int ms)
{
    std::uint32_t deadline = SysTickMs() + static_cast<std::uint32_t>(ms);
    unsigned char byte = 0;
    for (;;) {
        int w = TransferWaitPort(deadline);
        if (w != TransferWaitOk)
            return w;
        int n = ComRead(CurrentPort, &byte, 1);
        if (n == ComGone)
            return TransferWaitGone;
        if (n == 1) {
            Emit(&byte, 1);
            if (byte == '!')
                return TransferWaitOk;
        }
    }
}

// Copies the controller's output to stdout: waits at most firstMs for the
// first bytes, then until the line has been quiet for quietMs.
void CopyReply(int firstMs, int quietMs)
{
    unsigned char buf[ReceiveBufferSize];
    std::uint32_t deadline = SysTickMs() + static_cast<std::uint32_t>(firstMs);
    for (;;) {
        if (TransferWaitPort(deadline) != TransferWaitOk)
            return;
        int n = ComRead(CurrentPort, buf, sizeof buf);
        if (n < 0)
            return;
        if (n > 0) {
            Emit(buf, n);
            deadline = SysTickMs() + static_cast<std::uint32_t>(quietMs);
        }
    }
}

// Progress of the file being sent.
const char *BarFile = "";
std::uint32_t BarStart = 0;
std::uint32_t BarShown = 0;
long long BarTotal = 0;

double Rate(long long bytes, std::uint32_t ms)
{
    return ms > 0 ? bytes * 1000.0 / ms : 0.0;
}

void ShowBar(long long bytes, bool last)
{
    std::uint32_t now = SysTickMs();
    if (!last && now - BarShown < static_cast<std::uint32_t>(BarIntervalMs))
        return;
    BarShown = now;
    int percent = BarTotal > 0 ? static_cast<int>(bytes * 100 / BarTotal) : 100;
    char bar[BarWidth + 1];
    int filled = percent * BarWidth / 100;
    for (int i = 0; i < BarWidth; ++i)
        bar[i] = i < filled ? '#' : '.';
    bar[BarWidth] = 0;
    std::fprintf(stderr, "\r%s [%s] %lld/%lld bytes %3d%% %.1f KiB/s", BarFile, bar, bytes, BarTotal, percent,
                 Rate(bytes, now - BarStart) / 1024.0);
    if (last)
        std::fputc('\n', stderr);
    std::fflush(stderr);
}

void BlockConfirmed(int, int, long long bytes)
{
    ShowBar(bytes, false);
}

// --progress: the confirmed bytes of the file as lines, for a program that
// shows them (the run over several devices reads its children's).
long long ProgressBytes = 0;

void ProgressLine(long long bytes)
{
    BarShown = SysTickMs();
    std::fprintf(stderr, "tarvik: progress %lld %lld ", bytes, BarTotal);
    WriteNameTo(stderr, BarFile);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void ProgressConfirmed(int, int, long long bytes)
{
    ProgressBytes = bytes;
    if (SysTickMs() - BarShown >= static_cast<std::uint32_t>(BarIntervalMs))
        ProgressLine(bytes);
}

// The name the controller stores the file under: the path's last part, as
// the record holds it.
void RecordNameOf(const char *path, char out[FileInfoNameSize])
{
    const char *base = path;
    for (const char *p = path; *p != 0; ++p)
        if (*p == '/' || *p == '\\' || *p == ':')
            base = p + 1;
    FileInfoNameFromPath(base, out);
}

// One file: the receive command, the controller's '!', the blocks.
int SendOne(const char *path, bool tty)
{
    if (SetLoadPath(path) != 0) {
        std::fprintf(stderr, "tarvik: the file name %s is too long\n", path);
        return -1;
    }
    RecordNameOf(path, DownloadRecordName);
    PublishFile(path);
    StepBlock = StepWaiting;
    const char *command = StartOpts.sram ? "LOADR\r" : "LOAD\r";
    ComWrite(CurrentPort, command, static_cast<int>(std::strlen(command)));
    int w = WaitReady(ArmedWaitMs);
    if (w != TransferWaitOk) {
        StepBlock = StepNone;
        std::fprintf(stderr, "tarvik: %s on %s: %s\n", path, DeviceText,
                     w == TransferWaitGone ? "the device has gone"
                                           : "the controller never got ready (no '!' after the receive command)");
        return -1;
    }
    BarFile = path;
    BarStart = SysTickMs();
    BarShown = 0;
    std::FILE *f = std::fopen(path, "rb");
    BarTotal = 0;
    if (f != nullptr) {
        if (std::fseek(f, 0, SEEK_END) == 0)
            BarTotal = std::ftell(f);
        std::fclose(f);
    }
    if (tty && LastOut != '\n')
        std::fputc('\n', stderr);
    bool lines = !tty && StartOpts.progress;
    ProgressBytes = 0;
    if (lines)
        ProgressLine(0);
    DownloadBlockHook = tty ? BlockConfirmed : lines ? ProgressConfirmed : nullptr;
    SendFile();
    DownloadBlockHook = nullptr;
    if (lines)
        ProgressLine(LastDownload.failed ? ProgressBytes : BarTotal);
    StepBlock = StepNone;
    std::uint32_t ms = SysTickMs() - BarStart;
    if (LastDownload.failed) {
        if (tty)
            std::fputc('\n', stderr);
        if (LastDownload.block == 0 && LastDownload.blocks == 0)
            std::fprintf(stderr, "tarvik: %s on %s: %s\n", path, DeviceText, LastDownload.reason);
        else if (LastDownload.block == 0)
            std::fprintf(stderr, "tarvik: %s on %s: the file record (block 0): %s\n", path, DeviceText,
                         LastDownload.reason);
        else
            std::fprintf(stderr, "tarvik: %s on %s: block %d of %d: %s\n", path, DeviceText, LastDownload.block,
                         LastDownload.blocks, LastDownload.reason);
        return -1;
    }
    if (tty)
        ShowBar(BarTotal, true);
    else
        std::fprintf(stderr, "tarvik: %s: %lld bytes in %d blocks, %.3f s, %.1f KiB/s\n", path, BarTotal,
                     LastDownload.blocks, ms * 0.001, Rate(BarTotal, ms) / 1024.0);
    return 0;
}

}  // namespace

int HeadlessDownload(int argc, char **argv)
{
    if (OpenPort(argc, argv) != 0)
        return 1;
    TransferQuiet = true;
    DownloadStepHook = OnStep;
    ChooseOutput();
    bool tty = SysIsTerminal(2);
    int status = 0;
    for (int i = 0; i < StartOpts.downloadCount && status == 0; ++i)
        if (SendOne(StartOpts.downloads[i], tty) != 0)
            status = 1;
    if (status == 0 && (StartOpts.run || StartOpts.sram)) {
        // As F8 and F10 end: the stored file (the last one sent) is started.
        if (StartOpts.sram)
            SendRunLine("runr");
        else
            SendRunLine(DownloadRecordName);
        CopyReply(RunReplyWaitMs, RunQuietMs);
    }
    std::fflush(stdout);
    ComClose(CurrentPort);
    return status;
}

namespace {

std::atomic<int> ScriptRunning{0};

void ScriptThread()
{
    // The runner reads the script's name from the command words.
    SplitTokens("/script");
    Tokens[1] = const_cast<char *>(StartOpts.script);
    TokenCount = 2;
    RunScript();
    ScriptRunning = 0;
    ComWake();
}

// The failed step, once the script has ended: the script and its line,
// the file, the device and why.
void ReportFailure()
{
    const ScriptFailureRecord &f = ScriptFailure;
    std::fprintf(stderr, "tarvik: ");
    if (f.script[0] != 0) {
        WriteNameTo(stderr, f.script);
        std::fprintf(stderr, " line %ld: ", f.line);
    }
    if (f.file[0] != 0) {
        WriteNameTo(stderr, f.file);
        std::fprintf(stderr, " on ");
    }
    WriteNameTo(stderr, DeviceText);
    std::fprintf(stderr, ": %s\n", f.reason);
}

}  // namespace

// The script runs on a thread of its own, as it does on the keyboard
// thread in a session; this thread is the receive loop: it performs the
// transfers the script asks for and copies the controller's output to
// stdout, through the received-byte display when stdout is a terminal.
int HeadlessScript(int argc, char **argv)
{
    if (OpenPort(argc, argv) != 0)
        return 1;
    TransferQuiet = true;
    DownloadStepHook = OnStep;
    ChooseOutput();
    ScriptNoConsole = 1;
    ScriptRunning = 1;
    if (SysStartThread(ScriptThread) != 0) {
        std::fprintf(stderr, "tarvik: cannot start the script\n");
        ComClose(CurrentPort);
        return 1;
    }
    static unsigned char buffer[ReceiveBufferSize];
    bool gone = false;
    while (ScriptRunning != 0) {
        ServeTransferRequests();
        int n = ComRead(CurrentPort, buffer, ReceiveBufferSize);
        if (n == ComGone) {
            // The script ends with the line it is in, which fails.
            gone = true;
            ScriptHalt = "the device has gone";
            ExitRequest = 1;
            SysSleepMs(20);
        } else if (n <= 0) {
            if (ComWaitReadable(CurrentPort, 20) < 0)
                SysSleepMs(20);
        } else {
            Emit(buffer, n);
        }
    }
    std::fflush(stdout);
    ComClose(CurrentPort);
    // Every way a step can fail is recorded by the script thread; the
    // counts are the net under it.
    if (ScriptFailure.failed) {
        ReportFailure();
        return 1;
    }
    if (gone || DownloadFailures != 0) {
        std::fprintf(stderr, "tarvik: %s: %s\n", DeviceText, gone ? "the device has gone" : "a download failed");
        return 1;
    }
    return 0;
}
