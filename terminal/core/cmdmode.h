// Command mode (ALT_C): one command line for port, format, directory,
// download file name, logging and script commands.
#pragma once

void CommandMode();
// Handles one command-mode line (what CommandMode does after reading it).
void CommandLine(const char *line);
