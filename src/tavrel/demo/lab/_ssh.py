"""The lab's SSH server (asyncssh): each shell a switch session."""

from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Any

from tavrel.demo.switch import StreamTerminal

with warnings.catch_warnings():
    # cryptography warns about the DSA support asyncssh still imports.
    warnings.simplefilter("ignore")
    import asyncssh

if TYPE_CHECKING:
    from tavrel.demo.lab import Lab

__all__ = ["serve_ssh"]


class _SwitchSession(asyncssh.SSHServerSession):  # type: ignore[type-arg]
    def __init__(self, lab: Lab) -> None:
        self.lab = lab
        self.chan: Any = None
        self.terminal: StreamTerminal | None = None
        self.task: Any = None

    def connection_made(self, chan: Any) -> None:
        self.chan = chan

    def pty_requested(self, term_type: str, term_size: Any,
                      term_modes: Any) -> bool:
        return True

    def shell_requested(self) -> bool:
        return True

    def session_started(self) -> None:
        self.terminal = StreamTerminal(self._send)
        self.task = self.lab.run_switch(self.terminal,
                                        login=self.lab.console,
                                        done=self._done)

    def _send(self, data: bytes) -> None:
        if not self.chan.is_closing():
            self.chan.write(data)

    def _done(self, status: int | None) -> None:
        if status is not None and not self.chan.is_closing():
            self.chan.exit(status)

    def data_received(self, data: bytes, datatype: Any) -> None:
        if self.terminal is not None:
            self.terminal.feed(data)

    def eof_received(self) -> bool:
        if self.terminal is not None:
            self.terminal.feed_eof()
        return False

    def connection_lost(self, exc: Exception | None) -> None:
        if self.terminal is not None:
            self.terminal.feed_eof()
        if self.task is not None:
            self.task.cancel()


class _Server(asyncssh.SSHServer):
    def __init__(self, lab: Lab) -> None:
        self.lab = lab
        self.conn: Any = None

    def connection_made(self, conn: Any) -> None:
        self.conn = conn

    def begin_auth(self, username: str) -> bool:
        if self.lab.authorized_keys is not None:
            self.conn.set_authorized_keys(self.lab.authorized_keys)
        return True

    def password_auth_supported(self) -> bool:
        return True

    def validate_password(self, username: str, password: str) -> bool:
        return (username == self.lab.username
                and password == self.lab.password)

    def kbdint_auth_supported(self) -> bool:
        return True

    def get_kbdint_challenge(self, username: str, lang: str,
                             submethods: str) -> Any:
        return ("", "", "", [(prompt, False)
                             for prompt in self.lab.kbdint_prompts])

    def validate_kbdint_response(self, username: str,
                                 responses: Any) -> bool:
        wanted = [self.lab.password] + self.lab.kbdint_answers
        return (username == self.lab.username
                and list(responses) == wanted[:len(self.lab.kbdint_prompts)])

    def session_requested(self) -> Any:
        return _SwitchSession(self.lab)

    def connection_requested(self, dest_host: str, dest_port: int,
                             orig_host: str, orig_port: int) -> bool:
        # A jump host, to the lab's own host only.
        return dest_host == self.lab.host


async def serve_ssh(lab: Lab) -> tuple[Any, int, bytes]:
    """(the server, its port, known_hosts text for it)."""
    key = lab.host_key
    if key is None:
        key = asyncssh.generate_private_key("ssh-ed25519")
    elif isinstance(key, str):
        key = asyncssh.read_private_key(key)
    server = await asyncssh.create_server(
        lambda: _Server(lab), lab.host, lab.ssh_port or 0,
        server_host_keys=[key], encoding=None, line_editor=False,
        # Thousands of clients may knock at once.
        backlog=4096, login_timeout=60)
    port = server.sockets[0].getsockname()[1]
    public = key.export_public_key()
    known_hosts = b"[%s]:%d " % (lab.host.encode(), port) + public
    if lab.host in ("127.0.0.1", "localhost"):
        other = "localhost" if lab.host == "127.0.0.1" else "127.0.0.1"
        known_hosts += b"[%s]:%d " % (other.encode(), port) + public
    return server, port, known_hosts
