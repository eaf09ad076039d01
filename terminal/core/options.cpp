// The command line's options of our own.  They are all read before
// anything is opened, so a bad one ends the run with status 2 and nothing
// touched.
#include "options.h"

#include "comdevice.h"
#include "console.h"
#include "globals.h"
#include "logfile.h"
#include "portlist.h"
#include "serial.h"
#include "settings.h"
#include "status.h"
#include "system.h"
#include "timestamp.h"
#include "typing.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

StartOptions StartOpts;

void FileProblemText(int code, char *why, int size)
{
    if (code == SysIsDirectory)
        std::snprintf(why, static_cast<std::size_t>(size), "a directory");
    else if (code == SysNotRegular)
        std::snprintf(why, static_cast<std::size_t>(size), "not a regular file");
    else
        SysErrorText(code, why, size);
}

namespace {

// The length of the UTF-8 character at p (2 to 4 bytes) and its value, or
// 0 when p holds no such character.
int Utf8At(const unsigned char *p, unsigned *value)
{
    int len = p[0] >= 0xF0 && p[0] <= 0xF4 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC2 && p[0] < 0xE0 ? 2 : 0;
    if (len == 0)
        return 0;
    unsigned v = p[0] & (0x7Fu >> len);
    for (int i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;  // the zero at the end among them
        v = (v << 6) | (p[i] & 0x3Fu);
    }
    if ((len == 3 && v < 0x800) || (len == 4 && (v < 0x10000 || v > 0x10FFFF)))
        return 0;
    *value = v;
    return len;
}

}  // namespace

void WriteNameTo(std::FILE *stream, const char *name)
{
    // The 8-bit controls (0x80-0x9F, alone or written in UTF-8) act on some
    // terminals as ESC [ does; other bytes above 0x7F are text.
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p != 0;) {
        unsigned value = 0;
        int len = *p >= 0x80 ? Utf8At(p, &value) : 0;
        if (len > 0 && value >= 0xA0) {
            std::fwrite(p, 1, static_cast<std::size_t>(len), stream);
            p += len;
            continue;
        }
        bool control = *p < 0x20 || (*p >= 0x7F && *p <= 0x9F) || len > 0;
        std::fputc(control ? '?' : *p, stream);
        p += len > 0 ? len : 1;
    }
}

namespace {

bool EqualsIgnoreCase(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 0x20);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 0x20);
        if (x != y)
            return false;
    }
    return *a == *b;
}

// -w looks for the device this often, and for Ctrl+C in between.
constexpr int WaitRetryMs = 200;
constexpr int WaitSliceMs = 20;

bool Is(const char *arg, const char *shortName, const char *longName)
{
    return (shortName != nullptr && std::strcmp(arg, shortName) == 0) || std::strcmp(arg, longName) == 0;
}

int Bad(const char *what, const char *arg)
{
    std::fprintf(stderr, "tarvik: %s %s (see tarvik --help)\n", what, arg);
    return StartUsageError;
}

// A file to send or a script to run: a regular file that can be read.  A
// directory, a device or a pipe is refused here, before anything is
// opened (reading a pipe would wait for a writer, and a device never ends).
int BadFile(const char *what, const char *path)
{
    int code = SysReadableFile(path);
    if (code == 0)
        return 0;
    char why[256];
    FileProblemText(code, why, sizeof why);
    std::fprintf(stderr, "tarvik: cannot read %s ", what);
    WriteNameTo(stderr, path);
    std::fprintf(stderr, ": %s\n", why);
    return StartUsageError;
}

// A word of the command line that is a '/' option (/C3, /cls), not a path.
bool IsOptionWord(const char *word)
{
    return word[0] == '/' && !IsDevicePath(word);
}

bool Headless()
{
    return StartOpts.downloadCount > 0 || StartOpts.script != nullptr;
}

// A network port's word that cannot be used, named on stderr: status 2.
int BadNetWord(const char *what, const char *word, int code)
{
    if (code == ComNetUnsupported) {
        std::fprintf(stderr, "tarvik: network ports are not supported in this build\n");
        return StartUsageError;
    }
    if (code != ComBadAddress)
        return 0;
    std::fprintf(stderr, "tarvik: %s", what);
    WriteNameTo(stderr, word);
    std::fprintf(stderr, " is not a network port (rfc2217://HOST:PORT or tcp://HOST:PORT, PORT 1..65535)\n");
    return StartUsageError;
}

