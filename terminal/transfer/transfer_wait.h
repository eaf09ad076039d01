// Bounded, cancellable waits on the controller shared by the download and
// the upload (internal to the transfer code).
#pragma once

#include <cstdint>

enum {
    TransferWaitOk = 0,
    TransferWaitTimeout = 1,  // the bound passed with nothing received
    TransferWaitCancel = 2,   // Escape (CancelRequest) or ALT_X (ExitRequest)
    TransferWaitGone = 3,     // the device behind the port has gone away
};

// Waits until the port has bytes to read or the deadline (SysTickMs) has
// passed, without spinning.  Returns TransferWaitOk when a read is worth
// trying, else the reason to give up.
int TransferWaitPort(std::uint32_t deadline);
// Reads one reply byte, waiting at most timeoutMs; failed reads are
// repeated until the bound, except a port whose device has gone.
int TransferWaitByte(unsigned char *byte, int timeoutMs);
// Prints the note for a wait that failed and remembers a cancel.
void TransferReportWait(int result, const char *eol);
// Whether the user cancelled the last transfer.
void TransferClearOutcome();
bool TransferWasCancelled();
// Sends an empty (count 0) block: no file follows.
void SendAbortBlock();
