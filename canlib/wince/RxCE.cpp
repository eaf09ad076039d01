// Receive path on Windows CE: the polling thread that serves the initialised
// slots' event bytes, and GetCANMsg.
#include <cstring>

#include "Ocelo.h"
#include "OceloCEState.h"
#include "OceloProtocol.h"

namespace {

constexpr int kCountReads = 11;
constexpr int kStatusReads = 11;
// GetCANMsg tries again only when another caller took the same record.
constexpr int kTakeTries = 8;

bool RxBufferFree(int Slot) {
  return RxBufferEmpty(Slot) && RxReaders[Slot].load() == 0;
}

// Takes the batch of the current zone into the slot's empty buffer and
// publishes it with one store of both counters.
void TakeBatch(int Slot, uint32_t SlotBase, uint8_t* Buffer) {
  const uint8_t zone = DPStartToReadIndex[Slot].load();
  uint8_t count = 0;
  for (int i = 0; i < kCountReads && count == 0; ++i)
    count = DPRAMReadByte(SlotBase, static_cast<uint16_t>(OCELO_DP_RXCOUNT0 + zone));
  if (count >= 1 && count <= OCELO_ZONE_RECORDS) {
    DPRAMMultiRead(SlotBase, DPZoneBase[zone].load(),
                   static_cast<uint16_t>(count * OCELO_REC_SIZE), Buffer);
    DPStartToReadIndex[Slot].store(zone ^ 1);
    RxCounts[Slot].store(RxCountsOf(count, 0), std::memory_order_release);
  }
  Trigger186Int(SlotBase, OCELO_CMD_ZONE_TAKEN, 0);
}

void RereadStatus(uint32_t SlotBase, uint16_t Addr, std::atomic<uint8_t>& Copy) {
  for (int i = 0; i < kStatusReads; ++i) {
    uint16_t pair = DPRAMReadShort(SlotBase, Addr);
    if (OceloStatusPairValid(pair & 0xFF, pair >> 8)) {
      Copy.store(static_cast<uint8_t>(pair & 0xFF));
      return;
    }
  }
}

enum class Visit { Idle, Answered, Handled };

// One visit of an initialised slot, under the slot's lock (ResetOcelo
// restarts the zones and counters only between two visits).
Visit ServeSlotLocked(int Slot, uint8_t* Buffer) {
  const uint32_t base = SlotBases[Slot];
  if (RxBufferEmpty(Slot)) Trigger186Int(base, OCELO_CMD_NEXT_BATCH, 0);

  uint8_t event = 0;
  if (ReadCheckedByte(base, OCELO_DP_EVENT, &event) != 0 || event < OCELO_EV_RX) return Visit::Idle;
  if (event == OCELO_EV_READY) {
    // The event stays in the byte; command 9 acknowledges it.
    Trigger186Int(base, OCELO_CMD_ZONE_TAKEN, 0);
    return Visit::Answered;
  }
  if (event == OCELO_EV_RESET) {
    WriteCheckedByte(base, OCELO_DP_EVENT, 0);
    // RakInit first: OceloInit sets it again once it sees the reset.
    RakInit[Slot].store(0);
    RakCANSystemReset[Slot].store(1);
    return Visit::Answered;
  }
  if ((event & 0x10) != 0 && RxBufferFree(Slot)) TakeBatch(Slot, base, Buffer);
  if (event == OCELO_EV_CANSTAT) RereadStatus(base, OCELO_DP_CANSTAT, CANStatus[Slot]);
  if (event == OCELO_EV_BUFSTAT) RereadStatus(base, OCELO_DP_BUFSTAT, BufStatus[Slot]);
  WriteCheckedByte(base, OCELO_DP_EVENT, 0);
  return Visit::Handled;
}

void ServeSlot(int Slot, uint8_t* Buffer) {
  EnterCriticalSection(&SlotLock[Slot]);
  const Visit visit = RakInit[Slot].load() != 0 ? ServeSlotLocked(Slot, Buffer) : Visit::Answered;
  LeaveCriticalSection(&SlotLock[Slot]);
  // The pauses of the protocol: 3 ms when the slot had nothing, 1 ms after
  // each handled event.
  if (visit == Visit::Idle) Sleep(3);
  if (visit == Visit::Handled) Sleep(1);
}

}  // namespace

DWORD WINAPI OceloPollThread(LPVOID Param) {
  while (!PollStop.load()) {
    bool servedOne = false;
    for (int slot = 1; slot < kOceloSlots && !PollStop.load(); ++slot) {
      // RakInit is stored after the buffer (OceloInit), so a set flag means
      // the buffer exists; the check of the pointer is a second guard.
      uint8_t* buffer = RakInit[slot].load() != 0 ? CANReadMsg[slot].load() : nullptr;
      if (buffer == nullptr) {
        if (!servedOne) Sleep(5);
        continue;
      }
      servedOne = true;
      ServeSlot(slot, buffer);
    }
  }
  PollDone.store(true);
  return 0;
}

int GetCANMsg(OceloSlot Slot, unsigned char* Mode, OceloULong* MsgID, unsigned char* RTR,
              unsigned char* DataLen, unsigned char* Data, OceloULong* UpperTime,
              OceloULong* LowerTime) {
  const int slot = SlotIndex(Slot);
  if (slot == 0) return OCELO_BAD_SLOT;
  if (RakInit[slot].load() == 0) return OCELO_NOT_INIT;
  if (BufStatus[slot].load() != 0) return OCELO_OVERFLOW;
  const uint8_t* buffer = CANReadMsg[slot].load();
  if (buffer == nullptr) return OCELO_NO_MSG;

  uint8_t record[OCELO_REC_SIZE];
  bool taken = false;
  RxReaders[slot].fetch_add(1);
  for (int i = 0; i < kTakeTries && !taken; ++i) {
    uint16_t counts = RxCounts[slot].load();
    if (CANRdCnt(counts) >= StoreMsgNum(counts)) break;
    std::memcpy(record, buffer + CANRdCnt(counts) * OCELO_REC_SIZE, OCELO_REC_SIZE);
    taken = RxCounts[slot].compare_exchange_strong(counts, static_cast<uint16_t>(counts + 1));
  }
  RxReaders[slot].fetch_sub(1);
  if (!taken) return OCELO_NO_MSG;

  unsigned long msgId = 0;
  unsigned long upper = 0;
  unsigned long lower = 0;
  OceloDecodeRxRecord(record, Mode, &msgId, RTR, DataLen, Data, &upper, &lower);
  if (MsgID != nullptr) *MsgID = static_cast<OceloULong>(msgId);
  if (UpperTime != nullptr) *UpperTime = static_cast<OceloULong>(upper);
  if (LowerTime != nullptr) *LowerTime = static_cast<OceloULong>(lower);
  return OCELO_OK;
}
