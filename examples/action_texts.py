# examples/action_texts.py: the eight action texts, run against a scripted spawn
from __future__ import annotations

from tavrel.eal.dialogs import Dialog
from tavrel.testing import ScriptedSpawn
from tavrel.utils import SecretText

context = {
    "banner": "hello",
    "credentials": {
        "lab": {"username": "admin", "password": SecretText("s3cret")},
    },
}
session = {"hostname": "sw-1"}

dialog = Dialog([
    [r"1> $", "send(y)", None, True],
    [r"2> $", "sendline(show version)", None, True],
    [r"3> $", "send_ctx(banner)", None, True],
    [r"4> $", "sendline_ctx(banner)", None, True],
    [r"5> $", "send_session(hostname)", None, True],
    [r"6> $", "sendline_session(hostname)", None, True],
    [r"Username: $", "sendline_cred_user(lab)", None, True],
    [r"Password: $", "sendline_cred_pass(lab)", None, True],
    [r"7> $", "sendline()", None, True],
    [r"done$", None],
])

spawn = ScriptedSpawn("1> ", "2> ", "3> ", "4> ", "5> ", "6> ",
                      "Username: ", "Password: ", "7> ", "done")
result = dialog.process(spawn, timeout=5, context=context, session=session)
print(result.kind, repr(result.pattern), spawn.sent)
assert result.kind == "match" and result.pattern == "done$"
assert spawn.sent == ["y", "show version\n", "hello", "hello\n", "sw-1",
                      "sw-1\n", "admin\n", "s3cret\n", "\n"]
