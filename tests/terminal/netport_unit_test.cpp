// The network port's words and its Telnet codec: addresses taken and
// refused, 0xFF doubled and undoubled (also when a command is split between
// two reads), the server's negotiation answered without loops, and the COM
// port option's answers read.
#include "netport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct Decoded {
    Bytes data, reply;
    bool modem = false;
};

Decoded Decode(TelnetState *t, const Bytes &in)
{
    Decoded d;
    d.data.resize(in.size() + 1);
    d.reply.resize(3 * in.size() + 3);
    int dataLen = 0, replyLen = 0;
    d.modem = TelnetDecode(t, in.data(), static_cast<int>(in.size()), d.data.data(), &dataLen, d.reply.data(),
                           &replyLen);
    d.data.resize(static_cast<std::size_t>(dataLen));
    d.reply.resize(static_cast<std::size_t>(replyLen));
    return d;
}

}  // namespace

TEST(NetAddressWords, GoodOnesAreReadAndEveryBadFormIsRefused)
{
    NetAddress a;
    ASSERT_EQ(NetParseAddress("rfc2217://127.0.0.1:4001", &a), 0);
    EXPECT_EQ(a.kind, NetRfc2217);
    EXPECT_STREQ(a.host, "127.0.0.1");
    EXPECT_EQ(a.port, 4001);
    ASSERT_EQ(NetParseAddress("tcp://server.plant:1", &a), 0);
    EXPECT_EQ(a.kind, NetRawTcp);
    EXPECT_STREQ(a.host, "server.plant");
    EXPECT_EQ(a.port, 1);
    ASSERT_EQ(NetParseAddress("tcp://[::1]:65535", &a), 0);
    EXPECT_STREQ(a.host, "::1");
    EXPECT_EQ(a.port, 65535);

    EXPECT_EQ(NetParseAddress("/dev/ttyUSB0", &a), NetNotAddress);
    EXPECT_EQ(NetParseAddress("./com1", &a), NetNotAddress);
    for (const char *bad : {"rfc2217://127.0.0.1", "rfc2217://127.0.0.1:", "tcp://127.0.0.1:0",
                            "tcp://127.0.0.1:65536", "tcp://127.0.0.1:99999", "tcp://127.0.0.1:1234567",
                            "udp://127.0.0.1:4001", "RFC2217://h:1", "telnet://h:23", "://h:1", "rfc2217://:4001",
                            "tcp://h:40x1", "tcp://h:4001/", "tcp://h:-1", "tcp://::1:4001", "tcp://[::1]4001",
                            "tcp://a b:1"})
        EXPECT_EQ(NetParseAddress(bad, &a), NetBadAddress) << bad;
}

TEST(TelnetCodec, DataIsEscapedAndUnescapedEvenWhenAnIacIsSplitBetweenReads)
{
    const Bytes data = {0x41, 0xFF, 0x00, 0xFF, 0xFF, 0xFA, 0xF0, 0x42};
    unsigned char out[32];
    int used = 0;
    int len = TelnetEscape(data.data(), static_cast<int>(data.size()), out, sizeof out, &used);
    Bytes sent(out, out + len);
    EXPECT_EQ(used, 8);
    EXPECT_EQ(sent, (Bytes{0x41, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFA, 0xF0, 0x42}));
    // Too little room: the doubled byte is never cut from its double.
    len = TelnetEscape(data.data(), static_cast<int>(data.size()), out, 2, &used);
    EXPECT_EQ(len, 1);
    EXPECT_EQ(used, 1);

    // What was sent decodes to the data, whatever the split.
    for (std::size_t cut = 0; cut <= sent.size(); ++cut) {
        TelnetState t;
        TelnetReset(&t);
        Decoded a = Decode(&t, Bytes(sent.begin(), sent.begin() + static_cast<long>(cut)));
        Decoded b = Decode(&t, Bytes(sent.begin() + static_cast<long>(cut), sent.end()));
        Bytes got = a.data;
        got.insert(got.end(), b.data.begin(), b.data.end());
        EXPECT_EQ(got, data) << "cut at " << cut;
        EXPECT_TRUE(a.reply.empty() && b.reply.empty());
    }
}

