// What the session shows about its port: the status title (port, format,
// flow control, CTS, directory) and why a port did not open.  Called by the
// main thread and the keyboard thread alike; both only print.
#pragma once

// Sets the window title from the current settings.
void UpdateTitle();

// Prints the device behind COM n and the system's reason why ComOpen(n)
// failed with code.
void ShowPortOpenFailure(int n, int code);

// The reason for a ComOpen result code in words: "no such port", "already
// open" or the system's text; written into why (size bytes).
void PortOpenFailureReason(int code, char *why, int size);
