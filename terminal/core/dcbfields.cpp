#include "dcbfields.h"

void DcbApplyFormat(DcbFields *f, int parity, int data, int stop)
{
    if (data >= 5 && data <= 8)
        f->byteSize = data;
    switch (parity) {
    case 0: f->parity = DcbNoParity; break;
    case 1: f->parity = DcbEvenParity; break;
    case 2: f->parity = DcbOddParity; break;
    case 3: f->parity = DcbMarkParity; break;
    case 4: f->parity = DcbSpaceParity; break;
    default: break;
    }
    // 1.5 stop bits are never set.
    if (stop == 1)
        f->stopBits = DcbOneStopBit;
    else if (stop == 2)
        f->stopBits = DcbTwoStopBits;
}

void DcbApplyFlow(DcbFields *f, int mode)
{
    switch (mode) {
    case 1:
        f->outxCtsFlow = 1;
        f->rtsControl = DcbRtsEnable;
        break;
    case 2:
        f->outxCtsFlow = 1;
        f->rtsControl = DcbRtsHandshake;
        break;
    case 3:
        f->outxCtsFlow = 0;
        f->rtsControl = DcbRtsToggle;
        break;
    default:
        f->outxCtsFlow = 0;
        f->rtsControl = DcbRtsEnable;
        break;
    }
}
