"""The python-can interface "ocelo", driven through python-can against the
simulated slots of this process (and of a logger and a player process on the
same simulated bus)."""

import asyncio
import ctypes
import os
import select
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BUS_DIR = tempfile.mkdtemp(prefix="ocelo-py-bus-")
os.environ["OCELO_SIM_BUS"] = BUS_DIR   # read when the first board is plugged in

import can  # noqa: E402
import ocelo  # noqa: E402


def frame(ident, data=b"", ext=False, rtr=False, dlc=None):
    return can.Message(arbitration_id=ident, data=None if rtr else data, is_extended_id=ext,
                       is_remote_frame=rtr, dlc=len(data) if dlc is None else dlc)


def key(m):
    return (m.arbitration_id, m.is_extended_id, m.is_remote_frame, m.dlc, bytes(m.data) if not m.is_remote_frame else b"")


def receive(bus, count, limit=10.0):
    got, end = [], time.monotonic() + limit
    while len(got) < count and time.monotonic() < end:
        m = bus.recv(0.2)
        if m is not None and not m.is_error_frame:
            got.append(m)
    return got


def recv_in_thread(bus, timeout):
    """Starts bus.recv(timeout) in a thread of its own (so that a recv that
    never returns fails a test instead of hanging it); the list gets what it
    returned or the CanOperationError it raised."""
    outcome = []

    def wait():
        try:
            outcome.append(bus.recv(timeout))
        except can.CanOperationError as e:
            outcome.append(e)
    t = threading.Thread(target=wait, daemon=True)
    t.start()
    return t, outcome


