// Command mode: the ALT_C prompt and its one-line commands.
#include "display.h"
#include "cmdmode.h"

#include "console.h"
#include "globals.h"
#include "logfile.h"
#include "script/script.h"
#include "serial.h"
#include "settings.h"
#include "status.h"
#include "system.h"
#include "timestamp.h"
#include "transfer/transfer.h"
#include "typing.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr int CommandLineSize = 256;
constexpr int WorkDirSize = 260;

bool FormatChar(char c)
{
    return std::strchr("125678NEOMSneoms", c) != nullptr;
}

void DataFormat(const char *line)
{
    for (const char *p = line; *p != '\0'; ++p) {
        switch (*p) {
        case '1': case '2': StopBits = *p - '0'; break;
        case '5': case '6': case '7': case '8': DataBits = *p - '0'; break;
        case 'N': case 'n': ParityIndex = 0; break;
        case 'E': case 'e': ParityIndex = 1; break;
        case 'O': case 'o': ParityIndex = 2; break;
        case 'M': case 'm': ParityIndex = 3; break;
        case 'S': case 's': ParityIndex = 4; break;
        default: break;
        }
    }
    ComSetFormat(CurrentPort, static_cast<unsigned char>(ParityIndex.load()), static_cast<unsigned char>(DataBits.load()),
                 static_cast<unsigned char>(StopBits.load()));
    std::printf("\n\rChange data format to %c,%d,%d\n\r", ParityLetter(ParityIndex), DataBits.load(), StopBits.load());
    UpdateTitle();
}

void BitRate(const char *line)
{
    if (line[1] != '\0') {
        int rate = DecimalOrZero(line + 1);
        if (rate >= 2) {
            BaudRate = rate;
            ComSetBaud(CurrentPort, rate);
            UpdateTitle();
        }
    }
    std::printf("\n\rCurrent baud rate is %d\n\r", BaudRate.load());
}

void Port(const char *line)
{
    if (line[1] != '\0') {
        int n = DecimalOrZero(line + 1);
        if (n < 1 || n > 256) {
            std::printf("\n\rPort must >=1 and <=256\n\r");
        } else if (int code = ComOpen(n); code != 0) {
            if (n != CurrentPort) {
                std::printf("\n\r");
                ShowPortOpenFailure(n, code);
            }
        } else {
            ComClose(CurrentPort);
            CurrentPort = n;
            ComSetTimeouts(n);
            ComSetQueues(n);
            ComSetBaud(n, BaudRate);
            ComSetFormat(n, static_cast<unsigned char>(ParityIndex.load()), static_cast<unsigned char>(DataBits.load()),
                         static_cast<unsigned char>(StopBits.load()));
            UpdateTitle();
        }
    }
    std::printf("\n\rCurrent use COM %d\n\r", CurrentPort.load());
}

void FileName(const char *line)
{
    if (line[1] != '\0') {
        char name[DownloadFileNameSize];
        // Drive and directory are dropped; a text without a name part, or a
        // name that does not fit, leaves the name as it was.
        if (NamePartOfPath(line + 1, name, sizeof name) > 0 && StorableSetting(name))
            std::memcpy(DownloadFileName, name, std::strlen(name) + 1);
    }
    std::printf("\n\rWhen Press F8/F9/F10 will auto download the file:");
    ConWriteText(DownloadFileName);
    std::printf("\n\r");
    SaveSettings();
}

