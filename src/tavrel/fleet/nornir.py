"""tavrel as a Nornir connection plugin, and Nornir tasks that use it.

Installing tavrel registers the connection plugin ``"tavrel"`` through
Nornir's entry points (``nornir.plugins.connections``), so a Nornir
inventory and runner use it as they use any other connection plugin::

    from tavrel.fleet.nornir import tavrel_command
    result = nr.run(task=tavrel_command, command="show version")

The connection is a sync :class:`tavrel.devices.Device`, opened on an
:class:`~tavrel.sessions.SSHSession` or a
:class:`~tavrel.sessions.TelnetSession`.  The host's ``platform`` names
the tavrel platform (``network_cli``, the default, or ``posix_shell``);
Nornir's ``connection_options`` for ``tavrel`` may give another one, and
its ``extras`` are:

``session``
    ``"ssh"`` (the default) or ``"telnet"`` (which ignores the SSH
    options, so that one set of extras serves both).
``platform``
    a :class:`tavrel.devices.Platform` (a derived or YAML one), used in
    place of the name.
``credentials``
    the device's credentials, such as ``{"enable": {"password": ...}}``
    (texts are wrapped as :class:`~tavrel.utils.SecretText`).
``timeout``
    the device's step timeout (30 s).
anything else
    the session's keyword arguments: ``known_hosts``, ``connect_timeout``,
    ``login_timeout``, ``client_keys``, ``transcript``...
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from nornir.core.configuration import Config
from nornir.core.task import Result, Task

from tavrel.core.errors import LoginError
from tavrel.devices import NETWORK_CLI, Device, Platform
from tavrel.fleet._runner import SSH_ONLY
from tavrel.fleet._runner import platform_named as _platform_named
from tavrel.eal.dialogs import Dialog, Statement
from tavrel.sessions._login import PASSWORD_PROMPT, REFUSED, USER_PROMPT
from tavrel.utils import SecretText

__all__ = ["CONNECTION_NAME", "TavrelConnection", "tavrel_command",
           "tavrel_dialog", "platform_named"]

#: The name the plugin is registered under.
CONNECTION_NAME = "tavrel"

_SESSIONS = ("ssh", "telnet")


def platform_named(name: str | None) -> Platform:
    """The tavrel platform called ``name`` (None: the network CLI; else a
    built-in by name or ``module:NAME``); a clear error for any other
    name."""
    if name is None:
        return NETWORK_CLI
    try:
        return _platform_named(name)
    except ValueError as exc:
        raise ValueError(
            "%s; set the platform of the host's connection_options for %r, "
            "or give a Platform as its extras' 'platform'"
            % (exc, CONNECTION_NAME)) from None


# The name of the login's credentials among the device's.
_LOGIN = "login"


def _telnet_login(host: str, port: int) -> Dialog:
    """The user name and password prompts a device asks over telnet, put
    in front of its opening dialog (a question such as a setup dialog may
    come between the login and the first prompt)."""

    def refused() -> None:
        raise LoginError("%s:%d refused the login" % (host, port), host, port)

    return Dialog([
        Statement(REFUSED, refused),
        Statement(USER_PROMPT, "sendline_cred_user(%s)" % _LOGIN,
                  loop_continue=True),
        Statement(PASSWORD_PROMPT, "sendline_cred_pass(%s)" % _LOGIN,
                  loop_continue=True),
    ])


def _secret(value: Any) -> Any:
    return SecretText(value) if isinstance(value, str) else value


def _credentials(given: Any) -> dict[str, Any]:
    """The device's credentials with every text wrapped as a secret."""
    if not isinstance(given, Mapping):
        raise TypeError("the 'credentials' extra is a mapping of credential "
                        "names to mappings, not %s" % type(given).__name__)
    return {name: ({key: _secret(value) for key, value in fields.items()}
                   if isinstance(fields, Mapping) else fields)
            for name, fields in given.items()}


class TavrelConnection:
    """The ``"tavrel"`` connection plugin: ``connection`` is an open
    :class:`tavrel.devices.Device` (its ``session`` the tavrel session)."""

    def __init__(self) -> None:
        self._device: Device | None = None

    @property
    def connection(self) -> Device:
        """The open device."""
        if self._device is None:
            raise RuntimeError("the tavrel connection is not open")
        return self._device

    def open(self, hostname: str | None, username: str | None,
             password: str | None, port: int | None, platform: str | None,
             extras: dict[str, Any] | None = None,
             configuration: Config | None = None) -> None:
        """Open the session and the device on it, up to its first
        prompt."""
        if not hostname:
            raise ValueError("the host has no hostname to connect to")
        options = dict(extras or {})
        kind = options.pop("session", "ssh")
        if kind not in _SESSIONS:
            raise ValueError("the 'session' extra is one of %s, not %r"
                             % (", ".join(_SESSIONS), kind))
        chosen = options.pop("platform", None)
        device_platform = (chosen if isinstance(chosen, Platform)
                           else platform_named(chosen or platform))
        credentials = _credentials(options.pop("credentials", {}))
        timeout = float(options.pop("timeout", 30.0))
        session: Any
        if kind == "ssh":
            from tavrel.sessions import SSHSession

            session = SSHSession(hostname, port or 22, username=username,
                                 password=_secret(password), **options)
        else:
            from tavrel.sessions import TelnetSession

            # The device's opening dialog logs in: the session's own login
            # would stop at the first prompt-like line.
            session = TelnetSession(hostname, port or 23, **{
                key: value for key, value in options.items()
                if key not in SSH_ONLY})
            if username is not None:
                credentials[_LOGIN] = {"username": username,
                                       "password": _secret(password)}
        session.open()
        try:
            device = Device(session, device_platform,
                            credentials=credentials, timeout=timeout)
            if kind == "telnet":
                device.open_dialog = (_telnet_login(hostname, session.port)
                                      + device.open_dialog)
            self._device = device.open()
        except BaseException:
            session.close()
            raise

    def close(self) -> None:
        """Close the device's session."""
        device, self._device = self._device, None
        if device is not None:
            device.session.close()


def _device(task: Task) -> Device:
    device: Device = task.host.get_connection(CONNECTION_NAME,
                                              task.nornir.config)
    return device


def tavrel_command(task: Task, command: str, *, dialog: Dialog | None = None,
                   parse: Any = None, timeout: float | None = None) -> Result:
    """A Nornir task: ``command`` on the host's tavrel device
    (``Device.send_command``); the result is its output (parsed when
    ``parse`` is given).  ``dialog`` answers the command's questions."""
    output = _device(task).send_command(command, dialog=dialog, parse=parse,
                                        timeout=timeout)
    return Result(host=task.host, result=output)


def tavrel_dialog(task: Task, dialog: Dialog, *, command: str | None = None,
                  timeout: float | None = None,
                  context: Mapping[str, Any] | None = None) -> Result:
    """A Nornir task: ``dialog`` run on the host's tavrel session, after
    sending the line ``command`` when one is given.  The dialog reads what
    the device reads (terminal escapes removed, nothing it has read but not
    consumed lost); the context is the device's (its ``credentials``)
    updated with ``context``.  The result is the
    :class:`~tavrel.eal.dialog_processor.DialogResult`; a dialog that ends
    in a timeout or end of file without a statement for it fails the task
    with the engine's error."""
    device = _device(task)
    merged = dict(device.context)
    merged.update(context or {})
    stream = device._stream_of()
    if command is not None:
        stream.sendline(command)
    result = dialog.process(stream, timeout=timeout or device.timeout,
                            context=merged)
    return Result(host=task.host, result=result)
