// Line mode: the line editor with its checksum, the diagnostics command
// lines, the repeat-send test and AutoScan over addresses and bit rates.
//
// LineModeKey and ApplyDiagOption run on the key thread; RepeatTestStep and
// ScanStep run on the main thread, one step per pass of the receive loop,
// and never wait.  The receive loop's Line-mode rule marks replies complete
// by moving a waiting test (state 2) to state 3.
#include "display.h"
#include "diag.h"

#include "console.h"
#include "globals.h"
#include "serial.h"
#include "settings.h"
#include "system.h"
#include "../script/script.h"

#include <cstdio>
#include <cstring>
#include <mutex>

const int RateTable[RateTableSize] = {300,   600,   1200,  2400,   4800,   9600,  19200,
                                      38400, 57600, 115200, 230400, 460800, 921600};

std::atomic<int> RepeatInterval{0};
std::atomic<int> ReplyTimeout{300};
std::atomic<int> RepeatCount{1};
std::atomic<int> QuitRequest{0};
std::atomic<int> SendAllInOnePacket{1};
std::atomic<int> ScanStartAddr{0};
std::atomic<int> ScanEndAddr{10};
std::atomic<int> ScanStartRate{115200};
std::atomic<int> ScanEndRate{115200};
std::atomic<int> ScanWait{100};
std::atomic<int> SentCount{0};
std::atomic<int> TimeoutCount{0};
std::atomic<std::uint32_t> TestStartTime{0};
std::atomic<std::uint32_t> LastSendTime{0};
std::atomic<int> ScanAddr{0};
std::atomic<int> ScanRate{115200};

namespace {

const char HexDigits[] = "0123456789ABCDEF";

// Command text and bytes: written by a command line on the key thread while
// a test may be sending them on the main thread.
std::mutex CommandLock;
char DiagCommandText[DiagCommandTextSize] = "$01M";
unsigned char DiagCommandBytes[DiagCommandBytesSize] = {'$', '0', '1', 'M', '\r'};
int DiagCommandLength = 5;
bool DiagCommandIsHex = false;
// The command text at the start of a pattern test: every pattern sent is
// this text followed by the number.  Only the main thread builds PatternText
// from it, so the receive loop's comparison never sees a half-written line.
char PatternPrefix[DiagCommandTextSize] = "TestPattern";

// Main thread only.
unsigned char PatternCounter = 0;

// Key thread only.
char LineBuffer[LineBufferSize];

void SetCommand(const char *text)
{
    std::lock_guard<std::mutex> hold(CommandLock);
    std::snprintf(DiagCommandText, sizeof DiagCommandText, "%s", text);
    if (text[0] == 'H' || text[0] == 'h') {
        int n = 0;
        const char *p = text + 1;
        auto isHex = [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        };
        while (n < DiagCommandBytesSize && isHex(p[0]) && isHex(p[1])) {
            DiagCommandBytes[n++] = static_cast<unsigned char>(HexDigitValue(p[0]) * 16 + HexDigitValue(p[1]));
            p += 2;
        }
        DiagCommandLength = n;
        DiagCommandIsHex = true;
        return;
    }
    int len = static_cast<int>(std::strlen(DiagCommandText));
    std::memcpy(DiagCommandBytes, DiagCommandText, static_cast<size_t>(len));
    DiagCommandBytes[len] = '\r';
    DiagCommandLength = len + 1;
    DiagCommandIsHex = false;
    ReplyLength = 0;
}

char Upper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 0x20) : c;
}

// Elapsed milliseconds since a tick, right across the counter's wrap.
std::uint32_t Since(std::uint32_t tick)
{
    return SysTickMs() - tick;
}

bool Passed(std::uint32_t tick, int ms)
{
    return static_cast<long long>(Since(tick)) > static_cast<long long>(ms);
}

