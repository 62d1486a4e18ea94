"""SSH sessions, in-process (asyncssh): a shell on a pty, or a command.

Logging in takes a password, keys (files or objects), the SSH agent, or
keyboard-interactive prompts answered by a dialog.  The server's host key
is checked against ``~/.ssh/known_hosts`` unless told otherwise
(``known_hosts=None`` turns the check off).  Every step is bounded:
``connect_timeout`` for reaching the server and the key exchange,
``login_timeout`` for the authentication and opening the shell.
"""

from __future__ import annotations

import asyncio
import os
import socket
import warnings
from collections.abc import Mapping, Sequence
from typing import Any

from tavrel.core.errors import (ConnectError, ConnectTimeoutError,
                                HostKeyError, LoginError, SessionError)
from tavrel.sessions._base import (AsyncSession, Link, Session, _address,
                                   check_port, optional_seconds, seconds)
from tavrel.sessions._inbox import Inbox
from tavrel.utils import to_plaintext

with warnings.catch_warnings():
    # cryptography warns about the DSA support asyncssh still imports.
    warnings.simplefilter("ignore")
    import asyncssh

__all__ = ["SSHSession", "AsyncSSHSession"]

#: ``known_hosts`` by default: the user's file, which must know the host.
DEFAULT_KNOWN_HOSTS = "~/.ssh/known_hosts"


# How long closing waits for the server to close the channel as well.
_CHANNEL_GRACE = 1.0


def _ciphers() -> list[str]:
    """The ciphers offered, most wanted first: asyncssh's, with AES-GCM
    before ChaCha20-Poly1305.  Both are strong; asyncssh makes ChaCha20 a
    new cipher object for every packet, which costs a fifth of a session's
    CPU at login and in long output, where AES-GCM runs in the processor's
    AES instructions.  A server that offers no AES-GCM gets ChaCha20 as
    before; ``options={"encryption_algs": ...}`` chooses otherwise."""
    offered = [name.decode("ascii") for name
               in asyncssh.encryption.get_default_encryption_algs()]
    gcm = [name for name in offered if name.endswith("-gcm@openssh.com")]
    return gcm + [name for name in offered if name not in gcm]


_CIPHERS = _ciphers()


def _answers(dialog: Any, context: Mapping[str, Any] | None, name: str,
             instructions: str, prompts: Sequence[tuple[str, bool]]
             ) -> list[str] | None:
    """Keyboard-interactive prompts answered by a dialog: each prompt is
    played to it as a session's output, and what it sends (without the
    line end) is the answer."""
    # Imported here: the testing module is no cost to sessions without a
    # keyboard-interactive dialog.
    from tavrel.core.errors import DialogEOFError, DialogTimeoutError
    from tavrel.testing import ScriptedSpawn

    answers = []
    head = "".join(text + "\n" for text in (name, instructions) if text)
    for prompt, _echo in prompts:
        spawn = ScriptedSpawn(head + prompt, eof=False)
        head = ""
        try:
            dialog.process(spawn, timeout=1, context=context)
        except (DialogTimeoutError, DialogEOFError):
            pass
        if not spawn.sent:
            return None
        answer = "".join(spawn.sent)
        answers.append(answer[:-1] if answer.endswith("\n") else answer)
    return answers


class _Client(asyncssh.SSHClient):
    def __init__(self, reached: asyncio.Future[None], dialog: Any,
                 context: Mapping[str, Any] | None) -> None:
        self.reached = reached
        self.dialog = dialog
        self.context = context
        self.kbdint_tried = False

    def connection_made(self, conn: asyncssh.SSHClientConnection) -> None:
        if not self.reached.done():
            self.reached.set_result(None)

    def kbdint_auth_requested(self) -> str | None:
        # Once: answers refused once would be refused again (the server
        # would otherwise ask until the login times out).
        if self.dialog is None or self.kbdint_tried:
            return None
        self.kbdint_tried = True
        return ""

    def kbdint_challenge_received(self, name: str, instructions: str,
                                  lang: str,
                                  prompts: Sequence[tuple[str, bool]]
                                  ) -> Sequence[str] | None:
        if not prompts:
            return []
        return _answers(self.dialog, self.context, name, instructions,
                        prompts)


