"""python-can interface for Ocelo CAN boards: can.Bus(interface="ocelo", channel=2)."""

import ctypes
import errno
import os
import time

import can

from . import _lib

BIT_RATES = (5000, 10000, 20000, 25000, 50000, 100000, 125000, 200000, 250000, 500000, 800000, 1000000)

# How long recv sleeps between two looks at the board library's receive
# buffer while nothing is waiting (seconds): the latency a waiting recv adds.
POLL_INTERVAL = 0.001

# SocketCAN error frame classes (identifier bits) and controller flags (data
# byte 1), as candump and python-can's log readers know them.
CAN_ERR_CRTL = 0x004
CAN_ERR_BUSOFF = 0x040
CAN_ERR_RESTARTED = 0x100
CAN_ERR_CRTL_RX_OVERFLOW = 0x01
CAN_ERR_CRTL_RX_WARNING = 0x04
CAN_ERR_CRTL_TX_WARNING = 0x08
CAN_ERR_CRTL_ACTIVE = 0x40

# The CAN controller's status byte as the board passes it on: bit 7 bus
# off, bit 6 an error counter at the warning limit.
STATUS_BUS_OFF = 0x80
STATUS_WARNING = 0x40


def _slot_of(channel):
    text = str(channel).strip().lower()
    if text.startswith("slot"):
        text = text[4:]
    try:
        slot = int(text, 0)
    except ValueError:
        slot = 0
    if not 1 <= slot <= 7:
        raise can.CanInitializationError(f"channel must be a slot 1 to 7 (or slot1 .. slot7): {channel!r}")
    return slot


def board_filter(filters):
    """The board's acceptance code and mask (mask bit 1 = don't care) that
    pass at least every frame the python-can filters pass.

    The board compares one 32-bit word per frame: for an extended frame bits
    31..3 hold identifier bits 28..0 and bit 2 the RTR bit; for a standard
    frame bits 31..21 hold identifier bits 10..0, bit 20 the RTR bit and bits
    15..0 the first two data bytes.  For every filter and kind of frame it can
    pass, the word bits the filter fixes are known; the board gets the bits
    known with one value for all of them, don't care elsewhere."""
    if not filters:
        return 0, 0xFFFFFFFF
    known = []   # (word mask, word value) per filter and kind of frame
    for f in filters:
        can_id, mask = f["can_id"], f["can_mask"]
        kinds = (f["extended"],) if "extended" in f else (False, True)
        for ext in kinds:
            width = 29 if ext else 11
            if can_id & mask & ~((1 << width) - 1):
                continue   # compares an identifier bit this kind does not have set
            m = mask & ((1 << width) - 1)
            shift = 3 if ext else 21
            known.append((m << shift, (can_id & m) << shift))
    if not known:
        return 0, 0xFFFFFFFF
    common, value = known[0]
    for m, v in known[1:]:
        common &= m & ~(value ^ v)
    return value & common, ~common & 0xFFFFFFFF


