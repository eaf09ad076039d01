#include "globals.h"

#include <cstring>

std::atomic<int> CurrentPort{1};
std::atomic<int> SavedPort{0};
std::atomic<int> BaudRate{115200};
std::atomic<int> ParityIndex{0};
std::atomic<int> DataBits{8};
std::atomic<int> StopBits{1};
std::atomic<int> FlowControl{0};
std::atomic<int> ScreenRows{25};
std::atomic<int> CtsState{0};

char DownloadFileName[DownloadFileNameSize];
char RunArgs[RunArgCount][RunArgSize];
char MultiFiles[MultiFileCount][MultiFileSize];

const char ParityLetters[5] = {'N', 'E', 'O', 'M', 'S'};

char ParityLetter(int index)
{
    // An index outside 0..4 (a hand-edited settings file) shows as '?'
    // instead of reading past the five letters.
    if (index < 0 || index > 4)
        return '?';
    return ParityLetters[index];
}

std::atomic<int> ExitRequest{0};
std::atomic<int> EchoBackMode{0};
std::atomic<int> HexMode{0};
std::atomic<int> AnsiMode{0};
std::atomic<int> LineMode{0};
std::atomic<int> ChecksumMode{0};
std::atomic<int> LineLength{0};
std::atomic<int> DownloadRequest{0};
std::atomic<int> UploadRequest{0};
std::atomic<int> AutoLoadActive{0};
std::atomic<int> MultiLoadActive{0};
std::atomic<int> MultiLoadIndex{0};
std::atomic<int> RunAfterLoad{0};
std::atomic<int> RunSramAfterLoad{0};
std::atomic<int> LoadDone{0};

std::atomic<int> RepeatState{0};
std::atomic<int> ScanState{0};
std::atomic<int> ReplyLength{0};
std::atomic<int> ReplyCount{0};
std::atomic<int> PatternCheck{0};
std::atomic<int> PatternLength{0};
std::atomic<int> PatternIndex{0};
std::atomic<int> EchoLf{0};
char PatternText[PatternTextSize] = "TestPattern";
char PatternBuffer[PatternBufferSize];

std::atomic<int> LogEnabled{0};
std::atomic<int> LogFile{-1};
char LogFileName[LogFileNameSize];

void ResetGlobals()
{
    CurrentPort = 1;
    SavedPort = 0;
    BaudRate = 115200;
    ParityIndex = 0;
    DataBits = 8;
    StopBits = 1;
    FlowControl = 0;
    ScreenRows = 25;
    CtsState = 0;
    std::memset(DownloadFileName, 0, sizeof DownloadFileName);
    std::memset(RunArgs, 0, sizeof RunArgs);
    std::memset(MultiFiles, 0, sizeof MultiFiles);
    ExitRequest = 0;
    EchoBackMode = 0;
    HexMode = 0;
    AnsiMode = 0;
    LineMode = 0;
    ChecksumMode = 0;
    LineLength = 0;
    DownloadRequest = 0;
    UploadRequest = 0;
    AutoLoadActive = 0;
    MultiLoadActive = 0;
    MultiLoadIndex = 0;
    RunAfterLoad = 0;
    RunSramAfterLoad = 0;
    LoadDone = 0;
    RepeatState = 0;
    ScanState = 0;
    ReplyLength = 0;
    ReplyCount = 0;
    PatternCheck = 0;
    PatternLength = 0;
    PatternIndex = 0;
    EchoLf = 0;
    std::strcpy(PatternText, "TestPattern");
    std::memset(PatternBuffer, 0, sizeof PatternBuffer);
    LogEnabled = 0;
    LogFile = -1;
    std::memset(LogFileName, 0, sizeof LogFileName);
    TransferActive = 0;
    CancelRequest = 0;
    KeyThreadHold = 0;
    MonitorActive = 0;
}

std::atomic<int> TransferActive{0};
std::atomic<int> CancelRequest{0};
std::atomic<int> KeyThreadHold{0};
std::atomic<int> MonitorActive{0};
