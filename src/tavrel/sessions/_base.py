"""The two faces of a session, and what they share.

Every kind of session (SSH, telnet, serial, a local program) is a
:class:`Link` that lives on an event loop: it writes what it is given and
feeds what arrives into an :class:`~tavrel.sessions._inbox.Inbox`.  Around
it, :class:`SessionBase` is a pexpect spawn (``expect``, ``before``,
``after``, ``match``, ``buffer``, ``send``, ``sendline``...), and so a spawn
to the dialog engine.  :class:`Session` is the sync face: its link runs on
the loop the sync sessions of the process share (:mod:`._loop`), and its
reads wait on the inbox from the caller's thread.  :class:`AsyncSession` is
the async face: its link runs on the caller's loop, its reads are awaited
(``read_async``, which the engine's asyncio driver uses), and its
``expect`` and ``close`` are coroutines.

Sends never block and never sleep: they are handed to the link, which
writes them on the loop.  A session's ``send_pause`` holds each send back
that many seconds after the one before, on the loop, for devices that lose
input typed too early.
"""

from __future__ import annotations

import asyncio
import contextlib
from collections import deque
from collections.abc import Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, Any

import pexpect
from pexpect.expect import Expecter, searcher_re, searcher_string
from pexpect.spawnbase import SpawnBase

from tavrel.core.errors import (ConnectTimeoutError, DialogEOFError,
                                DialogTimeoutError, LoginError,
                                SessionClosedError)
from tavrel.sessions import _loop
from tavrel.sessions._inbox import Inbox
from tavrel.sessions._record import (Destination, Recorder, SessionSecrets,
                                     Transcript)

__all__ = ["Link", "SessionBase", "Session", "AsyncSession", "check_port",
           "seconds", "optional_seconds"]

if TYPE_CHECKING:
    _SpawnBase = SpawnBase[Any]
else:
    _SpawnBase = SpawnBase

# A close waits this long for the far end to let go, then cuts it off.
CLOSE_TIMEOUT = 10.0
# What one read takes at most by default: as much as the engine asks for.
READ_SIZE = 1 << 16


def seconds(value: object, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) \
            or not value >= 0:
        raise ValueError("%s must be a number of seconds >= 0, not %r"
                         % (name, value))
    return float(value)


def optional_seconds(value: object, name: str) -> float | None:
    return None if value is None else seconds(value, name)


class Link:
    """One session's transport, on its event loop.  A kind of session
    subclasses it: ``write`` sends bytes, ``close`` lets the far end go;
    what arrives goes to ``inbox.feed``, the end to ``inbox.end``."""

    def __init__(self, inbox: Inbox, host: str | None,
                 port: int | None) -> None:
        self.inbox = inbox
        self.host = host
        self.port = port
        self.exit_status: int | None = None
        self.signal_status: int | None = None

    def write(self, data: bytes) -> None:
        raise NotImplementedError

    def send_break(self, duration: float) -> None:
        raise NotImplementedError(
            "%s sessions have no break" % type(self).__name__)

    def set_size(self, rows: int, cols: int) -> None:
        """The far end's terminal size changed (where it has one)."""

    async def close(self) -> None:
        raise NotImplementedError


class _Writer:
    """Writes on the loop, each send held back ``pause`` seconds after the
    one before it."""

    __slots__ = ("link", "pause", "_queue", "_timer", "_next")

    def __init__(self, link: Link, pause: float) -> None:
        self.link = link
        self.pause = pause
        self._queue: deque[bytes] = deque()
        self._timer: asyncio.TimerHandle | None = None
        self._next = 0.0

    def write(self, data: bytes) -> None:
        if not self.pause:
            self.link.write(data)
            return
        self._queue.append(data)
        if self._timer is None:
            loop = asyncio.get_running_loop()
            # The first send after a quiet spell waits the pause too: it is
            # the answer to a prompt that has just arrived.
            due = max(loop.time() + self.pause, self._next)
            self._timer = loop.call_at(due, self._release)

    def _release(self) -> None:
        self._timer = None
        if not self._queue:
            return
        self.link.write(self._queue.popleft())
        loop = asyncio.get_running_loop()
        self._next = loop.time() + self.pause
        if self._queue:
            self._timer = loop.call_at(self._next, self._release)

    def cancel(self) -> None:
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        self._queue.clear()

    @property
    def pending(self) -> bool:
        return bool(self._queue)


