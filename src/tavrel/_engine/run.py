"""One run of a dialog against a spawn, as both drivers set it up and tidy
it up: the core, the spawn's channel, the transcript and the registered
secrets.  Whichever way the run ends, the output it did not consume goes
back to the spawn, the transcript gets what it held back, and the secrets
leave the running set."""

from __future__ import annotations

from collections.abc import Mapping, MutableMapping
from typing import Any

from tavrel._engine.channel import SpawnChannel, Transcript
from tavrel._engine.clock import Clock
from tavrel._engine.core import DialogCore
from tavrel._engine.events import ActionDone, ActionFailed, Call, Event
from tavrel._engine.plan import DialogPlan
from tavrel._engine.secrets import activate, deactivate
from tavrel._engine.texts import stray_stop

__all__ = ["Run", "READ_SIZE"]

# What one read asks for: as much as a pty holds at once, so the engine keeps
# up with a terminal that prints tens of MB (pexpect's default maxread of 2000
# would cap a read loop at a fraction of that).  A larger maxread is taken.
READ_SIZE = 1 << 16


def _read_size(spawn: object) -> int:
    size = getattr(spawn, "maxread", READ_SIZE)
    if isinstance(size, bool) or not isinstance(size, int):
        return READ_SIZE
    return max(size, READ_SIZE)


class Run:
    """The parts of one run: ``core``, ``channel``, ``clock``, and the size
    of a read."""

    __slots__ = ("core", "channel", "clock", "spawn", "read_size",
                 "transcript", "_token")

    def __init__(self, plan: DialogPlan, spawn: Any, *, timeout: float,
                 clock: Clock, context: Mapping[str, Any],
                 session: MutableMapping[str, Any], transcript: Any,
                 match_max: int | None) -> None:
        self.spawn = spawn
        self.clock = clock
        self.read_size = _read_size(spawn)
        self.transcript = (None if transcript is None
                           else Transcript(transcript, plan.masker))
        self.channel = SpawnChannel(spawn, self.transcript)
        self._token = activate(plan.masker) if plan.masker else None
        try:
            self.core = DialogCore(
                plan, timeout=timeout, now=clock.monotonic(),
                output=self.channel.take(),
                injected={"spawn": spawn, "context": context,
                          "session": session, "runtime": session},
                match_max=match_max)
        except BaseException:
            self._forget()
            raise
        if self.transcript is not None:
            # An earlier run may have stopped inside a secret that this
            # run's reads complete.
            self.transcript.follow(self.core.unconsumed())

    def action_done(self) -> Event | None:
        """The action of the call under way returned."""
        return self.core.send(ActionDone(self.channel.take(),
                                         self.clock.monotonic()))

    def action_failed(self, call: Call, error: BaseException
                      ) -> BaseException | None:
        """The action raised ``error``: the core takes back what it left.
        Returns what to raise instead, if anything: StopIteration comes out
        of either driver as the same RuntimeError (a coroutine cannot raise
        it at all)."""
        self.core.send(ActionFailed(self.channel.leftover(call.handover)))
        return stray_stop(call) if isinstance(error, StopIteration) else None

    def close(self, failing: bool, extra: str = "") -> None:
        """The run is over (``failing``: by an exception, which is the one
        to report); ``extra`` is output read after the core stopped."""
        try:
            self.core.abort()
            channel = self.channel
            channel.put_back(self.core.unconsumed() + extra + channel.stray)
            if self.transcript is not None:
                try:
                    self.transcript.close(channel.is_bytes)
                except Exception:
                    if not failing:
                        raise
        finally:
            self._forget()

    def _forget(self) -> None:
        if self._token is not None:
            deactivate(self._token)
            self._token = None
