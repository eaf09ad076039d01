// The transfer code on its own: CRC-16, the block and record layout, the
// name rules, DOS date and time; then SendFile, GetFile and AutoLoadStep
// against a pseudo-terminal whose far end this test plays as controller,
// byte for byte.
#include "e2e.h"

#include "console.h"
#include "globals.h"
#include "serial.h"
#include "system.h"
#include "transfer/transfer.h"
#include "transfer/transfer_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>
#include <unistd.h>
#include <utime.h>

using namespace e2e;

namespace {

std::string Block(const std::string &payload, int count)
{
    std::string b(260, '\0');
    b[0] = static_cast<char>(count & 0xFF);
    b[1] = static_cast<char>((count >> 8) & 0xFF);
    std::memcpy(&b[2], payload.data(), payload.size() < 256 ? payload.size() : 256);
    unsigned crc = Crc16(reinterpret_cast<const unsigned char *>(b.data()), 258);
    b[258] = static_cast<char>(crc >> 8);
    b[259] = static_cast<char>(crc & 0xFF);
    return b;
}

int CountOf(const std::string &b)
{
    return static_cast<unsigned char>(b[0]) | (static_cast<unsigned char>(b[1]) << 8);
}

unsigned CrcOf(const std::string &b)
{
    return Crc16(reinterpret_cast<const unsigned char *>(b.data()), static_cast<int>(b.size()));
}

long long LocalTime(int y, int mo, int d, int h, int mi, int s)
{
    struct tm t {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return static_cast<long long>(mktime(&t));
}

TEST(Crc, CheckValueZeroBlockAndSealedBlocks)
{
    MakeCrcTable();
    const char *digits = "123456789";
    EXPECT_EQ(Crc16(reinterpret_cast<const unsigned char *>(digits), 9), 0x31C3);
    EXPECT_EQ(CrcTable[0], 0x0000);
    EXPECT_EQ(CrcTable[1], 0x1021);
    EXPECT_EQ(CrcTable[255], 0x1EF0);
    unsigned char zero[260] = {};
    EXPECT_EQ(Crc16(zero, 258), 0x0000);
    // Sealed blocks check to zero over all 260 bytes; one flipped bit does not.
    unsigned char b[260];
    for (int i = 0; i < 260; ++i)
        b[i] = static_cast<unsigned char>(i * 7 + 3);
    SealBlock(b);
    EXPECT_EQ(Crc16(b, 260), 0);
    b[100] ^= 0x10;
    EXPECT_NE(Crc16(b, 260), 0);
}

TEST(Record, FileInfoLayoutIsPackedLittleEndian)
{
    FileInfoRecord info{};
    std::strcpy(info.name, "prog.exe");
    info.size = 0x01020304;
    info.year = 43;
    info.month = 5;
    info.day = 17;
    info.hour = 14;
    info.minute = 32;
    info.seconds = 23;
    unsigned char out[29];
    std::memset(out, 0xEE, sizeof out);
    EncodeFileInfo(info, out);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 8), "prog.exe");
    EXPECT_EQ(out[8], 0);
    const unsigned char tail[] = {0x04, 0x03, 0x02, 0x01, 43, 0, 5, 0, 17, 0, 14, 0, 32, 0, 23, 0};
    EXPECT_EQ(std::memcmp(out + 13, tail, sizeof tail), 0);
    FileInfoRecord back{};
    DecodeFileInfo(out, &back);
    EXPECT_EQ(back.size, info.size);
    EXPECT_EQ(back.seconds, 23);
    EXPECT_STREQ(back.name, "prog.exe");

    unsigned char block[260] = {};
    SetBlockCount(block, 257);
    EXPECT_EQ(block[0], 0x01);
    EXPECT_EQ(block[1], 0x01);
    EXPECT_EQ(BlockCount(block), 257);
    SealBlock(block);
    unsigned crc = Crc16(block, 258);
    EXPECT_EQ(block[258], crc >> 8);  // CRC high byte first
    EXPECT_EQ(block[259], crc & 0xFF);
}