class SessionBase(_SpawnBase):
    """What both faces share: a pexpect spawn over a :class:`Link`.

    ``encoding`` (None: bytes), ``codec_errors``, ``timeout``, ``maxread``,
    ``searchwindowsize`` and ``logfile`` are pexpect's.  ``send_pause``
    holds each send back that long after the one before (pexpect's
    ``delaybeforesend``, but on the loop: nobody sleeps).  ``transcript``
    (a path or a file) gets everything that arrives, masked;
    ``recording`` (a path or a text file) gets what arrived and when and
    what was sent, as JSON lines (:class:`tavrel.testing.ReplaySpawn` plays
    it back).  ``secrets`` are masked in both, besides the session's
    password and the secrets of every dialog run on the session.
    ``login`` is a dialog run as soon as the session is open (with
    ``context``, at most ``login_timeout`` seconds): the prompts of a
    telnet or console login, a device's first questions.
    """

    #: The kind of session, for recordings and messages.
    kind = "session"

    def __init__(self, *, encoding: str | None = "utf-8",
                 codec_errors: str = "strict", timeout: float | None = 30,
                 maxread: int = READ_SIZE,
                 searchwindowsize: int | None = None, logfile: Any = None,
                 send_pause: float = 0.0,
                 transcript: Destination | None = None,
                 recording: Destination | None = None,
                 secrets: Iterable[object] = (), login: Any = None,
                 context: Mapping[str, Any] | None = None,
                 login_timeout: float = 30) -> None:
        super().__init__(timeout=timeout, maxread=maxread,
                         searchwindowsize=searchwindowsize, logfile=logfile,
                         encoding=encoding, codec_errors=codec_errors)
        # pexpect's own sleeps: none here.
        spawn: Any = self
        spawn.delaybeforesend = None
        spawn.delayafterread = None
        spawn.delayafterclose = None
        spawn.delayafterterminate = None
        self.send_pause = seconds(send_pause, "send_pause")
        self.login = login
        self.context = context
        self.login_timeout = seconds(login_timeout, "login_timeout")
        self.secrets = SessionSecrets(secrets)
        self._transcript_to = transcript
        self._recording_to = recording
        self.transcript: Transcript | None = None
        self.recorder: Recorder | None = None
        self.inbox = Inbox()
        self.link: Link | None = None
        self._writer: _Writer | None = None
        self.closed = True
        self.terminated = True

    # -- what subclasses give ----------------------------------------------

    @property
    def host(self) -> str | None:
        raise NotImplementedError

    @property
    def port(self) -> int | None:
        return None

    async def _connect(self, inbox: Inbox) -> Link:
        """Open the transport, feeding ``inbox``; raise a SessionError
        subclass when it cannot be opened (and leave nothing open)."""
        raise NotImplementedError

    def _header(self) -> dict[str, Any]:
        return {"kind": self.kind, "host": self.host, "port": self.port,
                "encoding": self.encoding}

    # -- opening and closing (on the loop) ----------------------------------

    async def _open_on_loop(self) -> None:
        if self.link is not None:
            if self.closed:
                raise SessionClosedError(
                    "the session with %s was closed; open a new one"
                    % self._where(), self.host, self.port)
            return
        inbox = Inbox()
        if self._transcript_to is not None:
            self.transcript = Transcript(self._transcript_to, self.secrets)
        if self._recording_to is not None:
            self.recorder = Recorder(self._recording_to, self.secrets,
                                     self._header())
        inbox.observers = tuple(record for record in (self.transcript,
                                                      self.recorder)
                                if record is not None)
        try:
            link = await self._connect(inbox)
        except BaseException:
            self._close_records()
            raise
        self.inbox = inbox
        self.link = link
        self._writer = _Writer(link, self.send_pause or 0.0)
        self.closed = False
        self.terminated = False

    async def _close_on_loop(self) -> None:
        link, writer = self.link, self._writer
        self.closed = True
        # What the far end says from here on is not the session's: the
        # recording ends at our close, not at an end of theirs.
        self.inbox.observers = ()
        if link is None:
            self._close_records()
            return
        try:
            if writer is not None and writer.pending:
                # What was asked to be sent is sent before the end.
                while writer.pending and not self.inbox.closing:
                    await asyncio.sleep(writer.pause)
                writer.cancel()
            await asyncio.wait_for(link.close(), CLOSE_TIMEOUT)
        except asyncio.TimeoutError:
            pass
        finally:
            self.inbox.end()
            self.terminated = True
            self.exitstatus = link.exit_status
            self.signalstatus = link.signal_status
            self._close_records()

    def _close_records(self) -> None:
        for record in (self.transcript, self.recorder):
            if record is not None:
                record.close()

    # -- reading ------------------------------------------------------------

    def _take(self, size: int) -> Any:
        """What has arrived, decoded; raises pexpect.EOF at the end."""
        data = self.inbox.take(max(1, size))
        if not data:
            if self.inbox.ended:
                self.flag_eof = True
                self._note_end()
                raise pexpect.EOF("End Of File (EOF): %s" % self._where())
            raise pexpect.TIMEOUT("Timeout exceeded.")
        spawn: Any = self
        text = spawn._decoder.decode(data, final=False)
        spawn._log(text, "read")
        return text

    def _note_end(self) -> None:
        link = self.link
        if link is not None:
            self.exitstatus = link.exit_status
            self.signalstatus = link.signal_status
        self.terminated = True

    @contextlib.contextmanager
    def _login_errors(self) -> Iterator[None]:
        """The login dialog's timeout and end of file, as session errors."""
        try:
            yield
        except DialogTimeoutError as exc:
            raise ConnectTimeoutError(
                "logging in to %s took longer than %g s (the output ends "
                "with %r)" % (self._where(), self.login_timeout,
                              exc.tail[-80:]),
                self.host, self.port) from None
        except DialogEOFError as exc:
            raise LoginError(
                "%s closed the session during the login (the output ends "
                "with %r)" % (self._where(), exc.tail[-80:]),
                self.host, self.port) from None

    def _where(self) -> str:
        return _address(self.host, self.port)

    def _timeout(self, timeout: float | None) -> float | None:
        if timeout == -1:
            own: float | None = self.timeout
            return own
        return timeout

    # -- sending ------------------------------------------------------------

    def send(self, s: Any) -> int:
        """Send ``s`` (text is encoded); returns the number of bytes
        handed over.  Never waits."""
        spawn: Any = self
        s = spawn._coerce_send_string(s)
        spawn._log(s, "send")
        data = s if isinstance(s, bytes) else spawn._encoder.encode(s)
        if self.link is None or self.closed or self.inbox.closing:
            # Not written, so not reported as sent.
            raise SessionClosedError(
                "the session with %s is %s" % (
                    self._where(), "closed" if self.closed or not self.link
                    else "over: the far end has gone"),
                self.host, self.port)
        if self.recorder is not None:
            self.recorder.sent(data)
        self._write(data)
        return len(data)

    write = send

    def writelines(self, sequence: Iterable[Any]) -> None:
        for s in sequence:
            self.send(s)

    def sendline(self, s: Any = "") -> int:
        spawn: Any = self
        s = spawn._coerce_send_string(s)
        return self.send(s + spawn._coerce_send_string(self.linesep))

    def sendcontrol(self, char: str) -> int:
        char = char.lower()
        code = ord(char)
        if 97 <= code <= 122:
            value = code - 97 + 1
        else:
            value = {"@": 0, "`": 0, "[": 27, "{": 27, "\\": 28, "|": 28,
                     "]": 29, "}": 29, "^": 30, "~": 30, "_": 31,
                     "?": 127}.get(char, 0)
        return self.send(bytes([value]))

    def sendeof(self) -> None:
        self.sendcontrol("d")

    def sendintr(self) -> None:
        self.sendcontrol("c")

    def _write(self, data: bytes) -> None:
        raise NotImplementedError

    # -- state --------------------------------------------------------------

    def isalive(self) -> bool:
        return self.link is not None and not self.closed \
            and not self.inbox.closing

    def fileno(self) -> int:
        raise OSError("a %s session has no file descriptor" % self.kind)

    def __repr__(self) -> str:
        if not hasattr(self, "inbox"):
            # pexpect's __init__ asks before we are set up.
            return "<%s>" % type(self).__name__
        state = ("closed" if self.closed else
                 "ended" if self.inbox.closing else "open")
        return "<%s %s %s>" % (type(self).__name__, self._where(), state)


