// Library-wide state of the Windows CE back-end, shared by its parts: DPRAM
// access, board management, the polling thread, the transmit path and the
// DLL entry.  Nothing here is exported from the DLL.
#pragma once

#include <atomic>
#include <cstdint>

#include "CeCore.h"

inline constexpr int kOceloSlots = 8;
// One software receive buffer: 64 records of 21 bytes.
inline constexpr int kRxRecordBytes = 21;
inline constexpr int kRxBufferRecords = 64;
inline constexpr int kRxBufferBytes = kRxRecordBytes * kRxBufferRecords;
// Priority of the polling thread on the Windows CE scale.
inline constexpr int kPollThreadPriority = 113;

// Serialises every DPRAM access of all slots.
extern CRITICAL_SECTION DpramLock;
// Serialises command writes and the pause after them; always taken before
// DpramLock.
extern CRITICAL_SECTION TriggerLock;
extern uint32_t SlotBases[kOceloSlots];
// Per slot: the polling thread's handling of a slot and ResetOcelo exclude
// each other (SlotLock); transmissions on a slot follow each other (TxLock).
// Lock order: TxLock or SlotLock, then TriggerLock, then DpramLock.
extern CRITICAL_SECTION SlotLock[kOceloSlots];
extern CRITICAL_SECTION TxLock[kOceloSlots];

// The board has one command byte, which its firmware reads a while after
// each write (about 200 us); a command written sooner replaces the unread
// one.  A command sent without the 2 ms pause leaves its board "busy" until
// the board has visibly taken it; the next command to that board then waits
// 1 ms first.  CommandCount and CommandTaken as in DPRAMWriteByte's notes.
unsigned CommandCount(int Slot);
void CommandTaken(int Slot, unsigned Seq);
// Slot (0 to 7) whose base address this is, or -1.
int SlotOfBase(uint32_t SlotBase);
// One DPRAM byte without any lock, for the unload of an ending process whose
// other threads the system has already stopped (they may hold a lock).
uint8_t DpramReadUnlocked(uint32_t SlotBase, uint16_t Addr);
void DpramWriteUnlocked(uint32_t SlotBase, uint16_t Addr, uint8_t Data);

extern HANDLE PollThreadHandle;
extern DWORD PollThreadId;
// Set by the unload to make the polling thread finish its slot and end.
extern std::atomic<bool> PollStop;

// Per-slot state shared between the exports and the polling thread.
extern std::atomic<uint32_t> RakInit[kOceloSlots];
extern std::atomic<uint32_t> RakCANSystemReset[kOceloSlots];
extern std::atomic<uint8_t> CANStatus[kOceloSlots];
extern std::atomic<uint8_t> BufStatus[kOceloSlots];
extern std::atomic<uint8_t> DPStartToReadIndex[kOceloSlots];
// The receive buffer's two counters in one word, so that a new batch is
// published in one store: StoreMsgNum (records in the buffer) in the high
// byte, CANRdCnt (records already handed out) in the low byte.  The buffer
// is empty when the two are equal.
extern std::atomic<uint16_t> RxCounts[kOceloSlots];
// The slot's 1344-byte receive buffer, allocated by the first OceloInit of
// the slot, reused by later ones and freed at unload.
extern std::atomic<uint8_t*> CANReadMsg[kOceloSlots];
// GetCANMsg calls of the slot between their look at the counters and the
// end of their copy; the polling thread fills the buffer only while this is
// 0 and the buffer is empty.
extern std::atomic<int> RxReaders[kOceloSlots];

// The next transmit ring slot of each board.  Every board takes its records
// from consecutive slots of its own ring, so each slot keeps its own position
// (2688 after OceloInit and ResetOcelo of that slot).
extern std::atomic<uint16_t> TxMsgStartAddr[kOceloSlots];
extern std::atomic<uint16_t> DPZoneBase[2];

inline uint8_t StoreMsgNum(uint16_t counts) { return static_cast<uint8_t>(counts >> 8); }
inline uint8_t CANRdCnt(uint16_t counts) { return static_cast<uint8_t>(counts & 0xFF); }
inline uint16_t RxCountsOf(uint8_t storeMsgNum, uint8_t rdCnt) {
  return static_cast<uint16_t>(storeMsgNum << 8 | rdCnt);
}
inline bool RxBufferEmpty(int slot) {
  uint16_t c = RxCounts[slot].load();
  return StoreMsgNum(c) == CANRdCnt(c);
}

// Status byte guarded by its ones' complement at address + 1: 0 and the byte,
// or 43 after three reads that do not add up to 255.
int ReadCheckedByte(uint32_t SlotBase, uint16_t Addr, uint8_t* Value);
// Writes the byte and its complement and reads both back: 0, or 42 after
// three failed verifications.
int WriteCheckedByte(uint32_t SlotBase, uint16_t Addr, uint8_t Value);

// Slot number from the low 8 bits of the argument; 0 for a slot outside 1 to 7.
inline int SlotIndex(uint32_t Slot) {
  uint8_t s = static_cast<uint8_t>(Slot & 0xFF);
  return (s >= 1 && s <= 7) ? s : 0;
}

DWORD WINAPI OceloPollThread(LPVOID Param);
// Set by the polling thread as its last step.
extern std::atomic<bool> PollDone;

// The DLL entry's work (the entry function itself is DllMain).
BOOL OceloProcessAttach();
// ProcessEnding: the whole process ends and the system has already stopped
// the polling thread (Windows), so there is nothing to wait for.
BOOL OceloProcessDetach(bool ProcessEnding = false);
