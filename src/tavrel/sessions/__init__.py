"""Sessions of tavrel's own: SSH, telnet, serial lines and local programs.

Each kind comes with a sync face (``SSHSession``: no event loop needed) and
an async one (``AsyncSSHSession``: on the caller's loop) that mirror each
other name for name.  A session is a pexpect spawn, so ``dialog.process``,
``process_async`` and pexpect's ``expect``, ``before``, ``after``,
``match``, ``buffer``, ``send``, ``sendline`` and ``sendcontrol`` work on
it as on any spawn.  Failures are typed (:mod:`tavrel.core.errors`):
:class:`~tavrel.core.errors.ConnectError`,
:class:`~tavrel.core.errors.LoginError`,
:class:`~tavrel.core.errors.HostKeyError`,
:class:`~tavrel.core.errors.SessionClosedError`.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from tavrel.sessions._base import AsyncSession, Session, SessionBase
from tavrel.sessions._collector import quiet_collector
from tavrel.sessions._local import AsyncLocalSession, LocalSession

__all__ = ["Session", "AsyncSession", "SessionBase",
           "LocalSession", "AsyncLocalSession",
           "SSHSession", "AsyncSSHSession",
           "TelnetSession", "AsyncTelnetSession",
           "SerialSession", "AsyncSerialSession", "quiet_collector"]

# The kinds that need an optional dependency are imported when first used,
# so that each extra is needed only by those who use it.
_LAZY = {"SSHSession": "_ssh", "AsyncSSHSession": "_ssh",
         "TelnetSession": "_telnet", "AsyncTelnetSession": "_telnet",
         "SerialSession": "_serial", "AsyncSerialSession": "_serial"}

if TYPE_CHECKING:
    from tavrel.sessions._serial import AsyncSerialSession, SerialSession
    from tavrel.sessions._ssh import AsyncSSHSession, SSHSession
    from tavrel.sessions._telnet import AsyncTelnetSession, TelnetSession


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError("module %r has no attribute %r"
                             % (__name__, name))
    import importlib

    value = getattr(importlib.import_module("tavrel.sessions." + module),
                    name)
    globals()[name] = value
    return value
