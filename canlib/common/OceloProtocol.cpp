// Board protocol helpers shared by both deliverables and the simulated board.
#include "OceloProtocol.h"

#include <cstring>

extern "C" {

const unsigned long BaudMap[12] = {5000,   10000,  20000,  25000,  50000,  100000,
                                   125000, 200000, 250000, 500000, 800000, 1000000};

int OceloBaudIndex(unsigned long Baud)
{
    for (int i = 0; i < 12; ++i)
        if (BaudMap[i] == Baud)
            return i;
    return OCELO_BAUD_USER;
}

void OceloPutLE32(unsigned char *Dst, uint32_t Value)
{
    Dst[0] = static_cast<unsigned char>(Value & 0xFF);
    Dst[1] = static_cast<unsigned char>((Value >> 8) & 0xFF);
    Dst[2] = static_cast<unsigned char>((Value >> 16) & 0xFF);
    Dst[3] = static_cast<unsigned char>((Value >> 24) & 0xFF);
}

uint32_t OceloGetLE32(const unsigned char *Src)
{
    return static_cast<uint32_t>(Src[0]) | (static_cast<uint32_t>(Src[1]) << 8) |
           (static_cast<uint32_t>(Src[2]) << 16) | (static_cast<uint32_t>(Src[3]) << 24);
}

int OceloBuildConfig(unsigned char *TempStr, unsigned long Baud, unsigned char BT0, unsigned char BT1,
                     unsigned long AccCode, unsigned long AccMask)
{
    int index = OceloBaudIndex(Baud);
    TempStr[0] = static_cast<unsigned char>(index);
    TempStr[1] = index == OCELO_BAUD_USER ? BT0 : 0;
    TempStr[2] = index == OCELO_BAUD_USER ? BT1 : 0;
    OceloPutLE32(TempStr + 3, static_cast<uint32_t>(AccCode));
    OceloPutLE32(TempStr + 7, static_cast<uint32_t>(AccMask));
    return index;
}

void OceloDecodeBaud(const unsigned char *ReadBack, unsigned long *Baud, unsigned char *BT0,
                     unsigned char *BT1)
{
    if (ReadBack[0] < OCELO_BAUD_USER) {
        *Baud = BaudMap[ReadBack[0]];
        *BT0 = 0;
        *BT1 = 0;
    } else {
        *Baud = 0;
        *BT0 = ReadBack[1];
        *BT1 = ReadBack[2];
    }
}

int OceloStatusPairValid(unsigned char Value, unsigned char Complement)
{
    return Value + Complement == 255;
}

void OceloDecodeRxRecord(const unsigned char *Rec, unsigned char *Mode, unsigned long *MsgID,
                         unsigned char *RTR, unsigned char *DataLen, unsigned char *Data,
                         unsigned long *UpperTime, unsigned long *LowerTime)
{
    const unsigned char info = Rec[0];
    const bool ext = (info & 0x80) != 0;
    const bool rtr = (info & 0x40) != 0;
    unsigned char len = info & 0x0F;
    if (len > 8)
        len = 8;
    unsigned long id;
    unsigned first;
    if (ext) {
        uint32_t raw = (static_cast<uint32_t>(Rec[1]) << 24) | (static_cast<uint32_t>(Rec[2]) << 16) |
                       (static_cast<uint32_t>(Rec[3]) << 8) | Rec[4];
        id = raw >> 3;
        first = 5;
    } else {
        id = static_cast<unsigned long>(Rec[1]) * 8u + (Rec[2] >> 5);
        first = 3;
    }
    if (Mode)
        *Mode = ext ? 1 : 0;
    if (MsgID)
        *MsgID = id;
    if (RTR)
        *RTR = rtr ? 1 : 0;
    if (DataLen)
        *DataLen = len;
    if (Data && !rtr && len)
        std::memcpy(Data, Rec + first, len);
    if (UpperTime)
        *UpperTime = OceloGetLE32(Rec + 13);
    if (LowerTime)
        *LowerTime = OceloGetLE32(Rec + 17);
}

unsigned int OceloEncodeTxRecord(unsigned char *CmdBuf, unsigned char Mode, unsigned long MsgID,
                                 unsigned char RTR, unsigned char DataLen, const unsigned char *Data)
{
    if (DataLen > 8)
        DataLen = 8;
    unsigned int n;
    if (Mode) {
        CmdBuf[0] = static_cast<unsigned char>((RTR ? 0xC0 : 0x80) + DataLen);
        CmdBuf[1] = static_cast<unsigned char>((MsgID >> 21) & 0xFF);
        CmdBuf[2] = static_cast<unsigned char>((MsgID >> 13) & 0xFF);
        CmdBuf[3] = static_cast<unsigned char>((MsgID >> 5) & 0xFF);
        CmdBuf[4] = static_cast<unsigned char>((MsgID << 3) & 0xFF);
        n = 5;
    } else {
        CmdBuf[0] = static_cast<unsigned char>((RTR ? 0x40 : 0x00) + DataLen);
        CmdBuf[1] = static_cast<unsigned char>((MsgID >> 3) & 0xFF);
        CmdBuf[2] = static_cast<unsigned char>((MsgID << 5) & 0xFF);
        n = 3;
    }
    if (!RTR && DataLen) {
        std::memcpy(CmdBuf + n, Data, DataLen);
        n += DataLen;
    }
    return n;
}

void OceloEncodeRxRecord(unsigned char *Rec, unsigned char Mode, unsigned long MsgID, unsigned char RTR,
                         unsigned char DataLen, const unsigned char *Data, uint32_t UpperTime,
                         uint32_t LowerTime)
{
    std::memset(Rec, 0, OCELO_REC_SIZE);
    OceloEncodeTxRecord(Rec, Mode, MsgID, RTR, DataLen, Data);
    OceloPutLE32(Rec + 13, UpperTime);
    OceloPutLE32(Rec + 17, LowerTime);
}

unsigned int OceloNextTxAddr(unsigned int Addr)
{
    Addr += OCELO_TX_SLOT_SIZE;
    if (Addr >= OCELO_DP_TXRING_END)
        Addr = OCELO_DP_TXRING;
    return Addr;
}

} // extern "C"
