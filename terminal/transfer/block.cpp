// The block format shared by download, upload and the packet monitor: the
// CRC-16 table, the count field, the sealed CRC and the file-information
// record with its name rule and DOS date and time fields.
#include "transfer.h"
#include "transfer_file.h"

#include <cstring>

unsigned char TransferBlock[TransferBlockSize];
FileInfoRecord FileInfo;
char LoadPath[LoadPathSize];
std::uint16_t CrcTable[256];

namespace {

void PutLe16(unsigned char *p, unsigned v)
{
    p[0] = static_cast<unsigned char>(v & 0xFF);
    p[1] = static_cast<unsigned char>((v >> 8) & 0xFF);
}

unsigned GetLe16(const unsigned char *p)
{
    return static_cast<unsigned>(p[0]) | (static_cast<unsigned>(p[1]) << 8);
}

}  // namespace

void MakeCrcTable()
{
    // Built once on first use; both threads may ask (the packet monitor
    // runs on the keyboard thread), and the guarded static makes the second
    // caller wait for the first.
    static const bool built = [] {
        for (unsigned i = 0; i < 256; ++i) {
            unsigned r = 0;
            unsigned a = (i << 8) & 0xFFFF;
            for (int bit = 0; bit < 8; ++bit) {
                if (((r ^ a) & 0x8000) != 0)
                    r = ((r << 1) ^ 0x1021) & 0xFFFF;
                else
                    r = (r << 1) & 0xFFFF;
                a = (a << 1) & 0xFFFF;
            }
            CrcTable[i] = static_cast<std::uint16_t>(r);
        }
        return true;
    }();
    (void)built;
}

std::uint16_t Crc16(const unsigned char *bytes, int length)
{
    MakeCrcTable();
    unsigned c = 0;
    for (int i = 0; i < length; ++i)
        c = (CrcTable[((c >> 8) ^ bytes[i]) & 0xFF] ^ (c << 8)) & 0xFFFF;
    return static_cast<std::uint16_t>(c);
}

int BlockCount(const unsigned char *block)
{
    return static_cast<int>(GetLe16(block));
}

void SetBlockCount(unsigned char *block, int count)
{
    PutLe16(block, static_cast<unsigned>(count));
}

void SealBlock(unsigned char *block)
{
    unsigned crc = Crc16(block, TransferBlockSize - 2);
    block[258] = static_cast<unsigned char>(crc >> 8);
    block[259] = static_cast<unsigned char>(crc & 0xFF);
}

void EncodeFileInfo(const FileInfoRecord &info, unsigned char *out)
{
    std::memcpy(out, info.name, FileInfoNameSize);
    out[13] = static_cast<unsigned char>(info.size & 0xFF);
    out[14] = static_cast<unsigned char>((info.size >> 8) & 0xFF);
    out[15] = static_cast<unsigned char>((info.size >> 16) & 0xFF);
    out[16] = static_cast<unsigned char>((info.size >> 24) & 0xFF);
    PutLe16(out + 17, info.year);
    PutLe16(out + 19, info.month);
    PutLe16(out + 21, info.day);
    PutLe16(out + 23, info.hour);
    PutLe16(out + 25, info.minute);
    PutLe16(out + 27, info.seconds);
}

void DecodeFileInfo(const unsigned char *in, FileInfoRecord *info)
{
    std::memcpy(info->name, in, FileInfoNameSize);
    info->size = static_cast<std::uint32_t>(in[13]) | (static_cast<std::uint32_t>(in[14]) << 8) |
                 (static_cast<std::uint32_t>(in[15]) << 16) | (static_cast<std::uint32_t>(in[16]) << 24);
    info->year = static_cast<std::uint16_t>(GetLe16(in + 17));
    info->month = static_cast<std::uint16_t>(GetLe16(in + 19));
    info->day = static_cast<std::uint16_t>(GetLe16(in + 21));
    info->hour = static_cast<std::uint16_t>(GetLe16(in + 23));
    info->minute = static_cast<std::uint16_t>(GetLe16(in + 25));
    info->seconds = static_cast<std::uint16_t>(GetLe16(in + 27));
}

void FileInfoNameFromPath(const char *path, char out[FileInfoNameSize])
{
    std::memset(out, 0, FileInfoNameSize);
    int len = static_cast<int>(std::strlen(path));
    int start = len > 12 ? len - 12 : 0;
    // Look back over at most 12 characters for a drive colon or backslash.
    for (int i = len - 1; i >= start; --i) {
        if (path[i] == ':' || path[i] == '\\') {
            start = i + 1;
            break;
        }
    }
    std::memcpy(out, path + start, static_cast<size_t>(len - start));
}

void DosFieldsFromTime(long long t, FileInfoRecord *info)
{
    TransferLocalTime lt;
    TransferToLocalTime(t, &lt);
    if (lt.year < 1980) {
        // Before the DOS epoch: the earliest time the fields can hold.
        lt = TransferLocalTime{1980, 1, 1, 0, 0, 0};
    } else if (lt.year > 1980 + 127) {
        lt = TransferLocalTime{1980 + 127, 12, 31, 23, 59, 58};
    }
    int year = lt.year - 1980;
    info->year = static_cast<std::uint16_t>(year);
    info->month = static_cast<std::uint16_t>(lt.month);
    info->day = static_cast<std::uint16_t>(lt.day);
    info->hour = static_cast<std::uint16_t>(lt.hour);
    info->minute = static_cast<std::uint16_t>(lt.minute);
    info->seconds = static_cast<std::uint16_t>(lt.second / 2);
}

long long TimeFromDosFields(const FileInfoRecord &info)
{
    TransferLocalTime lt;
    lt.year = info.year + 1980;
    lt.month = info.month;
    lt.day = info.day;
    lt.hour = info.hour;
    lt.minute = info.minute;
    lt.second = info.seconds * 2;
    return TransferFromLocalTime(&lt);
}
