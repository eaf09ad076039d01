// Network serial ports on POSIX sockets: one TCP connection per port, with
// the Telnet COM port option for rfc2217:// and plain bytes for tcp://.
//
// Receiving: what the socket holds is read in one go, the Telnet commands
// are taken out (and answered) and the data waits in the port's buffer, so
// that a caller reading one byte at a time (the download's reply) still
// reads the socket once.  The buffer and the decoder belong to whoever
// holds the port's receive lock: the receive loop, or a settings change
// waiting for the server's answer on the keyboard thread.  The latter wakes
// the receive loop when it leaves data in the buffer.
//
// Sending: data with every 0xFF doubled, and the COM port option's commands,
// go out under the port's send lock, so that no command lands between a
// doubled 0xFF of data from the other thread.
#include "serial_net_posix.h"

#include "netport.h"
#include "serial.h"
#include "serial_system.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// How long a connection may take to be accepted, the server to answer our
// opening offers, and the server to answer a bit-rate request.
constexpr int ConnectMs = 3000;
constexpr int NegotiateMs = 1000;
constexpr int ReplyMs = 1000;
// A send that the network does not take within this time fails (as a
// write held by flow control does on a serial line).
constexpr int SendStallMs = 5000;
constexpr int RawReadSize = 4096;
constexpr int BufferSize = 16384;

struct NetPortState {
    std::mutex rx;  // tn, buf, start, count
    std::mutex tx;  // everything sent
    std::atomic<bool> open{false};
    std::atomic<int> fd{-1};
    std::atomic<int> kind{0};
    std::atomic<bool> comPort{false};  // the server may be sent COM port commands
    TelnetState tn;
    unsigned char buf[BufferSize];
    int start = 0;
    int count = 0;
    std::atomic<int> pending{0};
    std::atomic<int> modem{-1};

    // The settings last given, for a new connection (under rx).
    int rate = 0;
    int flow = -1;
    int parity = -1, data = -1, stop = -1;
    int rts = -1;
};
NetPortState Net[ComPortCount];

std::uint32_t NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

int LeftMs(std::uint32_t deadline)
{
    std::int32_t left = static_cast<std::int32_t>(deadline - NowMs());
    return left > 0 ? static_cast<int>(left) : 0;
}

