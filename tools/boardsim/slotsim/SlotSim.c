/* Simulated slot library (see SlotSim.h). */
#include "SlotSim.h"

#include "BoardSim.h"
#include "slot.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

int slot_fd[8] = {-1, -1, -1, -1, -1, -1, -1, -1};

/* Descriptors of the simulated slot devices and the registered signals.
 * Read in ioctl, which may run inside a signal handler: atomics only. */
static int sim_fd[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
static int sim_sig[8];
/* Lock files held on the slots of a bus shared with other processes. */
static int sim_lock[8] = {-1, -1, -1, -1, -1, -1, -1, -1};

/* The directory through which this process's bus meets other processes, as
 * the board core picks it from the environment, when this process listens
 * there (a socket "<pid>-<n>.sock"); 0 when the bus stays in the process. */
static int SharedBusDir(char *Dir, size_t Size)
{
    const char *env = getenv("OCELO_SIM_BUS"), *xdg = getenv("XDG_RUNTIME_DIR");
    int n;
    if (env && *env)
        n = snprintf(Dir, Size, "%s", env);
    else if (xdg && *xdg)
        n = snprintf(Dir, Size, "%s/ocelo-sim-bus", xdg);
    else
        n = snprintf(Dir, Size, "/tmp/ocelo-sim-bus-%u", (unsigned)getuid());
    if (n <= 0 || (size_t)n >= Size || strcmp(Dir, "off") == 0)
        return 0;
    char own[32];
    int own_len = snprintf(own, sizeof own, "%d-", (int)getpid());
    DIR *d = opendir(Dir);
    if (!d)
        return 0;
    int found = 0;
    struct dirent *e;
    while (!found && (e = readdir(d)) != NULL) {
        size_t len = strlen(e->d_name);
        found = strncmp(e->d_name, own, (size_t)own_len) == 0 && len > 5 && strcmp(e->d_name + len - 5, ".sock") == 0;
    }
    closedir(d);
    return found;
}

/* Each board on a shared bus belongs to one process: the first to open the
 * slot holds "slot<n>.lock" in the bus directory (released when it closes
 * the slots or ends); another process gets -EBUSY. */
static int LockSlot(int Slot)
{
    char dir[4096], path[4200];
    if (!SharedBusDir(dir, sizeof dir))
        return 0;
    snprintf(path, sizeof path, "%s/slot%d.lock", dir, Slot);
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -errno;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        return -err;
    }
    /* The holder's process id, for a person looking at the directory. */
    char pid[24];
    int n = snprintf(pid, sizeof pid, "%d\n", (int)getpid());
    if (ftruncate(fd, 0) == 0 && write(fd, pid, (size_t)n) != n) {
        /* only informative */
    }
    sim_lock[Slot] = fd;
    return 0;
}

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
    int was_present = BoardSimPresent(Slot);
    int rc = BoardSimAttach(Slot);
    if (rc != 0)
        return rc;
    if (sim_lock[Slot] < 0 && (rc = LockSlot(Slot)) != 0) {
        if (!was_present)
            BoardSimDetach(Slot);
        return rc;
    }
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

int SlotSimBusError(char *Dir, size_t Size) { return BoardSimBusError(Dir, Size); }

void Close_SlotAll(void)
{
    for (int s = 0; s < 8; ++s) {
        int fd = __atomic_exchange_n(&sim_fd[s], -1, __ATOMIC_ACQ_REL);
        __atomic_store_n(&sim_sig[s], 0, __ATOMIC_RELEASE);
        if (fd >= 0)
            close(fd);
        slot_fd[s] = -1;
        if (sim_lock[s] >= 0) {
            close(sim_lock[s]);
            sim_lock[s] = -1;
        }
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
