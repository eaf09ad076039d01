// Arbitrary bit rates on Linux through termios2 (BOTHER).  Kept apart from
// <termios.h>, whose definitions clash with the kernel's.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace {

// Standard rates keep their classic code, so every tool that reads the
// line's settings sees them; other rates go as BOTHER with the number.
unsigned StandardCode(unsigned rate)
{
    static const struct {
        unsigned rate, code;
    } table[] = {{50, B50},         {75, B75},         {110, B110},         {134, B134},
                 {150, B150},       {200, B200},       {300, B300},         {600, B600},
                 {1200, B1200},     {1800, B1800},     {2400, B2400},       {4800, B4800},
                 {9600, B9600},     {19200, B19200},   {38400, B38400},     {57600, B57600},
                 {115200, B115200}, {230400, B230400}, {460800, B460800},   {500000, B500000},
                 {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
                 {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
                 {3500000, B3500000}, {4000000, B4000000}};
    for (const auto &e : table)
        if (e.rate == rate)
            return e.code;
    return BOTHER;
}

}  // namespace

int ComPosixSetSpeed(int fd, unsigned rate)
{
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return -1;
    t.c_cflag &= ~CBAUD;
    t.c_cflag |= StandardCode(rate);
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    // Input speed follows the output speed.
    t.c_cflag &= ~(CBAUD << IBSHIFT);
    return ioctl(fd, TCSETS2, &t) == 0 ? 0 : -1;
}

int ComPosixGetSpeed(int fd, unsigned *rate)
{
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return -1;
    *rate = t.c_ospeed;
    return 0;
}

#include <linux/serial.h>

int ComPosixSetRtsOnSend(int fd, bool on)
{
    struct serial_rs485 rs;
    if (ioctl(fd, TIOCGRS485, &rs) != 0)
        return -1;
    if (on)
        rs.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    else
        rs.flags &= ~SER_RS485_ENABLED;
    return ioctl(fd, TIOCSRS485, &rs) == 0 ? 0 : -1;
}

int ComPosixGetLowLatency(int fd)
{
    struct serial_struct ss;
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0)
        return -1;
    return (ss.flags & ASYNC_LOW_LATENCY) != 0 ? 1 : 0;
}

int ComPosixSetLowLatency(int fd, bool on)
{
    struct serial_struct ss;
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0)
        return -1;
    if (on)
        ss.flags |= ASYNC_LOW_LATENCY;
    else
        ss.flags &= ~ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &ss) == 0 ? 0 : -1;
}
