// The fakes that stand in for the console and serial back-ends in the fuzz
// targets, and small helpers the targets share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// ---- Console (fake_console.cpp) --------------------------------------------
// A virtual screen: the cursor follows what is shown and where it is moved,
// positions outside the screen are refused as the real console refuses them.
// Keys come from a queue; when it is empty, ConReadKey reports no key, and
// after IdleBudget such empty reads in a row it gives ALT_X once (the user
// ends the program), so that every wait for a key ends.
namespace fakecon {
extern int Columns, Rows;
extern int CursorX, CursorY;
extern int Attribute;
extern long IdleBudget;
// Called by ConWaitInput before it returns (the work of the receive loop
// that a waiting key-thread action relies on); may be null.
extern void (*IdleHook)();
void PushKey(int code);
void Reset(int columns, int rows);
}  // namespace fakecon

// ---- Serial port (fake_serial.cpp) -----------------------------------------
// Every port opens.  Reads hand out the fed bytes at most Chunk at a time;
// once they are used up the line is gone: reads fail and a wait for the
// port sets CancelRequest (the user gives up), so no wait outlasts the
// input.  Writes are kept in Written.
namespace fakeport {
extern std::string Written;
extern int Chunk;
void Feed(const std::uint8_t *data, std::size_t len);
std::size_t Left();
void Reset();
}  // namespace fakeport

// A failed check: says what and stops with a crash that libFuzzer records.
#define FUZZ_CHECK(cond)                                                                   \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

// Sends standard output (the program's screen) to the null device and
// reads standard input from it; returns the descriptor of the original
// standard error for messages.
void FuzzQuietStdio();
// Makes a fresh directory under $TMPDIR (or /tmp) and returns its path.
std::string FuzzTempDir(const char *tag);
