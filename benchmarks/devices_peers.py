"""The peers' side of benchmarks/devices.py: one peer library's connection to
the lab's switch, timed on request.  It runs in the peers' own environment
(``make bench-devices-peers`` makes .venv-bench-peers), never in the test
venv, and needs nothing of tavrel.

    python benchmarks/devices_peers.py PEER PORT   # PEER: netmiko, scrapli

It logs in, enters the privileged mode and turns paging off, prints
``ready <version>``, then answers each line read on stdin:

    latency N   runs `show version` N times: prints the seconds taken
    large       runs `show running-config`: prints the seconds and the size

Each peer uses its generic driver, with no model of the switch of its own:
the prompt is what ends a command for both.
"""

from __future__ import annotations

import sys
import time
from importlib.metadata import version
from typing import Any, Callable

PASSWORD = "tavrel"
ENABLE = "tavrel-enable"


def netmiko_connection(port: int) -> Callable[[str], str]:
    from netmiko import ConnectHandler

    device = ConnectHandler(device_type="generic", host="127.0.0.1",
                            port=port, username="admin", password=PASSWORD,
                            fast_cli=True)
    # The generic driver has no privileged mode of its own: by hand.
    device.send_command("enable", expect_string=r"Password:")
    # The password is not echoed.
    device.send_command(ENABLE, expect_string=r"#", cmd_verify=False)
    device.set_base_prompt()
    device.send_command("terminal length 0")

    def send(command: str) -> str:
        return str(device.send_command(command, read_timeout=300))
    return send


def scrapli_connection(port: int) -> Callable[[str], str]:
    from scrapli import AuthOptions, Cli
    from scrapli.transport import Ssh2Options

    device: Any = Cli("127.0.0.1", port=port,
                      definition_file_or_name="default",
                      auth_options=AuthOptions(username="admin",
                                               password=PASSWORD),
                      transport_options=Ssh2Options())
    device.open()
    # The default definition has one mode: the password by hand.
    device.write_and_return("enable")
    seen = b""
    while b"Password" not in seen:
        seen += device.read()
    device.write_and_return(ENABLE)
    device.get_prompt()
    device.send_input("terminal length 0")

    def send(command: str) -> str:
        # send_input is what the current release calls its send_command.
        return str(device.send_input(
            command, operation_timeout_ns=300 * 10**9).result)
    return send


def main() -> None:
    peer, port = sys.argv[1], int(sys.argv[2])
    send = {"netmiko": netmiko_connection,
            "scrapli": scrapli_connection}[peer](port)
    print("ready", version(peer), flush=True)
    for line in sys.stdin:
        words = line.split()
        if words[:1] == ["latency"]:
            began = time.perf_counter()
            for _ in range(int(words[1])):
                send("show version")
            print(time.perf_counter() - began, flush=True)
        elif words[:1] == ["large"]:
            began = time.perf_counter()
            size = len(send("show running-config"))
            print(time.perf_counter() - began, size, flush=True)
        else:
            break


if __name__ == "__main__":
    main()
