// Network serial ports behind the POSIX serial back-end: COM n whose device
// word is rfc2217://HOST:PORT or tcp://HOST:PORT is a TCP connection.
// serial_posix.cpp hands a port's operations here while NetIsPort(n).
//
// A connection that the server closes (or that breaks) reads as ComGone,
// as an unplugged adapter does; ComReopen connects again and gives the
// server's port the settings it had.  Every wait here is bounded: a server
// that does not answer a control request is not an error.
#pragma once

// 0 and the connected socket in *fd, or the system's error code (the
// address cannot be resolved: EHOSTUNREACH; a bad word: EINVAL).
int NetOpen(int n, const char *word, int *fd);
// Whether port n is a network port (from its open until NetForget).
bool NetIsPort(int n);
// Forgets port n's connection (the caller closes fd).
void NetForget(int n, int fd);
// Gives a new connection of port n the settings the old one had.
void NetReapply(int n, int fd);

// As ComSysRead: the count, 0 for nothing waiting, ComGone when the
// connection has ended, -1 on another failure.
int NetRead(int n, int fd, void *buffer, int max);
// Whether received data waits in our own buffer (the socket may be empty).
bool NetPending(int n);
// As ComSysWrite.
int NetWrite(int n, int fd, const void *buffer, int count);
// Throws away received data not yet read.
void NetPurge(int n);

void NetSetRate(int n, int fd, int flowMode, int rate, unsigned long *before, unsigned long *after);
void NetSetFormat(int n, int fd, int parity, int data, int stop);
void NetSetRts(int n, int fd, bool on);
void NetBreak(int n, int fd, bool on);
// 0 and *cts when the server has told the modem lines, else -1.
int NetGetCts(int n, int fd, int *cts);
