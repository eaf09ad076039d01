// The display of what the controller sends, in the mode in force (echo
// back, the armed download's watch, Line, Hex, ANSI, or plain with or
// without time stamps).  Called by the receive loop only (the main thread
// of a session or of a headless run).
#pragma once

// The receive loop reads at most this many bytes a pass.
constexpr int ReceiveBufferSize = 4096;

// One pass's display of n received bytes in the mode in force.
void ShowReceived(const unsigned char *buf, int n);
