// BusLink: the simulated CAN bus between processes (see BusLink.h).
#include "BusLink.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace boardsim {

namespace {

constexpr size_t kMaxBacklog = 1u << 20;  // bytes queued for one slow peer
constexpr uint64_t kRescanNs = 250'000'000;
constexpr unsigned char kMagic0 = 'O', kMagic1 = 'b';

bool MakeAddr(const std::string &path, sockaddr_un &a)
{
    std::memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path)
        return false;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Creates dir and its parents; returns 0 or an errno.
int MakeDirs(const std::string &dir)
{
    std::string cur;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        cur = dir.substr(0, pos);
        if (cur.empty())
            continue;
        if (mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST)
            return errno;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

} // namespace

void EncodeWire(const WireFrame &f, unsigned char *out)
{
    std::memset(out, 0, kWireSize);
    out[0] = kMagic0;
    out[1] = kMagic1;
    out[2] = static_cast<unsigned char>((f.ext ? 1 : 0) | (f.rtr ? 2 : 0));
    out[3] = f.len;
    for (int i = 0; i < 4; ++i)
        out[4 + i] = static_cast<unsigned char>(f.id >> (8 * i));
    std::memcpy(out + 8, f.data, 8);
    uint32_t key = static_cast<uint32_t>(f.baud_key);
    for (int i = 0; i < 4; ++i)
        out[16 + i] = static_cast<unsigned char>(key >> (8 * i));
}

bool DecodeWire(const unsigned char *in, WireFrame &f)
{
    if (in[0] != kMagic0 || in[1] != kMagic1 || (in[2] & ~3u) != 0)
        return false;
    f.ext = in[2] & 1;
    f.rtr = (in[2] >> 1) & 1;
    f.len = in[3] > 8 ? 8 : in[3];
    f.id = 0;
    for (int i = 0; i < 4; ++i)
        f.id |= static_cast<uint32_t>(in[4 + i]) << (8 * i);
    f.id &= f.ext ? 0x1FFFFFFFu : 0x7FFu;
    std::memcpy(f.data, in + 8, 8);
    uint32_t key = 0;
    for (int i = 0; i < 4; ++i)
        key |= static_cast<uint32_t>(in[16 + i]) << (8 * i);
    f.baud_key = static_cast<int>(key);
    return true;
}

BusLink::~BusLink() { Close(); }

int BusLink::Open(const std::string &dir)
{
    Close();
    if (dir.empty())
        return ENOENT;
    if (int err = MakeDirs(dir))
        return err;
    static int counter = 0;
    for (int attempt = 0; attempt < 50; ++attempt) {
        std::string name = std::to_string(getpid()) + "-" + std::to_string(counter++) + ".sock";
        sockaddr_un a;
        if (!MakeAddr(dir + "/" + name, a))
            return ENAMETOOLONG;
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return errno;
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(fd, 16) == 0) {
            dir_ = dir;
            own_name_ = name;
            listen_fd_ = fd;
            next_scan_ns_ = 0;
            return 0;
        }
        int err = errno;
        close(fd);
        if (err != EADDRINUSE)
            return err;
    }
    return EADDRINUSE;
}

void BusLink::Close()
{
    for (auto &o : out_)
        if (o.fd >= 0)
            close(o.fd);
    for (auto &i : in_)
        if (i.fd >= 0)
            close(i.fd);
    out_.clear();
    in_.clear();
    if (listen_fd_ >= 0) {
        close(listen_fd_);
        listen_fd_ = -1;
        unlink((dir_ + "/" + own_name_).c_str());
    }
}

void BusLink::Send(const WireFrame &f)
{
    if (listen_fd_ < 0)
        return;
    unsigned char rec[kWireSize];
    EncodeWire(f, rec);
    for (auto &o : out_) {
        if (o.pending.size() + kWireSize > kMaxBacklog)
            continue;  // the peer does not read: it loses frames, nobody waits
        o.pending.append(reinterpret_cast<const char *>(rec), kWireSize);
    }
}

void BusLink::FillPoll(std::vector<pollfd> &fds) const
{
    if (listen_fd_ < 0)
        return;
    fds.push_back({listen_fd_, POLLIN, 0});
    for (auto &i : in_)
        fds.push_back({i.fd, POLLIN, 0});
    for (auto &o : out_)
        if (!o.pending.empty())
            fds.push_back({o.fd, POLLOUT, 0});
}

void BusLink::Rescan()
{
    DIR *d = opendir(dir_.c_str());
    if (!d)
        return;
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 5 && n.compare(n.size() - 5, 5, ".sock") == 0 && n != own_name_)
            names.push_back(n);
    }
    closedir(d);
    for (auto &n : names) {
        if (std::any_of(out_.begin(), out_.end(), [&](const Out &o) { return o.name == n; }))
            continue;
        sockaddr_un a;
        if (!MakeAddr(dir_ + "/" + n, a))
            continue;
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return;
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            Out o;
            o.name = n;
            o.fd = fd;
            out_.push_back(std::move(o));
        } else {
            int err = errno;
            close(fd);
            if (err == ECONNREFUSED)  // (EAGAIN: backlog full, try at the next scan)
                unlink((dir_ + "/" + n).c_str());  // nobody listens: a dead peer's file
        }
    }
}

void BusLink::FlushOut(Out &o)
{
    while (!o.pending.empty()) {
        ssize_t n = send(o.fd, o.pending.data(), o.pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            o.pending.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        close(o.fd);  // peer gone
        o.fd = -1;
        return;
    }
}

void BusLink::Service(std::vector<WireFrame> &received, uint64_t now_ns)
{
    if (listen_fd_ < 0)
        return;
    if (now_ns >= next_scan_ns_) {
        Rescan();
        next_scan_ns_ = now_ns + kRescanNs;
    }
    for (;;) {
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            break;
        In i;
        i.fd = fd;
        in_.push_back(std::move(i));
    }
    for (auto &i : in_) {
        char buf[4096];
        for (int rounds = 0; rounds < 64; ++rounds) {
            ssize_t n = recv(i.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                i.buf.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                close(i.fd);
                i.fd = -1;
            }
            break;
        }
        size_t off = 0;
        while (i.buf.size() - off >= kWireSize) {
            WireFrame f;
            if (!DecodeWire(reinterpret_cast<const unsigned char *>(i.buf.data() + off), f)) {
                close(i.fd);  // not one of ours: drop the connection
                i.fd = -1;
                off = i.buf.size();
                break;
            }
            received.push_back(f);
            off += kWireSize;
        }
        i.buf.erase(0, off);
    }
    in_.erase(std::remove_if(in_.begin(), in_.end(), [](const In &i) { return i.fd < 0; }), in_.end());
    for (auto &o : out_)
        FlushOut(o);
    out_.erase(std::remove_if(out_.begin(), out_.end(), [](const Out &o) { return o.fd < 0; }), out_.end());
}

void BusLink::Drain(int timeout_ms)
{
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
        std::vector<pollfd> fds;
        for (auto &o : out_) {
            if (o.fd >= 0)
                FlushOut(o);
            if (o.fd >= 0 && !o.pending.empty())
                fds.push_back({o.fd, POLLOUT, 0});
        }
        if (fds.empty())
            return;
        poll(fds.data(), fds.size(), 10);
    }
}

} // namespace boardsim
