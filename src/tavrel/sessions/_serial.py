"""Serial lines: pyserial, read and written on the event loop through
pyserial-asyncio-fast (no thread per port).

The line settings are pyserial's (``baudrate``, ``bytesize``, ``parity``,
``stopbits``, ``xonxoff``, ``rtscts``); ``send_break()`` holds the line in
break.  A console's login is a dialog, as on telnet.
"""

from __future__ import annotations

import asyncio
from collections.abc import Mapping
from typing import Any

from tavrel.core.errors import ConnectError
from tavrel.sessions._base import AsyncSession, Link, Session
from tavrel.sessions._inbox import Inbox
from tavrel.sessions._login import DEFAULT_PROMPT, login_context, login_dialog

try:
    import serial  # type: ignore[import-untyped, unused-ignore]
    import serial_asyncio_fast
except ImportError as exc:  # pragma: no cover - depends on the install
    raise ImportError("serial sessions need pyserial and "
                      "pyserial-asyncio-fast: pip install tavrel[serial]"
                      ) from exc

__all__ = ["SerialSession", "AsyncSerialSession"]


class _SerialProtocol(asyncio.Protocol):
    def __init__(self, inbox: Inbox) -> None:
        self.inbox = inbox
        self.transport: Any = None
        self.lost: asyncio.Future[None] = \
            asyncio.get_running_loop().create_future()

    def connection_made(self, transport: Any) -> None:
        self.transport = transport

    def data_received(self, data: bytes) -> None:
        self.inbox.feed(data)

    def connection_lost(self, exc: Exception | None) -> None:
        self.inbox.end(exc)
        if not self.lost.done():
            self.lost.set_result(None)


class _SerialLink(Link):
    def __init__(self, inbox: Inbox, device: str,
                 protocol: _SerialProtocol) -> None:
        super().__init__(inbox, device, None)
        self.protocol = protocol

    def write(self, data: bytes) -> None:
        transport = self.protocol.transport
        if transport is not None and not transport.is_closing():
            transport.write(data)

    def send_break(self, duration: float) -> None:
        self.protocol.transport.serial.send_break(duration)

    async def close(self) -> None:
        transport = self.protocol.transport
        if transport is not None:
            transport.close()
        await self.protocol.lost


class _SerialKind:
    kind = "serial"
    secrets: Any
    login: Any
    context: Mapping[str, Any] | None

    def __init__(self, device: str, baudrate: int = 9600, *,
                 bytesize: int = 8, parity: str = "N", stopbits: float = 1,
                 xonxoff: bool = False, rtscts: bool = False,
                 username: Any = None, password: Any = None,
                 prompt: str = DEFAULT_PROMPT, wake: bool = True,
                 **session_options: Any) -> None:
        if not isinstance(device, str) or not device:
            raise TypeError("device must be a non-empty str")
        self.device = device
        self.settings = {"baudrate": baudrate, "bytesize": bytesize,
                         "parity": parity, "stopbits": stopbits,
                         "xonxoff": xonxoff, "rtscts": rtscts}
        self.username = username
        self._password = password
        self.prompt = prompt
        self.wake = wake
        super().__init__(**session_options)
        self._default_login()

    def _default_login(self) -> None:
        if self.login is None and self.username is not None:
            self.login = login_dialog(self.prompt)
            context = dict(self.context or {})
            context.update(login_context(self.username, self._password))
            self.context = context
        if self._password is not None:
            self.secrets.add(self._password)

    @property
    def host(self) -> str:
        return self.device

    @property
    def port(self) -> None:
        return None

    async def _connect(self, inbox: Inbox) -> Link:
        loop = asyncio.get_running_loop()
        try:
            transport, protocol = \
                await serial_asyncio_fast.create_serial_connection(
                loop, lambda: _SerialProtocol(inbox), self.device,
                **self.settings)
        except (OSError, serial.SerialException) as exc:
            raise ConnectError("cannot open %s: %s" % (
                self.device, getattr(exc, "strerror", None) or exc),
                self.device, None) from None
        assert isinstance(protocol, _SerialProtocol)
        # connection_made() comes on the loop's next turn.
        protocol.transport = transport
        if self.wake and self.login is not None:
            # Opening the port dropped whatever the console said before:
            # an Enter makes it say its prompt again.
            protocol.transport.write(b"\r")
        return _SerialLink(inbox, self.device, protocol)


_DOC = """A serial line, {face}: ``SerialSession("/dev/ttyUSB0",
baudrate=9600, ...)``.  ``baudrate``, ``bytesize``, ``parity`` ("N",
"E", "O", "M", "S"), ``stopbits``, ``xonxoff`` and ``rtscts`` are the
line settings.  With ``username`` (and ``password``) and no ``login``
dialog, the session answers a console's login prompts until ``prompt``.
With a login dialog, ``wake`` sends an Enter as soon as the line is open,
for a console that showed its prompt before (opening the port drops what
arrived before).  The other arguments are :class:`~tavrel.sessions.SessionBase`'s.
"""


class SerialSession(_SerialKind, Session):
    __doc__ = _DOC.format(face="sync")

    def __enter__(self) -> SerialSession:
        self.open()
        return self


class AsyncSerialSession(_SerialKind, AsyncSession):
    __doc__ = _DOC.format(face="async")

    async def __aenter__(self) -> AsyncSerialSession:
        await self.open()
        return self