TEST(Names, RecordNameFromPath)
{
    char n[13];
    FileInfoNameFromPath("C:\\work\\prog.exe", n);
    EXPECT_STREQ(n, "prog.exe");
    FileInfoNameFromPath("A:prog.exe", n);
    EXPECT_STREQ(n, "prog.exe");
    FileInfoNameFromPath("verylongname.exe", n);
    EXPECT_STREQ(n, "longname.exe");
    FileInfoNameFromPath("dir/prog.exe", n);
    EXPECT_STREQ(n, "dir/prog.exe");
    FileInfoNameFromPath("C:\\temp\\", n);
    EXPECT_STREQ(n, "");
    FileInfoNameFromPath("x\\abcdefghijklmnop", n);  // no separator in the last 12
    EXPECT_STREQ(n, "efghijklmnop");
}

TEST(Names, TypedNamesDropDriveAndDirectoryAndRefuseTooLong)
{
    char out[LoadPathSize];
    EXPECT_EQ(NamePartOfPath("C:\\temp\\test.exe", out, sizeof out), 1);
    EXPECT_STREQ(out, "test.exe");
    EXPECT_EQ(NamePartOfPath("/home/u/prog", out, sizeof out), 1);
    EXPECT_STREQ(out, "prog");
    EXPECT_EQ(NamePartOfPath("C:\\temp\\", out, sizeof out), 0);
    EXPECT_EQ(NamePartOfPath("dir/.exe", out, sizeof out), 0);  // extension only: no name part
    std::string longName(130, 'a');
    EXPECT_EQ(NamePartOfPath(longName.c_str(), out, sizeof out), -1);
    std::strcpy(LoadPath, "keep.bin");
    EXPECT_NE(SetLoadPath(longName.c_str()), 0);
    EXPECT_STREQ(LoadPath, "keep.bin");  // refused, not cut
    std::string fits(122, 'b');
    EXPECT_EQ(SetLoadPath(fits.c_str()), 0);
    EXPECT_EQ(std::string(LoadPath), fits);
}

TEST(Names, UploadNamesFromTheControllerAreChecked)
{
    auto safe = [](const std::string &s) {
        char n[13] = {};
        std::memcpy(n, s.data(), s.size() < 13 ? s.size() : 13);
        return UploadNameIsSafe(n);
    };
    EXPECT_EQ(safe("prog.exe"), 1);
    EXPECT_EQ(safe("DATA_01.LOG"), 1);
    EXPECT_EQ(safe("abcdefgh.txt"), 1);  // 12 characters and the zero
    EXPECT_EQ(safe(""), 0);
    EXPECT_EQ(safe("../evil"), 0);
    EXPECT_EQ(safe(".."), 0);
    EXPECT_EQ(safe("."), 0);
    EXPECT_EQ(safe("a/b"), 0);
    EXPECT_EQ(safe("/etc/passwd"), 0);
    EXPECT_EQ(safe("a\\b"), 0);
    EXPECT_EQ(safe("C:evil"), 0);
    EXPECT_EQ(safe("abcdefghijklm"), 0);  // 13 bytes, no zero
    EXPECT_EQ(safe("bell\x07"), 0);
    EXPECT_EQ(safe("con"), 0);
    EXPECT_EQ(safe("NUL.txt"), 0);
    EXPECT_EQ(safe("com1"), 0);
    EXPECT_EQ(safe("trail."), 0);
    // 8-bit control bytes as the 7-bit ones; the bytes above them are taken.
    EXPECT_EQ(safe("a\x80"), 0);
    EXPECT_EQ(safe("a\x9b" "2J"), 0);
    EXPECT_EQ(safe("a\x9f"), 0);
    EXPECT_EQ(safe("a\x7f"), 0);
    EXPECT_EQ(safe("caf\xe9.txt"), 1);
    EXPECT_EQ(safe("a\xa0"), 1);
}

