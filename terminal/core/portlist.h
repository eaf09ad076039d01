// tarvik --list: the serial devices of the system, one to a line with what
// is known of each on an indented line below.
#pragma once

// Prints the list (or "no serial devices") on stdout; returns the count.
int PrintSerialDevices();