class _Channel(asyncssh.SSHClientSession):  # type: ignore[type-arg]
    def __init__(self, inbox: Inbox, link: _SSHLink) -> None:
        self.inbox = inbox
        self.link = link

    def data_received(self, data: bytes, datatype: Any) -> None:
        self.inbox.feed(data)

    def exit_status_received(self, status: int) -> None:
        self.link.exit_status = status

    def exit_signal_received(self, signal: str, core_dumped: bool,
                             msg: str, lang: str) -> None:
        self.link.exit_signal = signal

    def connection_lost(self, exc: Exception | None) -> None:
        self.inbox.end(exc)


class _SSHLink(Link):
    def __init__(self, inbox: Inbox, host: str, port: int,
                 conn: asyncssh.SSHClientConnection, own: bool) -> None:
        super().__init__(inbox, host, port)
        self.conn = conn
        # Whether the connection is ours to close (not a caller's).
        self.own = own
        self.channel: asyncssh.SSHClientChannel[bytes] | None = None
        self.exit_signal: str | None = None

    def write(self, data: bytes) -> None:
        channel = self.channel
        if channel is not None and not channel.is_closing():
            channel.write(data)

    def set_size(self, rows: int, cols: int) -> None:
        if self.channel is not None:
            self.channel.change_terminal_size(cols, rows)

    def send_break(self, duration: float) -> None:
        if self.channel is not None:
            self.channel.send_break(int(duration * 1000))

    async def close(self) -> None:
        channel = self.channel
        if channel is not None:
            channel.close()
            # The channel's end first: what the server sent before it (its
            # exit status, right after its last words) is read, not cut
            # off with the connection.  A server that never answers gets
            # a second.
            try:
                await asyncio.wait_for(channel.wait_closed(), _CHANNEL_GRACE)
            except asyncio.TimeoutError:
                pass
        if self.own:
            self.conn.close()
            await self.conn.wait_closed()
        self.inbox.end()


def _known_hosts(value: Any) -> Any:
    if value is None or not isinstance(value, str) \
            or value != DEFAULT_KNOWN_HOSTS:
        return value
    path = os.path.expanduser(value)
    # No file: no host is known, so every host key is refused (rather than
    # asyncssh's fallback to the ssh configuration's defaults).
    return path if os.path.exists(path) else b""


def _error(exc: BaseException, host: str, port: int,
           known_hosts: Any) -> SessionError:
    where = _address(host, port)
    if isinstance(exc, asyncssh.PermissionDenied):
        return LoginError("%s refused the login" % where, host, port)
    if isinstance(exc, asyncssh.HostKeyNotVerifiable):
        if known_hosts == b"":
            detail = "no known_hosts file at %s" % DEFAULT_KNOWN_HOSTS
        else:
            detail = exc.reason or "it is not the key known for the host"
        return HostKeyError(
            "the host key of %s is not trusted: %s (known_hosts=None "
            "turns the check off)" % (where, detail), host, port)
    if isinstance(exc, ConnectionRefusedError):
        return ConnectError("%s refused the connection" % where, host, port)
    if isinstance(exc, socket.gaierror):
        return ConnectError("cannot find %s: %s" % (host, exc.strerror),
                            host, port)
    if isinstance(exc, asyncssh.ChannelOpenError):
        return ConnectError("%s refused to open a session: %s"
                            % (where, exc.reason), host, port)
    if isinstance(exc, asyncssh.DisconnectError):
        return ConnectError("%s closed the connection: %s"
                            % (where, exc.reason), host, port)
    if isinstance(exc, OSError):
        return ConnectError("cannot reach %s: %s"
                            % (where, exc.strerror or exc), host, port)
    return ConnectError("cannot connect to %s: %s"
                        % (where, type(exc).__name__), host, port)


