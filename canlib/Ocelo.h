/*
 * Ocelo.h - public interface of the Ocelo CAN board library.
 *
 * One header for both deliverables:
 *   - oceloLnx (Linux controllers): slot numbers everywhere, board registers
 *     reached through the slot driver, board interrupts as signal 40 + slot.
 *   - OceloCE (Windows CE controllers), selected with OCELO_WINCE: the six
 *     DPRAM functions take the slot's base address, plus Trigger186Int.
 *
 * Every board function returns one of the OCELO_* result codes below.
 * Call order: OceloInit per slot, then any mix of the other functions,
 * then RecoverOcelo (Linux) or unloading the library (Windows CE).
 */
#ifndef OCELO_H
#define OCELO_H

#include <stdint.h>

#ifndef OCELO_API
#define OCELO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of the board functions. */
#define OCELO_OK 0            /* success */
#define OCELO_ERR_BOARD 21    /* board did not confirm / set-up step failed */
#define OCELO_NO_MSG 22       /* GetCANMsg: no message waiting */
#define OCELO_OVERFLOW 23     /* overflow reported, or transmission blocked */
#define OCELO_BAD_SLOT 27     /* slot outside 1 to 7 */
#define OCELO_NOT_INIT 28     /* slot not initialised */

#define OCELO_MAX_SLOTS 8     /* per-slot arrays; entry 0 is never used */

#ifdef OCELO_WINCE
/* Windows CE: 32-bit words, slot number taken from its low 8 bits. */
typedef uint32_t OceloULong;
typedef uint32_t OceloSlot;
#else
typedef unsigned long OceloULong;
typedef unsigned char OceloSlot;
#endif

/* ---- Set-up and configuration ---------------------------------------- */
OCELO_API int OceloInit(OceloSlot Slot, OceloULong CANBaud, unsigned char BT0, unsigned char BT1,
                        OceloULong CAN_AccCode, OceloULong CAN_Mask);
OCELO_API int ResetOcelo(OceloSlot Slot);
OCELO_API int SetCANBaud(OceloSlot Slot, OceloULong Baud, unsigned char BT0, unsigned char BT1);
OCELO_API int GetCANBaud(OceloSlot Slot, OceloULong *Baud, unsigned char *BT0, unsigned char *BT1);
OCELO_API int SetCANMask(OceloSlot Slot, OceloULong AccCode, OceloULong AccMask);
OCELO_API int GetCANMask(OceloSlot Slot, OceloULong *AccCode, OceloULong *AccMask);

/* ---- Status ------------------------------------------------------------ */
OCELO_API int ClearStatus(OceloSlot Slot);
OCELO_API int GetStatus(OceloSlot Slot, unsigned char *CANReg, unsigned char *OverflowFlag);

/* ---- Messages ------------------------------------------------------------
 * Mode: 0 standard (11-bit), 1 extended (29-bit).  RTR: 1 remote frame.
 * DataLen 0 to 8 (larger values are sent and reported as 8).            */
OCELO_API int GetCANMsg(OceloSlot Slot, unsigned char *Mode, OceloULong *MsgID, unsigned char *RTR,
                        unsigned char *DataLen, unsigned char *Data, OceloULong *UpperTime,
                        OceloULong *LowerTime);
OCELO_API int SendCANMsg(OceloSlot Slot, unsigned char Mode, OceloULong MsgID, unsigned char RTR,
                         unsigned char DataLen, unsigned char *Data);

/* ---- Raw DPRAM access (addresses 0 to 8191) ------------------------------ */
#ifdef OCELO_WINCE
OCELO_API unsigned char DPRAMReadByte(uint32_t SlotBase, uint16_t ReadAddr);
OCELO_API void DPRAMWriteByte(uint32_t SlotBase, uint16_t WriteAddr, unsigned char Data);
OCELO_API uint16_t DPRAMReadShort(uint32_t SlotBase, uint16_t ReadAddr);
OCELO_API void DPRAMWriteShort(uint32_t SlotBase, uint16_t WriteAddr, uint16_t Data);
OCELO_API void DPRAMMultiRead(uint32_t SlotBase, uint16_t StartAddr, uint16_t DataNum, unsigned char *DataBuf);
OCELO_API void DPRAMMultiWrite(uint32_t SlotBase, uint16_t StartAddr, uint16_t DataNum, unsigned char *DataBuf);
OCELO_API void Trigger186Int(uint32_t SlotBase, unsigned char Command, unsigned char NoWait);
#else
OCELO_API unsigned char DPRAMReadByte(int Slot, unsigned int ReadAddr);
OCELO_API void DPRAMWriteByte(int Slot, unsigned int WriteAddr, unsigned char Data);
OCELO_API unsigned int DPRAMReadShort(int Slot, unsigned int ReadAddr);
OCELO_API void DPRAMWriteShort(int Slot, unsigned int WriteAddr, unsigned int Data);
OCELO_API void DPRAMMultiRead(int Slot, unsigned int StartAddr, unsigned int DataNum, unsigned char *DataBuf);
OCELO_API void DPRAMMultiWrite(int Slot, unsigned int StartAddr, unsigned int DataNum, unsigned char *DataBuf);
#endif

#ifndef OCELO_WINCE
/* ---- Linux only ---------------------------------------------------------- */
OCELO_API void RecoverOcelo(void);
OCELO_API void RakCAN_ISR(int IntSingal);
OCELO_API void TimerReset(void);
OCELO_API int TimerCheck(int CntDown);

/* Exported library state (read it; do not write it). */
extern unsigned char RakInit[8];
extern unsigned char RakCANSystemReset[8];
extern unsigned char CANStatus[8];
extern unsigned char BufStatus[8];
extern unsigned char StoreMsgNum[8];
extern unsigned char CANRdCnt[8];
extern unsigned char DPStartToReadIndex[8];
extern int RequistAllow[8];
extern int TxGetAck[8];
extern unsigned char CANReadMsg[8][1344];
extern unsigned char SizeArray[256];
extern unsigned char ArrCnt;
/* Next transmit ring address after the latest transmission, OceloInit or
 * ResetOcelo (2688 after the last two).  The library keeps each slot's ring
 * position of its own, so that every board stays in step with its ring;
 * this word shows the position of the slot used last. */
extern unsigned int TxMsgStartAddr;
extern unsigned int DPZoneBase[2];
#endif

#ifdef __cplusplus
}
#endif

#endif /* OCELO_H */
