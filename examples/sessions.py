# examples/sessions.py: SSH and telnet sessions, sync and async, recorded and replayed
from __future__ import annotations

import asyncio
import io
import tempfile

from tavrel.demo.lab import LabThread
from tavrel.eal.dialog_processor import process_async
from tavrel.eal.dialogs import Dialog
from tavrel.sessions import AsyncSSHSession, TelnetSession
from tavrel.testing import ReplaySpawn
from tavrel.utils import SecretText

password = SecretText("tavrel")
context = {"credentials": {"switch": {"username": "admin",
                                      "password": password}}}
# The switch's own login, over telnet.
telnet_login = Dialog([
    [r"% Login invalid", None],
    [r"Username: $", "sendline_cred_user(switch)", None, True],
    [r"Password: $", "sendline_cred_pass(switch)", None, True],
    [r"\[yes/no\]: $", None, None, False, False, False],
])
# The switch asks a setup question once, then gives its prompt.
ready = Dialog([
    [r"\[yes/no\]: $", "sendline(no)", None, True],
    [r"SW-1>$", None],
])
show_version = Dialog([[r"uptime is (.*)\r\n(?s:.*)SW-1>$", None]])


async def uptime(lab: LabThread) -> str:
    # The async face: on this loop, no thread per session.
    async with AsyncSSHSession("127.0.0.1", lab.ssh_port, username="admin",
                               password=password,
                               known_hosts=lab.known_hosts) as switch:
        await process_async(ready, switch, timeout=10)
        switch.sendline("show version")
        result = await process_async(show_version, switch, timeout=10)
        assert result.match is not None
        return result.match.group(1)


async def many(lab: LabThread) -> list[str]:
    return await asyncio.gather(*(uptime(lab) for _ in range(50)))


with LabThread() as lab:
    uptimes = asyncio.run(many(lab))
    print(len(uptimes), "sessions:", uptimes[0])

    # The sync face, over telnet: the session logs in with its login
    # dialog as soon as it is open.  The transcript is masked; the
    # recording can be played back in tests.
    transcript = io.StringIO()
    with tempfile.NamedTemporaryFile("w+", suffix=".jsonl") as recording:
        with TelnetSession("127.0.0.1", lab.telnet_port,
                           login=telnet_login, context=context,
                           transcript=transcript,
                           recording=recording.name) as switch:
            ready.process(switch, timeout=10)
            switch.sendline("show version")
            show_version.process(switch, timeout=10)
        assert "tavrel" not in transcript.getvalue()

        # The same dialogs against the recording: no lab needed, and what
        # is sent must be what was sent then.
        replay = ReplaySpawn(recording.name)
        telnet_login.process(replay, timeout=10, context=context)
        ready.process(replay, timeout=10)
        replay.sendline("show version")
        print(show_version.process(replay, timeout=10).kind,
              "replayed at", replay.clock)
        replay.check()
