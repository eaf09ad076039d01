// Arbitrary bit rates on Linux through termios2 (BOTHER).  Kept apart from
// <termios.h>, whose definitions clash with the kernel's.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

int ComPosixSetSpeed(int fd, unsigned rate)
{
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return -1;
    t.c_cflag &= ~CBAUD;
    t.c_cflag |= BOTHER;
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
