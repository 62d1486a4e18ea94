"""Test doubles for dialogs: a spawn that plays a session back on a virtual
clock.

:class:`ScriptedSpawn` behaves as a pexpect spawn does (it is one: its
``expect``, ``buffer``, ``before`` and ``after`` are pexpect's own), but its
output is a script, played back on a :class:`VirtualClock` on which waiting
costs no time.  The dialog engine runs on the spawn's clock, so a dialog with
a 30 s timeout against a silent script fails at once, deterministically::

    spawn = ScriptedSpawn("Username: ", (0.5, "Password: "), "router> ")
    result = dialog.process(spawn, timeout=5)
    assert spawn.sent == ["admin\\n", "s3cret\\n"]
    assert spawn.clock.now == 0.5
"""

from __future__ import annotations

import asyncio
import json
import numbers
from collections import deque
from collections.abc import Iterable
from typing import IO, TYPE_CHECKING, Any, Union

import pexpect
from pexpect.spawnbase import SpawnBase

from tavrel._engine.secrets import Masker, active
from tavrel._engine.clock import Clock

__all__ = ["Clock", "VirtualClock", "ScriptedSpawn", "EOF", "ReplaySpawn",
           "ReplayMismatch"]

if TYPE_CHECKING:
    # Generic in pexpect's stubs only.
    _SpawnBase = SpawnBase[Any]
else:
    _SpawnBase = SpawnBase

#: A script piece that ends the session at its point in the script.
EOF = pexpect.EOF

Piece = Union[str, bytes, "type[pexpect.EOF]",
              tuple[float, Union[str, bytes, "type[pexpect.EOF]"]]]


class VirtualClock(Clock):
    """A clock that moves only when something waits on it."""

    virtual = True

    def __init__(self, start: float = 0.0) -> None:
        self.now = float(start)

    def monotonic(self) -> float:
        return self.now

    def advance(self, seconds: float) -> None:
        if seconds > 0:
            self.now += seconds

    def sleep(self, seconds: float) -> None:
        self.advance(seconds)

    async def sleep_async(self, seconds: float) -> None:
        self.advance(seconds)
        # Let other tasks run, as a real sleep would.
        await asyncio.sleep(0)

    def __repr__(self) -> str:
        return "VirtualClock(now=%r)" % self.now


