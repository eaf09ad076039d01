// Controller file transfer: the download and upload block protocols and the
// download-and-run sequences.
//
// Every block on the line is 260 bytes: a little-endian 16-bit count, 256
// data bytes and the CRC-16 of bytes 0..257, high byte first, so that the
// CRC over a whole correct block is 0.  The first block of a transfer
// carries the 29-byte file-information record.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int TransferBlockSize = 260;
constexpr int TransferDataSize = 256;
constexpr int FileInfoSize = 29;
constexpr int FileInfoNameSize = 13;
constexpr int LoadPathSize = 123;  // up to 122 characters and the zero byte

constexpr unsigned char TransferAck = 0x06;
constexpr unsigned char TransferNak = 0x15;
constexpr unsigned char UploadStartByte = 0x53;  // 'S': start, and stop after a failure

// Bounds of the waits on the controller (milliseconds).  A controller
// answers a block at once; the margin covers a flash erase before the
// first block is taken and a slow line.
constexpr int ReplyWaitMs = 10000;  // reply byte after a sent block
constexpr int BlockWaitMs = 10000;  // from the last byte of a block being received
constexpr int ArmedWaitMs = 20000;  // the '!' after a receive command

// The block buffer shared by every block sent or received (the packet
// monitor gathers its blocks here as well).
extern unsigned char TransferBlock[TransferBlockSize];

// The file-information record, in memory form.
struct FileInfoRecord {
    char name[FileInfoNameSize];  // zero-ended when it came from us
    std::uint32_t size;
    std::uint16_t year;    // years since 1980
    std::uint16_t month;   // 1..12
    std::uint16_t day;     // 1..31
    std::uint16_t hour;    // 0..23
    std::uint16_t minute;  // 0..59
    std::uint16_t seconds; // seconds / 2
};
extern FileInfoRecord FileInfo;

// The PC file that the next download sends.
extern char LoadPath[LoadPathSize];

// CRC-16 (polynomial 0x1021, start 0, no reflection, no final XOR).
extern std::uint16_t CrcTable[256];
void MakeCrcTable();
std::uint16_t Crc16(const unsigned char *bytes, int length);

// Block helpers.
int BlockCount(const unsigned char *block);              // the count field
void SetBlockCount(unsigned char *block, int count);
void SealBlock(unsigned char *block);                    // CRC of 0..257 into 258..259
void EncodeFileInfo(const FileInfoRecord &info, unsigned char *out29);
void DecodeFileInfo(const unsigned char *in29, FileInfoRecord *info);
// The name field that a download takes from a path (last 12 characters,
// after the last ':' or '\\' among them).
void FileInfoNameFromPath(const char *path, char out[FileInfoNameSize]);
// DOS date and time fields from a time_t (local time) and back.
void DosFieldsFromTime(long long t, FileInfoRecord *info);
long long TimeFromDosFields(const FileInfoRecord &info);
// Drive and directory dropped from typed text: the name and extension into
// out (size bytes).  Returns 1 when there was a name part and it fits,
// 0 when there is no name part, -1 when the name does not fit.
int NamePartOfPath(const char *text, char *out, int size);
// Copies name into LoadPath; a name that does not fit is refused with a
// message and LoadPath is left as it was.  Returns 0 on success.
int SetLoadPath(const char *name);
// An upload name that may be written in the working directory: a zero
// byte within the 13 bytes, not empty, no path separator, no drive, not
// "." or "..".  Returns 1 when safe.
int UploadNameIsSafe(const char *name13);
// 1 for a name of tarvik's own files, which an upload never writes: the
// settings file and its temporary files, the script files tarvik.F1 to
// tarvik.F12, and the log file in use.
int UploadNameIsOwnFile(const char *name);

// A run without a console (headless download) keeps SendFile quiet and
// reads its progress and outcome from these.
struct DownloadOutcome {
    int failed;          // 0: every block confirmed
    int block;           // the block that failed (0: the file record)
    int blocks;          // data blocks of the file
    const char *reason;  // why it failed
    char file[LoadPathSize];  // the file it sent (empty: none yet)
};
extern bool TransferQuiet;                     // no screen output from the transfer
extern void (*DownloadBlockHook)(int block, int blocks, long long bytes);  // after each confirmed block
// The block about to be sent (0: the file record) of the file in LoadPath
// and the file's data blocks; -1 when SendFile is over.
extern void (*DownloadStepHook)(int block, int blocks);
extern char DownloadRecordName[FileInfoNameSize];  // the record's name when not empty
extern DownloadOutcome LastDownload;           // of the last SendFile (or armed wait)
extern std::atomic<int> DownloadFailures;      // downloads failed so far (counted by the main thread)

// Runs on the main thread (the receive loop calls them).
void SendFile();
int SendBlock();
void MakeFileInfo();
void FillDataBlock();
void GetFile();
int ReceiveBlock(int k);
void AutoLoadStep();
// Sends a run command line: the command word, the run arguments and "\r".
void SendRunLine(const char *command);
// The receive loop calls this on every pass while a download is armed: it
// ends an armed state that has waited too long for the controller's '!',
// or that the user cancelled with Escape.
void AutoLoadWatch();
// One pass's transfer work of a receive loop: the download or upload that
// the keyboard thread (or a script) asked for, then AutoLoadWatch.
void ServeTransferRequests();

// Prompts and hotkey actions, run on the keyboard thread.
void AskLoadPath();
void AskDownloadFileName();   // F2
void AskMultiFiles();         // ALT_F2
void AskRunArgs();            // F6
void SendAutoRunLine();       // F5
void SendRunrLine();          // ALT_F5
void StartAutoLoad(int code); // F8, F9, F10, ALT_F10
void StartMultiLoad();        // ALT_F9
