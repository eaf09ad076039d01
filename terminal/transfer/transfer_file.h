// The transfers' file services: local time conversion, a file's time and
// length, creating an upload file in the working directory, opening a file
// to send, and putting a received file in place.
//
// Callers: the transfers on the main thread (download, upload, the armed
// sequences) and the command-mode log check.  Results: 0 on success, -1 or
// nullptr on failure, as each line says; nothing here prints.
//
// file.cpp holds the calendar rules and a file's time and length; one
// back-end per platform (posix/file_posix.cpp, win32/file_win32.cpp) holds
// the calls to the system: the other Transfer functions and the
// TransferSys ones.
#pragma once

#include <cstdio>
#include <ctime>

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
// Creates a new file of the working directory for writing in binary mode.
// Whatever had that name (a file, a link of either kind) is removed first
// and the file is created anew, exclusively, so nothing is written through
// a link or into a file that another name shares.  nullptr on failure (a
// directory of that name, for one).
std::FILE *TransferCreateNewFile(const char *name);
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
// 1 when both names lead to one existing file (through links of either
// kind), 0 otherwise or when either is missing.
int TransferIsSameFile(const char *a, const char *b);

// Back-end: the system's calendar.  Breaks t (seconds since 1970) into the
// local time in *out; false when the system cannot.
bool TransferSysLocalTime(long long t, std::tm *out);
// The seconds since 1970 of the local time in *tmv (its tm_isdst set to
// -1, so the system decides); -1 when it names no valid time.
long long TransferSysMakeTime(std::tm *tmv);
// Last-modification time (seconds since 1970) and length in bytes of an
// open file; 0 on success, -1 when the system cannot tell.
int TransferSysStat(std::FILE *f, long long *modified, long long *length);
