"""The board library (liboceloLnx.so.1) and the slot library under it.

Slots are opened as the CAN tools open them:

* on a PC, simulated boards of the simulated slot library (libslotsim.so.1,
  from the ocelo-tools package) on the bus that OCELO_SIM_BUS names;
* on a controller, when OCELO_SLOT_LIBRARY names the controller's slot
  library (a shared object defining slot_fd and Close_SlotAll), the slot
  device from the pattern in OCELO_SLOT_DEVICE (default /dev/slot%d).

OCELO_LIBRARY may name the board library file (default: liboceloLnx.so.1
from the library path).
"""

import ctypes
import errno
import os
import threading

from . import _elf

OK, ERR_BOARD, NO_MSG, OVERFLOW, BAD_SLOT, NOT_INIT = 0, 21, 22, 23, 27, 28

c_ulong_p = ctypes.POINTER(ctypes.c_ulong)
c_ubyte_p = ctypes.POINTER(ctypes.c_ubyte)

_lock = threading.Lock()
_state = None


class LibraryError(OSError):
    pass


class _Libraries:
    def __init__(self):
        slot_library = os.environ.get("OCELO_SLOT_LIBRARY")
        self.simulated = not slot_library
        try:
            self.slots = ctypes.CDLL(slot_library or "libslotsim.so.1", mode=ctypes.RTLD_GLOBAL)
        except OSError as e:
            raise LibraryError(
                f"no slot library: {e}; on a PC install ocelo-tools (the simulated slots), "
                "on a controller set OCELO_SLOT_LIBRARY to the slot library") from None
        name = os.environ.get("OCELO_LIBRARY") or "liboceloLnx.so.1"
        try:
            lib = ctypes.CDLL(name, mode=ctypes.RTLD_GLOBAL)
        except OSError as e:
            raise LibraryError(f"cannot load the board library {name}: {e}") from None
        if self.simulated:
            # The board library must reach the simulated boards through the
            # simulated slot library's ioctl, not the C library's.
            target = ctypes.cast(self.slots.ioctl, ctypes.c_void_p).value
            if _elf.rebind(lib._handle, "ioctl", target) == 0:
                raise LibraryError(f"{name} calls no ioctl that could be pointed at the simulated slots")
            self.slots.SlotSimOpen.argtypes = [ctypes.c_int]
            self.slots.SlotSimBusError.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
        self.slot_fd = (ctypes.c_int * 8).in_dll(self.slots, "slot_fd")
        lib.OceloInit.argtypes = [ctypes.c_ubyte, ctypes.c_ulong, ctypes.c_ubyte, ctypes.c_ubyte,
                                  ctypes.c_ulong, ctypes.c_ulong]
        lib.SetCANMask.argtypes = [ctypes.c_ubyte, ctypes.c_ulong, ctypes.c_ulong]
        lib.GetCANMask.argtypes = [ctypes.c_ubyte, c_ulong_p, c_ulong_p]
        lib.GetCANMsg.argtypes = [ctypes.c_ubyte, c_ubyte_p, c_ulong_p, c_ubyte_p, c_ubyte_p, c_ubyte_p,
                                  c_ulong_p, c_ulong_p]
        lib.SendCANMsg.argtypes = [ctypes.c_ubyte, ctypes.c_ubyte, ctypes.c_ulong, ctypes.c_ubyte,
                                   ctypes.c_ubyte, c_ubyte_p]
        lib.GetStatus.argtypes = [ctypes.c_ubyte, c_ubyte_p, c_ubyte_p]
        lib.ClearStatus.argtypes = [ctypes.c_ubyte]
        missing = [f for f in ("GetCANMsgStamp", "WaitCANMsg", "WakeCANMsgWait", "GetCANMsgFd") if not hasattr(lib, f)]
        if missing:
            raise LibraryError(f"{name} is too old for this interface: no {', '.join(missing)}")
        lib.GetCANMsgStamp.argtypes = lib.GetCANMsg.argtypes + [ctypes.POINTER(ctypes.c_double)]
        lib.WaitCANMsg.argtypes = [ctypes.c_ubyte, ctypes.c_ulong]
        lib.WakeCANMsgWait.argtypes = [ctypes.c_ubyte]
        lib.GetCANMsgFd.argtypes = [ctypes.c_ubyte, ctypes.POINTER(ctypes.c_int)]
        lib.RecoverOcelo.argtypes = []
        lib.RecoverOcelo.restype = None
        self.lib = lib
        self.users = set()   # slots that a bus of this process has open

    def open_slot(self, slot):
        """Opens the slot's device; returns 0 or a negative errno."""
        if self.simulated:
            return self.slots.SlotSimOpen(slot)
        if self.slot_fd[slot] >= 0:
            return 0
        pattern = os.environ.get("OCELO_SLOT_DEVICE") or ""
        if pattern.count("%") != 1 or "%d" not in pattern:
            pattern = "/dev/slot%d"
        try:
            fd = os.open(pattern % slot, os.O_RDWR | os.O_CLOEXEC)
        except OSError as e:
            return -(e.errno or errno.EIO)
        self.slot_fd[slot] = fd
        return 0


def bus_error():
    """(errno, directory) when the simulated bus could not join other
    processes through its directory at the last try, else None."""
    libs = libraries()
    if not libs.simulated:
        return None
    buf = ctypes.create_string_buffer(4096)
    err = libs.slots.SlotSimBusError(buf, len(buf))
    return (err, os.fsdecode(buf.value)) if err else None


def libraries():
    """The process's board and slot libraries, loaded on first use."""
    global _state
    with _lock:
        if _state is None:
            _state = _Libraries()
        return _state


def claim(slot):
    """Opens slot for a bus of this process; returns 0 or a negative errno
    (-EADDRINUSE when a bus of this process has it already)."""
    libs = libraries()
    with _lock:
        if slot in libs.users:
            return -errno.EADDRINUSE
        rc = libs.open_slot(slot)
        if rc == 0:
            libs.users.add(slot)
        return rc


def release(slot):
    """Gives up a bus's slot.  The library releases boards only all at once,
    so the boards are released when the last bus of the process goes."""
    libs = libraries()
    with _lock:
        if slot not in libs.users:
            return
        libs.users.discard(slot)
        if not libs.users:
            libs.lib.RecoverOcelo()
