// Download-and-run sequences: the hotkeys that tell the controller to
// receive a file (keyboard thread), the step that sends it when the
// controller's '!' arrives (main thread), the watch that bounds the armed
// state, and the three prompts that edit the file names and run arguments.
#include "transfer.h"
#include "transfer_wait.h"

#include "console.h"
#include "display.h"
#include "globals.h"
#include "serial.h"
#include "settings.h"
#include "system.h"

#include <cstdio>
#include <cstring>

namespace {

void SendText(const char *text)
{
    ComWrite(CurrentPort, text, static_cast<int>(std::strlen(text)));
}

// Appends " arg" for each run argument up to the first empty one.
void AppendRunArgs(char *line, std::size_t size)
{
    for (int i = 0; i < RunArgCount && RunArgs[i][0] != 0; ++i) {
        std::size_t used = std::strlen(line);
        std::snprintf(line + used, size - used, " %.*s", RunArgSize - 1, RunArgs[i]);
    }
}


// The armed watch (main thread only).
bool Watching = false;
std::uint32_t ArmedSince = 0;

void EndArmedState()
{
    AutoLoadActive = 0;
    MultiLoadActive = 0;
    RunAfterLoad = 0;
    RunSramAfterLoad = 0;
    Watching = false;
    CancelRequest = 0;
    TransferActive = 0;
    // A script waiting for its download goes on.
    LoadDone = 1;
}

// Reads a list of entries (F6, ALT_F2): one prompt each, ended by an empty
// line, '*' or ','.  An entry that the settings file cannot hold (it has a
// blank) is refused and asked for again; the entry keeps its old text
// meanwhile.
void AskList(char *entries, int count, int size, const char *prompt)
{
    char line[MultiFileSize];
    for (int i = 1; i <= count; ++i) {
        char *entry = entries + static_cast<std::ptrdiff_t>(i - 1) * size;
        std::printf(prompt, i);
        std::fflush(stdout);
        ConReadLine(line, size);
        if (line[0] == 0 || line[0] == '*' || line[0] == ',') {
            entry[0] = 0;
            break;
        }
        if (!StorableSetting(line)) {
            if (ExitRequest)
                break;
            --i;
            continue;
        }
        std::memcpy(entry, line, std::strlen(line) + 1);
    }
}

}  // namespace

// A run command line: the command word, the arguments and "\r", sent in
// one write.
void SendRunLine(const char *command)
{
    char line[LoadPathSize + RunArgCount * RunArgSize + 8];
    std::snprintf(line, sizeof line, "%s", command);
    AppendRunArgs(line, sizeof line);
    std::size_t used = std::strlen(line);
    std::snprintf(line + used, sizeof line - used, "\r");
    SendText(line);
}

void AutoLoadWatch()
{
    bool armed = AutoLoadActive != 0 || MultiLoadActive != 0;
    if (!armed) {
        Watching = false;
        return;
    }
    if (!Watching) {
        Watching = true;
        ArmedSince = SysTickMs();
        TransferActive = 1;
    }
    // A run without a console reports the outcome itself.
    if (CancelRequest != 0 || ExitRequest != 0) {
        EndArmedState();
        if (!TransferQuiet)
            std::printf("\n\r[Download cancelled]\n\r");
        std::fflush(stdout);
    } else if (SysTickMs() - ArmedSince >= static_cast<std::uint32_t>(ArmedWaitMs)) {
        // The outcome first: a script waiting for LoadDone reads it.
        LastDownload = DownloadOutcome{1, 0, 0, "the controller never got ready (no '!')", ""};
        ++DownloadFailures;
        EndArmedState();
        if (!TransferQuiet)
            std::printf("\n\r[No answer from the controller, download cancelled]\n\r");
        std::fflush(stdout);
    }
}

void AutoLoadStep()
{
    int single = AutoLoadActive.load();
    if (single == 0 && MultiLoadActive == 0)
        return;
    TransferActive = 1;
    bool refused = false;
    if (single != 0) {
        if (single == 1)
            refused = SetLoadPath(DownloadFileName) != 0;
        AutoLoadActive = 0;
    } else {
        int index = MultiLoadIndex;
        if (index >= 0 && index < MultiFileCount && MultiFiles[index][0] != 0) {
            refused = SetLoadPath(MultiFiles[index]) != 0;
            MultiLoadIndex = index + 1;
        }
    }

    if (refused) {
        // The controller waits for a block: tell it that no file follows.
        TransferClearOutcome();
        SendAbortBlock();
    } else {
        SendFile();
    }

    if (TransferWasCancelled()) {
        // Escape ends the whole sequence: no further file, no run command.
        EndArmedState();
        return;
    }
    if (MultiLoadActive) {
        int index = MultiLoadIndex;
        if (index <= MultiFileCount - 1 && MultiFiles[index][0] != 0) {
            SendText("LOAD\r");
            ArmedSince = SysTickMs();
        } else {
            MultiLoadActive = 0;
        }
    }
    if (RunAfterLoad || RunSramAfterLoad) {
        // One run line: when both runs were asked for (F8 and F10 while
        // armed), "runr" wins.  Both flags end with it, so a later plain
        // download starts nothing.
        bool sram = RunSramAfterLoad != 0;
        RunSramAfterLoad = 0;
        RunAfterLoad = 0;
        SendRunLine(sram ? "runr" : LoadPath);
    }
    if (AutoLoadActive == 0 && MultiLoadActive == 0) {
        // The sequence is over: no run flag outlives it.
        RunAfterLoad = 0;
        RunSramAfterLoad = 0;
        Watching = false;
        CancelRequest = 0;
        TransferActive = 0;
    }
    // Last of all: a script that waits for this download may arm the next
    // one at once, and the watch then times that one afresh.
    LoadDone = 1;
}

