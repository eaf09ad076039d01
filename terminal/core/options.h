// The command line: the options of our own (-b, -l, -t, -w, -d, --script,
// --help, --version) beside the '/' options, which TarvikMain handles.
#pragma once

#include <cstdio>

constexpr int MaxDownloadFiles = 10;  // -d files of one headless run, as ALT_F9's list
constexpr int MaxDevices = 64;        // devices of one download run

enum {
    StartInteractive = 0,  // the terminal session
    StartDone = 1,         // --help or --version printed: exit 0
    StartUsageError = 2,   // named on stderr: exit 2
    StartDownload = 3,     // headless download
    StartScript = 4,       // headless script
    StartFleet = 5,        // headless download into several devices, or with --report
};

struct StartOptions {
    int baud;             // -b; 0 when not given
    const char *logFile;  // -l; nullptr when not given
    int timestamps;       // -t
    int waitDevice;       // -w
    const char *downloads[MaxDownloadFiles];  // -d, in order
    int downloadCount;
    int run;              // --run
    int sram;             // --sram
    const char *script;   // --script
    const char *devices[MaxDevices];  // the device words of a download run, in order
    int deviceCount;
    const char *report;   // --report; nullptr when not given
    int progress;         // --progress
    int parity;           // --parity: index 0..4 (N, E, O, M, S); -1 when not given
    int dataBits;         // --databits 5..8; 0 when not given
    int stopBits;         // --stopbits 1 or 2; 0 when not given
    int flow;             // --flow: 0..3 as /F#; -1 when not given
    int hex;              // -x, --hex
    int echo;             // --echo
    int map;              // --map: MapFlags bits; -1 when not given
    int keepLatency;      // --no-low-latency
};
extern StartOptions StartOpts;

// Reads argv into StartOpts and leaves in rest (argv[0] first, then the
// device and the '/' options in their order) what TarvikMain handles;
// rest has room for argc + 1 entries and ends with nullptr.  Prints the
// usage or version, or names a bad option on stderr.  Returns one of the
// Start codes above.
int ParseStartOptions(int argc, char **argv, char **rest, int *restCount);

void PrintUsage();

// An argument with a '/' after its first character is a device path
// (/dev/ttyUSB0, ./ttyV0); options (/C3, /cls) have none.
bool IsDevicePath(const char *arg);

// A '/' option that tarvik does not know: named on stderr, then ignored.
void WarnUnknownOption(const char *text);
// Opens the -l log file (before anything else is opened); 0 on success,
// else the reason is on stderr.
int OpenStartLog();
// Puts -b, -t, the line format, -x, --echo and --map in force (after the
// settings file and the '/' options).
void ApplyStartOptions();
// -w: waits, with one message, until the current port's device can be
// opened.  With keys, Ctrl+C or Escape on the console ends the wait
// (returns -1); without, Ctrl+C ends the program.  0 when the device is there.
int WaitForStartDevice(bool keys);

// Handles one '/' option (/B, /C, /cls, /F, /S); an unknown one is named on
// stderr and ignored.
void ParseOption(const char *text);

// Reads the settings file, makes the saved port current and handles the
// '/' options of argv (argv[0] is the program); any other word is named as
// unknown.  Returns the device path given among them (the last one), or
// nullptr.  The session and the headless runs start with this.
const char *ReadSessionSettings(int argc, char **argv);

// Writes a name (a file, a device, a script) into a report on stream, its
// control characters (the 8-bit ones too) as '?', so that no name can act
// on a terminal.
void WriteNameTo(std::FILE *stream, const char *name);
// Why SysReadableFile refused a file (its result code), in words.
void FileProblemText(int code, char *why, int size);
