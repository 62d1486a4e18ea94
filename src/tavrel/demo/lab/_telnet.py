"""The lab's telnet server: each connection a switch session, which asks
for the user name and password itself."""

from __future__ import annotations

import asyncio
import struct
from typing import TYPE_CHECKING, Any

from tavrel.demo.switch import StreamTerminal
from tavrel.sessions._telnet_codec import (DO, ECHO, NAWS, SGA, TTYPE,
                                           TTYPE_SEND, WILL, Command,
                                           Negotiation, Subnegotiation,
                                           TelnetParser, escape,
                                           subnegotiation)

if TYPE_CHECKING:
    from tavrel.demo.lab import Lab

__all__ = ["serve_telnet"]


class _TelnetSwitch(asyncio.Protocol):
    def __init__(self, lab: Lab) -> None:
        self.lab = lab
        self.parser = TelnetParser()
        # The server echoes and goes without go-aheads; it would like the
        # window size and the terminal type.
        self.negotiation = Negotiation(local={ECHO, SGA},
                                       remote={NAWS, TTYPE, SGA})
        self.transport: Any = None
        self.terminal = StreamTerminal(self._send)
        self.size: tuple[int, int] | None = None
        self.term_type: str | None = None

    def connection_made(self, transport: Any) -> None:
        self.transport = transport
        offer = self.negotiation.offer
        transport.write(offer(WILL, ECHO) + offer(WILL, SGA)
                        + offer(DO, NAWS) + offer(DO, TTYPE))
        self.task = self.lab.run_switch(self.terminal, login=True,
                                        done=self._done)

    def _send(self, data: bytes) -> None:
        if not self.transport.is_closing():
            self.transport.write(escape(data))

    def _done(self, status: int | None) -> None:
        self.transport.close()

    def data_received(self, data: bytes) -> None:
        plain, events = self.parser.feed(data)
        for event in events:
            if isinstance(event, Command):
                reply = self.negotiation.answer(event)
                if reply:
                    self.transport.write(reply)
                if event.verb == WILL and event.option == TTYPE \
                        and self.negotiation.state(TTYPE).him:
                    self.transport.write(subnegotiation(
                        TTYPE, bytes([TTYPE_SEND])))
            elif isinstance(event, Subnegotiation):
                if event.option == NAWS and len(event.payload) == 4:
                    cols, rows = struct.unpack(">HH", event.payload)
                    self.size = (rows, cols)
                elif event.option == TTYPE and event.payload[:1] == b"\0":
                    self.term_type = event.payload[1:].decode("ascii",
                                                              "replace")
        if plain:
            self.terminal.feed(plain)

    def eof_received(self) -> bool:
        self.terminal.feed_eof()
        return False

    def connection_lost(self, exc: Exception | None) -> None:
        self.terminal.feed_eof()
        self.task.cancel()


async def serve_telnet(lab: Lab) -> asyncio.Server:
    loop = asyncio.get_running_loop()
    return await loop.create_server(lambda: _TelnetSwitch(lab), lab.host,
                                    lab.telnet_port or 0, backlog=4096)
