# examples/statements.py: what a statement holds
from __future__ import annotations

import pexpect

from tavrel.eal.dialogs import DI_LIST, Statement


def answer(spawn: pexpect.spawn[str], reply: str) -> None:
    spawn.sendline(reply)


# A callable action: the processor injects "spawn"; "reply" comes from args.
question = Statement(r"Continue\? \[y/n\] $", answer, {"reply": "y"},
                     loop_continue=True)
print(question)
assert question.trim_buffer and not question.continue_timer
assert question.matched_retries == 0 and question.matched_retry_sleep == 0.02
assert question.di_params is DI_LIST  # ["spawn", "context", "session"]

# An action text becomes a sender callable and a one-entry args dict.
login = Statement(r"[Uu]sername: $", "sendline(admin)", None, True)
print(login)
assert login.action is not None and login.action.__name__ == "sendline"
assert login.args == {"key": "admin"}

# A list or tuple of patterns matches when any of them does.
prompt = Statement([r"router>$", r"router#$"])
print(prompt)

# Statements are equal when their patterns and actions are; the flags do
# not count.
assert Statement("x") == Statement("x", loop_continue=True)
assert Statement("x", answer, {"reply": "y"}) != Statement("x")