// Sends all n bytes: 0, or the system's error code.
int SendAll(int fd, const unsigned char *p, int n)
{
    int done = 0;
    while (done < n) {
        ssize_t w = send(fd, p + done, static_cast<size_t>(n - done), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            done += static_cast<int>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return errno;
        struct pollfd pf = {fd, POLLOUT, 0};
        int r = poll(&pf, 1, SendStallMs);
        if (r == 0)
            return ETIMEDOUT;
        if (r < 0 && errno != EINTR)
            return errno;
        if (r > 0 && (pf.revents & (POLLERR | POLLNVAL)) && !(pf.revents & POLLOUT))
            return EPIPE;
    }
    return 0;
}

int SendLocked(NetPortState &s, int fd, const unsigned char *p, int n)
{
    std::lock_guard<std::mutex> lock(s.tx);
    return SendAll(fd, p, n);
}

void Command(NetPortState &s, int fd, int command, int value)
{
    unsigned char v = static_cast<unsigned char>(value);
    unsigned char out[8];
    int len = TelnetComPortCommand(command, &v, 1, out);
    SendLocked(s, fd, out, len);
}

void Command32(NetPortState &s, int fd, int command, std::uint32_t value)
{
    unsigned char out[16];
    int len = TelnetComPortCommand32(command, value, out);
    SendLocked(s, fd, out, len);
}

// Reads what the socket holds into the port's buffer (caller holds rx).
// The count of data bytes added, 0 for none (nothing waiting, or Telnet
// commands only), ComGone when the connection has ended.
int PumpLocked(int n, NetPortState &s, int fd)
{
    if (s.start > 0 && s.count > 0)
        std::memmove(s.buf, s.buf + s.start, static_cast<size_t>(s.count));
    s.start = 0;
    int room = BufferSize - s.count;
    if (room > RawReadSize)
        room = RawReadSize;
    if (room <= 0)
        return 0;
    unsigned char raw[RawReadSize];
    ssize_t got = recv(fd, raw, static_cast<size_t>(room), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    if (got <= 0)
        return ComGone;  // closed by the server, reset, or broken
    if (s.kind == NetRawTcp) {
        std::memcpy(s.buf + s.count, raw, static_cast<size_t>(got));
        s.count += static_cast<int>(got);
        s.pending = s.count;
        return static_cast<int>(got);
    }
    unsigned char reply[3 * RawReadSize];
    int dataLen = 0, replyLen = 0;
    bool modem = TelnetDecode(&s.tn, raw, static_cast<int>(got), s.buf + s.count, &dataLen, reply, &replyLen);
    s.count += dataLen;
    s.pending = s.count;
    if (replyLen > 0)
        SendLocked(s, fd, reply, replyLen);
    if (modem) {
        s.modem = s.tn.modemState;
        ComSysWake();  // the receive loop looks at CTS at once
    }
    (void)n;
    return dataLen;
}

// One round of waiting for the server while a setting is changed, on
// whichever thread: reads what came, and wakes the receive loop when data
// was left for it.  false when the connection has ended.
bool PumpAway(int n, NetPortState &s, int fd, int sliceMs)
{
    struct pollfd p = {fd, POLLIN, 0};
    poll(&p, 1, sliceMs);
    std::lock_guard<std::mutex> lock(s.rx);
    if (s.fd.load() != fd)
        return false;
    int got = PumpLocked(n, s, fd);
    if (got == ComGone)
        return false;
    if (got > 0)
        ComSysWake();
    return true;
}

unsigned BaudReplies(NetPortState &s, long *value)
{
    std::lock_guard<std::mutex> lock(s.rx);
    *value = s.tn.baudReply;
    return s.tn.baudReplies;
}

// Asks the server's port for a bit rate (0: only tell it) and waits,
// bounded, for the answer: the rate it reports, or 0 without an answer.
unsigned long AskRate(int n, NetPortState &s, int fd, std::uint32_t rate)
{
    long value = 0;
    unsigned before = BaudReplies(s, &value);
    Command32(s, fd, CpSetBaudRate, rate);
    std::uint32_t deadline = NowMs() + ReplyMs;
    for (;;) {
        unsigned now = BaudReplies(s, &value);
        if (now != before)
            return value > 0 ? static_cast<unsigned long>(value) : 0;
        int left = LeftMs(deadline);
        if (left == 0 || !PumpAway(n, s, fd, left < 50 ? left : 50))
            return 0;
    }
}

void SendFlow(NetPortState &s, int fd, int flowMode)
{
    Command(s, fd, CpSetControl, flowMode == 1 || flowMode == 2 ? CpControlHardwareFlow : CpControlNoFlow);
    if (flowMode != 2)
        Command(s, fd, CpSetControl, CpControlRtsOn);
}

void SendFormat(NetPortState &s, int fd, int parity, int data, int stop)
{
    if (data >= 5 && data <= 8)
        Command(s, fd, CpSetDataSize, data);
    if (TelnetParityValue(parity) != 0)
        Command(s, fd, CpSetParity, TelnetParityValue(parity));
    if (TelnetStopValue(stop) != 0)
        Command(s, fd, CpSetStopSize, TelnetStopValue(stop));
}

// A connected, non-blocking socket to the address: 0 or the error code.
int Connect(const NetAddress &a, int *out)
{
    char port[8];
    std::snprintf(port, sizeof port, "%d", a.port);
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *list = nullptr;
    if (getaddrinfo(a.host, port, &hints, &list) != 0 || list == nullptr)
        return EHOSTUNREACH;
    int err = ECONNREFUSED;
    for (struct addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        int r = connect(fd, ai->ai_addr, ai->ai_addrlen);
        if (r != 0 && errno == EINPROGRESS) {
            struct pollfd p = {fd, POLLOUT, 0};
            r = poll(&p, 1, ConnectMs);
            if (r == 0) {
                errno = ETIMEDOUT;
                r = -1;
            } else if (r > 0) {
                int soError = 0;
                socklen_t len = sizeof soError;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
                errno = soError;
                r = soError == 0 ? 0 : -1;
            }
        }
        if (r == 0) {
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // a block's reply is one byte
            setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
            freeaddrinfo(list);
            *out = fd;
            return 0;
        }
        err = errno;
        close(fd);
    }
    freeaddrinfo(list);
    return err;
}

}  // namespace

int NetOpen(int n, const char *word, int *out)
{
    NetAddress a;
    if (NetParseAddress(word, &a) != 0)
        return EINVAL;
    int fd = -1;
    int err = Connect(a, &fd);
    if (err != 0)
        return err;
    NetPortState &s = Net[n];
    unsigned char offers[32];
    int offersLen = 0;
    {
        std::lock_guard<std::mutex> lock(s.rx);
        s.fd = fd;
        s.kind = a.kind;
        s.start = s.count = 0;
        s.pending = 0;
        s.modem = -1;
        TelnetReset(&s.tn);
        if (a.kind == NetRfc2217)
            offersLen = TelnetOffers(&s.tn, offers);
    }
    if (a.kind == NetRfc2217) {
        if (SendLocked(s, fd, offers, offersLen) != 0) {
            close(fd);
            return ECONNRESET;
        }
        // The server's answer to the COM port option, bounded: one that
        // never answers is still used, as a plain Telnet connection would be.
        std::uint32_t deadline = NowMs() + NegotiateMs;
        for (;;) {
            bool answered = false;
            {
                std::lock_guard<std::mutex> lock(s.rx);
                answered = s.tn.comPortAnswered;
                s.comPort = !answered || s.tn.us[TnOptComPort];
            }
            int left = LeftMs(deadline);
            if (answered || left == 0)
                break;
            if (!PumpAway(n, s, fd, left < 50 ? left : 50)) {
                close(fd);
                return ECONNRESET;
            }
        }
        if (s.comPort) {
            Command(s, fd, CpSetLineStateMask, 0);
            // The state and the change bit both: servers notify on either.
            Command(s, fd, CpSetModemStateMask, CpModemCts | CpModemDeltaCts);
        }
    }
    s.open = true;
    *out = fd;
    return 0;
}

bool NetIsPort(int n)
{
    return Net[n].open.load();
}

void NetForget(int n, int fd)
{
    NetPortState &s = Net[n];
    std::lock_guard<std::mutex> lock(s.rx);
    if (s.fd.load() != fd)
        return;
    s.open = false;
    s.fd = -1;
    s.start = s.count = 0;
    s.pending = 0;
    s.modem = -1;
}

void NetReapply(int n, int fd)
{
    NetPortState &s = Net[n];
    if (s.kind != NetRfc2217 || !s.comPort)
        return;
    int rate, flow, parity, data, stop, rts;
    {
        std::lock_guard<std::mutex> lock(s.rx);
        rate = s.rate;
        flow = s.flow;
        parity = s.parity;
        data = s.data;
        stop = s.stop;
        rts = s.rts;
    }
    if (flow >= 0)
        SendFlow(s, fd, flow);
    if (rate > 0)
        Command32(s, fd, CpSetBaudRate, static_cast<std::uint32_t>(rate));
    SendFormat(s, fd, parity, data, stop);
    if (rts >= 0 && flow != 2)
        Command(s, fd, CpSetControl, rts ? CpControlRtsOn : CpControlRtsOff);
    (void)n;
}

int NetRead(int n, int fd, void *buffer, int max)
{
    NetPortState &s = Net[n];
    std::lock_guard<std::mutex> lock(s.rx);
    if (s.fd.load() != fd)
        return 0;  // an old connection, being replaced
    if (s.count == 0) {
        int got = PumpLocked(n, s, fd);
        if (got == ComGone)
            return ComGone;
    }
    int take = s.count < max ? s.count : max;
    if (take > 0) {
        std::memcpy(buffer, s.buf + s.start, static_cast<size_t>(take));
        s.start += take;
        s.count -= take;
        if (s.count == 0)
            s.start = 0;
        s.pending = s.count;
    }
    return take;
}

bool NetPending(int n)
{
    return Net[n].pending.load() > 0;
}

int NetWrite(int n, int fd, const void *buffer, int count)
{
    NetPortState &s = Net[n];
    const unsigned char *p = static_cast<const unsigned char *>(buffer);
    std::lock_guard<std::mutex> lock(s.tx);
    if (s.kind == NetRawTcp) {
        int err = SendAll(fd, p, count);
        return err == 0 ? count : err;
    }
    unsigned char out[2048];
    int done = 0;
    while (done < count) {
        int used = 0;
        int len = TelnetEscape(p + done, count - done, out, sizeof out, &used);
        int err = SendAll(fd, out, len);
        if (err != 0)
            return err;
        done += used;
    }
    return count;
}

void NetPurge(int n)
{
    NetPortState &s = Net[n];
    std::lock_guard<std::mutex> lock(s.rx);
    s.start = s.count = 0;
    s.pending = 0;
}

void NetSetRate(int n, int fd, int flowMode, int rate, unsigned long *before, unsigned long *after)
{
    NetPortState &s = Net[n];
    {
        std::lock_guard<std::mutex> lock(s.rx);
        s.rate = rate;
        s.flow = flowMode;
    }
    *before = 0;
    *after = 0;
    // Raw TCP: the server's port keeps its settings, which we cannot know.
    if (s.kind != NetRfc2217 || !s.comPort)
        return;
    SendFlow(s, fd, flowMode);
    *before = AskRate(n, s, fd, 0);
    *after = AskRate(n, s, fd, static_cast<std::uint32_t>(rate));
}

void NetSetFormat(int n, int fd, int parity, int data, int stop)
{
    NetPortState &s = Net[n];
    {
        std::lock_guard<std::mutex> lock(s.rx);
        if (TelnetParityValue(parity) != 0)
            s.parity = parity;
        if (data >= 5 && data <= 8)
            s.data = data;
        if (TelnetStopValue(stop) != 0)
            s.stop = stop;
    }
    if (s.kind == NetRfc2217 && s.comPort)
        SendFormat(s, fd, parity, data, stop);
}

void NetSetRts(int n, int fd, bool on)
{
    NetPortState &s = Net[n];
    {
        std::lock_guard<std::mutex> lock(s.rx);
        s.rts = on ? 1 : 0;
    }
    if (s.kind == NetRfc2217 && s.comPort)
        Command(s, fd, CpSetControl, on ? CpControlRtsOn : CpControlRtsOff);
}

void NetBreak(int n, int fd, bool on)
{
    NetPortState &s = Net[n];
    if (s.kind == NetRfc2217 && s.comPort)
        Command(s, fd, CpSetControl, on ? CpControlBreakOn : CpControlBreakOff);
}

int NetGetCts(int n, int fd, int *cts)
{
    NetPortState &s = Net[n];
    int modem = s.modem.load();
    if (s.fd.load() != fd || modem < 0)
        return -1;
    *cts = (modem & CpModemCts) ? 1 : 0;
    return 0;
}