// Every device word that names a network port is checked for its form
// before anything is opened, in a session as in a headless run.
int CheckNetWords(char **words, int count)
{
    for (int i = 1; i < count; ++i)
        if (!IsOptionWord(words[i]) && std::strstr(words[i], "://") != nullptr &&
            BadNetWord("", words[i], ComCheckDevice(words[i])) != 0)
            return StartUsageError;
    return 0;
}

// A headless run uses the port it is given or none: every device word and
// every /C# must name something that can be opened, checked before any
// port is opened.  -w waits for a device that is not there yet.
int CheckHeadlessPorts(char **words, int count)
{
    const char *device = nullptr;
    const char *missing = nullptr;
    for (int i = 1; i < count; ++i) {
        const char *word = words[i];
        if (IsOptionWord(word)) {
            if ((word[1] != 'C' && word[1] != 'c') || word[2] < '0' || word[2] > '9')
                continue;
            int n = DecimalOrZero(word + 2);
            if (n < 1 || n >= ComPortCount)
                return Bad("no such port", word);
            char path[256];
            ComDeviceName(n, path, sizeof path);
            int code = ComCheckDevice(path);
            if (code == ComBadAddress) {
                std::fprintf(stderr, "tarvik: %s names ", word);
                return BadNetWord("", path, code);
            }
            if (!StartOpts.waitDevice && code == ComNoDevice) {
                std::fprintf(stderr, "tarvik: %s names ", word);
                WriteNameTo(stderr, path);
                std::fprintf(stderr, ", which is not there\n");
                return StartUsageError;
            }
            continue;
        }
        // A download goes into every device named; a script uses one.
        if (device != nullptr && StartOpts.downloadCount == 0) {
            std::fprintf(stderr, "tarvik: more than one device: ");
            WriteNameTo(stderr, device);
            std::fprintf(stderr, " and ");
            WriteNameTo(stderr, word);
            std::fprintf(stderr, "\n");
            return StartUsageError;
        }
        device = word;
        if (StartOpts.downloadCount > 0) {
            if (StartOpts.deviceCount >= MaxDevices)
                return Bad("too many devices (at most 64), from", word);
            StartOpts.devices[StartOpts.deviceCount++] = word;
        }
        int code = ComCheckDevice(word);
        if (code == ComNoDevice && !StartOpts.waitDevice && missing == nullptr)
            missing = word;
        if (code == ComNotDevice) {
            std::fprintf(stderr, "tarvik: ");
            WriteNameTo(stderr, word);
            std::fprintf(stderr, ": not a device\n");
            return StartUsageError;
        }
    }
    // Among several devices (or with a report) a missing one is that
    // device's failure, and the others are still served.
    if (missing != nullptr && StartOpts.deviceCount <= 1 && StartOpts.report == nullptr) {
        std::fprintf(stderr, "tarvik: ");
        WriteNameTo(stderr, missing);
        std::fprintf(stderr, ": no such device\n");
        return StartUsageError;
    }
    return 0;
}

// Long option names fit this (with their leading "--").
constexpr std::size_t LongNameSize = 32;

bool IsFlag(const char *arg)
{
    return Is(arg, "-h", "--help") || Is(arg, nullptr, "--version") || Is(arg, "-t", "--timestamp") ||
           Is(arg, "-w", "--wait") || Is(arg, nullptr, "--run") || Is(arg, nullptr, "--sram") ||
           Is(arg, "-x", "--hex") || Is(arg, nullptr, "--echo") || Is(arg, nullptr, "--progress") ||
           Is(arg, nullptr, "--list") || Is(arg, nullptr, "--no-low-latency");
}

bool TakesValue(const char *arg)
{
    return Is(arg, "-b", "--baud") || Is(arg, "-l", "--log") || Is(arg, "-d", "--download") ||
           Is(arg, nullptr, "--script") || Is(arg, nullptr, "--parity") || Is(arg, nullptr, "--databits") ||
           Is(arg, nullptr, "--stopbits") || Is(arg, nullptr, "--flow") || Is(arg, nullptr, "--map") ||
           Is(arg, nullptr, "--report");
}

