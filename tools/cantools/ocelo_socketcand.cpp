// ocelo-socketcand: the board's slots over the network, in the socketcand
// protocol's raw mode.
//
//   ocelo-socketcand -i slot1[,slot2...] [-p port] [-l address] [-b bitrate]
//
// One process owns the slots and serves every client from one thread: the
// board's frames go to each client in raw mode on that slot, the clients'
// frames go to the board one after the other.  Each client has an output
// queue of its own; a client that lets it grow past its cap is dropped with
// a message, so that a slow client neither stalls the others nor loses
// frames unnoticed.
#include "CanTool.h"
#include "Ocelo.h"
#include "OceloWait.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kMaxCommand = 256;           // bytes from '<' to '>'
constexpr size_t kOutputCap = 4u << 20;       // bytes of output a client may leave unread
constexpr size_t kFramesPerRound = 256;       // frames taken from a slot before the clients are served
constexpr int kBoardPollMs = 1000;            // the boards are asked again at least this often
constexpr int kBeaconMs = 2000;
constexpr auto kRawHold = std::chrono::milliseconds(200);
constexpr unsigned kDefaultPort = 29536, kDefaultBeaconPort = 42000;

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t g_stop = 0;
int g_wake_pipe[2] = {-1, -1};
void OnStop(int)
{
    g_stop = 1;
    const int saved = errno;
    const char c = 0;
    if (write(g_wake_pipe[1], &c, 1) < 0) {
        // the pipe is full: the loop wakes anyway
    }
    errno = saved;
}

void Usage(FILE *out)
{
    std::fputs("usage: ocelo-socketcand -i slot1[,slot2...] [options]\n"
               "  -i slots         the slots to serve, as slotN (N 1 to 7), separated by\n"
               "                   commas; clients open them by these names\n"
               "  -p port          TCP port to listen on (default 29536; 0: any free\n"
               "                   port, printed on standard error)\n"
               "  -l address       IPv4 address to listen on (default 127.0.0.1: this\n"
               "                   machine only; 0.0.0.0: every interface)\n"
               "  -b bitrate       bit rate in bit/s, a rate of the board's table\n"
               "                   (default 500000)\n"
               "  --max-clients n  clients served at once, 1 to 64 (default 16); one\n"
               "                   more is told so and closed\n"
               "  --no-beacon      send no discovery beacon\n"
               "  --beacon address[:port]\n"
               "                   send the discovery beacon there (default\n"
               "                   255.255.255.255:42000, only when listening on an\n"
               "                   address other than loopback)\n"
               "  -h, --help       print this help and exit\n"
               "  --version        print the version and exit\n"
               "bit rates: 5000 10000 20000 25000 50000 100000 125000 200000 250000\n"
               "           500000 800000 1000000\n"
               "exit status: 0 stopped by SIGTERM or SIGINT, 1 a slot or the port\n"
               "cannot be used or a board fails, 2 usage error\n",
               out);
}

struct Slot {
    unsigned char slot = 0;
    std::string name;  // "slotN"
    unsigned char canstat = 0;
    int fd = -1;       // readable while the slot may have news
};

enum class Mode { NoBus, Bcm, Raw };

struct Client {
    int fd = -1;
    std::string peer;
    Mode mode = Mode::NoBus;
    int slot = -1;             // index into the served slots
    std::string in;            // received, not yet a whole command
    std::string out;           // to write, from out_at on
    size_t out_at = 0;
    std::string held;          // frames while the switch to raw mode settles
    Clock::time_point hold_until{};
    bool closing = false;      // write what is queued, then close
    bool dead = false;
};

struct Server {
    unsigned long baud = 500000;
    std::vector<Slot> slots;
    std::vector<Client> clients;
    size_t max_clients = 16;
    int listen_fd = -1;
    sockaddr_in listen_addr{};
    bool beacon = true, beacon_forced = false;
    sockaddr_in beacon_addr{};
    int beacon_fd = -1;
    bool beacon_failed = false;
    Clock::time_point next_beacon{};
    int status = 0;
};

int64_t HostMicros()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

