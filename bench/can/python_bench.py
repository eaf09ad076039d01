#!/usr/bin/env python3
"""python-can interface "ocelo" on the simulated boards, against python-can's
own "virtual" interface as the reference.

    python_bench.py [--slack NS] [samples [frames [idle_seconds [rounds]]]]

prints "name value" lines:
  py_latency_ret_median_us, py_latency_ret_p99_us
                      slot 1 sends one frame; a thread blocked in recv on
                      slot 2 returns with it: from send() returning (the
                      board has taken the frame) to recv() returning
  py_latency_call_median_us
                      the same from send() being called (adds the board's
                      firmware reaction, 200 us, and the frame's wire time)
  virtual_latency_median_us
                      send() called to recv() returned on two "virtual" buses
  py_idle_recv_cpu_pct, virtual_idle_recv_cpu_pct
                      CPU of the thread blocked in recv(timeout) on a silent
                      bus, in % of a core (the library's wait runs in it)
  py_idle_process_cpu_pct
                      the whole process meanwhile, simulated boards included
  py_fps              frames per second sent from python on slot 1 as fast as
                      send() returns, received by python on slot 2 (median
                      of the rounds; py_fps_rounds lists them)
  py_lost             frames sent but not received in order (all rounds)
  py_send_cpu_us_per_frame, py_recv_cpu_us_per_frame, py_process_cpu_us_per_frame
                      CPU of the sending thread, of the receiving thread and
                      of the whole process (the simulated boards' thread
                      included) per frame (medians of the rounds)
  py_ref_tx_fps, py_ref_process_cpu_us_per_frame, py_fps_ratio
                      (CAN_BENCH names can_bench) the library's own send
                      rate, `can_bench --tx-rate frames`, taken in turns with
                      python's rounds (the order changing every round), its
                      process's CPU per frame, and the median of the rounds'
                      ratios python / library
  load_before, load_after
                      the machine's load average (1 minute) around the runs
  recv_tool_idle_cpu_pct, recv_tool_idle_wakeups_per_s
                      (OCELO_RECV names ocelo-recv) ocelo-recv listening on
                      a silent slot: CPU in % of a core and context switches
                      a second, all its threads (its simulated boards too)
The bus runs at 1 Mbit/s.  During the frame-rate rounds the sending and the
receiving thread run with a timer slack of NS nanoseconds (default 1, as
can_bench runs; 0: the system's default of 50 us), and can_bench gets the
same: the sleeps in SendCANMsg end up to that much late, so both sides of the
ratio must run with one slack.  Run with PYTHONPATH holding the interface
and LD_LIBRARY_PATH holding liboceloLnx.so.1 and libslotsim.so.1.
"""

import ctypes
import glob
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

os.environ.setdefault("OCELO_SIM_BUS", tempfile.mkdtemp(prefix="ocelo-py-bench-"))

import can  # noqa: E402


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p))]


def latency(a, b, samples):
    """Medians (and p99) of send->recv through a thread blocked in recv."""
    arrived = []
    got = threading.Event()
    stop = False

    def reader():
        while not stop:
            try:
                m = b.recv(None)
            except can.CanOperationError:
                return
            if m is not None and not m.is_error_frame:
                arrived.append(time.perf_counter())
                got.set()
    t = threading.Thread(target=reader, daemon=True)
    t.start()
    msg = can.Message(arbitration_id=0x123, data=bytes(8), is_extended_id=False)
    from_call, from_return = [], []
    for i in range(samples):
        got.clear()
        t0 = time.perf_counter()
        a.send(msg)
        t1 = time.perf_counter()
        if not got.wait(10):
            raise SystemExit(f"python_bench: frame {i} did not arrive")
        t2 = arrived[-1]
        from_call.append((t2 - t0) * 1e6)
        from_return.append((t2 - t1) * 1e6)
        time.sleep(0.002)   # the receiver goes back to sleep, as between requests
    stop = True
    a.send(msg)
    t.join(10)
    return from_call, from_return


