// Script runner and the command interpreter that command mode shares.
#pragma once

constexpr int MaxTokens = 20;
extern char *Tokens[MaxTokens];
extern int TokenCount;

int SplitTokens(const char *line);
void ExecCommand();
void RunScript();
void ShowSystemError(const char *label);
