/* Sends one frame from the board in slot 1 and prints the frame that the
 * board in slot 2 receives.  On a PC both are simulated boards on one
 * simulated bus; on a controller use its slot library instead of SlotSim.h. */
#include <stdio.h>
#include <unistd.h>
#include "Ocelo.h"
#include "SlotSim.h"

int main(void)
{
    unsigned char mode, rtr, len, data[8] = {0xDE, 0xAD};
    unsigned long id, up, lo;
    int rc = 22, tries;
    SlotSimOpen(1);
    SlotSimOpen(2);
    if (OceloInit(1, 500000, 0, 0, 0x00000000, 0xFFFFFFFF) != 0 ||
        OceloInit(2, 500000, 0, 0, 0x00000000, 0xFFFFFFFF) != 0)
        return 1;
    SendCANMsg(1, 0, 0x123, 0, 2, data);              /* standard data frame */
    for (tries = 0; tries < 1000; ++tries) {          /* wait up to 1 s */
        rc = GetCANMsg(2, &mode, &id, &rtr, &len, data, &up, &lo);
        if (rc == 0)
            break;                                    /* a frame */
        if (rc == 23)
            ClearStatus(2);                           /* frames were lost */
        else if (rc != 22)
            break;
        usleep(1000);
    }
    if (rc == 0)
        printf("received %03lX#%02X%02X\n", id, data[0], data[1]);
    RecoverOcelo();
    return rc == 0 ? 0 : 1;
}
