// Transmit path on Windows CE: one record into the slot's transmit ring,
// command 1, and the wait for the board's acknowledgement byte.
#include "Ocelo.h"
#include "OceloCEState.h"
#include "OceloProtocol.h"

namespace {

constexpr int kAttempts = 10;
constexpr int kPollsPerAttempt = 101;
constexpr int kYieldsPerPoll = 10;
// Each retry makes the board take the next ring slot, so before a retry the
// wait goes on with millisecond pauses: a board that is only slow gets about
// 250 ms to answer (a board whose transmit queue is full answers only when a
// frame has left the bus, over 20 ms at the lowest bit rates; a host under
// load may not run its pollers for tens of milliseconds), a board that
// missed the command is asked again.
constexpr int kSlowPolls = 250;

bool Acknowledged(int Slot, uint32_t Base, unsigned Command) {
  if (DPRAMReadByte(Base, OCELO_DP_TXACK) != OCELO_TXACK_VALUE) return false;
  CommandTaken(Slot, Command);  // the board has read its command byte
  return true;
}

int Transmit(int Slot, uint32_t Base, unsigned char Mode, OceloULong MsgID, unsigned char RTR,
             unsigned char DataLen, unsigned char* Data) {
  uint8_t cmdBuf[30];
  const unsigned int numOfCmdBytes = OceloEncodeTxRecord(cmdBuf, Mode, MsgID, RTR, DataLen, Data);
  const uint16_t addr = TxMsgStartAddr[Slot].load();
  DPRAMMultiWrite(Base, addr, static_cast<uint16_t>(numOfCmdBytes), cmdBuf);
  TxMsgStartAddr[Slot].store(static_cast<uint16_t>(OceloNextTxAddr(addr)));

  // An acknowledgement left from the previous transmission must not count.
  DPRAMWriteByte(Base, OCELO_DP_TXACK, 0);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    Trigger186Int(Base, OCELO_CMD_TRANSMIT, 1);
    const unsigned command = CommandCount(Slot);
    for (int poll = 0; poll < kPollsPerAttempt; ++poll) {
      for (int y = 0; y < kYieldsPerPoll; ++y) Sleep(0);
      if (Acknowledged(Slot, Base, command)) return OCELO_OK;
    }
    for (int poll = 0; poll < kSlowPolls; ++poll) {
      Sleep(1);
      if (Acknowledged(Slot, Base, command)) return OCELO_OK;
    }
  }
  return OCELO_ERR_BOARD;
}

}  // namespace

int SendCANMsg(OceloSlot Slot, unsigned char Mode, OceloULong MsgID, unsigned char RTR,
               unsigned char DataLen, unsigned char* Data) {
  const int slot = SlotIndex(Slot);
  if (slot == 0) return OCELO_BAD_SLOT;
  if (RakInit[slot].load() == 0) return OCELO_NOT_INIT;
  // A data frame without its data bytes is refused before the board sees it.
  if (RTR == 0 && DataLen != 0 && Data == nullptr) return OCELO_ERR_BOARD;
  const uint32_t base = SlotBases[slot];

  // Transmission blocked?  Only a valid status pair is believed; otherwise
  // the last valid copy decides.
  uint16_t pair = DPRAMReadShort(base, OCELO_DP_BUFSTAT);
  if (OceloStatusPairValid(pair & 0xFF, pair >> 8)) BufStatus[slot].store(static_cast<uint8_t>(pair & 0xFF));
  if ((BufStatus[slot].load() & OCELO_BUF_TXBLOCKED) != 0) return OCELO_OVERFLOW;

  // One transmission at a time per slot: the ring position and the
  // acknowledgement byte belong to one request.
  EnterCriticalSection(&TxLock[slot]);
  const int rc = Transmit(slot, base, Mode, MsgID, RTR, DataLen, Data);
  LeaveCriticalSection(&TxLock[slot]);
  return rc;
}
