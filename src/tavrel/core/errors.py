"""Exceptions raised by tavrel."""

from __future__ import annotations


class StatementValidationError(Exception):
    """A dialog statement was built with arguments that do not fit together."""


class DialogTimeoutError(TimeoutError):
    """No statement ended a dialog before its timeout ran out.

    ``timeout`` is the timeout in seconds and ``tail`` the end of the output
    that no statement matched (credentials masked).
    """

    def __init__(self, message: str, timeout: float | None = None,
                 tail: str = "") -> None:
        super().__init__(message)
        self.timeout = timeout
        self.tail = tail


class DialogEOFError(EOFError):
    """The session ended before a statement ended the dialog.

    ``tail`` is the end of the output that no statement matched (credentials
    masked).
    """

    def __init__(self, message: str, tail: str = "") -> None:
        super().__init__(message)
        self.tail = tail


# -- sessions ---------------------------------------------------------------


class SessionError(Exception):
    """A session could not be opened, or broke.

    ``host`` and ``port`` name the far end (for a local program, its name
    and None; for a serial line, the device and None).  The message never
    holds a password or other secret.
    """

    def __init__(self, message: str, host: str | None = None,
                 port: int | None = None) -> None:
        super().__init__(message)
        self.host = host
        self.port = port


class ConnectError(SessionError, ConnectionError):
    """The far end could not be reached: refused, unreachable, no such
    host, the handshake failed."""


class ConnectTimeoutError(ConnectError, TimeoutError):
    """Connecting (or logging in) took longer than its timeout."""


class LoginError(SessionError, PermissionError):
    """The far end refused the credentials."""


class HostKeyError(SessionError):
    """The server's host key is not the one known for it (or none is
    known, and checking was not turned off)."""


class SessionClosedError(SessionError, EOFError):
    """The session is closed: it was closed, or the far end went away."""
