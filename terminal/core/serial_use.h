// Keeping a port's handle alive while another thread uses it.
//
// The keyboard thread may switch ports (ALT_1..ALT_9, the "c" command)
// while the receive loop reads or waits on the old one.  Every operation
// that uses a handle holds a PortUse for its duration; ComClose takes the
// handle out of the table first and closes it only when no PortUse of that
// port is left, so no thread ever reads from a handle that was closed (or,
// worse, reused by the system for another file).
#pragma once

#include "serial.h"

#include <atomic>

extern std::atomic<int> PortUsers[ComPortCount];

class PortUse {
public:
    explicit PortUse(int n) : n_(n >= 1 && n < ComPortCount ? n : 0)
    {
        if (n_ != 0) {
            PortUsers[n_].fetch_add(1);
            handle_ = PortHandles[n_].load();
        }
    }
    ~PortUse()
    {
        if (n_ != 0)
            PortUsers[n_].fetch_sub(1);
    }
    PortUse(const PortUse &) = delete;
    PortUse &operator=(const PortUse &) = delete;

    ComHandle Handle() const { return handle_; }

private:
    int n_;
    ComHandle handle_ = ComNoHandle;
};

// Takes port n's handle out of the table and waits (bounded) until no
// PortUse holds it.  Returns the handle to close, or ComNoHandle when the
// port was not open or a user still holds it after the bound (the handle
// is then left open rather than closed under that user).
ComHandle ComRetireHandle(int n);
