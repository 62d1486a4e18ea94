# examples/quickstart.py: log in to the simulated switch over the device lab's SSH
from __future__ import annotations

from tavrel.demo.lab import LabThread
from tavrel.eal.dialogs import Dialog
from tavrel.sessions import SSHSession
from tavrel.utils import SecretText

# The password is handed to SSH, and masked in logs, errors and transcripts.
password = SecretText("tavrel")

login = Dialog([
    # Statements are tried in list order: a refusal first, or the prompt
    # that follows it would answer again and again.
    [r"% Login invalid", None],
    [r"\[yes/no\]: $", "sendline(no)", None, True, False],
    [r"SW-1>$", None],
])

# The lab serves the simulated switch over SSH and telnet on loopback
# ports, in a thread of this process; the session checks the lab's host key.
with LabThread() as lab, SSHSession("127.0.0.1", lab.ssh_port,
                                    username="admin", password=password,
                                    known_hosts=lab.known_hosts) as switch:
    result = login.process(switch, timeout=30)
    print(result.kind, repr(result.pattern))
    assert result.pattern == r"SW-1>$", "the switch did not let us in"
    switch.sendline("show version")
    switch.expect(r"SW-1>$")
    print(str(switch.before).splitlines()[1])
