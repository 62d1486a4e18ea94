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


# -- devices ----------------------------------------------------------------


class DeviceError(Exception):
    """A device (:mod:`tavrel.devices`) did not do what it was asked.

    ``command`` is the command or configuration line it was asked, and
    ``output`` what it printed in answer (for a timeout or a dropped
    session: the end of it, secrets masked).
    """

    def __init__(self, message: str, command: str | None = None,
                 output: str = "") -> None:
        super().__init__(message)
        self.command = command
        self.output = output


class CommandTimeoutError(DeviceError, DialogTimeoutError):
    """The device's prompt did not come back in time; ``tail`` (and
    ``output``) is the end of what the device printed, masked."""

    def __init__(self, message: str, command: str | None = None,
                 timeout: float | None = None, tail: str = "") -> None:
        DeviceError.__init__(self, message, command, tail)
        self.timeout = timeout
        self.tail = tail


class DeviceEOFError(DeviceError, DialogEOFError):
    """The session ended while the device was running ``command``."""

    def __init__(self, message: str, command: str | None = None,
                 tail: str = "") -> None:
        DeviceError.__init__(self, message, command, tail)
        self.tail = tail


class ModeError(DeviceError):
    """A mode could not be entered: the device refused (a wrong enable
    password) or ended up in another mode.  ``mode`` is the mode asked."""

    def __init__(self, message: str, command: str | None = None,
                 output: str = "", mode: str | None = None) -> None:
        super().__init__(message, command, output)
        self.mode = mode


class ConfigError(DeviceError):
    """The device rejected a configuration line: ``command`` is the first
    line rejected, ``output`` what the device said to it, ``applied`` the
    lines it took before it."""

    def __init__(self, message: str, command: str | None = None,
                 output: str = "", applied: tuple[str, ...] = ()) -> None:
        super().__init__(message, command, output)
        self.applied = applied


class ConfigInterruptedError(DeviceError):
    """A configuration stopped short without a rejection: the device stopped
    answering, or the session ended.  ``command`` is the line in flight
    (the device may or may not have taken it), ``applied`` the lines before
    it, each of which the device answered with its prompt.  ``mode`` is
    the mode the device was brought back to, or None when that is not
    known: the device did not answer the way out of the configuration
    mode either, or the session is gone.  Such a device runs nothing more
    until ``open()`` has learned its prompt again."""

    def __init__(self, message: str, command: str | None = None,
                 output: str = "", applied: tuple[str, ...] = (),
                 mode: str | None = None) -> None:
        super().__init__(message, command, output)
        self.applied = applied
        self.mode = mode


class ConfigTimeoutError(ConfigInterruptedError, CommandTimeoutError):
    """The device stopped answering in the middle of a configuration."""

    def __init__(self, message: str, command: str | None = None,
                 timeout: float | None = None, tail: str = "",
                 applied: tuple[str, ...] = (),
                 mode: str | None = None) -> None:
        CommandTimeoutError.__init__(self, message, command, timeout, tail)
        self.applied = applied
        self.mode = mode


class ConfigEOFError(ConfigInterruptedError, DeviceEOFError):
    """The session ended in the middle of a configuration."""

    def __init__(self, message: str, command: str | None = None,
                 tail: str = "", applied: tuple[str, ...] = ()) -> None:
        DeviceEOFError.__init__(self, message, command, tail)
        self.applied = applied
        self.mode = None


# -- fleets -----------------------------------------------------------------


class InventoryError(ValueError):
    """An inventory could not be read: the message names the file, the
    host (or group) and the field at fault, never a credential's value."""


class CredentialError(InventoryError):
    """A credential reference could not be resolved: the environment
    variable is not set, or the file is missing or readable by others.
    The message names the reference, never the value."""