TEST(DosTime, FieldsOfAFileWithAKnownModificationTime)
{
    TempDir dir;
    std::string path = dir / "dated.bin";
    WriteFile(path, "x");
    long long t = LocalTime(2023, 5, 17, 14, 32, 47);
    struct utimbuf ut = {static_cast<time_t>(t), static_cast<time_t>(t)};
    ASSERT_EQ(utime(path.c_str(), &ut), 0);
    std::FILE *f = TransferOpenFile(path.c_str());
    ASSERT_NE(f, nullptr);
    long long got = 0;
    ASSERT_EQ(TransferFileTime(f, &got), 0);
    std::fclose(f);
    FileInfoRecord info{};
    DosFieldsFromTime(got, &info);
    EXPECT_EQ(info.year, 43);
    EXPECT_EQ(info.month, 5);
    EXPECT_EQ(info.day, 17);
    EXPECT_EQ(info.hour, 14);
    EXPECT_EQ(info.minute, 32);
    EXPECT_EQ(info.seconds, 23);  // 47 s in two-second steps
    EXPECT_EQ(TimeFromDosFields(info), t - 1);

    // Outside the DOS range the fields stay valid.
    DosFieldsFromTime(LocalTime(1975, 3, 3, 3, 3, 3), &info);
    EXPECT_EQ(info.year, 0);
    EXPECT_EQ(info.month, 1);
    EXPECT_EQ(info.day, 1);
}

TEST(Files, OnlyRegularFilesAreOpenedAndLinksAreNotFollowed)
{
    TempDir dir;
    EXPECT_EQ(TransferOpenFile(dir.path().c_str()), nullptr);  // a directory
    EXPECT_EQ(TransferCreateNewFile(dir.path().c_str()), nullptr);
    std::string fifo = dir / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(TransferOpenFile(fifo.c_str()), nullptr);  // returns at once
    // A name that a link of either kind or a pipe holds is made a new file
    // of its own: what the link leads to keeps its bytes.
    std::string outside = dir / "outside.txt";
    WriteFile(outside, "keep");
    std::string soft = dir / "soft.txt", hard = dir / "hard.txt";
    ASSERT_EQ(symlink(outside.c_str(), soft.c_str()), 0);
    ASSERT_EQ(link(outside.c_str(), hard.c_str()), 0);
    EXPECT_EQ(TransferIsSameFile(soft.c_str(), outside.c_str()), 1);
    EXPECT_EQ(TransferIsSameFile(hard.c_str(), outside.c_str()), 1);
    EXPECT_EQ(TransferIsSameFile(fifo.c_str(), outside.c_str()), 0);
    EXPECT_EQ(TransferIsSameFile((dir / "none").c_str(), outside.c_str()), 0);
    for (const std::string &name : {soft, hard, fifo}) {
        std::FILE *f = TransferCreateNewFile(name.c_str());
        ASSERT_NE(f, nullptr) << name;
        std::fputs("new", f);
        std::fclose(f);
        struct stat st {};
        ASSERT_EQ(lstat(name.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
        EXPECT_EQ(ReadFile(name), "new");
        EXPECT_EQ(TransferIsSameFile(name.c_str(), outside.c_str()), 0) << name;
    }
    EXPECT_EQ(ReadFile(outside), "keep");
    // The settings' temporary file is made only where nothing is: a name
    // that a link of either kind or a file holds is not opened at all.
    std::string soft2 = dir / "soft2", hard2 = dir / "hard2";
    ASSERT_EQ(symlink(outside.c_str(), soft2.c_str()), 0);
    ASSERT_EQ(link(outside.c_str(), hard2.c_str()), 0);
    for (const std::string &name : {soft2, hard2, outside})
        EXPECT_EQ(SysCreateNewFile(name.c_str()), nullptr) << name;
    EXPECT_EQ(ReadFile(outside), "keep");
    std::FILE *fresh = SysCreateNewFile((dir / "fresh").c_str());
    ASSERT_NE(fresh, nullptr);
    std::fclose(fresh);
}

// ---- The protocols against a pseudo-terminal held by the test ---------------

struct Line {
    TempDir dir;
    PtyPeer peer{dir, "com1"};
    char oldCwd[4096] = {};

    Line()
    {
        ResetGlobals();
        ComResetTable();
        setenv("TARVIK_COM1", peer.link().c_str(), 1);
        CurrentPort = 1;
        EXPECT_NE(getcwd(oldCwd, sizeof oldCwd), nullptr);
        EXPECT_EQ(chdir(dir.path().c_str()), 0);
        EXPECT_EQ(ComOpen(1), 0);
    }
    ~Line()
    {
        ComClose(1);
        if (chdir(oldCwd) != 0)
            ADD_FAILURE() << "chdir back";
        TransferActive = 0;
        CancelRequest = 0;
    }
};

// Runs fn on its own thread, as the main thread of tarvik would.
struct Background {
    std::atomic<bool> done{false};  // before the thread that sets it
    std::thread t;
    template <class F>
    explicit Background(F fn)
        : t([this, fn] {
              fn();
              done = true;
          })
    {
    }
    ~Background()
    {
        if (t.joinable())
            t.join();
    }
    bool Wait(int ms = 30000) { return WaitFor([&] { return done.load(); }, ms); }
};

TEST(Download, BlocksOfA257ByteFileKeepOldBytesBeyondTheCount)
{
    Line line;
    std::string data;
    for (int i = 0; i < 257; ++i)
        data += static_cast<char>(i * 13 + 1);
    WriteFile(line.dir / "two.bin", data);
    std::strcpy(LoadPath, "two.bin");
    Background run([] { SendFile(); });

    std::string info = line.peer.ReadN(260);
    ASSERT_EQ(info.size(), 260u);
    EXPECT_EQ(CountOf(info), 29);
    EXPECT_EQ(CrcOf(info), 0);
    EXPECT_EQ(std::string(info.data() + 2, 8), std::string("two.bin\0", 8));
    EXPECT_EQ(static_cast<unsigned char>(info[15]), 1);  // size 257, little-endian
    EXPECT_EQ(static_cast<unsigned char>(info[16]), 1);
    line.peer.Write("\x06");

    std::string b1 = line.peer.ReadN(260);
    EXPECT_EQ(CountOf(b1), 256);
    EXPECT_EQ(CrcOf(b1), 0);
    EXPECT_EQ(b1.substr(2, 256), data.substr(0, 256));
    line.peer.Write("\x06");

    std::string b2 = line.peer.ReadN(260);
    EXPECT_EQ(CountOf(b2), 1);
    EXPECT_EQ(CrcOf(b2), 0);
    EXPECT_EQ(b2[2], data[256]);
    // The other 255 data bytes are what the first block left there.
    EXPECT_EQ(b2.substr(3, 255), b1.substr(3, 255));
    line.peer.Write("\x06");
    EXPECT_TRUE(run.Wait());
    EXPECT_EQ(line.peer.Read(300, 50), "");  // nothing after the last block
}

TEST(Download, ThreeNaksStopAndNakThenAckGoesOn)
{
    Line line;
    WriteFile(line.dir / "a.bin", std::string(300, 'a'));
    std::strcpy(LoadPath, "a.bin");
    Background run([] { SendFile(); });
    std::string first = line.peer.ReadN(260);
    line.peer.Write("\x15");
    EXPECT_EQ(line.peer.ReadN(260), first);  // the same block again
    line.peer.Write("\x06");
    std::string b1 = line.peer.ReadN(260);
    EXPECT_EQ(CountOf(b1), 256);
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            EXPECT_EQ(line.peer.ReadN(260), b1);
        }
        line.peer.Write("\x15");
    }
    EXPECT_TRUE(run.Wait());
    EXPECT_EQ(line.peer.Read(300, 50), "");  // block 2 never sent
}

