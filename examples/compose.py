# examples/compose.py: composing dialogs and editing them
from __future__ import annotations

import pexpect

from tavrel.eal.dialogs import Dialog, Statement


def press_enter(spawn: pexpect.spawn[str]) -> None:
    spawn.sendline("")


login = Dialog([
    [r"Username: $", "sendline(admin)", None, True, False],
    [r"Password: $", "sendline(s3cret)", None, True, False],
])
common = Dialog([
    [r"--More--", "send( )", None, True, True],
    ["__timeout__", press_enter, None, True, False],
    ["__eof__", None],
    [r"router>$", None],
])

# + makes a new Dialog: the left operand's statements, then the right's.
# The timeout and end-of-file statements are the left operand's, else the
# right one's.
dialog = login + common
print(dialog)
assert dialog.get_pattern_list() == [
    r"Username: $", r"Password: $", r"--More--", "__timeout__", r"router>$"]
assert dialog.timeout_statement is common.timeout_statement
assert dialog.eof_statement is common.eof_statement
assert len(login.statements) == 2  # neither operand changes

# += binds the name to a new Dialog too; other names keep the old one.
before = login
login += common
assert login is not before and len(before.statements) == 2

# Editing in place: a Statement or a list of its arguments.
dialog.insert(0, [r"Press RETURN", press_enter, None, True])
enable = Statement(r"router#$")
dialog.append(enable)
dialog.remove(enable)
assert [s.pattern for s in dialog][:2] == [r"Press RETURN", r"Username: $"]
assert bool(dialog) and not Dialog()