def idle_cpu(b, seconds):
    out = {}

    def waiter():
        c0 = time.thread_time()
        w0 = time.monotonic()
        while time.monotonic() - w0 < seconds:
            b.recv(seconds - (time.monotonic() - w0))
        out["thread"] = (time.thread_time() - c0) / (time.monotonic() - w0) * 100
    p0, w0 = time.process_time(), time.monotonic()
    t = threading.Thread(target=waiter)
    t.start()
    t.join()
    out["process"] = (time.process_time() - p0) / (time.monotonic() - w0) * 100
    return out


def throughput(a, b, frames):
    """(frames/s, lost, sender's CPU us/frame, receiver's CPU us/frame,
    the whole process's CPU us/frame)."""
    got = []
    done = threading.Event()
    cpu = {}

    def reader():
        c0 = time.thread_time()
        while len(got) < frames:
            m = b.recv(10)
            if m is None:
                break
            if not m.is_error_frame:
                got.append(m)
        cpu["recv"] = time.thread_time() - c0
        cpu["last"] = time.perf_counter()
        done.set()
    t = threading.Thread(target=reader, daemon=True)
    t.start()
    start = time.perf_counter()
    p0 = time.process_time()
    c0 = time.thread_time()
    for i in range(frames):
        a.send(can.Message(arbitration_id=0x100, data=i.to_bytes(4, "little"), is_extended_id=False))
    send_cpu = time.thread_time() - c0
    done.wait(60)
    elapsed = cpu.get("last", time.perf_counter()) - start
    lost = sum(1 for i, m in enumerate(got) if int.from_bytes(m.data[:4], "little") != i) + frames - len(got)
    t.join(10)
    process_cpu = time.process_time() - p0
    return (len(got) / elapsed, lost, send_cpu / frames * 1e6, cpu.get("recv", 0.0) / max(1, len(got)) * 1e6,
            process_cpu / frames * 1e6)


def library_send_rate(can_bench, frames, slack):
    """The library's own send rate, frames/s, and its process's CPU us/frame
    (can_bench on a bus of its own)."""
    env = dict(os.environ, OCELO_SIM_BUS="off")
    out = subprocess.run([can_bench, "--tx-rate", str(frames), str(slack)], env=env, capture_output=True,
                         text=True, timeout=300)
    got = dict(line.split(None, 1) for line in out.stdout.splitlines() if " " in line)
    if "tx_fps" in got:
        return float(got["tx_fps"]), float(got.get("process_cpu_us_per_frame", "nan"))
    raise SystemExit(f"python_bench: can_bench --tx-rate gave no rate: {out.stderr.strip()}")


def set_timer_slack(ns):
    """Sets this thread's timer slack (threads started later inherit it);
    returns the one it had."""
    libc = ctypes.CDLL(None, use_errno=True)
    before = libc.prctl(30, 0, 0, 0, 0)   # PR_GET_TIMERSLACK
    if before < 0 or libc.prctl(29, ctypes.c_ulong(ns), ctypes.c_ulong(0), ctypes.c_ulong(0), ctypes.c_ulong(0)) != 0:
        raise SystemExit(f"python_bench: cannot set the timer slack: {os.strerror(ctypes.get_errno())}")
    return before


