# examples/fleet.py: one task over a fleet of simulated switches
from __future__ import annotations

import os
import tempfile
from pathlib import Path

from tavrel.demo.lab import LabThread
from tavrel.devices import AsyncDevice
from tavrel.fleet import Command, Credential, Host, Inventory, run

INVENTORY = """\
defaults:
  hostname: 127.0.0.1
  username: admin
  password: {file: %(folder)s/password}
groups:
  ssh:
    port: %(ssh)d
    options: {known_hosts: %(folder)s/known_hosts}
  telnet: {port: %(telnet)d, session: telnet}
  core:
    secrets: {enable: {env: LAB_ENABLE}}
    data: {role: core}
hosts:
  core-1: {groups: [core, ssh]}
  core-2: {groups: [core, telnet]}
  access-1: {groups: [ssh], data: {rack: 4}}
"""


async def config_size(device: AsyncDevice, host: Host) -> int:
    # A task: any async function of the device (at its prompt) and the host.
    await device.enter("privileged")  # "enable", with the enable secret
    config = await device.send_command("show running-config")
    return len(config.splitlines())


with LabThread() as lab, tempfile.TemporaryDirectory() as folder:
    # Secrets are never written in an inventory, only referred to: a file
    # only its owner may read, or an environment variable.
    password = Path(folder, "password")
    password.write_text("tavrel\n")
    password.chmod(0o600)
    os.environ["LAB_ENABLE"] = "tavrel-enable"
    lab.write_known_hosts(os.path.join(folder, "known_hosts"))
    Path(folder, "inventory.yaml").write_text(INVENTORY % {
        "folder": folder, "ssh": lab.ssh_port, "telnet": lab.telnet_port})

    inventory = Inventory.from_yaml(Path(folder, "inventory.yaml"))
    print(inventory["core-2"])
    # Hosts made in Python: here 200 more names for the same lab.
    hosts = list(inventory) + [
        Host("access-%d" % n, "127.0.0.1", lab.ssh_port, username="admin",
             password=Credential(file=str(password)),
             options={"known_hosts": lab.known_hosts})
        for n in range(2, 202)]

    report = run(hosts, Command("show version"), concurrency=100,
                 timeout=30, output=os.path.join(folder, "versions"))
    print(report.table())
    assert report.ok == len(hosts)
    print(Path(folder, "versions", "results.jsonl").read_text()
          .count("\n"), "lines in results.jsonl")

    core = run(inventory.filter(group="core"), config_size)
    for result in core.results:
        print(result.host, result.ok, result.result)
