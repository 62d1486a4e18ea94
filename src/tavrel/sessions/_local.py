"""Local programs on a pseudo-terminal.

The program runs in a session of its own with the pty as its controlling
terminal, as under a terminal emulator.  The loop reads the pty's master
side when it turns readable and learns of the program's exit from a pidfd:
no thread per program, no polling.
"""

from __future__ import annotations

import asyncio
import errno
import fcntl
import os
import signal
import struct
import subprocess
import termios
from collections.abc import Mapping, Sequence
from typing import Any

from tavrel.core.errors import ConnectError
from tavrel.sessions._base import AsyncSession, Link, Session
from tavrel.sessions._inbox import Inbox

__all__ = ["LocalSession", "AsyncLocalSession"]

# After the pty is hung up, how long the program has to end before it is
# killed, and how long its end is then waited for.
HANGUP_GRACE = 1.0
KILL_WAIT = 2.0


def _take_terminal() -> None:
    # In the child, after setsid(): the pty (its stdin) becomes the
    # controlling terminal of its new session.
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def _set_size(fd: int, rows: int, cols: int) -> None:
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))


class _PtyLink(Link):
    def __init__(self, inbox: Inbox, name: str, master: int,
                 process: subprocess.Popen[bytes],
                 loop: asyncio.AbstractEventLoop) -> None:
        super().__init__(inbox, name, None)
        self.master = master
        self.process = process
        self.loop = loop
        self.exited: asyncio.Future[None] = loop.create_future()
        self._pending = bytearray()
        self._reading = False
        self._pidfd = -1
        loop.add_reader(master, self._readable)
        self._reading = True
        try:
            self._pidfd = os.pidfd_open(process.pid)
        except OSError:
            self._pidfd = -1
        if self._pidfd >= 0:
            loop.add_reader(self._pidfd, self._reap)
        else:
            self._reap()

    def _readable(self) -> None:
        try:
            data = os.read(self.master, 1 << 16)
        except BlockingIOError:
            return
        except OSError as exc:
            # EIO: every holder of the pty's other side has gone.
            if exc.errno != errno.EIO:
                self._stop_reading()
                self.inbox.end(exc)
                return
            data = b""
        if data:
            self.inbox.feed(data)
        else:
            self._stop_reading()
            self.inbox.end()

    def _stop_reading(self) -> None:
        if self._reading:
            self._reading = False
            self.loop.remove_reader(self.master)

    def _reap(self) -> None:
        code = self.process.poll()
        if code is None:
            if self._pidfd < 0:
                # No pidfd (an old kernel): look again now and then.
                self.loop.call_later(0.1, self._reap)
            return
        if self._pidfd >= 0:
            self.loop.remove_reader(self._pidfd)
            os.close(self._pidfd)
            self._pidfd = -1
        if code < 0:
            self.signal_status = -code
        else:
            self.exit_status = code
        if not self.exited.done():
            self.exited.set_result(None)

    def write(self, data: bytes) -> None:
        if self.master < 0:
            return
        if self._pending:
            self._pending += data
            return
        try:
            written = os.write(self.master, data)
        except BlockingIOError:
            written = 0
        except OSError:
            return
        if written < len(data):
            self._pending += data[written:]
            self.loop.add_writer(self.master, self._drain)

    def _drain(self) -> None:
        try:
            written = os.write(self.master, self._pending)
        except BlockingIOError:
            return
        except OSError:
            written = len(self._pending)
        del self._pending[:written]
        if not self._pending:
            self.loop.remove_writer(self.master)

    def set_size(self, rows: int, cols: int) -> None:
        if self.master >= 0:
            _set_size(self.master, rows, cols)

    async def close(self) -> None:
        master = self.master
        if master >= 0:
            self._stop_reading()
            self.master = -1
            if self._pending:
                self.loop.remove_writer(master)
            # The hang-up: the program gets SIGHUP, as when a terminal
            # window closes.
            os.close(master)
        self.inbox.end()
        if self.exited.done():
            return
        try:
            await asyncio.wait_for(asyncio.shield(self.exited), HANGUP_GRACE)
            return
        except asyncio.TimeoutError:
            pass
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except OSError:
            pass
        try:
            await asyncio.wait_for(asyncio.shield(self.exited), KILL_WAIT)
        except asyncio.TimeoutError:
            pass


class _LocalKind:
    """What both faces of a local session share."""

    kind = "local"
    command: str
    args: list[str]

    def __init__(self, command: str, args: Sequence[str] = (), *,
                 env: Mapping[str, str] | None = None,
                 cwd: str | None = None,
                 dimensions: tuple[int, int] = (24, 80),
                 **options: Any) -> None:
        if not isinstance(command, str) or not command:
            raise TypeError("command must be a non-empty str")
        if isinstance(args, str):
            raise TypeError("args must be a sequence of str, not one str")
        self.command = command
        self.args = [str(a) for a in args]
        self.env = None if env is None else dict(env)
        self.cwd = cwd
        rows, cols = dimensions
        self.dimensions = (int(rows), int(cols))
        self.pid: int | None = None
        super().__init__(**options)

    @property
    def host(self) -> str:
        return self.command

    @property
    def port(self) -> None:
        return None

    async def _connect(self, inbox: Inbox) -> Link:
        loop = asyncio.get_running_loop()
        master, slave = os.openpty()
        try:
            _set_size(slave, *self.dimensions)
            try:
                process = subprocess.Popen(
                    [self.command, *self.args], stdin=slave, stdout=slave,
                    stderr=slave, env=self.env, cwd=self.cwd,
                    start_new_session=True, preexec_fn=_take_terminal)
            except OSError as exc:
                raise ConnectError("cannot start %s: %s"
                                   % (self.command, exc.strerror or exc),
                                   self.command, None) from None
        except BaseException:
            os.close(master)
            raise
        finally:
            os.close(slave)
        os.set_blocking(master, False)
        self.pid = process.pid
        return _PtyLink(inbox, self.command, master, process, loop)


class LocalSession(_LocalKind, Session):
    """A local program on a pseudo-terminal, sync.

    ``LocalSession("bash", ["--norc"])`` runs ``bash --norc`` with a pty
    of ``dimensions`` (rows, columns) as its terminal, ``env`` as its
    environment (None: this process's) and ``cwd`` as its directory.
    ``close()`` hangs the terminal up (the program gets SIGHUP) and kills
    the program's process group if it has not ended a second later.
    ``exitstatus`` and ``signalstatus`` tell how it ended.  The other
    arguments are :class:`~tavrel.sessions.Session`'s.
    """

    def __enter__(self) -> LocalSession:
        self.open()
        return self


class AsyncLocalSession(_LocalKind, AsyncSession):
    """A local program on a pseudo-terminal, async (see
    :class:`LocalSession`)."""

    async def __aenter__(self) -> AsyncLocalSession:
        await self.open()
        return self
