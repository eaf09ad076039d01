// Process-wide settings and flags of tarvik.
//
// The main thread (receive loop) and the keyboard thread share these words
// without locks; every flag is an atomic int so that a toggle made on one
// thread is seen by the other at its next pass.  Text values are written by
// the keyboard thread before it raises the flag that makes the main thread
// read them, which orders the two accesses.
#pragma once

#include <atomic>
#include <cstdint>

constexpr const char *TarvikVersionText = "TARVIK 1.30";

// Settings (stored in tarvik.ini).
extern std::atomic<int> CurrentPort;
extern std::atomic<int> SavedPort;
extern std::atomic<int> BaudRate;
extern std::atomic<int> ParityIndex;
extern std::atomic<int> DataBits;
extern std::atomic<int> StopBits;
extern std::atomic<int> FlowControl;
extern std::atomic<int> ScreenRows;
extern std::atomic<int> CtsState;

constexpr int DownloadFileNameSize = 120;
constexpr int RunArgCount = 10;
constexpr int RunArgSize = 20;
constexpr int MultiFileCount = 10;
constexpr int MultiFileSize = 200;
extern char DownloadFileName[DownloadFileNameSize];
extern char RunArgs[RunArgCount][RunArgSize];
extern char MultiFiles[MultiFileCount][MultiFileSize];

// The five parity letters, indexed by ParityIndex (no terminator).
extern const char ParityLetters[5];
char ParityLetter(int index);

// Mode and request flags.
extern std::atomic<int> ExitRequest;
extern std::atomic<int> EchoBackMode;
extern std::atomic<int> HexMode;
extern std::atomic<int> AnsiMode;
extern std::atomic<int> LineMode;
extern std::atomic<int> ChecksumMode;
extern std::atomic<int> LineLength;
extern std::atomic<int> DownloadRequest;
extern std::atomic<int> UploadRequest;
extern std::atomic<int> AutoLoadActive;
extern std::atomic<int> MultiLoadActive;
extern std::atomic<int> MultiLoadIndex;
extern std::atomic<int> RunAfterLoad;
extern std::atomic<int> RunSramAfterLoad;
extern std::atomic<int> LoadDone;

// Line-mode diagnostic fields read and updated by the receive loop.
extern std::atomic<int> RepeatState;
extern std::atomic<int> ScanState;
extern std::atomic<int> ReplyLength;
extern std::atomic<int> ReplyCount;
extern std::atomic<int> PatternCheck;
extern std::atomic<int> PatternLength;
extern std::atomic<int> PatternIndex;
extern std::atomic<int> EchoLf;
constexpr int PatternTextSize = 100;
constexpr int PatternBufferSize = 100;
extern char PatternText[PatternTextSize];
extern char PatternBuffer[PatternBufferSize];

// Logging of received bytes (command mode opens and closes the file).
extern std::atomic<int> LogEnabled;
extern std::atomic<int> LogFile;  // file descriptor, -1 when none
constexpr int LogFileNameSize = 256;
extern char LogFileName[LogFileNameSize];

// Puts every value back to its start value (used at start-up and by tests).
void ResetGlobals();

// Hand-over between the threads around long operations.
// TransferActive: a download or upload runs on the main thread; the
// keyboard thread then sends no typed keys to the port and turns Escape
// into CancelRequest, which the transfer polls.
// KeyThreadHold: a prompt on the main thread is reading keys; the keyboard
// thread leaves the console alone meanwhile.
extern std::atomic<int> TransferActive;
extern std::atomic<int> CancelRequest;
extern std::atomic<int> KeyThreadHold;

// The packet monitor (key thread) reads the port itself: it sets 1, the
// receive loop answers 2 when it has stepped off the port and reads nothing
// until the monitor sets 0 again.
extern std::atomic<int> MonitorActive;
