"""The telnet protocol without I/O: the byte stream split into data and
commands, and option negotiation, for either end.

:class:`TelnetParser` takes what arrives, in any pieces, and returns the
data with the commands taken out (a doubled IAC is a data byte) and the
commands as events.  :class:`Negotiation` answers option requests: an end
agrees to the options it supports and refuses the others, and answers a
request only when it changes the option's state, so two ends never loop
(the point of RFC 1143).  The client and the lab's server both use them.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass

__all__ = ["IAC", "DONT", "DO", "WONT", "WILL", "SB", "SE", "BRK", "NOP",
           "ECHO", "SGA", "TTYPE", "NAWS", "BINARY", "Command",
           "Subnegotiation", "Option", "TelnetParser", "Negotiation",
           "command", "subnegotiation", "escape", "naws", "ttype_is",
           "TTYPE_SEND", "TTYPE_IS"]

IAC, DONT, DO, WONT, WILL, SB = 255, 254, 253, 252, 251, 250
GA, EL, EC, AYT, AO, IP, BRK, DM, NOP, SE = range(249, 239, -1)
BINARY, ECHO, SGA, TTYPE, NAWS = 0, 1, 3, 24, 31
TTYPE_IS, TTYPE_SEND = 0, 1

_IAC = bytes([IAC])


@dataclass(frozen=True)
class Command:
    """A command: ``verb`` is DO, DONT, WILL or WONT with an ``option``,
    or a lone command (BRK, NOP, AYT...) with option None."""

    verb: int
    option: int | None = None


@dataclass(frozen=True)
class Subnegotiation:
    option: int
    payload: bytes


# Parser states.
_DATA, _IAC_SEEN, _VERB, _SB, _SB_IAC = range(5)


class TelnetParser:
    """Splits a telnet byte stream into data and events."""

    __slots__ = ("_state", "_verb", "_sb")

    def __init__(self) -> None:
        self._state = _DATA
        self._verb = 0
        self._sb = bytearray()

    def feed(self, data: bytes) -> tuple[bytes, list[Command | Subnegotiation]]:
        if self._state == _DATA and IAC not in data:
            return data, []
        out = bytearray()
        events: list[Command | Subnegotiation] = []
        state = self._state
        for byte in data:
            if state == _DATA:
                if byte == IAC:
                    state = _IAC_SEEN
                else:
                    out.append(byte)
            elif state == _IAC_SEEN:
                if byte == IAC:
                    out.append(IAC)
                    state = _DATA
                elif byte in (DO, DONT, WILL, WONT):
                    self._verb = byte
                    state = _VERB
                elif byte == SB:
                    self._sb.clear()
                    state = _SB
                else:
                    events.append(Command(byte))
                    state = _DATA
            elif state == _VERB:
                events.append(Command(self._verb, byte))
                state = _DATA
            elif state == _SB:
                if byte == IAC:
                    state = _SB_IAC
                else:
                    self._sb.append(byte)
            else:  # _SB_IAC
                if byte == SE:
                    if self._sb:
                        events.append(Subnegotiation(self._sb[0],
                                                     bytes(self._sb[1:])))
                    state = _DATA
                else:
                    # IAC IAC inside: a data byte of the payload.
                    self._sb.append(byte)
                    state = _SB
        self._state = state
        return bytes(out), events


def escape(data: bytes) -> bytes:
    """Data to send: each IAC byte doubled."""
    return data.replace(_IAC, _IAC + _IAC) if IAC in data else data


def command(verb: int, option: int | None = None) -> bytes:
    return bytes([IAC, verb] if option is None else [IAC, verb, option])


def subnegotiation(option: int, payload: bytes) -> bytes:
    return bytes([IAC, SB, option]) + escape(payload) + bytes([IAC, SE])


def naws(rows: int, cols: int) -> bytes:
    return subnegotiation(NAWS, struct.pack(">HH", cols, rows))


def ttype_is(term: str) -> bytes:
    return subnegotiation(TTYPE, bytes([TTYPE_IS]) + term.encode("ascii"))


class Option:
    """Whether an option is on at our end (``us``) and at theirs
    (``him``)."""

    __slots__ = ("us", "him")

    def __init__(self) -> None:
        self.us = False
        self.him = False


class Negotiation:
    """One end's options: ``local`` are those it agrees to perform (WILL),
    ``remote`` those it agrees to let the other end perform (DO)."""

    def __init__(self, local: set[int], remote: set[int]) -> None:
        self.local = set(local)
        self.remote = set(remote)
        self.options: dict[int, Option] = {}

    def state(self, option: int) -> Option:
        found = self.options.get(option)
        if found is None:
            found = self.options[option] = Option()
        return found

    def offer(self, verb: int, option: int) -> bytes:
        """Ask for an option (WILL or DO); marks it on, as asked."""
        state = self.state(option)
        if verb == WILL:
            if state.us:
                return b""
            state.us = True
        elif verb == DO:
            if state.him:
                return b""
            state.him = True
        return command(verb, option)

    def answer(self, event: Command) -> bytes:
        """The reply to a DO, DONT, WILL or WONT (b"" when none is due)."""
        verb, option = event.verb, event.option
        if option is None:
            return b""
        state = self.state(option)
        if verb == DO:
            if option in self.local:
                if state.us:
                    return b""
                state.us = True
                return command(WILL, option)
            return command(WONT, option) if not state.us else b""
        if verb == DONT:
            if state.us:
                state.us = False
                return command(WONT, option)
            return b""
        if verb == WILL:
            if option in self.remote:
                if state.him:
                    return b""
                state.him = True
                return command(DO, option)
            return command(DONT, option) if not state.him else b""
        if verb == WONT:
            if state.him:
                state.him = False
                return command(DONT, option)
            return b""
        return b""
