// Script runner and the command interpreter that command mode shares.
//
// A script is a text file of terminal commands, run line by line on the
// keyboard thread.  Lines that begin with "//" are directives (labels,
// jumps, loops, variables), other lines that begin with '/' are commands
// (split into Tokens and run by ExecCommand), every other line is a comment.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int MaxTokens = 20;          // later words of a line are dropped
constexpr int TokenLineSize = 256;     // a command line of up to 255 characters
extern char *Tokens[MaxTokens];        // point into a private copy of the line
extern int TokenCount;

// Splits line at blanks, commas, carriage returns and tabs into Tokens and
// TokenCount; returns TokenCount.  Characters beyond the 255th are cut.
int SplitTokens(const char *line);
// Runs the command in Tokens (load, loadr, loadb, upload, cls, senddata,
// sendcmd, sendhex, pause, run, quit); other words do nothing.
void ExecCommand();
// Runs the script named by Tokens[1], or "tarvik.F4" when TokenCount is 1.
void RunScript();
// Prints label, ':' and the system's text for the last error.
void ShowSystemError(const char *label);
// The same for an error code taken earlier.
void ShowErrorCode(const char *label, int code);

constexpr const char *DefaultScriptName = "tarvik.F4";
constexpr int ScriptLineSize = 100;    // characters of a script line
constexpr int ScriptNameSize = 20;     // label and variable names: 19 characters, longer ones cut
constexpr int ScriptTableSize = 10;    // labels, and variables
constexpr int ScriptSendHexSize = 200; // bytes one sendhex builds; further ones are dropped
constexpr int ScriptMaxDepth = 16;     // scripts running scripts; a deeper run does nothing (fails without a console)

// Bound of the wait for a download that a script command armed: the
// receive loop gives up on a silent controller after its own bound
// (ArmedWaitMs) and the transfer bounds every reply; the script waits
// that long plus this margin for the '!' and, once nothing is armed or
// running any more, this long for the end to be reported (milliseconds).
constexpr int ScriptIdleWaitMs = 5000;

struct ScriptLabel {
    char name[ScriptNameSize];
    long position;  // byte offset of the line after the label line
};
struct ScriptVar {
    char name[ScriptNameSize];
    std::int32_t value;
};
extern ScriptLabel ScriptLabels[ScriptTableSize];
extern int ScriptLabelCount;
extern ScriptVar ScriptVars[ScriptTableSize];
extern int ScriptVarCount;
// Set to end the running script after its current line (Escape in a timed
// pause or while a download is awaited, the command "quit").
extern int ScriptStop;
// Set for a script run without a console (--script): no keys are read, and
// a pause that waits for a key goes on at once.
extern int ScriptNoConsole;

// Without a console the first step that fails ends the script and every
// script that ran it, so that nothing after it is sent: a download that
// failed or could not start, a script that cannot be read, a run that must
// end (ScriptHalt).  The script thread fills the record; the run reads it
// once the script has ended.
struct ScriptFailureRecord {
    int failed;
    char script[TokenLineSize];  // the innermost script and its line (0: none)
    long line;
    char file[TokenLineSize];    // the step's file (empty: none)
    char reason[256];
};
extern ScriptFailureRecord ScriptFailure;
// Records the failed step (the first one counts) and stops the script.
void ScriptFail(const char *file, const char *reason);
// Set by the receive loop of a run without a console when the run must end
// (the device has gone): a lasting text, recorded as the reason of the
// line the script is in.
extern std::atomic<const char *> ScriptHalt;

// Builds the bytes of "sendhex" from its argument words into out (at most
// cap bytes); returns the count.
int BuildSendHex(char *const *args, int count, unsigned char *out, int cap);