// The index of word in the list of count words, or -1.
int WordIndex(const char *word, const char *const *list, int count)
{
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(word, list[i]) == 0)
            return i;
    }
    return -1;
}

// One option that takes a value; 0, or StartUsageError with the reason on
// stderr.
int TakeValue(const char *arg, const char *value)
{
    if (Is(arg, "-b", "--baud")) {
        char *end = nullptr;
        long rate = std::strtol(value, &end, 10);
        // 0 would hang up the line.
        if (end == value || *end != 0 || rate < 2 || rate > 100000000)
            return Bad("cannot use the bit rate", value);
        StartOpts.baud = static_cast<int>(rate);
    } else if (Is(arg, "-l", "--log")) {
        if (value[0] == 0)
            return Bad("missing value for", arg);
        StartOpts.logFile = value;
    } else if (Is(arg, nullptr, "--report")) {
        if (value[0] == 0)
            return Bad("missing value for", arg);
        StartOpts.report = value;
    } else if (Is(arg, nullptr, "--script")) {
        if (BadFile("the script", value) != 0)
            return StartUsageError;
        StartOpts.script = value;
    } else if (Is(arg, nullptr, "--parity")) {
        // In the order of the parity letters N, E, O, M, S.
        static const char *const names[] = {"none", "even", "odd", "mark", "space"};
        int index = WordIndex(value, names, 5);
        if (index < 0)
            return Bad("--parity takes none, odd, even, mark or space, not", value);
        StartOpts.parity = index;
    } else if (Is(arg, nullptr, "--databits")) {
        if (value[0] < '5' || value[0] > '8' || value[1] != 0)
            return Bad("--databits takes 5, 6, 7 or 8, not", value);
        StartOpts.dataBits = value[0] - '0';
    } else if (Is(arg, nullptr, "--stopbits")) {
        if ((value[0] != '1' && value[0] != '2') || value[1] != 0)
            return Bad("--stopbits takes 1 or 2, not", value);
        StartOpts.stopBits = value[0] - '0';
    } else if (Is(arg, nullptr, "--flow")) {
        // The flow-control modes 0..3 of /F#.
        static const char *const names[] = {"none", "cts", "rtscts", "rts"};
        int mode = WordIndex(value, names, 4);
        if (mode < 0)
            return Bad("--flow takes none, cts, rtscts or rts, not", value);
        StartOpts.flow = mode;
    } else if (Is(arg, nullptr, "--map")) {
        int flags = 0;
        if (ParseMapList(value, &flags) != 0)
            return Bad("--map takes a list of crlf, icrnl, inlcr (crlf,icrnl), not", value);
        StartOpts.map = flags;
    } else {
        if (StartOpts.downloadCount >= MaxDownloadFiles)
            return Bad("too many files to download (at most 10), from", value);
        if (BadFile("the file", value) != 0)
            return StartUsageError;
        StartOpts.downloads[StartOpts.downloadCount++] = value;
    }
    return 0;
}

}  // namespace