void StartTests()
{
    if (RepeatState == DiagArmed) {
        char text[DiagCommandTextSize];
        {
            std::lock_guard<std::mutex> hold(CommandLock);
            std::memcpy(text, DiagCommandText, sizeof text);
            if (PatternCheck != 0)
                std::memcpy(PatternPrefix, DiagCommandText, sizeof PatternPrefix);
        }
        std::printf("send cmd=");
        ConWriteText(text);
        std::printf("%s every %d ms, repeat %d times, timeout=%d ms\n\r", PatternCheck != 0 ? "+NUMBER" : "",
                    RepeatInterval.load(), RepeatCount.load(), ReplyTimeout.load());
        SentCount = 0;
        TimeoutCount = 0;
        TestStartTime = SysTickMs();
        RepeatState = 1;
        // /S on the same line: AutoScan runs beside the test from wherever
        // it stands, without an announcement.
        if (ScanState == DiagArmed)
            ScanState = 1;
        return;
    }
    if (ScanState == DiagArmed) {
        std::printf("AutoScan, start addr=%02X, end addr=%02X, start baud=%d, end baud=%d\n\r", ScanStartAddr.load(),
                    ScanEndAddr.load(), ScanStartRate.load(), ScanEndRate.load());
        ScanAddr = ScanStartAddr.load();
        ScanRate = ScanStartRate.load();
        // Always set: the port may still run at the last scan's rate, which
        // the BaudRate setting does not show.
        if (IsKnownRate(ScanStartRate))
            ComSetBaud(CurrentPort, ScanStartRate);
        // Started only now, so that the first command goes out at the
        // start address and rate.
        ScanState = 1;
    }
}

void RunCommandLine(const char *line)
{
    SplitTokens(line);
    int count = TokenCount < MaxTokens ? TokenCount : MaxTokens;  // later words are ignored
    for (int i = 0; i < count; ++i)
        if (Tokens[i] != nullptr && Tokens[i][0] == '/')
            ApplyDiagOption(Tokens[i]);
    StartTests();
}

void EndLine()
{
    std::printf("\n\r");
    int len = LineLength;
    if (len < 0)
        len = 0;
    if (len > LineMaxTyped)
        len = LineMaxTyped;
    if (len >= 1 && LineBuffer[0] == '/') {
        LineBuffer[len] = 0;
        RunCommandLine(LineBuffer);
    } else {
        int n = len;
        if (ChecksumMode) {
            unsigned sum = 0;
            for (int i = 0; i < len; ++i)
                sum += static_cast<unsigned char>(LineBuffer[i]);
            LineBuffer[n++] = HexDigits[(sum >> 4) & 0x0F];
            LineBuffer[n++] = HexDigits[sum & 0x0F];
        }
        LineBuffer[n++] = '\r';
        ComWrite(CurrentPort, LineBuffer, n);
    }
    LineLength = 0;
}

void SendPattern(int sent)
{
    char prefix[DiagCommandTextSize];
    {
        std::lock_guard<std::mutex> hold(CommandLock);
        std::memcpy(prefix, PatternPrefix, sizeof prefix);
    }
    int pos = static_cast<int>(std::strlen(prefix));
    std::memcpy(PatternText, prefix, static_cast<size_t>(pos));
    char *at = PatternText + pos;
    const size_t room = sizeof PatternText - static_cast<size_t>(pos);
    if (PatternCheck == 1) {
        std::snprintf(at, room, "%u\r", static_cast<unsigned>(sent));
    } else {
        unsigned c = PatternCounter;
        std::snprintf(at, room, "%02X%02X%02X%02X%02X%02X%02X%02X\r", c, c, c, c, c, c, c, c);
        ++PatternCounter;
    }
    int len = static_cast<int>(std::strlen(PatternText));
    PatternLength = len;
    char shown[PatternTextSize];
    std::snprintf(shown, sizeof shown, "%.*s", len > 0 ? len - 1 : 0, PatternText);
    std::printf("(%d)[", sent);
    ConWriteText(shown);
    std::printf("]==>");
    ComWrite(CurrentPort, PatternText, len);
    PatternIndex = 0;
}

