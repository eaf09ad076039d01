// Network serial ports: the device words rfc2217://HOST:PORT (a Telnet
// connection with the COM port option, RFC 2217) and tcp://HOST:PORT (raw
// bytes; the server's port keeps its own settings), and the Telnet codec of
// the first.  Plain values and byte arithmetic only: the sockets are the
// back-end's (posix/serial_net_posix.cpp).
#pragma once

#include <cstdint>

// ---- Device words ------------------------------------------------------

enum {
    NetRfc2217 = 1,
    NetRawTcp = 2,
};
constexpr int NetNotAddress = -1;  // no "://": a device path
constexpr int NetBadAddress = -2;  // "://" but not a usable address

constexpr int NetHostSize = 256;
struct NetAddress {
    int kind;                 // NetRfc2217 or NetRawTcp
    char host[NetHostSize];   // name or address; an IPv6 address without its brackets
    int port;                 // 1..65535
};

// Reads a device word.  0 and *out filled for a good address,
// NetNotAddress for a word without "://", NetBadAddress for an unknown
// scheme, a missing host or port, a port outside 1..65535 or anything
// after the port.
int NetParseAddress(const char *text, NetAddress *out);

// ---- Telnet (RFC 854) with the COM port option (RFC 2217) ----------------

constexpr unsigned char TnIac = 255;
constexpr unsigned char TnDont = 254;
constexpr unsigned char TnDo = 253;
constexpr unsigned char TnWont = 252;
constexpr unsigned char TnWill = 251;
constexpr unsigned char TnSb = 250;
constexpr unsigned char TnSe = 240;
constexpr unsigned char TnOptBinary = 0;
constexpr unsigned char TnOptSga = 3;
constexpr unsigned char TnOptComPort = 44;

// COM port option commands, client to server (the server answers with the
// same code plus 100).
enum {
    CpSetBaudRate = 1,
    CpSetDataSize = 2,
    CpSetParity = 3,
    CpSetStopSize = 4,
    CpSetControl = 5,
    CpNotifyLineState = 6,
    CpNotifyModemState = 7,
    CpSetLineStateMask = 10,
    CpSetModemStateMask = 11,
    CpServerOffset = 100,
};
// SET-CONTROL values.
enum {
    CpControlNoFlow = 1,
    CpControlHardwareFlow = 3,
    CpControlBreakOn = 5,
    CpControlBreakOff = 6,
    CpControlDtrOn = 8,
    CpControlRtsOn = 11,
    CpControlRtsOff = 12,
};
constexpr int CpModemCts = 0x10;       // in NOTIFY-MODEMSTATE
constexpr int CpModemDeltaCts = 0x01;  // CTS changed since the last notice

// The receive side of one connection: where a split sequence stands, the
// options each side has agreed to, and what the server last told.
constexpr int TnSubSize = 64;
struct TelnetState {
    int state;               // position inside a command (TelnetDecode)
    unsigned char verb;      // WILL, WONT, DO or DONT under way
    unsigned char sub[TnSubSize];
    int subLen;
    bool subOverflow;
    bool us[256];            // our side of an option is on
    bool usAsked[256];       // we offered it and no answer came yet
    bool him[256];           // the server's side is on
    bool himAsked[256];
    bool comPortAnswered;    // the server said DO or DONT to the COM port option
    int modemState;          // last NOTIFY-MODEMSTATE, -1 before the first
    long baudReply;          // last SET-BAUDRATE answer
    unsigned baudReplies;    // how many came
};

// A fresh state for a new connection.
void TelnetReset(TelnetState *t);

// Our opening offers (COM port option, binary both ways, no go-ahead both
// ways): written into out (at least 15 bytes); the count.  The offers are
// noted in t, so that the server's agreement is not answered again.
int TelnetOffers(TelnetState *t, unsigned char *out);

// Takes n received bytes.  The data bytes go to data (room for n), IAC IAC
// as one 0xFF; the answers owed to the server's negotiation go to reply
// (room for 3 * n).  A command split across calls is continued.  The counts
// are left in *dataLen and *replyLen.  Returns true when the modem state
// changed.
bool TelnetDecode(TelnetState *t, const unsigned char *in, int n, unsigned char *data, int *dataLen,
                  unsigned char *reply, int *replyLen);

// Data to send: every 0xFF doubled.  Takes as much of in as fits into
// room bytes of out; the count taken in *used, the count written returned.
// An IAC is never split from its double.
int TelnetEscape(const unsigned char *in, int n, unsigned char *out, int room, int *used);

// One COM port option command with value (len bytes, IAC doubled) as
// IAC SB 44 command value IAC SE, into out (room for 6 + 2 * len); the count.
int TelnetComPortCommand(int command, const unsigned char *value, int len, unsigned char *out);
// The same with a 32-bit value in network order (SET-BAUDRATE).
int TelnetComPortCommand32(int command, std::uint32_t value, unsigned char *out);

// The SET-PARITY value for a parity index 0..4 (N, E, O, M, S), 0 for
// any other index; the SET-STOPSIZE value for 1 or 2 stop bits, 0 else.
int TelnetParityValue(int parityIndex);
int TelnetStopValue(int stopBits);
