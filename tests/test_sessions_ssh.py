"""SSH sessions against OpenSSH's sshd and a bash login shell."""

import asyncio

import pexpect
import pytest

from tavrel.core.errors import (ConnectError, HostKeyError, LoginError)
from tavrel.eal.dialog_processor import process_async
from tavrel.eal.dialogs import Dialog, Statement
from tavrel.sessions import AsyncSSHSession, SSHSession
from tavrel.utils import SecretText

# bash's prompt, maybe followed by terminal escapes.
PROMPT = r"\$ (?:\x1b\[[0-9;?]*[A-Za-z])*$"
SHELL = Dialog([Statement(PROMPT)])


def options(sshd_server, login_user, **extra):
    values = dict(port=sshd_server.port, username=login_user["username"],
                  password=login_user["password"],
                  known_hosts=sshd_server.known_hosts, term_type="dumb")
    values.update(extra)
    return values


def test_sync_password_login_runs_a_command(sshd_server, login_user):
    with SSHSession("127.0.0.1", **options(sshd_server, login_user)) as s:
        SHELL.process(s, timeout=10)
        s.sendline("echo $((6 * 7))-$(whoami)")
        s.expect(r"42-(\S+)\r\n", timeout=10)
        assert s.match.group(1) == login_user["username"]
        s.expect(PROMPT)
        s.sendline("exit 3")
        s.expect(pexpect.EOF)
    assert s.exitstatus == 3


def test_async_password_login_runs_a_command(sshd_server, login_user):
    async def main():
        async with AsyncSSHSession("127.0.0.1",
                                   **options(sshd_server, login_user)) as s:
            await process_async(SHELL, s, timeout=10)
            s.sendline("echo $((6 * 7))")
            assert await s.expect([r"42\r\n"]) == 0
            await s.expect(PROMPT)
            s.sendline("exit")
            await s.expect(pexpect.EOF)
        return s.exitstatus
    assert asyncio.run(main()) == 0
