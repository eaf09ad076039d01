// Local echo and the line-end maps: what a typed Enter sends, and how the
// controller's line ends are shown.  Set from the command line (--echo,
// --map) and toggled in command mode; read by the keyboard thread (what
// is sent and echoed) and by the receive loop (what is shown).
#pragma once

#include <atomic>

// Typed characters are shown on the screen as they are sent (1) or not (0).
extern std::atomic<int> LocalEcho;

// Map items, a bit each in MapFlags.
enum {
    MapCrLf = 1,   // Enter (CR) sends CR LF
    MapInCrNl = 2, // a received CR is shown as LF (a line end)
    MapInNlCr = 4, // a received LF is shown as CR (back to the line start)
};
constexpr int MapItemCount = 3;
extern std::atomic<int> MapFlags;

// The name of map item i (0..MapItemCount-1: "crlf", "icrnl", "inlcr") and
// its bit.
const char *MapItemName(int i);
int MapItemBit(int i);

// Reads a comma-separated list of map items ("crlf,icrnl") into *flags.
// Returns 0, or -1 when an item is empty or unknown (nothing is changed).
int ParseMapList(const char *list, int *flags);

// Sends one typed byte to the current port, as the maps say, and shows what
// was sent when LocalEcho is on.  Keyboard thread.
void SendTypedByte(unsigned char byte);

// Rewrites n received bytes in place for the display as the received-side
// maps say.  Returns whether anything may have changed (a map is on).
bool MapReceived(unsigned char *buf, int n);

// Prints "Modes: hex ON|OFF, echo ON|OFF, map ITEMS|none" on a line of its
// own (the start-up summary and command mode's toggles).
void ShowModes();