std::string Trim(const std::string &s)
{
    size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

std::vector<std::string> Words(const std::string &s)
{
    std::vector<std::string> w;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && std::strchr(" \t\r\n", s[i]))
            ++i;
        size_t j = i;
        while (j < s.size() && !std::strchr(" \t\r\n", s[j]))
            ++j;
        if (j > i)
            w.push_back(s.substr(i, j - i));
        i = j;
    }
    return w;
}

bool HexValue(const std::string &s, size_t max_digits, unsigned long &out)
{
    if (s.empty() || s.size() > max_digits)
        return false;
    out = 0;
    for (char c : s) {
        int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (v < 0)
            return false;
        out = out * 16 + static_cast<unsigned long>(v);
    }
    return true;
}

// Text from a client, safe to quote in a reply: printable, without the
// protocol's brackets, and short.
std::string Quote(const std::string &s)
{
    std::string q;
    for (char c : s.substr(0, 32))
        q += (c > ' ' && c < 127 && c != '<' && c != '>') ? c : '?';
    return s.size() > 32 ? q + "..." : q;
}

// "< frame ID SECONDS.USECONDS DATA >" (remote frames "< rtr ID
// SECONDS.USECONDS DLC >"), with a space in front: python-can's client
// (Debian's 4.1) skips one character after the last whole command of each
// read, which would cut the '<' of a command split between two reads.
std::string FrameLine(const cantool::FrameSpec &f, int64_t micros)
{
    char buf[96];
    int n;
    const long long sec = micros / 1000000;
    const long usec = static_cast<long>(micros % 1000000);
    if (f.rtr)
        n = std::snprintf(buf, sizeof buf, " < rtr %0*lX %lld.%06ld %u >", f.ext ? 8 : 3, f.id, sec, usec,
                          static_cast<unsigned>(f.len));
    else {
        n = std::snprintf(buf, sizeof buf, " < frame %0*lX %lld.%06ld ", f.ext ? 8 : 3, f.id, sec, usec);
        for (unsigned i = 0; i < f.len && i < 8; ++i)
            n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "%02X", f.data[i]);
        n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), " >");
    }
    return std::string(buf, static_cast<size_t>(n));
}

void Queue(Client &c, const std::string &text)
{
    if (!c.dead)
        c.out += text;
}

void Reply(Client &c, const std::string &text) { Queue(c, "< " + text + " >"); }

void Drop(Client &c, const char *why)
{
    if (!c.dead)
        std::fprintf(stderr, "ocelo-socketcand: client %s dropped: %s\n", c.peer.c_str(), why);
    c.dead = true;
}

// A frame from the board to every client in raw mode on the slot.
void FanOut(Server &s, int slot, const std::string &line)
{
    const Clock::time_point now = Clock::now();
    for (Client &c : s.clients) {
        if (c.dead || c.closing || c.mode != Mode::Raw || c.slot != slot)
            continue;
        std::string &q = (now < c.hold_until || !c.held.empty()) ? c.held : c.out;  // in order
        q += line;
        if (c.out.size() - c.out_at + c.held.size() > kOutputCap)
            Drop(c, "it does not read its frames fast enough (output queue full)");
    }
}

int InitSlot(Server &s, Slot &sl)
{
    int rc = cantool::InitBoard(sl.slot, s.baud, 0, 0, 0, 0xFFFFFFFFul);
    sl.canstat = 0;
    if (rc == OCELO_OK && GetCANMsgFd(sl.slot, &sl.fd) != OCELO_OK)
        rc = OCELO_ERR_BOARD;
    return rc;
}

