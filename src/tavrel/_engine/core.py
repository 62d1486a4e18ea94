"""The dialog engine's core: a run of a dialog as a state machine.

The core does no I/O.  It is told what the session printed (as text), the
end of the session, and the time, and answers with what to do next: read
(waiting at most so long), pause, call a statement's action, or stop with a
result or an error (the events of :mod:`tavrel._engine.events`).  The
drivers around it do the reading, sending, sleeping and calling, so every
driver matches, times out and hands back output exactly alike.

A run in short::

    core = DialogCore(plan, timeout=5.0, now=clock())
    event = core.start()
    while True:
        if isinstance(event, Read):      # read once, waiting <= timeout
            event = core.send(Data(text, clock()))  # or Empty, TimedOut, Ended
        elif isinstance(event, Pause):   # wait, without reading
            event = core.send(Resumed(clock()))
        elif isinstance(event, Call):    # put event.handover in spawn.buffer,
            ...                          # call the action, take it back
            event = core.send(ActionDone(leftover, clock()))
        elif isinstance(event, Finish):
            return event.result
        else:
            raise event.error

Whatever happens, ``core.unconsumed()`` is the output to hand back.

The rules, in one place:

* The run reads until a statement's pattern matches the unconsumed output,
  in list order (the first statement whose pattern matches anywhere wins).
* A statement with ``matched_retries`` lets still-arriving output settle
  before its match counts: it drains, then decides again.
* A match calls the statement's action; then, unless the statement loops,
  the run finishes.  A looping statement consumes its match (or, keeping the
  buffer, fires again only on output after it), may restart the clock, and
  the run searches again at once.
* At the deadline the run takes one last look at what has already arrived
  (draining at most DRAIN_LIMIT characters and DRAIN_GRACE seconds, so a
  program that never stops writing cannot hold it), then the timeout
  statement acts, or the run fails with DialogTimeoutError.
* At the end of the session the end-of-file statement acts, or the run
  fails with DialogEOFError.
"""

from __future__ import annotations

import enum
from collections.abc import Callable, Mapping
from dataclasses import dataclass

from tavrel._engine.events import (EOF, MATCH, TIMEOUT, ActionDone,
                                   ActionFailed, Answer, Call, Data,
                                   DialogResult, Empty, Ended, Event, Fail,
                                   Finish, Pause, ProtocolError, Read,
                                   Resumed, TimedOut)
from tavrel._engine.plan import DialogPlan, StatementPlan
from tavrel._engine.search import Found, Output, Searches
from tavrel._engine.texts import (TAIL_LENGTH, log, eof_error, log_match,
                                  log_statement, timeout_error)

__all__ = ["DialogCore", "State"]

DEBUG = 10  # logging.DEBUG

# The last look at the deadline, and the wait of a matched_retries statement,
# stop after this many characters or this many seconds past their end.
DRAIN_LIMIT = 1 << 20
DRAIN_GRACE = 0.05
# A read that returns nothing at once, without waiting (a pipe spawn's read
# does this), is followed by this pause, not by a busy loop.
EMPTY_READ_PAUSE = 0.01


class State(enum.Enum):
    """What the core waits for."""

    IDLE = "idle"                  # start()
    READING = "reading"            # the answer to a Read
    PAUSED = "paused"              # Resumed
    DRAINING = "draining"          # the answer to a Read of a drain
    DRAIN_PAUSED = "drain paused"  # Resumed, within a drain
    CALLING = "calling"            # ActionDone or ActionFailed
    FINISHED = "finished"          # nothing: the run is over


class _After(enum.Enum):
    """Why an action runs, and so what follows it."""

    MATCH = "match"
    TIMEOUT = "timeout"
    EOF = "eof"


@dataclass
class _Drain:
    """A drain under way: reads until ``until``, then of what has already
    arrived, within DRAIN_LIMIT characters and DRAIN_GRACE seconds."""

    until: float
    then: Callable[[bool], Event]
    got: int = 0
    size: int = 0


@dataclass
class _Settling:
    """A match of a statement with matched_retries, waiting for the output
    to settle."""

    found: Found
    left: int
    pause: float


