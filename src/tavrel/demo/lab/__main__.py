"""``python -m tavrel.demo.lab``: serve the simulated switch over SSH and
telnet on loopback until interrupted.

It prints one line, ``lab ssh HOST:PORT telnet HOST:PORT``, once both
listen (``--ports-file`` also writes them as JSON, with the known_hosts
text, for scripts), then serves until SIGINT or SIGTERM.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import signal
import sys

from tavrel.demo.lab import Lab
from tavrel.demo.switch import SwitchOptions


def parse_options(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m tavrel.demo.lab",
        description="Serve the simulated switch over SSH and telnet.")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--ssh-port", type=int, default=0,
                        help="0: a free port; -1: no SSH")
    parser.add_argument("--telnet-port", type=int, default=0,
                        help="0: a free port; -1: no telnet")
    parser.add_argument("--username", default="admin")
    # From the environment when given: a command line is visible to every
    # user of the machine.
    parser.add_argument("--password",
                        default=os.environ.get("TAVREL_LAB_PASSWORD",
                                               "tavrel"))
    parser.add_argument("--enable-password",
                        default=os.environ.get("TAVREL_LAB_ENABLE_PASSWORD",
                                               "tavrel-enable"))
    parser.add_argument("--host-key", help="an SSH private key file "
                        "(default: a new key)")
    parser.add_argument("--known-hosts", metavar="FILE",
                        help="write the known_hosts line of the host key")
    parser.add_argument("--ports-file", metavar="FILE",
                        help="write the ports (and known_hosts) as JSON")
    parser.add_argument("--configured", action="store_true",
                        help="skip the switch's setup question")
    parser.add_argument("--page-length", type=int, default=20)
    parser.add_argument("--config-lines", type=int, default=60)
    parser.add_argument("--pace", type=float, default=0.3)
    return parser.parse_args(argv)


async def serve(options: argparse.Namespace) -> None:
    switch = SwitchOptions(enable_password=options.enable_password,
                           configured=options.configured,
                           page_length=options.page_length,
                           config_lines=options.config_lines,
                           pace=options.pace)
    lab = Lab(options.host,
              None if options.ssh_port < 0 else options.ssh_port,
              None if options.telnet_port < 0 else options.telnet_port,
              username=options.username, password=options.password,
              switch=switch, host_key=options.host_key)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, stop.set)
    async with lab:
        if options.known_hosts:
            lab.write_known_hosts(options.known_hosts)
        if options.ports_file:
            with open(options.ports_file + ".new", "w") as file:
                json.dump({"host": options.host, "ssh": lab.ssh_port,
                           "telnet": lab.telnet_port,
                           "known_hosts": lab.known_hosts.decode()}, file)
            # Whole or not at all, for a script that waits for it.
            os.replace(options.ports_file + ".new", options.ports_file)
        print("lab ssh %s:%s telnet %s:%s" % (
            options.host, lab.ssh_port, options.host, lab.telnet_port),
            flush=True)
        await stop.wait()


def main(argv: list[str] | None = None) -> int:
    options = parse_options(argv)
    asyncio.run(serve(options))
    return 0


if __name__ == "__main__":
    sys.exit(main())
