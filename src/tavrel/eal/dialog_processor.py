"""Runs a dialog against a live terminal session.

A :class:`DialogProcessor` reads the output of a spawn (a pexpect spawn, a
tavrel session, or any object with the same ``read_nonblocking``, ``send``,
``sendline`` and ``buffer``), matches it against the statements of a dialog
and calls their actions, until a statement ends the dialog, the timeout runs
out or the session ends.

This module checks the caller's arguments, plans the dialog and hands the
run to a driver: the blocking one (:meth:`DialogProcessor.process`) or the
asyncio one (:func:`process_async`).  The engine itself lives in
:mod:`tavrel._engine`.
"""

from __future__ import annotations

from collections.abc import Mapping, MutableMapping
from typing import Any

from tavrel._engine.clock import SYSTEM_CLOCK, Clock
from tavrel._engine.events import DialogResult
from tavrel._engine.plan import (DialogPlan, check_seconds, describe_action,
                                 plan_dialog)
from tavrel._engine.run import Run
from tavrel._engine.secrets import collect_secrets
from tavrel._engine.sync_driver import drive

__all__ = ["DialogProcessor", "DialogResult", "DEFAULT_TIMEOUT",
           "process_async"]

DEFAULT_TIMEOUT = 30
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

    def _run(self, plan: DialogPlan) -> Run:
        return Run(plan, self.spawn, timeout=self.timeout, clock=self.clock,
                   context=self.context, session=self.session,
                   transcript=self.transcript, match_max=self.match_max)

    def process(self) -> DialogResult:
        """Run the dialog; return a :class:`DialogResult`.

        Raises :class:`~tavrel.core.errors.DialogTimeoutError` or
        :class:`~tavrel.core.errors.DialogEOFError` when the dialog has no
        statement for that event; exceptions from actions propagate as they
        are.  Output the dialog did not consume is left in ``spawn.buffer``.
        """
        return drive(self._run(self._plan()))

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
        from tavrel._engine import async_driver

        return await async_driver.drive(self._run(self._plan(awaits=True)))


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