// Takes what the slot has: frames, status changes as error frames.  True
// when frames may still be waiting.
bool ServeSlot(Server &s, int index)
{
    Slot &sl = s.slots[static_cast<size_t>(index)];
    cantool::FrameSpec f;
    unsigned char can = 0, buf = 0;
    GetStatus(sl.slot, &can, &buf);
    if (can != sl.canstat && cantool::ErrorFrameFor(sl.canstat, can, false, buf, f))
        FanOut(s, index, FrameLine(f, HostMicros()));
    sl.canstat = can;
    for (size_t n = 0; n < kFramesPerRound; ++n) {
        unsigned long id = 0, upper = 0, lower = 0;
        double arrived = 0;
        f = cantool::FrameSpec{};
        int rc = GetCANMsgStamp(sl.slot, &f.ext, &id, &f.rtr, &f.len, f.data, &upper, &lower, &arrived);
        if (rc == OCELO_OK) {
            f.id = id;
            FanOut(s, index, FrameLine(f, static_cast<int64_t>(std::llround(arrived * 1e6))));
        } else if (rc == OCELO_OVERFLOW) {
            GetStatus(sl.slot, &can, &buf);
            std::fprintf(stderr, "ocelo-socketcand: %s: board reports an overflow, frames were lost\n", sl.name.c_str());
            if (cantool::ErrorFrameFor(can, can, true, buf, f))
                FanOut(s, index, FrameLine(f, HostMicros()));
            ClearStatus(sl.slot);
        } else if (rc == OCELO_NOT_INIT) {
            std::fprintf(stderr, "ocelo-socketcand: %s: the board restarted, initialising again\n", sl.name.c_str());
            if (InitSlot(s, sl) != OCELO_OK) {
                std::fprintf(stderr, "ocelo-socketcand: %s does not answer\n", sl.name.c_str());
                s.status = 1;
                g_stop = 1;
            }
            return false;
        } else {
            return false;
        }
    }
    return true;
}

// "< send ID LEN BYTES... >" and "< sendrtr ID LEN >".  The identifier is
// hexadecimal: 8 digits or a value above 7FF is an extended one.
void SendCommand(Server &s, Client &c, const std::vector<std::string> &w)
{
    const bool rtr = w[0] == "sendrtr";
    cantool::FrameSpec f;
    unsigned long id = 0, len = 0;
    if (w.size() < 3 || !HexValue(w[1], 8, id) || id > 0x1FFFFFFFul) {
        Reply(c, "error " + w[0] + ": the identifier must be 1 to 8 hex digits, at most 1FFFFFFF");
        return;
    }
    if (!HexValue(w[2], 1, len) || len > 8) {
        Reply(c, "error " + w[0] + ": the length must be 0 to 8");
        return;
    }
    const size_t given = w.size() - 3;
    if (rtr ? given != 0 : given != len) {
        Reply(c, "error " + w[0] + ": " + std::to_string(given) + " data bytes for length " + std::to_string(len) +
                     (rtr ? " (a remote frame carries none)" : ""));
        return;
    }
    for (size_t i = 0; i < given; ++i) {
        unsigned long b = 0;
        if (!HexValue(w[3 + i], 2, b)) {
            Reply(c, "error " + w[0] + ": data byte " + Quote(w[3 + i]) + " is not 1 or 2 hex digits");
            return;
        }
        f.data[i] = static_cast<unsigned char>(b);
    }
    f.ext = (w[1].size() == 8 || id > 0x7FF) ? 1 : 0;
    f.rtr = rtr ? 1 : 0;
    f.len = static_cast<unsigned char>(len);
    const Slot &sl = s.slots[static_cast<size_t>(c.slot)];
    int rc = SendCANMsg(sl.slot, f.ext, id, f.rtr, f.len, f.data);
    if (rc != OCELO_OK)
        Reply(c, "error " + w[0] + ": the board did not take the frame (" + std::to_string(rc) +
                     (rc == OCELO_OVERFLOW ? ", transmission blocked)" : ")"));
}

