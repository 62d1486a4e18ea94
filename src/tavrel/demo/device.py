"""A small simulated network switch, talking on its terminal.

Run ``python -m tavrel.demo.device --help`` for its options.  It shows a
banner, asks for a user name and a password (without echo), asks a yes/no
setup question once, then gives a user prompt (``SW-1>``).  ``enable`` asks
for the enable password and gives the privileged prompt (``SW-1#``).
Commands: ``show version``, ``show clock``, ``show running-config`` (paged
behind ``--More--``: space for the next page, Enter for one more line, ``q``
to stop), ``terminal length N``, ``write memory`` (slow), ``reload`` (asks
for confirmation and ends the session), ``disable``, ``exit``.
"""

import argparse
import asyncio
import os
import sys
import termios

from tavrel.demo.switch import Switch, SwitchOptions, Terminal

STDIN = 0
STDOUT = 1


class PtyTerminal(Terminal):
    """The switch's terminal on file descriptors 0 and 1: the kernel's
    line discipline echoes and edits; the switch only turns echo and
    canonical mode off where a device would.  A session of its own per
    process, so reads simply block."""

    def __init__(self):
        self.pending = b""
        self.is_tty = os.isatty(STDIN)

    def write(self, text):
        data = text.encode("utf-8")
        while data:
            data = data[os.write(STDOUT, data):]

    def _fill(self):
        chunk = os.read(STDIN, 1024)
        if not chunk:
            raise EOFError
        self.pending += chunk

    async def read_line(self, echo=True):
        with _TerminalMode(self.is_tty, echo=echo, canonical=True):
            while b"\n" not in self.pending and b"\r" not in self.pending:
                self._fill()
        cut = min(i for i in (self.pending.find(b"\n"),
                              self.pending.find(b"\r")) if i >= 0)
        line = self.pending[:cut]
        # A "\r\n" pair ends one line, not two.
        rest = self.pending[cut + 1:]
        if self.pending[cut:cut + 1] == b"\r" and rest.startswith(b"\n"):
            rest = rest[1:]
        self.pending = rest
        return line.decode("utf-8", "replace")

    def discard_typeahead(self):
        self.pending = b""
        if self.is_tty:
            termios.tcflush(STDIN, termios.TCIFLUSH)

    async def read_key(self):
        with _TerminalMode(self.is_tty, echo=False, canonical=False):
            if not self.pending:
                self._fill()
        key = self.pending[:1]
        self.pending = self.pending[1:]
        return key.decode("latin-1")


class _TerminalMode:
    def __init__(self, is_tty, echo, canonical):
        self.is_tty = is_tty
        self.echo = echo
        self.canonical = canonical
        self.saved = None

    def __enter__(self):
        if not self.is_tty or (self.echo and self.canonical):
            # The mode the session is in between reads.
            return self
        self.saved = termios.tcgetattr(STDIN)
        mode = termios.tcgetattr(STDIN)
        lflag = mode[3]
        lflag = lflag | termios.ECHO if self.echo else lflag & ~termios.ECHO
        if self.canonical:
            lflag |= termios.ICANON
        else:
            lflag &= ~termios.ICANON
            mode[6][termios.VMIN] = 1
            mode[6][termios.VTIME] = 0
        mode[3] = lflag
        termios.tcsetattr(STDIN, termios.TCSANOW, mode)
        return self

    def __exit__(self, *exc):
        if self.saved is not None:
            termios.tcsetattr(STDIN, termios.TCSANOW, self.saved)
        return False


def parse_options(argv):
    parser = argparse.ArgumentParser(
        prog="python -m tavrel.demo.device",
        description="A simulated network switch for trying dialogs.")
    parser.add_argument("--hostname", default="SW-1")
    parser.add_argument("--username", default="admin")
    # Passwords come from the environment when given: a command line is
    # visible to every user of the machine, and a value that begins with
    # "-" would be taken for an option.
    parser.add_argument("--password",
                        default=os.environ.get("TAVREL_DEVICE_PASSWORD", "tavrel"))
    parser.add_argument("--enable-password",
                        default=os.environ.get("TAVREL_DEVICE_ENABLE_PASSWORD",
                                               "tavrel-enable"))
    parser.add_argument("--configured", action="store_true",
                        help="skip the initial setup question")
    parser.add_argument("--quiet-console", action="store_true",
                        help="after the banner, wait for Enter before the "
                             "login prompt")
    parser.add_argument("--page-length", type=int, default=20,
                        help="lines per page of long output; 0: no paging")
    parser.add_argument("--config-lines", type=int, default=60)
    parser.add_argument("--pace", type=float, default=0.3,
                        help="seconds between the steps of slow output")
    parser.add_argument("--write-steps", type=int, default=5,
                        help="progress dots printed by 'write memory'")
    return parser.parse_args(argv)


def switch_options(options):
    return SwitchOptions(
        hostname=options.hostname, username=options.username,
        password=options.password, enable_password=options.enable_password,
        configured=options.configured, quiet_console=options.quiet_console,
        page_length=options.page_length, config_lines=options.config_lines,
        pace=options.pace, write_steps=options.write_steps)


def main(argv=None):
    options = parse_options(argv)
    switch = Switch(switch_options(options), PtyTerminal())
    try:
        return asyncio.run(switch.run())
    except EOFError:
        return 0
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