def _delay_of(value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError("a piece's delay must be a number of seconds, not %s"
                        % type(value).__name__)
    delay = float(value)
    if not delay >= 0:
        raise ValueError("a piece's delay must be >= 0, got %r" % (value,))
    return delay


class ScriptedSpawn(_SpawnBase):
    """A spawn that plays back ``pieces`` of output and records what is sent.

    Each piece is a ``str`` or ``bytes`` (ready at once), a pair
    ``(seconds, text)`` (ready that many seconds after the piece before it,
    or after the spawn was made for the first one), or :data:`EOF` (or
    ``(seconds, EOF)``), which ends the session there.  After the last piece
    the session ends (``eof=True``) or stays silent for ever (``eof=False``):
    reads then wait their whole timeout and raise ``pexpect.TIMEOUT``.

    A read returns at most one piece, or its first ``size`` characters (the
    rest comes with the next read), so the pieces are exactly the chunks the
    engine sees.  ``encoding=None`` makes a bytes spawn, as in pexpect; text
    pieces are then encoded as UTF-8 and bytes pieces decoded for a text
    spawn.

    ``sent`` lists what each ``send``, ``sendline`` or ``sendcontrol`` sent,
    line separator included.  ``clock`` is the :class:`VirtualClock` the
    output is played on; the dialog engine takes it from the spawn.
    """

    def __init__(self, *pieces: Piece, eof: bool = True,
                 encoding: str | None = "utf-8",
                 clock: VirtualClock | None = None, timeout: float = 30,
                 maxread: int = 2000, searchwindowsize: int | None = None,
                 logfile: Any = None, codec_errors: str = "strict") -> None:
        super().__init__(timeout=timeout, maxread=maxread,
                         searchwindowsize=searchwindowsize, logfile=logfile,
                         encoding=encoding, codec_errors=codec_errors)
        if clock is not None and not isinstance(clock, VirtualClock):
            raise TypeError("clock must be a VirtualClock, not %s"
                            % type(clock).__name__)
        self.clock = clock if clock is not None else VirtualClock()
        # Nothing here sleeps for real.
        self.delaybeforesend = None
        self.delayafterread = None
        self.closed = False
        self.terminated = False
        self.sent: list[Any] = []
        self._script: deque[tuple[float, Any]] = deque()
        self._due = self.clock.now
        self._rest: Any = None
        self._ended = False
        self.play(*pieces)
        if eof:
            self.play(EOF)

    def play(self, *pieces: Piece) -> None:
        """Add pieces to the end of the script (after any EOF, they are
        never read)."""
        for piece in pieces:
            delay = 0.0
            if isinstance(piece, tuple):
                if len(piece) != 2:
                    raise TypeError("a timed piece is a pair (seconds, text)")
                delay, piece = _delay_of(piece[0]), piece[1]
            if piece is EOF:
                self._script.append((delay, EOF))
                continue
            if isinstance(piece, bytes):
                value: Any = (piece if self.encoding is None
                              else piece.decode(self.encoding))
            elif isinstance(piece, str):
                value = (piece if self.encoding is not None
                         else piece.encode("utf-8"))
            else:
                raise TypeError("a piece is str, bytes, EOF or a pair "
                                "(seconds, piece), not %s"
                                % type(piece).__name__)
            self._script.append((delay, value))

    @property
    def remaining(self) -> int:
        """How many pieces are still to be read."""
        return len(self._script) + (self._rest is not None)

    # -- reading ---------------------------------------------------------

    def read_nonblocking(self, size: int = 1, timeout: float | None = -1
                         ) -> Any:
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        if timeout == -1:
            timeout = self.timeout
        if self._rest is not None:
            return self._deliver(self._rest, size)
        if self._ended:
            self.flag_eof = True
            raise pexpect.EOF("End Of File (EOF).")
        if not self._script:
            # Silent for ever.
            if timeout is not None:
                self.clock.advance(timeout)
            raise pexpect.TIMEOUT("Timeout exceeded.")
        delay, value = self._script[0]
        due = self._due + delay
        wait = due - self.clock.now
        if wait > 0:
            if timeout is not None and wait > timeout:
                self.clock.advance(timeout)
                raise pexpect.TIMEOUT("Timeout exceeded.")
            self.clock.now = due
        self._script.popleft()
        self._due = due
        if value is EOF:
            self._ended = True
            self.flag_eof = True
            self.terminated = True
            raise pexpect.EOF("End Of File (EOF).")
        return self._deliver(value, size)

    def _deliver(self, value: Any, size: int) -> Any:
        if size < 1:
            size = 1
        data, rest = value[:size], value[size:]
        self._rest = rest if rest else None
        self._write_log(data, self.logfile_read)
        return data

    def _write_log(self, data: Any, second: Any) -> None:
        # pexpect's logs: logfile gets both directions, logfile_read and
        # logfile_send one each.
        for log in (self.logfile, second):
            if log is not None:
                log.write(data)
                log.flush()

    def _coerce(self, s: Any) -> Any:
        if self.encoding is None and isinstance(s, str):
            return s.encode("utf-8")
        if self.encoding is not None and isinstance(s, bytes):
            return s.decode(self.encoding)
        return s

    # -- sending ---------------------------------------------------------

    def send(self, s: Any) -> int:
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        s = self._coerce(s)
        self._write_log(s, self.logfile_send)
        self.sent.append(s)
        return len(s)

    write = send

    def sendline(self, s: Any = "") -> int:
        return self.send(self._coerce(s) + self.linesep)

    def sendcontrol(self, char: str) -> int:
        char = char.lower()
        code = ord(char)
        if 97 <= code <= 122:
            value = code - 97 + 1
        else:
            value = {"@": 0, "`": 0, "[": 27, "{": 27, "\\": 28, "|": 28,
                     "]": 29, "}": 29, "^": 30, "~": 30, "_": 31,
                     "?": 127}.get(char, 0)
        return self.send(chr(value))

    def sendeof(self) -> None:
        self.sendcontrol("d")

    # -- the process -----------------------------------------------------

    def isalive(self) -> bool:
        return not self._ended and not self.closed

    def close(self, force: bool = True) -> None:
        self.closed = True
        self.terminated = True

    def __repr__(self) -> str:
        # Also called by pexpect's __init__, before the script exists.
        if not hasattr(self, "_script"):
            return "<ScriptedSpawn>"
        return "<ScriptedSpawn %d pieces left, %r>" % (self.remaining,
                                                      self.clock)


# -- recordings played back ----------------------------------------------------


class ReplayMismatch(AssertionError):
    """What was sent to a :class:`ReplaySpawn` is not what the recorded
    session was sent at that point."""


class ReplaySpawn(ScriptedSpawn):
    """A session recorded by a tavrel session (``recording=...``), played
    back on a :class:`VirtualClock`, checking that the same things are
    sent.

    What arrived comes with the recorded delays; what arrived after a send
    comes only once the same text has been sent (so a dialog is replayed
    step by step, whatever the timing of the run).  Each send is compared
    with what the recorded session was sent next (a send may be split or
    joined differently): a difference raises :class:`ReplayMismatch` at
    once.  Secrets were recorded masked; a send is compared masked too, by
    ``secrets`` and the secrets of the dialog that sends it.  After the
    run, :meth:`check` raises if the recorded session was sent more.
    ``header`` is the recording's first line (kind, host, port...).
    """

    def __init__(self, recording: str | IO[str],
                 secrets: Iterable[object] = (),
                 clock: VirtualClock | None = None,
                 encoding: str | None = "utf-8", **options: Any) -> None:
        super().__init__(eof=False, clock=clock, encoding=encoding,
                         **options)
        if isinstance(recording, str):
            with open(recording, encoding="utf-8",
                      errors="surrogateescape") as file:
                lines = file.read().splitlines()
        else:
            lines = recording.read().splitlines()
        events = [json.loads(line) for line in lines if line.strip()]
        if not events or events[0].get("recording") != "tavrel-session":
            raise ValueError("not a tavrel session recording")
        self.header: dict[str, Any] = events[0]
        self._events: deque[dict[str, Any]] = deque(events[1:])
        found = [getattr(v, "plaintext", v) for v in secrets]
        self._masker = Masker(v for v in found if isinstance(v, (str,
                                                                 bytes)))
        # The text the session is to be sent next, and when it was sent.
        self._expected = ""
        self._at = 0.0
        self._last = 0.0
        self._release()

    def _release(self) -> None:
        """Play what arrived up to the next send."""
        events = self._events
        self._due = max(self._due, self.clock.now)
        while events:
            event = events.popleft()
            delay = max(0.0, float(event.get("t", 0.0)) - self._last)
            self._last = float(event.get("t", self._last))
            if "in" in event:
                self.play((delay, event["in"]))
            elif event.get("eof"):
                self.play((delay, EOF))
            elif "out" in event:
                self._expected = event["out"]
                return

    def _masked(self, text: str) -> str:
        masker = self._masker | active() if active() else self._masker
        return masker.mask(text)

    def send(self, s: Any) -> int:
        n = super().send(s)
        sent = self.sent[-1]
        text = sent.decode("utf-8", "surrogateescape") \
            if isinstance(sent, bytes) else sent
        text = self._masked(text)
        while text:
            if not self._expected:
                raise ReplayMismatch(
                    "sent %r, but the recorded session was sent nothing "
                    "more here" % text)
            part = text[:len(self._expected)]
            if not self._expected.startswith(part):
                raise ReplayMismatch("sent %r where the recorded session "
                                     "was sent %r" % (text, self._expected))
            text = text[len(part):]
            self._expected = self._expected[len(part):]
            if not self._expected:
                self._release()
        return n

    @property
    def pending(self) -> str:
        """What the recorded session was sent that has not been sent
        yet, up to the next output."""
        return self._expected

    def check(self) -> None:
        """Raise :class:`ReplayMismatch` if the recorded session was sent
        more than this one."""
        rest = [e["out"] for e in self._events if "out" in e]
        if self._expected or rest:
            raise ReplayMismatch("the recorded session was also sent %r"
                                 % ([self._expected] + rest if
                                    self._expected else rest))