void PrintUsage()
{
    std::printf(
        "Usage: tarvik [OPTIONS] [DEVICE] [/C#] [/B#] [/F#] [/S#] [/CLS]\n"
        "       tarvik --download FILE [-d FILE ...] [--run | --sram] [OPTIONS] [DEVICE]\n"
        "       tarvik -d FILE ... [--run | --sram] [--report FILE] DEVICE DEVICE ...\n"
        "       tarvik --script FILE [OPTIONS] [DEVICE]\n"
        "       tarvik --help | --version\n"
        "  DEVICE     a serial device path (for example /dev/ttyUSB0): the current\n"
        "             COM port for this run; or a serial device server's port,\n"
        "             rfc2217://HOST:PORT (RFC 2217) or tcp://HOST:PORT (raw TCP)\n"
        "  /C#        use COM port # (POSIX: the device in TARVIK_COM#, else\n"
        "             /dev/ttyS<#-1>)\n"
        "  /B#        bit rate #\n"
        "  /F#        flow control 0..3 (0 none, 1 CTS, 2 RTS/CTS handshake,\n"
        "             3 RTS while sending)\n"
        "  /S#        screen rows 20..50\n"
        "  /CLS       clear the screen at start\n"
        "  An unknown / option is named on stderr and ignored.\n"
        "Options (a long option's value may also follow '=': --baud=9600):\n"
        "  -b, --baud RATE       bit rate RATE (as /B#)\n"
        "      --parity P        parity none, odd, even, mark or space\n"
        "      --databits N      data bits 5, 6, 7 or 8\n"
        "      --stopbits N      stop bits 1 or 2\n"
        "      --flow F          flow control none, cts, rtscts or rts (as /F0../F3)\n"
        "  -x, --hex             start in Hex mode (as ALT_H)\n"
        "      --echo            show typed characters on the screen (local echo)\n"
        "      --map ITEMS       comma-separated: crlf (Enter sends CR LF), icrnl\n"
        "                        (show a received CR as LF), inlcr (LF as CR)\n"
        "  -l, --log FILE        append every received byte to FILE from the start\n"
        "                        (as command mode's l)\n"
        "  -t, --timestamp       begin every line from the controller with\n"
        "                        [HH:MM:SS.mmm] on the screen and in the log (plain\n"
        "                        display only; command mode's t turns it on and off)\n"
        "  -w, --wait            wait for a device that is missing at the start\n"
        "                        (Ctrl+C ends the wait)\n"
        "  -d, --download FILE   without a console: send FILE into the controller's\n"
        "                        flash as F9 does and exit; several -d are sent in order\n"
        "      --run             after the download, run the (last) file with the\n"
        "                        arguments of tarvik.ini, as F8 does\n"
        "      --sram            download into SRAM and run it with runr, as F10 does\n"
        "      --report FILE     with --download: write one JSON line per device (device,\n"
        "                        files, bytes, seconds, status, error) into FILE; with\n"
        "                        several devices they are served in parallel, each\n"
        "                        with its own port\n"
        "      --progress        with --download: a line 'tarvik: progress BYTES TOTAL\n"
        "                        FILE' on stderr as the blocks are confirmed\n"
        "      --script FILE     without a console: run the script FILE and exit; the\n"
        "                        controller's output goes to stdout\n"
        "      --list            list the serial devices of this system and exit\n"
        "      --no-low-latency  leave the port's driver as it is (by default a USB\n"
        "                        adapter is asked not to hold received bytes)\n"
        "  -h, --help            print this text and exit\n"
        "      --version         print the version and exit\n"
        "  An unknown option or a value that cannot be used ends tarvik with status 2.\n"
        "The bit rate and the data format (-b, --parity, --databits, --stopbits) of a\n"
        "session are saved in tarvik.ini at its end; flow control, -x, --echo and\n"
        "--map are not.  Command mode (ALT_C) toggles x hex, k echo, r crlf, i icrnl,\n"
        "j inlcr.\n"
        "--download and --script write the controller's output alone to stdout and\n"
        "their own messages to stderr.  The device is the one word that is not an\n"
        "option (a relative path is taken from the current directory); --download\n"
        "takes several, and then each line of stdout begins with its device and ': '.\n"
        "Exit status: 0 done (every device), 1 the transfer or the script failed (the\n"
        "message names the device, the block or the script's line) or the report\n"
        "could not be written, 2 usage error (found before any port is opened),\n"
        "129, 130, 143 ended by SIGHUP, SIGINT, SIGTERM.\n"
        "Environment (POSIX systems):\n"
        "  TARVIK_COM<n>    the device for COM n (for example TARVIK_COM3=/dev/ttyUSB0);\n"
        "                   without it COM n is /dev/ttyS<n-1>\n"
        "  TARVIK_CODEPAGE  the code page of the controller's bytes 0x80-0xFF (437, 950,\n"
        "                   936, 1252, ...; default 437), shown converted to the\n"
        "                   terminal's character set\n"
        "Settings are read from and saved to tarvik.ini in the current directory.\n"
        "Press F1 inside tarvik for the hotkeys; ALT_X quits.\n");
}

