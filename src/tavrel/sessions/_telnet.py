"""Telnet sessions, in-process: a small asyncio client that negotiates
the options a terminal session needs (the server echoes, no go-aheads, the
terminal type and window size are told) and refuses the rest.

Logging in is a dialog: ``login=`` one of yours, or, given ``username``
and ``password``, one that answers the login prompts until ``prompt``.
"""

from __future__ import annotations

import asyncio
import socket
from collections.abc import Mapping
from typing import Any

from tavrel.core.errors import ConnectError, ConnectTimeoutError
from tavrel.sessions._base import (AsyncSession, Link, Session, _address,
                                   check_port, seconds)
from tavrel.sessions._inbox import Inbox
from tavrel.sessions._login import DEFAULT_PROMPT, login_context, login_dialog
from tavrel.sessions._telnet_codec import (BINARY, BRK, ECHO, NAWS, SGA,
                                           TTYPE, TTYPE_SEND, Command,
                                           Negotiation, Subnegotiation,
                                           TelnetParser, command, escape,
                                           naws, ttype_is)

__all__ = ["TelnetSession", "AsyncTelnetSession"]


class _TelnetProtocol(asyncio.Protocol):
    def __init__(self, inbox: Inbox, term_type: str,
                 dimensions: tuple[int, int]) -> None:
        self.inbox = inbox
        self.term_type = term_type
        self.dimensions = dimensions
        self.parser = TelnetParser()
        # We tell our terminal type and size and go without go-aheads; the
        # server may echo and send 8-bit data.
        self.negotiation = Negotiation(local={TTYPE, NAWS, SGA, BINARY},
                                       remote={ECHO, SGA, BINARY})
        self.transport: asyncio.Transport | None = None
        self.lost: asyncio.Future[None] = \
            asyncio.get_running_loop().create_future()
        self._after_cr = False

    def connection_made(self, transport: Any) -> None:
        self.transport = transport

    def data_received(self, data: bytes) -> None:
        plain, events = self.parser.feed(data)
        for event in events:
            if isinstance(event, Command):
                reply = self.negotiation.answer(event)
                self._write(reply)
                if event.option == NAWS and self.negotiation.state(NAWS).us:
                    self._write(naws(*self.dimensions) if reply else b"")
            elif isinstance(event, Subnegotiation):
                if event.option == TTYPE and event.payload[:1] == bytes(
                        [TTYPE_SEND]):
                    self._write(ttype_is(self.term_type))
        if plain:
            self.inbox.feed(self._plain(plain))

    def _plain(self, data: bytes) -> bytes:
        # A bare carriage return travels as CR NUL: the NUL is no output.
        if self._after_cr and data[:1] == b"\0":
            data = data[1:]
        self._after_cr = data[-1:] == b"\r"
        return data.replace(b"\r\0", b"\r") if b"\r\0" in data else data

    def _write(self, data: bytes) -> None:
        if data and self.transport is not None \
                and not self.transport.is_closing():
            self.transport.write(data)

    def eof_received(self) -> bool:
        return False

    def connection_lost(self, exc: Exception | None) -> None:
        self.inbox.end(exc)
        if not self.lost.done():
            self.lost.set_result(None)


class _TelnetLink(Link):
    def __init__(self, inbox: Inbox, host: str, port: int,
                 protocol: _TelnetProtocol) -> None:
        super().__init__(inbox, host, port)
        self.protocol = protocol

    def write(self, data: bytes) -> None:
        self.protocol._write(escape(data))

    def send_break(self, duration: float) -> None:
        self.protocol._write(command(BRK))

    def set_size(self, rows: int, cols: int) -> None:
        self.protocol.dimensions = (rows, cols)
        if self.protocol.negotiation.state(NAWS).us:
            self.protocol._write(naws(rows, cols))

    async def close(self) -> None:
        transport = self.protocol.transport
        if transport is not None:
            transport.close()
        await self.protocol.lost


class _TelnetKind:
    kind = "telnet"
    secrets: Any
    login: Any
    context: Mapping[str, Any] | None

    def __init__(self, host: str, port: int = 23, *, username: Any = None,
                 password: Any = None, prompt: str = DEFAULT_PROMPT,
                 term_type: str = "xterm",
                 dimensions: tuple[int, int] = (24, 80),
                 connect_timeout: float = 30, **session_options: Any
                 ) -> None:
        if not isinstance(host, str) or not host:
            raise TypeError("host must be a non-empty str")
        self._host = host
        self._port = check_port(port)
        self.username = username
        self._password = password
        self.prompt = prompt
        self.term_type = term_type
        rows, cols = dimensions
        self.dimensions = (int(rows), int(cols))
        self.connect_timeout = seconds(connect_timeout, "connect_timeout")
        super().__init__(**session_options)
        self._default_login()

    def _default_login(self) -> None:
        """Given credentials and no dialog: the usual login prompts."""
        if self.login is None and self.username is not None:
            self.login = login_dialog(self.prompt)
            context = dict(self.context or {})
            context.update(login_context(self.username, self._password))
            self.context = context
        if self._password is not None:
            self.secrets.add(self._password)

    @property
    def host(self) -> str:
        return self._host

    @property
    def port(self) -> int:
        return self._port

    async def _connect(self, inbox: Inbox) -> Link:
        host, port = self._host, self._port
        loop = asyncio.get_running_loop()
        try:
            _, protocol = await asyncio.wait_for(
                loop.create_connection(
                    lambda: _TelnetProtocol(inbox, self.term_type,
                                            self.dimensions), host, port),
                self.connect_timeout)
        except asyncio.TimeoutError:
            raise ConnectTimeoutError(
                "connecting to %s took longer than %g s"
                % (_address(host, port), self.connect_timeout),
                host, port) from None
        except ConnectionRefusedError:
            raise ConnectError("%s refused the connection"
                               % _address(host, port), host, port) from None
        except socket.gaierror as exc:
            raise ConnectError("cannot find %s: %s" % (host, exc.strerror),
                               host, port) from None
        except OSError as exc:
            raise ConnectError("cannot reach %s: %s"
                               % (_address(host, port), exc.strerror or exc),
                               host, port) from None
        return _TelnetLink(inbox, host, port, protocol)


_DOC = """A telnet session, {face}.

``TelnetSession(host, port=23, username=None, password=None, ...)``.
With ``username`` (and ``password``) and no ``login`` dialog, the session
logs in by answering the login and password prompts until ``prompt`` (a
pattern; by default a line ending in ``$``, ``#``, ``>`` or ``%``); a
refusal raises :class:`~tavrel.core.errors.LoginError`.  ``term_type``
and ``dimensions`` (rows, columns) are told to the server when it asks.
``connect_timeout`` bounds reaching the server.  The other arguments are
:class:`~tavrel.sessions.SessionBase`'s (``login``, ``context``,
``login_timeout``, ``transcript``...).
"""


class TelnetSession(_TelnetKind, Session):
    __doc__ = _DOC.format(face="sync")

    def __enter__(self) -> TelnetSession:
        self.open()
        return self


class AsyncTelnetSession(_TelnetKind, AsyncSession):
    __doc__ = _DOC.format(face="async")

    async def __aenter__(self) -> AsyncTelnetSession:
        await self.open()
        return self
