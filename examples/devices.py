# examples/devices.py: the lab's switch as a device: commands, modes, configuration
from __future__ import annotations

from tavrel.core.errors import ConfigError
from tavrel.demo.lab import LabThread
from tavrel.devices import NETWORK_CLI, Device
from tavrel.eal.dialogs import Dialog, Statement
from tavrel.sessions import SSHSession
from tavrel.utils import SecretText

credentials = {"enable": {"password": SecretText("tavrel-enable")}}
# A question the command asks, answered in the same call.
confirm = Dialog([[r"\[confirm\]$", "send(y)", None, True]])
# A platform of one's own: the generic network CLI, with one more error
# pattern and paging left on (the layer answers the pager).
paged = NETWORK_CLI.derive("paged_cli", paging_off=(),
                           errors=NETWORK_CLI.errors + (r"^% Bad value",))

with LabThread() as lab, SSHSession("127.0.0.1", lab.ssh_port,
                                    username="admin",
                                    password=SecretText("tavrel"),
                                    known_hosts=lab.known_hosts) as session:
    # Waits for the prompt (answering the setup question on the way) and
    # learns the mode and the host name from it.
    switch = Device(session, paged, credentials=credentials,
                    timeout=10).open()
    print(switch.mode, switch.prompt)
    # The output alone: no echo, no prompt, no escapes, "\n" line ends.
    print(switch.send_command("show version"))

    switch.enter("privileged")  # "enable", with the enable password
    config = switch.send_command("show running-config")  # three pages
    print(len(config.splitlines()), "lines of configuration")
    print(switch.send_command("clear counters", dialog=confirm))

    # The first line the device rejects is raised; the configuration mode
    # is left in every case.
    try:
        switch.send_config(["interface Gi0/1", "description uplink",
                            "speed fast"])
    except ConfigError as error:
        print("rejected %r after %s" % (error.command, error.applied))
    assert switch.mode == "privileged"

    # A new host name changes the prompt: the device follows it.
    switch.send_config(["hostname CORE-1"])
    assert (switch.hostname, switch.prompt) == ("CORE-1", "CORE-1#")
    uptime = switch.send_command(
        "show version", parse=lambda out: out.splitlines()[1])
    print(uptime)

    # Each step is a dialog to read, extend or replace: here the prompt
    # dialog gets one more statement in front.
    switch.prompt_dialog = Dialog([Statement(r"\(maintenance\)# ?$")]) \
        + switch.prompt_dialog
    print(len(switch.prompt_dialog.statements), "prompt statements")