def tool_idle(path, seconds):
    """CPU (% of a core) and wakeups a second of ocelo-recv on a silent slot."""
    env = dict(os.environ, OCELO_SIM_BUS="off")
    p = subprocess.Popen([path, "3"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
    try:
        if "listening" not in p.stderr.readline():
            raise SystemExit("python_bench: ocelo-recv did not start")

        def sample():
            with open(f"/proc/{p.pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            ticks = int(fields[11]) + int(fields[12])
            switches = 0
            for st in glob.glob(f"/proc/{p.pid}/task/*/status"):
                with open(st) as f:
                    for line in f:
                        if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                            switches += int(line.split()[1])
            return ticks / os.sysconf("SC_CLK_TCK"), switches, time.monotonic()
        time.sleep(1.0)
        c0, s0, w0 = sample()
        time.sleep(seconds)
        c1, s1, w1 = sample()
        return (c1 - c0) / (w1 - w0) * 100, (s1 - s0) / (w1 - w0)
    finally:
        p.terminate()
        p.wait(10)


def main():
    args = sys.argv[1:]
    slack = 1
    if len(args) >= 2 and args[0] == "--slack":
        slack = int(args[1])
        args = args[2:]
    samples = int(args[0]) if len(args) > 0 else 500
    frames = int(args[1]) if len(args) > 1 else 5000
    idle_s = float(args[2]) if len(args) > 2 else 5.0
    rounds = max(1, int(args[3])) if len(args) > 3 else 3
    can_bench = os.environ.get("CAN_BENCH")
    load_before = os.getloadavg()[0]

    va = can.Bus(interface="virtual", channel="python-bench")
    vb = can.Bus(interface="virtual", channel="python-bench")
    v_call, _ = latency(va, vb, samples)
    v_idle = idle_cpu(vb, idle_s)
    va.shutdown()
    vb.shutdown()

    a = can.Bus(interface="ocelo", channel=1, bitrate=1000000)
    b = can.Bus(interface="ocelo", channel=2, bitrate=1000000)
    try:
        while b.recv(0.2) is not None:   # the set-up's status news
            pass
        call, ret = latency(a, b, samples)
        idle = idle_cpu(b, idle_s)
        runs, refs = [], []
        # The sending and the receiving thread (started in throughput) sleep
        # with the slack can_bench gets; the latency and idle figures above
        # keep the system's.
        usual = set_timer_slack(slack)
        for r in range(rounds):
            # Python and the library take turns, each first every other round.
            if can_bench and r % 2 == 0:
                refs.append(library_send_rate(can_bench, frames, slack))
            runs.append(throughput(a, b, frames))
            if can_bench and r % 2 == 1:
                refs.append(library_send_rate(can_bench, frames, slack))
        set_timer_slack(usual)
    finally:
        a.shutdown()
        b.shutdown()
    print(f"py_latency_ret_median_us {statistics.median(ret):.1f}")
    print(f"py_latency_ret_p99_us {pct(ret, 0.99):.1f}")
    print(f"py_latency_call_median_us {statistics.median(call):.1f}")
    print(f"virtual_latency_median_us {statistics.median(v_call):.1f}")
    print(f"py_idle_recv_cpu_pct {idle['thread']:.3f}")
    print(f"py_idle_process_cpu_pct {idle['process']:.3f}")
    print(f"virtual_idle_recv_cpu_pct {v_idle['thread']:.3f}")
    print(f"py_fps {statistics.median(r[0] for r in runs):.0f}")
    print("py_fps_rounds " + ",".join(f"{r[0]:.0f}" for r in runs))
    print(f"py_lost {sum(r[1] for r in runs)}")
    print(f"py_send_cpu_us_per_frame {statistics.median(r[2] for r in runs):.1f}")
    print(f"py_recv_cpu_us_per_frame {statistics.median(r[3] for r in runs):.1f}")
    print(f"py_process_cpu_us_per_frame {statistics.median(r[4] for r in runs):.1f}")
    if refs:
        print(f"py_ref_tx_fps {statistics.median(x[0] for x in refs):.0f}")
        print("py_ref_tx_fps_rounds " + ",".join(f"{x[0]:.0f}" for x in refs))
        print(f"py_ref_process_cpu_us_per_frame {statistics.median(x[1] for x in refs):.1f}")
        print(f"py_fps_ratio {statistics.median(r[0] / x[0] for r, x in zip(runs, refs)):.2f}")
    print(f"timer_slack_ns {slack}")
    print(f"load_before {load_before:.1f}")
    print(f"load_after {os.getloadavg()[0]:.1f}")
    if os.environ.get("OCELO_RECV"):
        cpu, wakeups = tool_idle(os.environ["OCELO_RECV"], idle_s)
        print(f"recv_tool_idle_cpu_pct {cpu:.3f}")
        print(f"recv_tool_idle_wakeups_per_s {wakeups:.1f}")


if __name__ == "__main__":
    main()
