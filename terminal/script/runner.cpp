// RunScript: reads a script file byte by byte, gathers lines, and runs
// directives and commands.  The byte counter (offset of the next byte to
// read) is what a label records and what a jump restores.
#include "display.h"
#include "script.h"

#include "console.h"
#include "globals.h"
#include "options.h"
#include "settings.h"
#include "system.h"

#include <cstdio>
#include <cstring>

ScriptLabel ScriptLabels[ScriptTableSize];
int ScriptLabelCount;
ScriptVar ScriptVars[ScriptTableSize];
int ScriptVarCount;
int ScriptNoConsole = 0;
int ScriptStop;
ScriptFailureRecord ScriptFailure;
std::atomic<const char *> ScriptHalt{nullptr};

void ScriptFail(const char *file, const char *reason)
{
    ScriptStop = 1;
    if (ScriptFailure.failed)
        return;
    ScriptFailure.failed = 1;
    ScriptFailure.line = 0;
    ScriptFailure.script[0] = 0;
    std::snprintf(ScriptFailure.file, sizeof ScriptFailure.file, "%s", file);
    std::snprintf(ScriptFailure.reason, sizeof ScriptFailure.reason, "%s", reason);
}

namespace {

int Depth = 0;  // scripts running now (a script may run another)

// A name of up to 19 characters from text[0..len); longer ones are cut, so
// that defining and using a long name agree.
void CopyName(char (&out)[ScriptNameSize], const char *text, std::size_t len)
{
    if (len > ScriptNameSize - 1)
        len = ScriptNameSize - 1;
    std::memcpy(out, text, len);
    out[len] = '\0';
}

ScriptVar *FindVar(const char *text, std::size_t len)
{
    char name[ScriptNameSize];
    CopyName(name, text, len);
    for (int i = 0; i < ScriptVarCount; ++i)
        if (std::strcmp(ScriptVars[i].name, name) == 0)
            return &ScriptVars[i];
    return nullptr;
}

const ScriptLabel *FindLabel(const char *text, std::size_t len)
{
    char name[ScriptNameSize];
    CopyName(name, text, len);
    for (int i = 0; i < ScriptLabelCount; ++i)
        if (std::strcmp(ScriptLabels[i].name, name) == 0)
            return &ScriptLabels[i];
    return nullptr;
}

// Adds one to v or takes one from it, wrapping at the ends of 32 bits.
std::int32_t Step(std::int32_t v, int by)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v) + static_cast<std::uint32_t>(by));
}

// The label name of //G: and //IL: ends at the first comma, searched from
// one character after the name begins.  Returns the comma or nullptr.
const char *LabelEnd(const char *rest)
{
    if (rest[0] == '\0')
        return nullptr;
    return std::strchr(rest + 1, ',');
}

struct Reader {
    std::FILE *file;
    long counter;  // offset of the next byte to read
};

void JumpTo(Reader &r, const char *name, std::size_t len)
{
    const ScriptLabel *label = FindLabel(name, len);
    if (label == nullptr)
        return;  // not (yet) defined: no jump
    if (std::fseek(r.file, label->position, SEEK_SET) == 0)
        r.counter = label->position;
}

void DefineLabel(const Reader &r, const char *name)
{
    if (FindLabel(name, std::strlen(name)) != nullptr || ScriptLabelCount >= ScriptTableSize)
        return;
    ScriptLabel &label = ScriptLabels[ScriptLabelCount++];
    CopyName(label.name, name, std::strlen(name));
    label.position = r.counter;
}

void SetVar(const char *rest)
{
    const char *eq = std::strchr(rest, '=');
    if (eq == nullptr)
        return;
    std::int32_t value = DecimalOrZero(eq + 1);
    std::size_t len = static_cast<std::size_t>(eq - rest);
    ScriptVar *var = FindVar(rest, len);
    if (var == nullptr) {
        if (ScriptVarCount >= ScriptTableSize)
            return;
        var = &ScriptVars[ScriptVarCount++];
        CopyName(var->name, rest, len);
    }
    var->value = value;
}

