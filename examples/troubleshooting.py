# examples/troubleshooting.py: escape sequences around a prompt; list order
from __future__ import annotations

import os
import re
import time
from typing import Any

import pexpect

from tavrel.core.errors import DialogEOFError
from tavrel.eal.dialogs import Dialog

# Control sequences a terminal program may write around its prompt: CSI ones
# (colours such as \x1b[0m, bash's bracketed paste switch \x1b[?2004h) and
# OSC ones (a window title, \x1b]0;...\x07).
ESC = r"(?:\x1b\[[0-?]*[ -/]*[@-~]|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\))"
PROMPT = rf"lab> {ESC}*$"

# An interactive bash whose prompt sets the window title and resets the
# colour after its last character, as many users' prompts do.
env = {"PATH": os.environ["PATH"], "TERM": "xterm", "INPUTRC": "/dev/null",
       "PS1": r"\[\e]0;lab\a\]lab> \[\e[0m\]"}
child = pexpect.spawn("bash", ["--norc", "--noprofile", "-i"], env=env,
                      encoding="utf-8", timeout=10)
child.delaybeforesend = None  # no pause before each send
shell = Dialog([[PROMPT, None]])
result = shell.process(child, timeout=10)
print(repr(result.output))
assert re.search(r"lab> $", result.output) is None  # a bare "lab> $" waits
child.sendline("echo ready")
result = shell.process(child, timeout=10)
assert "ready" in result.output
child.sendline("exit")
child.expect(pexpect.EOF)


# List order wins over output order: when a refusal and the next password
# prompt have arrived together, only a statement standing before the
# prompt's sees the refusal.
def refused(spawn: pexpect.spawn[str]) -> None:
    raise PermissionError("the password was refused")


LOGIN = 'echo "Login incorrect"; read -r -s -p "Password: " p'
refusal: list[Any] = [r"Login incorrect", refused]
password: list[Any] = [r"Password: $", "sendline(wrong)", None, True]
# In the second order the password is sent again, the refusal is consumed
# unseen, and the dialog only fails when the session ends.
for statements, outcome in (([refusal, password], PermissionError),
                            ([password, refusal], DialogEOFError)):
    child = pexpect.spawn("bash", ["--norc", "--noprofile", "-c", LOGIN],
                          encoding="utf-8", timeout=10)
    time.sleep(0.5)  # both lines are waiting by now
    try:
        Dialog(statements).process(child, timeout=10)
    except Exception as exc:
        print(type(exc).__name__)
        assert isinstance(exc, outcome)
    else:
        raise AssertionError("the dialog did not fail")
    child.close(force=True)
