// Line diagnostics without the console: option words, the rate table, the
// monitor's block cutting, and the test steps against a real
// pseudo-terminal held by the test (the terminal side opened as COM1).
#include "diag/diag.h"
#include "e2e.h"
#include "globals.h"
#include "serial.h"
#include "receive.h"
#include "system.h"
#include "transfer/transfer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

using namespace e2e;

namespace {

// Captured console output without the colour sequences.
std::string Plain(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\033' && i + 1 < s.size() && s[i + 1] == '[') {
            size_t j = i + 2;
            while (j < s.size() && !(s[j] >= '@' && s[j] <= '~'))
                ++j;
            i = j;
            continue;
        }
        out += s[i];
    }
    return out;
}

void Fresh()
{
    ResetGlobals();
    ResetDiag();
}

void Options(std::initializer_list<const char *> words)
{
    for (const char *w : words)
        ApplyDiagOption(w);
}

std::string Command()
{
    unsigned char bytes[DiagCommandBytesSize];
    int n = DiagCommand(nullptr, bytes);
    return std::string(reinterpret_cast<char *>(bytes), static_cast<size_t>(n));
}

std::string CommandText()
{
    char text[DiagCommandTextSize];
    DiagCommand(text, nullptr);
    return text;
}

// The CRC of the transfer blocks, bit by bit (independent of the table).
unsigned BitCrc(const unsigned char *p, size_t n)
{
    unsigned c = 0;
    for (size_t i = 0; i < n; ++i) {
        c ^= static_cast<unsigned>(p[i]) << 8;
        for (int b = 0; b < 8; ++b)
            c = ((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1) & 0xFFFF;
    }
    return c;
}

std::string Block(int count, bool good)
{
    unsigned char b[260] = {};
    b[0] = static_cast<unsigned char>(count & 0xFF);
    b[1] = static_cast<unsigned char>(count >> 8);
    for (int i = 0; i < 256; ++i)
        b[2 + i] = static_cast<unsigned char>(i * 3);
    unsigned crc = BitCrc(b, 258);
    b[258] = static_cast<unsigned char>(crc >> 8);
    b[259] = static_cast<unsigned char>(crc);
    if (!good)
        b[100] ^= 1;
    return std::string(reinterpret_cast<char *>(b), 260);
}

std::string Feed(const std::vector<std::string> &reads)
{
    testing::internal::CaptureStdout();
    for (const auto &r : reads) {
        std::printf("{%d}", static_cast<int>(r.size()));
        PacketFeed(reinterpret_cast<const unsigned char *>(r.data()), static_cast<int>(r.size()));
    }
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(DiagTables, RatesAndHexDigits)
{
    EXPECT_TRUE(BitCrc(reinterpret_cast<const unsigned char *>("123456789"), 9) == 0x31C3);
    EXPECT_EQ(IsKnownRate(300), 1);
    EXPECT_EQ(IsKnownRate(921600), 1);
    EXPECT_EQ(IsKnownRate(14400), 0);
    EXPECT_EQ(IsKnownRate(0), 0);
    EXPECT_EQ(NextRate(300), 600);
    EXPECT_EQ(NextRate(9600), 19200);
    EXPECT_EQ(NextRate(115200), 230400);
    EXPECT_EQ(NextRate(921600), 0);
    EXPECT_EQ(NextRate(14400), 0);
    EXPECT_EQ(HexDigitValue('0'), 0);
    EXPECT_EQ(HexDigitValue('9'), 9);
    EXPECT_EQ(HexDigitValue('a'), 10);
    EXPECT_EQ(HexDigitValue('F'), 15);
    EXPECT_EQ(HexDigitValue('g'), 0);
    EXPECT_EQ(HexDigitValue(-1), 0);
}

TEST(DiagOptions, CommandWordsBuildTheBytesSent)
{
    Fresh();
    EXPECT_EQ(Command(), "$01M\r");
    Options({"/CH0102ff0D"});
    EXPECT_EQ(Command(), std::string("\x01\x02\xff\x0d", 4));
    EXPECT_EQ(CommandText(), "H0102ff0D");
    Options({"/W7", "/ch0102f"});
    EXPECT_EQ(Command(), std::string("\x01\x02", 2));
    EXPECT_EQ(ReplyLength.load(), 7) << "a hex command keeps the reply length";
    Options({"/CH01zz02"});
    EXPECT_EQ(Command(), std::string("\x01", 1)) << "bytes end at the first pair that is not hex";
    Options({"/C$02M"});
    EXPECT_EQ(Command(), "$02M\r");
    EXPECT_EQ(ReplyLength.load(), 0) << "a text command ends its replies at CR";
    // The longest command a line can hold.
    std::string longWord = "/C" + std::string(78, 'x');
    ApplyDiagOption(longWord.c_str());
    EXPECT_EQ(Command(), std::string(78, 'x') + "\r");
}

TEST(DiagOptions, NumbersLettersAndCase)
{
    Fresh();
    Options({"/ab1", "/Ae3", "/bB9600", "/BE19200", "/ta50", "/tC1000", "/TO0", "/w4", "/lf1", "/X5", "/Z", "/AX9"});
    EXPECT_EQ(ScanStartAddr.load(), 1);
    EXPECT_EQ(ScanEndAddr.load(), 3);
    EXPECT_EQ(ScanStartRate.load(), 9600);
    EXPECT_EQ(ScanEndRate.load(), 19200);
    EXPECT_EQ(ScanWait.load(), 50);
    EXPECT_EQ(RepeatInterval.load(), 1000);
    EXPECT_EQ(ReplyTimeout.load(), 0);
    EXPECT_EQ(ReplyLength.load(), 4);
    EXPECT_EQ(EchoLf.load(), 1);
    Options({"/LF0", "/TO99999999999"});
    EXPECT_EQ(EchoLf.load(), 0);
    EXPECT_EQ(ReplyTimeout.load(), 2147483647) << "numbers beyond int are held at its end";

    testing::internal::CaptureStdout();
    Options({"/M0"});
    EXPECT_EQ(SendAllInOnePacket.load(), 0);
    Options({"/m"});
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SendAllInOnePacket=0\n\rSendAllInOnePacket=1\n\r");
}

TEST(DiagOptions, RepeatWordsArmOnlyAnIdleTest)
{
    Fresh();
    Options({"/P2"});
    EXPECT_EQ(PatternCheck.load(), 1);
    EXPECT_EQ(RepeatCount.load(), 2);
    EXPECT_EQ(RepeatState.load(), DiagArmed);
    RepeatState = 2;  // running
    Options({"/Q"});
    EXPECT_EQ(QuitRequest.load(), 1);
    Options({"/N9"});
    EXPECT_EQ(RepeatState.load(), 2) << "a running test is not restarted";
    EXPECT_EQ(PatternCheck.load(), 2);
    EXPECT_EQ(RepeatCount.load(), 9);
    EXPECT_EQ(QuitRequest.load(), 0);
    Options({"/S"});
    EXPECT_EQ(ScanState.load(), DiagArmed);
}

TEST(PacketMonitor, CutsReadsIntoBlocks)
{
    Fresh();
    MakeCrcTable();
    std::string good1 = Block(1, true), bad = Block(256, false), good2 = Block(2, true);
    PacketFeedReset();
    EXPECT_EQ(Feed({good1.substr(0, 100), good1.substr(100, 100), good1.substr(200) + bad.substr(0, 40)}),
              "{100}[100]{100}[200]{100}-->Packet 1 : crc OK\n[40]");
    EXPECT_EQ(Feed({bad.substr(40) + good2 + good2.substr(0, 80)}),
              "{560}-->Packet 256 : CRC error!\n-->Packet 2 : crc OK\n[80]");
    PacketFeedReset();
    EXPECT_EQ(Feed({std::string(260, 'A')}), "{260}-->Packet 16705 : CRC error!\n");
    EXPECT_EQ(Feed({good1 + good2}), "{520}-->Packet 1 : crc OK\n-->Packet 2 : crc OK\n");
    // The block stays in the shared buffer.
    EXPECT_EQ(std::memcmp(TransferBlock, good2.data(), 260), 0);
}

// ---- Test steps against a pseudo-terminal -----------------------------------

class DiagSteps : public testing::Test {
protected:
    TempDir dir;
    PtyPeer peer{dir, "com1"};

    void SetUp() override
    {
        Fresh();
        ComResetTable();
        setenv("TARVIK_COM1", peer.link().c_str(), 1);
        ASSERT_EQ(ComOpen(1), 0);
        ComSetTimeouts(1);
        LineMode = 1;
    }
    void TearDown() override
    {
        ComClose(1);
        unsetenv("TARVIK_COM1");
    }
    static void TypeLine(const std::string &text)
    {
        for (char c : text)
            LineModeKey(static_cast<unsigned char>(c));
        LineModeKey(13);
    }
    static void Receive(const std::string &bytes)
    {
        ShowReceived(reinterpret_cast<const unsigned char *>(bytes.data()), static_cast<int>(bytes.size()));
    }
    // Steps the repeat test until it is idle (bounded).
    static void RunToEnd()
    {
        std::uint32_t start = SysTickMs();
        while (RepeatState != 0 && SysTickMs() - start < 10000) {
            RepeatTestStep();
            SysSleepMs(1);
        }
    }
};

TEST_F(DiagSteps, TypedLinesAndChecksum)
{
    testing::internal::CaptureStdout();
    ChecksumMode = 1;
    TypeLine("AB");
    EXPECT_EQ(peer.ReadN(5), "AB83\r");
    TypeLine("");
    EXPECT_EQ(peer.ReadN(3), "00\r");
    ChecksumMode = 0;
    LineModeKey(8);  // nothing to erase
    LineModeKey('x');
    LineModeKey(8);
    TypeLine("/M1");
    TypeLine("");
    EXPECT_EQ(peer.ReadN(1), "\r") << "a command line sends nothing, the empty line after it a lone CR";
    std::string typed(80, 'q');
    for (char c : typed)
        LineModeKey(c);
    EXPECT_EQ(peer.ReadN(81), typed + "\r") << "the 80th character ends the line";
    EXPECT_EQ(LineLength.load(), 0);
    std::fflush(stdout);
    std::string out = Plain(testing::internal::GetCapturedStdout());
    EXPECT_EQ(out, "AB\n\r\n\rx\b \b/M1\n\rSendAllInOnePacket=1\n\r\n\r" + typed + "\n\r");
}

TEST_F(DiagSteps, WordsAfterTheTwentiethAreIgnored)
{
    testing::internal::CaptureStdout();
    std::string nineteen = "/M1 ";  // a command line begins with '/'
    for (int i = 0; i < 18; ++i)
        nineteen += "a ";
    TypeLine(nineteen + "/C$07M /C$09M");  // the 20th word counts, the 21st not
    EXPECT_EQ(CommandText(), "$07M");
    TypeLine(nineteen + "b /C$09M");
    EXPECT_EQ(CommandText(), "$07M");
    std::fflush(stdout);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(peer.Read(100, 50), "") << "command lines send nothing";
}

TEST_F(DiagSteps, HexCommandWithoutTimeoutSendsItsBytes)
{
    testing::internal::CaptureStdout();
    TypeLine("/CH0102ff0D /TO0 /R1");
    EXPECT_EQ(RepeatState.load(), 1);
    RunToEnd();
    EXPECT_EQ(peer.ReadN(4), std::string("\x01\x02\xff\x0d", 4));
    TypeLine("/C$05M /R1");
    RunToEnd();
    EXPECT_EQ(peer.ReadN(4), "$05M") << "a text command without time-out goes without its CR";
    std::fflush(stdout);
    std::string out = Plain(testing::internal::GetCapturedStdout());
    EXPECT_NE(out.find("send cmd=H0102ff0D every 0 ms, repeat 1 times, timeout=0 ms\n\r(1)[H0102ff0D]==>"
                       "\n\rTest 1 times,timeout=0, Time="),
              std::string::npos)
        << out;
    EXPECT_EQ(peer.Read(100, 50), "") << "nothing more was sent";
}

TEST_F(DiagSteps, StrayBytesDoNotSkipSendsOrStartArmedTests)
{
    testing::internal::CaptureStdout();
    TypeLine("/R2 /TO5000");
    RepeatTestStep();  // first send, now waiting
    EXPECT_EQ(RepeatState.load(), 2);
    Receive("!01\r");
    EXPECT_EQ(RepeatState.load(), 3);
    RepeatTestStep();  // a send is due
    EXPECT_EQ(RepeatState.load(), 1);
    Receive("late\r");
    EXPECT_EQ(RepeatState.load(), 1) << "a stray CR must not cancel the due send";
    RepeatTestStep();
    EXPECT_EQ(SentCount.load(), 2);
    EXPECT_EQ(peer.ReadN(10), "$01M\r$01M\r");
    Receive("\r");
    RunToEnd();
    RepeatState = DiagArmed;
    Receive("\r");
    EXPECT_EQ(RepeatState.load(), DiagArmed) << "a test being set up is not completed by a reply";
    ScanState = DiagArmed;
    RepeatState = 0;
    Receive("\r");
    EXPECT_EQ(ScanState.load(), DiagArmed);
    std::fflush(stdout);
    std::string out = Plain(testing::internal::GetCapturedStdout());
    EXPECT_NE(out.find("(1)[$01M]==>!01\rlate\r(2)[$01M]==>\r"), std::string::npos) << out;
    EXPECT_NE(out.find("Test 2 times,timeout=0"), std::string::npos) << out;
}

TEST_F(DiagSteps, PatternRepliesAreComparedAndTimeoutsCounted)
{
    testing::internal::CaptureStdout();
    TypeLine("/P2 /TO5000 /LF1");
    RepeatTestStep();
    EXPECT_EQ(peer.ReadN(6), "$01M1\r");
    Receive("$01M1\r");  // exact
    RepeatTestStep();
    RepeatTestStep();
    EXPECT_EQ(peer.ReadN(6), "$01M2\r");
    Receive("$0");
    Receive("1m2\r");  // one byte differs, split over two reads
    RunToEnd();
    EXPECT_EQ(PatternCheck.load(), 0) << "the pattern mode ends with the test";
    TypeLine("/C$07M /TO20 /R2");
    RunToEnd();
    EXPECT_EQ(peer.ReadN(10), "$07M\r$07M\r");
    std::fflush(stdout);
    std::string out = Plain(testing::internal::GetCapturedStdout());
    EXPECT_NE(out.find("send cmd=$01M+NUMBER every 0 ms, repeat 2 times, timeout=5000 ms\n\r"
                       "(1)[$01M1]==>$01M1\r\n(2)[$01M2]==>$01m2\r\n(err,Idx=6)\n[24][30][31][6D][32][0D]\n\n\n\r"
                       "Test 2 times,timeout=0, Time="),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("(1)[$07M]==>\n!!!timeout!!!\n(2)[$07M]==>\n!!!timeout!!!\n\n\rTest 2 times,timeout=2, Time="),
              std::string::npos)
        << out;
}

TEST_F(DiagSteps, NumberedPatternsWrapTheirCounter)
{
    testing::internal::CaptureStdout();
    TypeLine("/N3 /TO0");
    RunToEnd();
    EXPECT_EQ(peer.ReadN(63), "$01M0000000000000000\r$01M0101010101010101\r$01M0202020202020202\r");
    std::fflush(stdout);
    std::string out = Plain(testing::internal::GetCapturedStdout());
    EXPECT_NE(out.find("(1)[$01M0000000000000000]==>(2)[$01M0101010101010101]==>(3)[$01M0202020202020202]==>"),
              std::string::npos)
        << out;
}
