// quarnix-sim: a simulated controller of the Quarnix family on a serial
// line.  The core (sim_main.cpp) serves the line and runs a small command
// shell; feature modules hook in through the functions below.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Core services --------------------------------------------------------

// Sends bytes to the terminal (the pacing of --line-rate applies).
void SimSend(const void *data, std::size_t len);
void SimSendText(const char *text);
// printf-style text to the terminal.
void SimPrintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Shows the shell prompt.
void SimPrompt();
// Milliseconds from a fixed point.
std::uint64_t SimNowMs();
// Bit rate that the terminal side of the line is set to (0 if unknown).
unsigned SimLineRate();
// The simulated clock, as local broken-down time.
void SimClock(int *year, int *month, int *day, int *hour, int *minute, int *second);
// Descriptor of the simulator's end of the line.
int SimLineFd();
// Wakes the main loop at once (safe in a signal handler): a module's signal
// handler calls it after setting what its tick is to do.
void SimWake();

// A module that takes over the raw byte stream (a transfer in progress)
// sets this; the shell gets bytes again when it is cleared.
typedef void (*SimByteSink)(const unsigned char *data, std::size_t len);
extern SimByteSink SimRawInput;

// ---- Module hooks -----------------------------------------------------------
// Each returns non-zero when it handled the option or command.

// Command-line option "--name" with its value (nullptr when the option has
// none); *usedValue is set when the value was taken.
int TransferOption(const char *name, const char *value, int *usedValue);
int ModulesOption(const char *name, const char *value, int *usedValue);
// A command line typed at the shell (without its CR), split into words.
int TransferCommand(int argc, char **argv);
int ModulesCommand(int argc, char **argv, const char *line);
// Called on every pass of the main loop.  Each returns the milliseconds
// after which it wants to be called again, or -1 when nothing is due: an
// idle simulator waits for the line or a signal alone.
int TransferTick();
int ModulesTick();
// Help lines for --help.
void TransferUsage();
void ModulesUsage();
