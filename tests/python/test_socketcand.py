"""ocelo-socketcand against python-can's own socketcand client, with
ocelo-send and ocelo-recv on the other slots of the same simulated bus.

OCELO_BIN_DIR names the directory with ocelo-socketcand, ocelo-send and
ocelo-recv."""

import logging
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

import can

# The client warns of every command split between two reads: noise here.
logging.getLogger("can.interfaces.socketcand").setLevel(logging.ERROR)

BIN = os.environ.get("OCELO_BIN_DIR", "")
WAIT = 60.0  # bound of every wait for an event; a busy machine is slow, not stuck


def tool(name):
    return os.path.join(BIN, name)


def wait_for(pred, limit=WAIT):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(0.02)
    return pred()


def slurp(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


class Proc:
    """A tool with stdout and stderr in files."""

    def __init__(self, test, args, name):
        self.out = os.path.join(test.dir, name + ".out")
        self.err = self.out + ".err"
        with open(self.out, "w") as o, open(self.err, "w") as e:
            self.p = subprocess.Popen(args, stdout=o, stderr=e, env=test.env)
        test.procs.append(self)

    def wait(self, limit=WAIT):
        return self.p.wait(limit)

    def stop(self):
        if self.p.poll() is None:
            self.p.kill()
            self.p.wait(WAIT)


class SocketcandTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ocelo-scd-")
        self.env = dict(os.environ, OCELO_SIM_BUS=os.path.join(self.dir, "bus"))
        self.procs, self.buses, self.socks = [], [], []

    def tearDown(self):
        for b in self.buses:
            b.shutdown()
        for s in self.socks:
            s.close()
        for p in self.procs:
            p.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    # ---- helpers ---------------------------------------------------------

    def server(self, *args, slots="slot2"):
        srv = Proc(self, [tool("ocelo-socketcand"), "-i", slots, "-p", "0", *args], "server")
        self.assertTrue(wait_for(lambda: "# serving" in slurp(srv.err) or srv.p.poll() is not None), slurp(srv.err))
        m = re.search(r"port (\d+)", slurp(srv.err))
        self.assertIsNotNone(m, slurp(srv.err))
        srv.port = int(m.group(1))
        return srv

    def client(self, srv, channel="slot2"):
        b = can.Bus(interface="socketcand", host="127.0.0.1", port=srv.port, channel=channel)
        self.buses.append(b)
        return b

    def raw(self, srv, channel="slot2"):
        """A client of our own: the protocol's text as it goes."""
        s = socket.create_connection(("127.0.0.1", srv.port), timeout=WAIT)
        self.socks.append(s)
        self.assertEqual(self.read_until(s, "< hi >"), "< hi >")
        if channel:
            s.sendall(f"< open {channel} >".encode())
            self.assertEqual(self.read_until(s, "< ok >"), "< ok >")
            s.sendall(b"< rawmode >")
            self.assertEqual(self.read_until(s, "< ok >"), "< ok >")
        return s

    @staticmethod
    def read_until(s, text, limit=WAIT):
        """What the server wrote up to and including text (or to the close)."""
        got, end = b"", time.monotonic() + limit
        while text.encode() not in got and time.monotonic() < end:
            s.settimeout(max(0.01, end - time.monotonic()))
            try:
                chunk = s.recv(4096)
            except socket.timeout:
                break
            if not chunk:
                break
            got += chunk
        return got.decode("ascii", "replace")

    def recv(self, bus, count, limit=WAIT):
        got, end = [], time.monotonic() + limit
        while len(got) < count and time.monotonic() < end:
            m = bus.recv(0.2)
            if m is not None:
                got.append(m)
        return got

    def listener(self, slot="3", count=1):
        r = Proc(self, [tool("ocelo-recv"), "-L", "-n", str(count), "-T", "60000", slot], "recv" + slot)
        self.assertTrue(wait_for(lambda: "# listening" in slurp(r.err)), slurp(r.err))
        return r

    def send(self, *frames, slot="1"):
        s = Proc(self, [tool("ocelo-send"), slot, *frames], "send")
        self.assertEqual(s.wait(), 0, slurp(s.err))

    @staticmethod
    def frames(text):
        """(id text, data text) of the "< frame ... >" commands in text."""
        return re.findall(r"< frame ([0-9A-F]+) \d+\.\d{6} ([0-9A-F]*) >", text)

    # ---- frames ------------------------------------------------------------

    # Board to client and client to board, in order, standard and extended
    # identifiers as 3 and 8 digits, empty to 8 bytes, remote frames both
    # ways; the second served slot as well.
    def test_frames_both_ways_in_order(self):
        # ocelo-recv on slot 3 logs the whole bus.  It starts first: a board
        # that joins the simulated bus later is found by the others only
        # after a while.
        rec = self.listener(count=34)
        srv = self.server(slots="slot2,slot4")
        bus, raw4 = self.client(srv), self.raw(srv, "slot4")
        sent = ["123#DEADBEEF", "1ABCDEF0#01", "7FF#", "00000005#0102030405060708", "000#00"]
        sent += ["%03X#%04X" % (0x100 + i, i) for i in range(20)]
        self.send(*sent)
        got = self.recv(bus, len(sent))
        self.assertEqual([(m.arbitration_id, bytes(m.data).hex().upper()) for m in got],
                         [(int(f.split("#")[0], 16), f.split("#")[1]) for f in sent])
        text = self.read_until(raw4, "< frame 113 ")
        self.assertEqual(self.frames(text), [tuple(f.split("#")) for f in sent])

        self.send("321#R4", "01234567#R")
        self.assertRegex(self.read_until(raw4, "< rtr 01234567 "),
                         r"< rtr 321 \d+\.\d{6} 4 > < rtr 01234567 \d+\.\d{6} 0 >$")

        out = [can.Message(arbitration_id=0x7FF, data=bytes(range(8)), is_extended_id=False),
               can.Message(arbitration_id=0x1FFFFFFF, data=b"\x0f", is_extended_id=True),
               can.Message(arbitration_id=0x12, data=b"", is_extended_id=False),
               can.Message(arbitration_id=0x12345, data=b"\x01\x02", is_extended_id=True)]
        for m in out:
            bus.send(m)
        # (frames of different clients have no order among them)
        self.assertTrue(wait_for(lambda: "00012345#0102" in slurp(rec.out)), slurp(rec.out))
        raw4.sendall(b"< send 00000001 1 AA >< sendrtr 456 3 >< sendrtr 00000456 0 >")
        self.assertEqual(rec.wait(), 0, slurp(rec.err))
        self.assertEqual(re.sub(r"^\(\d+\.\d{6}\) ", "", slurp(rec.out), flags=re.M),
                         "".join("slot3 %s\n" % f for f in sent + ["321#R4", "01234567#R"]) +
                         "slot3 7FF#0001020304050607\nslot3 1FFFFFFF#0F\nslot3 012#\nslot3 00012345#0102\n"
                         "slot3 00000001#AA\nslot3 456#R3\nslot3 00000456#R\n")

    # The board's overflow reaches the client as an error frame: the error
    # flag in the identifier, the details in the data, as candump logs it.
    def test_error_frame_reaches_the_client(self):
        srv = self.server()
        bus = self.client(srv)
        burst = os.path.join(self.dir, "burst.log")
        with open(burst, "w") as f:
            f.write("(100.000000) slot1 321#0102030405060708\n" * 3000 + "(130.000000) slot1 7AA#\n")
        srv.p.send_signal(signal.SIGSTOP)
        send = Proc(self, [tool("ocelo-send"), "-v", "-I", burst, "1"], "burst")
        ok = wait_for(lambda: slurp(send.out).count("\n") >= 3000)
        srv.p.send_signal(signal.SIGCONT)
        self.assertTrue(ok, slurp(send.err))
        end, err = time.monotonic() + WAIT, None
        while err is None and time.monotonic() < end:
            m = bus.recv(0.2)
            if m is not None and m.arbitration_id & 0x20000000:
                err = m
        self.assertIsNotNone(err, slurp(srv.err))
        self.assertEqual(err.arbitration_id, 0x20000084)
        self.assertEqual(bytes(err.data)[:2], b"\x00\x01")
        self.assertIn("overflow", slurp(srv.err))

    # ---- clients -----------------------------------------------------------

    # Two clients at once both get every frame; one goes away, a new one
    # comes and gets the frames from then on; the other is not disturbed.
    def test_clients_at_once_and_one_after_the_other(self):
        srv = self.server()
        a, b = self.client(srv), self.client(srv)
        burst = os.path.join(self.dir, "burst.log")
        with open(burst, "w") as f:
            f.writelines("(0.000000) slot1 %03X#%08X\n" % (0x100 + i % 2, i) for i in range(1000))
        send = Proc(self, [tool("ocelo-send"), "-t", "-I", burst, "1"], "burst")
        self.assertEqual(send.wait(), 0, slurp(send.err))
        for bus in (a, b):
            got = self.recv(bus, 1000)
            self.assertEqual([(m.arbitration_id, bytes(m.data)) for m in got],
                             [(0x100 + i % 2, i.to_bytes(4, "big")) for i in range(1000)])
        b.shutdown()
        self.buses.remove(b)
        self.send("103#03")
        c = self.client(srv)
        self.send("104#04")
        self.assertEqual([m.arbitration_id for m in self.recv(a, 2)], [0x103, 0x104])
        self.assertEqual([m.arbitration_id for m in self.recv(c, 1)], [0x104])
        self.assertIsNone(srv.p.poll())

    # Garbage and commands the server does not serve are each answered with
    # an error; the connection stays, and so do the other clients.  A bus
    # that is not served is refused and the connection closed.
    def test_bad_commands_get_errors(self):
        srv = self.server()
        bus = self.client(srv)
        s = self.raw(srv, None)
        s.sendall(b"< send 123 0 >< rawmode >< frobnicate >")
        self.assertEqual(self.read_until(s, "frobnicate: open a bus first >").count("< error "), 3)
        s.sendall(b"< open slot2 >")
        self.assertEqual(self.read_until(s, "< ok >"), "< ok >")
        bad = ["hello there", "< send 123 >", "< send 12G 1 11 >", "< send 123456789 0 >", "< send 20000000 0 >",
               "< send 123 9 1 2 3 4 5 6 7 8 9 >", "< send 123 2 11 >", "< send 123 1 11 22 >",
               "< send 123 1 100 >", "< send 123 A >", "< sendrtr 123 2 11 >", "< bcmmode >", "< controlmode >",
               "< isotpmode >", "< add 1 0 123 0 >", "< update 123 0 >", "< delete 123 >", "< filter 0 0 123 0 >",
               "< subscribe 0 0 123 >", "< unsubscribe 123 >", "< muxfilter 0 0 123 1 FF >", "< statistics 1000 >",
               "< open slot3 >", "< < send 123 0 >", "<>", "\x01\xff>"]
        s.sendall(("".join(bad) + "< echo >").encode("latin-1"))
        text = self.read_until(s, "< echo >")
        self.assertEqual(text.count("< error "), len(bad), text)
        self.assertNotIn("< ok >", text)
        s.sendall(b"< rawmode >")
        self.assertEqual(self.read_until(s, "< ok >"), "< ok >")
        self.send("222#22")
        self.assertEqual([m.arbitration_id for m in self.recv(bus, 1)], [0x222])
        self.assertIn("< frame 222 ", self.read_until(s, "< frame 222 "))

        t = self.raw(srv, None)
        t.sendall(b"< open slot3 >")
        self.assertRegex(self.read_until(t, "\0"), r"^< error [^<>]*slot3 >$")  # then closed
        with self.assertRaises(can.CanError):
            self.client(srv, "slot1")
        self.assertIsNone(srv.p.poll())

    # A command longer than the cap drops its client (with an error), with
    # or without its '>'; the others go on.
    def test_too_long_command_drops_the_client(self):
        srv = self.server()
        bus = self.client(srv)
        for text in ("< send " + "1" * 300, "< send 123 0" + " " * 300 + ">"):
            s = self.raw(srv)
            s.sendall(text.encode())
            self.assertRegex(self.read_until(s, "\0"), r"< error command longer than 256 bytes >$")
        self.send("333#33")
        self.assertEqual([m.arbitration_id for m in self.recv(bus, 1)], [0x333])
        self.assertEqual(slurp(srv.err).count("longer than 256 bytes"), 2)

    # 16 clients are served; the 17th is told and closed; once one leaves,
    # a new one is served.  --max-clients sets another cap.
    def test_too_many_clients(self):
        for cap, args in ((16, []), (1, ["--max-clients", "1"])):
            srv = self.server(*args)
            socks = [self.raw(srv) for _ in range(cap)]
            extra = socket.create_connection(("127.0.0.1", srv.port), timeout=WAIT)
            self.socks.append(extra)
            self.assertEqual(self.read_until(extra, "\0"), "< error too many clients >")
            socks[0].close()
            self.assertTrue(wait_for(lambda: self.try_hi(srv)))
            srv.stop()

    def try_hi(self, srv):
        s = socket.create_connection(("127.0.0.1", srv.port), timeout=WAIT)
        self.socks.append(s)
        return self.read_until(s, "< hi >") == "< hi >"

    # ---- the server's life ---------------------------------------------------

    # A slot in use by another process: the server does not start, says so
    # and exits 1.  SIGTERM and SIGINT end it with status 0 and free the
    # slot for the next process.
    def test_busy_slot_and_clean_exit(self):
        holder = self.listener(slot="2")
        for slots in ("slot2", "slot3,slot2"):
            srv = Proc(self, [tool("ocelo-socketcand"), "-i", slots, "-p", "0"], "busy")
            self.assertEqual(srv.wait(), 1)
            self.assertIn("slot 2 is in use by another process", slurp(srv.err))
        holder.stop()
        for sig in (signal.SIGTERM, signal.SIGINT):
            srv = self.server(slots="slot2,slot3")
            self.client(srv)
            srv.p.send_signal(sig)
            self.assertEqual(srv.wait(), 0, slurp(srv.err))
            self.listener(slot="2").stop()
            self.listener(slot="3").stop()
        bad = Proc(self, [tool("ocelo-socketcand"), "-i", "slot8"], "usage")
        self.assertEqual(bad.wait(), 2)

    # The discovery beacon: XML with the URL and every served bus, about
    # every 2 s; none with --no-beacon.
    def test_discovery_beacon(self):
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socks.append(u)
        u.bind(("127.0.0.1", 0))
        u.settimeout(WAIT)
        dest = "127.0.0.1:%d" % u.getsockname()[1]
        srv = self.server("--beacon", dest, slots="slot2,slot5")
        beacons = [ET.fromstring(u.recv(2048).decode()) for _ in range(2)]
        for root in beacons:
            self.assertEqual(root.tag, "CANBeacon")
            self.assertEqual(root.find("URL").text, "can://127.0.0.1:%d" % srv.port)
            self.assertEqual([b.attrib["name"] for b in root.findall("Bus")], ["slot2", "slot5"])
        srv.stop()
        u.setblocking(False)
        try:
            while u.recv(2048):
                pass
        except BlockingIOError:
            pass
        srv = self.server("--beacon", dest, "--no-beacon")
        u.settimeout(5.0)  # beacons come every 2 s: two would have come
        with self.assertRaises(socket.timeout):
            while True:
                data = u.recv(2048)
                self.assertNotIn(b"slot2", data)


if __name__ == "__main__":
    unittest.main()
