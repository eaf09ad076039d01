// Board access on Windows CE: the DPRAM is reached through the board's page
// register (register 1) and its 32-byte window (registers 32 to 63), which
// HalvexSDK places at SlotBase + 2 * register.
#include "HalvexSDK.h"
#include "Ocelo.h"
#include "OceloCEState.h"

CRITICAL_SECTION DpramLock;
CRITICAL_SECTION TriggerLock;
CRITICAL_SECTION SlotLock[kOceloSlots];
CRITICAL_SECTION TxLock[kOceloSlots];
uint32_t SlotBases[kOceloSlots];

namespace {

constexpr uint16_t kCommandByte = 0x1FFF;
// Changed under TriggerLock.
std::atomic<bool> CommandUnread[kOceloSlots];
std::atomic<unsigned> CommandSeq[kOceloSlots];

void WritePage(uint32_t SlotBase, uint16_t Addr) {
  IoWriteByte(SlotBase + 2, static_cast<uint8_t>((Addr >> 5) & 0xFF));
}

uint32_t WindowOf(uint32_t SlotBase, uint16_t Addr) {
  return SlotBase + 2 * ((Addr & 31u) + 32u);
}

}  // namespace

uint8_t DPRAMReadByte(uint32_t SlotBase, uint16_t ReadAddr) {
  EnterCriticalSection(&DpramLock);
  WritePage(SlotBase, ReadAddr);
  uint8_t b = IoReadByte(WindowOf(SlotBase, ReadAddr));
  LeaveCriticalSection(&DpramLock);
  return b & 0xFF;
}

int SlotOfBase(uint32_t SlotBase) {
  for (int s = 0; s < kOceloSlots; ++s)
    if (SlotBases[s] == SlotBase) return s;
  return -1;
}

unsigned CommandCount(int Slot) { return CommandSeq[Slot & 7].load(); }

void CommandTaken(int Slot, unsigned Seq) {
  EnterCriticalSection(&TriggerLock);
  if (CommandSeq[Slot & 7].load() == Seq) CommandUnread[Slot & 7].store(false);
  LeaveCriticalSection(&TriggerLock);
}

// A write of the command byte keeps its distance from an unread command to
// the same board, whoever writes it (Trigger186Int, the unload, or the
// application through this function).
void DPRAMWriteByte(uint32_t SlotBase, uint16_t WriteAddr, uint8_t Data) {
  const bool command = (WriteAddr & 0x1FFF) == kCommandByte;
  const int slot = command ? SlotOfBase(SlotBase) : -1;
  if (slot >= 0) {
    EnterCriticalSection(&TriggerLock);
    if (CommandUnread[slot].load()) Sleep(1);
  }
  EnterCriticalSection(&DpramLock);
  WritePage(SlotBase, WriteAddr);
  IoWriteByte(WindowOf(SlotBase, WriteAddr), Data);
  LeaveCriticalSection(&DpramLock);
  if (slot >= 0) {
    // Trigger186Int clears the mark again after its 2 ms pause.
    CommandUnread[slot].store(true);
    CommandSeq[slot].fetch_add(1);
    LeaveCriticalSection(&TriggerLock);
  }
}

uint8_t DpramReadUnlocked(uint32_t SlotBase, uint16_t Addr) {
  WritePage(SlotBase, Addr);
  return IoReadByte(WindowOf(SlotBase, Addr));
}

void DpramWriteUnlocked(uint32_t SlotBase, uint16_t Addr, uint8_t Data) {
  WritePage(SlotBase, Addr);
  IoWriteByte(WindowOf(SlotBase, Addr), Data);
}

uint16_t DPRAMReadShort(uint32_t SlotBase, uint16_t ReadAddr) {
  const uint16_t high = static_cast<uint16_t>(ReadAddr + 1);
  EnterCriticalSection(&DpramLock);
  WritePage(SlotBase, ReadAddr);
  uint8_t lo = IoReadByte(WindowOf(SlotBase, ReadAddr));
  if ((ReadAddr & 31) == 31) WritePage(SlotBase, high);
  uint8_t hi = IoReadByte(WindowOf(SlotBase, high));
  LeaveCriticalSection(&DpramLock);
  return static_cast<uint16_t>(lo | hi << 8);
}