TEST(Download, MissingFileSendsOneAbortBlock)
{
    Line line;
    std::strcpy(LoadPath, "missing.bin");
    Background run([] { SendFile(); });
    std::string b = line.peer.ReadN(260);
    EXPECT_EQ(CountOf(b), 0);
    EXPECT_EQ(CrcOf(b), 0);
    line.peer.Write("\x06");
    EXPECT_TRUE(run.Wait());
    EXPECT_EQ(line.peer.Read(300, 50), "");
}

TEST(Download, SilenceIsBoundedAndEscapeCancels)
{
    Line line;
    WriteFile(line.dir / "a.bin", std::string(1000, 'a'));
    std::strcpy(LoadPath, "a.bin");
    {
        Background run([] { SendFile(); });
        EXPECT_EQ(line.peer.ReadN(260).size(), 260u);
        // No answer: the transfer gives up by itself, sending nothing more.
        EXPECT_TRUE(run.Wait(ReplyWaitMs + 20000));
        EXPECT_EQ(line.peer.Read(200, 50), "");
    }
    {
        Background run([] { SendFile(); });
        EXPECT_EQ(line.peer.ReadN(260).size(), 260u);
        line.peer.Write("\x06");
        EXPECT_EQ(line.peer.ReadN(260).size(), 260u);
        CancelRequest = 1;  // what Escape does while a transfer runs
        EXPECT_TRUE(run.Wait(ReplyWaitMs / 2));
        EXPECT_EQ(line.peer.Read(200, 50), "");
    }
}

