/*
 * OceloProtocol.h - the board protocol shared by both deliverables and by the
 * simulated board: DPRAM map, commands, events, the bit-rate table, the
 * configuration block and the receive and transmit records.
 *
 * Pure functions over byte buffers; nothing here touches a board.
 */
#ifndef OCELO_PROTOCOL_H
#define OCELO_PROTOCOL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Board registers on the slot bus ------------------------------------ */
#define OCELO_REG_PAGE 1          /* write: DPRAM address bits 5 to 12 */
#define OCELO_REG_WINDOW 32       /* 32 + n: byte n of the current page */
#define OCELO_REG_WINDOW_LAST 63
#define OCELO_PAGE_SIZE 32
#define OCELO_DPRAM_SIZE 8192

/* ---- DPRAM map ----------------------------------------------------------- */
#define OCELO_DP_ZONE0 0          /* receive zone 0: 64 records of 21 bytes */
#define OCELO_DP_ZONE1 1344       /* receive zone 1 */
#define OCELO_DP_TXRING 2688      /* transmit ring: 256 slots of 13 bytes */
#define OCELO_DP_TXRING_END 6016  /* first address past the ring */
#define OCELO_DP_CONFIG 6016      /* configuration block, 11 bytes */
#define OCELO_DP_BAUDIDX 6016     /* bit-rate index 0..11, 12 = BT0/BT1 */
#define OCELO_DP_BT0 6017
#define OCELO_DP_BT1 6018
#define OCELO_DP_ACCCODE 6019     /* 32 bits, little-endian */
#define OCELO_DP_ACCMASK 6023     /* 32 bits, little-endian */
#define OCELO_DP_CANSTAT 6027     /* CAN status, complement at 6028 */
#define OCELO_DP_BUFSTAT 6029     /* buffer status, complement at 6030 */
#define OCELO_DP_EVENT 8177       /* event code for a polling host, complement at 8178 */
#define OCELO_DP_RXCOUNT0 8179    /* records waiting in zone 0 (8180: zone 1) */
#define OCELO_DP_READY 8183       /* ready word, 0xFF00 once configured */
#define OCELO_DP_TXACK 8185       /* 102 once a transmit request is taken */
#define OCELO_DP_INTCODE 8190     /* interrupt code to the host (high nibble) */
#define OCELO_DP_COMMAND 8191     /* command byte; writing it interrupts the board */

#define OCELO_CONFIG_SIZE 11
#define OCELO_REC_SIZE 21         /* receive record */
#define OCELO_ZONE_RECORDS 64
#define OCELO_ZONE_SIZE 1344      /* 64 * 21 */
#define OCELO_TX_SLOT_SIZE 13     /* transmit ring slot */
#define OCELO_TX_SLOTS 256
#define OCELO_READY_VALUE 0xFF00u
#define OCELO_TXACK_VALUE 102
#define OCELO_BUF_TXBLOCKED 0x20  /* buffer status bit: transmission blocked */

/* ---- Commands (host writes them to OCELO_DP_COMMAND) ---------------------- */
#define OCELO_CMD_TRANSMIT 1
#define OCELO_CMD_SETBAUD 2
#define OCELO_CMD_SETMASK 3
#define OCELO_CMD_START 4
#define OCELO_CMD_RELEASE 6
#define OCELO_CMD_RESET_BOOKS 8
#define OCELO_CMD_ZONE_TAKEN 9
#define OCELO_CMD_SYSRESET_IRQ 10   /* answer with interrupt code 64 */
#define OCELO_CMD_CLEAR_STATUS 11
#define OCELO_CMD_SYSRESET_POLL 12  /* answer with event 64 in the event byte */
#define OCELO_CMD_NEXT_BATCH 13
#define OCELO_CMD_HOST_GONE 80

/* ---- Events (board to host, high nibble of the code) ----------------------- */
#define OCELO_EV_RX 16
#define OCELO_EV_CANSTAT 32
#define OCELO_EV_BUFSTAT 48
#define OCELO_EV_RESET 64
#define OCELO_EV_READY 80
#define OCELO_EV_TXACK 96

/* ---- Bit rates --------------------------------------------------------------- */
#define OCELO_BAUD_USER 12          /* index that selects the user timing bytes */
extern const unsigned long BaudMap[12];

/* Row of BaudMap holding Baud, or OCELO_BAUD_USER when the rate is not in it. */
int OceloBaudIndex(unsigned long Baud);

/* Fill the 11-byte configuration block: index, BT0, BT1, code and mask (each
 * little-endian).  BT0/BT1 are forced to 0 for a table rate.  Returns the
 * index written. */
int OceloBuildConfig(unsigned char *TempStr, unsigned long Baud, unsigned char BT0, unsigned char BT1,
                     unsigned long AccCode, unsigned long AccMask);

/* Read back the 3 bit-rate bytes: a table index gives the rate and 0, 0; the
 * user index (or anything above it) gives rate 0 and the two timing bytes. */
void OceloDecodeBaud(const unsigned char *ReadBack, unsigned long *Baud, unsigned char *BT0,
                     unsigned char *BT1);

void OceloPutLE32(unsigned char *Dst, uint32_t Value);
uint32_t OceloGetLE32(const unsigned char *Src);

/* A status byte counts only when it and its complement add up to 255. */
int OceloStatusPairValid(unsigned char Value, unsigned char Complement);

/* ---- Records ----------------------------------------------------------------- */

/* Decode a 21-byte receive record.  Data is written only for a data frame
 * (DataLen bytes, DataLen clamped to 8).  Any output may be NULL. */
void OceloDecodeRxRecord(const unsigned char *Rec, unsigned char *Mode, unsigned long *MsgID,
                         unsigned char *RTR, unsigned char *DataLen, unsigned char *Data,
                         unsigned long *UpperTime, unsigned long *LowerTime);

/* Encode a transmit record (the first 13 bytes of a receive record) into
 * CmdBuf (at least 13 bytes).  DataLen is clamped to 8; Data is not read for
 * a remote frame.  Returns the number of bytes used (NumOfCmdBytes). */
unsigned int OceloEncodeTxRecord(unsigned char *CmdBuf, unsigned char Mode, unsigned long MsgID,
                                 unsigned char RTR, unsigned char DataLen, const unsigned char *Data);

/* Encode a full 21-byte receive record (the board's side; unused bytes 0). */
void OceloEncodeRxRecord(unsigned char *Rec, unsigned char Mode, unsigned long MsgID, unsigned char RTR,
                         unsigned char DataLen, const unsigned char *Data, uint32_t UpperTime,
                         uint32_t LowerTime);

/* Transmit ring address after Addr: +13, back to the start at the end. */
unsigned int OceloNextTxAddr(unsigned int Addr);

#ifdef __cplusplus
}
#endif

#endif /* OCELO_PROTOCOL_H */