void DPRAMWriteShort(uint32_t SlotBase, uint16_t WriteAddr, uint16_t Data) {
  const uint16_t high = static_cast<uint16_t>(WriteAddr + 1);
  EnterCriticalSection(&DpramLock);
  WritePage(SlotBase, WriteAddr);
  IoWriteByte(WindowOf(SlotBase, WriteAddr), static_cast<uint8_t>(Data & 0xFF));
  if ((WriteAddr & 31) == 31) WritePage(SlotBase, high);
  IoWriteByte(WindowOf(SlotBase, high), static_cast<uint8_t>(Data >> 8));
  LeaveCriticalSection(&DpramLock);
}

void DPRAMMultiRead(uint32_t SlotBase, uint16_t StartAddr, uint16_t DataNum, uint8_t* DataBuf) {
  EnterCriticalSection(&DpramLock);
  uint16_t addr = StartAddr;
  for (uint16_t i = 0; i < DataNum; ++i, ++addr) {
    // The page register changes only at the first byte and at page starts.
    if (i == 0 || (addr & 31) == 0) WritePage(SlotBase, addr);
    DataBuf[i] = IoReadByte(WindowOf(SlotBase, addr));
  }
  LeaveCriticalSection(&DpramLock);
}

void DPRAMMultiWrite(uint32_t SlotBase, uint16_t StartAddr, uint16_t DataNum, uint8_t* DataBuf) {
  EnterCriticalSection(&DpramLock);
  uint16_t addr = StartAddr;
  for (uint16_t i = 0; i < DataNum; ++i, ++addr) {
    if (i == 0 || (addr & 31) == 0) WritePage(SlotBase, addr);
    IoWriteByte(WindowOf(SlotBase, addr), DataBuf[i]);
  }
  LeaveCriticalSection(&DpramLock);
}

void Trigger186Int(uint32_t SlotBase, uint8_t Command, uint8_t NoWait) {
  EnterCriticalSection(&TriggerLock);
  DPRAMWriteByte(SlotBase, kCommandByte, Command);
  if (NoWait == 0) {
    Sleep(2);  // the firmware has read the byte by now
    const int slot = SlotOfBase(SlotBase);
    if (slot >= 0) CommandUnread[slot].store(false);
  }
  LeaveCriticalSection(&TriggerLock);
}

int ReadCheckedByte(uint32_t SlotBase, uint16_t Addr, uint8_t* Value) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    uint16_t pair = DPRAMReadShort(SlotBase, Addr);
    uint8_t b = static_cast<uint8_t>(pair & 0xFF);
    uint8_t c = static_cast<uint8_t>(pair >> 8);
    if (b + c == 255) {
      *Value = b;
      return 0;
    }
  }
  return 43;
}

int WriteCheckedByte(uint32_t SlotBase, uint16_t Addr, uint8_t Value) {
  const uint8_t complement = static_cast<uint8_t>(~Value & 0xFF);
  const uint16_t compAddr = static_cast<uint16_t>(Addr + 1);
  for (int attempt = 0; attempt < 3; ++attempt) {
    // Complement first: a board that posts its next event as soon as the
    // byte reads 0 never finds the old complement beside it.
    DPRAMWriteByte(SlotBase, compAddr, complement);
    DPRAMWriteByte(SlotBase, Addr, Value);
    uint16_t pair = DPRAMReadShort(SlotBase, Addr);
    uint8_t b = static_cast<uint8_t>(pair & 0xFF);
    uint8_t c = static_cast<uint8_t>(pair >> 8);
    if (b == Value && c == complement) return 0;
    // After a clear, a valid non-zero pair is the board's next event: it
    // arrived after the clear, and clearing again would lose it.
    if (Value == 0 && b != 0 && b + c == 255) return 0;
  }
  return 42;
}
