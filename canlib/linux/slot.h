/*
 * slot.h - the controller's slot library as the CAN library sees it.
 *
 * The application opens the slot devices through its slot library before
 * OceloInit; the library only uses slot_fd, Close_SlotAll and the three
 * ioctl requests below.
 */
#ifndef OCELO_SLOT_H
#define OCELO_SLOT_H

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

extern int slot_fd[8];
void Close_SlotAll(void);

/* Board register access: the driver reads register `offset` into `value`,
 * or writes the low byte of `value` to register `offset`. */
typedef struct {
    uint32_t id;
    uint32_t value;
    uint32_t page;
    uint32_t addr_size;
    uint32_t addr_first;
    uint32_t addr_second;
    uint32_t offset;
} slot_reg_t;

/* Interrupt registration: the driver sends signal `sid` to process `pid`
 * each time the board raises its interrupt. */
typedef struct {
    int sid;
    pid_t pid;
    void *task;
    int is;
    int edge;
    int bedge;
} slot_signal_t;

#define SLOT_IOCTL_ID_SET_SIG 0x80045701
#define SLOT_IOCTL_ID_READ_REG 0x80045702
#define SLOT_IOCTL_ID_WRITE_REG 0x80045703

#ifdef __cplusplus
}
#endif

#endif /* OCELO_SLOT_H */