_READS = (Data, Empty, TimedOut, Ended)


class DialogCore:
    """One run of a planned dialog.

    ``timeout`` is the run's timeout in seconds, ``now`` the time the run
    starts at, ``output`` the output the spawn already held, ``injected``
    the values that actions may ask for by name (``spawn``, ``context``,
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
        self._timeout = timeout
        self._now = now
        self._deadline = now + timeout
        self._injected = dict(injected or {})
        self._masker = plan.masker
        self._match_max = match_max
        self._state = State.IDLE
        # The unconsumed output, what was consumed before it, and the search
        # state of the patterns over it.
        self._buffer = Output(output)
        self._consumed: list[str] = []
        self._searches = Searches(plan)
        self._dropped = 0
        # Whether the output changed since the last search.
        self._fresh = bool(self._buffer)
        self._eof = False
        # The last look at the deadline is taken once per deadline, or a
        # chatty program would never time out.
        self._last_look = False
        # Whether the last action changed the unconsumed output.
        self._absorbed = False
        # The timeout of the read asked for, the drain and the settling
        # under way, and the action running, with why it runs.
        self._read_timeout = 0.0
        self._drain: _Drain | None = None
        self._settling: _Settling | None = None
        self._call: Call | None = None
        self._after = _After.MATCH
        self._found: Found | None = None

    # -- talking to the core ---------------------------------------------

    @property
    def state(self) -> State:
        return self._state

    @property
    def finished(self) -> bool:
        return self._state is State.FINISHED

    def start(self) -> Event:
        """The first event of the run.  Any fault, here or in send(), ends
        the run: nothing more can be asked of it."""
        if self._state is not State.IDLE:
            raise ProtocolError("the run has already started")
        try:
            return self._proceed()
        except BaseException:
            self._state = State.FINISHED
            raise

    def send(self, answer: Answer) -> Event | None:
        """What happened; returns what to do next (None after
        ActionFailed: the run is over, the driver raises the action's
        error)."""
        handler = _HANDLERS.get((self._state, type(answer)))
        if handler is None:
            raise ProtocolError(
                "the run is over" if self._state is State.FINISHED else
                "the core is %s and cannot take %s"
                % (self._state.value, type(answer).__name__))
        try:
            return handler(self, answer)
        except BaseException:
            self._state = State.FINISHED
            raise

    def abort(self) -> None:
        """The driver stops the run (an error, a cancellation)."""
        self._state = State.FINISHED

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

    # -- the answers -----------------------------------------------------

    def _on_read(self, answer: Answer) -> Event:
        self._take_read(answer)
        if type(answer) is Empty:
            return self._pause(min(EMPTY_READ_PAUSE, self._read_timeout),
                               State.PAUSED)
        return self._proceed()

    def _on_resumed(self, answer: Resumed) -> Event:
        self._now = answer.now
        return self._proceed()

    def _on_drain_read(self, answer: Answer) -> Event:
        drain = self._drain
        assert drain is not None
        self._take_read(answer)
        # Counted by the end offset: output dropped beyond match_max
        # arrived all the same.
        drain.got += self._buffer.end - drain.size
        if self._now >= drain.until + DRAIN_GRACE:
            return self._drained()
        kind = type(answer)
        if kind is TimedOut or kind is Empty:
            if self._now >= drain.until:
                return self._drained()
            if kind is Empty:
                return self._pause(min(EMPTY_READ_PAUSE,
                                       drain.until - self._now),
                                   State.DRAIN_PAUSED)
        return self._drain_next()

    def _on_drain_resumed(self, answer: Resumed) -> Event:
        self._now = answer.now
        return self._drain_next()

    def _on_action_done(self, answer: ActionDone) -> Event:
        self._now = answer.now
        self._take_back(answer.leftover)
        after = self._after
        if after is _After.MATCH:
            return self._after_match()
        if after is _After.TIMEOUT:
            return self._after_timeout()
        return self._after_eof()

    def _on_action_failed(self, answer: ActionFailed) -> None:
        self._take_back(answer.leftover)
        self._state = State.FINISHED

    def _take_read(self, answer: Answer) -> None:
        self._now = answer.now
        text = getattr(answer, "text", "")
        if text:
            self._buffer.append(text)
            if self._match_max is not None:
                self._bound()
            self._fresh = True
        if type(answer) is Ended:
            self._eof = True

    # -- the run ---------------------------------------------------------

    def _proceed(self) -> Event:
        """Go on until the driver has something to do."""
        while True:
            if self._fresh:
                self._fresh = False
                found = self._search()
                if found is not None:
                    retries = found.plan.statement.matched_retries
                    if retries:
                        self._settling = _Settling(
                            found, retries,
                            float(found.plan.statement.matched_retry_sleep))
                        return self._settle()
                    return self._matched(found)
            if self._eof:
                return self._ended()
            remaining = self._deadline - self._now
            if remaining > 0:
                self._read_timeout = remaining
                self._state = State.READING
                return Read(remaining)
            if not self._last_look:
                self._last_look = True
                return self._start_drain(self._now, self._after_last_look)
            event = self._timed_out()
            if event is not None:
                return event

    def _after_last_look(self, got: bool) -> Event:
        if got:
            self._fresh = True
        elif not self._eof:
            event = self._timed_out()
            if event is not None:
                return event
        return self._proceed()

    def _pause(self, seconds: float, state: State) -> Event:
        self._state = state
        return Pause(seconds)

    def _call_action(self, plan: StatementPlan, handover: str,
                     after: _After) -> Event:
        args, kwargs = plan.bind(self._injected)
        call = self._call = Call(plan, plan.statement.action, args, kwargs,
                                 handover if plan.reads_spawn else "")
        self._after = after
        self._state = State.CALLING
        return call

    def _take_back(self, leftover: str) -> None:
        call = self._call
        assert call is not None
        self._call = None
        if leftover != call.handover:
            # The action read from the spawn itself (say with spawn.expect):
            # what it left is the dialog's to match.
            buffer = self._buffer
            buffer.replace_from(buffer.end - len(call.handover), leftover)
            self._searches.reset(buffer.base)
            self._absorbed = True

    def _finish(self, result: DialogResult) -> Event:
        self._state = State.FINISHED
        result._masker = self._masker
        result.dropped = self._dropped
        return Finish(result)

    def _fail(self, error: BaseException) -> Event:
        self._state = State.FINISHED
        return Fail(error)

    # -- draining what has arrived -----------------------------------------

    def _start_drain(self, until: float, then: Callable[[bool], Event]
                     ) -> Event:
        self._drain = _Drain(until, then)
        return self._drain_next()

    def _drain_next(self) -> Event:
        drain = self._drain
        assert drain is not None
        if self._eof or drain.got >= DRAIN_LIMIT:
            return self._drained()
        drain.size = self._buffer.end
        self._state = State.DRAINING
        return Read(max(0.0, drain.until - self._now))

    def _drained(self) -> Event:
        drain = self._drain
        assert drain is not None
        self._drain = None
        return drain.then(drain.got > 0)

    # -- a match -----------------------------------------------------------

    def _settle(self) -> Event:
        """Give a prompt that matched inside still-arriving output the
        chance to complete, and decide again on the fuller text."""
        settling = self._settling
        assert settling is not None
        if settling.left == 0 or self._eof:
            self._settling = None
            return self._matched(settling.found)
        settling.left -= 1
        return self._start_drain(self._now + settling.pause, self._settled)

    def _settled(self, got: bool) -> Event:
        settling = self._settling
        assert settling is not None
        if got:
            again = self._search()
            if again is None:
                self._settling = None
                return self._proceed()
            settling.found = again
        return self._settle()

    def _matched(self, found: Found) -> Event:
        plan, text, match = found
        if log.isEnabledFor(DEBUG):
            log_match(plan, text, match, self._masker,
                      self._before(self._masker.longest))
            if plan.statement.debug_statement:
                log_statement(plan, "matched", self._masker, self._tail())
        self._absorbed = False
        self._found = found
        if plan.statement.action is not None:
            return self._call_action(plan, match.string[match.end():],
                                     _After.MATCH)
        return self._after_match()

    def _after_match(self) -> Event:
        found = self._found
        assert found is not None
        self._found = None
        plan, text, match = found
        statement = plan.statement
        end = match.end()
        buffer = self._buffer
        if not statement.loop_continue:
            output = self._output(end)
            if statement.trim_buffer:
                self._trim(end, match.string)
            return self._finish(DialogResult(MATCH, statement, text, match,
                                             output))
        if statement.trim_buffer:
            self._trim(end, match.string)
        else:
            self._searches.kept(plan, buffer.base + end)
        if statement.continue_timer:
            self._deadline = self._now + self._timeout
            self._last_look = False
        # What is left may hold the next prompt already.  A statement does
        # not fire twice on the same text, so searching again at once cannot
        # loop, except on an empty match that consumed nothing: that one
        # waits for new output, unless the action changed the output.
        self._fresh = bool(buffer) and (end > 0 or not statement.trim_buffer
                                        or self._absorbed)
        return self._proceed()

    # -- the deadline and the end ------------------------------------------

    def _timed_out(self) -> Event | None:
        """The deadline passed with nothing matched: the timeout statement
        acts, or the run fails.  None: the run goes on at once."""
        self._absorbed = False
        plan = self._plan.timeout
        if plan is None:
            return self._fail(timeout_error(self._timeout, self._tail(),
                                            self._masker))
        log.debug("timeout after %g s", self._timeout)
        if plan.statement.debug_statement:
            log_statement(plan, "timeout", self._masker, self._tail())
        if plan.statement.action is not None:
            return self._call_action(plan, self._buffer.text(),
                                     _After.TIMEOUT)
        return self._after_timeout(at_once=True)

    def _after_timeout(self, at_once: bool = False) -> Event | None:
        plan = self._plan.timeout
        assert plan is not None
        if not plan.statement.loop_continue:
            return self._finish(DialogResult(
                TIMEOUT, plan.statement, output=self._output(
                    len(self._buffer))))
        self._deadline = self._now + self._timeout
        self._last_look = False
        self._fresh = bool(self._buffer) and self._absorbed
        return None if at_once else self._proceed()

    def _ended(self) -> Event:
        plan = self._plan.eof
        if plan is None:
            return self._fail(eof_error(self._tail(), self._masker))
        log.debug("end of file")
        if plan.statement.debug_statement:
            log_statement(plan, "end of file", self._masker, self._tail())
        if plan.statement.action is not None:
            return self._call_action(plan, self._buffer.text(), _After.EOF)
        return self._after_eof()

    def _after_eof(self) -> Event:
        plan = self._plan.eof
        assert plan is not None
        size = len(self._buffer)
        output = self._output(size)
        self._trim(size)
        return self._finish(DialogResult(EOF, plan.statement, output=output))

    # -- the output --------------------------------------------------------

    def _search(self) -> Found | None:
        return self._searches.first(self._buffer)

    def _trim(self, end: int, text: str | None = None) -> None:
        if end:
            buffer = self._buffer
            self._consumed.append(buffer.consume(end, text))
            self._searches.trimmed(buffer.base)

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
        self._searches.trimmed(buffer.base)

    def _output(self, end: int) -> str:
        return "".join(self._consumed) + self._buffer.text()[:end]

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


# Rule 1: what each state takes, and who handles it.  Anything else is a
# ProtocolError.
_HANDLERS: dict[tuple[State, type], Callable[..., Event | None]] = {
    **{(State.READING, kind): DialogCore._on_read for kind in _READS},
    **{(State.DRAINING, kind): DialogCore._on_drain_read for kind in _READS},
    (State.PAUSED, Resumed): DialogCore._on_resumed,
    (State.DRAIN_PAUSED, Resumed): DialogCore._on_drain_resumed,
    (State.CALLING, ActionDone): DialogCore._on_action_done,
    (State.CALLING, ActionFailed): DialogCore._on_action_failed,
}
