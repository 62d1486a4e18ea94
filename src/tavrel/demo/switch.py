"""The simulated switch as a model: one switch session, over any terminal.

:class:`Switch` is the switch's behaviour (banner, login, setup question,
commands, pager); it talks through a :class:`Terminal`, which the program
:mod:`tavrel.demo.device` gives it on a real pty and the lab
(:mod:`tavrel.demo.lab`) gives it in-process over SSH and telnet, where
:class:`StreamTerminal` plays the part of the terminal's line discipline
(echo, Enter, backspace), as the kernel does on a pty.
"""

from __future__ import annotations

import asyncio
import time
from collections.abc import Callable
from dataclasses import dataclass

__all__ = ["SwitchOptions", "Terminal", "StreamTerminal", "Switch",
           "running_config"]


@dataclass
class SwitchOptions:
    hostname: str = "SW-1"
    username: str = "admin"
    password: str = "tavrel"
    enable_password: str = "tavrel-enable"
    # Skip the initial setup question.
    configured: bool = False
    # After the banner, wait for Enter before the login prompt.
    quiet_console: bool = False
    # Lines per page of long output; 0: no paging.
    page_length: int = 20
    config_lines: int = 60
    # Seconds between the steps of slow output.
    pace: float = 0.3
    write_steps: int = 5
    # Ask for a user name and password (not when SSH has logged the user
    # in already).
    login: bool = True
    # Faults, for trying what a client makes of them: after this many
    # configuration lines (0: never), the switch stops answering for
    # ``stall_for`` seconds (once, before the next line), or ends the
    # session.
    stall_after: int = 0
    stall_for: float = 3600.0
    drop_after: int = 0


class Terminal:
    """What the switch needs of its terminal.  Reads raise EOFError when
    the session ends."""

    def write(self, text: str) -> None:
        raise NotImplementedError

    async def read_line(self, echo: bool = True) -> str:
        raise NotImplementedError

    async def read_key(self) -> str:
        raise NotImplementedError

    def discard_typeahead(self) -> None:
        raise NotImplementedError


class StreamTerminal(Terminal):
    """A terminal over a byte stream (an SSH channel, a telnet connection):
    it echoes what is typed as a pty in canonical mode would (not while a
    password is read, not for single keys), turns Enter into a line end and
    "\\n" written into "\\r\\n"."""

    def __init__(self, send: Callable[[bytes], None]) -> None:
        self._send = send
        self._pending = bytearray()
        self._ended = False
        self._echo = True
        self._after_cr = False
        self._wake: asyncio.Future[None] | None = None

    # -- the stream's side -------------------------------------------------

    def feed(self, data: bytes) -> None:
        if self._echo:
            self._send(self._echo_of(data))
        elif data:
            self._after_cr = data[-1:] == b"\r"
        self._pending += data
        self._notify()

    def feed_eof(self) -> None:
        self._ended = True
        self._notify()

    def _notify(self) -> None:
        wake = self._wake
        if wake is not None and not wake.done():
            wake.set_result(None)

    async def _more(self) -> None:
        if self._ended:
            raise EOFError
        self._wake = asyncio.get_running_loop().create_future()
        try:
            await self._wake
        finally:
            self._wake = None

    # -- the switch's side -------------------------------------------------

    def write(self, text: str) -> None:
        self._send(text.replace("\n", "\r\n").encode("utf-8"))

    async def read_line(self, echo: bool = True) -> str:
        self._echo = echo
        try:
            while True:
                line = _cut_line(self._pending)
                if line is not None:
                    return _edited(line).decode("utf-8", "replace")
                await self._more()
        finally:
            self._echo = True

    async def read_key(self) -> str:
        self._echo = False
        try:
            while not self._pending:
                await self._more()
        finally:
            self._echo = True
        key = self._pending[:1]
        del self._pending[:1]
        return key.decode("latin-1")

    def discard_typeahead(self) -> None:
        self._pending.clear()

    def _echo_of(self, data: bytes) -> bytes:
        # A pty in canonical mode: Enter echoes as a line end (once for a
        # telnet "\r\n" or "\r\0"), erase as backspace-space-backspace;
        # other control characters are not shown.
        out = bytearray()
        after_cr = self._after_cr
        for byte in data:
            if byte == 13 or (byte == 10 and not after_cr):
                out += b"\r\n"
            elif byte in (8, 127):
                out += b"\b \b"
            elif byte >= 32 or byte == 9:
                out.append(byte)
            after_cr = byte == 13
        self._after_cr = after_cr
        return bytes(out)


