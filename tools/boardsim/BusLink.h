// BusLink: joins the simulated CAN bus of this process with those of other
// processes on the machine through Unix stream sockets in one directory.
//
// Every process listens on <dir>/<pid>-<n>.sock and connects to every other
// socket it finds there (rescanning now and then).  A frame goes out on the
// connections this process made and comes in on the ones it accepted, so
// each frame reaches each peer once.  Nothing ever blocks: a peer that stops
// reading has its backlog capped (frames beyond it are dropped for that
// peer), and a peer that dies is dropped when its connection fails; its
// stale socket file is removed by whoever finds it refusing connections.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <poll.h>

namespace boardsim {

struct WireFrame {
    uint8_t ext = 0, rtr = 0, len = 0;
    uint32_t id = 0;
    uint8_t data[8] = {};
    int baud_key = -1;  // bit-rate key of the sender, -1: any
};

class BusLink {
public:
    BusLink() = default;
    ~BusLink();
    BusLink(const BusLink &) = delete;
    BusLink &operator=(const BusLink &) = delete;

    // Opens the listening socket in dir (created with mode 0700 if missing).
    // Returns 0, or an errno (and stays inert) when that is not possible.
    int Open(const std::string &dir);
    void Close();
    bool IsOpen() const { return listen_fd_ >= 0; }

    // Queue a frame for every peer.
    void Send(const WireFrame &f);

    // Descriptors to wait on, and whether output is pending.
    void FillPoll(std::vector<pollfd> &fds) const;
    // Does all pending I/O without blocking; received frames are appended.
    void Service(std::vector<WireFrame> &received, uint64_t now_ns);

    size_t PeerCount() const { return out_.size(); }
    // Sends what is still queued for the peers, waiting at most timeout_ms.
    void Drain(int timeout_ms);

private:
    struct Out {
        std::string name;
        int fd = -1;
        std::string pending;
    };
    struct In {
        int fd = -1;
        std::string buf;
    };
    void Rescan();
    void FlushOut(Out &o);

    std::string dir_;
    std::string own_name_;
    int listen_fd_ = -1;
    std::vector<Out> out_;
    std::vector<In> in_;
    uint64_t next_scan_ns_ = 0;
};

// Wire format helpers (fixed 24-byte records).
constexpr size_t kWireSize = 24;
void EncodeWire(const WireFrame &f, unsigned char *out);
bool DecodeWire(const unsigned char *in, WireFrame &f);

} // namespace boardsim
