/* Simulated slot library (see SlotSim.h). */
#include "SlotSim.h"

#include "BoardSim.h"
#include "slot.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

int slot_fd[8] = {-1, -1, -1, -1, -1, -1, -1, -1};

/* Descriptors of the simulated slot devices and the registered signals.
 * Read in ioctl, which may run inside a signal handler: atomics only. */
static int sim_fd[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
static int sim_sig[8];

static void RaiseInterrupt(int Slot, void *Ctx)
{
    (void)Ctx;
    if (Slot < 0 || Slot > 7)
        return;
    int sig = __atomic_load_n(&sim_sig[Slot], __ATOMIC_ACQUIRE);
    if (sig > 0)
        kill(getpid(), sig);
}

int SlotSimOpen(int Slot)
{
    if (Slot < 0 || Slot > 7)
        return -EINVAL;
    if (__atomic_load_n(&sim_fd[Slot], __ATOMIC_ACQUIRE) >= 0)
        return 0;
    int rc = BoardSimAttach(Slot);
    if (rc != 0)
        return rc;
    BoardSimSetIrqHandler(RaiseInterrupt, 0);
    int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    __atomic_store_n(&sim_sig[Slot], 0, __ATOMIC_RELEASE);
    __atomic_store_n(&sim_fd[Slot], fd, __ATOMIC_RELEASE);
    slot_fd[Slot] = fd;
    return 0;
}

int SlotSimOpenAll(void)
{
    for (int s = 1; s < 8; ++s) {
        int rc = SlotSimOpen(s);
        if (rc != 0)
            return rc;
    }
    return 0;
}

void Close_SlotAll(void)
{
    for (int s = 0; s < 8; ++s) {
        int fd = __atomic_exchange_n(&sim_fd[s], -1, __ATOMIC_ACQ_REL);
        __atomic_store_n(&sim_sig[s], 0, __ATOMIC_RELEASE);
        if (fd >= 0)
            close(fd);
        slot_fd[s] = -1;
    }
}

static int SimSlotOf(int fd)
{
    if (fd < 0)
        return -1;
    for (int s = 0; s < 8; ++s)
        if (__atomic_load_n(&sim_fd[s], __ATOMIC_ACQUIRE) == fd)
            return s;
    return -1;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);

    int slot = SimSlotOf(fd);
    if (slot < 0)
        return (int)syscall(SYS_ioctl, fd, request, arg);
    if (!arg) {
        errno = EFAULT;
        return -1;
    }
    switch (request) {
    case SLOT_IOCTL_ID_READ_REG: {
        slot_reg_t *r = (slot_reg_t *)arg;
        r->value = BoardSimRegRead(slot, r->offset);
        return 0;
    }
    case SLOT_IOCTL_ID_WRITE_REG: {
        slot_reg_t *r = (slot_reg_t *)arg;
        BoardSimRegWrite(slot, r->offset, (unsigned char)(r->value & 0xFF));
        return 0;
    }
    case SLOT_IOCTL_ID_SET_SIG: {
        slot_signal_t *g = (slot_signal_t *)arg;
        /* Only this process, and only a real-time signal. */
        if (g->pid != getpid() || g->sid < SIGRTMIN || g->sid > SIGRTMAX) {
            errno = EINVAL;
            return -1;
        }
        __atomic_store_n(&sim_sig[slot], g->is ? g->sid : 0, __ATOMIC_RELEASE);
        return 0;
    }
    default:
        errno = ENOTTY;
        return -1;
    }
}