def _cut_line(pending: bytearray) -> bytes | None:
    """Take one line out of ``pending`` (without its end); "\\r\\n" and
    "\\r\\0" end one line, not two."""
    ends = [i for i in (pending.find(b"\n"), pending.find(b"\r")) if i >= 0]
    if not ends:
        return None
    cut = min(ends)
    line = bytes(pending[:cut])
    rest = cut + 1
    if pending[cut:cut + 1] == b"\r" and bytes(
            pending[rest:rest + 1]) in (b"\n", b"\0"):
        rest += 1
    del pending[:rest]
    return line


def _edited(line: bytes) -> bytes:
    out = bytearray()
    for byte in line:
        if byte in (8, 127):
            if out:
                out.pop()
        else:
            out.append(byte)
    return bytes(out)


def running_config(hostname: str, lines: int) -> list[str]:
    """A made-up configuration of about ``lines`` lines."""
    head = [
        "Building configuration...",
        "",
        "Current configuration : 4711 bytes",
        "!",
        "version 1.0",
        "hostname %s" % hostname,
        "!",
        "username admin privilege 15 secret 5 $1$hidden$",
        "!",
    ]
    body: list[str] = []
    port = 1
    while len(head) + len(body) < lines - 2:
        body += [
            "interface GigabitEthernet0/%d" % port,
            " description access port %d" % port,
            " switchport access vlan %d" % (10 + port % 4),
            "!",
        ]
        port += 1
    return head + body + ["end", ""]


