"""Where a loaded shared object keeps the address of a function it imports.

On a PC the board library's register access goes through ``ioctl`` of the
simulated slot library.  An executable links the two so that the simulated
``ioctl`` comes before the C library's; a Python process has loaded the C
library long before, so the board library, opened later, would bind its
``ioctl`` to the C library.  These helpers find the board library's entry
for ``ioctl`` (its GOT slot) so that it can be pointed at the simulated one.
"""

import ctypes
import mmap
import struct

# Relocation types that fill a GOT slot with a symbol's address, by machine:
# (jump slot, global data).
_SLOT_RELOCS = {
    3: (7, 6),          # i386
    40: (22, 21),       # arm
    62: (7, 6),         # x86_64
    183: (1026, 1025),  # aarch64
}

SHT_RELA, SHT_REL, SHT_DYNSYM = 4, 9, 11


def got_offsets(path, name):
    """Offsets (from the load address) of the GOT slots that the relocations
    of the shared object at path fill with the address of symbol name."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF":
        raise ValueError(f"{path} is not an ELF file")
    wide = data[4] == 2
    end = "<" if data[5] == 1 else ">"
    machine = struct.unpack_from(end + "H", data, 18)[0]
    if machine not in _SLOT_RELOCS:
        raise ValueError(f"{path}: machine {machine} is not known here")
    if wide:
        shoff, = struct.unpack_from(end + "Q", data, 0x28)
        shentsize, shnum = struct.unpack_from(end + "HH", data, 0x3A)
        shfmt = end + "IIQQQQIIQQ"
    else:
        shoff, = struct.unpack_from(end + "I", data, 0x20)
        shentsize, shnum = struct.unpack_from(end + "HH", data, 0x2E)
        shfmt = end + "IIIIIIIIII"
    sections = [struct.unpack_from(shfmt, data, shoff + i * shentsize) for i in range(shnum)]
    # (name, type, flags, addr, offset, size, link, info, addralign, entsize)
    dynsym = next((i for i, s in enumerate(sections) if s[1] == SHT_DYNSYM), None)
    if dynsym is None:
        raise ValueError(f"{path} has no dynamic symbols")
    _, _, _, _, symoff, symsize, strndx, _, _, symentsize = sections[dynsym]
    stroff = sections[strndx][4]
    wanted = name.encode()
    index = None
    for i in range(symsize // symentsize):
        st_name, = struct.unpack_from(end + "I", data, symoff + i * symentsize)
        start = stroff + st_name
        if data[start:data.index(b"\0", start)] == wanted:
            index = i
            break
    if index is None:
        return []
    types = _SLOT_RELOCS[machine]
    offsets = []
    for s in sections:
        if s[1] not in (SHT_RELA, SHT_REL) or s[6] != dynsym:
            continue
        entsize = s[9]
        for pos in range(s[4], s[4] + s[5], entsize):
            if wide:
                r_offset, r_info = struct.unpack_from(end + "QQ", data, pos)
                sym, rtype = r_info >> 32, r_info & 0xFFFFFFFF
            else:
                r_offset, r_info = struct.unpack_from(end + "II", data, pos)
                sym, rtype = r_info >> 8, r_info & 0xFF
            if sym == index and rtype in types:
                offsets.append(r_offset)
    return offsets


class _LinkMap(ctypes.Structure):
    _fields_ = [("l_addr", ctypes.c_size_t), ("l_name", ctypes.c_char_p)]


def load_address(handle):
    """Load address and file name of a shared object opened with dlopen."""
    libc = ctypes.CDLL(None)
    dlinfo = libc.dlinfo
    dlinfo.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
    lm = ctypes.POINTER(_LinkMap)()
    RTLD_DI_LINKMAP = 2
    if dlinfo(handle, RTLD_DI_LINKMAP, ctypes.byref(lm)) != 0:
        raise OSError("dlinfo failed")
    return lm.contents.l_addr, lm.contents.l_name.decode()


def _protection(address):
    """The protection of the mapping that holds address, from /proc/self/maps."""
    with open("/proc/self/maps") as maps:
        for line in maps:
            span, perms = line.split()[:2]
            lo, hi = (int(x, 16) for x in span.split("-"))
            if lo <= address < hi:
                return ((mmap.PROT_READ if perms[0] == "r" else 0) |
                        (mmap.PROT_WRITE if perms[1] == "w" else 0) |
                        (mmap.PROT_EXEC if perms[2] == "x" else 0))
    raise OSError(f"address {address:#x} is not mapped")


def rebind(handle, name, target):
    """Points every GOT slot through which the shared object opened as handle
    calls name at the function address target.  Returns how many slots."""
    base, path = load_address(handle)
    libc = ctypes.CDLL(None, use_errno=True)
    mprotect = libc.mprotect
    mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    page = mmap.PAGESIZE
    offsets = got_offsets(path, name)
    for off in offsets:
        addr = base + off
        slot = ctypes.c_void_p.from_address(addr)
        if slot.value == target:
            continue
        prot = _protection(addr)
        start = addr & ~(page - 1)
        size = (addr + ctypes.sizeof(ctypes.c_void_p) - start + page - 1) & ~(page - 1)
        if not prot & mmap.PROT_WRITE:
            if mprotect(start, size, prot | mmap.PROT_WRITE) != 0:
                raise OSError(ctypes.get_errno(), "mprotect")
        slot.value = target
        if not prot & mmap.PROT_WRITE:
            mprotect(start, size, prot)
    return len(offsets)