int ParseStartOptions(int argc, char **argv, char **rest, int *restCount)
{
    StartOpts = StartOptions{};
    StartOpts.parity = -1;
    StartOpts.flow = -1;
    StartOpts.map = -1;
    int kept = 0;
    rest[kept++] = argc > 0 ? argv[0] : nullptr;
    for (int i = 1; i < argc; ++i) {
        const char *given = argv[i];
        if (given[0] != '-' || given[1] == 0) {
            rest[kept++] = argv[i];  // the device, '/' options and other words
            continue;
        }
        // A long option may carry its value after '=' (--baud=9600).
        const char *arg = given;
        const char *inlineValue = nullptr;
        char name[LongNameSize];
        if (given[1] == '-') {
            if (const char *eq = std::strchr(given, '='); eq != nullptr) {
                std::size_t len = static_cast<std::size_t>(eq - given);
                if (len >= sizeof name)
                    return Bad("unknown option", given);
                std::memcpy(name, given, len);
                name[len] = 0;
                arg = name;
                inlineValue = eq + 1;
            }
        }
        if (TakesValue(arg)) {
            const char *value = inlineValue;
            if (value == nullptr) {
                if (i + 1 >= argc)
                    return Bad("missing value for", arg);
                value = argv[++i];
            }
            if (int code = TakeValue(arg, value); code != 0)
                return code;
            continue;
        }
        if (!IsFlag(arg))
            return Bad("unknown option", given);
        if (inlineValue != nullptr)
            return Bad("no value is taken by", arg);
        if (Is(arg, "-h", "--help")) {
            PrintUsage();
            return StartDone;
        }
        if (Is(arg, nullptr, "--version")) {
            std::printf("tarvik 1.30\n");
            return StartDone;
        }
        if (Is(arg, nullptr, "--list")) {
            PrintSerialDevices();
            return StartDone;
        }
        if (Is(arg, "-t", "--timestamp"))
            StartOpts.timestamps = 1;
        else if (Is(arg, "-w", "--wait"))
            StartOpts.waitDevice = 1;
        else if (Is(arg, nullptr, "--run"))
            StartOpts.run = 1;
        else if (Is(arg, nullptr, "--sram"))
            StartOpts.sram = 1;
        else if (Is(arg, "-x", "--hex"))
            StartOpts.hex = 1;
        else if (Is(arg, nullptr, "--echo"))
            StartOpts.echo = 1;
        else if (Is(arg, nullptr, "--progress"))
            StartOpts.progress = 1;
        else if (Is(arg, nullptr, "--no-low-latency"))
            StartOpts.keepLatency = 1;
    }
    rest[kept] = nullptr;
    *restCount = kept;
    ComLowLatency = StartOpts.keepLatency ? 0 : 1;
    if (StartOpts.run && StartOpts.sram)
        return Bad("choose one of", "--run and --sram");
    if ((StartOpts.run || StartOpts.sram) && StartOpts.downloadCount == 0)
        return Bad("--run and --sram need", "--download FILE");
    if (StartOpts.script != nullptr && StartOpts.downloadCount > 0)
        return Bad("choose one of", "--script and --download");
    if (StartOpts.report != nullptr && StartOpts.downloadCount == 0)
        return Bad("--report needs", "--download FILE");
    if (CheckNetWords(rest, kept) != 0)
        return StartUsageError;
    if (Headless() && CheckHeadlessPorts(rest, kept) != 0)
        return StartUsageError;
    if (StartOpts.deviceCount > 1 || StartOpts.report != nullptr)
        return StartFleet;
    if (StartOpts.downloadCount > 0)
        return StartDownload;
    if (StartOpts.script != nullptr)
        return StartScript;
    return StartInteractive;
}

bool IsDevicePath(const char *arg)
{
    return arg[0] != 0 && std::strchr(arg + 1, '/') != nullptr;
}

void WarnUnknownOption(const char *text)
{
    std::fprintf(stderr, "tarvik: unknown option %s (ignored)\n", text);
}

int OpenStartLog()
{
    if (StartOpts.logFile == nullptr)
        return 0;
    int fd = LogOpen(StartOpts.logFile);
    if (fd < 0) {
        char why[256];
        SysErrorText(SysLastError(), why, sizeof why);
        std::fprintf(stderr, "tarvik: cannot open the log file %s: %s\n", StartOpts.logFile, why);
        return -1;
    }
    std::snprintf(LogFileName, LogFileNameSize, "%s", StartOpts.logFile);
    LogFile = fd;
    LogEnabled = 1;
    return 0;
}

