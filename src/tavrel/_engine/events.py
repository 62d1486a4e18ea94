"""What a driver and the core say to each other, and how a run ends.

Both directions are immutable events.  The core says what to do next
(:class:`Read`, :class:`Pause`, :class:`Call`) or that the run is over
(:class:`Finish`, :class:`Fail`); the driver answers with what happened
(:class:`Data`, :class:`Empty`, :class:`TimedOut`, :class:`Ended` after a
read, :class:`Resumed` after a pause, :class:`ActionDone` or
:class:`ActionFailed` after a call), each with the time it happened.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Union

if TYPE_CHECKING:
    from tavrel._engine.plan import StatementPlan
    from tavrel._engine.secrets import Masker

__all__ = ["DialogResult", "MATCH", "TIMEOUT", "EOF",
           "Read", "Pause", "Call", "Finish", "Fail", "Event",
           "Data", "Empty", "TimedOut", "Ended", "Resumed", "ActionDone",
           "ActionFailed", "Answer", "ProtocolError"]

MATCH = "match"
TIMEOUT = "timeout"
EOF = "eof"


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


class ProtocolError(RuntimeError):
    """The core was told something it cannot be told now: an answer to a
    question it did not ask, or anything after the run is over."""


# -- what the core asks of its driver -----------------------------------------

@dataclass(frozen=True, slots=True)
class Read:
    """Read the spawn once, waiting at most ``timeout`` seconds (0: take only
    what has arrived); answer with Data, Empty, TimedOut or Ended."""

    timeout: float


@dataclass(frozen=True, slots=True)
class Pause:
    """Wait ``seconds`` without reading; answer with Resumed."""

    seconds: float


@dataclass(frozen=True, slots=True, repr=False)
class Call:
    """Call ``function(*args, **kwargs)``, the action of ``plan``.

    Before the call, ``handover`` (the unconsumed output after the match;
    nothing for the module's senders, which only send) goes into the spawn's
    buffer, so that the action can read on from there; after it, what the
    action left in the buffer goes back in ActionDone (or ActionFailed, if
    the action raised)."""

    plan: StatementPlan
    function: Any
    args: list[Any]
    kwargs: dict[str, Any]
    handover: str

    def __repr__(self) -> str:
        # Never the arguments: they may hold secrets.
        return "Call(%s)" % self.plan.where


@dataclass(frozen=True, slots=True)
class Finish:
    """The dialog ended with ``result``."""

    result: DialogResult


@dataclass(frozen=True, slots=True)
class Fail:
    """The dialog ended with ``error``, for the driver to raise."""

    error: BaseException


Event = Union[Read, Pause, Call, Finish, Fail]


# -- what the driver tells the core -----------------------------------------

@dataclass(frozen=True, slots=True)
class Data:
    """A read returned ``text`` (decoded; empty when it brought only part
    of a character)."""

    text: str
    now: float


@dataclass(frozen=True, slots=True)
class Empty:
    """A read returned nothing at once, without waiting its timeout."""

    now: float


@dataclass(frozen=True, slots=True)
class TimedOut:
    """A read waited its whole timeout and nothing came."""

    now: float


@dataclass(frozen=True, slots=True)
class Ended:
    """The session ended; ``text`` is what the decoder still held."""

    now: float
    text: str = ""


@dataclass(frozen=True, slots=True)
class Resumed:
    """A pause is over."""

    now: float


@dataclass(frozen=True, slots=True, repr=False)
class ActionDone:
    """The action returned; ``leftover`` is what it left in the spawn's
    buffer."""

    leftover: str
    now: float

    def __repr__(self) -> str:
        return "ActionDone(%d chars, now=%r)" % (len(self.leftover),
                                                 self.now)


@dataclass(frozen=True, slots=True, repr=False)
class ActionFailed:
    """The action raised (the driver goes on raising it); ``leftover`` is
    what it left in the spawn's buffer."""

    leftover: str

    def __repr__(self) -> str:
        return "ActionFailed(%d chars)" % len(self.leftover)


Answer = Union[Data, Empty, TimedOut, Ended, Resumed, ActionDone,
               ActionFailed]