class _SSHKind:
    """What both faces of an SSH session share."""

    kind = "ssh"
    secrets: Any
    context: Mapping[str, Any] | None
    login_timeout: float

    def __init__(self, host: str, port: int = 22, *,
                 username: str | None = None, password: Any = None,
                 client_keys: Any = (), passphrase: Any = None,
                 agent_path: Any = (),
                 known_hosts: Any = DEFAULT_KNOWN_HOSTS,
                 kbdint: Any = None, tunnel: Any = None,
                 command: str | None = None,
                 term_type: str | None = "xterm",
                 dimensions: tuple[int, int] = (24, 80),
                 keepalive: float | None = None,
                 connect_timeout: float = 30,
                 options: Mapping[str, Any] | None = None,
                 **session_options: Any) -> None:
        if not isinstance(host, str) or not host:
            raise TypeError("host must be a non-empty str")
        self._host = host
        self._port = check_port(port)
        self.username = username
        self._password = password
        self._client_keys = client_keys
        self._passphrase = passphrase
        self._agent_path = agent_path
        self.known_hosts = known_hosts
        self.kbdint = kbdint
        self.tunnel = tunnel
        self.command = command
        self.term_type = term_type
        rows, cols = dimensions
        self.dimensions = (int(rows), int(cols))
        self.keepalive = optional_seconds(keepalive, "keepalive")
        self.connect_timeout = seconds(connect_timeout, "connect_timeout")
        self.options = dict(options or {})
        self.connection: asyncssh.SSHClientConnection | None = None
        super().__init__(**session_options)

    @property
    def host(self) -> str:
        return self._host

    @property
    def port(self) -> int:
        return self._port

    def _remember_secrets(self) -> None:
        for value in (self._password, self._passphrase):
            if value is not None:
                self.secrets.add(value)

    def _connect_options(self, reached: asyncio.Future[None]
                         ) -> dict[str, Any]:
        options: dict[str, Any] = {
            "host": self._host, "port": self._port,
            "known_hosts": _known_hosts(self.known_hosts),
            "encryption_algs": _CIPHERS,
            "client_factory": lambda: _Client(reached, self.kbdint,
                                              self.context),
        }
        if self.username is not None:
            options["username"] = self.username
        if self._password is not None:
            options["password"] = to_plaintext(self._password)
        if self._client_keys != ():
            options["client_keys"] = self._client_keys
        if self._passphrase is not None:
            options["passphrase"] = to_plaintext(self._passphrase)
        if self._agent_path != ():
            options["agent_path"] = self._agent_path
        if self.kbdint is None and self._password is None:
            options.setdefault("kbdint_auth", False)
        tunnel = self.tunnel
        if tunnel is not None:
            options["tunnel"] = getattr(tunnel, "connection", None) or tunnel
        if self.keepalive:
            options["keepalive_interval"] = self.keepalive
            options["keepalive_count_max"] = 3
        options.update(self.options)
        return options

    async def _connect(self, inbox: Inbox) -> Link:
        self._remember_secrets()
        host, port = self._host, self._port
        loop = asyncio.get_running_loop()
        reached: asyncio.Future[None] = loop.create_future()
        options = self._connect_options(reached)
        connecting: asyncio.Future[asyncssh.SSHClientConnection] = \
            asyncio.ensure_future(asyncssh.connect(**options))
        conn = None
        try:
            try:
                steps: set[asyncio.Future[Any]] = {connecting, reached}
                await asyncio.wait(steps,
                                   timeout=self.connect_timeout,
                                   return_when=asyncio.FIRST_COMPLETED)
                if not connecting.done() and not reached.done():
                    raise ConnectTimeoutError(
                        "connecting to %s took longer than %g s"
                        % (_address(host, port), self.connect_timeout),
                        host, port)
                try:
                    conn = await asyncio.wait_for(asyncio.shield(connecting),
                                                  self.login_timeout)
                except asyncio.TimeoutError:
                    raise ConnectTimeoutError(
                        "logging in to %s took longer than %g s"
                        % (_address(host, port), self.login_timeout),
                        host, port) from None
                link = _SSHLink(inbox, host, port, conn, own=True)
                link.channel, _ = await asyncio.wait_for(
                    conn.create_session(
                        lambda: _Channel(inbox, link), self.command,
                        term_type=self.term_type,
                        term_size=(self.dimensions[1], self.dimensions[0]),
                        request_pty=self.term_type is not None,
                        encoding=None),
                    self.login_timeout)
            except SessionError:
                raise
            except asyncio.TimeoutError:
                raise ConnectTimeoutError(
                    "opening a session on %s took longer than %g s"
                    % (_address(host, port), self.login_timeout),
                    host, port) from None
            except (OSError, asyncssh.Error) as exc:
                raise _error(exc, host, port,
                             options["known_hosts"]) from None
        except BaseException:
            if not connecting.done():
                connecting.cancel()
            await _settle(connecting)
            if conn is None and connecting.done() \
                    and not connecting.cancelled() \
                    and connecting.exception() is None:
                conn = connecting.result()
            if conn is not None:
                conn.abort()
                await _settle(asyncio.ensure_future(conn.wait_closed()))
            raise
        self.connection = conn
        return link