class Switch:
    """One session of the switch on ``terminal``; :meth:`run` returns the
    exit status."""

    def __init__(self, options: SwitchOptions, terminal: Terminal) -> None:
        self.options = options
        self.term = terminal
        self.hostname = options.hostname
        self.privileged = False
        self.page_length = options.page_length
        # The configuration mode: None outside it, else "config" or a
        # sub-mode such as "config-if".
        self.config: str | None = None
        self.config_lines = 0

    async def prompt(self, text: str) -> str:
        self.term.write(text)
        return (await self.term.read_line()).strip()

    async def prompt_secret(self, text: str) -> str:
        self.term.write(text)
        line = await self.term.read_line(echo=False)
        # The Enter key was not echoed either.
        self.term.write("\n")
        return line

    # -- session ----------------------------------------------------------

    async def run(self) -> int:
        term = self.term
        term.write("\n%s simulated switch, software 1.0\n"
                   "Unauthorized access is prohibited.\n\n" % self.hostname)
        if self.options.quiet_console:
            # Like a console line: nothing more until someone hits Enter;
            # Enters typed ahead of the login prompt are dropped.
            await term.read_line()
            term.discard_typeahead()
        if self.options.login and not await self.login():
            term.write("% Too many authentication failures\n")
            return 1
        if not self.options.configured:
            await self.setup_question()
        term.write("\n")
        while True:
            mark = "#" if self.privileged else ">"
            if self.config is not None:
                mark = "(%s)#" % self.config
            command = " ".join((await self.prompt(self.hostname
                                                  + mark)).split())
            if self.config is not None:
                if await self.fault():
                    return 1
                self.configure(command)
                continue
            if command in ("exit", "logout", "quit"):
                term.write("\nConnection closed.\n")
                return 0
            if command == "reload" and self.privileged:
                if await self.reload():
                    return 0
                continue
            await self.execute(command)

    async def login(self) -> bool:
        term = self.term
        for _ in range(3):
            user = await self.prompt("Username: ")
            password = await self.prompt_secret("Password: ")
            if (user == self.options.username
                    and password == self.options.password):
                return True
            term.write("% Login invalid\n\n")
        return False

    async def setup_question(self) -> None:
        term = self.term
        while True:
            answer = (await self.prompt(
                "Would you like to enter the initial configuration "
                "dialog? [yes/no]: ")).lower()
            if answer in ("no", "n"):
                return
            if answer in ("yes", "y"):
                term.write("% The configuration dialog is not available "
                           "on this device.\n")
                return
            term.write("% Please answer 'yes' or 'no'.\n")

    # -- commands ---------------------------------------------------------

    async def execute(self, command: str) -> None:
        term = self.term
        words = command.split()
        if not words:
            return
        if command == "enable":
            if not self.privileged:
                password = await self.prompt_secret("Password: ")
                if password == self.options.enable_password:
                    self.privileged = True
                else:
                    term.write("% Access denied\n")
        elif command in ("configure terminal", "configure") \
                and self.privileged:
            self.config = "config"
        elif command == "clear counters" and self.privileged:
            term.write('Clear "show interface" counters on all interfaces '
                       '[confirm]')
            key = await term.read_key()
            term.write("\n")
            if key in ("y", "Y", "\r", "\n"):
                term.write("Counters cleared.\n")
        elif command == "disable":
            self.privileged = False
        elif command == "show version":
            term.write("Simulated switch software, version 1.0\n"
                       "%s uptime is 3 weeks, 2 days\n"
                       "48 Gigabit Ethernet interfaces\n" % self.hostname)
        elif command == "show clock":
            term.write(time.strftime("%H:%M:%S UTC %a %b %d %Y\n",
                                     time.gmtime()))
        elif words[:2] == ["terminal", "length"] and len(words) == 3 \
                and words[2].isdigit():
            self.page_length = int(words[2])
        elif not self.privileged and words[0] in ("show", "write",
                                                  "reload"):
            term.write("% This command needs privileged mode\n")
        elif command == "show running-config":
            await self.page(running_config(self.hostname,
                                           self.options.config_lines))
        elif command == "write memory":
            term.write("Building configuration")
            for _ in range(self.options.write_steps):
                await asyncio.sleep(self.options.pace)
                term.write(".")
            term.write("\n[OK]\n")
        else:
            term.write("%% Unknown command: %s\n" % command)

    async def fault(self) -> bool:
        """The fault the options ask for before a configuration line, if
        any: True when the session ends here, without a word."""
        self.config_lines += 1
        options = self.options
        if options.drop_after and self.config_lines > options.drop_after:
            return True
        if (options.stall_after
                and self.config_lines == options.stall_after + 1):
            await asyncio.sleep(options.stall_for)
        return False

    def configure(self, line: str) -> None:
        """A line of configuration: a few are known, others are rejected
        with the marker under the line, as devices do."""
        words = line.split()
        if not words:
            return
        if line == "end":
            self.config = None
        elif line == "exit":
            self.config = None if self.config == "config" else "config"
        elif words[0] == "hostname" and len(words) == 2:
            self.hostname = words[1]
        elif words[0] == "interface" and len(words) == 2:
            self.config = "config-if"
        elif words[0] in ("description", "no", "vlan", "ip", "shutdown",
                          "switchport", "logging", "ntp", "banner"):
            return
        else:
            self.term.write(" " * len(self.hostname + "(%s)#" % self.config)
                            + "^\n% Invalid input detected at '^' "
                              "marker.\n")

    async def page(self, lines: list[str]) -> None:
        term = self.term
        more = " --More-- "
        shown = 0
        budget = self.page_length or len(lines)
        while shown < len(lines):
            chunk = lines[shown:shown + budget]
            term.write("".join(line + "\n" for line in chunk))
            shown += len(chunk)
            if shown >= len(lines):
                break
            term.write(more)
            key = await term.read_key()
            # Wipe the pager prompt, as real terminals do.
            term.write("\r" + " " * len(more) + "\r")
            if key in ("q", "Q"):
                break
            budget = 1 if key in ("\r", "\n") else self.page_length

    async def reload(self) -> bool:
        term = self.term
        # The prompt comes in two pieces, as on a busy device.
        term.write("Proceed with reload? ")
        await asyncio.sleep(self.options.pace)
        term.write("[confirm]")
        key = await term.read_key()
        term.write("\n")
        if key in ("y", "Y", "\r", "\n"):
            term.write("Reloading...\n")
            return True
        return False