class OceloBusTest(unittest.TestCase):
    def setUp(self):
        self.buses = []

    def tearDown(self):
        for b in self.buses:
            b.shutdown()

    def bus(self, channel, **kw):
        b = can.Bus(interface="ocelo", channel=channel, **kw)
        self.buses.append(b)
        return b

    def test_frames_go_from_one_slot_to_another(self):
        a, b = self.bus(1, bitrate=250000), self.bus(2, bitrate=250000)
        sent = [frame(0x123, b"\xde\xad\xbe\xef"), frame(0x1ABCDEF0, ext=True, rtr=True, dlc=4),
                frame(0x7FF, bytes(range(8))), frame(0x12345678, b"\x01", ext=True)]
        reader = can.BufferedReader()
        notifier = can.Notifier(b, [reader], timeout=0.05)
        try:
            for m in sent:
                a.send(m)
            got, end = [], time.monotonic() + 10
            while len(got) < len(sent) and time.monotonic() < end:
                m = reader.get_message(0.2)
                if m is not None:
                    got.append(m)
        finally:
            notifier.stop()
        self.assertEqual([key(m) for m in got], [key(m) for m in sent])
        self.assertEqual(got[0].channel, "slot2")

    def test_filters_reach_the_board_and_the_rest_is_sorted_on_the_host(self):
        a = self.bus(1)
        b = self.bus(2, can_filters=[{"can_id": 0x100, "can_mask": 0x7FF, "extended": False}])
        # Standard identifier 0x100 only: the board compares identifier bits
        # 31..21 of its acceptance word (mask bit 1 = don't care).
        self.assertEqual(b.acceptance(), (0x20000000, 0x001FFFFF))
        for m in (frame(0x101, b"\x01"), frame(0x100, b"\x01", ext=True), frame(0x100, b"\x02")):
            a.send(m)
        got = receive(b, 1)
        self.assertEqual([key(m) for m in got], [key(frame(0x100, b"\x02"))])
        # Standard or extended 0x100: the board can only keep the word bits
        # the two have in common and passes more; python-can drops the rest.
        b.set_filters([{"can_id": 0x100, "can_mask": 0x1FFFFFFF}])
        self.assertEqual(b.acceptance(), (0, 0x201FFFFF))
        for m in (frame(0x101, b"\x03"), frame(0x100, b"\x04", ext=True), frame(0x100, b"\x05")):
            a.send(m)
        got = receive(b, 2)
        self.assertEqual(sorted(key(m) for m in got), sorted([key(frame(0x100, b"\x04", ext=True)),
                                                              key(frame(0x100, b"\x05"))]))

    def test_recv_times_out_asleep(self):
        b = self.bus(3)
        self.assertIsNone(b.recv(0))
        wall, cpu = time.monotonic(), time.process_time()
        self.assertIsNone(b.recv(1.0))
        wall, cpu = time.monotonic() - wall, time.process_time() - cpu
        self.assertGreaterEqual(wall, 1.0)
        self.assertLess(cpu, wall / 5, "recv spins while it waits")

    def test_frames_the_board_cannot_carry_are_refused_before_anything_is_written(self):
        a, b = self.bus(1), self.bus(2)
        refused = [frame(0x800, b"\x01"), frame(0x20000000, b"\x01", ext=True), frame(-1, b"\x01"),
                   frame(-1, b"\x01", ext=True), frame(0x123, bytes(9)), frame(0x123, rtr=True, dlc=9),
                   frame(0x80000000, ext=True, rtr=True, dlc=0)]
        for m in refused:
            with self.assertRaises(ValueError, msg=repr(m)):
                a.send(m)
        # The ends of the ranges go through unchanged; nothing refused went out.
        edges = [frame(0x7FF, bytes(range(8))), frame(0x1FFFFFFF, b"\x05", ext=True), frame(0, b""),
                 frame(0, ext=True, rtr=True, dlc=8)]
        for m in edges:
            a.send(m)
        got = receive(b, len(edges))
        self.assertEqual([key(m) for m in got], [key(m) for m in edges])
        self.assertIsNone(b.recv(0))

    def test_shutdown_ends_a_waiting_recv_and_a_shut_bus_recv_returns_at_once(self):
        # As the process's last bus (the boards are released) and beside
        # another bus that stays open.
        for timeout, alone in ((None, True), (600, True), (None, False), (600, False)):
            other = None if alone else can.Bus(interface="ocelo", channel=4)
            b = can.Bus(interface="ocelo", channel=3)
            t, outcome = recv_in_thread(b, timeout)
            time.sleep(0.2)   # (lets it reach the wait; the test holds without it)
            b.shutdown()
            t.join(60)
            self.assertFalse(t.is_alive(), f"recv({timeout}) still waits after shutdown")
            self.assertEqual(len(outcome), 1)
            self.assertTrue(outcome[0] is None or isinstance(outcome[0], can.CanOperationError), outcome)
            # A shut-down bus: recv returns at once.
            for t_out in (None, 0, 600):
                t, later = recv_in_thread(b, t_out)
                t.join(60)
                self.assertFalse(t.is_alive(), f"recv({t_out}) on a shut-down bus does not return")
                self.assertEqual(len(later), 1)
                self.assertIsInstance(later[0], can.CanOperationError)
            with self.assertRaises(can.CanOperationError):
                b.send(frame(0x1, b"\x01"))
            if other:
                other.shutdown()

    def test_notifier_on_an_asyncio_loop_waits_on_the_bus_descriptor(self):
        a, b = self.bus(1), self.bus(2)
        self.assertGreaterEqual(b.fileno(), 0)
        sent = [frame(0x10 + i, bytes([i])) for i in range(5)]

        async def run():
            reader = can.AsyncBufferedReader()
            notifier = can.Notifier(b, [reader], loop=asyncio.get_running_loop())
            try:
                got = []
                for m in sent:
                    await asyncio.get_running_loop().run_in_executor(None, a.send, m)
                while len(got) < len(sent):
                    m = await asyncio.wait_for(reader.get_message(), 60)
                    if not m.is_error_frame:
                        got.append(m)
                return got
            finally:
                notifier.stop()
        got = asyncio.run(run())
        self.assertEqual([key(m) for m in got], [key(m) for m in sent])

    def test_timestamps_tell_when_the_frame_reached_the_host(self):
        a, b = self.bus(1), self.bus(2)
        b.recv(0)   # the set-up's status news, if any
        before = time.time()
        a.send(frame(0x55, b"\x01"))
        m, end = None, time.monotonic() + 60
        while m is None and time.monotonic() < end:
            ready = select.select([b.fileno()], [], [], 60)[0]
            noticed = time.time()
            if ready:
                m = b.recv(0)
                if m is not None and m.is_error_frame:
                    m = None
        self.assertIsNotNone(m)
        self.assertGreaterEqual(m.timestamp, before - 0.001)
        self.assertLessEqual(m.timestamp, noticed)

    def test_own_messages_come_back_only_when_asked_for(self):
        a = self.bus(1, receive_own_messages=True)
        b = self.bus(2)
        mine = frame(0x321, b"\x07\x08")
        a.send(mine)
        m = a.recv(60)
        self.assertIsNotNone(m)
        self.assertEqual(key(m), key(mine))
        self.assertFalse(m.is_rx)
        got = receive(b, 1)
        self.assertEqual([key(x) for x in got], [key(mine)])
        self.assertTrue(got[0].is_rx)
        # b was not asked: what b sends does not come back to b, only to a.
        theirs = frame(0x322, b"\x09")
        b.send(theirs)
        b.send(frame(0x323, b"\x0a"))
        got = receive(a, 1)
        self.assertEqual([key(x) for x in got], [key(theirs)])
        self.assertTrue(got[0].is_rx)
        a.send(frame(0x324, b"\x0b"))
        got = receive(b, 1)
        self.assertEqual([key(x) for x in got], [key(frame(0x324, b"\x0b"))])
        # A recv waiting in another thread (as can.Notifier's) gets the own
        # frame of a send at once, not at the end of its time-out.
        waited = []

        def wait():   # (past what a has still to hand out: 0x323, 0x324's copy)
            while not waited or waited[-1] is not None and waited[-1].arbitration_id != 0x325:
                waited.append(a.recv(600))
        t = threading.Thread(target=wait, daemon=True)
        t.start()
        a.send(frame(0x325, b"\x0c"))
        t.join(60)
        self.assertFalse(t.is_alive(), "the own frame did not wake the waiting recv")
        self.assertEqual((key(waited[-1]), waited[-1].is_rx), (key(frame(0x325, b"\x0c")), False))

    def test_open_refuses_fd_and_non_numbers_and_takes_timing_registers(self):
        sim = ctypes.CDLL("libslotsim.so.1")
        sim.BoardSimPeek.restype = ctypes.c_ubyte

        def rate_bytes(slot):
            return [sim.BoardSimPeek(slot, 6016 + i) for i in range(3)]
        with self.assertRaises(can.CanInitializationError):
            can.Bus(interface="ocelo", channel=1, fd=True)
        for bad in ("fast", [1], "12x"):
            with self.assertRaises(can.CanInitializationError, msg=repr(bad)):
                ocelo.OceloBus(channel=1, bitrate=bad)
        for bad in (dict(timing="x"), dict(timing=can.BitTiming(btr0=0x100, btr1=0)), dict(btr0="x", btr1=0x14),
                    dict(bitrate=123456)):
            with self.assertRaises(can.CanInitializationError, msg=repr(bad)):
                ocelo.OceloBus(channel=1, **bad)
        for filt in ([{"can_id": "x", "can_mask": 0x7FF}], [{"can_id": 0x100, "can_mask": None}],
                     [{"can_id": 0x100}]):
            with self.assertRaises(can.CanInitializationError, msg=repr(filt)):
                can.Bus(interface="ocelo", channel=1, can_filters=filt)
        # Timing registers reach the board as BT0/BT1 (index 12), also beside
        # a table rate; python-can's own form and the keyword form.
        self.bus(1, timing=can.BitTiming(btr0=0x00, btr1=0x14))
        self.assertEqual(rate_bytes(1), [12, 0x00, 0x14])
        self.bus(2, bitrate=125000, btr0=0x03, btr1=0x1C)
        self.assertEqual(rate_bytes(2), [12, 0x03, 0x1C])
        self.bus(3, bitrate="250000", fd=False)
        self.assertEqual(rate_bytes(3), [8, 0, 0])

    def test_a_board_slow_to_answer_its_reset_is_waited_for_a_bounded_time(self):
        sim = ctypes.CDLL("libslotsim.so.1")
        NO_RESET = 1
        a = self.bus(1)   # keeps the boards plugged while slot 6 comes and goes
        self.bus(6).shutdown()
        # Silent for a while (as a board on a busy machine), then it answers.
        sim.BoardSimSetFault(6, NO_RESET, 1)
        clear = threading.Timer(0.3, sim.BoardSimClearFault, (6, NO_RESET))
        clear.start()
        try:
            b = self.bus(6)
        finally:
            clear.cancel()
            sim.BoardSimClearFault(6, NO_RESET)
        a.send(frame(0x66, b"\x06"))
        self.assertEqual([key(m) for m in receive(b, 1)], [key(frame(0x66, b"\x06"))])
        b.shutdown()
        # Never answering: the open fails, after a bounded time.
        sim.BoardSimSetFault(6, NO_RESET, 1)
        try:
            with self.assertRaisesRegex(can.CanInitializationError, "OceloInit on slot 6 failed"):
                can.Bus(interface="ocelo", channel=6)
        finally:
            sim.BoardSimClearFault(6, NO_RESET)

    def test_overflow_and_bus_off_arrive_as_error_frames(self):
        sim = ctypes.CDLL("libslotsim.so.1")
        a, b = self.bus(1), self.bus(2)
        sim.BoardSimSetRxCapacity(2, 1)
        for i in range(8):
            a.send(frame(0x200 + i, b"\x00"))
        errors = []
        end = time.monotonic() + 10
        while not errors and time.monotonic() < end:
            m = b.recv(0.2)
            if m is not None and m.is_error_frame:
                errors.append(m)
        self.assertTrue(errors, "no error frame for the overflow")
        self.assertEqual((errors[0].arbitration_id, errors[0].data[1]), (0x004, 0x01))
        sim.BoardSimSetCANStatus(2, 0x80)
        end, m = time.monotonic() + 10, None
        while (m is None or not m.is_error_frame) and time.monotonic() < end:
            m = b.recv(0.2)
        self.assertTrue(m is not None and m.is_error_frame and m.arbitration_id == 0x040, m)
        self.assertEqual(b.state, can.BusState.ERROR)

    def test_logger_records_what_player_replays(self):
        sent = [frame(0x321, b"\x11\x22"), frame(0x0ABCDEF1, ext=True, rtr=True)]
        filler = frame(0x7FF, bytes(8))
        a = self.bus(1)
        with tempfile.TemporaryDirectory() as tmp:
            log = os.path.join(tmp, "can.log")
            logger = subprocess.Popen([sys.executable, "-m", "can.logger", "-i", "ocelo", "-c", "2", "-f", log],
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                      env=dict(os.environ, PYTHONUNBUFFERED="1"))
            try:
                # "Connected to ...", then "Can Logger (Started on ...)" as it
                # begins to receive.
                lines = [logger.stdout.readline() for _ in range(2)]
                self.assertIn("Started", lines[1], lines)
                # The logger writes its file in blocks.  Frames until the first
                # block is out show that it hears the bus; then the two, and
                # frames until the next block shows that it has taken them.
                end = time.monotonic() + 60

                def fill():
                    size = os.path.getsize(log) if os.path.exists(log) else 0
                    while (not os.path.exists(log) or os.path.getsize(log) == size) and time.monotonic() < end:
                        a.send(filler)
                fill()
                for m in sent:
                    a.send(m)
                fill()
            finally:
                logger.send_signal(signal.SIGINT)
                out = logger.communicate(timeout=30)[0]
            recorded = list(can.LogReader(log))
            ours = [m for m in recorded if key(m) != key(filler)]
            self.assertEqual([key(m) for m in ours], [key(m) for m in sent], out)
            self.assertEqual(ours[0].channel, "slot2")
            # The player sends the log from slot 4; this process hears it on slot 5.
            c = self.bus(5)
            player = subprocess.run([sys.executable, "-m", "can.player", "-i", "ocelo", "-c", "4", log],
                                    capture_output=True, text=True, timeout=120)
            self.assertEqual(player.returncode, 0, player.stdout + player.stderr)
            got = receive(c, len(recorded))
            self.assertEqual([key(m) for m in got], [key(m) for m in recorded])

    def test_a_bus_directory_that_cannot_be_used_fails_the_open(self):
        # A fresh process: the bus is set up when its first board is plugged in.
        code = ("import can\n"
                "try:\n"
                "    can.Bus(interface='ocelo', channel=1)\n"
                "except can.CanInitializationError as e:\n"
                "    print('refused:', e)\n")
        with tempfile.TemporaryDirectory() as tmp:
            plain = os.path.join(tmp, "plain")
            open(plain, "w").close()
            for path in (plain, os.path.join(plain, "below")):
                run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                                     env=dict(os.environ, OCELO_SIM_BUS=path))
                self.assertIn(f"refused: cannot open slot 1: the simulated bus {path} ", run.stdout,
                              run.stdout + run.stderr)

    def test_the_readme_and_manual_examples_send_on_one_slot_and_receive_on_another(self):
        root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
        with open(os.path.join(root, "README.md")) as f:
            readme = f.read()
        start = readme.index("    import can\n", readme.index("### python-can"))
        block = readme[start:readme.index("\n\n", start)]
        from_readme = "\n".join(line[4:] for line in block.splitlines())
        with open(os.path.join(root, "docs", "man", "ocelo.7")) as f:
            page = f.read()
        start = page.index("import can\n", page.index(".SH EXAMPLES"))
        from_page = page[start:page.index(".RE", start)].replace("\\e", "\\")
        for name, code in (("README.md", from_readme), ("ocelo(7)", from_page)):
            # A process of its own on a bus of its own, as on a PC.
            with tempfile.TemporaryDirectory() as tmp:
                run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                                     env=dict(os.environ, OCELO_SIM_BUS=os.path.join(tmp, "bus")))
            self.assertEqual(run.returncode, 0, f"{name}: {run.stderr}")
            self.assertRegex(run.stdout, r"ID:\s+0?123\s.*DL:\s+2\s+de ad\s+Channel: slot2", f"{name}: {run.stdout}")


if __name__ == "__main__":
    unittest.main()