void ApplyStartOptions()
{
    if (StartOpts.baud != 0)
        BaudRate = StartOpts.baud;
    if (StartOpts.timestamps)
        TimeStampMode = 1;
    if (StartOpts.parity >= 0)
        ParityIndex = StartOpts.parity;
    if (StartOpts.dataBits != 0)
        DataBits = StartOpts.dataBits;
    if (StartOpts.stopBits != 0)
        StopBits = StartOpts.stopBits;
    if (StartOpts.flow >= 0)
        FlowControl = StartOpts.flow;
    if (StartOpts.hex)
        HexMode = 1;
    if (StartOpts.echo)
        LocalEcho = 1;
    if (StartOpts.map >= 0)
        MapFlags = StartOpts.map;
}

int WaitForStartDevice(bool keys)
{
    int n = CurrentPort;
    bool told = false;
    for (;;) {
        int code = ComOpen(n);
        if (code == 0) {
            ComClose(n);
            if (told && keys) {
                std::printf("[COM%d is here]\n\r", n);
                std::fflush(stdout);
            }
            return 0;
        }
        if (code == -2)
            return 0;  // no such port: the open that follows says so
        if (!told) {
            char dev[256];
            ComDeviceName(n, dev, sizeof dev);
            // Without a console the message goes with the other reports.
            std::fprintf(keys ? stdout : stderr,
                         "[COM%d: %s is not there; waiting for it (Ctrl+C ends the wait)]\n\r", n, dev);
            std::fflush(keys ? stdout : stderr);
            told = true;
        }
        for (int slept = 0; slept < WaitRetryMs; slept += WaitSliceMs) {
            int key = keys ? ConReadKey() : 0;
            if (key == 3 || key == 0x1B)
                return -1;
            SysSleepMs(WaitSliceMs);
        }
    }
}

void ParseOption(const char *text)
{
    if (text[0] != '/' || text[1] == 0)
        return;
    char option = text[1];
    if (option >= 'a' && option <= 'z')
        option = static_cast<char>(option - 0x20);
    const char *value = text + 2;
    switch (option) {
    case 'B': {
        // 0 would hang up the line; a rate that cannot be set is not saved.
        int rate = 0;
        if (ParseBitRate(value, &rate))
            BaudRate = rate;
        else
            std::printf("Cannot use %s, the bit rate stays %d\n\r", text, BaudRate.load());
        break;
    }
    case 'C':
        if (Headless()) {
            // No screen to clear, and no other port to fall back on: the
            // port named is the port used (checked before, opened later).
            if (value[0] >= '0' && value[0] <= '9')
                CurrentPort = DecimalOrZero(value);
            else if (!EqualsIgnoreCase(text + 1, "cls"))
                WarnUnknownOption(text);
        } else if (value[0] >= '0' && value[0] <= '9') {
            int n = DecimalOrZero(value);
            int code = ComOpen(n);
            if (code != 0) {
                ShowPortOpenFailure(n, code);
                std::printf("Cannot use COM %d\n\r", n);
            } else {
                ComClose(n);
                CurrentPort = n;
            }
        } else if (EqualsIgnoreCase(text + 1, "cls")) {
            ConClearScreen();
        } else {
            WarnUnknownOption(text);
        }
        break;
    case 'F': {
        int mode = 0;
        if (ParseDecimal(value, &mode) && mode >= 0 && mode <= 3)
            FlowControl = mode;
        else
            std::printf("Cannot use %s (flow control 0..3), it stays %d\n\r", text, FlowControl.load());
        break;
    }
    case 'S': {
        int rows = DecimalOrZero(value);
        if (rows < 20)
            rows = 20;
        if (rows > 50)
            rows = 50;
        ScreenRows = rows;
        break;
    }
    default:
        WarnUnknownOption(text);
        break;
    }
}

const char *ReadSessionSettings(int argc, char **argv)
{
    LoadSettings();
    if (SavedPort > 0)
        CurrentPort = SavedPort.load();
    const char *device = nullptr;
    for (int i = 1; i < argc; ++i) {
        // Without a console every word that is not an option is the device
        // (the command line has been checked: there is at most one).
        if (IsDevicePath(argv[i]) || (Headless() && argv[i][0] != '/'))
            device = argv[i];
        else if (argv[i][0] == '/')
            ParseOption(argv[i]);
        else
            WarnUnknownOption(argv[i]);
    }
    return device;
}