void GoTo(Reader &r, const char *rest)
{
    const char *comma = LabelEnd(rest);
    if (comma == nullptr) {
        JumpTo(r, rest, std::strlen(rest));
        return;
    }
    ScriptVar *var = FindVar(comma + 1, std::strlen(comma + 1));
    if (var == nullptr)
        return;  // counts as 0: no jump
    var->value = Step(var->value, -1);
    if (var->value != 0)
        JumpTo(r, rest, static_cast<std::size_t>(comma - rest));
}

void LoopTo(Reader &r, const char *rest)
{
    const char *comma = LabelEnd(rest);
    const char *second = comma != nullptr ? std::strchr(comma + 1, ',') : nullptr;
    if (second == nullptr) {
        // Fewer than two commas: jump without counting.
        JumpTo(r, rest, comma != nullptr ? static_cast<std::size_t>(comma - rest) : std::strlen(rest));
        return;
    }
    std::int32_t limit = DecimalOrZero(second + 1);
    std::int32_t value = 0;
    ScriptVar *var = FindVar(comma + 1, static_cast<std::size_t>(second - (comma + 1)));
    if (var != nullptr) {
        var->value = Step(var->value, 1);
        value = var->value;
    }
    if (value <= limit)
        JumpTo(r, rest, static_cast<std::size_t>(comma - rest));
}

void PrintVar(const char *name)
{
    // Without a console standard output carries the controller's bytes only.
    std::FILE *out = ScriptNoConsole ? stderr : stdout;
    const ScriptVar *var = FindVar(name, std::strlen(name));
    if (ScriptNoConsole) {
        std::fputc('[', out);
        if (var == nullptr)
            std::fputs("variable ", out);
        WriteNameTo(out, name);
        if (var != nullptr)
            std::fprintf(out, "=%d]\n", static_cast<int>(var->value));
        else
            std::fputs(" IS NOT DEFINED]\n", out);
        return;
    }
    if (var != nullptr) {
        std::printf("[");
        ConWriteText(name);
        std::printf("=%d]\n", static_cast<int>(var->value));
    } else {
        std::printf("[variable ");
        ConWriteText(name);
        std::printf(" IS NOT DEFINED]\n");
    }
}

// The line of the script that begins at offset, as an editor counts lines
// (CR LF is one line end): 1 for the first; 0 when the file cannot be read.
long LineNumberAt(const char *name, long offset)
{
    std::FILE *f = std::fopen(name, "rb");
    if (f == nullptr)
        return 0;
    long line = 1;
    int previous = 0;
    for (long i = 0; i < offset; ++i) {
        int c = std::fgetc(f);
        if (c == EOF)
            break;
        if (c == '\r' || (c == '\n' && previous != '\r'))
            ++line;
        previous = c;
    }
    std::fclose(f);
    return line;
}

// Without a console: a run that must end, or a failed step in this line
// not yet placed, gets this script's name and line.
void PlaceFailure(const char *name, long lineStart)
{
    const char *halt = ScriptHalt.load();
    if (halt != nullptr)
        ScriptFail("", halt);
    if (!ScriptFailure.failed || ScriptFailure.line != 0)
        return;
    std::snprintf(ScriptFailure.script, sizeof ScriptFailure.script, "%s", name);
    ScriptFailure.line = LineNumberAt(name, lineStart);
}

void CannotRead(const char *name, int code)
{
    char why[200];
    SysErrorText(code, why, sizeof why);
    char reason[256];
    std::snprintf(reason, sizeof reason, "cannot read the script: %s", why);
    ScriptFail(name, reason);
}

void Directive(Reader &r, const char *line)
{
    if (std::strncmp(line, "//L:", 4) == 0)
        DefineLabel(r, line + 4);
    else if (std::strncmp(line, "//G:", 4) == 0)
        GoTo(r, line + 4);
    else if (std::strncmp(line, "//I:", 4) == 0)
        SetVar(line + 4);
    else if (std::strncmp(line, "//IL:", 5) == 0)
        LoopTo(r, line + 5);
    else if (std::strncmp(line, "//P:", 4) == 0)
        PrintVar(line + 4);
}

