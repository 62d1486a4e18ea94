"""Runs a dialog against a live terminal session.

A :class:`DialogProcessor` reads the output of a spawn (a pexpect spawn or any
object with the same ``read_nonblocking``, ``send``, ``sendline`` and
``buffer``), matches it against the statements of a dialog and calls their
actions, until a statement ends the dialog, the timeout runs out or the
session ends.

The matching and timing live in :mod:`tavrel.eal._core`, which does no I/O;
this module is the blocking driver around it (it reads the spawn, sleeps and
calls the actions), and :func:`process_async` the asyncio one
(:mod:`tavrel.eal._async_driver`).
"""

from __future__ import annotations

from collections.abc import Mapping, MutableMapping
from typing import Any

from pexpect import EOF as SpawnEOF
from pexpect import TIMEOUT as SpawnTimeout

from tavrel._masking import activate, deactivate
from tavrel.eal._clock import SYSTEM_CLOCK, Clock
from tavrel.eal._core import (Call, DialogCore, DialogResult, Fail, Finish,
                              Pause, Read, stray_stop)
from tavrel.eal._plan import (DialogPlan, check_seconds, describe_action,
                              plan_dialog)
from tavrel.eal._secrets import collect_secrets
from tavrel.eal._spawn import SpawnChannel, Transcript

__all__ = ["DialogProcessor", "DialogResult", "DEFAULT_TIMEOUT",
           "process_async"]

DEFAULT_TIMEOUT = 30
# What one read asks for: as much as a pty holds at once, so the engine keeps
# up with a terminal that prints tens of MB (pexpect's default maxread of 2000
# would cap a read loop at a fraction of that).  A larger maxread is taken.
READ_SIZE = 1 << 16


def _clock_of(spawn: object, clock: Clock | None) -> Clock:
    if clock is not None:
        if not isinstance(clock, Clock):
            raise TypeError("clock must be a tavrel Clock, not %s"
                            % type(clock).__name__)
        return clock
    # A scripted spawn (tavrel.testing) brings the virtual clock it plays
    # its output back on.
    own = getattr(spawn, "clock", None)
    return own if isinstance(own, Clock) else SYSTEM_CLOCK


def _read_size(spawn: object) -> int:
    size = getattr(spawn, "maxread", READ_SIZE)
    if isinstance(size, bool) or not isinstance(size, int):
        return READ_SIZE
    return max(size, READ_SIZE)


