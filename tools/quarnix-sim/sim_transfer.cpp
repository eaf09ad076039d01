// File transfers of the simulated controller.
//
// Receive commands LOAD (flash), LOADR (SRAM), LOADB and UPLOAD (flash)
// answer with a line that ends in '!' and then take one file with the
// block protocol: 260-byte blocks (count, 256 data bytes, CRC-16 high byte
// first), the first carrying the 29-byte file record; each block is
// answered ACK (0x06) or NAK (0x15).  "send NAME" prepares the upload of a
// stored file and waits for the terminal's start byte 'S'.  Stored files
// keep their name, size and date; "dir" lists them with their CRC-16, and
// "run", "runr" or a stored program's name start a program that prints its
// arguments.  Options inject faults for tests.
#include "sim.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int BlockSize = 260;
constexpr int DataSize = 256;
constexpr int RecordSize = 29;
constexpr unsigned char Ack = 0x06;
constexpr unsigned char Nak = 0x15;
constexpr unsigned char Start = 0x53;  // 'S'
// NAKs in a row after which the controller gives the transfer up.
constexpr int MaxNaksInRow = 10;
// Resends of one upload block before the controller gives up.
constexpr int MaxResends = 10;
// Room of the simulated flash for one file.
constexpr std::uint32_t MaxFileSize = 64u << 20;

struct StoredFile {
    std::string name;
    std::vector<unsigned char> data;
    unsigned year = 0, month = 1, day = 1, hour = 0, minute = 0, seconds = 0;  // DOS fields
};

std::vector<StoredFile> Flash;
StoredFile Sram;
bool SramUsed = false;

// ---- Options ----------------------------------------------------------------

struct BlockFault {
    int block = -1;  // -1 none; 0 = the information block
    int times = 0;
};
BlockFault NakFault;          // --nak-block K:N
int GarbageBlock = -1;        // --garbage-block K
int SilentBlock = -1;         // --silent-block K
BlockFault UploadCrcFault;    // --upload-crc K:N
bool UploadNameSet = false;   // --upload-name NAME
unsigned char UploadName[13];
long long UploadSize = -1;    // --upload-size N (-1: the stored file's size)
std::string StoreDir;         // --store DIR
int TransferTimeoutMs = 15000;  // --transfer-timeout MS
int StartTimeoutMs = 60000;     // --start-timeout MS

// ---- CRC and records ----------------------------------------------------------

// Table-driven, one lookup a byte: the whole received block is checked
// between its last byte and the answer, so this is on the line's round trip.
struct CrcTable {
    unsigned short t[256];
    CrcTable()
    {
        for (unsigned i = 0; i < 256; ++i) {
            unsigned c = i << 8;
            for (int b = 0; b < 8; ++b)
                c = (c & 0x8000) ? (((c << 1) ^ 0x1021) & 0xFFFF) : ((c << 1) & 0xFFFF);
            t[i] = static_cast<unsigned short>(c);
        }
    }
};
const CrcTable Crc;

unsigned Crc16(const unsigned char *p, std::size_t n)
{
    unsigned c = 0;
    for (std::size_t i = 0; i < n; ++i)
        c = ((c << 8) ^ Crc.t[((c >> 8) ^ p[i]) & 0xFF]) & 0xFFFF;
    return c;
}

unsigned Le16(const unsigned char *p)
{
    return static_cast<unsigned>(p[0]) | (static_cast<unsigned>(p[1]) << 8);
}

void PutLe16(unsigned char *p, unsigned v)
{
    p[0] = static_cast<unsigned char>(v & 0xFF);
    p[1] = static_cast<unsigned char>((v >> 8) & 0xFF);
}

void Seal(unsigned char *block)
{
    unsigned crc = Crc16(block, BlockSize - 2);
    block[258] = static_cast<unsigned char>(crc >> 8);
    block[259] = static_cast<unsigned char>(crc & 0xFF);
}

void DosFields(std::time_t t, StoredFile *f)
{
    struct tm tmv {};
    localtime_r(&t, &tmv);
    f->year = tmv.tm_year + 1900 >= 1980 ? static_cast<unsigned>(tmv.tm_year + 1900 - 1980) : 0;
    f->month = static_cast<unsigned>(tmv.tm_mon + 1);
    f->day = static_cast<unsigned>(tmv.tm_mday);
    f->hour = static_cast<unsigned>(tmv.tm_hour);
    f->minute = static_cast<unsigned>(tmv.tm_min);
    f->seconds = static_cast<unsigned>(tmv.tm_sec / 2);
}

