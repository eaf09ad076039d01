// The download: one file from the PC into the controller, block by block,
// each block answered by ACK or NAK.  Runs on the main thread.
#include "transfer.h"
#include "transfer_file.h"
#include "transfer_wait.h"

#include "console.h"
#include "display.h"
#include "globals.h"
#include "serial.h"
#include "system.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void (*DownloadBlockHook)(int block, int blocks, long long bytes) = nullptr;
void (*DownloadStepHook)(int block, int blocks) = nullptr;
char DownloadRecordName[FileInfoNameSize] = "";
DownloadOutcome LastDownload{};
std::atomic<int> DownloadFailures{0};

namespace {

// Screen output of the transfer; none in a run without a console.
void Say(const char *format, ...)
{
    if (TransferQuiet)
        return;
    std::va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

// Text from a file or a name, shown with the display's guard.
void SayText(const char *text)
{
    if (!TransferQuiet)
        ConWriteText(text);
}

void Fail(int block, const char *reason)
{
    if (LastDownload.failed)
        return;  // the first reason is the one that counts
    LastDownload.failed = 1;
    ++DownloadFailures;
    LastDownload.block = block;
    LastDownload.reason = reason;
}

// The file being sent, between MakeFileInfo and the last FillDataBlock.
std::FILE *SendStream = nullptr;
// Bytes of the announced size not yet read.
std::uint32_t SendRemaining = 0;
// Set when FillDataBlock found the file shorter than announced.
bool SendShrank = false;

// The block counter on the screen.  Writing it for every block would cost
// a write to the terminal per block (the port wait flushes the output), a
// good part of a block's round trip on a fast line; so it is written when
// the transfer starts, at most every ProgressIntervalMs, whenever a reply
// keeps us waiting longer than that, and before anything else is printed,
// so the screen always ends with the number of the last block sent.
constexpr int ProgressIntervalMs = 50;
int ProgressBlock = 0;   // the block being sent (0: none yet)
int ProgressShown = 0;   // the number on the screen
std::uint32_t ProgressAt = 0;

void ShowProgress()
{
    if (ProgressBlock != ProgressShown) {
        Say("\rBlock %d", ProgressBlock);
        ProgressShown = ProgressBlock;
        ProgressAt = SysTickMs();
    }
}

// Reads the reply to a block; the counter goes up first when the reply is
// slow to come.
int WaitReply(unsigned char *reply)
{
    int r = TransferWaitByte(reply, ProgressIntervalMs);
    if (r != TransferWaitTimeout)
        return r;
    ShowProgress();
    return TransferWaitByte(reply, ReplyWaitMs - ProgressIntervalMs);
}

}  // namespace

int SendBlock()
{
    int naks = 0;
    for (;;) {
        if (CancelRequest != 0 || ExitRequest != 0) {
            ShowProgress();
            TransferReportWait(TransferWaitCancel, "\n\r");
            Fail(ProgressBlock, "cancelled");
            return -1;
        }
        ComWrite(CurrentPort, TransferBlock, TransferBlockSize);
        unsigned char reply = 0;
        int r = WaitReply(&reply);
        if (r != TransferWaitOk) {
            ShowProgress();
            TransferReportWait(r, "\n\r");
            Fail(ProgressBlock, r == TransferWaitTimeout ? "no answer from the controller"
                                : r == TransferWaitGone  ? "the device has gone"
                                                         : "cancelled");
            return -1;
        }
        if (reply == TransferAck)
            return 0;
        if (reply != TransferNak) {
            Fail(ProgressBlock, "an answer that is neither ACK nor NAK");
            return -1;
        }
        if (++naks >= 3) {
            Fail(ProgressBlock, "refused three times (NAK)");
            return -1;
        }
    }
}

void SendAbortBlock()
{
    // The controller waits for exactly one block: an empty one tells it
    // that no file follows.  The data area keeps what it held.
    MakeCrcTable();
    SetBlockCount(TransferBlock, 0);
    SealBlock(TransferBlock);
    SendBlock();
}

void MakeFileInfo()
{
    FileInfoRecord info{};
    if (DownloadRecordName[0] != 0)
        std::memcpy(info.name, DownloadRecordName, FileInfoNameSize);
    else
        FileInfoNameFromPath(LoadPath, info.name);
    long long length = SendStream != nullptr ? TransferFileLength(SendStream) : 0;
    info.size = static_cast<std::uint32_t>(length < 0 ? 0 : length);
    long long mtime = 0;
    if (SendStream == nullptr || TransferFileTime(SendStream, &mtime) != 0)
        mtime = 0;
    DosFieldsFromTime(mtime, &info);
    FileInfo = info;
    SendRemaining = info.size;
    SendShrank = false;

    EncodeFileInfo(FileInfo, TransferBlock + 2);
    SetBlockCount(TransferBlock, FileInfoSize);
    SealBlock(TransferBlock);
    Say("[crc=%04X,%04X]", (TransferBlock[258] << 8) | TransferBlock[259],
                Crc16(TransferBlock, TransferBlockSize));
}

void FillDataBlock()
{
    // Never more than the announced size, so a file that grows meanwhile
    // still sends what the information block promised.
    std::size_t want = SendRemaining < TransferDataSize ? SendRemaining : TransferDataSize;
    std::size_t got = 0;
    if (SendStream != nullptr && want > 0)
        got = std::fread(TransferBlock + 2, 1, want, SendStream);
    if (got < want)
        SendShrank = true;
    SendRemaining -= static_cast<std::uint32_t>(got);
    SetBlockCount(TransferBlock, static_cast<int>(got));
    SealBlock(TransferBlock);
}

void SendFile()
{
    int wasActive = TransferActive.load();
    MakeCrcTable();
    if (LoadPath[0] == 0) {
        // The keyboard thread leaves the console to this prompt.
        KeyThreadHold = 1;
        AskLoadPath();
        KeyThreadHold = 0;
    }
    TransferActive = 1;
    if (!wasActive)
        CancelRequest = 0;
    TransferClearOutcome();
    LastDownload = DownloadOutcome{};
    std::memcpy(LastDownload.file, LoadPath, sizeof LoadPath);

    if (!TransferQuiet) {
        std::printf("\n\rLoad file:");
        ConWriteText(LoadPath);
    }
    std::fflush(stdout);
    long long length = -1;
    SendStream = LoadPath[0] != 0 ? TransferOpenFile(LoadPath) : nullptr;
    if (SendStream != nullptr) {
        length = TransferFileLength(SendStream);
        if (length < 0 || length > 0xFFFFFFFFLL) {
            // The size field holds 32 bits: such a file cannot be described.
            std::fclose(SendStream);
            SendStream = nullptr;
        }
    }
    if (SendStream == nullptr) {
        SendAbortBlock();
        if (!LastDownload.failed)
            ++DownloadFailures;
        LastDownload.failed = 1;
        LastDownload.block = LastDownload.blocks = 0;
        LastDownload.reason = length > 0xFFFFFFFFLL ? "file too large" : "cannot open the file";
        if (!TransferQuiet) {
            std::printf(length > 0xFFFFFFFFLL ? "\n\rFile too large:" : "\n\rCannot open file:");
            ConWriteText(LoadPath);
            std::printf("\n\r");
        }
        std::fflush(stdout);
        TransferActive = wasActive;
        return;
    }

    std::uint32_t start = SysTickMs();
    ProgressBlock = ProgressShown = 0;
    MakeFileInfo();
    int blocks = static_cast<int>((static_cast<long long>(FileInfo.size) + 255) / 256);
    LastDownload.blocks = blocks;
    Say("\n\rSend file info. total %d blocks\n\r", blocks);
    std::fflush(stdout);
    if (DownloadStepHook != nullptr)
        DownloadStepHook(0, blocks);
    if (SendBlock() == 0) {
        for (int k = 1; k <= blocks; ++k) {
            FillDataBlock();
            if (BlockCount(TransferBlock) == 0) {
                // The file ended early: an empty block tells the controller
                // that nothing more comes; the transfer has failed.
                ShowProgress();
                Say("\n\r[File is shorter than announced]");
                Fail(k, "the file is shorter than announced");
                SendBlock();
                break;
            }
            ProgressBlock = k;
            if (DownloadStepHook != nullptr)
                DownloadStepHook(k, blocks);
            if (k == 1 || SysTickMs() - ProgressAt >= static_cast<std::uint32_t>(ProgressIntervalMs))
                ShowProgress();
            if (SendBlock() != 0)
                break;
            if (DownloadBlockHook != nullptr)
                DownloadBlockHook(k, blocks, static_cast<long long>(FileInfo.size - SendRemaining));
            if (SendShrank) {
                ShowProgress();
                Say("\n\r[File is shorter than announced]");
                Fail(k, "the file is shorter than announced");
                SetBlockCount(TransferBlock, 0);
                SealBlock(TransferBlock);
                SendBlock();
                break;
            }
        }
    }
    ShowProgress();
    ProgressBlock = ProgressShown = 0;
    std::uint32_t elapsed = SysTickMs() - start;
    Say("\n\rTransfer time is: %f seconds\n\r", elapsed * 0.001);
    std::fflush(stdout);
    std::fclose(SendStream);
    SendStream = nullptr;
    if (DownloadStepHook != nullptr)
        DownloadStepHook(-1, blocks);
    TransferActive = wasActive;
    if (!wasActive)
        CancelRequest = 0;
}

int NamePartOfPath(const char *text, char *out, int size)
{
    const char *p = text;
    if (((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':')
        p += 2;
    const char *final = p;
    for (const char *q = p; *q != 0; ++q)
        if (*q == '\\' || *q == '/')
            final = q + 1;
    const char *dot = std::strrchr(final, '.');
    std::size_t nameLen = dot != nullptr ? static_cast<std::size_t>(dot - final) : std::strlen(final);
    if (nameLen == 0)
        return 0;
    std::size_t whole = std::strlen(final);
    if (whole >= static_cast<std::size_t>(size))
        return -1;
    std::memcpy(out, final, whole + 1);
    return 1;
}

int SetLoadPath(const char *name)
{
    std::size_t len = std::strlen(name);
    if (len >= static_cast<std::size_t>(LoadPathSize)) {
        Say("\n\rFile name too long (at most %d characters):", LoadPathSize - 1);
        SayText(name);
        Say("\n\r");
        std::fflush(stdout);
        return -1;
    }
    std::memcpy(LoadPath, name, len + 1);
    return 0;
}

void AskLoadPath()
{
    Say("\n\rInput filename:");
    std::fflush(stdout);
    char line[256];
    if (ConReadLine(line, sizeof line) == 0)
        return;
    char name[LoadPathSize];
    int r = NamePartOfPath(line, name, sizeof name);
    if (r < 0) {
        // Refused rather than cut: a cut name would send another file.
        Say("\n\rFile name too long (at most %d characters):", LoadPathSize - 1);
        SayText(line);
        Say("\n\r");
        std::fflush(stdout);
        return;
    }
    if (r > 0)
        std::memcpy(LoadPath, name, std::strlen(name) + 1);
}
