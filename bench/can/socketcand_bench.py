#!/usr/bin/env python3
"""ocelo-socketcand under a burst: python-can's socketcand client on this
machine receives what the server's board takes from the bus.

    socketcand_bench.py BIN_DIR [seconds [senders]]

The bus runs at 1 Mbit/s.  ocelo-send processes on slots 1, 3, 4, ... send
8-byte frames back to back (frames/s of the bus limit, 9009, times seconds
in all, split between them); each sender has its identifier (101, 102, ...)
and counts in the first 4 data bytes.  The server serves slot 2; the client
checks that every frame arrives, in order per sender.  Prints "name value"
lines:
  socketcand_sent            frames the senders put on the bus
  socketcand_received        frames the client received
  socketcand_lost            sent but never received
  socketcand_out_of_order    received out of its sender's order
  socketcand_fps             frames/s at the client, first to last frame
  socketcand_send_fps        frames/s the senders reached together
  socketcand_server_cpu_pct  the server's CPU meanwhile, % of one core
  bus_limit_fps              9009
"""

import logging
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import can

# The client warns of every command split between two reads: noise here.
logging.getLogger("can.interfaces.socketcand").setLevel(logging.ERROR)

BUS_LIMIT = 9009


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    bindir = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 30
    senders = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    work = tempfile.mkdtemp(prefix="ocelo-scd-bench-")
    env = dict(os.environ, OCELO_SIM_BUS=os.path.join(work, "bus"))
    total = int(BUS_LIMIT * seconds)
    per = [total // senders + (1 if i < total % senders else 0) for i in range(senders)]
    slots = [1] + list(range(3, 3 + senders - 1))
    logs = []
    for i, n in enumerate(per):
        path = os.path.join(work, "send%d.log" % i)
        with open(path, "w") as f:
            f.writelines("(0.000000) slot1 %03X#%08X00000000\n" % (0x101 + i, k) for k in range(n))
        logs.append(path)

    err = open(os.path.join(work, "server.err"), "w+")
    srv = subprocess.Popen([os.path.join(bindir, "ocelo-socketcand"), "-i", "slot2", "-p", "0", "-b", "1000000"],
                           stderr=err, env=env)
    try:
        end = time.monotonic() + 60
        port = None
        while port is None and time.monotonic() < end and srv.poll() is None:
            err.seek(0)
            m = re.search(r"# serving .* port (\d+)", err.read())
            port = int(m.group(1)) if m else None
            time.sleep(0.05)
        if port is None:
            err.seek(0)
            sys.exit("socketcand_bench: the server did not start: " + err.read())
        bus = can.Bus(interface="socketcand", host="127.0.0.1", port=port, channel="slot2")
        time.sleep(0.5)  # the switch to raw mode settles
        cpu0, t0 = cpu_seconds(srv.pid), time.monotonic()
        procs = [subprocess.Popen([os.path.join(bindir, "ocelo-send"), "-b", "1000000", "-t", "-I", log, str(slot)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
                 for log, slot in zip(logs, slots)]
        expect = [0] * senders
        received = disorder = 0
        first = last = None
        send_end = None
        idle_since = time.monotonic()
        while received < total:
            m = bus.recv(0.5)
            now = time.monotonic()
            if send_end is None and all(p.poll() is not None for p in procs):
                send_end = now
            if m is None:
                if send_end is not None and now - max(idle_since, send_end) > 10:
                    break
                continue
            idle_since = now
            i = m.arbitration_id - 0x101
            if not 0 <= i < senders:
                continue  # error frames are not expected here: counted as lost frames if any
            received += 1
            first = first if first is not None else now
            last = now
            k = int.from_bytes(bytes(m.data[:4]), "big")
            if k != expect[i]:
                disorder += 1
            expect[i] = k + 1
        cpu = cpu_seconds(srv.pid) - cpu0
        wall = time.monotonic() - t0
        for p in procs:
            p.wait(60)
            if p.returncode != 0:
                sys.exit("socketcand_bench: ocelo-send failed: " + p.stderr.read().decode())
        send_end = send_end or time.monotonic()
        bus.shutdown()
    finally:
        srv.terminate()
        srv.wait(30)
        shutil.rmtree(work, ignore_errors=True)
    print("socketcand_sent", total)
    print("socketcand_received", received)
    print("socketcand_lost", total - received)
    print("socketcand_out_of_order", disorder)
    print("socketcand_fps", round(received / max(1e-6, (last or 0) - (first or 0)), 1) if received > 1 else 0)
    print("socketcand_send_fps", round(total / max(1e-6, send_end - t0), 1))
    print("socketcand_server_cpu_pct", round(100 * cpu / wall, 1))
    print("bus_limit_fps", BUS_LIMIT)


if __name__ == "__main__":
    main()