void Command(Server &s, Client &c, const std::string &text)
{
    const std::vector<std::string> w = Words(text);
    if (w.empty()) {
        Reply(c, "error empty command");
        return;
    }
    const std::string &cmd = w[0];
    if (cmd == "echo" && w.size() == 1) {
        Reply(c, "echo");
        return;
    }
    if (c.mode == Mode::NoBus) {
        if (cmd == "open" && w.size() == 2) {
            for (size_t i = 0; i < s.slots.size(); ++i)
                if (s.slots[i].name == w[1]) {
                    c.slot = static_cast<int>(i);
                    c.mode = Mode::Bcm;
                    Reply(c, "ok");
                    return;
                }
            Reply(c, "error no such bus: " + Quote(w[1]));
            c.closing = true;
            return;
        }
        if (cmd == "open") {
            Reply(c, "error open takes one bus name");
            return;
        }
        if (w.size() >= 2 && (w[1] == "B" || w[1] == "C")) {
            Reply(c, "error bus settings are not served: the bit rate is the server's -b");
            return;
        }
        Reply(c, "error " + Quote(cmd) + ": open a bus first");
        return;
    }
    if (cmd == "rawmode" && w.size() == 1) {
        if (c.mode != Mode::Raw)
            c.hold_until = Clock::now() + kRawHold;
        c.mode = Mode::Raw;
        Reply(c, "ok");
        return;
    }
    if ((cmd == "send" || cmd == "sendrtr")) {
        SendCommand(s, c, w);
        return;
    }
    if (cmd == "open") {
        Reply(c, "error a bus is open already");
        return;
    }
    static const char *const kRefused[] = {"bcmmode",   "controlmode", "isotpmode", "add",        "update",
                                           "delete",    "filter",      "muxfilter", "subscribe",  "unsubscribe",
                                           "statistics", "isotpconf",  "sendpdu"};
    for (const char *r : kRefused)
        if (cmd == r) {
            Reply(c, "error " + cmd + " is not served: raw mode only");
            return;
        }
    Reply(c, "error unknown command " + Quote(cmd));
}

// Whole commands out of what the client sent.  Text outside "< ... >" and
// commands longer than kMaxCommand are errors; the second drops the client.
void Parse(Server &s, Client &c)
{
    size_t at = 0;
    while (!c.dead && !c.closing) {
        while (at < c.in.size() && std::strchr(" \t\r\n", c.in[at]))
            ++at;
        if (at >= c.in.size())
            break;
        if (c.in[at] != '<') {
            size_t next = c.in.find('<', at);
            Reply(c, "error text outside a command: " + Quote(c.in.substr(at, next == std::string::npos ? 32 : next - at)));
            at = next == std::string::npos ? c.in.size() : next;
            continue;
        }
        size_t end = c.in.find('>', at);
        size_t next_open = c.in.find('<', at + 1);
        if (next_open != std::string::npos && (end == std::string::npos || next_open < end)) {
            Reply(c, "error command not closed with '>' before the next '<'");
            at = next_open;
            continue;
        }
        if (end == std::string::npos) {
            if (c.in.size() - at > kMaxCommand) {
                Reply(c, "error command longer than " + std::to_string(kMaxCommand) + " bytes");
                c.closing = true;
                std::fprintf(stderr, "ocelo-socketcand: client %s dropped: command longer than %zu bytes\n",
                             c.peer.c_str(), kMaxCommand);
            }
            break;
        }
        if (end + 1 - at > kMaxCommand) {
            Reply(c, "error command longer than " + std::to_string(kMaxCommand) + " bytes");
            c.closing = true;
            std::fprintf(stderr, "ocelo-socketcand: client %s dropped: command longer than %zu bytes\n",
                         c.peer.c_str(), kMaxCommand);
            break;
        }
        Command(s, c, c.in.substr(at + 1, end - at - 1));
        at = end + 1;
    }
    c.in.erase(0, std::min(at, c.in.size()));
    if (c.closing)
        c.in.clear();
}

void ReadClient(Server &s, Client &c)
{
    char buf[4096];
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        c.dead = true;  // gone: no message, a client may leave when it likes
        return;
    }
    if (n < 0 || c.closing)
        return;
    c.in.append(buf, static_cast<size_t>(n));
    Parse(s, c);
}

void WriteClient(Client &c)
{
    while (!c.dead && c.out_at < c.out.size()) {
        ssize_t n = send(c.fd, c.out.data() + c.out_at, c.out.size() - c.out_at, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR)
                c.dead = true;
            break;
        }
        c.out_at += static_cast<size_t>(n);
    }
    if (c.out_at == c.out.size()) {
        c.out.clear();
        c.out_at = 0;
        if (c.closing)
            c.dead = true;
    } else if (c.out_at > (1u << 16) && c.out_at > c.out.size() / 2) {
        c.out.erase(0, c.out_at);
        c.out_at = 0;
    }
}

