// oceloLnx against simulated boards, through slot_fd, the slot driver's ioctl
// requests and signal 40 + slot.
#include "CanTestUtil.h"

#include "slot.h"

#include <csignal>
#include <pthread.h>

#include <atomic>
#include <thread>

using namespace cantest;

namespace {

bool SignalBlockedHere(int sig)
{
    sigset_t cur;
    pthread_sigmask(SIG_BLOCK, nullptr, &cur);
    return sigismember(&cur, sig) == 1;
}

class Lnx : public SimBoards {};

TEST_F(Lnx, BadSlotIsRejectedAndTouchesNothing)
{
    unsigned char b0, b1, m, r, l, d[8];
    unsigned long ul, ul2;
    for (unsigned char slot : {0, 8, 200}) {
        EXPECT_EQ(OceloInit(slot, 500000, 0, 0, 0, 0xFFFFFFFF), OCELO_BAD_SLOT);
        EXPECT_EQ(SetCANBaud(slot, 500000, 0, 0), OCELO_BAD_SLOT);
        EXPECT_EQ(GetCANBaud(slot, &ul, &b0, &b1), OCELO_BAD_SLOT);
        EXPECT_EQ(SetCANMask(slot, 0, 0), OCELO_BAD_SLOT);
        EXPECT_EQ(GetCANMask(slot, &ul, &ul2), OCELO_BAD_SLOT);
        EXPECT_EQ(ClearStatus(slot), OCELO_BAD_SLOT);
        EXPECT_EQ(GetStatus(slot, &b0, &b1), OCELO_BAD_SLOT);
        EXPECT_EQ(ResetOcelo(slot), OCELO_BAD_SLOT);
        EXPECT_EQ(GetCANMsg(slot, &m, &ul, &r, &l, d, &ul, &ul2), OCELO_BAD_SLOT);
        EXPECT_EQ(SendCANMsg(slot, 0, 1, 0, 1, d), OCELO_BAD_SLOT);
    }
    EXPECT_TRUE(Commands(1).empty());
    EXPECT_TRUE(Commands(2).empty());
    // Raw access outside slots 0..7 reaches nothing.
    EXPECT_EQ(DPRAMReadByte(9, 0), 0xFF);
    DPRAMWriteByte(-1, 0, 1);
}

TEST_F(Lnx, InitWritesTheConfigurationBlockAndStartsTheBoard)
{
    // (Retried like InitWithRetries: the test is not about the time limits.)
    int rc = OCELO_ERR_BOARD;
    for (int attempt = 0; attempt < InitAttempts && rc != OCELO_OK; ++attempt)
        rc = OceloInit(1, 125000, 0x12, 0x34, 0x11223344, 0xAABBCCDD);
    ASSERT_EQ(rc, OCELO_OK);
    EXPECT_EQ(RakInit[1], 1);
    const unsigned char expect[11] = {6, 0, 0, 0x44, 0x33, 0x22, 0x11, 0xDD, 0xCC, 0xBB, 0xAA};
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(BoardSimPeek(1, 6016 + i), expect[i]) << i;
    auto cmds = Commands(1);
    ASSERT_GE(cmds.size(), 2u);
    EXPECT_EQ(cmds[cmds.size() - 2], OCELO_CMD_SYSRESET_IRQ);
    EXPECT_EQ(cmds.back(), OCELO_CMD_START);
    EXPECT_EQ(DPRAMReadShort(1, OCELO_DP_READY), 0xFF00u);

    unsigned long baud;
    unsigned char t0, t1;
    ASSERT_EQ(GetCANBaud(1, &baud, &t0, &t1), OCELO_OK);
    EXPECT_EQ(baud, 125000u);
    EXPECT_EQ(t0, 0);
    EXPECT_EQ(t1, 0);

    // Re-initialising with a rate outside the table passes the timing bytes.
    rc = OCELO_ERR_BOARD;
    for (int attempt = 0; attempt < InitAttempts && rc != OCELO_OK; ++attempt)
        rc = OceloInit(1, 33333, 0x12, 0x34, 0, 0xFFFFFFFF);
    ASSERT_EQ(rc, OCELO_OK);
    EXPECT_EQ(BoardSimPeek(1, 6016), 12);
    ASSERT_EQ(GetCANBaud(1, &baud, &t0, &t1), OCELO_OK);
    EXPECT_EQ(baud, 0u);
    EXPECT_EQ(t0, 0x12);
    EXPECT_EQ(t1, 0x34);
}

struct InitFault {
    const char *name;
    int fault;
    int value;
};

class InitFailure : public SimBoards, public ::testing::WithParamInterface<InitFault> {};

TEST_P(InitFailure, Returns21WithinItsBoundAndARetryInTheSameThreadWorks)
{
    const InitFault &f = GetParam();
    ASSERT_EQ(BoardSimSetFault(1, f.fault, f.value), 0);
    double t0 = NowMs();
    EXPECT_EQ(OceloInit(1, 500000, 0, 0, 0, 0xFFFFFFFF), OCELO_ERR_BOARD);
    EXPECT_LT(NowMs() - t0, 3000.0) << "bounded wait";
    EXPECT_EQ(RakInit[1], 0);
    EXPECT_FALSE(SignalBlockedHere(41)) << "a failed OceloInit must not leave the slot signal blocked";
    unsigned char m, r, l, d[8];
    unsigned long id, u, lo;
    EXPECT_EQ(GetCANMsg(1, &m, &id, &r, &l, d, &u, &lo), OCELO_NOT_INIT);
    EXPECT_EQ(SendCANMsg(1, 0, 1, 0, 0, d), OCELO_NOT_INIT);
    // A stray interrupt after the failure must not end the process.
    kill(getpid(), 41);
    ASSERT_EQ(BoardSimClearFault(1, f.fault), 0);
    EXPECT_EQ(OceloInit(1, 500000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);
}

INSTANTIATE_TEST_SUITE_P(Faults, InitFailure,
                         ::testing::Values(InitFault{"NoReset", BOARDSIM_FAULT_NO_RESET, 1},
                                           InitFault{"SlowReset", BOARDSIM_FAULT_RESET_DELAY_MS, 300},
                                           InitFault{"NoReady", BOARDSIM_FAULT_NO_READY, 1},
                                           InitFault{"BadStatusPair", BOARDSIM_FAULT_BAD_STATUS, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Lnx, InitFailsWhenTheSlotDriverRefusesTheSignal)
{
    Close_SlotAll();  // the descriptor is gone: the driver request fails
    EXPECT_EQ(OceloInit(1, 500000, 0, 0, 0, 0xFFFFFFFF), OCELO_ERR_BOARD);
    EXPECT_EQ(RakInit[1], 0);
    struct sigaction act;
    sigaction(41, nullptr, &act);
    EXPECT_NE(act.sa_handler, SIG_DFL);
}

TEST_F(Lnx, MaskAndBaudSettersVerifyAndTellTheBoard)
{
    InitBoth();
    ASSERT_EQ(SetCANMask(1, 0x11223344, 0xAABBCCDD), OCELO_OK);
    const unsigned char expect[8] = {0x44, 0x33, 0x22, 0x11, 0xDD, 0xCC, 0xBB, 0xAA};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(BoardSimPeek(1, 6019 + i), expect[i]);
    unsigned long code, mask;
    ASSERT_EQ(GetCANMask(1, &code, &mask), OCELO_OK);
    EXPECT_EQ(code, 0x11223344u);
    EXPECT_EQ(mask, 0xAABBCCDDu);
    EXPECT_TRUE(WaitFor([] { return CommandCount(1, OCELO_CMD_SETMASK) == 1u; }));

    ASSERT_EQ(SetCANBaud(1, 250000, 1, 2), OCELO_OK);
    EXPECT_EQ(BoardSimPeek(1, 6016), 8);
    EXPECT_EQ(BoardSimPeek(1, 6017), 0);
    EXPECT_TRUE(WaitFor([] { return CommandCount(1, OCELO_CMD_SETBAUD) == 1u; }));
}

TEST_F(Lnx, AcceptanceFilterAndBitRateDecideWhatArrives)
{
    InitBoth();
    // Slot 2 takes standard identifier 0x100 only: mask bit 1 = don't care.
    ASSERT_EQ(SetCANMask(2, 0x100u << 21, 0x001FFFFF), OCELO_OK);
    Frame a, b;
    a.id = 0x100;
    a.len = 1;
    b.id = 0x101;
    b.len = 1;
    ASSERT_EQ(Send(1, b), OCELO_OK);
    ASSERT_EQ(Send(1, a), OCELO_OK);
    Frame got;
    ASSERT_EQ(Receive(2, got), OCELO_OK);
    EXPECT_EQ(got.id, 0x100u);
    EXPECT_EQ(Receive(2, got, 300), OCELO_NO_MSG);

    // A board at another bit rate hears nothing.
    ASSERT_EQ(SetCANMask(2, 0, 0xFFFFFFFF), OCELO_OK);
    ASSERT_EQ(SetCANBaud(2, 250000, 0, 0), OCELO_OK);
    ASSERT_EQ(Send(1, a), OCELO_OK);
    EXPECT_EQ(Receive(2, got, 300), OCELO_NO_MSG);
    ASSERT_EQ(SetCANBaud(2, 500000, 0, 0), OCELO_OK);
    ASSERT_EQ(Send(1, a), OCELO_OK);
    EXPECT_EQ(Receive(2, got), OCELO_OK);
}

TEST_F(Lnx, BatchesAlternateBetweenTheTwoZones)
{
    InitBoth();
    const int n = 150;
    for (int i = 0; i < n; ++i) {
        BoardSimFrame f = ToSim(SeqFrame(static_cast<uint32_t>(i)));
        ASSERT_EQ(BoardSimBusSend(&f, BOARDSIM_ANY_RATE), 0);
    }
    unsigned char arr0 = ArrCnt;
    unsigned long lastLower = 0;
    for (int i = 0; i < n; ++i) {
        Frame got;
        unsigned long upper, lower;
        ASSERT_EQ(Receive(2, got, 5000, &upper, &lower), OCELO_OK) << i;
        ASSERT_EQ(got, SeqFrame(static_cast<uint32_t>(i))) << i;
        EXPECT_GE(lower, lastLower);  // the board's time words move forward
        lastLower = lower;
    }
    Frame got;
    EXPECT_EQ(Receive(2, got, 200), OCELO_NO_MSG);
    EXPECT_EQ(static_cast<unsigned char>(ArrCnt - arr0), 3);
    EXPECT_EQ(SizeArray[arr0], 64);
    EXPECT_EQ(SizeArray[static_cast<unsigned char>(arr0 + 1)], 64);
    EXPECT_EQ(SizeArray[static_cast<unsigned char>(arr0 + 2)], 22);
    EXPECT_EQ(DPStartToReadIndex[2], 1);  // three batches: zone 0, 1, 0, next 1
    EXPECT_TRUE(WaitFor([] {  // the board counts a batch when it reads the host's 9
        BoardSimStats st;
        BoardSimGetStats(2, &st);
        return st.Batches == 3u;
    }));
}

TEST_F(Lnx, LastRecordOfABatchRequestsTheNextAtOnce)
{
    InitBoth();
    for (int i = 0; i < 3; ++i) {
        BoardSimFrame f = ToSim(SeqFrame(static_cast<uint32_t>(i)));
        BoardSimBusSend(&f, BOARDSIM_ANY_RATE);
    }
    Frame got;
    ASSERT_EQ(Receive(2, got), OCELO_OK);  // the wait's requests bring the batch
    ASSERT_TRUE(WaitFor([] { return StoreMsgNum[2] == 3; }));
    uint32_t before = CommandCount(2, OCELO_CMD_NEXT_BATCH);
    unsigned char m, r, l, d[8];
    unsigned long id, u, lo;
    EXPECT_EQ(GetCANMsg(2, &m, &id, &r, &l, d, &u, &lo), OCELO_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // let the board take any command
    EXPECT_EQ(CommandCount(2, OCELO_CMD_NEXT_BATCH), before) << "no request while records remain";
    EXPECT_EQ(GetCANMsg(2, &m, &id, &r, &l, d, &u, &lo), OCELO_OK);
    EXPECT_TRUE(WaitFor([&] { return CommandCount(2, OCELO_CMD_NEXT_BATCH) == before + 1; }));
    EXPECT_EQ(RequistAllow[2], 1);
    EXPECT_EQ(GetCANMsg(2, &m, &id, &r, &l, d, &u, &lo), OCELO_NO_MSG);
}

// An interrupt that comes while a thread holds the slot's register lock
// (inside a register sequence, the slot signals blocked there) is not lost
// and not handled twice: the handler finds the lock taken, leaves the
// interrupt marked and returns; the holder handles it when it lets go.  The
// test holds the lock itself and runs the handler as the signal landing on
// another thread would, so every step is seen in order.
TEST_F(Lnx, AnInterruptThatFindsTheRegistersTakenIsHandledWhenTheHolderLetsGo)
{
    InitBoth();
    unsigned char m, r, l, d[8];
    unsigned long id, u, lo;
    sigset_t sig42;
    sigemptyset(&sig42);
    sigaddset(&sig42, 42);
    BoardSimStats r0;
    BoardSimGetStats(2, &r0);
    ASSERT_EQ(ResetOcelo(2), OCELO_OK);  // no request left waiting in the board
    // The board answers the reset with "ready".  When it is quicker than the
    // host's second write (the reset clears the code byte after the
    // command), that answer is wiped and the request pacing lets the next
    // request go; otherwise the handler takes it.  Wait until one of the two
    // has happened, so no "ready" is pending below.
    ASSERT_TRUE(WaitFor([&] {
        BoardSimStats st;
        BoardSimGetStats(2, &st);
        return st.Commands[OCELO_CMD_RESET_BOOKS] > r0.Commands[OCELO_CMD_RESET_BOOKS] && st.Interrupts > r0.Interrupts &&
               (__atomic_load_n(&RequistAllow[2], __ATOMIC_SEQ_CST) == 1 || BoardSimPeek(2, OCELO_DP_INTCODE) == 0);
    })) << "the board's \"ready\" after the reset";
    __atomic_store_n(&RequistAllow[2], 1, __ATOMIC_SEQ_CST);
    std::this_thread::sleep_for(std::chrono::milliseconds(15));  // past the request pacing
    // Only the calls below run the handler: the slot's signal stays pending.
    pthread_sigmask(SIG_BLOCK, &sig42, nullptr);
    BoardSimStats st0;
    BoardSimGetStats(2, &st0);
    BoardSimFrame f = ToSim(SeqFrame(7));
    BoardSimBusSend(&f, BOARDSIM_ANY_RATE);
    ASSERT_TRUE(WaitFor([&] {
        BoardSimStats st;
        BoardSimGetStats(2, &st);
        return st.RxFrames > st0.RxFrames;
    }));
    ASSERT_EQ(GetCANMsg(2, &m, &id, &r, &l, d, &u, &lo), OCELO_NO_MSG);  // the request
    ASSERT_TRUE(WaitFor([] { return BoardSimPeek(2, OCELO_DP_INTCODE) == OCELO_EV_RX; }));
    const unsigned char batches = ArrCnt;

    ASSERT_TRUE(ocelo_lnx::TryLockRegs(2, 1000)) << "nobody else holds the registers";
    std::thread([] { RakCAN_ISR(42); }).join();
    EXPECT_TRUE(ocelo_lnx::DeferredPending(2)) << "the handler left nothing for the holder";
    EXPECT_EQ(ArrCnt, batches) << "the handler used the registers while they were taken";
    ocelo_lnx::ReleaseRegs(2);
    EXPECT_FALSE(ocelo_lnx::DeferredPending(2)) << "interrupt left waiting";
    EXPECT_EQ(static_cast<unsigned char>(ArrCnt - batches), 1u) << "the batch taken once";
    pthread_sigmask(SIG_UNBLOCK, &sig42, nullptr);
    Frame got;
    ASSERT_EQ(Receive(2, got), OCELO_OK);
    EXPECT_EQ(got, SeqFrame(7));
}

TEST_F(Lnx, RequestsOnAnIdleBoardArePaced)
{
    InitBoth();
    unsigned char m, r, l, d[8];
    unsigned long id, u, lo;
    double end = NowMs() + 500;
    while (NowMs() < end) {
        ASSERT_EQ(GetCANMsg(2, &m, &id, &r, &l, d, &u, &lo), OCELO_NO_MSG);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    unsigned char codes[256];
    uint64_t times[256];
    int n = BoardSimCommandLog(2, codes, times, 256);
    std::vector<uint64_t> req;
    for (int i = 0; i < n; ++i)
        if (codes[i] == OCELO_CMD_NEXT_BATCH)
            req.push_back(times[i]);
    ASSERT_GE(req.size(), 2u);
    // An unanswered request is repeated only after it is taken as lost
    // (more than 50 ms), never in a tight loop.
    for (size_t i = 1; i < req.size(); ++i)
        EXPECT_GT(req[i] - req[i - 1], 50'000'000u) << i;
}

TEST_F(Lnx, StatusEventsKeepTheCopiesCurrent)
{
    InitBoth();
    ASSERT_EQ(BoardSimSetCANStatus(1, 0x44), 0);
    ASSERT_TRUE(WaitFor([] { return CANStatus[1] == 0x44; }));
    unsigned char can = 0, ovf = 9;
    ASSERT_EQ(GetStatus(1, &can, &ovf), OCELO_OK);
    EXPECT_EQ(can, 0x44);
    EXPECT_EQ(ovf, 0);

    // A pair that does not add up to 255 is never copied.
    BoardSimStats st0;
    BoardSimGetStats(1, &st0);
    ASSERT_EQ(BoardSimSetFault(1, BOARDSIM_FAULT_BAD_STATUS, 1), 0);
    ASSERT_EQ(BoardSimSetCANStatus(1, 0x55), 0);
    ASSERT_TRUE(WaitFor([&] {
        BoardSimStats st;
        BoardSimGetStats(1, &st);
        return st.Interrupts > st0.Interrupts && BoardSimPeek(1, OCELO_DP_INTCODE) == 0;
    }));
    EXPECT_EQ(CANStatus[1], 0x44);
}

TEST_F(Lnx, OverflowBlocksReceptionUntilClearStatus)
{
    InitBoth();
    ASSERT_EQ(BoardSimSetRxCapacity(2, 10), 0);
    Frame got;
    EXPECT_EQ(Receive(2, got, 100), OCELO_NO_MSG);  // leaves a request pending
    for (int i = 0; i < 200; ++i) {
        BoardSimFrame f = ToSim(SeqFrame(static_cast<uint32_t>(i)));
        BoardSimBusSend(&f, BOARDSIM_ANY_RATE);
    }
    ASSERT_TRUE(WaitFor([] { return BufStatus[2] != 0; }));
    unsigned char m, r, l, d[8], can, ovf;
    unsigned long id, u, lo;
    EXPECT_EQ(GetCANMsg(2, &m, &id, &r, &l, d, &u, &lo), OCELO_OVERFLOW);
    ASSERT_EQ(GetStatus(2, &can, &ovf), OCELO_OK);
    EXPECT_NE(ovf, 0);
    BoardSimStats st;
    BoardSimGetStats(2, &st);
    EXPECT_GT(st.RxDropped, 0u);

    ASSERT_EQ(ClearStatus(2), OCELO_OK);
    EXPECT_EQ(BufStatus[2], 0);  // at once, before the board confirms
    // Every frame the board kept arrives once, in bus order; the lost ones
    // are simply missing.
    uint32_t kept = 0;
    long last = -1;
    while (Receive(2, got, 300) == OCELO_OK) {
        long seq = -1;
        for (uint32_t n = 0; n < 200; ++n)
            if (got == SeqFrame(n) && static_cast<long>(n) > last) {
                seq = static_cast<long>(n);
                break;
            }
        ASSERT_GT(seq, last) << "frame out of order, duplicated or altered: " << got;
        last = seq;
        ++kept;
    }
    EXPECT_EQ(kept, st.RxFrames);
    EXPECT_LT(kept, 200u);
    EXPECT_EQ(BufStatus[2], 0);
}

TEST_F(Lnx, BoardResetInUseNeedsANewInit)
{
    InitBoth();
    ASSERT_EQ(BoardSimSpontaneousReset(1), 0);
    ASSERT_TRUE(WaitFor([] { return RakInit[1] == 0; }));
    EXPECT_EQ(RakCANSystemReset[1], 1);
    Frame f, got;
    f.id = 0x55;
    f.len = 2;
    unsigned char m, r, l, d[8];
    unsigned long id, u, lo;
    EXPECT_EQ(GetCANMsg(1, &m, &id, &r, &l, d, &u, &lo), OCELO_NOT_INIT);
    EXPECT_EQ(Send(1, f), OCELO_NOT_INIT);
    // The other slot goes on.
    EXPECT_EQ(Send(2, f), OCELO_OK);

    ASSERT_EQ(OceloInit(1, 500000, 0, 0, 0, 0xFFFFFFFF), OCELO_OK);
    ASSERT_EQ(Send(1, f), OCELO_OK);
    ASSERT_EQ(Receive(2, got), OCELO_OK);
    EXPECT_EQ(got, f);
}

TEST_F(Lnx, ResetOceloPutsBothSidesBackToTheStart)
{
    InitBoth();
    Frame f;
    f.len = 8;
    for (int i = 0; i < 5; ++i) {
        f.id = static_cast<unsigned long>(i);
        ASSERT_EQ(Send(1, f), OCELO_OK);
    }
    EXPECT_EQ(ocelo_lnx::TxRingPos[1], 2688u + 5 * 13);
    EXPECT_EQ(ocelo_lnx::TxRingPos[2], 2688u) << "each slot keeps its own ring position";
    EXPECT_EQ(TxMsgStartAddr, 2688u + 5 * 13) << "the exported word shows the slot used last";
    ASSERT_EQ(ResetOcelo(1), OCELO_OK);
    EXPECT_EQ(ocelo_lnx::TxRingPos[1], 2688u);
    EXPECT_TRUE(WaitFor([&] { return CommandCount(1, OCELO_CMD_RESET_BOOKS) == 1u; }));
    EXPECT_EQ(DPStartToReadIndex[1], 0);
    EXPECT_EQ(RakInit[1], 1);
    // Still in step: the next frames arrive unchanged.
    Frame got;
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(Receive(2, got), OCELO_OK);
    for (int i = 0; i < 3; ++i) {
        f.id = 0x700u + static_cast<unsigned long>(i);
        ASSERT_EQ(Send(1, f), OCELO_OK);
        ASSERT_EQ(Receive(2, got), OCELO_OK);
        EXPECT_EQ(got, f);
    }
}

// A receiving slot that has taken one batch reads zone 1 next; a reset puts
// both sides back at zone 0, and the next frame is read from where the
// board writes it.
TEST_F(Lnx, ResetOceloOfAReceivingSlotStartsAgainAtZoneZero)
{
    InitBoth();
    Frame f, got;
    f.id = 0x123;
    f.len = 1;
    f.data[0] = 1;
    ASSERT_EQ(Send(1, f), OCELO_OK);
    ASSERT_EQ(Receive(2, got), OCELO_OK);
    ASSERT_EQ(DPStartToReadIndex[2], 1);
    ASSERT_EQ(ResetOcelo(2), OCELO_OK);
    EXPECT_EQ(DPStartToReadIndex[2], 0);
    f.id = 0x456;
    f.data[0] = 2;
    ASSERT_EQ(Send(1, f), OCELO_OK);
    ASSERT_EQ(Receive(2, got), OCELO_OK);
    EXPECT_EQ(got, f);
}

TEST_F(Lnx, TransmitResultCodes)
{
    InitBoth();
    Frame f;
    f.id = 0x7FF;
    f.len = 8;
    for (int i = 0; i < 8; ++i)
        f.data[i] = static_cast<unsigned char>(i + 1);
    ASSERT_EQ(Send(1, f), OCELO_OK);
    EXPECT_EQ(BoardSimPeek(1, 2688), 0x08);
    EXPECT_EQ(BoardSimPeek(1, 2689), 0xFF);
    EXPECT_EQ(BoardSimPeek(1, 2690), 0xE0);
    EXPECT_EQ(ocelo_lnx::TxRingPos[1], 2701u);
    EXPECT_TRUE(WaitFor([] { return TxGetAck[1] == 1; }));

    // Transmission blocked: 23, nothing written.
    ASSERT_EQ(BoardSimSetFault(1, BOARDSIM_FAULT_TX_BLOCKED, 1), 0);
    ASSERT_TRUE(WaitFor([] { return (BufStatus[1] & 0x20) != 0; }));
    EXPECT_EQ(Send(1, f), OCELO_OVERFLOW);
    EXPECT_EQ(ocelo_lnx::TxRingPos[1], 2701u);
    EXPECT_EQ(BoardSimPeek(1, 2701), 0);
    ASSERT_EQ(BoardSimClearFault(1, BOARDSIM_FAULT_TX_BLOCKED), 0);
    ASSERT_EQ(ClearStatus(1), OCELO_OK);
    ASSERT_TRUE(WaitFor([] { return BufStatus[1] == 0; }));

    // A board that takes no request, with the 102 of the first transmission
    // still in 8185 (only the host clears it): 21 after at least 901 polls
    // and 50 ms; the ring position moved on.
    ASSERT_EQ(BoardSimPeek(1, OCELO_DP_TXACK), OCELO_TXACK_VALUE);
    ASSERT_EQ(BoardSimSetFault(1, BOARDSIM_FAULT_NO_TX_ACK, 1), 0);
    BoardSimStats st0, st;
    BoardSimGetStats(1, &st0);
    double t0 = NowMs();
    EXPECT_EQ(Send(1, f), OCELO_ERR_BOARD);
    EXPECT_GE(NowMs() - t0, 50.0);
    EXPECT_LT(NowMs() - t0, 3000.0);
    BoardSimGetStats(1, &st);
    EXPECT_GE(st.TxAckReads - st0.TxAckReads, 901u);
    EXPECT_EQ(ocelo_lnx::TxRingPos[1], 2714u);

    // A data frame without data is refused before anything is written.
    EXPECT_EQ(SendCANMsg(1, 0, 1, 0, 4, nullptr), OCELO_ERR_BOARD);
    EXPECT_EQ(ocelo_lnx::TxRingPos[1], 2714u);
}

// A blocking status that the board reports while the sender waits for an
// answer that does not come ends the wait with 23 (the record is in the
// ring), also when the sending thread is the only one that takes the slot's
// interrupts: the wait lets them through once the board is late.
TEST_F(Lnx, TransmissionBlockedDuringTheWaitEndsItWith23)
{
    InitBoth();
    ASSERT_EQ(BoardSimSetFault(1, BOARDSIM_FAULT_NO_TX_ACK, 1), 0);
    BoardSimStats st0;
    BoardSimGetStats(1, &st0);
    sigset_t slots, old;
    sigemptyset(&slots);
    for (int s = 1; s <= 7; ++s)
        sigaddset(&slots, 40 + s);
    pthread_sigmask(SIG_BLOCK, &slots, &old);  // this thread takes no interrupt from here on
    std::atomic<int> rc{-1};
    std::thread sender([&] {
        pthread_sigmask(SIG_UNBLOCK, &slots, nullptr);
        rc = Send(1, SeqFrame(1));
    });
    const bool read = WaitFor([&] {
        BoardSimStats st;
        BoardSimGetStats(1, &st);
        return st.Commands[OCELO_CMD_TRANSMIT] > st0.Commands[OCELO_CMD_TRANSMIT];
    });
    ASSERT_EQ(BoardSimSetFault(1, BOARDSIM_FAULT_TX_BLOCKED, 1), 0);
    sender.join();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    EXPECT_TRUE(read) << "the board never read command 1";
    EXPECT_EQ(rc.load(), OCELO_OVERFLOW);
    EXPECT_EQ(ocelo_lnx::TxRingPos[1], 2701u) << "the record was written before the wait";
    ASSERT_EQ(BoardSimClearFault(1, BOARDSIM_FAULT_TX_BLOCKED), 0);
    ASSERT_EQ(BoardSimClearFault(1, BOARDSIM_FAULT_NO_TX_ACK), 0);
    ASSERT_EQ(ClearStatus(1), OCELO_OK);
    ASSERT_TRUE(WaitFor([] { return BufStatus[1] == 0; }));
}

// The firmware reads a command one reaction time (200 us) after the write
// and cannot acknowledge it sooner: the sender sleeps through most of that
// time instead of polling the acknowledgement byte, for every frame, and
// every frame still gets its own acknowledgement and arrives.
TEST_F(Lnx, TheSenderDoesNotPollBeforeTheFirmwareCanHaveAnswered)
{
    InitBoth();
    BoardSimStats st0, st;
    BoardSimGetStats(1, &st0);
    constexpr uint32_t kFrames = 40;
    for (uint32_t n = 0; n < kFrames; ++n)
        ASSERT_EQ(Send(1, SeqFrame(n)), OCELO_OK) << n;
    BoardSimGetStats(1, &st);
    EXPECT_GE(st.TxAckReads - st0.TxAckReads, kFrames);
    EXPECT_GE(st.TxAckSoonestNs, 100'000u) << "the acknowledgement byte was polled right after the command";
    for (uint32_t n = 0; n < kFrames; ++n) {
        Frame got;
        ASSERT_EQ(Receive(2, got), OCELO_OK) << n;
        EXPECT_EQ(got, SeqFrame(n));
    }
}

TEST_F(Lnx, BadRecordCountsTakeNothingUntilTheBoardAnnouncesAgain)
{
    InitBoth();
    for (int bad : {0, 65, 200}) {
        SCOPED_TRACE(bad);
        ASSERT_EQ(BoardSimSetFault(2, BOARDSIM_FAULT_RX_COUNT, bad), 0);
        unsigned char zone = DPStartToReadIndex[2];
        BoardSimStats st0;
        BoardSimGetStats(2, &st0);
        Frame f = SeqFrame(static_cast<uint32_t>(bad)), got;
        BoardSimFrame s = ToSim(f);
        BoardSimBusSend(&s, BOARDSIM_ANY_RATE);
        EXPECT_EQ(Receive(2, got, 300), OCELO_NO_MSG);
        EXPECT_EQ(DPStartToReadIndex[2], zone);
        // Also for a count of 0: the board is told to go on.
        EXPECT_TRUE(WaitFor([&] { return CommandCount(2, OCELO_CMD_ZONE_TAKEN) > st0.Commands[OCELO_CMD_ZONE_TAKEN]; }))
            << "the board is told to go on";
        ASSERT_EQ(BoardSimClearFault(2, BOARDSIM_FAULT_RX_COUNT), 0);
        ASSERT_EQ(Receive(2, got), OCELO_OK);
        EXPECT_EQ(got, f);
        EXPECT_EQ(DPStartToReadIndex[2], zone ^ 1);
    }
}

TEST_F(Lnx, RingStaysInStepAcrossTheWrap)
{
    InitBoth();
    for (uint32_t i = 0; i < 300; ++i) {
        Frame f = SeqFrame(i), got;
        ASSERT_EQ(Send(1, f), OCELO_OK) << i;
        if (i == 255) {
            EXPECT_EQ(ocelo_lnx::TxRingPos[1], 2688u);
        }
        ASSERT_EQ(Receive(2, got), OCELO_OK) << i;
        ASSERT_EQ(got, f) << i;
    }
}

TEST_F(Lnx, DpramAccessAcrossPages)
{
    for (int i = 0; i < 64; ++i)
        BoardSimPoke(1, 6000 + i, static_cast<unsigned char>(i + 1));
    EXPECT_EQ(DPRAMReadShort(1, 6015), 16u + 256u * 17u);
    unsigned char buf[40];
    DPRAMMultiRead(1, 6016, 40, buf);
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(buf[i], i + 17);
    unsigned char keep[4] = {9, 9, 9, 9};
    DPRAMMultiRead(1, 6016, 0, keep);
    EXPECT_EQ(keep[0], 9);
    DPRAMWriteShort(1, 8183, 0xFF00);
    EXPECT_EQ(BoardSimPeek(1, 8183), 0x00);
    EXPECT_EQ(BoardSimPeek(1, 8184), 0xFF);
    unsigned char out[3] = {0xA1, 0xA2, 0xA3};
    DPRAMMultiWrite(1, 6047, 3, out);  // crosses from page 188 into 189
    EXPECT_EQ(BoardSimPeek(1, 6047), 0xA1);
    EXPECT_EQ(BoardSimPeek(1, 6049), 0xA3);
    // Not initialised: no mutex is taken (none exists yet), access still works.
    EXPECT_EQ(RakInit[1], 0);
    DPRAMWriteByte(1, 100, 0x42);
    EXPECT_EQ(DPRAMReadByte(1, 100), 0x42);
}

TEST_F(Lnx, ShortReadsOnTwoPagesFromTwoThreadsNeverTear)
{
    // The same offset of two pages holds different words.
    BoardSimPoke(1, 3000, 0x11);
    BoardSimPoke(1, 3001, 0x22);
    BoardSimPoke(1, 3320, 0x33);
    BoardSimPoke(1, 3321, 0x44);
    std::atomic<int> torn{0};
    auto reader = [&](unsigned addr, unsigned want) {
        for (int i = 0; i < 20000; ++i)
            if (DPRAMReadShort(1, addr) != want)
                ++torn;
    };
    std::thread a(reader, 3000u, 0x2211u), b(reader, 3320u, 0x4433u);
    a.join();
    b.join();
    EXPECT_EQ(torn.load(), 0);
}

TEST_F(Lnx, ACommandWrittenBeforeTheFirmwareReadTheLastIsCountedLost)
{
    ASSERT_EQ(BoardSimSetReactionTime(1, 100000), 0);  // a firmware busy for 100 ms
    DPRAMWriteByte(1, OCELO_DP_COMMAND, OCELO_CMD_CLEAR_STATUS);
    DPRAMWriteByte(1, OCELO_DP_COMMAND, OCELO_CMD_SETMASK);
    EXPECT_EQ(LostCommands(1), 1u);
    ASSERT_TRUE(WaitFor([] { return CommandCount(1, OCELO_CMD_SETMASK) == 1; }));
    EXPECT_EQ(CommandCount(1, OCELO_CMD_CLEAR_STATUS), 0u);
    allowed_lost_ = 1;
}

TEST_F(Lnx, RecoverOceloReleasesBoardsAndSlots)
{
    InitBoth();
    RecoverOcelo();
    EXPECT_EQ(slot_fd[1], -1);
    EXPECT_EQ(slot_fd[2], -1);
    EXPECT_EQ(RakInit[1], 0);
    EXPECT_EQ(RakInit[2], 0);
    EXPECT_TRUE(WaitFor([] { return CommandCount(1, OCELO_CMD_RELEASE) == 1u; }));
    EXPECT_TRUE(WaitFor([] { return CommandCount(2, OCELO_CMD_RELEASE) == 1u; }));
    unsigned char m, r, l, d[8];
    unsigned long id, u, lo;
    EXPECT_EQ(GetCANMsg(1, &m, &id, &r, &l, d, &u, &lo), OCELO_NOT_INIT);
    struct sigaction act;
    sigaction(41, nullptr, &act);
    EXPECT_EQ(act.sa_handler, SIG_IGN) << "a late interrupt must not end the process";
    kill(getpid(), 41);
    // Reopen and start again, in this same thread.
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, 41);
    sigaddset(&s, 42);
    pthread_sigmask(SIG_UNBLOCK, &s, nullptr);
    ASSERT_EQ(SlotSimOpen(1), 0);
    ASSERT_EQ(SlotSimOpen(2), 0);
    InitBoth();
    Frame f, got;
    f.id = 0x321;
    f.len = 3;
    ASSERT_EQ(Send(1, f), OCELO_OK);
    ASSERT_EQ(Receive(2, got), OCELO_OK);
    EXPECT_EQ(got, f);
}

} // namespace
