"""The device lab: the switch over in-process SSH and telnet, driven by
sessions as users would, one at a time and hundreds at once; the lab
program killed under its sessions."""

import asyncio
import json
import os
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("asyncssh")

from tavrel.core.errors import (DialogEOFError,  # noqa: E402
                                DialogTimeoutError, LoginError,
                                SessionClosedError)
from tavrel.demo.lab import Lab, LabThread  # noqa: E402
from tavrel.demo.switch import SwitchOptions  # noqa: E402
from tavrel.eal.dialog_processor import process_async  # noqa: E402
from tavrel.eal.dialogs import Dialog, Statement  # noqa: E402
from tavrel.sessions import (AsyncSSHSession, SSHSession,  # noqa: E402
                             TelnetSession)
from tavrel.utils import SecretText  # noqa: E402

PASSWORD = SecretText("tavrel")
USER_PROMPT = r"SW-1>$"
PAGED = Dialog([
    Statement(r" --More-- $", "send( )", loop_continue=True,
              continue_timer=True),
    Statement(r"SW-1#$"),
])
ENABLE = Dialog([
    Statement(r"Password: $", "sendline(tavrel-enable)", loop_continue=True),
    Statement(r"SW-1#$"),
])


@pytest.fixture(scope="module")
def lab():
    with LabThread(switch=SwitchOptions(configured=True)) as running:
        yield running


def ssh(lab, **options):
    values = dict(username="admin", password=PASSWORD,
                  known_hosts=lab.known_hosts, timeout=10)
    values.update(options)
    return SSHSession("127.0.0.1", lab.ssh_port, **values)


def telnet(lab, **options):
    values = dict(username="admin", password=PASSWORD, prompt=USER_PROMPT,
                  timeout=10)
    values.update(options)
    return TelnetSession("127.0.0.1", lab.telnet_port, **values)


@pytest.mark.parametrize("open_session", [ssh, telnet])
def test_log_in_page_through_the_configuration_log_out(lab, open_session):
    with open_session(lab) as switch:
        switch.expect(USER_PROMPT)
        switch.sendline("enable")
        ENABLE.process(switch, timeout=10)
        switch.sendline("show running-config")
        result = PAGED.process(switch, timeout=10)
        assert "hostname SW-1" in result.output and "\nend" in \
            result.output.replace("\r", "")
        switch.sendline("exit")
        switch.expect("Connection closed")
    if open_session is ssh:
        assert switch.exitstatus == 0


def test_the_exit_status_after_the_last_words_is_kept(lab):
    # Closed as soon as the last words are read: the status the server sends
    # right after them is read before the connection goes.
    statuses = []
    for _ in range(30):
        with ssh(lab) as switch:
            switch.expect(USER_PROMPT)
            switch.sendline("exit")
            switch.expect("Connection closed")
        statuses.append(switch.exitstatus)
    assert statuses == [0] * 30


@pytest.mark.parametrize("open_session", [ssh, telnet])
def test_a_wrong_password_is_a_login_error(lab, open_session):
    session = open_session(lab, password=SecretText("not-it"))
    with pytest.raises(LoginError) as info:
        session.open()
    assert info.value.host == "127.0.0.1" and "not-it" not in str(
        info.value)


def test_keyboard_interactive_answered_by_a_dialog():
    code = Dialog([
        Statement(r"Password: $", "sendline_cred_pass(lab)"),
        Statement(r"Verification code: $", "sendline_ctx(code)"),
    ])

    async def main():
        async with Lab(telnet_port=None,
                       kbdint_prompts=["Password: ", "Verification code: "],
                       kbdint_answers=["424242"]) as lab:
            for given, ok in (("424242", True), ("000000", False)):
                context = {"credentials": {"lab": {"password": PASSWORD}},
                           "code": given}
                session = AsyncSSHSession(
                    "127.0.0.1", lab.ssh_port, username="admin",
                    kbdint=code, context=context, agent_path=None,
                    client_keys=None, known_hosts=lab.known_hosts)
                if ok:
                    async with session:
                        await session.expect(r"\[yes/no\]: $")
                else:
                    with pytest.raises(LoginError):
                        await session.open()
    asyncio.run(main())


def test_keys_and_a_jump_host(tmp_path):
    import asyncssh
    key = asyncssh.generate_private_key("ssh-ed25519")

    async def main():
        async with Lab(telnet_port=None, authorized_keys=asyncssh.
                       import_authorized_keys(key.export_public_key()
                                              .decode())) as lab:
            async with AsyncSSHSession(
                    "127.0.0.1", lab.ssh_port, username="admin",
                    client_keys=[key], agent_path=None,
                    known_hosts=lab.known_hosts) as jump:
                async with AsyncSSHSession(
                        "127.0.0.1", lab.ssh_port, username="admin",
                        password=PASSWORD, tunnel=jump,
                        known_hosts=lab.known_hosts) as far:
                    await far.expect(r"\[yes/no\]: $")
                    assert lab.sessions == 2
    asyncio.run(main())


def test_hundreds_of_sessions_from_one_loop(lab):
    dialog = Dialog([Statement(r"uptime is (.*?)\r\n(?s:.*)SW-1>$")])

    async def one():
        async with AsyncSSHSession("127.0.0.1", lab.ssh_port,
                                   username="admin", password=PASSWORD,
                                   known_hosts=lab.known_hosts) as switch:
            await switch.expect(USER_PROMPT)
            switch.sendline("show version")
            result = await process_async(dialog, switch, timeout=30)
            return result.match.group(1)

    async def main():
        return await asyncio.gather(*(one() for _ in range(200)))

    assert asyncio.run(main()) == ["3 weeks, 2 days"] * 200


@pytest.mark.parametrize("when", ["mid-command", "mid-output"])
def test_the_lab_killed_under_its_sessions(tmp_path, when):
    ports = tmp_path / "ports.json"
    program = subprocess.Popen(
        [sys.executable, "-m", "tavrel.demo.lab", "--ports-file",
         str(ports), "--configured", "--page-length", "0",
         "--config-lines", "200000", "--pace", "60"],
        stdout=subprocess.DEVNULL)
    try:
        for _ in range(200):
            if ports.exists():
                break
            time.sleep(0.05)
        info = json.loads(ports.read_text())
        with SSHSession("127.0.0.1", info["ssh"], username="admin",
                        password=PASSWORD,
                        known_hosts=info["known_hosts"].encode(),
                        timeout=10) as switch:
            switch.expect(USER_PROMPT)
            switch.sendline("enable")
            ENABLE.process(switch, timeout=10)
            if when == "mid-command":
                # Dots a minute apart.
                switch.sendline("write memory")
                switch.expect("Building configuration")
                # A device that stalls: the dialog's timeout, and the
                # session goes on.
                with pytest.raises(DialogTimeoutError):
                    Dialog([[r"SW-1#$"]]).process(switch, timeout=0.3)
                assert switch.isalive()
            else:
                switch.sendline("show running-config")
                switch.expect(r"GigabitEthernet0/1\r\n")
            os.kill(program.pid, signal.SIGKILL)
            with pytest.raises(DialogEOFError):
                Dialog([[r"SW-1#$"]]).process(switch, timeout=10)
            with pytest.raises(SessionClosedError):
                switch.sendline("show version")
    finally:
        program.kill()
        program.wait(10)
