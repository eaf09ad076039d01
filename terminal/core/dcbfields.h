// The fields of the Win32 device control record that the serial layer sets,
// as plain values, so that the rules that fill them are checked on every
// system.  The values are those of the Win32 headers.
#pragma once

constexpr int DcbNoParity = 0;
constexpr int DcbOddParity = 1;
constexpr int DcbEvenParity = 2;
constexpr int DcbMarkParity = 3;
constexpr int DcbSpaceParity = 4;
constexpr int DcbOneStopBit = 0;
constexpr int DcbTwoStopBits = 2;
constexpr int DcbRtsEnable = 1;
constexpr int DcbRtsHandshake = 2;
constexpr int DcbRtsToggle = 3;

struct DcbFields {
    int byteSize;
    int parity;
    int stopBits;
    int outxCtsFlow;
    int rtsControl;
};

// Data bits 5..8, parity index 0..4 (N, E, O, M, S) and stop bits 1 or 2;
// any other value leaves its field as it was.
void DcbApplyFormat(DcbFields *f, int parity, int data, int stop);

// Flow-control mode 1 (CTS), 2 (RTS/CTS handshake), 3 (RTS while sending);
// every other value is mode 0 (none, RTS on).
void DcbApplyFlow(DcbFields *f, int mode);