void Log(const char *line)
{
    if (line[1] == '0') {
        LogEnabled = 0;
        int fd = LogFile.exchange(-1);
        if (fd >= 0) {
            LogRetire(fd);
            std::printf("\nStop log mode.");
        } else {
            std::printf("\nLog mode=OFF now.");
        }
        return;
    }
    LogEnabled = 1;
    if (LogFile >= 0) {
        std::printf("\nLog mode=ON now.");
        return;
    }
    if (SplitTokens(line) >= 2)
        std::snprintf(LogFileName, LogFileNameSize, "%s", Tokens[1]);
    if (LogFileName[0] == '\0')
        return;
    std::printf("\nstart log data to file:");
    ConWriteText(LogFileName);
    std::printf("\n");
    int fd = LogOpen(LogFileName);
    if (fd < 0) {
        LogFile = -1;
        std::printf("Can not open file ");
        ConWriteText(LogFileName);
        std::printf(" for write.");
        return;
    }
    LogFile = fd;
    std::printf("Creat file(");
    ConWriteText(LogFileName);
    std::printf(") success!\nIf the file exist, data will appand to the end of the file.");
}

void WorkDir(const char *line)
{
    if (line[1] != '\0') {
        const char *path = line + 1;
        if (line[2] == ':') {
            if (std::isalpha(static_cast<unsigned char>(line[1]))) {
                SysChangeDrive(std::toupper(static_cast<unsigned char>(line[1])) - 'A');
                path = line + 3;
            } else {
                path = "";
            }
        }
        if (path[0] != '\0')
            SysChangeDir(path);  // a failure shows in the directory printed below
        UpdateTitle();
    }
    char dir[WorkDirSize];
    SysGetCwd(dir, sizeof dir);
    std::printf("\n\rCurrent work directory=\"");
    ConWriteText(dir);
    std::printf("\"\n\r");
    ReloadFileLists();
    ShowFileLists();
}

// x: Hex mode on and off, as ALT_H.
void ToggleHex()
{
    HexMode = HexMode ? 0 : 1;
    std::printf("\n\r{change to %s mode}\n\r", HexMode ? "HEX" : "ASCII");
    ShowModes();
}

// k: typed keys shown (local echo) on and off.
void ToggleEcho()
{
    LocalEcho = LocalEcho ? 0 : 1;
    std::printf("\n\rLocal echo %s\n\r", LocalEcho ? "ON" : "OFF");
    ShowModes();
}

// r, i, j: the map items crlf, icrnl and inlcr on and off.
void ToggleMap(int item)
{
    int bit = MapItemBit(item);
    int now = MapFlags.fetch_xor(bit) ^ bit;
    std::printf("\n\rMap %s %s\n\r", MapItemName(item), (now & bit) != 0 ? "ON" : "OFF");
    ShowModes();
}

}  // namespace

void CommandLine(const char *line)
{
    char c = line[0];
    if (c == '/') {
        SplitTokens(line);
        ConSetColor(7);
        ExecCommand();
    } else if (FormatChar(c)) {
        DataFormat(line);
    } else if (c == 'B' || c == 'b') {
        BitRate(line);
    } else if (c == 'C' || c == 'c') {
        Port(line);
    } else if (c == 'F' || c == 'f') {
        FileName(line);
    } else if (c == 'L' || c == 'l') {
        Log(line);
    } else if (c == 'P' || c == 'p') {
        WorkDir(line);
    } else if (c == 'T' || c == 't') {
        ToggleTimeStamps();
    } else if (c == 'X' || c == 'x') {
        ToggleHex();
    } else if (c == 'K' || c == 'k') {
        ToggleEcho();
    } else if (c == 'R' || c == 'r') {
        ToggleMap(0);
    } else if (c == 'I' || c == 'i') {
        ToggleMap(1);
    } else if (c == 'J' || c == 'j') {
        ToggleMap(2);
    } else {
        std::printf("\n\rUnknown command\n\r");
    }
}

void CommandMode()
{
    ConSetColor(0x6E);
    std::printf("\ntarvikCmd:");
    ConSetColor(0xF3);
    char line[CommandLineSize];
    if (ConReadLine(line, sizeof line) == 0) {
        std::printf("\n");
    } else {
        ConSetColor(0x3F);
        CommandLine(line);
    }
    ConSetColor(7);
    std::printf("\n\r");
    std::fflush(stdout);
}
