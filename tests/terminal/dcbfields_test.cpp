// The device-control fields that the Win32 serial layer sets for the line
// format and the flow-control modes.  (On a pseudo-terminal under wine the
// kernel keeps 8 data bits and no parity, so these rules are checked here.)
#include "dcbfields.h"

#include <gtest/gtest.h>

namespace {

DcbFields Start() { return DcbFields{8, DcbNoParity, DcbOneStopBit, 0, DcbRtsEnable}; }

TEST(DcbFields, FormatTable)
{
    struct Case {
        int parity, data, stop;
        int byteSize, parityCode, stopCode;
    } cases[] = {
        {0, 8, 1, 8, DcbNoParity, DcbOneStopBit},   {1, 7, 2, 7, DcbEvenParity, DcbTwoStopBits},
        {2, 6, 1, 6, DcbOddParity, DcbOneStopBit},  {3, 5, 2, 5, DcbMarkParity, DcbTwoStopBits},
        {4, 8, 1, 8, DcbSpaceParity, DcbOneStopBit},
    };
    for (const auto &c : cases) {
        DcbFields f = Start();
        DcbApplyFormat(&f, c.parity, c.data, c.stop);
        EXPECT_EQ(f.byteSize, c.byteSize) << c.parity << c.data << c.stop;
        EXPECT_EQ(f.parity, c.parityCode) << c.parity;
        EXPECT_EQ(f.stopBits, c.stopCode) << c.stop;
    }
    // Even is index 1 but code 2, odd index 2 but code 1.
    DcbFields f = Start();
    DcbApplyFormat(&f, 1, 8, 1);
    EXPECT_EQ(f.parity, 2);
    DcbApplyFormat(&f, 2, 8, 1);
    EXPECT_EQ(f.parity, 1);
}

TEST(DcbFields, OutOfRangeValuesChangeOnlyTheOtherFields)
{
    DcbFields f = Start();
    DcbApplyFormat(&f, 1, 7, 2);
    DcbApplyFormat(&f, 7, 9, 3);  // nothing valid
    EXPECT_EQ(f.byteSize, 7);
    EXPECT_EQ(f.parity, DcbEvenParity);
    EXPECT_EQ(f.stopBits, DcbTwoStopBits);
    DcbApplyFormat(&f, 7, 6, 0);  // only the data bits
    EXPECT_EQ(f.byteSize, 6);
    EXPECT_EQ(f.parity, DcbEvenParity);
    EXPECT_EQ(f.stopBits, DcbTwoStopBits);
    DcbApplyFormat(&f, 2, 4, 1);  // parity and stop bits
    EXPECT_EQ(f.byteSize, 6);
    EXPECT_EQ(f.parity, DcbOddParity);
    EXPECT_EQ(f.stopBits, DcbOneStopBit);
    DcbApplyFormat(&f, -1, 8, -1);
    EXPECT_EQ(f.parity, DcbOddParity);
    EXPECT_EQ(f.stopBits, DcbOneStopBit);
}

TEST(DcbFields, FlowControlModes)
{
    struct Case {
        int mode, cts, rts;
    } cases[] = {
        {0, 0, DcbRtsEnable}, {1, 1, DcbRtsEnable}, {2, 1, DcbRtsHandshake},
        {3, 0, DcbRtsToggle}, {4, 0, DcbRtsEnable}, {-1, 0, DcbRtsEnable},
    };
    for (const auto &c : cases) {
        DcbFields f{8, DcbNoParity, DcbOneStopBit, 1, DcbRtsHandshake};
        DcbApplyFlow(&f, c.mode);
        EXPECT_EQ(f.outxCtsFlow, c.cts) << "mode " << c.mode;
        EXPECT_EQ(f.rtsControl, c.rts) << "mode " << c.mode;
        EXPECT_EQ(f.byteSize, 8);
    }
}

}  // namespace
