# examples/three_ways.py: one login dialog built three ways, run with pexpect
from __future__ import annotations

from collections.abc import Mapping, MutableMapping
from typing import Any

import pexpect

from tavrel.eal.dialogs import (Dialog, DialogMaker, Statement,
                                statement_decorator)
from tavrel.utils import SecretText, to_plaintext

# A small login program: bash asks for a user name and a password (without
# echo), then gives a prompt.
LOGIN = r"""
read -r -p "Username: " user
read -r -s -p "Password: " password; echo
[ "$password" = "s3cret" ] || { echo "Login incorrect"; exit 1; }
echo "Welcome, $user"
read -r -p "lab\$ " command
"""
PROMPT = r"lab\$ $"

context = {"credentials": {"lab": {"username": "admin",
                                   "password": SecretText("s3cret")}}}


def refused(spawn: pexpect.spawn[str]) -> None:
    raise RuntimeError("the password was refused")


# 1. Lists of statement arguments: pattern, action, args, loop_continue,
#    continue_timer (trailing ones may be left out).
from_lists = Dialog([
    [r"Login incorrect", refused],
    [r"Username: $", "sendline_cred_user(lab)", None, True, False],
    [r"Password: $", "sendline_cred_pass(lab)", None, True, False],
    [PROMPT, None],
])


# 2. Statement objects with callables; the processor injects spawn, context
#    and session by parameter name.
def send_user(spawn: pexpect.spawn[str], context: Mapping[str, Any]) -> None:
    spawn.sendline(context["credentials"]["lab"]["username"])


def send_password(spawn: pexpect.spawn[str], context: Mapping[str, Any],
                  session: MutableMapping[str, Any]) -> None:
    session["password_prompts"] = session.get("password_prompts", 0) + 1
    spawn.sendline(to_plaintext(context["credentials"]["lab"]["password"]))


from_statements = Dialog([
    Statement(r"Login incorrect", refused),
    Statement(r"Username: $", send_user, loop_continue=True),
    Statement(r"Password: $", send_password, loop_continue=True),
    Statement(PROMPT),
])


# 3. A DialogMaker subclass: each decorated function is the action of a
#    statement; instantiating the class builds the class attribute dialog,
#    statements in source order.
class Login(DialogMaker):
    @statement_decorator(r"Login incorrect")
    def incorrect(spawn: pexpect.spawn[str]) -> None:
        refused(spawn)

    @statement_decorator(r"Username: $", loop_continue=True)
    def user(spawn: pexpect.spawn[str], context: Mapping[str, Any]) -> None:
        send_user(spawn, context)

    @statement_decorator(r"Password: $", loop_continue=True)
    def password(spawn: pexpect.spawn[str], context: Mapping[str, Any],
                 session: MutableMapping[str, Any]) -> None:
        send_password(spawn, context, session)

    @statement_decorator(PROMPT)
    def logged_in() -> None:
        pass


from_class = Login().dialog

for dialog in (from_lists, from_statements, from_class):
    session: dict[str, Any] = {}
    child = pexpect.spawn("bash", ["--norc", "--noprofile", "-c", LOGIN],
                          encoding="utf-8", timeout=10)
    result = dialog.process(child, timeout=10, context=context,
                            session=session)
    assert result.kind == "match" and result.pattern == PROMPT
    assert "Welcome, admin" in result.output and "s3cret" not in result.output
    print(len(dialog.statements), "statements:", result.output.split(),
          session)
    child.sendline("exit")
    child.expect(pexpect.EOF)
    child.close()