def _address(host: str | None, port: int | None) -> str:
    if host is None:
        return "?"
    if port is None:
        return host
    return "[%s]:%d" % (host, port) if ":" in host else "%s:%d" % (host, port)


class Session(SessionBase):
    """The sync face: usable from any thread, no event loop needed.

    ``open()`` connects (a ``with`` block opens and closes the session);
    ``expect``, ``read_nonblocking`` and the engine's reads wait for the
    data itself, at most their timeout.
    """

    def __enter__(self) -> Session:
        self.open()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def open(self) -> None:
        """Connect and log in; raises a
        :class:`~tavrel.core.errors.SessionError` subclass when that fails,
        leaving nothing open."""
        try:
            _loop.run(self._open_on_loop(), None)
        except BaseException:
            self.closed = True
            raise
        if self.login is not None:
            try:
                with self._login_errors():
                    self.login.process(self, timeout=self.login_timeout,
                                       context=self.context)
            except BaseException:
                self.close()
                raise

    def close(self, force: bool = True) -> None:
        """Close the session (sends asked for are sent first); waits at
        most a few seconds for the far end to let go."""
        if self.link is None and self.closed and self.transcript is None \
                and self.recorder is None:
            return
        try:
            _loop.run(self._close_on_loop(), CLOSE_TIMEOUT + 1)
        except TimeoutError:
            pass

    def read_nonblocking(self, size: int = 1, timeout: float | None = -1
                         ) -> Any:
        """At most ``size`` bytes (or characters) of what has arrived,
        waiting at most ``timeout`` seconds for something (-1: the
        session's timeout; None: no limit).  Raises pexpect.TIMEOUT, or
        pexpect.EOF once the far end has gone and everything was read."""
        if self.link is None:
            raise SessionClosedError("the session with %s is not open"
                                     % self._where(), self.host, self.port)
        timeout = self._timeout(timeout)
        if not len(self.inbox) and not self.inbox.closing:
            self.inbox.wait(timeout)
        return self._take(size)

    def _write(self, data: bytes) -> None:
        _loop.shared_loop().call_soon_threadsafe(self._writer_write, data)

    def _writer_write(self, data: bytes) -> None:
        if self._writer is not None:
            self._writer.write(data)

    def send_break(self, duration: float = 0.25) -> None:
        """Send a break (telnet, serial)."""
        link = self._open_link()
        _loop.run(_call(link.send_break, duration), 5)

    def setwinsize(self, rows: int, cols: int) -> None:
        link = self._open_link()
        _loop.run(_call(link.set_size, rows, cols), 5)

    def _open_link(self) -> Link:
        if self.link is None or self.closed:
            raise SessionClosedError("the session with %s is closed"
                                     % self._where(), self.host, self.port)
        return self.link


