// Runs without a console, for build scripts and production lines: a
// download of files into the controller (--download) and a script
// (--script).  Both take argv as the session does (program name, device,
// '/' options) and return the exit status: 0 done, 1 failed.
#pragma once

int HeadlessDownload(int argc, char **argv);
int HeadlessScript(int argc, char **argv);