void StartAutoLoad(int code)
{
    const char *label = nullptr;
    const char *command = "LOAD\r";
    bool run = false;
    bool runSram = false;
    if (code == KeyF(8)) {
        label = "[F8]";
        run = true;
    } else if (code == KeyF(9)) {
        label = "[F9]";
    } else if (code == KeyF(10)) {
        label = "[F10]";
        runSram = true;
        command = "LOADR\r";
    } else if (code == KeyAltF(10)) {
        label = "[ALT_F10]";
        command = "LOADR\r";
    } else {
        return;
    }
    std::printf("%s", label);
    if (AutoLoadActive != 0) {
        // Already armed: the controller has its command; only the flags
        // are added (a run after the load is never taken back).
        if (run)
            RunAfterLoad = 1;
        if (runSram)
            RunSramAfterLoad = 1;
        return;
    }
    // Keys typed from now on wait until the download is over; Escape
    // cancels the armed state.
    CancelRequest = 0;
    TransferActive = 1;
    if (run)
        RunAfterLoad = 1;
    if (runSram)
        RunSramAfterLoad = 1;
    AutoLoadActive = 1;
    SendText(command);
}

void StartMultiLoad()
{
    if (MultiFiles[0][0] == 0)
        return;
    CancelRequest = 0;
    TransferActive = 1;
    MultiLoadIndex = 0;
    MultiLoadActive = 1;
    SendText("LOAD\r");
}

void SendAutoRunLine()
{
    if (DownloadFileName[0] == 0)
        return;
    SendRunLine(DownloadFileName);
}

void SendRunrLine()
{
    SendRunLine("runr");
}

void AskDownloadFileName()
{
    std::printf("\n\rInput filename:");
    std::fflush(stdout);
    char line[256];
    if (ConReadLine(line, sizeof line) == 0) {
        DownloadFileName[0] = 0;
    } else {
        char name[DownloadFileNameSize];
        int r = NamePartOfPath(line, name, sizeof name);
        if (r < 0) {
            std::printf("\n\rFile name too long (at most %d characters):", DownloadFileNameSize - 1);
            ConWriteText(line);
            std::printf("\n\r");
        } else if (r > 0 && StorableSetting(name)) {
            std::memcpy(DownloadFileName, name, std::strlen(name) + 1);
        }
    }
    std::printf("\n\rWhen Press F8/F9/F10 will auto download the file:");
    ConWriteText(DownloadFileName);
    std::printf("\n\r");
    SaveSettings();
}

void AskMultiFiles()
{
    AskList(&MultiFiles[0][0], MultiFileCount, MultiFileSize,
            "\n\rInput filename %d('*' or ',' or 'CR'to quit):");
    std::printf("\n\rWhen Press ALT_F9 will auto download these file(s):");
    for (int i = 0; i < MultiFileCount && MultiFiles[i][0] != 0; ++i) {
        std::printf(" ");
        ConWriteText(MultiFiles[i]);
    }
    std::printf("\n\r");
    SaveSettings();
}

void AskRunArgs()
{
    AskList(&RunArgs[0][0], RunArgCount, RunArgSize, "\n\rInput parameters %d('*' or ',' or 'CR' to quit):");
    std::printf("\n\rWhen Press F5/F8/F10 to run file, the command is:");
    ConWriteText(DownloadFileName);
    for (int i = 0; i < RunArgCount && RunArgs[i][0] != 0; ++i) {
        std::printf(" ");
        ConWriteText(RunArgs[i]);
    }
    std::printf("\n\r");
    SaveSettings();
}

void ServeTransferRequests()
{
    if (DownloadRequest) {
        SendFile();
        DownloadRequest = 0;
    }
    if (UploadRequest) {
        GetFile();
        UploadRequest = 0;
    }
    AutoLoadWatch();
}
