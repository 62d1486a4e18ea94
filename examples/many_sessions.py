# examples/many_sessions.py: twenty logins at once, from one asyncio loop
from __future__ import annotations

import asyncio
from typing import Any

import pexpect

from tavrel.eal.dialog_processor import process_async
from tavrel.eal.dialogs import Dialog, Statement
from tavrel.utils import SecretText

# Each session: a small login program, as in examples/three_ways.py.
LOGIN = r"""
read -r -p "Username: " user
read -r -s -p "Password: " password; echo
[ "$password" = "s3cret" ] || { echo "Login incorrect"; exit 1; }
sleep 0.2
read -r -p "lab-$HOST\$ " command
"""
context = {"credentials": {"lab": {"username": "admin",
                                   "password": SecretText("s3cret")}}}


async def audit(spawn: pexpect.spawn[str], session: dict[str, Any]) -> None:
    # An async action: awaited, so it may wait without holding up the loop.
    await asyncio.sleep(0.05)
    session["audited"] = True


dialog = Dialog([
    Statement(r"Login incorrect"),
    Statement(r"Username: $", "sendline_cred_user(lab)", loop_continue=True),
    Statement(r"Password: $", "sendline_cred_pass(lab)", loop_continue=True,
              continue_timer=True),
    Statement(r"lab-(\w+)\$ $", audit),
])


async def log_in(host: str) -> tuple[str, dict[str, Any]]:
    child = pexpect.spawn("bash", ["--norc", "--noprofile", "-c", LOGIN],
                          env={"HOST": host}, encoding="utf-8")
    session: dict[str, Any] = {}
    try:
        # One dialog, one loop, twenty sessions: nothing blocks the loop.
        result = await process_async(dialog, child, timeout=10,
                                     context=context, session=session)
        assert result.match is not None
        return result.match.group(1), session
    finally:
        # pexpect's close() sleeps while the program ends: not on the loop.
        await asyncio.to_thread(child.close, True)


async def main() -> None:
    hosts = ["sw%02d" % n for n in range(20)]
    # Each login takes about 0.3 s; all twenty take about as long as one.
    done = await asyncio.gather(*(log_in(host) for host in hosts))
    assert [host for host, _ in done] == hosts
    assert all(session["audited"] for _, session in done)
    print(len(done), "sessions logged in:", ", ".join(h for h, _ in done))


asyncio.run(main())
