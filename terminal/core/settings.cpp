#include "settings.h"

#include "console.h"
#include "display.h"
#include "globals.h"
#include "serial.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include "system.h"
#include "typing.h"

namespace {

// Long enough for the longest value written (a MultiFiles entry), so that
// every value saved reads back whole.
constexpr int TokenMax = MultiFileSize + 55;

// The file is written to a new file named SettingsTempName and a number
// first and then renamed over the old file, so a crash or a full disk never
// leaves a cut-off tarvik.ini.

// Values the port cannot take are not read from the file.
bool ValidNumber(char letter, int number)
{
    switch (letter) {
    case 'B': return number >= 2;  // 0 would hang up the line
    case 'D': return number >= 5 && number <= 8;
    case 'S': return number == 1 || number == 2;
    case 'P': return number >= 0 && number <= 4;
    default: return true;
    }
}

// Copies src into a field of size bytes; longer values are cut.
void CopyField(char *dst, int size, const char *src)
{
    int i = 0;
    for (; i < size - 1 && src[i] != 0; ++i)
        dst[i] = src[i];
    dst[i] = 0;
}

// Reads the next blank-separated token; a token longer than TokenMax is
// cut (the rest of it is skipped).  *newLine tells whether a line end came
// before it.  Returns 0 at the end of the file.
int NextToken(FILE *f, char *token, bool *newLine)
{
    int c;
    *newLine = false;
    do {
        c = std::fgetc(f);
        if (c == '\n')
            *newLine = true;
    } while (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f');
    if (c == EOF)
        return 0;
    int len = 0;
    while (c != EOF && c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f') {
        if (len < TokenMax)
            token[len++] = static_cast<char>(c);
        c = std::fgetc(f);
    }
    if (c == '\n')
        std::ungetc(c, f);
    token[len] = 0;
    return 1;
}

// Whether a token is a setting that can be taken: a letter of the table
// with a value the terminal can use.
bool GoodToken(char letter, const char *value)
{
    int number = 0;
    switch (letter) {
    case 'A':
    case 'F':
    case 'X': return true;
    case 'B': return ParseBitRate(value, &number) != 0;
    case 'C':
    case 'D':
    case 'P':
    case 'S':
    case 'W': return ParseDecimal(value, &number) && ValidNumber(letter, number);
    default: return false;
    }
}

// 1 when the last read of the settings file found settings in it: at least
// one line of good settings, or no line at all that is not one (an empty
// file).  A file with nothing but bad lines (another kind of file) is no
// settings file, and a link to it is not replaced at the end.
std::atomic<int> ReadAsSettings{0};

void ReadFile(bool listsOnly)
{
    FILE *f = std::fopen(SettingsFileName, "r");
    if (f == nullptr) {
        ReadAsSettings = 0;
        return;
    }
    char token[TokenMax + 1];
    int args = 0;
    int files = 0;
    int goodLines = 0, badLines = 0;
    bool lineHasTokens = false, lineBad = false;
    auto endLine = [&]() {
        if (lineHasTokens)
            ++(lineBad ? badLines : goodLines);
        lineHasTokens = lineBad = false;
    };
    bool newLine = false;
    while (NextToken(f, token, &newLine)) {
        char letter = token[0];
        if (letter >= 'a' && letter <= 'z')
            letter = static_cast<char>(letter - 0x20);
        const char *value = token + 1;
        if (newLine)
            endLine();
        lineHasTokens = true;
        if (!GoodToken(letter, value))
            lineBad = true;
        int number = 0;
        switch (letter) {
        case 'A':
            if (args < RunArgCount)
                CopyField(RunArgs[args++], RunArgSize, value);
            break;
        case 'F':
            CopyField(DownloadFileName, DownloadFileNameSize, value);
            break;
        case 'X':
            if (files < MultiFileCount)
                CopyField(MultiFiles[files++], MultiFileSize, value);
            break;
        case 'B':
        case 'C':
        case 'D':
        case 'P':
        case 'S':
        case 'W':
            if (listsOnly)
                break;
            if (letter == 'B') {
                // As the /B option takes it, with its message.
                if (ParseBitRate(value, &number)) {
                    BaudRate = number;
                } else {
                    std::printf("Cannot use ");
                    ConWriteText(token);
                    std::printf(", the bit rate stays %d\n\r", BaudRate.load());
                }
                break;
            }
            if (!ParseDecimal(value, &number) || !ValidNumber(letter, number)) {
                if (letter != 'C' && letter != 'W') {
                    std::printf("Bad setting ");
                    ConWriteText(token);
                    std::printf(" in %s ignored\n\r", SettingsFileName);
                }
                break;
            }
            if (letter == 'C') SavedPort = number;
            if (letter == 'D') DataBits = number;
            if (letter == 'S') StopBits = number;
            if (letter == 'W') ScreenRows = ClampScreenRows(number);  // as /S clamps
            if (letter == 'P') ParityIndex = number;
            break;
        default:
            break;
        }
    }
    endLine();
    std::fclose(f);
    ReadAsSettings = (goodLines > 0 || badLines == 0) ? 1 : 0;
}

void PrintFileLists()
{
    std::printf("\n\rAutoRun:");
    ConWriteText(DownloadFileName);
    for (int i = 0; i < RunArgCount && RunArgs[i][0] != 0; ++i) {
        std::printf(" ");
        ConWriteText(RunArgs[i]);
    }
    std::printf("\n\rAutodownload files:");
    if (MultiFiles[0][0] == 0)
        std::printf(" None");
    for (int i = 0; i < MultiFileCount && MultiFiles[i][0] != 0; ++i) {
        std::printf(" ");
        ConWriteText(MultiFiles[i]);
    }
}

}  // namespace

int ParseDecimal(const char *text, int *value)
{
    const char *p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f')
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    if (*p < '0' || *p > '9')
        return 0;
    long long v = 0;
    while (*p >= '0' && *p <= '9') {
        if (v <= static_cast<long long>(INT_MAX) + 1)
            v = v * 10 + (*p - '0');
        ++p;
    }
    if (negative)
        v = -v;
    if (v > INT_MAX)
        v = INT_MAX;
    if (v < INT_MIN)
        v = INT_MIN;
    *value = static_cast<int>(v);
    return 1;
}

int ParseBitRate(const char *text, int *rate)
{
    int v = 0;
    if (!ParseDecimal(text, &v) || v < MinBitRate || v > MaxBitRate)
        return 0;
    *rate = v;
    return 1;
}

int ClampScreenRows(int rows)
{
    return rows < 20 ? 20 : rows > 50 ? 50 : rows;
}

int DecimalOrZero(const char *text)
{
    int v = 0;
    if (!ParseDecimal(text, &v))
        return 0;
    return v;
}

void LoadSettings()
{
    ReadFile(false);
}

void ReloadFileLists()
{
    ReadFile(true);
}

int StorableSetting(const char *text)
{
    if (std::strpbrk(text, " \t\n\r\v\f") == nullptr)
        return 1;
    std::printf("\n\rA blank cannot be stored in %s; not taken:", SettingsFileName);
    ConWriteText(text);
    std::printf("\n\r");
    return 0;
}

namespace {

// Where the settings are written: tarvik.ini itself or, when it is a
// symbolic link (a file kept in a shared place), the file it leads to.
std::string SettingsTarget()
{
    std::error_code ec;
    if (!std::filesystem::is_symlink(SettingsFileName, ec))
        return SettingsFileName;
    std::filesystem::path target = std::filesystem::weakly_canonical(SettingsFileName, ec);
    if (ec || target.empty())
        return SettingsFileName;
    return target.string();
}

// Writes the settings into f; true when all of it was written.
bool WriteSettings(FILE *f, int *err)
{
    std::fprintf(f, "C%d B%d P%d D%d S%d\n", SavedPort.load(), BaudRate.load(), ParityIndex.load(),
                 DataBits.load(), StopBits.load());
    std::fprintf(f, "F%s ", DownloadFileName);
    for (int i = 0; i < RunArgCount && RunArgs[i][0] != 0; ++i)
        std::fprintf(f, "A%s ", RunArgs[i]);
    std::fprintf(f, "\n");
    for (int i = 0; i < MultiFileCount && MultiFiles[i][0] != 0; ++i)
        std::fprintf(f, "X%s ", MultiFiles[i]);
    std::fprintf(f, "\nw%d\n", ScreenRows.load());
    bool written = std::fflush(f) == 0 && !std::ferror(f);
    *err = errno;
    if (std::fclose(f) != 0 && written) {
        written = false;
        *err = errno;
    }
    return written;
}

// Creates a temporary file of a name of its own beside target, exclusively,
// so that nothing planted under such a name (a link) is written through.
// nullptr when none could be made; *err then holds the system's code.
FILE *CreateTempBeside(const std::string &target, std::string *temp, int *err)
{
    std::string base = target == SettingsFileName ? std::string(SettingsTempName) : target + ".tmp";
    unsigned n = SysTickMs();
    for (int tries = 0; tries < 32; ++tries, ++n) {
        *temp = base + std::to_string(n % 1000000u);
        FILE *f = SysCreateNewFile(temp->c_str());
        if (f != nullptr)
            return f;
        *err = SysLastError();
    }
    return nullptr;
}

void SayCannotWrite(int err)
{
    char why[256];
    SysErrorText(err, why, sizeof why);
    std::printf("\n\rCannot write %s: %s\n\r", SettingsFileName, why);
}

}  // namespace

void SaveSettings()
{
    std::error_code ec;
    // A link that leads to a file which was not read as settings (another
    // kind of file, or nothing) is not ours to replace.
    if (std::filesystem::is_symlink(SettingsFileName, ec) && ReadAsSettings == 0) {
        std::printf("\n\r[%s is a link to a file that was not read as settings: it is kept, and the settings are "
                    "not saved]\n\r",
                    SettingsFileName);
        return;
    }
    // The new text goes to a temporary file beside the target and is renamed
    // over it in one step, taking the old file's mode and owner.  A target
    // whose owner cannot be kept (another user's file in a shared place) is
    // written in place instead, unless it has other names as well.
    std::string target = SettingsTarget();
    std::string temp;
    bool exists = std::filesystem::exists(target, ec);
    bool inPlace = false;
    int err = 0;
    FILE *f = CreateTempBeside(target, &temp, &err);
    if (f != nullptr && exists) {
        std::filesystem::permissions(temp, std::filesystem::status(target, ec).permissions(), ec);
        if (SysKeepOwner(target.c_str(), temp.c_str()) != 0) {
            std::fclose(f);
            std::remove(temp.c_str());
            f = nullptr;
            err = EPERM;
            std::uintmax_t names = std::filesystem::hard_link_count(target, ec);
            if (!ec && names == 1) {
                inPlace = true;
                f = std::fopen(target.c_str(), "w");
                if (f == nullptr)
                    err = errno;
            }
        }
    }
    if (f == nullptr) {
        SayCannotWrite(err);
        return;
    }
    bool written = WriteSettings(f, &err);
    std::string why = std::strerror(err);
    if (inPlace) {
        if (!written)
            std::printf("\n\rCannot write %s: %s\n\r", SettingsFileName, why.c_str());
        return;
    }
    if (written) {
        // Replaces the old file in one step (also where the C library's
        // rename would refuse to replace a file).
        std::filesystem::rename(temp, target, ec);
        if (!ec)
            return;
        why = ec.message();
    }
    std::remove(temp.c_str());
    std::printf("\n\rCannot write %s: %s\n\r", SettingsFileName, why.c_str());
}

void ShowCurrentSettings()
{
    ConSetColor(0x0B);
    char dev[256];
    ComDeviceName(CurrentPort, dev, sizeof dev);
    std::printf("Current set: Use COM%d %d,%c,%d,%d on %s", CurrentPort.load(), BaudRate.load(),
                ParityLetter(ParityIndex), DataBits.load(), StopBits.load(), dev);
    PrintFileLists();
    char dir[260];
    SysGetCwd(dir, sizeof dir);
    std::printf("\n\rCurrent work directory=\"");
    ConWriteText(dir);
    std::printf("\"");
    ShowModes();
    ConSetColor(7);
}

void ShowFileLists()
{
    PrintFileLists();
    std::printf("\n\r");
}
