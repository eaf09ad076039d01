// Shared parts of the CAN command-line tools: frame syntax, numbers, and the
// platform hook that opens a slot device.
#pragma once

#include <string>

namespace cantool {

struct FrameSpec {
    unsigned char ext = 0;   // 1: 29-bit identifier
    unsigned char rtr = 0;   // 1: remote frame
    unsigned char len = 0;
    unsigned long id = 0;
    unsigned char data[8] = {};
};

// "<id>#<data>" and "<id>#R[<len>]".  The identifier is hexadecimal: up to 3
// digits is a standard (11-bit) identifier, exactly 8 digits an extended
// (29-bit) one.  Data is up to 8 bytes as pairs of hex digits, optionally
// separated by '.'.  Returns "" or a message saying what is wrong.
std::string ParseFrame(const std::string &text, FrameSpec &out);

// Decimal, or hexadecimal with 0x.  False for anything else or out of range.
bool ParseNumber(const std::string &text, unsigned long max, unsigned long &out);

// One received or sent frame as a line: slot, identifier, [length], data
// bytes or "remote request", and the board's two time words.
std::string FormatFrame(int slot, const FrameSpec &f, unsigned long upper, unsigned long lower);

// OceloInit, tried up to three times: a board that is slow to answer its
// first reset gets another chance.
int InitBoard(unsigned char slot, unsigned long baud, unsigned char bt0, unsigned char bt1, unsigned long code,
              unsigned long mask);

// Opens the slot device so that slot_fd[slot] is usable (platform hook,
// see OpenSlot*.c*).  Returns 0 or a negative errno.
int OpenSlot(int slot);

} // namespace cantool