TEST(TelnetCodec, NegotiationIsAnsweredOnceAndUnknownOptionsAreRefused)
{
    TelnetState t;
    TelnetReset(&t);
    unsigned char offers[32];
    int len = TelnetOffers(&t, offers);
    EXPECT_EQ(Bytes(offers, offers + len), (Bytes{255, 251, 44, 255, 251, 0, 255, 251, 3, 255, 253, 0, 255, 253, 3}));
    EXPECT_FALSE(t.comPortAnswered);

    // The answers to our own offers are not answered again; echo and an
    // unknown option are refused; data around the commands stays.
    Decoded d = Decode(&t, {'a', 255, 253, 44, 255, 251, 3, 255, 251, 1, 255, 253, 24, 255, 251, 0, 255, 253, 0,
                            255, 253, 3, 'b'});
    EXPECT_EQ(d.data, (Bytes{'a', 'b'}));
    EXPECT_EQ(d.reply, (Bytes{255, 254, 1, 255, 252, 24}));
    EXPECT_TRUE(t.comPortAnswered);
    EXPECT_TRUE(t.us[44] && t.us[0] && t.us[3] && t.him[0] && t.him[3]);

    // The same requests again: already in force, nothing to say.
    d = Decode(&t, {255, 253, 44, 255, 251, 3});
    EXPECT_TRUE(d.reply.empty());
    // Switched off by the server: acknowledged once (and not again); asked
    // to switch binary on again: agreed.
    d = Decode(&t, {255, 252, 3, 255, 254, 0});
    EXPECT_EQ(d.reply, (Bytes{255, 254, 3, 255, 252, 0}));
    d = Decode(&t, {255, 252, 3, 255, 253, 0});
    EXPECT_EQ(d.reply, (Bytes{255, 251, 0}));
    // A server that refuses the COM port option.
    TelnetState plain;
    TelnetReset(&plain);
    TelnetOffers(&plain, offers);
    d = Decode(&plain, {255, 254, 44});
    EXPECT_TRUE(d.reply.empty());
    EXPECT_TRUE(plain.comPortAnswered);
    EXPECT_FALSE(plain.us[44]);
}

TEST(TelnetCodec, ComPortAnswersAreReadAcrossReadsAndCommandsAreBuilt)
{
    TelnetState t;
    TelnetReset(&t);
    // A bit-rate answer of 57600 (0x0000E100), split in the middle, then a
    // modem state with CTS, then the same modem state again.
    Decoded a = Decode(&t, {'x', 255, 250, 44, 101, 0, 0});
    EXPECT_EQ(t.baudReplies, 0u);
    Decoded b = Decode(&t, {0xE1, 0, 255, 240, 'y', 255, 250, 44, 107, 0x30, 255});
    EXPECT_EQ(t.baudReplies, 1u);
    EXPECT_EQ(t.baudReply, 57600);
    EXPECT_FALSE(b.modem);  // not complete yet
    Decoded c = Decode(&t, {240, 255, 250, 44, 107, 0x30, 255, 240});
    EXPECT_TRUE(c.modem);
    EXPECT_EQ(t.modemState, 0x30);
    EXPECT_EQ(a.data, Bytes{'x'});
    EXPECT_EQ(b.data, Bytes{'y'});
    EXPECT_TRUE(c.data.empty());
    Decoded same = Decode(&t, {255, 250, 44, 107, 0x30, 255, 240});
    EXPECT_FALSE(same.modem);
    // A rate with a 0xFF byte inside is sent doubled; an answer carrying one
    // is read back whole.
    unsigned char out[32];
    int len = TelnetComPortCommand32(CpSetBaudRate, 0x0001FFFF, out);
    EXPECT_EQ(Bytes(out, out + len), (Bytes{255, 250, 44, 1, 0, 1, 255, 255, 255, 255, 255, 240}));
    out[3] = 101;
    Decode(&t, Bytes(out, out + len));
    EXPECT_EQ(t.baudReply, 0x0001FFFF);
    const unsigned char breakOn = CpControlBreakOn;
    len = TelnetComPortCommand(CpSetControl, &breakOn, 1, out);
    EXPECT_EQ(Bytes(out, out + len), (Bytes{255, 250, 44, 5, 5, 255, 240}));
    EXPECT_EQ(TelnetParityValue(0), 1);
    EXPECT_EQ(TelnetParityValue(1), 3);
    EXPECT_EQ(TelnetParityValue(2), 2);
    EXPECT_EQ(TelnetParityValue(3), 4);
    EXPECT_EQ(TelnetParityValue(4), 5);
    EXPECT_EQ(TelnetParityValue(5), 0);
    EXPECT_EQ(TelnetStopValue(1), 1);
    EXPECT_EQ(TelnetStopValue(2), 2);
    EXPECT_EQ(TelnetStopValue(3), 0);
}
