// A download into several controllers at once (tarvik -d FILE ... DEVICE
// DEVICE ...), and any download with --report.  Each device is served by a
// child tarvik of its own (one port, one transfer, as a single headless
// run); this process reads their output, shows the progress on stderr,
// keeps each controller's output apart on stdout and writes the report.
//
// The report (--report FILE) holds one JSON object per line and device, in
// the order of the command line:
//   {"device":"/dev/ttyUSB0","files":["a.bin","prog.exe"],"bytes":102700,
//    "seconds":9.412,"status":"ok","error":null}
// bytes: the file bytes the controller confirmed; seconds: the device's
// whole run (port set-up, transfers, run line); error: null when ok, else
// tarvik's message (naming the file and the block).  The file is written
// beside its place and put there when every device has ended, so an older
// report stays whole until then and no link at its place is followed.
#pragma once

// argv as the session takes it (program name, devices, '/' options); the
// options are in StartOpts.  Returns the exit status: 0 every device done,
// 1 any failed or the report could not be written, 2 usage.
int HeadlessFleet(int argc, char **argv);
