// Record encoding and decoding, the bit-rate table, the configuration block
// and the transmit ring, against the board protocol's worked examples.
#include "Ocelo.h"
#include "OceloProtocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

std::vector<unsigned char> Bytes(const unsigned char *p, size_t n) { return {p, p + n}; }

TEST(RxRecord, StandardDataFrameExample)
{
    unsigned char rec[21] = {0x02, 0x24, 0x60, 0xAA, 0xBB};
    OceloPutLE32(rec + 13, 0x01020304);
    OceloPutLE32(rec + 17, 0xA0B0C0D0);
    unsigned char mode = 9, rtr = 9, len = 9, data[8] = {};
    unsigned long id = 0, up = 0, lo = 0;
    OceloDecodeRxRecord(rec, &mode, &id, &rtr, &len, data, &up, &lo);
    EXPECT_EQ(mode, 0);
    EXPECT_EQ(id, 0x123u);
    EXPECT_EQ(rtr, 0);
    EXPECT_EQ(len, 2);
    EXPECT_EQ(data[0], 0xAA);
    EXPECT_EQ(data[1], 0xBB);
    EXPECT_EQ(data[2], 0);  // only DataLen bytes are copied
    EXPECT_EQ(up, 0x01020304u);
    EXPECT_EQ(lo, 0xA0B0C0D0u);
}

TEST(RxRecord, ExtendedRemoteFrameLeavesDataUntouched)
{
    unsigned char rec[21] = {0xC4, 0xD5, 0xE6, 0xF7, 0x80, 1, 2, 3, 4};
    unsigned char mode, rtr, len, data[8];
    std::memset(data, 0x5A, sizeof data);
    unsigned long id;
    OceloDecodeRxRecord(rec, &mode, &id, &rtr, &len, data, nullptr, nullptr);
    EXPECT_EQ(mode, 1);
    EXPECT_EQ(id, 0x1ABCDEF0u);
    EXPECT_EQ(rtr, 1);
    EXPECT_EQ(len, 4);
    for (unsigned char b : data)
        EXPECT_EQ(b, 0x5A);
}

