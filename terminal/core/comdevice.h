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

// ---- The serial devices of the system (tarvik --list) ----------------------

// One serial device as the system describes it; a text not known is empty.
struct ComDeviceInfo {
    char path[256];    // how a user names it: a /dev/serial/by-id link, /dev/ttyS0, COM3
    char target[256];  // the device the path leads to; empty when path is the device
    char driver[64];   // the driver that serves it
    char usbId[16];    // USB vendor:product as four hex digits each
    char serial[128];  // the USB serial number
};
constexpr int ComListMax = 64;

// Fills list with at most max serial devices that are there (POSIX: the
// /dev/serial/by-id links first, then every other port with hardware
// behind it; Win32: the COM ports), sorted.  Returns the count.  On POSIX
// systems the environment variable TARVIK_LIST_ROOT, meant for tests, names
// a directory that stands in for / (its dev/ and sys/ are looked at).
int ComListDevices(ComDeviceInfo *list, int max);