class DialogProcessor:
    """Run ``dialog`` against ``spawn``.

    ``timeout`` (seconds) bounds the wait: the clock starts with the run and
    restarts after a match of a statement whose ``continue_timer`` is True
    and after a timeout statement that goes on.  None takes the spawn's own
    ``timeout`` attribute, or 30 s when that is missing or None.
    ``context`` is a mapping handed to actions (credentials for the
    ``sendline_cred_*`` senders live in ``context["credentials"]``);
    ``session`` a mutable mapping the caller keeps across dialogs.
    ``transcript`` is a file-like object that gets everything the run reads
    from the session, every secret masked (bytes for a bytes spawn, text for
    a text spawn).  ``clock`` is the time source
    (:class:`tavrel.testing.VirtualClock` in tests); by default the spawn's
    own ``clock`` when it has a tavrel clock, else the machine's.
    ``match_max`` (characters) bounds the unconsumed output a run keeps:
    by default everything read is kept (and handed back); with it, the
    oldest output beyond the bound is dropped, counted in the result's
    ``dropped`` and logged once, so that a program that never stops
    writing cannot fill the memory.  Matching stays exact on what is kept.

    A processor keeps no state between runs: one processor, like one dialog,
    may run any number of times, also in several threads at once (each with
    its own spawn).
    """

    def __init__(self, dialog: Any, spawn: Any,
                 timeout: float | None = None,
                 context: Mapping[str, Any] | None = None,
                 session: MutableMapping[str, Any] | None = None,
                 *, transcript: Any = None,
                 clock: Clock | None = None,
                 match_max: int | None = None) -> None:
        for name in ("send", "sendline", "read_nonblocking"):
            if not callable(getattr(spawn, name, None)):
                raise TypeError(
                    "spawn must have a callable %s(); %s has none"
                    % (name, type(spawn).__name__))
        if not hasattr(dialog, "statements"):
            raise TypeError("dialog must have statements; %s has none"
                            % type(dialog).__name__)
        if timeout is None:
            own = getattr(spawn, "timeout", None)
            if own is None:
                timeout = DEFAULT_TIMEOUT
            else:
                timeout = check_seconds(own, "spawn.timeout")
        self.timeout = check_seconds(timeout, "timeout")
        if context is None:
            context = {}
        elif not isinstance(context, Mapping):
            raise TypeError("context must be a mapping, not %s"
                            % type(context).__name__)
        if session is None:
            session = {}
        elif not isinstance(session, MutableMapping):
            raise TypeError("session must be a mutable mapping, not %s"
                            % type(session).__name__)
        if transcript is not None and not callable(
                getattr(transcript, "write", None)):
            raise TypeError("transcript must be a file-like object with a "
                            "write(), not %s" % type(transcript).__name__)
        if match_max is not None and (
                isinstance(match_max, bool) or not isinstance(match_max, int)):
            raise TypeError("match_max must be an int or None, not %s"
                            % type(match_max).__name__)
        if match_max is not None and match_max < 1:
            raise ValueError("match_max must be at least 1, got %r"
                             % (match_max,))
        self.match_max = match_max
        self.clock = _clock_of(spawn, clock)
        self.dialog = dialog
        self.spawn = spawn
        self.context = context
        self.session = session
        self.transcript = transcript

    def _plan(self, awaits: bool = False) -> DialogPlan:
        plan = plan_dialog(self.dialog, collect_secrets(self.context))
        if not awaits:
            for statement_plan in plan.plans():
                if statement_plan.is_coroutine:
                    raise TypeError(plan.masker.mask(
                        "%s: action %s is a coroutine function, which "
                        "DialogProcessor.process() cannot await; run the "
                        "dialog with process_async()"
                        % (statement_plan.where,
                           describe_action(statement_plan.statement.action))))
        return plan

    def _core(self, plan: DialogPlan, channel: SpawnChannel) -> DialogCore:
        spawn = self.spawn
        return DialogCore(
            plan, timeout=self.timeout, now=self.clock.monotonic(),
            output=channel.take(),
            injected={"spawn": spawn, "context": self.context,
                      "session": self.session, "runtime": self.session},
            match_max=self.match_max)

    def process(self) -> DialogResult:
        """Run the dialog; return a :class:`DialogResult`.

        Raises :class:`~tavrel.core.errors.DialogTimeoutError` or
        :class:`~tavrel.core.errors.DialogEOFError` when the dialog has no
        statement for that event; exceptions from actions propagate as they
        are.  Output the dialog did not consume is left in ``spawn.buffer``.
        """
        plan = self._plan()
        run = _Run(self, plan)
        try:
            result = _drive(run.core, run.channel, self.clock,
                            _read_size(self.spawn))
        except BaseException:
            run.close(failing=True)
            raise
        run.close(failing=False)
        return result

    async def process_async(self) -> DialogResult:
        """Run the dialog from an asyncio event loop without blocking it;
        the same results, errors and hand-back as :meth:`process`.

        Actions may be coroutine functions (they are awaited); a plain
        action is called on the loop, so one that blocks (say with
        ``spawn.expect``) blocks the loop: make it ``async def`` and await
        ``asyncio.to_thread(...)`` or ``spawn.expect(..., async_=True)``.
        Cancelling the task stops the dialog, hands back what it did not
        consume and leaves the spawn usable.
        """
        # Imported here: asyncio is no cost to programs that never use it.
        from tavrel.eal import _async_driver

        plan = self._plan(awaits=True)
        reader = _async_driver.reader_for(self.spawn, self.clock)
        run = _Run(self, plan)
        delay = _async_driver.send_delay(self.spawn)
        try:
            try:
                result = await _async_driver.drive_async(
                    run.core, run.channel, self.clock,
                    _read_size(self.spawn), reader, delay)
            finally:
                reader.close()
                if delay:
                    self.spawn.delaybeforesend = delay
        except BaseException:
            # A read under way in a worker thread: what it brings is handed
            # back too.
            extra = ""
            try:
                extra = await reader.late(run.channel)
            finally:
                run.close(failing=True, extra=extra)
            raise
        run.close(failing=False)
        return result


