"""The dialog engine's core: a run of a dialog as a state machine.

The core does no I/O.  It is fed what the session printed (as text), the
end of the session, and the time, and answers with what to do next: read
(waiting at most so long), pause, call a statement's action, or stop with a
result or an error.  The drivers around it (the blocking one in
:mod:`tavrel.eal.dialog_processor`, and the asyncio one) do the reading,
sending, sleeping and calling, so that every driver matches, times out and
hands back output exactly alike.

A run in short::

    core = DialogCore(plan, timeout=5.0, now=clock(), output=...)
    event = core.start()
    while True:
        if isinstance(event, Read):     # read once, waiting <= event.timeout
            event = core.data(text, clock())   # or .empty / .timed_out / .eof
        elif isinstance(event, Pause):  # wait event.seconds without reading
            event = core.resume(clock())
        elif isinstance(event, Call):   # put event.handover in spawn.buffer,
            ...                         # call the action, take it back
            event = core.action_done(leftover, clock())
        elif isinstance(event, Finish):
            return event.result
        elif isinstance(event, Fail):
            raise event.error

Whatever happens, ``core.unconsumed()`` is the output to hand back to the
spawn.
"""

from __future__ import annotations

import logging
import re
from collections.abc import Generator, Mapping
from typing import Any, Union

from tavrel.core.errors import DialogEOFError, DialogTimeoutError
from tavrel.eal._plan import DialogPlan, StatementPlan, describe_action
from tavrel.eal._secrets import Masker

__all__ = ["DialogCore", "DialogResult", "Read", "Pause", "Call", "Finish",
           "Fail", "MATCH", "TIMEOUT", "EOF"]

log = logging.getLogger("tavrel.eal.dialog_processor")

MATCH = "match"
TIMEOUT = "timeout"
EOF = "eof"

# How much unmatched output an error message shows.
TAIL_LENGTH = 200
# Reading what has already arrived (the last look at the deadline, and the
# end of a matched_retries pause) stops after this many characters or this
# many seconds past its end, so that a program that never stops writing
# cannot hold a dialog past its timeout.
DRAIN_LIMIT = 1 << 20
DRAIN_GRACE = 0.05
# A read that returns nothing at once, without raising TIMEOUT (a pipe
# spawn's read does this), is followed by this pause, not by a busy loop.
EMPTY_READ_PAUSE = 0.01


class DialogResult:
    """How a dialog ended.

    ``kind`` is ``"match"``, ``"timeout"`` or ``"eof"``; ``statement`` the
    statement that ended the dialog (the matched one, or the dialog's timeout
    or end-of-file statement); ``pattern`` the pattern text that matched and
    ``match`` the ``re.Match`` (both None for a timeout or end of file);
    ``output`` the output the dialog read, up to the end of the match (for a
    timeout or end of file, everything it read).
    """

    __slots__ = ("kind", "statement", "pattern", "match", "output")

    def __init__(self, kind: str, statement: Any, pattern: str | None = None,
                 match: re.Match[str] | None = None,
                 output: str = "") -> None:
        self.kind = kind
        self.statement = statement
        self.pattern = pattern
        self.match = match
        self.output = output

    def __repr__(self) -> str:
        # The output may be long and is the device's text: show its size only.
        return "<DialogResult %s pattern=%r output=%d chars>" % (
            self.kind, self.pattern, len(self.output))


# -- events: what the core asks its driver to do -----------------------------

class Read:
    """Read the spawn once, waiting at most ``timeout`` seconds (0: take only
    what has arrived); then call ``data``, ``empty``, ``timed_out`` or
    ``eof``."""

    __slots__ = ("timeout",)

    def __init__(self, timeout: float) -> None:
        self.timeout = timeout

    def __repr__(self) -> str:
        return "Read(timeout=%r)" % self.timeout


class Pause:
    """Wait ``seconds`` without reading; then call ``resume``."""

    __slots__ = ("seconds",)

    def __init__(self, seconds: float) -> None:
        self.seconds = seconds

    def __repr__(self) -> str:
        return "Pause(%r)" % self.seconds


class Call:
    """Call ``function(*args, **kwargs)``, the action of ``plan``.

    Before the call, ``handover`` (the unconsumed output after the match) is
    put into the spawn's buffer so that the action can read on from there;
    after it, what the action left in the buffer goes to ``action_done``
    (or to ``action_failed`` if the action raised)."""

    __slots__ = ("plan", "function", "args", "kwargs", "handover")

    def __init__(self, plan: StatementPlan, function: Any, args: list[Any],
                 kwargs: dict[str, Any], handover: str) -> None:
        self.plan = plan
        self.function = function
        self.args = args
        self.kwargs = kwargs
        self.handover = handover

    def __repr__(self) -> str:
        return "Call(%s)" % self.plan.where


