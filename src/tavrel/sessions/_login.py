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
REFUSED = (r"(?i)login incorrect|login invalid|authentication fail"
           r"|access denied|permission denied")


def login_dialog(host: str | None, port: int | None, prompt: str) -> Any:
    """Answer the user name and password prompts with the credentials
    ``context["credentials"]["session"]`` until ``prompt`` (left in the
    session's buffer); a refusal raises :class:`LoginError`."""
    from tavrel.eal.dialogs import Dialog, Statement

    def refused() -> None:
        where = host if port is None else "%s:%d" % (host, port)
        raise LoginError("%s refused the login" % where, host, port)

    return Dialog([
        # Before the prompts: a refusal comes with the next prompt.
        Statement(REFUSED, refused),
        Statement(r"(?i)(user ?name|login): *$",
                  "sendline_cred_user(%s)" % CREDENTIAL, loop_continue=True),
        Statement(r"(?i)password: *$",
                  "sendline_cred_pass(%s)" % CREDENTIAL, loop_continue=True),
        # The prompt stays in the buffer, for the caller's next dialog.
        Statement(prompt, trim_buffer=False),
    ])


def login_context(username: Any, password: Any) -> dict[str, Any]:
    return {"credentials": {CREDENTIAL: {"username": username,
                                         "password": password}}}