TEST(Download, AFileThatShrinksSendsConsistentBlocksAndFails)
{
    Line line;
    std::string path = line.dir / "shrink.bin";
    WriteFile(path, std::string(1000, 's'));
    std::strcpy(LoadPath, "shrink.bin");
    Background run([] { SendFile(); });
    std::string info = line.peer.ReadN(260);
    EXPECT_EQ(static_cast<unsigned char>(info[15]) | (static_cast<unsigned char>(info[16]) << 8), 1000);
    ASSERT_EQ(truncate(path.c_str(), 300), 0);  // the file shrinks meanwhile
    line.peer.Write("\x06");
    std::string b1 = line.peer.ReadN(260);
    EXPECT_EQ(CountOf(b1), 256);
    line.peer.Write("\x06");
    std::string b2 = line.peer.ReadN(260);
    EXPECT_EQ(CountOf(b2), 44);
    EXPECT_EQ(CrcOf(b2), 0);
    line.peer.Write("\x06");
    std::string end = line.peer.ReadN(260);
    EXPECT_EQ(CountOf(end), 0);  // nothing more comes
    EXPECT_EQ(CrcOf(end), 0);
    line.peer.Write("\x06");
    EXPECT_TRUE(run.Wait());
    EXPECT_EQ(line.peer.Read(300, 50), "");
}

TEST(Upload, SmallFileArrivesWithItsDateAndCrcErrorsAreNakked)
{
    Line line;
    std::string data(300, 'u');
    data[299] = 'Z';
    FileInfoRecord info{};
    std::strcpy(info.name, "up.txt");
    info.size = 300;
    info.year = 44;
    info.month = 2;
    info.day = 29;
    info.hour = 23;
    info.minute = 59;
    info.seconds = 29;
    unsigned char rec[29];
    EncodeFileInfo(info, rec);
    Background run([] { GetFile(); });
    EXPECT_EQ(line.peer.ReadN(1), "S");
    std::string bad = Block(std::string(reinterpret_cast<char *>(rec), 29), 29);
    bad[259] ^= 1;
    // A block in pieces, the first copy damaged: one NAK.
    line.peer.Write(bad.substr(0, 100));
    line.peer.Write(bad.substr(100));
    EXPECT_EQ(line.peer.ReadN(1), "\x15");
    line.peer.Write(Block(std::string(reinterpret_cast<char *>(rec), 29), 29));
    EXPECT_EQ(line.peer.ReadN(1), "\x06");
    line.peer.Write(Block(data.substr(0, 256), 256));
    EXPECT_EQ(line.peer.ReadN(1), "\x06");
    line.peer.Write(Block(data.substr(256), 44));
    EXPECT_EQ(line.peer.ReadN(1), "\x06");
    EXPECT_TRUE(run.Wait());
    EXPECT_EQ(ReadFile(line.dir / "up.txt"), data);
    struct stat st {};
    ASSERT_EQ(stat((line.dir / "up.txt").c_str(), &st), 0);
    EXPECT_EQ(static_cast<long long>(st.st_mtime), LocalTime(2024, 2, 29, 23, 59, 58));
}

TEST(Upload, ThreeCrcErrorsStopWithoutThirdNakAndOversizedCountIsRefused)
{
    Line line;
    FileInfoRecord info{};
    std::strcpy(info.name, "x.bin");
    info.size = 600;
    info.month = 1;
    info.day = 1;
    unsigned char rec[29];
    EncodeFileInfo(info, rec);
    {
        Background run([] { GetFile(); });
        EXPECT_EQ(line.peer.ReadN(1), "S");
        line.peer.Write(Block(std::string(reinterpret_cast<char *>(rec), 29), 29));
        EXPECT_EQ(line.peer.ReadN(1), "\x06");
        std::string bad = Block(std::string(256, 'q'), 256);
        bad[5] ^= 0x40;
        line.peer.Write(bad);
        EXPECT_EQ(line.peer.ReadN(1), "\x15");
        line.peer.Write(bad);
        EXPECT_EQ(line.peer.ReadN(1), "\x15");
        line.peer.Write(bad);
        EXPECT_EQ(line.peer.ReadN(1), "S");  // no third NAK: the stop byte
        EXPECT_TRUE(run.Wait());
        EXPECT_EQ(ReadFile(line.dir / "x.bin"), "");
    }
    {
        Background run([] { GetFile(); });
        EXPECT_EQ(line.peer.ReadN(1), "S");
        line.peer.Write(Block(std::string(reinterpret_cast<char *>(rec), 29), 29));
        EXPECT_EQ(line.peer.ReadN(1), "\x06");
        // A count beyond the data area with a correct CRC.
        line.peer.Write(Block(std::string(256, 'q'), 4000));
        EXPECT_EQ(line.peer.ReadN(1), "S");
        EXPECT_TRUE(run.Wait());
        EXPECT_EQ(ReadFile(line.dir / "x.bin"), "");
    }
}

