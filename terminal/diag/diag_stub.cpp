#include "diag.h"

void LineModeKey(int) {}
void RepeatTestStep() {}
void ScanStep() {}
void SendLetterBurst() {}
void SendLineBurst() {}
void PacketDisplay() {}
