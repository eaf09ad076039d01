"""The python-can interface "ocelo", driven through python-can against the
simulated slots of this process (and of a logger and a player process on the
same simulated bus)."""

import ctypes
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BUS_DIR = tempfile.mkdtemp(prefix="ocelo-py-bus-")
os.environ["OCELO_SIM_BUS"] = BUS_DIR   # read when the first board is plugged in

import can  # noqa: E402


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


if __name__ == "__main__":
    unittest.main()
