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
import os
import sys
import termios
import time

STDIN = 0
STDOUT = 1


class Terminal:
    """Line and key input on file descriptor 0, output on 1."""

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

    def read_line(self):
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

    def prompt(self, text):
        self.write(text)
        return self.read_line().strip()

    def prompt_secret(self, text):
        self.write(text)
        with self._mode(echo=False, canonical=True):
            line = self.read_line()
        # The Enter key was not echoed either.
        self.write("\n")
        return line

    def read_key(self):
        with self._mode(echo=False, canonical=False):
            if not self.pending:
                self._fill()
        key = self.pending[:1]
        self.pending = self.pending[1:]
        return key.decode("latin-1")

    def _mode(self, echo, canonical):
        return _TerminalMode(self.is_tty, echo, canonical)


class _TerminalMode:
    def __init__(self, is_tty, echo, canonical):
        self.is_tty = is_tty
        self.echo = echo
        self.canonical = canonical
        self.saved = None

    def __enter__(self):
        if not self.is_tty:
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


def running_config(hostname, lines):
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
    body = []
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


class Device:
    def __init__(self, options, terminal):
        self.options = options
        self.term = terminal
        self.hostname = options.hostname
        self.privileged = False
        self.page_length = options.page_length

    # -- session ----------------------------------------------------------

    def run(self):
        term = self.term
        term.write("\n%s simulated switch, software 1.0\n"
                   "Unauthorized access is prohibited.\n\n" % self.hostname)
        if self.options.quiet_console:
            # Like a console line: nothing more until someone hits Enter;
            # Enters typed ahead of the login prompt are dropped.
            term.read_line()
            term.discard_typeahead()
        if not self.login():
            term.write("% Too many authentication failures\n")
            return 1
        if not self.options.configured:
            self.setup_question()
        term.write("\n")
        while True:
            mark = "#" if self.privileged else ">"
            command = " ".join(term.prompt(self.hostname + mark).split())
            if command in ("exit", "logout", "quit"):
                term.write("\nConnection closed.\n")
                return 0
            if command == "reload" and self.privileged:
                if self.reload():
                    return 0
                continue
            self.execute(command)

    def login(self):
        term = self.term
        for _ in range(3):
            user = term.prompt("Username: ")
            password = term.prompt_secret("Password: ")
            if (user == self.options.username
                    and password == self.options.password):
                return True
            term.write("% Login invalid\n\n")
        return False

    def setup_question(self):
        term = self.term
        while True:
            answer = term.prompt(
                "Would you like to enter the initial configuration "
                "dialog? [yes/no]: ").lower()
            if answer in ("no", "n"):
                return
            if answer in ("yes", "y"):
                term.write("% The configuration dialog is not available "
                           "on this device.\n")
                return
            term.write("% Please answer 'yes' or 'no'.\n")

    # -- commands ---------------------------------------------------------

    def execute(self, command):
        term = self.term
        words = command.split()
        if not words:
            return
        if command == "enable":
            if not self.privileged:
                password = term.prompt_secret("Password: ")
                if password == self.options.enable_password:
                    self.privileged = True
                else:
                    term.write("% Access denied\n")
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
            self.page(running_config(self.hostname,
                                     self.options.config_lines))
        elif command == "write memory":
            term.write("Building configuration")
            for _ in range(self.options.write_steps):
                time.sleep(self.options.pace)
                term.write(".")
            term.write("\n[OK]\n")
        else:
            term.write("%% Unknown command: %s\n" % command)

    def page(self, lines):
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
            key = term.read_key()
            # Wipe the pager prompt, as real terminals do.
            term.write("\r" + " " * len(more) + "\r")
            if key in ("q", "Q"):
                break
            budget = 1 if key in ("\r", "\n") else self.page_length

    def reload(self):
        term = self.term
        # The prompt comes in two pieces, as on a busy device.
        term.write("Proceed with reload? ")
        time.sleep(self.options.pace)
        term.write("[confirm]")
        key = term.read_key()
        term.write("\n")
        if key in ("y", "Y", "\r", "\n"):
            term.write("Reloading...\n")
            return True
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


def main(argv=None):
    options = parse_options(argv)
    device = Device(options, Terminal())
    try:
        return device.run()
    except EOFError:
        return 0
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