void Accept(Server &s)
{
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = accept4(s.listen_fd, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
    const std::string name = std::string(addr) + ":" + std::to_string(ntohs(peer.sin_port));
    size_t live = 0;
    for (const Client &c : s.clients)
        live += !c.dead;
    if (live >= s.max_clients) {
        static const char kFull[] = "< error too many clients >";
        if (send(fd, kFull, sizeof kFull - 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
            // the client learns it from the close
        }
        close(fd);
        std::fprintf(stderr, "ocelo-socketcand: client %s refused: %zu clients are served already\n", name.c_str(), live);
        return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Client c;
    c.fd = fd;
    c.peer = name;
    c.out = "< hi >";
    s.clients.push_back(std::move(c));
}

std::string XmlEscape(const std::string &s)
{
    std::string r;
    for (char c : s)
        r += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '"' ? "&quot;" : std::string(1, c);
    return r;
}

void SendBeacon(Server &s)
{
    if (s.beacon_fd < 0) {
        s.beacon_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int one = 1;
        if (s.beacon_fd >= 0)
            setsockopt(s.beacon_fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    }
    // The address clients reach us at: the listening one, or for 0.0.0.0 the
    // one this host sends from towards the beacon's destination.
    in_addr host = s.listen_addr.sin_addr;
    if (host.s_addr == htonl(INADDR_ANY)) {
        int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int one = 1;
        sockaddr_in local{};
        socklen_t len = sizeof local;
        if (probe >= 0 && setsockopt(probe, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) == 0 &&
            connect(probe, reinterpret_cast<const sockaddr *>(&s.beacon_addr), sizeof s.beacon_addr) == 0 &&
            getsockname(probe, reinterpret_cast<sockaddr *>(&local), &len) == 0)
            host = local.sin_addr;
        if (probe >= 0)
            close(probe);
    }
    char addr[INET_ADDRSTRLEN] = "0.0.0.0";
    inet_ntop(AF_INET, &host, addr, sizeof addr);
    char hostname[256] = "ocelo";
    if (gethostname(hostname, sizeof hostname - 1) != 0)
        std::strcpy(hostname, "ocelo");
    hostname[sizeof hostname - 1] = 0;
    std::string xml = "<CANBeacon name=\"" + XmlEscape(hostname) + "\" type=\"embedded\" description=\"ocelo-socketcand " +
                      OCELO_TOOLS_VERSION + "\"><URL>can://" + addr + ":" +
                      std::to_string(ntohs(s.listen_addr.sin_port)) + "</URL>";
    for (const Slot &sl : s.slots)
        xml += "<Bus name=\"" + sl.name + "\"/>";
    xml += "</CANBeacon>";
    if (s.beacon_fd < 0 || sendto(s.beacon_fd, xml.data(), xml.size(), MSG_DONTWAIT,
                                  reinterpret_cast<const sockaddr *>(&s.beacon_addr), sizeof s.beacon_addr) < 0) {
        if (!s.beacon_failed)
            std::fprintf(stderr, "ocelo-socketcand: cannot send the discovery beacon: %s\n", std::strerror(errno));
        s.beacon_failed = true;
    } else {
        s.beacon_failed = false;
    }
}

bool ParseAddress(const std::string &text, in_addr &out) { return inet_pton(AF_INET, text.c_str(), &out) == 1; }

int Run(Server &s)
{
    while (!g_stop) {
        std::vector<pollfd> fds;
        fds.push_back({g_wake_pipe[0], POLLIN, 0});
        fds.push_back({s.listen_fd, POLLIN, 0});
        bool board_news = false;
        for (const Slot &sl : s.slots) {
            if (WaitCANMsg(sl.slot, 0) != OCELO_NO_MSG)
                board_news = true;
            fds.push_back({sl.fd, POLLIN, 0});
        }
        const Clock::time_point now = Clock::now();
        int timeout = kBoardPollMs;
        if (s.beacon)
            timeout = std::min<int>(timeout, static_cast<int>(std::max<long long>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(s.next_beacon - now).count() + 1)));
        const size_t first_client = fds.size();
        for (Client &c : s.clients) {
            if (!c.held.empty() && now >= c.hold_until) {
                c.out += c.held;
                c.held.clear();
            }
            if (!c.held.empty())
                timeout = std::min<int>(timeout, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                      c.hold_until - now).count() + 1));
            short ev = static_cast<short>((c.closing ? 0 : POLLIN) | (c.out_at < c.out.size() ? POLLOUT : 0));
            fds.push_back({c.fd, ev, 0});
        }
        if (board_news)
            timeout = 0;
        int n = poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "ocelo-socketcand: poll: %s\n", std::strerror(errno));
            return 1;
        }
        if (g_stop)
            break;
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (read(g_wake_pipe[0], drain, sizeof drain) > 0) {
            }
        }
        for (int i = 0; i < static_cast<int>(s.slots.size()); ++i)
            ServeSlot(s, i);
        const size_t nclients = s.clients.size();  // Accept may add one
        for (size_t i = 0; i < nclients && n > 0; ++i) {
            Client &c = s.clients[i];
            const short re = fds[first_client + i].revents;
            if (re & (POLLIN | POLLHUP | POLLERR))
                ReadClient(s, c);
        }
        if (fds[1].revents & POLLIN)
            Accept(s);
        for (Client &c : s.clients)
            WriteClient(c);
        for (size_t i = 0; i < s.clients.size();) {
            if (s.clients[i].dead) {
                close(s.clients[i].fd);
                s.clients.erase(s.clients.begin() + static_cast<long>(i));
            } else {
                ++i;
            }
        }
        if (s.beacon && Clock::now() >= s.next_beacon) {
            SendBeacon(s);
            s.next_beacon = Clock::now() + std::chrono::milliseconds(kBeaconMs);
        }
    }
    return s.status;
}

} // namespace

