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
from tavrel.eal._search import Output, PatternSearch, analyze, full_search
from tavrel.eal._secrets import Masker, describe_args

__all__ = ["DialogCore", "DialogResult", "Read", "Pause", "Call", "Finish",
           "Fail", "MATCH", "TIMEOUT", "EOF", "stray_stop"]

log = logging.getLogger("tavrel.eal.dialog_processor")
DEBUG = logging.DEBUG

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
# Output up to this size is searched whole: keeping restart positions costs
# more than it saves there.
SMALL_OUTPUT = 4096


class DialogResult:
    """How a dialog ended.

    ``kind`` is ``"match"``, ``"timeout"`` or ``"eof"``; ``statement`` the
    statement that ended the dialog (the matched one, or the dialog's timeout
    or end-of-file statement); ``pattern`` the pattern text that matched and
    ``match`` the ``re.Match`` (both None for a timeout or end of file);
    ``output`` the output the dialog read, up to the end of the match (for a
    timeout or end of file, everything it read); ``dropped`` how many
    characters of the oldest unconsumed output the run dropped to stay
    within its ``match_max`` (0 without one).
    """

    __slots__ = ("kind", "statement", "pattern", "match", "output",
                 "dropped", "_masker")

    def __init__(self, kind: str, statement: Any, pattern: str | None = None,
                 match: re.Match[str] | None = None,
                 output: str = "") -> None:
        self.kind = kind
        self.statement = statement
        self.pattern = pattern
        self.match = match
        self.output = output
        self.dropped = 0
        # The engine sets it: the run's secrets, masked in the repr.
        self._masker: Masker | None = None

    def __repr__(self) -> str:
        # The output may be long and is the device's text: show its size only.
        text = "<DialogResult %s pattern=%r output=%d chars>" % (
            self.kind, self.pattern, len(self.output))
        return self._masker.mask(text) if self._masker else text


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

    Before the call, ``handover`` (the unconsumed output after the match;
    nothing for the module's senders, which only send) is put into the
    spawn's buffer so that the action can read on from there;
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


def stray_stop(call: Call) -> RuntimeError:
    """What an action that raised StopIteration raises instead, from either
    driver: a coroutine cannot raise it at all, and a generator around the
    blocking call would take it for its own end."""
    return RuntimeError("%s: action %s raised StopIteration" % (
        call.plan.where, describe_action(call.function)))

# What a driver feeds back, as the core's generator receives it.
_DATA, _EMPTY, _TIMED_OUT, _EOF, _RESUMED, _DONE, _PARTIAL = range(7)
_ANSWERS = ["data", "empty", "timed_out", "eof", "resume", "action_done"]


# A match: the statement's plan, the pattern text and the re.Match.
_Found = tuple[StatementPlan, str, re.Match[str]]


class DialogCore:
    """One run of a planned dialog.

    ``timeout`` is the run's timeout in seconds, ``now`` the time the run
    starts at, ``output`` the output the spawn already held, ``injected`` the
    values that actions may ask for by name (``spawn``, ``context``,
    ``session``, ``runtime``).  The plan's masker hides secrets in log lines
    and error texts.  ``match_max``, if given, bounds the unconsumed output
    the run keeps: past it the oldest is dropped (and counted), and
    matching goes on, exactly, over what is kept.
    """

    def __init__(self, plan: DialogPlan, *, timeout: float, now: float,
                 output: str = "",
                 injected: Mapping[str, object] | None = None,
                 match_max: int | None = None) -> None:
        self._plan = plan
        self._match_max = match_max
        self._dropped = 0
        self._timeout = timeout
        self._now = now
        self._injected = dict(injected or {})
        self._masker = plan.masker
        # The unconsumed output, and what was consumed before it.
        self._buffer = Output(output)
        self._consumed: list[str] = []
        # The search state of each pattern text, by statement, made when
        # the output first outgrows SMALL_OUTPUT; and those that start over
        # when the front of the output is consumed.
        self._searches: dict[int, list[tuple[str, PatternSearch]]] = {}
        self._looking_back: list[PatternSearch] = []
        # End offsets (counted from the start of the run) of matches made by
        # statements that keep the buffer: such a statement fires again only
        # on output after its last match, not on the same text.
        self._kept_ends: dict[int, int] = {}
        self._eof = False
        # Whether the last action changed the unconsumed output.
        self._absorbed = False
        # The action running now, if any.
        self._call: Call | None = None
        self._started = False
        self._finished = False
        # One Read event serves every read: a driver is done with an event
        # before it calls the core again.
        self._read_event = Read(0.0)
        # The driver answers through the generator's send: (what happened,
        # the text it brought, the time).
        self._send = self._run().send

    # -- feeding the core ------------------------------------------------

    def start(self) -> Event:
        """The first event of the run."""
        if self._started:
            raise RuntimeError("the run has already started")
        self._started = True
        return self._answer(None)

    def data(self, text: str, now: float) -> Event:
        """A read returned ``text`` (decoded; empty when it held only part
        of a character)."""
        try:
            return self._send((_DATA, text, now))  # type: ignore[no-any-return]
        except BaseException:
            self._finished = True
            raise

    def empty(self, now: float) -> Event:
        """A read returned nothing, without raising a timeout."""
        return self._answer((_EMPTY, "", now))

    def timed_out(self, now: float) -> Event:
        """A read waited its whole timeout and nothing came."""
        return self._answer((_TIMED_OUT, "", now))

    def eof(self, now: float, text: str = "") -> Event:
        """The session ended; ``text`` is what the decoder still held."""
        return self._answer((_EOF, text, now))

    def resume(self, now: float) -> Event:
        """A pause is over."""
        return self._answer((_RESUMED, "", now))

    def action_done(self, leftover: str, now: float) -> Event:
        """The action returned; ``leftover`` is what it left in the spawn's
        buffer."""
        try:
            return self._send((_DONE, leftover, now))  # type: ignore[no-any-return]
        except BaseException:
            self._finished = True
            raise

    def action_failed(self, leftover: str) -> None:
        """The action raised (the driver goes on raising it); ``leftover``
        is what it left in the spawn's buffer.  The run is over."""
        if self._call is None:
            raise RuntimeError("no action is running")
        self._take_back(self._call, leftover)
        self._call = None
        self._finished = True

    def abort(self) -> None:
        """The driver stops the run (an error, a cancellation)."""
        self._finished = True

    def unconsumed(self) -> str:
        """The output no statement consumed: the spawn's buffer when the run
        stops, whichever way it stops."""
        text = self._buffer.text()
        call = self._call
        if call is not None:
            # An action is running: the part after its match is with the
            # spawn, not with us.
            return text[:len(text) - len(call.handover)]
        return text

    @property
    def finished(self) -> bool:
        return self._finished

    # -- the machinery ---------------------------------------------------

    def _answer(self, answer: tuple[int, str, float] | None) -> Event:
        if self._finished:
            raise RuntimeError("the run is over")
        try:
            return self._send(answer)  # type: ignore[no-any-return]
        except BaseException:
            self._finished = True
            raise

    @staticmethod
    def _unexpected(answer: tuple[int, str, float], waiting: str) -> None:
        raise RuntimeError("the core waits for the answer to %s, not %s"
                           % (waiting, _ANSWERS[answer[0]]))

    def _take_back(self, call: Call, leftover: str) -> None:
        if leftover != call.handover:
            # The action read from the spawn itself (say with spawn.expect):
            # what it left is the dialog's to match.
            buffer = self._buffer
            buffer.replace_from(buffer.end - len(call.handover), leftover)
            for searches in self._searches.values():
                for _, search in searches:
                    search.reset(buffer.base)
            self._absorbed = True

    def _act(self, call: Call) -> Generator[Event, Any, None]:
        """Have the driver run ``call``, and take back what the action left
        in the spawn's buffer."""
        self._call = call
        answer = yield call
        self._call = None
        if answer[0] != _DONE:
            self._unexpected(answer, "Call")
        self._now = answer[2]
        self._take_back(call, answer[1])

    def _end(self, event: Finish | Fail) -> Generator[Event, Any, None]:
        self._finished = True
        if isinstance(event, Finish):
            event.result._masker = self._masker
            event.result.dropped = self._dropped
        yield event

    # The run itself is a generator: it yields events and gets the driver's
    # answer back from each yield.  The common road (read, match, act) is
    # written out in _run itself.

    def _run(self) -> Generator[Event, Any, None]:
        timeout = self._timeout
        buffer = self._buffer
        debugging = log.isEnabledFor
        consumed = self._consumed
        looking_back = self._looking_back
        read = self._read_event
        deadline = self._now + timeout
        fresh = buffer.end > buffer.base
        # Output that is already waiting when the clock runs out still gets
        # matched once (so a timeout of 0 polls), but no more than once per
        # deadline, or a chatty program would never time out.
        last_look = False
        while True:
            if fresh:
                fresh = False
                found = self._search()
                if found is not None and found[0].statement.matched_retries:
                    found = yield from self._settle(found)
                if found is not None:
                    plan, text, match = found
                    statement = plan.statement
                    if debugging(DEBUG):
                        self._log_match(plan, text, match)
                    end = match.end()
                    self._absorbed = False
                    action = statement.action
                    if action is not None:
                        args, kwargs = plan.bind(self._injected)
                        call = self._call = Call(
                            plan, action, args, kwargs,
                            match.string[end:] if plan.reads_spawn else "")
                        answer = yield call
                        self._call = None
                        if answer[0] != _DONE:
                            self._unexpected(answer, "Call")
                        self._now = answer[2]
                        if answer[1] != call.handover:
                            self._take_back(call, answer[1])
                    if not statement.loop_continue:
                        output = self._output(end)
                        if statement.trim_buffer:
                            self._trim(end)
                        yield from self._end(Finish(DialogResult(
                            MATCH, statement, text, match, output)))
                        return
                    if statement.trim_buffer:
                        if end:
                            consumed.append(buffer.consume(end, match.string))
                            for search in looking_back:
                                search.trimmed(buffer.base)
                    else:
                        assert plan.index is not None
                        self._kept_ends[plan.index] = buffer.base + end
                    if statement.continue_timer:
                        deadline = self._now + timeout
                        last_look = False
                    # What is left may hold the next prompt already.  A
                    # statement does not fire twice on the same text, so
                    # searching again at once cannot loop, except on an
                    # empty match that consumed nothing: that one waits for
                    # new output, unless the action changed the output.
                    fresh = buffer.end > buffer.base and (
                        end > 0 or not statement.trim_buffer
                        or self._absorbed)
                    continue
            if self._eof:
                yield from self._end((yield from self._on_eof()))
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
                    yield from self._end(outcome)
                    return
                deadline = self._now + timeout
                last_look = False
                fresh = buffer.end > buffer.base and self._absorbed
                continue
            read.timeout = remaining
            kind, text, self._now = answer = yield read
            if kind > _EOF:
                self._unexpected(answer, "Read")
            if text:
                buffer.append(text)
                if self._match_max is not None:
                    self._bound()
                fresh = True
            if kind == _EOF:
                self._eof = True
            elif kind == _EMPTY:
                yield from self._pause(min(EMPTY_READ_PAUSE, remaining))

    def _pause(self, seconds: float) -> Generator[Event, Any, None]:
        answer = yield Pause(seconds)
        if answer[0] != _RESUMED:
            self._unexpected(answer, "Pause")
        self._now = answer[2]

    def _read(self, timeout: float) -> Generator[Event, Any, int]:
        """One read; what it brought is in the buffer.  Returns _DATA only
        when the buffer grew, _PARTIAL when the read brought only part of a
        character."""
        read = self._read_event
        read.timeout = timeout
        kind, text, self._now = answer = yield read
        if kind > _EOF:
            self._unexpected(answer, "Read")
        if text:
            self._buffer.append(text)
            if self._match_max is not None:
                self._bound()
        if kind == _EOF:
            self._eof = True
            return _DATA if text else _EOF
        if kind == _DATA and not text:
            return _PARTIAL
        return int(kind)

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
                    yield from self._pause(
                        min(EMPTY_READ_PAUSE, until - self._now))
        return got > 0

    def _settle(self, found: _Found) -> Generator[Event, None, _Found | None]:
        """Give a prompt that matched inside still-arriving output the
        chance to complete, and decide again on the fuller text."""
        statement = found[0].statement
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
        if buffer.end - buffer.base <= SMALL_OUTPUT:
            # Small output is searched whole, leaving the restart positions
            # as they are (still true, only not advanced).
            whole = buffer.text()
            for plan in self._plan.statements:
                regexes = plan.regexes
                if regexes is None:
                    continue
                kept = kept_ends.get(plan.index) if kept_ends else None
                if kept is None:
                    for text, regex in regexes:
                        match = regex.search(whole)
                        if match is not None:
                            return plan, text, match
                else:
                    start = max(0, kept - buffer.base)
                    for text, regex in regexes:
                        match = full_search(regex, whole, start, True)
                        if match is not None:
                            return plan, text, match
            return None
        for plan in self._plan.statements:
            if plan.regexes is None:
                continue
            assert plan.index is not None
            kept = kept_ends.get(plan.index) if kept_ends else None
            start = 0 if kept is None else max(0, kept - buffer.base)
            for text, search in self._searches_of(plan):
                match = search.search(buffer, start, kept is not None)
                if match is not None:
                    return plan, text, match
        return None

    def _searches_of(self, plan: StatementPlan
                     ) -> list[tuple[str, PatternSearch]]:
        assert plan.index is not None and plan.regexes is not None
        searches = self._searches.get(plan.index)
        if searches is None:
            searches = self._searches[plan.index] = [
                (text, PatternSearch(regex, analyze(text)))
                for text, regex in plan.regexes]
            self._looking_back += [search for _, search in searches
                                   if search.rules.looks_back]
        return searches

    def _bound(self) -> None:
        """Drop the oldest output beyond match_max."""
        buffer = self._buffer
        assert self._match_max is not None
        excess = len(buffer) - self._match_max
        if excess <= 0:
            return
        if not self._dropped:
            log.warning("more than match_max=%d characters of output are "
                        "unconsumed: the oldest are dropped",
                        self._match_max)
        self._dropped += excess
        buffer.drop(excess)
        for search in self._looking_back:
            search.trimmed(buffer.base)

    def _trim(self, end: int) -> None:
        if end:
            buffer = self._buffer
            self._consumed.append(buffer.consume(end))
            for search in self._looking_back:
                search.trimmed(buffer.base)

    def _output(self, end: int) -> str:
        return "".join(self._consumed) + self._buffer.text()[:end]

    # -- what happens on a match, a timeout, the end ---------------------

    def _log_match(self, plan: StatementPlan, text: str,
                   match: re.Match[str]) -> None:
        # Whole lines are masked, after every repr: a secret escaped by
        # repr is masked as well.
        masker = self._masker
        log.debug(masker.mask("statement %d %r matched %r" % (
            plan.index, text, masker.excerpt(
                match.string, match.start(), match.end(), ending=True,
                before=self._before(masker.longest)))))
        if plan.statement.debug_statement:
            self._log_statement(plan, "matched")

    def _on_timeout(self) -> Generator[Event, None, Event | None]:
        plan = self._plan.timeout
        if plan is None:
            tail = self._tail()
            return Fail(DialogTimeoutError(
                self._masker.mask(
                    "no statement ended the dialog within %g s; the "
                    "unmatched output ends with %r" % (self._timeout, tail)),
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
                self._masker.mask(
                    "the session ended before a statement ended the dialog; "
                    "the unmatched output ends with %r" % (tail,)), tail=tail))
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
        yield from self._act(Call(
            plan, action, args, kwargs,
            self._buffer.text()[end:] if plan.reads_spawn else ""))

    # -- logging ---------------------------------------------------------

    def _tail(self) -> str:
        """The end of the unmatched output as messages show it: masked, then
        cut to TAIL_LENGTH.  A secret that the cut, the consumed output or
        the end of the output cuts short shows as the mask."""
        buffer = self._buffer
        masker = self._masker
        # Masks may make the masked text shorter: widen until it is long
        # enough, or is all of it.
        size = TAIL_LENGTH + masker.longest
        while True:
            start = buffer.end - size
            whole = start <= buffer.base
            tail = (masker.tail(buffer.text(), TAIL_LENGTH,
                                self._before(masker.longest)) if whole
                    else masker.tail(buffer.tail(start), TAIL_LENGTH,
                                     whole=False))
            if tail is not None:
                return tail
            size *= 4

    def _before(self, size: int) -> str:
        """The last ``size`` characters of the consumed output (a secret
        may begin there)."""
        pieces = []
        for piece in reversed(self._consumed):
            if size <= 0:
                break
            pieces.append(piece[max(0, len(piece) - size):])
            size -= len(piece)
        return "".join(reversed(pieces))

    def _log_statement(self, plan: StatementPlan, event: str) -> None:
        statement = plan.statement
        masker = self._masker
        log.debug(masker.mask(
            "%s: %s, action %s, args %s, loop_continue %s, continue_timer %s,"
            " trim_buffer %s, unmatched output ends with %r" % (
                plan.where, event,
                describe_action(statement.action)
                if statement.action is not None else "None",
                describe_args(statement, masker),
                statement.loop_continue, statement.continue_timer,
                statement.trim_buffer, self._tail())))
