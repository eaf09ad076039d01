// The bit rate that the terminal side set on the line (any rate, termios2).
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

unsigned SimReadLineRate(int fd)
{
    struct termios2 t;
    if (fd < 0 || ioctl(fd, TCGETS2, &t) != 0)
        return 0;
    return t.c_ospeed;
}
