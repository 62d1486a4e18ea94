"""Devices against the lab's simulated switch, over SSH and telnet."""

import asyncio
import io
import re

import pytest

from tavrel.core.errors import (CommandTimeoutError, ConfigError,
                                ConfigInterruptedError, DeviceEOFError,
                                DeviceError, ModeError)
from tavrel.demo.switch import running_config
from tavrel.devices import NETWORK_CLI, AsyncDevice, Device, _device
from tavrel.eal.dialogs import Dialog
from tavrel.utils import SecretText

pytest.importorskip("asyncssh")

from tavrel.sessions import AsyncSSHSession, SSHSession, TelnetSession  # noqa: E402

LOGIN = {"username": "admin", "password": SecretText("tavrel")}
CREDENTIALS = {"default": LOGIN,
               "enable": {"password": SecretText("tavrel-enable")}}
CONFIRM = Dialog([[r"\[confirm\]$", "send(y)", None, True]])
# The switch's own login, for telnet: one more step of opening.
TELNET_LOGIN = Dialog([
    [r"Username: $", "sendline_cred_user(default)", None, True],
    [r"Password: $", "sendline_cred_pass(default)", None, True],
])


def ssh(lab):
    return SSHSession("127.0.0.1", lab.ssh_port, username="admin",
                      password=LOGIN["password"], known_hosts=lab.known_hosts)


def connect(lab, transport, platform=NETWORK_CLI, credentials=CREDENTIALS):
    if transport == "ssh":
        session = ssh(lab)
    else:
        session = TelnetSession("127.0.0.1", lab.telnet_port)
    session.open()
    device = Device(session, platform, credentials=credentials, timeout=10)
    if transport == "telnet":
        device.open_dialog = TELNET_LOGIN + device.open_dialog
    return session, device.open()


@pytest.fixture(params=["ssh", "telnet"])
def switch(request, device_lab):
    session, device = connect(device_lab, request.param)
    yield device
    session.close()


def test_commands_modes_and_the_pager(device_lab, switch):
    assert (switch.mode, switch.hostname, switch.prompt) == (
        "unprivileged", "SW-1", "SW-1>")
    # Echo and prompt gone, "\n" line ends.
    assert switch.send_command("show version") == (
        "Simulated switch software, version 1.0\n"
        "SW-1 uptime is 3 weeks, 2 days\n48 Gigabit Ethernet interfaces")
    switch.enter("privileged")
    whole = "\n".join(running_config("SW-1", 60))
    with pytest.MonkeyPatch.context() as patch:
        # Without a pager, output is cleaned as it arrives: the passes over
        # the whole text are not needed.
        patch.setattr(_device, "_cleaned", None)
        assert switch.send_command("show running-config") == whole
    # The pager answered page after page, its prompt and its wipe gone.
    switch.send_command("terminal length 7")
    assert switch.send_command("show running-config") == whole
    switch.enter("config")
    assert switch.prompt == "SW-1(config)#"
    switch.enter("unprivileged")
    assert switch.send_commands(["show clock", "disable"])[1] == ""


def test_configuration_rejected_line_and_hostname_followed(switch):
    switch.enter("privileged")
    with pytest.raises(ConfigError) as caught:
        switch.send_config(["interface Gi0/1", "description uplink",
                            "speed fast", "description never sent"])
    error = caught.value
    assert error.command == "speed fast"
    assert "Invalid input" in error.output and "^" in error.output
    assert error.applied == ("interface Gi0/1", "description uplink")
    # The configuration mode was left all the same.
    assert switch.mode == "privileged"
    switch.send_config(["hostname CORE-7"])
    assert (switch.hostname, switch.prompt) == ("CORE-7", "CORE-7#")
    assert "CORE-7 uptime" in switch.send_command("show version")
    switch.send_config(["hostname SW-1"])