// The controller offers a file of this name and size: the record is
// answered with the stop byte, never an ACK, and the fetch ends.
void ExpectRecordRefused(Line &line, const std::string &name, unsigned size)
{
    FileInfoRecord info{};
    std::memcpy(info.name, name.data(), name.size() < 13 ? name.size() : 13);
    info.size = size;
    unsigned char rec[29];
    EncodeFileInfo(info, rec);
    Background run([] { GetFile(); });
    EXPECT_EQ(line.peer.ReadN(1), "S") << name;
    line.peer.Write(Block(std::string(reinterpret_cast<char *>(rec), 29), 29));
    EXPECT_EQ(line.peer.ReadN(1), "S") << name;  // stop, no ACK
    EXPECT_TRUE(run.Wait());
}

TEST(Upload, HostileNamesAreRefusedAndNothingIsWritten)
{
    Line line;
    for (const std::string &name : {std::string("../evil.txt"), std::string("/tmp/evil"), std::string("abcdefghijklm"),
                                   std::string("C:evil.txt")}) {
        ExpectRecordRefused(line, name, 10);
    }
    EXPECT_FALSE(FileExists(line.dir / "../evil.txt"));
    EXPECT_FALSE(FileExists("/tmp/evil"));
    EXPECT_FALSE(FileExists(line.dir / "abcdefghijklm"));
}

// tarvik's own files are never written by an upload: the settings file,
// each script file tarvik.F1 to tarvik.F12 and the log in use, by their
// names and by what they are (a link of another name to one of them as the
// name or as its part).  Each is stopped at the record, before the ACK.
TEST(Upload, OwnFilesAreRefusedByNameAndBySameFile)
{
    Line line;
    std::map<std::string, std::string> own = {{"tarvik.ini", "C1 B9600 P0 D8 S1\n"}, {"run.log", "logged\n"}};
    for (int k = 1; k <= 12; ++k)
        own["tarvik.F" + std::to_string(k)] = "/sendcmd script " + std::to_string(k) + "\n";
    for (const auto &[name, text] : own)
        WriteFile(line.dir / name, text);
    int log = SysOpenAppend("run.log");
    ASSERT_GE(log, 0);
    LogFile = log;
    ASSERT_EQ(link("tarvik.ini", "hl.part"), 0);
    ASSERT_EQ(link("tarvik.ini", "ini2"), 0);
    ASSERT_EQ(symlink("tarvik.F7", "sl.part"), 0);
    ASSERT_EQ(symlink("tarvik.F12", "f12"), 0);
    ASSERT_EQ(link("run.log", "lg.part"), 0);
    ASSERT_EQ(link("run.log", "lg2"), 0);
    std::vector<std::string> names = {"TARVIK.INI", "hl", "ini2", "sl", "f12", "lg", "lg2"};
    for (const auto &entry : own)
        names.push_back(entry.first);
    for (const std::string &name : names) {
        ExpectRecordRefused(line, name, 4);
    }
    LogFile = -1;
    SysCloseFile(log);
    for (const auto &[name, text] : own)
        EXPECT_EQ(ReadFile(line.dir / name), text) << name;
    // The settings' temporary files (longer than a record's name can be).
    EXPECT_EQ(UploadNameIsOwnFile("tarvik.ini.tmp"), 1);
    EXPECT_EQ(UploadNameIsOwnFile("TARVIK.INI.TMP123456"), 1);
    EXPECT_EQ(UploadNameIsOwnFile("tarvik.in"), 0);
    // A name that is no file of tarvik's own is taken.
    FileInfoRecord info{};
    std::strcpy(info.name, "fine.txt");
    unsigned char rec[29];
    EncodeFileInfo(info, rec);
    Background run([] { GetFile(); });
    EXPECT_EQ(line.peer.ReadN(1), "S");
    line.peer.Write(Block(std::string(reinterpret_cast<char *>(rec), 29), 29));
    EXPECT_EQ(line.peer.ReadN(1), "\x06");
    EXPECT_TRUE(run.Wait());
    EXPECT_TRUE(FileExists(line.dir / "fine.txt"));
}