void HandleLine(Reader &r, const char *line)
{
    if (line[0] != '/')
        return;  // empty line or comment
    if (line[1] == '/') {
        Directive(r, line);
        return;
    }
    SplitTokens(line);
    ExecCommand();
}

// Between two lines: Escape stops the script, ALT_X ends the program as it
// does everywhere; other keys typed while a script runs are dropped.
void CheckKeys()
{
    if (KeyThreadHold || ScriptNoConsole)
        return;
    int code;
    while ((code = ConReadKey()) != 0) {
        if (code == KEY_ESC) {
            ScriptStop = 1;
        } else if (code == KeyAlt('X')) {
            ExitRequest = 1;
            ScriptStop = 1;
        }
    }
}

void RunFile(std::FILE *file, const char *name)
{
    Reader r{file, 0};
    long lineStart = 0;  // offset of the line being gathered
    char line[ScriptLineSize + 1];
    int len = 0;
    for (;;) {
        int c = std::fgetc(file);
        bool complete = false;
        if (c == EOF) {
            if (std::ferror(file)) {
                int code = SysLastError();
                if (ScriptNoConsole) {
                    CannotRead(name, code);
                    PlaceFailure(name, lineStart);
                    return;
                }
                ConSetColor(116);
                ShowErrorCode("<ReadFile error>", code);
                ConSetColor(7);
                return;
            }
            if (len == 0)
                return;
            complete = true;  // end of file ends the last line
        } else {
            ++r.counter;
            if (c == '\r' || c == '\n') {
                complete = true;
            } else {
                line[len++] = static_cast<char>(c);
                complete = len == ScriptLineSize;  // the rest is the next line
            }
        }
        if (!complete)
            continue;
        line[len] = '\0';
        len = 0;
        HandleLine(r, line);
        if (ScriptNoConsole)
            PlaceFailure(name, lineStart);
        lineStart = r.counter;
        if (c == EOF)
            return;
        CheckKeys();
        if (ScriptStop || ExitRequest)
            return;
    }
}

}  // namespace

void RunScript()
{
    char name[TokenLineSize];
    const char *given = TokenCount >= 2 && Tokens[1] != nullptr ? Tokens[1] : DefaultScriptName;
    std::snprintf(name, sizeof name, "%s", given);  // Tokens change with every line run

    if (Depth >= ScriptMaxDepth) {
        // A session's run just ends here; without a console the script was
        // not carried out as written, and the run says so.
        if (ScriptNoConsole) {
            char reason[96];
            std::snprintf(reason, sizeof reason, "cannot run the script: scripts nested more than %d deep",
                          ScriptMaxDepth);
            ScriptFail(name, reason);
        }
        return;
    }
    // Never a pipe or a device: opening a pipe would hold the run until
    // someone writes, and a device never ends.  Without a console only a
    // regular file; a session reads a directory and reports its read error.
    int code = SysReadableFile(name);
    bool refused = code == SysNotRegular || (ScriptNoConsole && code != 0);
    std::FILE *file = refused ? nullptr : std::fopen(name, "rb");
    if (file == nullptr) {
        if (ScriptNoConsole) {
            char reason[256];
            if (code == 0)
                code = SysLastError();
            char why[200];
            FileProblemText(code, why, sizeof why);
            std::snprintf(reason, sizeof reason, "cannot open the script: %s", why);
            ScriptFail(name, reason);
            return;
        }
        ConSetColor(116);
        std::printf("\nCan not open the file : ");
        ConWriteText(name);
        std::printf("\n");
        ConSetColor(7);
        return;
    }
    ScriptStop = 0;
    ScriptLabelCount = 0;
    ScriptVarCount = 0;
    ++Depth;
    RunFile(file, name);
    --Depth;
    std::fclose(file);
    std::fflush(stdout);
}