std::time_t TimeOf(const StoredFile &f)
{
    struct tm tmv {};
    tmv.tm_year = static_cast<int>(f.year) + 80;
    tmv.tm_mon = static_cast<int>(f.month) - 1;
    tmv.tm_mday = static_cast<int>(f.day);
    tmv.tm_hour = static_cast<int>(f.hour);
    tmv.tm_min = static_cast<int>(f.minute);
    tmv.tm_sec = static_cast<int>(f.seconds) * 2;
    tmv.tm_isdst = -1;
    return mktime(&tmv);
}

bool SameName(const std::string &a, const char *b)
{
    if (a.size() != std::strlen(b))
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

StoredFile *FindFlash(const char *name)
{
    for (auto &f : Flash)
        if (SameName(f.name, name))
            return &f;
    return nullptr;
}

// The received file also goes to --store DIR, under a name that stays in
// that directory, with the date of its record.
void StoreCopy(const StoredFile &f, const char *area)
{
    if (StoreDir.empty())
        return;
    std::string safe;
    for (char c : f.name) {
        unsigned char u = static_cast<unsigned char>(c);
        safe += (u < 0x20 || u >= 0x7F || c == '/' || c == '\\') ? '_' : c;
    }
    if (safe.empty() || safe == "." || safe == "..")
        safe = "_" + safe;
    std::string path = StoreDir + "/" + area + "." + safe;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::size_t off = 0;
    while (off < f.data.size()) {
        ssize_t w = write(fd, f.data.data() + off, f.data.size() - off);
        if (w <= 0)
            break;
        off += static_cast<std::size_t>(w);
    }
    struct timespec times[2];
    times[0].tv_sec = TimeOf(f);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    futimens(fd, times);
    close(fd);
}

// ---- Receiving a file (download from the terminal) ---------------------------

enum class RxArea { Flash, Sram };

struct Receive {
    bool active = false;
    RxArea area = RxArea::Flash;
    unsigned char block[BlockSize];
    int fill = 0;
    int blockNo = 0;       // 0 = information block
    int blocksTotal = 0;
    std::size_t expectedSize = 0;
    int timesSeen = 0;     // receptions of the current block
    int naksInRow = 0;
    bool silent = false;   // a fault made us stop answering
    StoredFile file;
    std::uint64_t lastByte = 0;
} Rx;

void EndReceive(const char *text)
{
    Rx.active = false;
    SimRawInput = nullptr;
    if (text != nullptr && text[0] != 0)
        SimSendText(text);
    SimPrompt();
}

void FinishReceive()
{
    const char *area = Rx.area == RxArea::Sram ? "SRAM" : "FLASH";
    if (Rx.area == RxArea::Sram) {
        Sram = Rx.file;
        SramUsed = true;
    } else {
        StoredFile *old = FindFlash(Rx.file.name.c_str());
        if (old != nullptr)
            *old = Rx.file;
        else
            Flash.push_back(Rx.file);
        // "run" runs the last file loaded into flash: keep it last.
        if (old != nullptr) {
            StoredFile copy = *old;
            Flash.erase(Flash.begin() + (old - Flash.data()));
            Flash.push_back(copy);
        }
    }
    StoreCopy(Rx.file, area);
    char text[128];
    std::snprintf(text, sizeof text, "\r\n%s: %s, %zu bytes, CRC %04X stored.", area, Rx.file.name.c_str(),
                  Rx.file.data.size(), Crc16(Rx.file.data.data(), Rx.file.data.size()));
    Rx.active = false;
    SimRawInput = nullptr;
    SimSendText(text);
    SimPrompt();
}

void Reply(unsigned char b)
{
    SimSend(&b, 1);
}

// One whole block has arrived.
void ReceiveBlockDone()
{
    ++Rx.timesSeen;
    if (Rx.blockNo == SilentBlock) {
        Rx.silent = true;  // answer nothing; the transfer times out
        return;
    }
    if (Rx.blockNo == GarbageBlock) {
        Reply('?');
        EndReceive("\r\nTransfer cancelled.");
        return;
    }
    if (Rx.blockNo == NakFault.block && Rx.timesSeen <= NakFault.times) {
        Reply(Nak);
        return;
    }
    if (Crc16(Rx.block, BlockSize) != 0) {
        if (++Rx.naksInRow >= MaxNaksInRow) {
            Reply('X');
            EndReceive("\r\nToo many CRC errors, transfer cancelled.");
            return;
        }
        Reply(Nak);
        return;
    }
    Rx.naksInRow = 0;
    unsigned count = Le16(Rx.block);
    if (Rx.blockNo == 0) {
        if (count == 0) {
            Reply(Ack);
            EndReceive("\r\nNo file sent.");
            return;
        }
        const unsigned char *r = Rx.block + 2;
        if (count != RecordSize || std::memchr(r, 0, 13) == nullptr) {
            Reply('X');
            EndReceive("\r\nBad file record, transfer cancelled.");
            return;
        }
        Rx.file = StoredFile{};
        Rx.file.name = reinterpret_cast<const char *>(r);
        std::uint32_t size = static_cast<std::uint32_t>(r[13]) | (static_cast<std::uint32_t>(r[14]) << 8) |
                             (static_cast<std::uint32_t>(r[15]) << 16) | (static_cast<std::uint32_t>(r[16]) << 24);
        Rx.file.year = Le16(r + 17);
        Rx.file.month = Le16(r + 19);
        Rx.file.day = Le16(r + 21);
        Rx.file.hour = Le16(r + 23);
        Rx.file.minute = Le16(r + 25);
        Rx.file.seconds = Le16(r + 27);
        if (size > MaxFileSize) {
            Reply('X');
            EndReceive("\r\nFile too large, transfer cancelled.");
            return;
        }
        Rx.expectedSize = size;
        Rx.file.data.reserve(size);
        Rx.blocksTotal = static_cast<int>((static_cast<unsigned long long>(size) + 255) / 256);
        Reply(Ack);
        if (Rx.blocksTotal == 0) {
            FinishReceive();
            return;
        }
    } else {
        std::size_t expected = Rx.expectedSize - Rx.file.data.size();
        if (count == 0) {
            // An empty block in the data phase: the terminal gives up.
            Reply(Ack);
            EndReceive("\r\nTransfer aborted by the terminal.");
            return;
        }
        if (count > DataSize || count > expected) {
            Reply('X');
            EndReceive("\r\nBad block, transfer cancelled.");
            return;
        }
        Rx.file.data.insert(Rx.file.data.end(), Rx.block + 2, Rx.block + 2 + count);
        if (Rx.blockNo == Rx.blocksTotal) {
            Reply(Ack);
            FinishReceive();
            return;
        }
        Reply(Ack);
    }
    ++Rx.blockNo;
    Rx.timesSeen = 0;
}

void ReceiveInput(const unsigned char *data, std::size_t len)
{
    Rx.lastByte = SimNowMs();
    for (std::size_t i = 0; i < len && Rx.active; ++i) {
        if (Rx.silent)
            continue;
        Rx.block[Rx.fill++] = data[i];
        if (Rx.fill == BlockSize) {
            Rx.fill = 0;
            ReceiveBlockDone();
        }
    }
}

void StartReceive(RxArea area, const char *text)
{
    Rx = Receive{};
    Rx.active = true;
    Rx.area = area;
    Rx.lastByte = SimNowMs();
    SimRawInput = ReceiveInput;
    // Nothing follows the '!': the next byte on the line is the terminal's.
    SimSendText(text);
}

// ---- Sending a file (upload to the terminal) --------------------------------

struct Send {
    bool active = false;
    bool started = false;   // the start byte has arrived
    const StoredFile *file = nullptr;
    StoredFile copy;
    int blockNo = 0;
    int blocksTotal = 0;
    int sends = 0;           // transmissions of the current block
    unsigned char block[BlockSize];
    std::uint64_t since = 0;
} Tx;

void BuildUploadBlock()
{
    std::memset(Tx.block, 0, sizeof Tx.block);
    const StoredFile &f = Tx.copy;
    if (Tx.blockNo == 0) {
        unsigned char *r = Tx.block + 2;
        if (UploadNameSet)
            std::memcpy(r, UploadName, 13);
        else
            std::snprintf(reinterpret_cast<char *>(r), 13, "%s", f.name.c_str());
        std::uint32_t size = UploadSize >= 0 ? static_cast<std::uint32_t>(UploadSize)
                                             : static_cast<std::uint32_t>(f.data.size());
        r[13] = static_cast<unsigned char>(size & 0xFF);
        r[14] = static_cast<unsigned char>((size >> 8) & 0xFF);
        r[15] = static_cast<unsigned char>((size >> 16) & 0xFF);
        r[16] = static_cast<unsigned char>((size >> 24) & 0xFF);
        PutLe16(r + 17, f.year);
        PutLe16(r + 19, f.month);
        PutLe16(r + 21, f.day);
        PutLe16(r + 23, f.hour);
        PutLe16(r + 25, f.minute);
        PutLe16(r + 27, f.seconds);
        PutLe16(Tx.block, RecordSize);
    } else {
        // With --upload-size the blocks run out of bytes (count 0) when the
        // file is shorter than announced.
        std::size_t off = static_cast<std::size_t>(Tx.blockNo - 1) * DataSize;
        std::size_t left = off < f.data.size() ? f.data.size() - off : 0;
        std::size_t n = left < DataSize ? left : DataSize;
        if (n > 0)
            std::memcpy(Tx.block + 2, f.data.data() + off, n);
        PutLe16(Tx.block, static_cast<unsigned>(n));
    }
    Seal(Tx.block);
}

void SendUploadBlock()
{
    ++Tx.sends;
    unsigned char copy[BlockSize];
    std::memcpy(copy, Tx.block, BlockSize);
    if (Tx.blockNo == UploadCrcFault.block && Tx.sends <= UploadCrcFault.times)
        copy[259] ^= 0x5A;  // a damaged CRC
    Tx.since = SimNowMs();
    SimSend(copy, BlockSize);
}

void EndSend(const char *text)
{
    Tx.active = false;
    SimRawInput = nullptr;
    SimSendText(text);
    SimPrompt();
}

void SendInput(const unsigned char *data, std::size_t len)
{
    for (std::size_t i = 0; i < len && Tx.active; ++i) {
        unsigned char c = data[i];
        if (!Tx.started) {
            if (c == Start) {
                Tx.started = true;
                Tx.blockNo = 0;
                Tx.sends = 0;
                BuildUploadBlock();
                SendUploadBlock();
            } else if (c == 0x03) {
                EndSend("\r\nUpload cancelled.");
            }
            continue;
        }
        if (c == Ack) {
            if (Tx.blockNo == Tx.blocksTotal) {
                EndSend("\r\nUpload done.");
                return;
            }
            ++Tx.blockNo;
            Tx.sends = 0;
            BuildUploadBlock();
            SendUploadBlock();
        } else if (c == Nak) {
            if (Tx.sends >= MaxResends) {
                EndSend("\r\nUpload failed.");
                return;
            }
            SendUploadBlock();
        } else if (c == Start) {
            EndSend("\r\nUpload stopped by the terminal.");
            return;
        }
        // Anything else is noise on the line: ignored.
    }
}

void StartSend(const StoredFile &f)
{
    Tx = Send{};
    Tx.active = true;
    Tx.copy = f;
    std::size_t announced = UploadSize >= 0 ? static_cast<std::size_t>(UploadSize) : f.data.size();
    Tx.blocksTotal = static_cast<int>((announced + 255) / 256);
    Tx.since = SimNowMs();
    SimRawInput = SendInput;
    SimPrintf("\r\nSending %s (%zu bytes), waiting for the terminal...", f.name.c_str(), f.data.size());
}

// ---- Programs ---------------------------------------------------------------

void RunProgram(const StoredFile &f, const char *area, int argc, char **argv)
{
    SimPrintf("\r\nStart %s from %s (%zu bytes, CRC %04X)", f.name.c_str(), area, f.data.size(),
              Crc16(f.data.data(), f.data.size()));
    SimPrintf("\r\nargc=%d", argc);
    for (int i = 1; i < argc; ++i)
        SimPrintf("\r\nargv[%d]=%s", i, argv[i]);
    SimPrintf("\r\n%s ends", f.name.c_str());
    SimPrompt();
}

void ListFiles()
{
    SimSendText("\r\nArea  Name          Size     Date       Time     CRC");
    auto line = [](const char *area, const StoredFile &f) {
        SimPrintf("\r\n%-5s %-12s %8zu %04u/%02u/%02u %02u:%02u:%02u %04X", area, f.name.c_str(), f.data.size(),
                  f.year + 1980, f.month, f.day, f.hour, f.minute, f.seconds * 2,
                  Crc16(f.data.data(), f.data.size()));
    };
    for (const auto &f : Flash)
        line("FLASH", f);
    if (SramUsed)
        line("SRAM", Sram);
    SimPrintf("\r\n%zu file(s)", Flash.size() + (SramUsed ? 1 : 0));
    SimPrompt();
}

bool LoadHostFile(const char *path)
{
    std::FILE *f = std::fopen(path, "rb");
    if (f == nullptr)
        return false;
    StoredFile s;
    const char *base = std::strrchr(path, '/');
    s.name = base != nullptr ? base + 1 : path;
    if (s.name.size() > 12)
        s.name.resize(12);
    unsigned char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.data.insert(s.data.end(), buf, buf + n);
    struct stat st {};
    DosFields(fstat(fileno(f), &st) == 0 ? st.st_mtime : std::time(nullptr), &s);
    std::fclose(f);
    Flash.push_back(s);
    return true;
}

bool ParseFault(const char *value, BlockFault *fault)
{
    int k = 0, n = 1;
    char extra;
    int got = std::sscanf(value, "%d:%d%c", &k, &n, &extra);
    if (got < 1 || got > 2 || k < 0 || n < 0)
        return false;
    fault->block = k;
    fault->times = n;
    return true;
}

std::string Lower(const char *s)
{
    std::string r = s;
    for (auto &c : r)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

}  // namespace

int TransferOption(const char *name, const char *value, int *usedValue)
{
    std::string n = name;
    auto needValue = [&]() {
        if (value == nullptr) {
            std::fprintf(stderr, "quarnix-sim: --%s needs a value\n", name);
            std::exit(2);
        }
        *usedValue = 1;
    };
    auto bad = [&]() {
        std::fprintf(stderr, "quarnix-sim: bad value for --%s: %s\n", name, value);
        std::exit(2);
    };
    if (n == "nak-block") {
        needValue();
        if (!ParseFault(value, &NakFault))
            bad();
        return 1;
    }
    if (n == "garbage-block" || n == "silent-block") {
        needValue();
        char *end = nullptr;
        long k = std::strtol(value, &end, 10);
        if (end == value || *end != 0 || k < 0 || k > 1000000)
            bad();
        (n == "garbage-block" ? GarbageBlock : SilentBlock) = static_cast<int>(k);
        return 1;
    }
    if (n == "upload-crc") {
        needValue();
        if (!ParseFault(value, &UploadCrcFault))
            bad();
        return 1;
    }
    if (n == "upload-name") {
        needValue();
        // Up to 13 bytes as given; a name of 13 or more has no zero byte.
        std::memset(UploadName, 0, sizeof UploadName);
        std::size_t len = std::strlen(value);
        std::memcpy(UploadName, value, len < 13 ? len : 13);
        UploadNameSet = true;
        return 1;
    }
    if (n == "upload-size") {
        needValue();
        char *end = nullptr;
        long long v = std::strtoll(value, &end, 10);
        if (end == value || *end != 0 || v < 0 || v > static_cast<long long>(MaxFileSize))
            bad();
        UploadSize = v;
        return 1;
    }
    if (n == "store") {
        needValue();
        StoreDir = value;
        return 1;
    }
    if (n == "put") {
        needValue();
        if (!LoadHostFile(value)) {
            std::fprintf(stderr, "quarnix-sim: cannot read %s\n", value);
            std::exit(2);
        }
        return 1;
    }
    if (n == "transfer-timeout" || n == "start-timeout") {
        needValue();
        char *end = nullptr;
        long ms = std::strtol(value, &end, 10);
        if (end == value || *end != 0 || ms < 1 || ms > 3600000)
            bad();
        (n == "transfer-timeout" ? TransferTimeoutMs : StartTimeoutMs) = static_cast<int>(ms);
        return 1;
    }
    return 0;
}

int TransferCommand(int argc, char **argv)
{
    std::string cmd = Lower(argv[0]);
    if (cmd == "load" || cmd == "loadb" || cmd == "upload") {
        StartReceive(RxArea::Flash, cmd == "loadb" ? "\r\nReady to receive a file into flash (LOADB)!"
                                                   : "\r\nReady to receive a file into flash!");
        return 1;
    }
    if (cmd == "loadr") {
        StartReceive(RxArea::Sram, "\r\nReady to receive a file into SRAM!");
        return 1;
    }
    if (cmd == "dir") {
        ListFiles();
        return 1;
    }
    if (cmd == "send") {
        StoredFile *f = argc >= 2 ? FindFlash(argv[1]) : nullptr;
        if (f == nullptr && argc >= 2 && SramUsed && SameName(Sram.name, argv[1]))
            f = &Sram;
        if (f == nullptr) {
            SimPrintf("\r\nsend: no stored file %s", argc >= 2 ? argv[1] : "(none given)");
            SimPrompt();
            return 1;
        }
        StartSend(*f);
        return 1;
    }
    if (cmd == "run") {
        if (Flash.empty()) {
            SimSendText("\r\nNo program loaded.");
            SimPrompt();
        } else {
            RunProgram(Flash.back(), "FLASH", argc, argv);
        }
        return 1;
    }
    if (cmd == "runr") {
        if (!SramUsed) {
            SimSendText("\r\nNo program in SRAM.");
            SimPrompt();
        } else {
            RunProgram(Sram, "SRAM", argc, argv);
        }
        return 1;
    }
    if (StoredFile *f = FindFlash(argv[0])) {
        RunProgram(*f, "FLASH", argc, argv);
        return 1;
    }
    return 0;
}

int TransferTick()
{
    std::uint64_t now = SimNowMs();
    // Milliseconds until a give-up that is due at since + limit.
    auto left = [now](std::uint64_t since, int limit) {
        std::uint64_t due = since + static_cast<std::uint64_t>(limit);
        return due > now ? static_cast<int>(due - now) : 0;
    };
    int next = -1;
    if (Rx.active && now - Rx.lastByte > static_cast<std::uint64_t>(TransferTimeoutMs)) {
        Rx.fill = 0;
        EndReceive("\r\nTransfer timed out.");
    } else if (Rx.active) {
        next = left(Rx.lastByte, TransferTimeoutMs) + 1;
    }
    if (Tx.active) {
        int limit = Tx.started ? TransferTimeoutMs : StartTimeoutMs;
        if (now - Tx.since > static_cast<std::uint64_t>(limit)) {
            EndSend(Tx.started ? "\r\nUpload timed out." : "\r\nNo start byte, upload cancelled.");
        } else {
            int t = left(Tx.since, limit) + 1;
            next = next < 0 || t < next ? t : next;
        }
    }
    return next;
}

void TransferUsage()
{
    std::printf(
        "File transfer (shell commands LOAD, LOADR, LOADB, UPLOAD receive a\n"
        "file; send NAME offers a stored file for upload and waits for the\n"
        "start byte 'S'; dir lists the stored files with size, date and\n"
        "CRC-16; run, runr or a stored program's name start a program that\n"
        "prints its arguments):\n"
        "  --put FILE         store FILE in flash at start (for uploads)\n"
        "  --store DIR        also write every received file to DIR/FLASH.NAME\n"
        "                     or DIR/SRAM.NAME, dated from its record\n"
        "  --nak-block K[:N]  answer NAK to block K (0 = the file record) its\n"
        "                     first N times (1)\n"
        "  --garbage-block K  answer block K with '?' instead of ACK or NAK\n"
        "  --silent-block K   answer nothing from block K on\n"
        "  --upload-crc K[:N] send upload block K (0 = the file record) with a\n"
        "                     bad CRC its first N times (1)\n"
        "  --upload-name NAME send NAME (up to 13 bytes, no zero byte when 13\n"
        "                     or more) as the name in the upload record\n"
        "  --upload-size N    announce N bytes in the upload record and send\n"
        "                     N/256 (rounded up) blocks that carry the stored\n"
        "                     file's bytes as far as they go (count 0 after\n"
        "                     its end, 256 while it lasts)\n"
        "  --transfer-timeout MS\n"
        "                     give a transfer up after MS quiet (15000)\n"
        "  --start-timeout MS wait at most MS for the start byte of an upload\n"
        "                     (60000)\n");
}
