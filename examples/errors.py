# examples/errors.py: what is raised, and when
from __future__ import annotations

from typing import Any

import pexpect

from tavrel.core.errors import (DialogEOFError, DialogTimeoutError,
                                StatementValidationError)
from tavrel.eal.dialogs import Dialog, Statement


def needs_user(spawn: pexpect.spawn[str], user: str) -> None:
    spawn.sendline(user)


# A statement checks its fields when it is built; the first fault is
# reported as StatementValidationError with a fixed message.
faults: list[tuple[str, dict[str, Any]]] = [
    ("x", {"loop_continue": 1}),
    ("x", {"action": "sendline (admin)"}),
    ("x", {"action": "send()"}),
    ("x", {"action": needs_user}),
    ("x", {"action": needs_user, "args": {"user": "admin", "retry": 3}}),
    ("__timeout__", {"continue_timer": True}),
]
for pattern, fields in faults:
    try:
        Statement(pattern, **fields)
    except StatementValidationError as exc:
        print("StatementValidationError:", exc)
    else:
        raise AssertionError(fields)

# A dialog checks its container and each element, and + takes dialogs only.
# A type checker reports these calls as well.
try:
    Dialog("not a list")  # type: ignore[call-overload]
except Exception as exc:
    print(type(exc).__name__ + ":", exc)
try:
    Dialog([["x", None], 5])  # type: ignore[list-item]
except TypeError as exc:
    print("TypeError:", exc)
try:
    Dialog() + [["x", None]]  # type: ignore[operator]
except TypeError as exc:
    print("TypeError:", exc)

# The processor raises when no statement ends the dialog in time, or when
# the session ends first, unless the dialog has a statement for that.
prompt = Dialog([[r"\$ $", None]])
child = pexpect.spawn("bash", ["--norc", "--noprofile", "-c",
                               "echo starting; sleep 5"], encoding="utf-8")
try:
    prompt.process(child, timeout=1)
except DialogTimeoutError as exc:
    print("DialogTimeoutError:", exc)
    assert exc.timeout == 1
child.close(force=True)

child = pexpect.spawn("bash", ["--norc", "--noprofile", "-c", "echo bye"],
                      encoding="utf-8")
try:
    prompt.process(child, timeout=5)
except DialogEOFError as exc:
    print("DialogEOFError:", exc)
    assert "bye" in exc.tail
