// Runs without a console, for build scripts and production lines: a
// download of files into the controller (--download) and a script
// (--script).  Both take argv as the session does (program name, device,
// '/' options) and return the exit status: 0 done, 1 failed.  stdout
// carries the controller's bytes alone, tarvik's own words go to stderr;
// SIGINT, SIGTERM and SIGHUP end the run with one line saying where.
#pragma once

int HeadlessDownload(int argc, char **argv);
int HeadlessScript(int argc, char **argv);
