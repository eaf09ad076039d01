// Line diagnostics: the Line-mode editor with its repeat test and AutoScan,
// test bursts and the packet monitor.
#pragma once

#include <atomic>
#include <cstdint>

// ---- Line mode (key thread) ------------------------------------------------

// One typed key (a code below 256) while Line mode is on.
void LineModeKey(int code);
// One word of a command line that begins with '/'.
void ApplyDiagOption(const char *word);

// ---- Test steps (receive loop, once per pass while Line mode is on) --------

void RepeatTestStep();
void ScanStep();

// ---- Bit-rate table and hex digits -----------------------------------------

constexpr int RateTableSize = 13;
extern const int RateTable[RateTableSize];
int IsKnownRate(int rate);
// The rate that follows `rate` in the table; 0 after the last one or for a
// rate that is not in the table.
int NextRate(int rate);
int HexDigitValue(int c);

// ---- Bursts and the packet monitor (key thread) ----------------------------

void SendLetterBurst();   // F12
void SendLineBurst();     // CTRL_F12
void PacketDisplay();     // ALT_F12

// Places n received bytes into the monitor's current block and reports each
// block that completes (the monitor's per-read work, without the read).
void PacketFeed(const unsigned char *data, int n);
// Forgets the bytes of the current block (as `r` does, without a message).
void PacketFeedReset();

// ---- Parameters and state ----------------------------------------------------
// Numbers are single words shared by the key thread (command lines) and the
// receive loop (test steps).  The command text and bytes are guarded inside
// the diagnostics code; read them with DiagCommand().

constexpr int DiagCommandTextSize = 79;   // up to 78 characters
constexpr int DiagCommandBytesSize = 80;
constexpr int LineBufferSize = 83;        // 80 typed + 2 checksum + CR
constexpr int LineMaxTyped = 80;

// A test that a command line has set up but not yet started (RepeatState,
// ScanState); the receive loop leaves it alone until the line is done.
constexpr int DiagArmed = 7;

extern std::atomic<int> RepeatInterval;
extern std::atomic<int> ReplyTimeout;
extern std::atomic<int> RepeatCount;
extern std::atomic<int> QuitRequest;
extern std::atomic<int> SendAllInOnePacket;
extern std::atomic<int> ScanStartAddr;
extern std::atomic<int> ScanEndAddr;
extern std::atomic<int> ScanStartRate;
extern std::atomic<int> ScanEndRate;
extern std::atomic<int> ScanWait;
extern std::atomic<int> SentCount;
extern std::atomic<int> TimeoutCount;
extern std::atomic<std::uint32_t> TestStartTime;
extern std::atomic<std::uint32_t> LastSendTime;
extern std::atomic<int> ScanAddr;
extern std::atomic<int> ScanRate;
extern std::atomic<int> BurstLetter;

// Copies the command text and bytes (each buffer of the sizes above may be
// null); returns the number of command bytes.
int DiagCommand(char *text, unsigned char *bytes);

// Puts every diagnostics value back to its start value (for tests).
void ResetDiag();
