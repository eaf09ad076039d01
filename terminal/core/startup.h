// Program start-up, command-line options, the status title and the receive
// loop with its display modes.
#pragma once

constexpr const char *BannerText = "tarvi for WIN32 version 1.30 (2005/11/29)";
constexpr int ReceiveBufferSize = 4096;

// The program entry after the POSIX-only --help/--version handling.
int TarvikMain(int argc, char **argv);

void ParseOption(const char *text);
void ShowBanner();
void UpdateTitle();

// Prints the device behind COM n and the system's reason why ComOpen(n)
// failed with code.
void ShowPortOpenFailure(int n, int code);

// One pass's display of n received bytes in the mode in force.
void ShowReceived(const unsigned char *buf, int n);
