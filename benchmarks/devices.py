"""The device layer timed side by side with the session's raw reads, on the
same lab switch (the device lab in a process of its own, over SSH).

    latency    `show version`, N times: Device.send_command against
               sendline + a dialog that waits for the prompt on the session
    10 MB      `show running-config` of about 10 MB: send_command (escape
               filter, pager, echo and prompt removed, line ends) against
               the same read raw; the layer's share is the ratio
    peers      netmiko's and scrapli's send_command (scrapli's current
               release calls it send_input) on the same device, each in a
               process of the peers' own environment
               (benchmarks/devices_peers.py), when --peers-python names
               its Python (``make bench-devices-peers`` makes one)

Rows run in turns, in rounds; each reports its best round, and ratios are
taken within this one run.  netmiko's latency row sends fewer commands a
round (at most SLOW_PEER_COMMANDS: it waits about 80 ms a command); the
others send the same number.

    python benchmarks/devices.py            # the rows above
    python benchmarks/devices.py --quick    # a smoke run, small counts
    python benchmarks/devices.py --peers-python .venv-bench-peers/bin/python
"""

from __future__ import annotations

import argparse
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
PEERS = ("netmiko", "scrapli")
SLOW_PEER_COMMANDS = {"netmiko": 50}
# The latency rows take turns this many times a round.
SLICES = 10
PEER_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                           "devices_peers.py")


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


def best(rounds: int, runs: dict[str, Callable[[], Any]],
         slices: int = 1) -> dict[str, float]:
    """The best time of each run over ``rounds`` rounds; a round runs each
    run ``slices`` times, in turns, each turn starting with the next run,
    so that all of them meet the machine's other work (and the pause after
    a slow peer) alike.  A run that returns a number has timed itself (a
    peer, in its own process)."""
    times = {name: float("inf") for name in runs}
    order = list(runs)
    for _ in range(rounds):
        spent = {name: 0.0 for name in runs}
        for _ in range(slices):
            order.append(order.pop(0))
            for name in order:
                run = runs[name]
                began = time.perf_counter()
                took = run()
                if not isinstance(took, float):
                    took = time.perf_counter() - began
                spent[name] += took
        for name in runs:
            times[name] = min(times[name], spent[name])
    return times


class Peer:
    """A peer library's connection to the switch, in a process of the
    peers' environment; None-like (``failed`` set) when it cannot talk to
    the switch."""

    def __init__(self, python: str, name: str, port: int) -> None:
        self.name = name
        self.failed = ""
        self.version = ""
        self.process = subprocess.Popen(
            [python, PEER_SCRIPT, name, str(port)], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        first = self.process.stdout.readline().split() \
            if self.process.stdout else []
        if first[:1] != ["ready"]:
            self.process.wait(30)
            error = self.process.stderr.read() if self.process.stderr else ""
            self.failed = (error.strip().splitlines() or ["no answer"])[-1]
        else:
            self.version = first[1]

    def ask(self, request: str) -> list[str]:
        assert self.process.stdin and self.process.stdout
        self.process.stdin.write(request + "\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().split()

    def latency(self, count: int) -> float:
        return float(self.ask("latency %d" % count)[0])

    def large(self) -> float:
        return float(self.ask("large")[0])

    def close(self) -> None:
        if self.process.poll() is None:
            self.process.stdin.close()  # type: ignore[union-attr]
            self.process.wait(30)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--rounds", type=int, default=0,
                        help="rounds of each row (default 9; 2 with --quick)")
    parser.add_argument("--peers-python", metavar="PYTHON",
                        help="a Python with netmiko and scrapli installed")
    args = parser.parse_args()
    commands = 20 if args.quick else 300
    megabytes = 0.2 if args.quick else 10
    rounds = args.rounds or (2 if args.quick else 9)

    with tempfile.TemporaryDirectory() as folder:
        lab, ports = start_lab(int(megabytes * LINES_PER_MB), folder)
        try:
            run(ports, commands, megabytes, rounds, args.peers_python)
        finally:
            lab.terminate()
            lab.wait(10)


def run(ports: dict[str, Any], commands: int, megabytes: float,
        rounds: int, peers_python: str | None) -> None:
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
        peers = [Peer(peers_python, name, port) for name in PEERS] \
            if peers_python else []
        working = [peer for peer in peers if not peer.failed]
        # Commands a round, sent in SLICES turns.
        counts = {name: min(commands, SLOW_PEER_COMMANDS.get(name, commands))
                  // SLICES * SLICES for name in ("raw", "layer") + PEERS}
        share = {name: count // SLICES for name, count in counts.items()}
        try:
            latency = best(rounds, {
                "raw": lambda: [raw("show version")
                                for _ in range(share["raw"])],
                "layer": lambda: [device.send_command("show version")
                                  for _ in range(share["layer"])],
                **{peer.name: (lambda peer=peer: peer.latency(
                    share[peer.name]))
                   for peer in working},
            }, SLICES)
            large = best(rounds, {
                "raw": lambda: raw("show running-config"),
                "layer": lambda: device.send_command("show running-config"),
                **{peer.name: peer.large for peer in working},
            })
        finally:
            for peer in peers:
                peer.close()
    per_command = {name: latency[name] / counts[name] for name in latency}

    print("device layer against the session's raw reads and the peers, "
          "best of %d rounds" % rounds)
    print("%-44s %10s" % ("row", "value"))
    for name in per_command:
        print("%-44s %8.3f ms" % ("show version, %s (per command)" % name,
                                  per_command[name] * 1000))
    for name in per_command:
        if name != "layer":
            print("%-44s %10.2f" % ("show version, layer / %s" % name,
                                    per_command["layer"] / per_command[name]))
    for name in large:
        print("%-44s %8.3f s" % ("%.1f MB show, %s" % (size / 1e6, name),
                                 large[name]))
    for name in large:
        if name != "layer":
            print("%-44s %10.2f" % ("%.1f MB show, layer / %s"
                                    % (size / 1e6, name),
                                    large["layer"] / large[name]))
    for name in PEERS:
        peer = next((p for p in peers if p.name == name), None)
        if peer is None:
            said = ("not run (--peers-python: a Python with netmiko and "
                    "scrapli; make bench-devices-peers makes one)")
        elif peer.failed:
            said = "could not talk to the switch: " + peer.failed
        else:
            said = "version %s, in the rows above" % peer.version
        print("%-44s %s" % ("%s send_command" % name, said))


if __name__ == "__main__":
    main()