async def _settle(task: asyncio.Future[Any]) -> None:
    """Let a cancelled or failed step finish tidying up, however long the
    caller's own cancellation asks: bounded."""
    try:
        await asyncio.wait_for(asyncio.shield(task), 5)
    except BaseException:
        pass


_DOC = """An SSH session, {face}: a shell (or ``command``) on the server.

``SSHSession(host, port=22, username=None, password=None, ...)``.
Logging in: ``password`` (a str or SecretText), ``client_keys`` (key files
or keys; by default those of ``~/.ssh``), ``passphrase`` for them, the
agent at ``agent_path`` (by default ``$SSH_AUTH_SOCK``; None: no agent),
and keyboard-interactive prompts answered by the dialog ``kbdint`` (each
prompt is its output, what it sends is the answer; ``context`` is handed
to it).  ``known_hosts`` (a path, a list of them, or known_hosts text as
bytes) is what the server's host key is checked against, by default
``~/.ssh/known_hosts``; a key that is not known for the host raises
:class:`~tavrel.core.errors.HostKeyError`; ``known_hosts=None`` turns the
check off.  ``tunnel`` is a jump host: "user@host:port", an asyncssh
connection, or another SSH session.  ``command`` runs a command instead of
the shell; ``term_type`` (None: no pty) and ``dimensions`` (rows, columns)
set the terminal.  ``keepalive`` sends a keepalive every that many seconds
(three unanswered end the session).  ``connect_timeout`` bounds reaching
the server, ``login_timeout`` the login and opening the shell.
AES-GCM is offered before ChaCha20-Poly1305 (the cheaper of the two
here).  ``options`` go to ``asyncssh.connect`` as they are (they override
what the session sets, ``encryption_algs`` included).  The other arguments
are :class:`~tavrel.sessions.SessionBase`'s (``login``, ``context``,
``login_timeout``, ``transcript``...); ``connection`` is the asyncssh
connection once open.
"""


class SSHSession(_SSHKind, Session):
    __doc__ = _DOC.format(face="sync")

    def __enter__(self) -> SSHSession:
        self.open()
        return self


class AsyncSSHSession(_SSHKind, AsyncSession):
    __doc__ = _DOC.format(face="async")

    async def __aenter__(self) -> AsyncSSHSession:
        await self.open()
        return self