void SendCommand(int sent)
{
    char text[DiagCommandTextSize];
    unsigned char bytes[DiagCommandBytesSize];
    int count = 0;
    {
        std::lock_guard<std::mutex> hold(CommandLock);
        std::memcpy(text, DiagCommandText, sizeof text);
        std::memcpy(bytes, DiagCommandBytes, sizeof bytes);
        count = DiagCommandLength;
        // Without a reply time-out a text command goes out without its CR;
        // a hex command sends exactly the bytes built from it.
        if (ReplyTimeout == 0 && !DiagCommandIsHex)
            count = static_cast<int>(std::strlen(DiagCommandText));
    }
    std::printf("(%d)[", sent);
    ConWriteText(text);
    std::printf("]==>");
    ComWrite(CurrentPort, bytes, count);
}

}  // namespace

int IsKnownRate(int rate)
{
    for (int r : RateTable)
        if (r == rate)
            return 1;
    return 0;
}

int NextRate(int rate)
{
    for (int i = 0; i + 1 < RateTableSize; ++i)
        if (RateTable[i] == rate)
            return RateTable[i + 1];
    return 0;
}

int HexDigitValue(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

int DiagCommand(char *text, unsigned char *bytes)
{
    std::lock_guard<std::mutex> hold(CommandLock);
    if (text != nullptr)
        std::memcpy(text, DiagCommandText, sizeof DiagCommandText);
    if (bytes != nullptr)
        std::memcpy(bytes, DiagCommandBytes, sizeof DiagCommandBytes);
    return DiagCommandLength;
}

void LineModeKey(int code)
{
    ConSetColor(0x2F);
    unsigned char c = static_cast<unsigned char>(code & 0xFF);
    if (c == 8) {
        if (LineLength > 0) {
            std::printf("\b \b");
            --LineLength;
        }
        return;
    }
    if (c == 13) {
        EndLine();
        return;
    }
    int len = LineLength;
    if (len < 0 || len >= LineMaxTyped)
        len = 0;  // ALT_L sets 0; anything else would be a stale count
    LineBuffer[len] = static_cast<char>(c);
    LineLength = ++len;
    std::putchar(c);
    if (len >= LineMaxTyped)
        EndLine();
}

void ApplyDiagOption(const char *word)
{
    if (word == nullptr || word[0] != '/' || word[1] == 0)
        return;
    const char *rest = word + 2;
    switch (Upper(word[1])) {
    case 'A':
        if (Upper(rest[0]) == 'B')
            ScanStartAddr = DecimalOrZero(rest + 1);
        else if (Upper(rest[0]) == 'E')
            ScanEndAddr = DecimalOrZero(rest + 1);
        break;
    case 'B':
        if (Upper(rest[0]) == 'B')
            ScanStartRate = DecimalOrZero(rest + 1);
        else if (Upper(rest[0]) == 'E')
            ScanEndRate = DecimalOrZero(rest + 1);
        break;
    case 'C':
        SetCommand(rest);
        break;
    case 'L':
        if (Upper(rest[0]) == 'F')
            EchoLf = rest[1] - '0';
        break;
    case 'M':
        SendAllInOnePacket = rest[0] == '0' ? 0 : 1;
        std::printf("SendAllInOnePacket=%d\n\r", SendAllInOnePacket.load());
        break;
    case 'N':
    case 'P':
    case 'R': {
        if (Upper(word[1]) == 'N')
            PatternCheck = 2;
        else if (Upper(word[1]) == 'P')
            PatternCheck = 1;
        RepeatCount = DecimalOrZero(rest);
        int idle = 0;
        RepeatState.compare_exchange_strong(idle, DiagArmed);
        QuitRequest = 0;
        break;
    }
    case 'Q':
        QuitRequest = 1;
        break;
    case 'S':
        ScanState = DiagArmed;
        break;
    case 'T':
        if (Upper(rest[0]) == 'A')
            ScanWait = DecimalOrZero(rest + 1);
        else if (Upper(rest[0]) == 'C')
            RepeatInterval = DecimalOrZero(rest + 1);
        else if (Upper(rest[0]) == 'O')
            ReplyTimeout = DecimalOrZero(rest + 1);
        break;
    case 'W':
        ReplyLength = DecimalOrZero(rest);
        break;
    default:
        break;
    }
}

void RepeatTestStep()
{
    switch (RepeatState) {
    case 1: {
        if (SentCount == 0)
            PatternCounter = 0;
        int sent = ++SentCount;
        if (PatternCheck == 0)
            SendCommand(sent);
        else
            SendPattern(sent);
        LastSendTime = SysTickMs();
        ReplyCount = 0;
        RepeatState = ReplyTimeout > 0 ? 2 : 3;
        break;
    }
    case 2:
        if (Passed(LastSendTime, ReplyTimeout)) {
            int waiting = 2;
            if (RepeatState.compare_exchange_strong(waiting, 3)) {
                std::printf("\n!!!timeout!!!\n");
                ++TimeoutCount;
            }
        }
        break;
    case 3: {
        if (RepeatInterval != 0 && !Passed(LastSendTime, RepeatInterval))
            break;
        int left = --RepeatCount;
        if (left != 0 && QuitRequest == 0) {
            RepeatState = 1;
            break;
        }
        RepeatState = 0;
        PatternCheck = 0;
        std::printf("\n\rTest %d times,timeout=%d, Time=%d ms\n\r", SentCount.load(), TimeoutCount.load(),
                    static_cast<int>(Since(TestStartTime)));
        break;
    }
    default:
        break;
    }
}

void ScanStep()
{
    switch (ScanState) {
    case 1: {
        char command[32];
        char text[32];
        int addr = ScanAddr;
        std::snprintf(command, sizeof command, "$%02XM\r", static_cast<unsigned>(addr));
        std::snprintf(text, sizeof text, "$%02XM", static_cast<unsigned>(addr));
        std::printf("\r[%s]==>", text);
        // Exactly five bytes: an address above FF loses its CR.
        ComWrite(CurrentPort, command, 5);
        LastSendTime = SysTickMs();
        int sending = 1;
        ScanState.compare_exchange_strong(sending, 2);
        break;
    }
    case 2:
        if (Passed(LastSendTime, ScanWait)) {
            int waiting = 2;
            ScanState.compare_exchange_strong(waiting, 3);
        }
        break;
    case 3: {
        int addr = ++ScanAddr;
        if (addr < ScanEndAddr) {
            ScanState = 1;
            break;
        }
        int rate = NextRate(ScanRate);
        ScanRate = rate;
        if (rate != 0 && rate <= ScanEndRate && ComSetBaud(CurrentPort, rate) != 0) {
            ScanAddr = ScanStartAddr.load();
            ScanState = 1;
        } else {
            ScanState = 0;
        }
        std::printf("\n\r");
        break;
    }
    default:
        break;
    }
}

void ResetDiag()
{
    RepeatInterval = 0;
    ReplyTimeout = 300;
    RepeatCount = 1;
    QuitRequest = 0;
    SendAllInOnePacket = 1;
    ScanStartAddr = 0;
    ScanEndAddr = 10;
    ScanStartRate = 115200;
    ScanEndRate = 115200;
    ScanWait = 100;
    SentCount = 0;
    TimeoutCount = 0;
    TestStartTime = 0;
    LastSendTime = 0;
    ScanAddr = 0;
    ScanRate = 115200;
    BurstLetter = 'A';
    SetCommand("$01M");
    {
        std::lock_guard<std::mutex> hold(CommandLock);
        std::strcpy(PatternPrefix, "TestPattern");
    }
    PatternCounter = 0;
    PacketFeedReset();
    std::memset(LineBuffer, 0, sizeof LineBuffer);
}
