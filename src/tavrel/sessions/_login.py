"""The login dialog a session runs when it is given a user name and a
password but no dialog of its own (telnet, a console)."""

from __future__ import annotations

from typing import Any

from tavrel.core.errors import LoginError

__all__ = ["DEFAULT_PROMPT", "login_dialog", "CREDENTIAL"]

#: A shell or device prompt: a line ending in ``$``, ``#``, ``>`` or ``%``
#: and a space or not, maybe with terminal escapes after it.
DEFAULT_PROMPT = r"[$#>%] ?(?:\x1b\[[0-9;?]*[A-Za-z])*$"
#: The name of the session's own credentials in the login context.
CREDENTIAL = "session"
USER_PROMPT = r"(?i)(user ?name|login): *$"
PASSWORD_PROMPT = r"(?i)password: *$"
REFUSED = (r"(?i)login incorrect|login invalid|authentication fail"
           r"|access denied|permission denied")


def _refused(spawn: Any) -> None:
    # The spawn is the session logging in.
    host = getattr(spawn, "host", None)
    port = getattr(spawn, "port", None)
    where = host if port is None else "%s:%d" % (host, port)
    raise LoginError("%s refused the login" % where, host, port)


def login_dialog(prompt: str) -> Any:
    """Answer the user name and password prompts with the credentials
    ``context["credentials"]["session"]`` until ``prompt`` (left in the
    session's buffer); a refusal raises :class:`LoginError` naming the
    session's host and port."""
    from tavrel.eal.dialogs import Dialog, Statement

    return Dialog([
        # Before the prompts: a refusal comes with the next prompt.
        Statement(REFUSED, _refused),
        Statement(USER_PROMPT, "sendline_cred_user(%s)" % CREDENTIAL,
                  loop_continue=True),
        Statement(PASSWORD_PROMPT, "sendline_cred_pass(%s)" % CREDENTIAL,
                  loop_continue=True),
        # The prompt stays in the buffer, for the caller's next dialog.
        Statement(prompt, trim_buffer=False),
    ])


def login_context(username: Any, password: Any) -> dict[str, Any]:
    return {"credentials": {CREDENTIAL: {"username": username,
                                         "password": password}}}
