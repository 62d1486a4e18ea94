# examples/quickstart.py: log in to the simulated switch that ships with tavrel
from __future__ import annotations

import sys

import pexpect

from tavrel.eal.dialogs import Dialog
from tavrel.utils import SecretText

# The password is looked up when it is sent, and masked in logs and errors.
context = {"credentials": {
    "switch": {"username": "admin", "password": SecretText("tavrel")},
}}

login = Dialog([
    # Statements are tried in list order: the refusal comes first, or the
    # login prompt that follows it would answer again and again.
    [r"% Login invalid", None],
    [r"Username: $", "sendline_cred_user(switch)", None, True, False],
    [r"Password: $", "sendline_cred_pass(switch)", None, True, False],
    [r"\[yes/no\]: $", "sendline(no)", None, True, False],
    [r"SW-1>$", None],
])

switch = pexpect.spawn(sys.executable, ["-m", "tavrel.demo.device"],
                       encoding="utf-8")
result = login.process(switch, timeout=30, context=context)
print(result.kind, repr(result.pattern))
assert result.pattern == r"SW-1>$", "the switch did not let us in"
switch.sendline("exit")
switch.expect(pexpect.EOF)
