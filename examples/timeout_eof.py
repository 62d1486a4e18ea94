# examples/timeout_eof.py: timeout and end-of-file handlers
from __future__ import annotations

from collections.abc import MutableMapping
from typing import Any

import pexpect

from tavrel.eal.dialogs import Dialog, Statement

# A console that stays silent until it gets an Enter, then prompts for
# commands; "logout" ends the session.
CONSOLE = r"""
read -r
while read -r -p "console> " command; do
    [ "$command" = "logout" ] && echo "Bye" && exit 0
done
"""


def wake_up(spawn: pexpect.spawn[str],
            session: MutableMapping[str, Any]) -> None:
    session["wake_ups"] = session.get("wake_ups", 0) + 1
    spawn.sendline("")


def closed(session: MutableMapping[str, Any]) -> None:
    session["closed"] = True


# The timeout statement runs when nothing has matched for `timeout` seconds;
# with loop_continue=True the dialog goes on with a fresh clock.
wake = Dialog([
    [r"console> $", None],
    ["__timeout__", wake_up, None, True, False],
])
# The end-of-file statement runs when the session ends; it is kept apart
# from the statements that are matched.
logout = Dialog([
    Statement(r"console> $", loop_continue=True),
    Statement("__eof__", closed),
])
assert logout.eof_statement is not None and len(logout.statements) == 1

session: dict[str, Any] = {}
child = pexpect.spawn("bash", ["--norc", "--noprofile", "-c", CONSOLE],
                      encoding="utf-8")
result = wake.process(child, timeout=0.5, session=session)
assert result.kind == "match" and session["wake_ups"] >= 1

child.sendline("logout")
result = logout.process(child, timeout=5, session=session)
print(result.kind, session, result.output.split())
assert result.kind == "eof" and result.statement is logout.eof_statement
assert session["closed"] and "Bye" in result.output

# A timeout statement without loop_continue ends the dialog: the result
# tells it apart from a match.
child = pexpect.spawn("bash", ["--norc", "--noprofile", "-c", CONSOLE],
                      encoding="utf-8")
patient = Dialog([[r"console> $", None], ["__timeout__", None]])
result = patient.process(child, timeout=0.2)
print(result.kind)
assert result.kind == "timeout" and result.statement is patient.timeout_statement
child.close(force=True)
