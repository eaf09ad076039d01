// Board management on Windows CE: set-up, bit rate, acceptance filter,
// status and reset, through the slot's base address from HalvexSDK.
#include <cstring>

#include "Ocelo.h"
#include "OceloCEState.h"
#include "OceloProtocol.h"

std::atomic<uint32_t> RakInit[kOceloSlots];
std::atomic<uint32_t> RakCANSystemReset[kOceloSlots];
std::atomic<uint8_t> CANStatus[kOceloSlots];
std::atomic<uint8_t> BufStatus[kOceloSlots];
std::atomic<uint8_t> DPStartToReadIndex[kOceloSlots];
std::atomic<uint16_t> RxCounts[kOceloSlots];
std::atomic<uint8_t*> CANReadMsg[kOceloSlots];
std::atomic<int> RxReaders[kOceloSlots];
std::atomic<uint16_t> TxMsgStartAddr[kOceloSlots] = {
    OCELO_DP_TXRING, OCELO_DP_TXRING, OCELO_DP_TXRING, OCELO_DP_TXRING,
    OCELO_DP_TXRING, OCELO_DP_TXRING, OCELO_DP_TXRING, OCELO_DP_TXRING};
std::atomic<uint16_t> DPZoneBase[2] = {OCELO_DP_ZONE0, OCELO_DP_ZONE1};

namespace {

// Bounds of the set-up waits, in tries.
constexpr int kResetWaitSleeps = 51;
constexpr int kReadyReads = 11;
constexpr int kStatusReads = 11;

// Reads a status pair until it is valid: true and the byte, or false after
// Tries reads with a 1 ms pause after each miss.
bool ReadStatusPair(uint32_t SlotBase, uint16_t Addr, int Tries, uint8_t* Value) {
  for (int i = 0; i < Tries; ++i) {
    uint16_t pair = DPRAMReadShort(SlotBase, Addr);
    if (OceloStatusPairValid(pair & 0xFF, pair >> 8)) {
      *Value = static_cast<uint8_t>(pair & 0xFF);
      return true;
    }
    Sleep(1);
  }
  return false;
}

// Writes Size bytes of the configuration block at Addr and reads them back.
bool WriteConfigVerified(uint32_t SlotBase, uint16_t Addr, uint8_t* Bytes, uint16_t Size) {
  uint8_t readBack[OCELO_CONFIG_SIZE] = {};
  DPRAMMultiWrite(SlotBase, Addr, Size, Bytes);
  DPRAMMultiRead(SlotBase, Addr, Size, readBack);
  return std::memcmp(Bytes, readBack, Size) == 0;
}

// The slot's receive buffer: the one it already has, or a new one.
uint8_t* SlotBuffer(int Slot) {
  uint8_t* buffer = CANReadMsg[Slot].load();
  if (buffer == nullptr) {
    buffer = static_cast<uint8_t*>(malloc(kRxBufferBytes));
    if (buffer == nullptr) return nullptr;
    CANReadMsg[Slot].store(buffer);
  }
  return buffer;
}

void ClearRxBookkeeping(int Slot) {
  DPStartToReadIndex[Slot].store(0);
  RxCounts[Slot].store(0);
}

}  // namespace

int OceloInit(OceloSlot Slot, OceloULong CANBaud, unsigned char BT0, unsigned char BT1,
              OceloULong CAN_AccCode, OceloULong CAN_Mask) {
  const int slot = SlotIndex(Slot);
  if (slot == 0) return OCELO_BAD_SLOT;
  const uint32_t base = SlotBases[slot];
  TxMsgStartAddr[slot].store(OCELO_DP_TXRING);
  RakCANSystemReset[slot].store(0);

  // System reset.  An event left in the event byte from before (the board's
  // power-up notice 64, say) is stale: it is cleared before the command, so
  // that a 64 found after it is the board's answer.  That answer is left for
  // the polling thread: a board that restarts before this thread looks (or
  // a thread held up longer than the restart) would otherwise have its only
  // answer wiped and the wait below fail.  Any other event found after the
  // command is still stale and cleared.
  uint8_t event = 0;
  if (ReadCheckedByte(base, OCELO_DP_EVENT, &event) == 0 && event != 0)
    WriteCheckedByte(base, OCELO_DP_EVENT, 0);
  Trigger186Int(base, OCELO_CMD_SYSRESET_POLL, 0);
  if (ReadCheckedByte(base, OCELO_DP_EVENT, &event) == 0 && event != 0 && event != OCELO_EV_RESET)
    WriteCheckedByte(base, OCELO_DP_EVENT, 0);

  if (SlotBuffer(slot) == nullptr) {
    RakInit[slot].store(0);
    return OCELO_ERR_BOARD;
  }
  // From here the polling thread serves the slot and sees event 64.
  RakInit[slot].store(1);
  Sleep(100);
  for (int i = 0; i < kResetWaitSleeps && RakCANSystemReset[slot].load() == 0; ++i) Sleep(1);
  if (RakCANSystemReset[slot].load() == 0) {
    RakInit[slot].store(0);
    return OCELO_ERR_BOARD;
  }

  // Event 64 cleared RakInit, so the thread leaves the slot alone while its
  // bookkeeping starts afresh.
  DPZoneBase[0].store(OCELO_DP_ZONE0);
  DPZoneBase[1].store(OCELO_DP_ZONE1);
  ClearRxBookkeeping(slot);
  BufStatus[slot].store(0);
  CANStatus[slot].store(0);
  RakInit[slot].store(1);

  uint8_t tempStr[OCELO_CONFIG_SIZE];
  OceloBuildConfig(tempStr, CANBaud, BT0, BT1, CAN_AccCode, CAN_Mask);
  bool ok = WriteConfigVerified(base, OCELO_DP_CONFIG, tempStr, OCELO_CONFIG_SIZE);
  if (ok) {
    Trigger186Int(base, OCELO_CMD_START, 0);
    ok = false;
    for (int i = 0; i < kReadyReads; ++i) {
      if (DPRAMReadShort(base, OCELO_DP_READY) == OCELO_READY_VALUE) {
        ok = true;
        break;
      }
      Sleep(1);
    }
  }
  uint8_t status = 0;
  if (ok && (ok = ReadStatusPair(base, OCELO_DP_BUFSTAT, kStatusReads, &status))) BufStatus[slot].store(status);
  if (ok && (ok = ReadStatusPair(base, OCELO_DP_CANSTAT, kStatusReads, &status))) CANStatus[slot].store(status);
  if (!ok) {
    RakInit[slot].store(0);
    return OCELO_ERR_BOARD;
  }
  return OCELO_OK;
}

