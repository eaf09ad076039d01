// Line diagnostics: the Line-mode editor with its repeat test and AutoScan,
// test bursts and the packet monitor.
#pragma once

void LineModeKey(int code);
void RepeatTestStep();
void ScanStep();
void SendLetterBurst();   // F12
void SendLineBurst();     // CTRL_F12
void PacketDisplay();     // ALT_F12