int main(int argc, char **argv)
{
    Server s;
    unsigned long port = kDefaultPort;
    std::string listen_text = "127.0.0.1", slots_text, beacon_text;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            Usage(stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("ocelo-socketcand %s\n", OCELO_TOOLS_VERSION);
            return 0;
        }
        if (a == "--no-beacon") {
            s.beacon = false;
            continue;
        }
        if (a == "-i" || a == "-p" || a == "-l" || a == "-b" || a == "--max-clients" || a == "--beacon") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ocelo-socketcand: %s needs a value\n", a.c_str());
                return 2;
            }
            std::string v = argv[++i];
            unsigned long num = 0;
            if (a == "-i") {
                slots_text = v;
            } else if (a == "-l") {
                listen_text = v;
            } else if (a == "--beacon") {
                beacon_text = v;
            } else if (!cantool::ParseNumber(v, a == "-p" ? 65535 : a == "-b" ? 1000000 : 64, num) ||
                       (a == "--max-clients" && num < 1)) {
                std::fprintf(stderr, "ocelo-socketcand: bad value for %s: %s\n", a.c_str(), v.c_str());
                return 2;
            } else {
                if (a == "-p")
                    port = num;
                else if (a == "-b")
                    s.baud = num;
                else
                    s.max_clients = num;
            }
            continue;
        }
        std::fprintf(stderr, "ocelo-socketcand: unknown argument %s\n", a.c_str());
        Usage(stderr);
        return 2;
    }
    if (slots_text.empty()) {
        Usage(stderr);
        return 2;
    }
    for (size_t p = 0; p <= slots_text.size();) {
        size_t q = slots_text.find(',', p);
        std::string word = Trim(slots_text.substr(p, q == std::string::npos ? std::string::npos : q - p));
        p = q == std::string::npos ? slots_text.size() + 1 : q + 1;
        unsigned long n = 0;
        if (word.size() != 5 || word.compare(0, 4, "slot") != 0 || !cantool::ParseNumber(word.substr(4), 7, n) || n < 1) {
            std::fprintf(stderr, "ocelo-socketcand: -i takes slotN names, N 1 to 7: %s\n", word.c_str());
            return 2;
        }
        for (const Slot &o : s.slots)
            if (o.slot == n) {
                std::fprintf(stderr, "ocelo-socketcand: %s given twice\n", word.c_str());
                return 2;
            }
        Slot sl;
        sl.slot = static_cast<unsigned char>(n);
        sl.name = word;
        s.slots.push_back(sl);
    }
    if (!cantool::TableBitRate(s.baud)) {
        std::fprintf(stderr, "ocelo-socketcand: the board cannot run at %lu bit/s; rates: %s\n", s.baud,
                     cantool::TableBitRates());
        return 2;
    }
    s.listen_addr.sin_family = AF_INET;
    s.listen_addr.sin_port = htons(static_cast<uint16_t>(port));
    if (!ParseAddress(listen_text, s.listen_addr.sin_addr)) {
        std::fprintf(stderr, "ocelo-socketcand: -l takes an IPv4 address: %s\n", listen_text.c_str());
        return 2;
    }
    s.beacon_addr.sin_family = AF_INET;
    s.beacon_addr.sin_port = htons(kDefaultBeaconPort);
    s.beacon_addr.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    if (!beacon_text.empty()) {
        std::string host = beacon_text;
        size_t colon = beacon_text.find(':');
        unsigned long bport = kDefaultBeaconPort;
        if (colon != std::string::npos) {
            host = beacon_text.substr(0, colon);
            if (!cantool::ParseNumber(beacon_text.substr(colon + 1), 65535, bport) || bport == 0) {
                std::fprintf(stderr, "ocelo-socketcand: bad beacon port: %s\n", beacon_text.c_str());
                return 2;
            }
        }
        if (!ParseAddress(host, s.beacon_addr.sin_addr)) {
            std::fprintf(stderr, "ocelo-socketcand: --beacon takes an IPv4 address[:port]: %s\n", beacon_text.c_str());
            return 2;
        }
        s.beacon_addr.sin_port = htons(static_cast<uint16_t>(bport));
        s.beacon_forced = true;
    }
    const bool loopback = (ntohl(s.listen_addr.sin_addr.s_addr) >> 24) == 127;
    if (s.beacon && loopback && !s.beacon_forced)
        s.beacon = false;  // nobody elsewhere can connect: nothing to announce

    if (pipe2(g_wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "ocelo-socketcand: pipe: %s\n", std::strerror(errno));
        return 1;
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    for (Slot &sl : s.slots) {
        int rc = cantool::OpenSlot(sl.slot);
        if (rc != 0) {
            std::fprintf(stderr, "ocelo-socketcand: %s\n", cantool::OpenSlotError(sl.slot, rc).c_str());
            RecoverOcelo();
            return 1;
        }
        rc = InitSlot(s, sl);
        if (rc != OCELO_OK) {
            std::fprintf(stderr, "ocelo-socketcand: OceloInit on slot %u failed (%d)\n", sl.slot, rc);
            RecoverOcelo();
            return 1;
        }
    }
    s.listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (s.listen_fd < 0 || setsockopt(s.listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(s.listen_fd, reinterpret_cast<const sockaddr *>(&s.listen_addr), sizeof s.listen_addr) != 0 ||
        listen(s.listen_fd, 16) != 0) {
        std::fprintf(stderr, "ocelo-socketcand: cannot listen on %s port %lu: %s\n", listen_text.c_str(), port,
                     std::strerror(errno));
        RecoverOcelo();
        return 1;
    }
    socklen_t len = sizeof s.listen_addr;
    getsockname(s.listen_fd, reinterpret_cast<sockaddr *>(&s.listen_addr), &len);
    std::string names;
    for (const Slot &sl : s.slots)
        names += (names.empty() ? "" : ",") + sl.name;
    std::fprintf(stderr, "# serving %s at %lu bit/s on %s port %u%s\n", names.c_str(), s.baud, listen_text.c_str(),
                 ntohs(s.listen_addr.sin_port), s.beacon ? ", discovery beacon on" : "");
    s.next_beacon = Clock::now();
    int status = Run(s);
    for (Client &c : s.clients)
        close(c.fd);
    close(s.listen_fd);
    if (s.beacon_fd >= 0)
        close(s.beacon_fd);
    RecoverOcelo();
    return status;
}
