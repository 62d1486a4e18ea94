# examples/testing.py: a dialog tested against a scripted spawn, no device needed
from __future__ import annotations

from tavrel.core.errors import DialogTimeoutError
from tavrel.eal.dialogs import Dialog
from tavrel.testing import EOF, ScriptedSpawn
from tavrel.utils import SecretText

context = {"credentials": {
    "lab": {"username": "admin", "password": SecretText("s3cret")},
}}
login = Dialog([
    [r"Login incorrect", None],
    [r"Username: $", "sendline_cred_user(lab)", None, True, False],
    [r"Password: $", "sendline_cred_pass(lab)", None, True, False],
    [r"router> $", None],
])

# The device's output, piece by piece; (seconds, text) comes that long after
# the piece before it.  Each piece is what one read returns.
spawn = ScriptedSpawn("Username: ", (0.2, "Password: "), (1.5, "\r\nrouter> "))
result = login.process(spawn, timeout=5, context=context)
assert result.pattern == r"router> $"
assert spawn.sent == ["admin\n", "s3cret\n"]  # what the dialog sent
assert spawn.clock.now == 1.7                 # virtual seconds, not real ones

# A device that stops talking: the 30 s timeout passes at once.
silent = ScriptedSpawn("Username: ", eof=False)
try:
    login.process(silent, timeout=30, context=context)
except DialogTimeoutError as exc:
    print("DialogTimeoutError:", exc)
assert silent.clock.now == 30

# A refused login: the refusal and the next prompt come in one read, and
# the statement listed first wins.  The end of file is a piece too.
refused = ScriptedSpawn("Username: ", "Password: ",
                        "Login incorrect\r\nUsername: ", (1, EOF))
result = login.process(refused, timeout=5, context=context)
print(result.kind, repr(result.pattern), refused.sent)
assert result.pattern == "Login incorrect"
