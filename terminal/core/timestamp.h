// Time stamps on the controller's lines (-t, command mode's t): in the
// plain display every line from the controller begins with
// "[HH:MM:SS.mmm] ", the local time of its first byte, on the screen and in
// the log.  Hex, ANSI and Line mode show bytes whose line starts mean
// something else: they get no stamps.
#pragma once

#include <atomic>

extern std::atomic<int> TimeStampMode;
// Set while the receive loop writes the log itself, stamped; the serial
// layer's copy of received bytes then stays out of the log.
extern std::atomic<int> StampedLog;

constexpr int StampTextSize = 16;  // "[HH:MM:SS.mmm] " and the zero byte
void StampText(char out[StampTextSize]);

// Whether stamps apply now: TimeStampMode on and the plain display in force.
bool StampsApply();
// Shows n received bytes with show(), a stamp before the first byte of
// every line; the same stamped text goes to the log when logging is on.
void ShowStamped(const unsigned char *buf, int n, void (*show)(const unsigned char *, int));
// Turns stamps on or off (command mode's t) and says so.
void ToggleTimeStamps();
