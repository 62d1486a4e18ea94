# examples/fleet_nornir.py: tavrel as a Nornir connection plugin, under Nornir's threaded runner
from __future__ import annotations

import os
import tempfile
from pathlib import Path

from nornir import InitNornir
from nornir.core.inventory import ConnectionOptions

from tavrel.demo.lab import LabThread
from tavrel.eal.dialogs import Dialog
from tavrel.fleet.nornir import tavrel_command, tavrel_dialog

# Nornir's own inventory: the host named "tavrel" in connection_options
# is the connection plugin installed with tavrel[nornir].
HOSTS = """\
sw-1: {port: %(ssh)d}
sw-2: {port: %(ssh)d}
sw-3: {port: %(ssh)d}
console-1:
  port: %(telnet)d
  connection_options:
    tavrel: {extras: {session: telnet}}
"""
DEFAULTS = """\
hostname: 127.0.0.1
username: admin
platform: network_cli
"""
# The enable password for the dialog below, from the device's credentials.
ENABLE = Dialog([
    [r"Password: $", "sendline_cred_pass(enable)", None, True],
    [r"#$", None],
])

os.environ.setdefault("LAB_PASSWORD", "tavrel")
os.environ.setdefault("LAB_ENABLE", "tavrel-enable")

with LabThread() as lab, tempfile.TemporaryDirectory() as folder:
    ports = {"ssh": lab.ssh_port, "telnet": lab.telnet_port}
    Path(folder, "hosts.yaml").write_text(HOSTS % ports)
    Path(folder, "defaults.yaml").write_text(DEFAULTS)
    nr = InitNornir(
        runner={"plugin": "threaded", "options": {"num_workers": 20}},
        inventory={"plugin": "SimpleInventory", "options": {
            "host_file": os.path.join(folder, "hosts.yaml"),
            "defaults_file": os.path.join(folder, "defaults.yaml")}},
        logging={"enabled": False})
    # Secrets from the environment rather than the inventory files; the
    # plugin wraps them as SecretText.  Extras are replaced as a whole by
    # a host's own, so the telnet host gets the credentials too.
    credentials = {"enable": {"password": os.environ["LAB_ENABLE"]}}
    nr.inventory.defaults.password = os.environ["LAB_PASSWORD"]
    nr.inventory.defaults.connection_options["tavrel"] = ConnectionOptions(
        extras={"known_hosts": lab.known_hosts, "credentials": credentials})
    telnet = nr.inventory.hosts["console-1"].connection_options["tavrel"]
    telnet.extras = dict(telnet.extras or {}, credentials=credentials)

    versions = nr.run(task=tavrel_command, command="show version")
    for name, result in versions.items():
        print(name, result.failed, result[0].result.splitlines()[1])

    # The connection stays open between tasks: enable, then a command of
    # the privileged mode.
    enabled = nr.run(task=tavrel_dialog, dialog=ENABLE, command="enable")
    assert not enabled.failed
    configs = nr.run(task=tavrel_command, command="show running-config",
                     parse=lambda output: len(output.splitlines()))
    print({name: result[0].result for name, result in configs.items()})
    nr.close_connections()