class Finish:
    """The dialog ended with ``result``."""

    __slots__ = ("result",)

    def __init__(self, result: DialogResult) -> None:
        self.result = result

    def __repr__(self) -> str:
        return "Finish(%r)" % (self.result,)


class Fail:
    """The dialog ended with ``error``, for the driver to raise."""

    __slots__ = ("error",)

    def __init__(self, error: BaseException) -> None:
        self.error = error

    def __repr__(self) -> str:
        return "Fail(%r)" % (self.error,)


Event = Union[Read, Pause, Call, Finish, Fail]

# What a driver feeds back, as the core's generator receives it.
_DATA, _EMPTY, _TIMED_OUT, _EOF, _RESUMED, _DONE, _PARTIAL = range(7)


class _Found:
    __slots__ = ("plan", "text", "match")

    def __init__(self, plan: StatementPlan, text: str,
                 match: re.Match[str]) -> None:
        self.plan = plan
        self.text = text
        self.match = match


class DialogCore:
    """One run of a planned dialog.

    ``timeout`` is the run's timeout in seconds, ``now`` the time the run
    starts at, ``output`` the output the spawn already held, ``injected`` the
    values that actions may ask for by name (``spawn``, ``context``,
    ``session``, ``runtime``) and ``masker`` what hides secrets in log lines
    and error texts.
    """

    def __init__(self, plan: DialogPlan, *, timeout: float, now: float,
                 output: str = "",
                 injected: Mapping[str, object] | None = None,
                 masker: Masker | None = None) -> None:
        self._plan = plan
        self._timeout = timeout
        self._now = now
        self._injected = dict(injected or {})
        self._masker = masker if masker is not None else Masker(())
        # The unconsumed output, and what was consumed before it.
        self._buffer = output
        self._consumed: list[str] = []
        self._consumed_len = 0
        # End offsets (counted from the start of the run) of matches made by
        # statements that keep the buffer: such a statement fires again only
        # on output after its last match, not on the same text.
        self._kept_ends: dict[int, int] = {}
        self._eof = False
        # Whether the last action changed the unconsumed output.
        self._absorbed = False
        self._input: tuple[int, str] = (_RESUMED, "")
        self._waiting: type | None = None
        self._call: Call | None = None
        self._gen = self._run()
        self._started = False
        self._finished = False

    # -- feeding the core ------------------------------------------------

    def start(self) -> Event:
        """The first event of the run."""
        if self._started:
            raise RuntimeError("the run has already started")
        self._started = True
        return self._step()

    def data(self, text: str, now: float) -> Event:
        """A read returned ``text`` (decoded; empty when it held only part
        of a character)."""
        return self._feed(Read, _DATA, text, now)

    def empty(self, now: float) -> Event:
        """A read returned nothing, without raising a timeout."""
        return self._feed(Read, _EMPTY, "", now)

    def timed_out(self, now: float) -> Event:
        """A read waited its whole timeout and nothing came."""
        return self._feed(Read, _TIMED_OUT, "", now)

    def eof(self, now: float, text: str = "") -> Event:
        """The session ended; ``text`` is what the decoder still held."""
        return self._feed(Read, _EOF, text, now)

    def resume(self, now: float) -> Event:
        """A pause is over."""
        return self._feed(Pause, _RESUMED, "", now)

    def action_done(self, leftover: str, now: float) -> Event:
        """The action returned; ``leftover`` is what it left in the spawn's
        buffer."""
        self._take_back(leftover)
        return self._feed(Call, _DONE, "", now)

    def action_failed(self, leftover: str) -> None:
        """The action raised (the driver goes on raising it); ``leftover``
        is what it left in the spawn's buffer.  The run is over."""
        self._take_back(leftover)
        self._close()

    def abort(self) -> None:
        """The driver stops the run (an error, a cancellation)."""
        self._close()

    def unconsumed(self) -> str:
        """The output no statement consumed: the spawn's buffer when the run
        stops, whichever way it stops."""
        call = self._call
        if call is not None:
            # An action is running: the part after its match is with the
            # spawn, not with us.
            return self._buffer[:len(self._buffer) - len(call.handover)]
        return self._buffer

    @property
    def finished(self) -> bool:
        return self._finished

    @property
    def masker(self) -> Masker:
        return self._masker

    # -- the machinery ---------------------------------------------------

    def _feed(self, expected: type, kind: int, text: str,
              now: float) -> Event:
        if self._waiting is not expected:
            raise RuntimeError(
                "the core waits for the answer to %s, not to %s"
                % (getattr(self._waiting, "__name__", "nothing"),
                   expected.__name__))
        self._input = (kind, text)
        self._now = now
        return self._step()

    def _step(self) -> Event:
        try:
            event = next(self._gen)
        except BaseException:
            self._close()
            raise
        if isinstance(event, (Finish, Fail)):
            self._close()
        elif isinstance(event, Call):
            self._call = event
        self._waiting = type(event)
        return event

    def _close(self) -> None:
        self._finished = True
        self._waiting = None
        self._call = None
        self._gen.close()

    def _take_back(self, leftover: str) -> None:
        call = self._call
        if call is None:
            raise RuntimeError("no action is running")
        if leftover != call.handover:
            # The action read from the spawn itself (say with spawn.expect):
            # what it left is the dialog's to match.
            keep = len(self._buffer) - len(call.handover)
            self._buffer = self._buffer[:keep] + leftover
            self._absorbed = True
        self._call = None

    # The run itself is a generator: it yields events and finds the
    # driver's answer in self._input when it resumes.

    def _run(self) -> Generator[Event, None, None]:
        timeout = self._timeout
        deadline = self._now + timeout
        fresh = bool(self._buffer)
        # Output that is already waiting when the clock runs out still gets
        # matched once (so a timeout of 0 polls), but no more than once per
        # deadline, or a chatty program would never time out.
        last_look = False
        while True:
            if fresh:
                fresh = False
                found = self._search()
                if found is not None and found.plan.statement.matched_retries:
                    found = yield from self._settle(found)
                if found is not None:
                    self._absorbed = False
                    result = yield from self._on_match(found)
                    if result is not None:
                        yield result
                        return
                    statement = found.plan.statement
                    if statement.continue_timer:
                        deadline = self._now + timeout
                        last_look = False
                    # What is left may hold the next prompt already.  A
                    # statement does not fire twice on the same text, so
                    # searching again at once cannot loop, except on an
                    # empty match that consumed nothing: that one waits for
                    # new output, unless the action changed the output.
                    fresh = bool(self._buffer) and (
                        found.match.end() > 0 or not statement.trim_buffer
                        or self._absorbed)
                    continue
            if self._eof:
                yield (yield from self._on_eof())
                return
            remaining = deadline - self._now
            if remaining <= 0:
                if not last_look:
                    last_look = True
                    got = yield from self._collect(self._now)
                    if got:
                        fresh = True
                        continue
                    if self._eof:
                        continue
                self._absorbed = False
                outcome = yield from self._on_timeout()
                if outcome is not None:
                    yield outcome
                    return
                deadline = self._now + timeout
                last_look = False
                fresh = bool(self._buffer) and self._absorbed
                continue
            kind = yield from self._read(remaining)
            if kind == _DATA:
                fresh = True
            elif kind == _EMPTY:
                yield Pause(min(EMPTY_READ_PAUSE, remaining))

    def _read(self, timeout: float) -> Generator[Event, None, int]:
        """One read; what it brought is in the buffer.  Returns _DATA only
        when the buffer grew, _PARTIAL when the read brought only part of a
        character."""
        yield Read(timeout)
        kind, text = self._input
        if text:
            self._buffer += text
        if kind == _EOF:
            self._eof = True
            return _DATA if text else _EOF
        if kind == _DATA and not text:
            return _PARTIAL
        return kind

    def _collect(self, until: float) -> Generator[Event, None, bool]:
        """Read until ``until`` and then what has already arrived, within
        DRAIN_LIMIT characters and DRAIN_GRACE seconds past ``until``.
        True when the buffer grew."""
        got = 0
        stop = until + DRAIN_GRACE
        while not self._eof and got < DRAIN_LIMIT:
            size = len(self._buffer)
            kind = yield from self._read(max(0.0, until - self._now))
            got += len(self._buffer) - size
            if self._now >= stop:
                break
            if kind in (_TIMED_OUT, _EMPTY):
                if self._now >= until:
                    break
                if kind == _EMPTY:
                    yield Pause(min(EMPTY_READ_PAUSE, until - self._now))
        return got > 0

    def _settle(self, found: _Found) -> Generator[Event, None, _Found | None]:
        """Give a prompt that matched inside still-arriving output the
        chance to complete, and decide again on the fuller text."""
        statement = found.plan.statement
        retries = statement.matched_retries
        pause = float(statement.matched_retry_sleep)
        for _ in range(retries):
            if self._eof:
                break
            if not (yield from self._collect(self._now + pause)):
                continue
            again = self._search()
            if again is None:
                return None
            found = again
        return found

    # -- matching --------------------------------------------------------

    def _search(self) -> _Found | None:
        buffer = self._buffer
        kept_ends = self._kept_ends
        for plan in self._plan.statements:
            regexes = plan.regexes
            if regexes is None:
                continue
            kept = kept_ends.get(plan.index) if kept_ends else None
            start = 0 if kept is None else max(0, kept - self._consumed_len)
            for text, regex in regexes:
                match = regex.search(buffer, start)
                if (match is not None and kept is not None
                        and match.end() <= start):
                    # An empty match right where this statement last
                    # matched is the same text again.
                    match = (regex.search(buffer, start + 1)
                             if start < len(buffer) else None)
                if match is not None:
                    return _Found(plan, text, match)
        return None

    def _trim(self, end: int) -> None:
        if end:
            self._consumed.append(self._buffer[:end])
            self._consumed_len += end
            self._buffer = self._buffer[end:]

    def _output(self, end: int) -> str:
        return "".join(self._consumed) + self._buffer[:end]

    # -- what happens on a match, a timeout, the end ---------------------

    def _on_match(self, found: _Found
                  ) -> Generator[Event, None, Finish | None]:
        plan = found.plan
        statement = plan.statement
        match = found.match
        if log.isEnabledFor(logging.DEBUG):
            log.debug("statement %d %s matched %r", plan.index,
                      self._masker.mask(repr(found.text)),
                      self._masker.mask(match.group(0)))
            if statement.debug_statement:
                self._log_statement(plan, "matched")
        end = match.end()
        yield from self._call_action(plan, end)
        if not statement.loop_continue:
            output = self._output(end)
            if statement.trim_buffer:
                self._trim(end)
            return Finish(DialogResult(MATCH, statement, found.text, match,
                                       output))
        if statement.trim_buffer:
            self._trim(end)
        else:
            assert plan.index is not None
            self._kept_ends[plan.index] = self._consumed_len + end
        return None

    def _on_timeout(self) -> Generator[Event, None, Event | None]:
        plan = self._plan.timeout
        if plan is None:
            tail = self._tail()
            return Fail(DialogTimeoutError(
                "no statement ended the dialog within %g s; the unmatched "
                "output ends with %r" % (self._timeout, tail),
                timeout=self._timeout, tail=tail))
        log.debug("timeout after %g s", self._timeout)
        if plan.statement.debug_statement:
            self._log_statement(plan, "timeout")
        yield from self._call_action(plan, 0)
        if plan.statement.loop_continue:
            return None
        return Finish(DialogResult(TIMEOUT, plan.statement,
                                   output=self._output(len(self._buffer))))

    def _on_eof(self) -> Generator[Event, None, Event]:
        plan = self._plan.eof
        if plan is None:
            tail = self._tail()
            return Fail(DialogEOFError(
                "the session ended before a statement ended the dialog; the "
                "unmatched output ends with %r" % (tail,), tail=tail))
        log.debug("end of file")
        if plan.statement.debug_statement:
            self._log_statement(plan, "end of file")
        yield from self._call_action(plan, 0)
        output = self._output(len(self._buffer))
        self._trim(len(self._buffer))
        return Finish(DialogResult(EOF, plan.statement, output=output))

    def _call_action(self, plan: StatementPlan,
                     end: int) -> Generator[Event, None, None]:
        action = plan.statement.action
        if action is None:
            return
        args, kwargs = plan.bind(self._injected)
        yield Call(plan, action, args, kwargs, self._buffer[end:])

    # -- logging ---------------------------------------------------------

    def _tail(self) -> str:
        return self._masker.mask(self._buffer)[-TAIL_LENGTH:]

    def _log_statement(self, plan: StatementPlan, event: str) -> None:
        statement = plan.statement
        log.debug(
            "%s: %s, action %s, args %s, loop_continue %s, continue_timer %s,"
            " trim_buffer %s, unmatched output ends with %r",
            plan.where, event,
            self._masker.mask(describe_action(statement.action)
                              if statement.action is not None else "None"),
            self._masker.mask(repr(statement.args)),
            statement.loop_continue, statement.continue_timer,
            statement.trim_buffer, self._tail())
