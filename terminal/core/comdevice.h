// A device path given on the command line (tarvik /dev/ttyUSB0) stands for
// the current COM port during this run; the settings keep the COM number.
//
// Called by start-up only (main thread, before the keyboard thread starts).
// One back-end per platform (posix/comdevice_posix.cpp: the TARVIK_COM<n>
// variables; win32/comdevice_win32.cpp: ports by number only).
#pragma once

// Makes COM n name the device at path from now on.  0 on success, -1 when
// the system has no such mapping (the Win32 console program opens COM
// ports by number only).  Called at start-up, before the keyboard thread
// starts.
int ComUseDevice(int n, const char *path);

// Makes every device path of the COM ports that is relative to the working
// directory (TARVIK_COM3=./s1, tarvik ./s1) absolute, so that a later change
// of directory in command mode does not lose the port's return.  Called
// once at start-up, before the keyboard thread starts.
void ComAbsoluteDevicePaths();

// What path names, checked before any port is opened: 0 a device that a
// port can be opened on (POSIX: a character device, links followed),
// ComNoDevice when nothing is there, ComNotDevice for anything else (a
// file, a directory).  The Win32 back-end takes no paths: ComNotDevice.
//
// A network port's word (rfc2217://HOST:PORT, tcp://HOST:PORT) is checked
// for its form only, the server being asked when the port is opened: 0
// for a good one, ComBadAddress for a word with "://" that is not one (an
// unknown scheme, no port, a port outside 1..65535), ComNetUnsupported
// where this build has no network ports.
constexpr int ComNoDevice = -1;
constexpr int ComNotDevice = -2;
constexpr int ComBadAddress = -3;
constexpr int ComNetUnsupported = -4;
int ComCheckDevice(const char *path);