TEST(RxRecord, LengthNibbleAboveEightIsEightAndBits5And4AreIgnored)
{
    unsigned char rec[21] = {0x3F, 0x00, 0x20, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    unsigned char mode, rtr, len, data[8] = {};
    unsigned long id;
    OceloDecodeRxRecord(rec, &mode, &id, &rtr, &len, data, nullptr, nullptr);
    EXPECT_EQ(mode, 0);
    EXPECT_EQ(rtr, 0);
    EXPECT_EQ(len, 8);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(Bytes(data, 8), (std::vector<unsigned char>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(TxRecord, WorkedExamples)
{
    unsigned char buf[30], d8[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(OceloEncodeTxRecord(buf, 0, 0x7FF, 0, 8, d8), 11u);
    EXPECT_EQ(Bytes(buf, 11), (std::vector<unsigned char>{0x08, 0xFF, 0xE0, 1, 2, 3, 4, 5, 6, 7, 8}));

    // Remote frame: Data is not read (null here).
    ASSERT_EQ(OceloEncodeTxRecord(buf, 1, 0x1FFFFFFF, 1, 3, nullptr), 5u);
    EXPECT_EQ(Bytes(buf, 5), (std::vector<unsigned char>{0xC3, 0xFF, 0xFF, 0xFF, 0xF8}));

    unsigned char d12[12] = {9, 9, 9, 9, 9, 9, 9, 9, 7, 7, 7, 7};
    ASSERT_EQ(OceloEncodeTxRecord(buf, 0, 0x10, 0, 12, d12), 11u);
    EXPECT_EQ(buf[0], 0x08);

    ASSERT_EQ(OceloEncodeTxRecord(buf, 0, 0x123, 1, 0, nullptr), 3u);
    EXPECT_EQ(Bytes(buf, 3), (std::vector<unsigned char>{0x40, 0x24, 0x60}));
    // Identifier bits beyond the frame's width fall outside the record.
    ASSERT_EQ(OceloEncodeTxRecord(buf, 0, 0xFFFFF923, 0, 0, nullptr), 3u);
    EXPECT_EQ(Bytes(buf, 3), (std::vector<unsigned char>{0x00, 0x24, 0x60}));
}

TEST(Records, TransmitRecordSentBackReproducesTheFrame)
{
    std::mt19937 rng(7);
    for (int i = 0; i < 5000; ++i) {
        unsigned char mode = rng() & 1, rtr = (rng() % 4) == 0, len = rng() % 9, data[8];
        unsigned long id = mode ? rng() & 0x1FFFFFFF : rng() & 0x7FF;
        for (auto &b : data)
            b = static_cast<unsigned char>(rng());
        unsigned char rec[21] = {};
        OceloEncodeTxRecord(rec, mode, id, rtr, len, data);
        unsigned char m2, r2, l2, d2[8] = {};
        unsigned long id2;
        OceloDecodeRxRecord(rec, &m2, &id2, &r2, &l2, d2, nullptr, nullptr);
        ASSERT_EQ(m2, mode);
        ASSERT_EQ(id2, id);
        ASSERT_EQ(r2, rtr);
        ASSERT_EQ(l2, len);
        if (!rtr) {
            ASSERT_EQ(Bytes(d2, len), Bytes(data, len));
        }
        unsigned char full[21];
        OceloEncodeRxRecord(full, mode, id, rtr, len, data, 5, 6);
        ASSERT_EQ(Bytes(full, 13), Bytes(rec, 13));
    }
}

TEST(BitRate, TableRowsAndUserTiming)
{
    const unsigned long rates[12] = {5000,   10000,  20000,  25000,  50000,  100000,
                                     125000, 200000, 250000, 500000, 800000, 1000000};
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(BaudMap[i], rates[i]);
        EXPECT_EQ(OceloBaudIndex(rates[i]), i);
    }
    EXPECT_EQ(OceloBaudIndex(33333), OCELO_BAUD_USER);
    EXPECT_EQ(OceloBaudIndex(0), OCELO_BAUD_USER);

    unsigned char cfg[11];
    EXPECT_EQ(OceloBuildConfig(cfg, 125000, 0x12, 0x34, 0, 0), 6);
    EXPECT_EQ(Bytes(cfg, 3), (std::vector<unsigned char>{6, 0, 0}));
    EXPECT_EQ(OceloBuildConfig(cfg, 33333, 0x12, 0x34, 0, 0), 12);
    EXPECT_EQ(Bytes(cfg, 3), (std::vector<unsigned char>{12, 0x12, 0x34}));

    unsigned long baud;
    unsigned char t0, t1;
    OceloDecodeBaud(cfg, &baud, &t0, &t1);
    EXPECT_EQ(baud, 0u);
    EXPECT_EQ(t0, 0x12);
    EXPECT_EQ(t1, 0x34);
    const unsigned char table[3] = {9, 0x77, 0x66};
    OceloDecodeBaud(table, &baud, &t0, &t1);
    EXPECT_EQ(baud, 500000u);
    EXPECT_EQ(t0, 0);
    EXPECT_EQ(t1, 0);
}

TEST(ConfigBlock, CodeAndMaskAreLittleEndian)
{
    unsigned char cfg[11];
    OceloBuildConfig(cfg, 1000000, 0, 0, 0x11223344, 0xAABBCCDD);
    EXPECT_EQ(Bytes(cfg + 3, 8), (std::vector<unsigned char>{0x44, 0x33, 0x22, 0x11, 0xDD, 0xCC, 0xBB, 0xAA}));
    EXPECT_EQ(OceloGetLE32(cfg + 3), 0x11223344u);
    EXPECT_EQ(OceloGetLE32(cfg + 7), 0xAABBCCDDu);
}

TEST(TransmitRing, WrapsAfter256Records)
{
    unsigned addr = OCELO_DP_TXRING;
    unsigned last = 0;
    for (int i = 0; i < 256; ++i) {
        ASSERT_GE(addr, 2688u);
        ASSERT_LE(addr + 13, 6016u);  // every record fits before the configuration block
        last = addr;
        addr = OceloNextTxAddr(addr);
    }
    EXPECT_EQ(last, 6003u);
    EXPECT_EQ(addr, 2688u);
    EXPECT_EQ(OceloNextTxAddr(2688), 2701u);
}

TEST(StatusPair, OnlyComplementsCount)
{
    EXPECT_TRUE(OceloStatusPairValid(0x10, 0xEF));
    EXPECT_TRUE(OceloStatusPairValid(0x00, 0xFF));
    EXPECT_FALSE(OceloStatusPairValid(0x10, 0x00));
    EXPECT_FALSE(OceloStatusPairValid(0xFF, 0xFF));
}

} // namespace
