"""Ocelo CAN boards for python-can: can.Bus(interface="ocelo", channel=<slot>)."""

try:
    from importlib.metadata import version as _version
    __version__ = _version("ocelo")
except Exception:  # run from a source tree without its metadata
    __version__ = "unknown"

from .bus import OceloBus, board_filter  # noqa: E402,F401