async def _call(function: Any, *args: Any) -> Any:
    return function(*args)


class AsyncSession(SessionBase):
    """The async face: lives on the caller's event loop.

    ``await open()`` connects (an ``async with`` block opens and closes the
    session); ``await expect(...)``, ``await read_async(...)`` and the
    engine's reads (``process_async``) wait without blocking the loop.
    ``send`` and ``sendline`` never wait: they hand the data to the loop.
    """

    async def __aenter__(self) -> AsyncSession:
        await self.open()
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    async def open(self) -> None:
        """Connect and log in (see :meth:`Session.open`)."""
        try:
            await self._open_on_loop()
        except BaseException:
            self.closed = True
            raise
        if self.login is not None:
            from tavrel.eal.dialog_processor import process_async
            try:
                with self._login_errors():
                    await process_async(self.login, self,
                                        timeout=self.login_timeout,
                                        context=self.context)
            except BaseException:
                await self.close()
                raise

    async def close(self, force: bool = True) -> None:
        """Close the session (see :meth:`Session.close`)."""
        await self._close_on_loop()

    async def read_async(self, size: int = READ_SIZE,
                         timeout: float | None = -1) -> Any:
        """:meth:`Session.read_nonblocking`, awaited."""
        if self.link is None:
            raise SessionClosedError("the session with %s is not open"
                                     % self._where(), self.host, self.port)
        timeout = self._timeout(timeout)
        inbox = self.inbox
        if not len(inbox) and not inbox.closing:
            await inbox.wait_async(timeout)
        return self._take(size)

    def read_nonblocking(self, size: int = 1, timeout: float | None = -1
                         ) -> Any:
        """What has arrived already; never waits (the data arrives on this
        very loop: await :meth:`read_async` to wait for it).  Asked to wait
        for data that has not arrived, it raises RuntimeError: waiting here
        would hold up the very loop that brings the data."""
        if self.link is None:
            raise SessionClosedError("the session with %s is not open"
                                     % self._where(), self.host, self.port)
        if timeout != 0 and not len(self.inbox) and not self.inbox.closing:
            raise RuntimeError(
                "an async session is read from its loop: use "
                "process_async(), await session.expect() or await "
                "session.read_async(), not dialog.process() or a blocking "
                "read")
        return self._take(size)

    def expect_list(self, pattern_list: Any, timeout: float | None = -1,
                    searchwindowsize: int | None = -1, async_: bool = True,
                    **kw: Any) -> Any:
        """pexpect's ``expect_list``, as a coroutine (``expect`` too)."""
        kw.pop("async", None)
        if kw:
            raise TypeError("unknown keyword arguments: %s" % sorted(kw))
        return self._expect(Expecter(self, searcher_re(pattern_list),
                                     searchwindowsize), timeout)

    def expect_exact(self, pattern_list: Any, timeout: float | None = -1,
                     searchwindowsize: int | None = -1, async_: bool = True,
                     **kw: Any) -> Any:
        """pexpect's ``expect_exact``, as a coroutine."""
        kw.pop("async", None)
        if kw:
            raise TypeError("unknown keyword arguments: %s" % sorted(kw))
        if isinstance(pattern_list, self.allowed_string_types) or \
                pattern_list in (pexpect.TIMEOUT, pexpect.EOF):
            pattern_list = [pattern_list]
        spawn: Any = self
        patterns = [p if p in (pexpect.TIMEOUT, pexpect.EOF)
                    else spawn._coerce_expect_string(p)
                    for p in pattern_list]
        return self._expect(Expecter(self, searcher_string(patterns),
                                     searchwindowsize), timeout)

    async def _expect(self, expecter: Expecter[Any], timeout: float | None
                      ) -> int:
        timeout = self._timeout(timeout)
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else loop.time() + timeout
        try:
            index = expecter.existing_data()
            if index is not None:
                return index
            while True:
                left = None if deadline is None else deadline - loop.time()
                if left is not None and left < 0:
                    return expecter.timeout()
                data = await self.read_async(self.maxread, left)
                index = expecter.new_data(data)
                if index is not None:
                    return index
        except pexpect.EOF as exc:
            return expecter.eof(exc)
        except pexpect.TIMEOUT as exc:
            return expecter.timeout(exc)
        except BaseException:
            expecter.errored()
            raise

    def _write(self, data: bytes) -> None:
        assert self._writer is not None
        self._writer.write(data)

    def send_break(self, duration: float = 0.25) -> None:
        """Send a break (telnet, serial)."""
        self._open_link().send_break(duration)

    def setwinsize(self, rows: int, cols: int) -> None:
        self._open_link().set_size(rows, cols)

    def _open_link(self) -> Link:
        if self.link is None or self.closed:
            raise SessionClosedError("the session with %s is closed"
                                     % self._where(), self.host, self.port)
        return self.link


def check_port(port: object) -> int:
    if isinstance(port, bool) or not isinstance(port, int) \
            or not 0 < port < 65536:
        raise ValueError("port must be an int from 1 to 65535, not %r"
                         % (port,))
    return port
