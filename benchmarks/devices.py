"""The device layer timed side by side with the session's raw reads, on the
same lab switch (the device lab in a process of its own, over SSH).

    latency    `show version`, N times: Device.send_command against
               sendline + a dialog that waits for the prompt on the session
    10 MB      `show running-config` of about 10 MB: send_command (escape
               filter, pager, echo and prompt removed, line ends) against
               the same read raw; the layer's share is the ratio
    peers      netmiko's and scrapli's send_command on the same device, when
               installed in this environment (otherwise said so)

Rows run in turns, in rounds; each reports its best round, and ratios are
taken within this one run.

    python benchmarks/devices.py            # the rows above
    python benchmarks/devices.py --quick    # a smoke run, small counts
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

from tavrel.devices import NETWORK_CLI, Device
from tavrel.eal.dialogs import Dialog, Statement
from tavrel.sessions import SSHSession
from tavrel.utils import SecretText

PASSWORD = "tavrel"
ENABLE = "tavrel-enable"
# About 25 bytes a line.
LINES_PER_MB = 42_000


def start_lab(config_lines: int, folder: str) -> tuple[subprocess.Popen[bytes],
                                                       dict[str, Any]]:
    ports = os.path.join(folder, "ports.json")
    lab = subprocess.Popen([sys.executable, "-m", "tavrel.demo.lab",
                            "--telnet-port", "-1", "--configured",
                            "--config-lines", str(config_lines),
                            "--ports-file", ports],
                           stdout=subprocess.DEVNULL)
    for _ in range(400):
        if os.path.exists(ports):
            with open(ports) as file:
                return lab, json.load(file)
        time.sleep(0.05)
    lab.kill()
    raise SystemExit("the lab did not start")


def best(rounds: int, runs: dict[str, Callable[[], Any]]) -> dict[str, float]:
    times = {name: float("inf") for name in runs}
    for _ in range(rounds):
        for name, run in runs.items():
            began = time.perf_counter()
            run()
            times[name] = min(times[name], time.perf_counter() - began)
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    commands = 20 if args.quick else 300
    megabytes = 0.2 if args.quick else 10
    rounds = 2 if args.quick else 5

    with tempfile.TemporaryDirectory() as folder:
        lab, ports = start_lab(int(megabytes * LINES_PER_MB), folder)
        try:
            run(ports, commands, megabytes, rounds)
        finally:
            lab.terminate()
            lab.wait(10)


def run(ports: dict[str, Any], commands: int, megabytes: float,
        rounds: int) -> None:
    port = ports["ssh_port"] if "ssh_port" in ports else ports["ssh"]
    known = ports["known_hosts"].encode()

    def session() -> SSHSession:
        return SSHSession("127.0.0.1", port, username="admin",
                          password=SecretText(PASSWORD), known_hosts=known,
                          timeout=120)

    credentials = {"enable": {"password": SecretText(ENABLE)}}
    with session() as raw_session, session() as layer_session:
        device = Device(layer_session, NETWORK_CLI, credentials=credentials,
                        timeout=120).open()
        device.enter("privileged")
        # The raw session: the same state by hand.
        prompt = Dialog([Statement(r"SW-1#$")])
        Dialog([Statement(r"SW-1>$")]).process(raw_session, timeout=30)
        raw_session.sendline("terminal length 0")
        Dialog([Statement(r"SW-1>$")]).process(raw_session, timeout=30)
        raw_session.sendline("enable")
        raw_session.expect("Password: ")
        raw_session.sendline(ENABLE)
        prompt.process(raw_session, timeout=30)

        def raw(command: str) -> str:
            raw_session.sendline(command)
            return str(prompt.process(raw_session, timeout=120).output)

        size = len(device.send_command("show running-config"))
        assert size > megabytes * 900_000, size
        latency = best(rounds, {
            "raw": lambda: [raw("show version") for _ in range(commands)],
            "layer": lambda: [device.send_command("show version")
                              for _ in range(commands)],
        })
        large = best(rounds, {
            "raw": lambda: raw("show running-config"),
            "layer": lambda: device.send_command("show running-config"),
        })

    print("device layer against the session's raw reads, best of %d rounds"
          % rounds)
    print("%-44s %10s" % ("row", "value"))
    for name in ("raw", "layer"):
        print("%-44s %8.3f ms" % ("show version, %s (per command)" % name,
                                  latency[name] / commands * 1000))
    print("%-44s %10.2f" % ("show version, layer / raw",
                            latency["layer"] / latency["raw"]))
    for name in ("raw", "layer"):
        print("%-44s %8.3f s" % ("%.1f MB show, %s" % (size / 1e6, name),
                                 large[name]))
    print("%-44s %10.2f" % ("%.1f MB show, layer / raw" % (size / 1e6),
                            large["layer"] / large["raw"]))
    for peer in ("netmiko", "scrapli"):
        if importlib.util.find_spec(peer) is None:
            print("%-44s %10s" % ("%s send_command" % peer, "not installed"))
        else:
            print("%-44s %10s" % ("%s send_command" % peer,
                                  "installed, not timed here"))


if __name__ == "__main__":
    main()
