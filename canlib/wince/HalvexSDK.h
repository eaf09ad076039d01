// HalvexSDK: the controller's platform library for slot I/O on Windows CE.
// The library only uses these three functions; board register k of a slot is
// reached at GetSlotAddr(slot) + 2 * k.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

uint32_t GetSlotAddr(int slot);
void IoWriteByte(uint32_t address, uint8_t value);
uint8_t IoReadByte(uint32_t address);

#ifdef __cplusplus
}
#endif
