"""python-can interface for Ocelo CAN boards: can.Bus(interface="ocelo", channel=2)."""

import collections
import ctypes
import errno
import math
import os
import time

import can

from . import _lib

BIT_RATES = (5000, 10000, 20000, 25000, 50000, 100000, 125000, 200000, 250000, 500000, 800000, 1000000)

# A recv without a time-out waits in steps of this many milliseconds (the
# library's wait needs a bound; a step ends early for every frame).
WAIT_STEP_MS = 60000

# How long a board that does not answer its set-up is tried again.
INIT_RETRY_S = 2.0

STD_ID_MAX = 0x7FF
EXT_ID_MAX = 0x1FFFFFFF

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


def _number(value, what):
    """value as an int; CanInitializationError when it is no number."""
    if isinstance(value, bool):
        raise can.CanInitializationError(f"{what} must be a number, not {value!r}")
    try:
        return int(str(value), 0) if isinstance(value, str) else int(value)
    except (TypeError, ValueError):
        raise can.CanInitializationError(f"{what} must be a number, not {value!r}") from None


def _checked_filters(filters):
    """The filters with numeric can_id and can_mask (CanInitializationError
    for anything else)."""
    if not filters:
        return filters
    out = []
    try:
        for f in filters:
            g = dict(f)
            g["can_id"] = _number(f["can_id"], "a filter's can_id")
            g["can_mask"] = _number(f["can_mask"], "a filter's can_mask")
            out.append(g)
    except (TypeError, KeyError):
        raise can.CanInitializationError(f"filters must be dicts with can_id and can_mask: {filters!r}") from None
    return out


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

    bitrate is one of the board's table rates (default 500000).  Any other
    rate takes the board's own timing bytes: timing=can.BitTiming(btr0=...,
    btr1=...) (or btr0/btr1), which the board gets as BT0/BT1 whatever the
    bitrate says.  Filters go to the board's acceptance code and mask as far
    as they can express them; python-can checks the rest on the host.  The
    board's overflow and CAN controller states arrive as error frames
    (SocketCAN classes) and in the state property.  receive_own_messages=True
    hands each sent frame back to this bus (is_rx False).  The board carries
    classic CAN only: fd=True is refused."""

    def __init__(self, channel=None, can_filters=None, bitrate=500000, btr0=None, btr1=None, timing=None,
                 receive_own_messages=False, fd=False, **kwargs):
        if channel is None:
            raise can.CanInitializationError("give a channel: the slot 1 to 7")
        self._slot = _slot_of(channel)
        if fd:
            raise can.CanInitializationError("the board carries classic CAN frames only (no CAN FD)")
        bitrate = _number(500000 if bitrate is None else bitrate, "bitrate")
        if timing is not None:
            try:
                btr0, btr1 = timing.btr0, timing.btr1
            except (AttributeError, TypeError, ValueError, ZeroDivisionError) as e:
                raise can.CanInitializationError(f"timing gives no BTR0/BTR1 the board could take: {e}") from None
        if btr0 is not None or btr1 is not None:
            # The board's own timing bytes (bit-rate index 12), whatever the
            # table rate says.
            bt0, bt1 = _number(btr0 or 0, "btr0"), _number(btr1 or 0, "btr1")
            if not (0 <= bt0 <= 255 and 0 <= bt1 <= 255):
                raise can.CanInitializationError(f"btr0/btr1 are bytes: {bt0:#x}, {bt1:#x}")
            board_rate = 0
        elif bitrate in BIT_RATES:
            bt0 = bt1 = 0
            board_rate = bitrate
        else:
            raise can.CanInitializationError(
                f"the board cannot run at {bitrate} bit/s without timing (btr0/btr1); rates: "
                + ", ".join(map(str, BIT_RATES)))
        self._baud, self._board_rate, self._bt0, self._bt1 = bitrate, board_rate, bt0, bt1
        self._own = bool(receive_own_messages)
        can_filters = _checked_filters(can_filters)
        try:
            self._libs = _lib.libraries()
        except _lib.LibraryError as e:
            raise can.CanInterfaceNotImplementedError(str(e)) from None
        self._lib = self._libs.lib
        self._code, self._mask = 0, 0xFFFFFFFF
        self._status = 0
        # Error frames and own frames to hand out before the next frame
        # (appended by send on another thread too).
        self._pending = collections.deque()
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
        # A board slow to answer its reset (or a simulated one on a busy
        # machine, whose answers can come in a burst later than the set-up's
        # few milliseconds allow) gets three tries, and more until
        # INIT_RETRY_S has passed.
        start, tries = time.monotonic(), 0
        while True:
            rc = self._lib.OceloInit(self._slot, self._board_rate, self._bt0, self._bt1, self._code, self._mask)
            tries += 1
            if rc == _lib.OK:
                self._status = 0
                return
            if rc != _lib.ERR_BOARD or (tries >= 3 and time.monotonic() - start >= INIT_RETRY_S):
                raise can.CanInitializationError(f"OceloInit on slot {self._slot} failed ({rc})")
            time.sleep(0.01)

    def _apply_filters(self, filters):
        if self._up:
            try:
                filters = _checked_filters(filters)
            except can.CanInitializationError as e:
                raise ValueError(str(e)) from None
        self._code, self._mask = board_filter(filters)
        if self._up and self._lib.SetCANMask(self._slot, self._code, self._mask) != _lib.OK:
            raise can.CanOperationError(f"slot {self._slot}: the board did not take the new filter")

    # -- python-can interface --------------------------------------------
    def send(self, msg, timeout=None):
        if msg.is_error_frame or msg.is_fd:
            raise can.CanOperationError("the board sends classic data and remote frames only")
        if not self._open:
            raise can.CanOperationError("the bus is shut down")
        # What the board cannot carry is refused, never cut down to fit.
        ident, payload = msg.arbitration_id, bytes(msg.data or b"")
        top = EXT_ID_MAX if msg.is_extended_id else STD_ID_MAX
        if not isinstance(ident, int) or not 0 <= ident <= top:
            raise ValueError(f"{'extended' if msg.is_extended_id else 'standard'} identifier out of range "
                             f"(0 to {top:#x}): {ident!r}")
        if len(payload) > 8 or not 0 <= msg.dlc <= 8:
            raise ValueError(f"a classic CAN frame carries at most 8 data bytes, not {max(len(payload), msg.dlc)}")
        rtr = bool(msg.is_remote_frame)
        dlc = msg.dlc if rtr else len(payload)
        data = (ctypes.c_ubyte * 8)(*payload)
        rc = self._lib.SendCANMsg(self._slot, 1 if msg.is_extended_id else 0, ident, 1 if rtr else 0, dlc, data)
        if rc == _lib.OK:
            if self._own:
                self._pending.append(can.Message(
                    timestamp=time.time(), arbitration_id=ident, is_extended_id=msg.is_extended_id,
                    is_remote_frame=rtr, dlc=dlc, data=None if rtr else payload, channel=self.channel,
                    is_rx=False))
                self._lib.WakeCANMsgWait(self._slot)  # a waiting recv and the descriptor
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
        arrived = ctypes.c_double()
        data = (ctypes.c_ubyte * 8)()
        while True:
            if not self._open:
                # (None would make python-can's recv without a time-out ask
                # again at once, for ever.)
                raise can.CanOperationError("the bus is shut down")
            if self._pending:
                return self._pending.popleft(), False
            rc = self._lib.GetCANMsgStamp(self._slot, ctypes.byref(mode), ctypes.byref(ident), ctypes.byref(rtr),
                                          ctypes.byref(dlc), data, ctypes.byref(upper), ctypes.byref(lower),
                                          ctypes.byref(arrived))
            self._look_at_status()
            if rc == _lib.OK:
                n = min(dlc.value, 8)
                msg = can.Message(timestamp=arrived.value, arbitration_id=ident.value,
                                  is_extended_id=bool(mode.value), is_remote_frame=bool(rtr.value),
                                  dlc=n, data=None if rtr.value else bytes(data[:n]), channel=self.channel)
                if self._pending:
                    self._pending.append(msg)
                    return self._pending.popleft(), False
                return msg, False
            if rc == _lib.OVERFLOW:
                self._lib.ClearStatus(self._slot)
                self._pending.append(self._error_frame(CAN_ERR_CRTL, CAN_ERR_CRTL_RX_OVERFLOW))
                continue
            if rc == _lib.NOT_INIT:
                if not self._open:
                    continue    # shut down by another thread meanwhile
                # The board restarted (event 64): bring it up again.
                self._init_board()
                self._pending.append(self._error_frame(CAN_ERR_RESTARTED, 0))
                continue
            if rc != _lib.NO_MSG:
                raise can.CanOperationError(f"slot {self._slot}: GetCANMsg failed ({rc})", rc)
            if self._pending:
                continue
            # Sleep in the library until the board's interrupt brings a frame
            # (ctypes lets go of the GIL meanwhile); shutdown wakes it.
            if deadline is None:
                wait_ms = WAIT_STEP_MS
            else:
                wait_ms = max(0, math.ceil((deadline - time.monotonic()) * 1000))
            rc = self._lib.WaitCANMsg(self._slot, wait_ms)
            if rc in (_lib.OK, _lib.OVERFLOW, _lib.NOT_INIT):
                continue        # something to look at
            if rc != _lib.NO_MSG:
                raise can.CanOperationError(f"slot {self._slot}: WaitCANMsg failed ({rc})", rc)
            if deadline is not None and time.monotonic() >= deadline and not self._pending:
                return None, False

    def fileno(self):
        """A descriptor that turns readable when recv has something to hand
        out (for can.Notifier with an asyncio loop, select and the like)."""
        if not self._open:
            raise can.CanOperationError("the bus is shut down")
        fd = ctypes.c_int(-1)
        rc = self._lib.GetCANMsgFd(self._slot, ctypes.byref(fd))
        if rc != _lib.OK:
            raise can.CanOperationError(f"slot {self._slot}: no descriptor to wait on ({rc})", rc)
        return fd.value

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
            self._lib.WakeCANMsgWait(self._slot)   # a recv waiting on another thread returns
            _lib.release(self._slot)

    def shutdown(self):
        self._release()
        parent = getattr(super(), "shutdown", None)
        if parent:
            parent()

    @staticmethod
    def _detect_available_configs():
        return [{"interface": "ocelo", "channel": n} for n in range(1, 8)]