TEST(Upload, SilenceAfterTheStartByteIsBounded)
{
    Line line;
    Background run([] { GetFile(); });
    EXPECT_EQ(line.peer.ReadN(1), "S");
    line.peer.Write(std::string(100, 'x'));  // part of a block, then nothing
    EXPECT_TRUE(run.Wait(BlockWaitMs + 20000));
    EXPECT_EQ(line.peer.Read(200, 50), "");  // nothing sent in the first phase
}

TEST(Sequence, MultiLoadSendsEachFileThenRunLineFollowsF8)
{
    Line line;
    WriteFile(line.dir / "a.exe", "AAAA");
    WriteFile(line.dir / "b.exe", "BB");
    std::strcpy(MultiFiles[0], "a.exe");
    std::strcpy(MultiFiles[1], "b.exe");
    MultiFiles[2][0] = 0;
    StartMultiLoad();
    EXPECT_EQ(line.peer.ReadN(5), "LOAD\r");
    for (const char *name : {"a.exe", "b.exe"}) {
        Background step([] { AutoLoadStep(); });
        std::string info = line.peer.ReadN(260);
        EXPECT_EQ(std::string(info.data() + 2), name);
        line.peer.Write("\x06");
        EXPECT_EQ(CountOf(line.peer.ReadN(260)) > 0, true);
        line.peer.Write("\x06");
        EXPECT_TRUE(step.Wait());
        if (std::string(name) == "a.exe") {
            EXPECT_EQ(line.peer.ReadN(5), "LOAD\r");  // the next file is asked for
        }
    }
    EXPECT_EQ(line.peer.Read(300, 50), "");  // nothing after the last file
    EXPECT_EQ(MultiLoadActive.load(), 0);
    EXPECT_EQ(LoadDone.load(), 1);
    EXPECT_EQ(TransferActive.load(), 0);
}

TEST(Sequence, ArmedStateEndsOnEscapeAndReleasesAScript)
{
    Line line;
    std::strcpy(DownloadFileName, "p.exe");
    LoadDone = 0;
    StartAutoLoad(KeyF(8));
    EXPECT_EQ(line.peer.ReadN(5), "LOAD\r");
    EXPECT_EQ(TransferActive.load(), 1);
    AutoLoadWatch();
    EXPECT_EQ(AutoLoadActive.load(), 1);
    CancelRequest = 1;
    AutoLoadWatch();
    EXPECT_EQ(AutoLoadActive.load(), 0);
    EXPECT_EQ(RunAfterLoad.load(), 0);
    EXPECT_EQ(LoadDone.load(), 1);
    EXPECT_EQ(TransferActive.load(), 0);
    // A later '!' starts nothing.
    AutoLoadStep();
    EXPECT_EQ(line.peer.Read(300, 50), "");
}

TEST(Sequence, ArmedStateIsBoundedWhenNoPromptComes)
{
    Line line;
    std::strcpy(DownloadFileName, "p.exe");
    LoadDone = 0;
    StartAutoLoad(KeyF(10));
    EXPECT_EQ(line.peer.ReadN(6), "LOADR\r");
    EXPECT_TRUE(WaitFor(
        [] {
            AutoLoadWatch();  // what the receive loop does on every pass
            return AutoLoadActive.load() == 0;
        },
        ArmedWaitMs + 20000));
    EXPECT_EQ(RunSramAfterLoad.load(), 0);
    EXPECT_EQ(LoadDone.load(), 1);
    EXPECT_EQ(TransferActive.load(), 0);
    EXPECT_EQ(line.peer.Read(300, 50), "");
}

}  // namespace
