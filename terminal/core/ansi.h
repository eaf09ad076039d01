// ANSI escape emulation for controller programs that draw with escape
// sequences (shown while ANSI mode is on).
//
// A byte-at-a-time state machine: ESC [ with decimal parameters separated
// by ';' and a final letter.  It keeps no output buffer and no time-out, so
// a sequence split across reads simply goes on with the next byte.
#pragma once

#include <cstdint>

constexpr int AnsiMaxParams = 20;

// The interpreter's fields (one interpreter per process).  They are guarded
// by the interpreter's lock: read them only where no other thread feeds it
// (tests).
extern int AnsiState;          // 0 idle, 1 after ESC, 2 after ESC [ or ';', 3 in a number
extern std::int32_t AnsiNumber;  // the parameter being read (wraps on overflow)
extern std::int32_t AnsiParams[AnsiMaxParams];
extern std::int32_t AnsiParamCount;  // parameters stored, at most AnsiMaxParams
extern std::uint8_t AnsiAttr;  // console attribute built from colour lists
extern std::int32_t AnsiSavedX;  // column saved by ESC [ s (1-based; 0 none)
extern std::int32_t AnsiSavedY;  // row saved by ESC [ s

// Back to idle, attribute 0x07 (applied), saved position 0,0.
void AnsiReset();
// Feeds one received byte (0..255).
void AnsiPutByte(int byte);

// One entry of a colour list applied to an attribute: 0 normal, 1/2 set or
// clear intensity, 5 bright background, 7 reverse, 8 hidden, 30-37
// foreground, 40-47 background; other values change nothing.
std::uint8_t AnsiApplyColour(std::uint8_t attr, std::int32_t param);
