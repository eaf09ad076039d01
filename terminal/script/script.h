// Script runner and the command interpreter that command mode shares.
//
// A script is a text file of terminal commands, run line by line on the
// keyboard thread.  Lines that begin with "//" are directives (labels,
// jumps, loops, variables), other lines that begin with '/' are commands
// (split into Tokens and run by ExecCommand), every other line is a comment.
#pragma once

constexpr int MaxTokens = 20;          // later words of a line are dropped
constexpr int TokenLineSize = 256;     // a command line of up to 255 characters
extern char *Tokens[MaxTokens];        // point into a private copy of the line
extern int TokenCount;

// Splits line at blanks, commas, carriage returns and tabs into Tokens and
// TokenCount; returns TokenCount.  Characters beyond the 255th are cut.
int SplitTokens(const char *line);
void ExecCommand();
void RunScript();
void ShowSystemError(const char *label);
