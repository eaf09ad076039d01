// Shared parts of the CAN command-line tools: frame syntax, numbers, and the
// platform hook that opens a slot device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
// Hexadecimal, 1 to 8 digits, "0x" allowed: identifiers, codes and masks.
bool ParseHex(const std::string &text, unsigned long &out);

// One received or sent frame as a line: slot, identifier, [length], data
// bytes or "remote request", and the board's two time words.
std::string FormatFrame(int slot, const FrameSpec &f, unsigned long upper, unsigned long lower);

// Frame as "<id>#<data>" or "<id>#R[<len>]": identifier and data in upper
// case hex, the remote frame's length digit only when it is not 0.
std::string FrameText(const FrameSpec &f);

// One line of a log as ocelo-send reads it: a frame it can send, or a line
// the board cannot send (a CAN FD frame "<id>##<flags><data>", an error
// frame: an 8-digit identifier with the error flag 20000000), or a line
// without a frame (empty, or a '#' comment).
enum class LineKind { Frame, Empty, CanFd, ErrorFrame };
struct InputLine {
    LineKind kind = LineKind::Empty;
    FrameSpec frame;       // for LineKind::Frame
    bool has_time = false; // "(<seconds>.<fraction>)" in front
    int64_t micros = 0;    // that stamp in microseconds
    std::string iface;     // the log's interface name ("" for a bare frame)
};
// Returns "" or what is wrong with the line (then nothing of it is usable).
std::string ReadInputLine(const std::string &line, InputLine &out);

// Host time stamp in front of a frame: 'a' absolute "(%010s.%06u) ", 'd'
// delta to the previous frame and 'z' since the first frame "(%03s.%06u) ";
// any other mode gives "".  Times in microseconds of the host clock.
std::string FormatStamp(char mode, int64_t now, int64_t first, int64_t prev);

// Receive filters in the usual form.  The identifier a filter compares is
// the frame's identifier with two flags: bit 31 extended, bit 30 remote.
constexpr uint32_t kExtFlag = 0x80000000u, kRtrFlag = 0x40000000u;
struct Filter {
    uint32_t id = 0;
    uint32_t mask = 0;
    bool inverted = false;  // "~": passes when the masked bits differ
};
// "<id>:<mask>" or "<id>~<mask>", both hexadecimal; an identifier written
// with 8 digits carries the extended flag.  Returns "" or what is wrong.
std::string ParseFilter(const std::string &text, Filter &out);
// True when no filter is given or one of them passes the frame; with join
// (a "j" in the list) all of them must pass it.
bool FilterPass(const std::vector<Filter> &filters, const FrameSpec &f, bool join = false);

// Board status as an error frame in the SocketCAN form: the identifier holds
// the error flag (0x20000000) and the classes, the 8 data bytes the details,
// as candump logs it ("20000004#0001000000000000") and python-can reads it.
constexpr unsigned long kErrFlag = 0x20000000ul;
constexpr unsigned long kErrCrtl = 0x004, kErrBusOff = 0x040, kErrBusError = 0x080, kErrRestarted = 0x100;
constexpr unsigned char kCrtlRxOverflow = 0x01, kCrtlRxWarning = 0x04, kCrtlTxWarning = 0x08,
                        kCrtlActive = 0x40;
// The CAN controller's status byte: bit 7 bus off, bit 6 error warning (the
// board passes its controller's status register through).
constexpr unsigned char kCanStatBusOff = 0x80, kCanStatWarning = 0x40;
// The error frame for a change of the CAN status byte from prev to now, or
// for an overflow reported by the board (overflow true); bytes 5 and 6 carry
// the board's CAN status and buffer status bytes.  Every error frame also
// carries the bus-error class: python-can's log reader (Debian's 4.1) takes
// a line as an error frame only with that class set.  False when the change
// says nothing an error frame can (bits other than 7 and 6).
bool ErrorFrameFor(unsigned char prev, unsigned char now, bool overflow, unsigned char bufstat, FrameSpec &out);
// Error classes an error mask ("#<mask>" in a filter list) lets through.
inline bool ErrorPass(unsigned long err_mask, const FrameSpec &f) { return (f.id & err_mask & 0x1FFFFFFFul) != 0; }

// The board's acceptance code and mask (mask bit 1 = don't care) that let
// through at least every frame the filters pass; the frames the board cannot
// sort out itself are dropped by FilterPass.
struct BoardFilter {
    unsigned long code = 0;
    unsigned long mask = 0xFFFFFFFFul;
};
BoardFilter BoardFilterFor(const std::vector<Filter> &filters);

// True for a bit rate of the board's table (5000 .. 1000000 bit/s); the
// library maps any other rate to the user timing bytes, which the tools do
// not set.
bool TableBitRate(unsigned long baud);
// The table's rates, for messages: "5000, 10000, ..., 1000000".
const char *TableBitRates();

// OceloInit, tried three times and then again until two seconds have
// passed: a board that is slow to answer its first reset gets more chances.
int InitBoard(unsigned char slot, unsigned long baud, unsigned char bt0, unsigned char bt1, unsigned long code,
              unsigned long mask);

// Opens the slot device so that slot_fd[slot] is usable (platform hook,
// see OpenSlot*.c*).  Returns 0 or a negative errno.
int OpenSlot(int slot);
// What went wrong when OpenSlot(slot) returned rc, for a message after
// "<tool>: ": the slot in use, or the device or simulated bus that could
// not be opened, named by its path.
std::string OpenSlotError(int slot, int rc);

} // namespace cantool
