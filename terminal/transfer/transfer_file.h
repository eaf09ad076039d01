// File services of the transfers that differ between systems: local time
// conversion, a file's modification time, creating an upload file in the
// working directory and setting its time.  One back-end per platform
// (posix/file_posix.cpp, win32/file_win32.cpp).
#pragma once

#include <cstdio>

struct TransferLocalTime {
    int year, month, day, hour, minute, second;
};

void TransferToLocalTime(long long t, TransferLocalTime *lt);
// -1 when the fields name no valid time.
long long TransferFromLocalTime(const TransferLocalTime *lt);

// Last-modification time of an open file; 0 on success.
int TransferFileTime(std::FILE *f, long long *t);
// Length of an open file in bytes, -1 when unknown.
long long TransferFileLength(std::FILE *f);
// Creates (or empties) a file of the working directory for writing in
// binary mode.  Never follows a symbolic link, so an upload cannot write
// outside the directory.  nullptr on failure.
std::FILE *TransferCreateFile(const char *name);
// Writes out what is buffered for f and sets its modification time; 0 on
// success.
int TransferSetFileTime(std::FILE *f, long long t);
// Opens a regular file for reading in binary mode (nullptr for anything
// else: missing, a directory, a device or a pipe).
std::FILE *TransferOpenFile(const char *name);
// Puts the file from in place of the file to (replacing it when it
// exists); 0 on success.
int TransferReplaceFile(const char *from, const char *to);
// 1 when name is the file open as descriptor fd (the same file, whatever
// the path), 0 otherwise or when either is unknown.
int TransferIsOpenFile(const char *name, int fd);
