// The upload: one file from the controller into the working directory.
// The controller sends the blocks, we answer each with one byte.  Runs on
// the main thread.
#include "transfer.h"
#include "transfer_file.h"
#include "transfer_wait.h"

#include "globals.h"
#include "serial.h"
#include "settings.h"
#include "system.h"

#include <cstdio>
#include <cstring>

namespace {

void SendByte(unsigned char b)
{
    ComWrite(CurrentPort, &b, 1);
}

bool EqualsNoCase(const char *a, std::size_t alen, const char *b)
{
    std::size_t blen = std::strlen(b);
    if (alen != blen)
        return false;
    for (std::size_t i = 0; i < alen; ++i) {
        char x = a[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 0x20);
        if (x != b[i])
            return false;
    }
    return true;
}

// Names that the DOS family of systems gives to devices.
bool IsDeviceName(const char *name)
{
    const char *dot = std::strchr(name, '.');
    std::size_t len = dot != nullptr ? static_cast<std::size_t>(dot - name) : std::strlen(name);
    static const char *const devices[] = {"CON", "PRN", "AUX", "NUL"};
    for (const char *d : devices)
        if (EqualsNoCase(name, len, d))
            return true;
    if (len == 4 && (EqualsNoCase(name, 3, "COM") || EqualsNoCase(name, 3, "LPT")) && name[3] >= '1' &&
        name[3] <= '9')
        return true;
    return false;
}

// The received name made fit for the console: at most 13 bytes, control
// and non-ASCII bytes shown as '?'.
void PrintableName(const char *name13, char out[FileInfoNameSize + 1])
{
    int i = 0;
    for (; i < FileInfoNameSize && name13[i] != 0; ++i) {
        unsigned char c = static_cast<unsigned char>(name13[i]);
        out[i] = (c < 0x20 || c >= 0x7F) ? '?' : static_cast<char>(c);
    }
    out[i] = 0;
}

bool SameNameNoCase(const char *a, const char *b)
{
    for (; *a != 0 && *b != 0; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 0x20);
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 0x20);
        if (x != y)
            return false;
    }
    return *a == *b;
}

// Whether name begins with prefix, in either case.
bool StartsNoCase(const char *name, const char *prefix)
{
    for (; *prefix != 0; ++name, ++prefix) {
        char x = *name, y = *prefix;
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 0x20);
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 0x20);
        if (x != y)
            return false;  // the end of name among them
    }
    return true;
}

// The suffix of the file an upload is received into; it takes the upload's
// name only when the file arrived whole.
constexpr const char *PartSuffix = ".part";

}  // namespace

int UploadNameIsOwnFile(const char *name)
{
    if (SameNameNoCase(name, SettingsFileName) || StartsNoCase(name, SettingsTempName))
        return 1;
    // By what it is too: a link of another name to the settings file.
    if (TransferIsSameFile(name, SettingsFileName))
        return 1;
    // The hotkeys' script files, tarvik.F4 (the default script) among them.
    for (int k = 1; k <= 12; ++k) {
        char script[16];
        std::snprintf(script, sizeof script, "tarvik.F%d", k);
        if (SameNameNoCase(name, script) || TransferIsSameFile(name, script))
            return 1;
    }
    return TransferIsOpenFile(name, LogFile.load());
}

int UploadNameIsSafe(const char *name13)
{
    const void *end = std::memchr(name13, 0, FileInfoNameSize);
    if (end == nullptr)
        return 0;
    std::size_t len = static_cast<std::size_t>(static_cast<const char *>(end) - name13);
    if (len == 0)
        return 0;
    bool allDots = true;
    for (std::size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(name13[i]);
        // Control bytes, the 8-bit ones (0x80-0x9F) among them.
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
            return 0;
        if (std::strchr("/\\:*?\"<>|", c) != nullptr)
            return 0;
        if (c != '.')
            allDots = false;
    }
    if (allDots)
        return 0;
    // A trailing dot or blank is dropped by some file systems, which would
    // write another name than the one shown.
    if (name13[len - 1] == '.' || name13[len - 1] == ' ')
        return 0;
    if (IsDeviceName(name13))
        return 0;
    return 1;
}

int ReceiveBlock(int k)
{
    int received = 0;
    int errors = 0;
    std::uint32_t deadline = SysTickMs() + BlockWaitMs;
    for (;;) {
        int n = ComRead(CurrentPort, TransferBlock + received, TransferBlockSize - received);
        if (n == ComGone) {
            TransferReportWait(TransferWaitGone, "\n");
            std::printf("\n");
            return -1;
        }
        if (n < 0) {
            std::printf("[ReadCom error=%d]\n", n);
            std::fflush(stdout);
            return -1;
        }
        if (n == 0) {
            int w = TransferWaitPort(deadline);
            if (w != TransferWaitOk) {
                TransferReportWait(w, "\n");
                std::printf("\n");
                return -1;
            }
            continue;
        }
        // The bound runs from the last byte received.
        deadline = SysTickMs() + BlockWaitMs;
        received += n;
        std::printf("\rblock %d:%d ", k, received);
        if (received < TransferBlockSize)
            continue;
        unsigned crc = Crc16(TransferBlock, TransferBlockSize);
        if (crc == 0)
            return 0;
        std::printf("[crc error %04X]", crc);
        std::fflush(stdout);
        if (++errors >= 3)
            return -2;
        SendByte(TransferNak);
        received = 0;
    }
}