def test_questions_refusals_timeouts_and_a_dropped_session(device_lab):
    session, device = connect(device_lab, "ssh", credentials={
        "enable": {"password": SecretText("wrong-secret")}})
    with session:
        # No enable password given at all: nothing is sent.
        device.context["credentials"] = {}
        with pytest.raises(ModeError, match="'enable' .* not given"):
            device.enter("privileged")
        assert " UTC " in device.send_command("show clock")
        device.context["credentials"] = {"enable": {
            "password": SecretText("wrong-secret")}}
        with pytest.raises(ModeError, match="'enable' was refused"):
            device.enter("privileged")
        assert device.mode == "unprivileged"
        device.context["credentials"] = CREDENTIALS
        device.enter("privileged")
        # The command's own question, answered in the same call.
        assert device.send_command("clear counters", dialog=CONFIRM) == (
            'Clear "show interface" counters on all interfaces [confirm]\n'
            "Counters cleared.")
        # Unanswered, it never gives the prompt back.
        with pytest.raises(CommandTimeoutError) as caught:
            device.send_command("clear counters", timeout=0.5)
        assert caught.value.tail.endswith("[confirm]")
        assert caught.value.command == "clear counters"
        # Still at the question: the next command is not sent (a line end
        # would confirm), until the question is answered by hand; then it
        # gets its own output, not the rest of the one before.
        with pytest.raises(CommandTimeoutError, match="was not sent"):
            device.send_command("show clock", timeout=0.3)
        session.send("n")
        assert re.fullmatch(r"\d\d:\d\d:\d\d UTC .*",
                            device.send_command("show clock"))
        # The device goes away in the middle of a command.
        with pytest.raises(DeviceEOFError, match="Reloading"):
            device.send_command("reload", dialog=CONFIRM)


def test_parse_with_a_callable_and_a_textfsm_template(switch):
    words = switch.send_command("show version", parse=str.split)
    assert words[:3] == ["Simulated", "switch", "software,"]
    pytest.importorskip("textfsm")
    template = io.StringIO(
        "Value HOST (\\S+)\nValue UPTIME (.+)\n\n"
        "Start\n  ^${HOST} uptime is ${UPTIME} -> Record\n")
    assert switch.send_command("show version", parse=template) == [
        {"HOST": "SW-1", "UPTIME": "3 weeks, 2 days"}]


def test_twenty_async_devices_at_once(device_lab):
    async def one(number):
        async with AsyncSSHSession(
                "127.0.0.1", device_lab.ssh_port, username="admin",
                password=LOGIN["password"],
                known_hosts=device_lab.known_hosts) as session:
            device = await AsyncDevice(session, credentials=CREDENTIALS,
                                       timeout=20).open()
            await device.enter("privileged")
            name = "SW-%02d" % number
            await device.send_config(["hostname " + name, "ntp server x"])
            shown = await device.send_command("show running-config")
            return device.hostname, shown.count("interface"), name

    async def main():
        return await asyncio.gather(*(one(n) for n in range(20)))

    for hostname, interfaces, name in asyncio.run(main()):
        assert hostname == name and interfaces == 13


def test_any_spawn_the_device_program_under_pexpect():
    import sys

    import pexpect

    child = pexpect.spawn(sys.executable, ["-m", "tavrel.demo.device"],
                          encoding="utf-8", timeout=10)
    try:
        device = Device(child, credentials=CREDENTIALS, timeout=10)
        device.open_dialog = TELNET_LOGIN + device.open_dialog
        device.open()
        device.send_config(["hostname PTY-1"])
        assert device.prompt == "PTY-1>"  # back where it was
        assert "PTY-1 uptime" in device.send_command("show version")
    finally:
        child.close(force=True)


@pytest.mark.parametrize("fault, options, known", [
    # The switch answers again, late: the way out is taken after all.
    ("stall", {"stall_after": 2, "stall_for": 1.5}, True),
    ("stall", {"stall_after": 2}, False),  # never again, as far as we wait
    ("drop", {"drop_after": 2}, False),
])
def test_a_configuration_cut_short(fault, options, known):
    from tavrel.demo.lab import LabThread, SwitchOptions

    lines = ["interface Gi0/1", "description uplink", "description late",
             "description never sent"]
    with LabThread(telnet_port=None, switch=SwitchOptions(**options)) as lab:
        session, device = connect(lab, "ssh")
        with session:
            device.enter("privileged")
            with pytest.raises(ConfigInterruptedError) as caught:
                device.send_config(lines, timeout=1.0)
            error = caught.value
            assert isinstance(error, CommandTimeoutError if fault == "stall"
                              else DeviceEOFError)
            assert (error.command, error.applied) == ("description late",
                                                      tuple(lines[:2]))
            assert error.mode == device.mode == ("privileged" if known
                                                 else None)
            if known:
                assert "SW-1 uptime" in device.send_command("show version")
            else:
                with pytest.raises(DeviceError, match=r"open\(\) it again"):
                    device.send_command("show version")