int SetCANBaud(OceloSlot Slot, OceloULong Baud, unsigned char BT0, unsigned char BT1) {
  const int slot = SlotIndex(Slot);
  if (slot == 0) return OCELO_BAD_SLOT;
  Sleep(50);
  uint8_t tempStr[OCELO_CONFIG_SIZE];
  OceloBuildConfig(tempStr, Baud, BT0, BT1, 0, 0);
  if (!WriteConfigVerified(SlotBases[slot], OCELO_DP_BAUDIDX, tempStr, 3)) return OCELO_ERR_BOARD;
  Trigger186Int(SlotBases[slot], OCELO_CMD_SETBAUD, 0);
  return OCELO_OK;
}

int GetCANBaud(OceloSlot Slot, OceloULong* Baud, unsigned char* BT0, unsigned char* BT1) {
  const int slot = SlotIndex(Slot);
  if (slot == 0) return OCELO_BAD_SLOT;
  uint8_t readBack[3];
  DPRAMMultiRead(SlotBases[slot], OCELO_DP_BAUDIDX, 3, readBack);
  unsigned long baud = 0;
  unsigned char bt0 = 0;
  unsigned char bt1 = 0;
  OceloDecodeBaud(readBack, &baud, &bt0, &bt1);
  if (Baud != nullptr) *Baud = static_cast<OceloULong>(baud);
  if (BT0 != nullptr) *BT0 = bt0;
  if (BT1 != nullptr) *BT1 = bt1;
  return OCELO_OK;
}

int SetCANMask(OceloSlot Slot, OceloULong AccCode, OceloULong AccMask) {
  const int slot = SlotIndex(Slot);
  if (slot == 0) return OCELO_BAD_SLOT;
  Sleep(50);
  uint8_t filter[8];
  OceloPutLE32(filter, AccCode);
  OceloPutLE32(filter + 4, AccMask);
  if (!WriteConfigVerified(SlotBases[slot], OCELO_DP_ACCCODE, filter, 8)) return OCELO_ERR_BOARD;
  Trigger186Int(SlotBases[slot], OCELO_CMD_SETMASK, 0);
  return OCELO_OK;
}

int GetCANMask(OceloSlot Slot, OceloULong* AccCode, OceloULong* AccMask) {
  const int slot = SlotIndex(Slot);
  if (slot == 0) return OCELO_BAD_SLOT;
  uint8_t readBack[8];
  DPRAMMultiRead(SlotBases[slot], OCELO_DP_ACCCODE, 8, readBack);
  if (AccCode != nullptr) *AccCode = OceloGetLE32(readBack);
  if (AccMask != nullptr) *AccMask = OceloGetLE32(readBack + 4);
  return OCELO_OK;
}

int ClearStatus(OceloSlot Slot) {
  const int slot = SlotIndex(Slot);
  if (slot == 0) return OCELO_BAD_SLOT;
  Trigger186Int(SlotBases[slot], OCELO_CMD_CLEAR_STATUS, 1);
  BufStatus[slot].store(0);
  Sleep(10);
  return OCELO_OK;
}

int GetStatus(OceloSlot Slot, unsigned char* CANReg, unsigned char* OverflowFlag) {
  const int slot = SlotIndex(Slot);
  if (slot == 0) return OCELO_BAD_SLOT;
  if (CANReg != nullptr) *CANReg = CANStatus[slot].load();
  if (OverflowFlag != nullptr) *OverflowFlag = BufStatus[slot].load();
  return OCELO_OK;
}

int ResetOcelo(OceloSlot Slot) {
  const int slot = SlotIndex(Slot);
  if (slot == 0) return OCELO_BAD_SLOT;
  const uint32_t base = SlotBases[slot];
  // Between two visits of the polling thread: a batch it is taking lands
  // either before the reset or not at all.
  EnterCriticalSection(&SlotLock[slot]);
  Trigger186Int(base, OCELO_CMD_RESET_BOOKS, 0);
  (void)WriteCheckedByte(base, OCELO_DP_EVENT, 0);
  ClearRxBookkeeping(slot);
  LeaveCriticalSection(&SlotLock[slot]);
  EnterCriticalSection(&TxLock[slot]);
  TxMsgStartAddr[slot].store(OCELO_DP_TXRING);
  LeaveCriticalSection(&TxLock[slot]);
  Sleep(10);
  return OCELO_OK;
}