async def process_async(dialog: Any, spawn: Any, timeout: float | None = None,
                        context: Mapping[str, Any] | None = None,
                        session: MutableMapping[str, Any] | None = None,
                        *, transcript: Any = None,
                        clock: Clock | None = None,
                        match_max: int | None = None) -> DialogResult:
    """Run ``dialog`` against ``spawn`` from an asyncio event loop:
    ``await process_async(dialog, spawn, ...)`` is
    ``DialogProcessor(dialog, spawn, ...).process()`` without blocking the
    loop (see :meth:`DialogProcessor.process_async`)."""
    return await DialogProcessor(
        dialog, spawn, timeout, context, session, transcript=transcript,
        clock=clock, match_max=match_max).process_async()


class _Run:
    """What one run holds besides its core, and its tidying up: the output
    goes back to the spawn, the transcript gets what it held back, the
    secrets leave the running set, whichever way the run ends."""

    __slots__ = ("channel", "core", "transcript", "_token")

    def __init__(self, processor: DialogProcessor, plan: DialogPlan) -> None:
        self.transcript = (None if processor.transcript is None
                           else Transcript(processor.transcript, plan.masker))
        self.channel = SpawnChannel(processor.spawn, self.transcript)
        self._token = activate(plan.masker) if plan.masker else None
        try:
            self.core = processor._core(plan, self.channel)
        except BaseException:
            self._forget()
            raise
        if self.transcript is not None:
            # An earlier run may have stopped inside a secret that this
            # run's reads complete.
            self.transcript.follow(self.core.unconsumed())

    def close(self, failing: bool, extra: str = "") -> None:
        try:
            self.core.abort()
            channel = self.channel
            channel.put_back(self.core.unconsumed() + extra + channel.stray)
            if self.transcript is not None:
                try:
                    self.transcript.close(channel.is_bytes)
                except Exception:
                    # The run's own exception is the one to report.
                    if not failing:
                        raise
        finally:
            self._forget()

    def _forget(self) -> None:
        if self._token is not None:
            deactivate(self._token)
            self._token = None


def _drive(core: DialogCore, channel: SpawnChannel, clock: Clock,
           size: int) -> DialogResult:
    read = channel.read
    monotonic = clock.monotonic
    # Whether reads of text can go to the core as they are (with no
    # transcript to write).
    plain = channel.transcript is None
    text_spawn = plain and channel.is_text
    event = core.start()
    while True:
        kind = type(event)
        if kind is Read:
            try:
                data = read(size, event.timeout)  # type: ignore[union-attr]
            except SpawnTimeout:
                event = core.timed_out(monotonic())
                continue
            except SpawnEOF:
                event = core.eof(monotonic(), channel.flush())
                continue
            if type(data) is str and data and text_spawn:
                event = core.data(data, monotonic())
                continue
            text = channel.accept(data)
            if text is None:
                event = core.empty(monotonic())
            else:
                text_spawn = plain and channel.is_text
                event = core.data(text, monotonic())
        elif kind is Call:
            assert isinstance(event, Call)
            channel.hand_over(event.handover)
            try:
                event.function(*event.args, **event.kwargs)
            except BaseException as exc:
                core.action_failed(channel.leftover(event.handover))
                if isinstance(exc, StopIteration):
                    raise stray_stop(event) from exc
                raise
            event = core.action_done(channel.take(), monotonic())
        elif kind is Pause:
            clock.sleep(event.seconds)  # type: ignore[union-attr]
            event = core.resume(monotonic())
        elif kind is Finish:
            return event.result  # type: ignore[union-attr]
        else:
            assert isinstance(event, Fail)
            raise event.error