namespace {

// Receives the announced file into part beside it; the file takes its name
// only when it arrived whole (as many bytes as its record announced), so a
// failed or short fetch leaves an older file of that name as it was.
void ReceiveUpload(const char *shown, const char *part)
{
    std::printf("Get file name=%s,size=%u\n", shown, static_cast<unsigned>(FileInfo.size));
    // A file already named part is removed, not opened: it may be a link
    // that tarvik did not make.
    std::FILE *file = TransferCreateNewFile(part);
    if (file == nullptr) {
        SendByte(UploadStartByte);
        std::printf("Cannot open file %s\n", shown);
        return;
    }
    std::FILE *old = TransferOpenFile(FileInfo.name);
    bool existed = old != nullptr;
    if (old != nullptr)
        std::fclose(old);
    const long long size = static_cast<long long>(FileInfo.size);
    long long blocks = (size + 255) / 256;
    long long total = 0;
    bool whole = blocks == 0;
    SendByte(TransferAck);
    for (long long k = 1; k <= blocks; ++k) {
        if (ReceiveBlock(static_cast<int>(k)) != 0) {
            SendByte(UploadStartByte);
            break;
        }
        int count = BlockCount(TransferBlock);
        if (count > TransferDataSize) {
            // More than the data area holds: not a block of ours.
            std::printf("[bad block count %d]\n", count);
            SendByte(UploadStartByte);
            break;
        }
        // Written out block by block, so a full disk shows here.
        if (count > 0 && (std::fwrite(TransferBlock + 2, 1, static_cast<std::size_t>(count), file) !=
                              static_cast<std::size_t>(count) ||
                          std::fflush(file) != 0)) {
            std::printf("Write failure\n\r");
            SendByte(UploadStartByte);
            break;
        }
        total += count;
        // The blocks must carry what the record announced: more is not
        // this file, and fewer by the last block is a cut-off one.
        if (total > size || (k == blocks && total != size)) {
            SendByte(UploadStartByte);
            break;
        }
        if (k == blocks) {
            whole = true;
            long long t = TimeFromDosFields(FileInfo);
            if (t >= 0)
                TransferSetFileTime(file, t);
        }
        SendByte(TransferAck);
    }
    if (std::fclose(file) != 0)
        whole = false;
    if (whole && TransferReplaceFile(part, FileInfo.name) != 0) {
        std::printf("Cannot write file %s\n", shown);
        whole = false;
    }
    if (whole) {
        // An empty file is taken without a success line, as no block came.
        if (blocks > 0)
            std::printf("Get file %s success\n", shown);
        return;
    }
    char shownPart[FileInfoNameSize + 8];
    std::snprintf(shownPart, sizeof shownPart, "%s%s", shown, PartSuffix);
    std::printf("[Get file %s incomplete: %lld of %lld bytes; ", shown, total, size);
    if (existed)
        std::printf("%s is unchanged; ", shown);
    std::printf("the part received is in %s]\n", shownPart);
}

}  // namespace

void GetFile()
{
    int wasActive = TransferActive.load();
    TransferActive = 1;
    if (!wasActive)
        CancelRequest = 0;
    TransferClearOutcome();

    std::printf("[Call GetFile()]\n");
    std::fflush(stdout);
    SendByte(UploadStartByte);
    MakeCrcTable();
    if (ReceiveBlock(0) != 0) {
        std::printf("[error 1]");
    } else if (TransferBlock[0] == 0 && TransferBlock[1] == 0 && TransferBlock[2] == 0 && TransferBlock[3] == 0) {
        std::printf("[error 2]");
    } else {
        DecodeFileInfo(TransferBlock + 2, &FileInfo);
        char shown[FileInfoNameSize + 1];
        PrintableName(FileInfo.name, shown);
        // Zero-ended once the name is found safe.
        char part[FileInfoNameSize + 8] = "";
        if (UploadNameIsSafe(FileInfo.name))
            std::snprintf(part, sizeof part, "%s%s", FileInfo.name, PartSuffix);
        if (!UploadNameIsSafe(FileInfo.name)) {
            // The name comes from the controller: nothing is written for a
            // name that could leave the working directory or name a device.
            SendByte(UploadStartByte);
            std::printf("Refused file name \"%s\"\n", shown);
        } else if (UploadNameIsOwnFile(FileInfo.name) || UploadNameIsOwnFile(part)) {
            // Nor for the settings, the scripts or the log in use: the
            // controller must not choose what runs at the next start or key.
            SendByte(UploadStartByte);
            std::printf("Refused file name \"%s\": a file of tarvik's own\n", shown);
        } else {
            ReceiveUpload(shown, part);
        }
    }
    std::printf("\nEnd of Getfile\n");
    std::fflush(stdout);
    TransferActive = wasActive;
    if (!wasActive)
        CancelRequest = 0;
}