class OceloBus(can.BusABC):
    """An Ocelo board in a controller slot (channel = slot 1 to 7).

    bitrate is one of the board's table rates (default 500000); btr0/btr1
    give the board's user timing bytes for any other rate.  Filters go to the
    board's acceptance code and mask as far as they can express them; python-can
    checks the rest on the host.  The board's overflow and CAN controller
    states arrive as error frames (SocketCAN classes) and in the state
    property."""

    def __init__(self, channel=None, can_filters=None, bitrate=500000, btr0=None, btr1=None,
                 poll_interval=POLL_INTERVAL, **kwargs):
        if channel is None:
            raise can.CanInitializationError("give a channel: the slot 1 to 7")
        self._slot = _slot_of(channel)
        bitrate = int(bitrate)
        if btr0 is not None or btr1 is not None:
            bt0, bt1 = int(btr0 or 0), int(btr1 or 0)
            if bitrate in BIT_RATES:
                raise can.CanInitializationError("btr0/btr1 are for rates outside the board's table")
        elif bitrate in BIT_RATES:
            bt0 = bt1 = 0
        else:
            raise can.CanInitializationError(
                f"the board cannot run at {bitrate} bit/s without btr0/btr1; rates: "
                + ", ".join(map(str, BIT_RATES)))
        self._baud, self._bt0, self._bt1 = bitrate, bt0, bt1
        self._poll = max(float(poll_interval), 0.0001)
        try:
            self._libs = _lib.libraries()
        except _lib.LibraryError as e:
            raise can.CanInterfaceNotImplementedError(str(e)) from None
        self._lib = self._libs.lib
        self._code, self._mask = 0, 0xFFFFFFFF
        self._status = 0
        self._pending = []      # error frames to hand out before the next frame
        self._open = False
        self._up = False        # the board has been initialised
        rc = _lib.claim(self._slot)
        if rc == -errno.EBUSY:
            raise can.CanInitializationError(f"slot {self._slot} is in use by another process")
        if rc == -errno.EADDRINUSE:
            raise can.CanInitializationError(f"slot {self._slot} is open in this process already")
        if rc != 0:
            bus = _lib.bus_error()
            if bus and bus[0] == -rc:
                raise can.CanInitializationError(
                    f"cannot open slot {self._slot}: the simulated bus {bus[1]} (OCELO_SIM_BUS) cannot be used: "
                    f"{os.strerror(bus[0])}")
            raise can.CanInitializationError(f"cannot open slot {self._slot}: {errno.errorcode.get(-rc, rc)}")
        self._open = True
        self.channel_info = f"Ocelo board in slot {self._slot}"
        self.channel = f"slot{self._slot}"
        try:
            super().__init__(channel=channel, can_filters=can_filters, **kwargs)
            self._init_board()
            self._up = True
        except Exception:
            self._release()
            raise

    # -- set-up ---------------------------------------------------------
    def _init_board(self):
        # A board slow to answer its first reset gets up to three tries.
        for _ in range(3):
            rc = self._lib.OceloInit(self._slot, self._baud, self._bt0, self._bt1, self._code, self._mask)
            if rc == _lib.OK:
                self._status = 0
                return
        raise can.CanInitializationError(f"OceloInit on slot {self._slot} failed ({rc})")

    def _apply_filters(self, filters):
        self._code, self._mask = board_filter(filters)
        if self._up and self._lib.SetCANMask(self._slot, self._code, self._mask) != _lib.OK:
            raise can.CanOperationError(f"slot {self._slot}: the board did not take the new filter")

    # -- python-can interface --------------------------------------------
    def send(self, msg, timeout=None):
        if msg.is_error_frame or msg.is_fd:
            raise can.CanOperationError("the board sends classic data and remote frames only")
        if not self._open:
            raise can.CanOperationError("the bus is shut down")
        dlc = min(msg.dlc, 8)
        data = (ctypes.c_ubyte * 8)(*bytes(msg.data)[:8])
        rc = self._lib.SendCANMsg(self._slot, 1 if msg.is_extended_id else 0, msg.arbitration_id,
                                  1 if msg.is_remote_frame else 0, dlc, data)
        if rc == _lib.OK:
            return
        if rc == _lib.OVERFLOW:
            raise can.CanOperationError(f"slot {self._slot}: transmission blocked by the board", rc)
        if rc == _lib.NOT_INIT:
            raise can.CanOperationError(f"slot {self._slot}: the board restarted", rc)
        raise can.CanOperationError(f"slot {self._slot}: the board did not take the frame ({rc})", rc)

    def _recv_internal(self, timeout):
        deadline = None if timeout is None else time.monotonic() + max(timeout, 0.0)
        mode, rtr, dlc = ctypes.c_ubyte(), ctypes.c_ubyte(), ctypes.c_ubyte()
        ident, upper, lower = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_ulong()
        data = (ctypes.c_ubyte * 8)()
        while self._open:
            if self._pending:
                return self._pending.pop(0), False
            rc = self._lib.GetCANMsg(self._slot, ctypes.byref(mode), ctypes.byref(ident), ctypes.byref(rtr),
                                     ctypes.byref(dlc), data, ctypes.byref(upper), ctypes.byref(lower))
            self._look_at_status()
            if rc == _lib.OK:
                n = min(dlc.value, 8)
                msg = can.Message(timestamp=time.time(), arbitration_id=ident.value,
                                  is_extended_id=bool(mode.value), is_remote_frame=bool(rtr.value),
                                  dlc=n, data=None if rtr.value else bytes(data[:n]), channel=self.channel)
                if self._pending:
                    self._pending.append(msg)
                    return self._pending.pop(0), False
                return msg, False
            if rc == _lib.OVERFLOW:
                self._lib.ClearStatus(self._slot)
                self._pending.append(self._error_frame(CAN_ERR_CRTL, CAN_ERR_CRTL_RX_OVERFLOW))
                continue
            if rc == _lib.NOT_INIT:
                if not self._open:
                    break    # shut down by another thread meanwhile
                # The board restarted (event 64): bring it up again.
                self._init_board()
                self._pending.append(self._error_frame(CAN_ERR_RESTARTED, 0))
                continue
            if rc != _lib.NO_MSG:
                raise can.CanOperationError(f"slot {self._slot}: GetCANMsg failed ({rc})", rc)
            if deadline is None:
                time.sleep(self._poll)
                continue
            left = deadline - time.monotonic()
            if left <= 0:
                return None, False
            time.sleep(min(self._poll, left))
        return None, False

    def _look_at_status(self):
        reg, overflow = ctypes.c_ubyte(), ctypes.c_ubyte()
        self._lib.GetStatus(self._slot, ctypes.byref(reg), ctypes.byref(overflow))
        new, old = reg.value, self._status
        if new == old:
            return
        self._status = new
        if new & STATUS_BUS_OFF and not old & STATUS_BUS_OFF:
            self._pending.append(self._error_frame(CAN_ERR_BUSOFF, 0))
        elif new & STATUS_WARNING and not old & STATUS_WARNING:
            self._pending.append(self._error_frame(CAN_ERR_CRTL, CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING))
        elif not new & (STATUS_BUS_OFF | STATUS_WARNING):
            self._pending.append(self._error_frame(CAN_ERR_CRTL, CAN_ERR_CRTL_ACTIVE))

    def _error_frame(self, cls, ctrl):
        return can.Message(timestamp=time.time(), arbitration_id=cls, is_extended_id=False, is_error_frame=True,
                           dlc=8, data=bytes([0, ctrl, 0, 0, 0, 0, 0, 0]), channel=self.channel)

    @property
    def state(self):
        if self._status & STATUS_BUS_OFF:
            return can.BusState.ERROR
        return can.BusState.ACTIVE

    @state.setter
    def state(self, new_state):
        if new_state != can.BusState.ACTIVE:
            raise NotImplementedError("the board has no listen-only mode")

    def board_status(self):
        """The board's CAN status byte and buffer status byte, as GetStatus gives them."""
        reg, overflow = ctypes.c_ubyte(), ctypes.c_ubyte()
        self._lib.GetStatus(self._slot, ctypes.byref(reg), ctypes.byref(overflow))
        return reg.value, overflow.value

    def acceptance(self):
        """The acceptance code and mask the board was given (mask bit 1 = don't care)."""
        return self._code, self._mask

    def _release(self):
        if self._open:
            self._open = False
            _lib.release(self._slot)

    def shutdown(self):
        self._release()
        parent = getattr(super(), "shutdown", None)
        if parent:
            parent()

    @staticmethod
    def _detect_available_configs():
        return [{"interface": "ocelo", "channel": n} for n in range(1, 8)]
