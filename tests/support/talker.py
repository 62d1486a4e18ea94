"""The program benchmarks/processor.py talks to on a pty.

    talker.py bulk BYTES      BYTES of 64-byte lines, then the prompt
    talker.py paged BYTES     the same, with --More-- every 24 lines, each
                              answered by one character
    talker.py login COUNT     COUNT logins of five prompts, each answered by
                              a line; "again" starts the next
    talker.py many COUNT FD...  the same on each of the pty slaves FD..., all
                              served by this one process

The terminal is put in raw mode so that what is written arrives as it is
(no echo, no newline translation).
"""

import os
import selectors
import sys
import tty

LINE = b"interface GigabitEthernet1/0/1 description uplink to core-1 ...\n"
assert len(LINE) == 64
PROMPT = b"SW-1#"
LOGIN = [b"Username: ", b"Password: ", b"Terminal type? ", b"[yes/no]: ",
         b"Enable secret: "]
# The dialog that answers them, as statement lists.
LOGIN_DIALOG = [
    [r"Username: $", "sendline(admin)", None, True],
    [r"Password: $", "sendline(secret)", None, True],
    [r"Terminal type\? $", "sendline(vt100)", None, True],
    [r"\[yes/no\]: $", "sendline(no)", None, True],
    [r"Enable secret: $", "sendline(secret)", None, True],
    [r"SW-1>$", None],
]


def write(data):
    view = memoryview(data)
    while view:
        view = view[os.write(1, view):]


def read_line():
    line = b""
    while not line.endswith((b"\r", b"\n")):
        byte = os.read(0, 1)
        if not byte:
            sys.exit(0)
        line += byte
    return line


def serve_many(count, fds):
    """COUNT logins on each of the fds at once, from one selector loop."""
    selector = selectors.DefaultSelector()
    state = {}
    for fd in fds:
        tty.setraw(fd)
        os.set_blocking(fd, False)
        # (prompts answered, logins done, the line so far)
        state[fd] = [0, 0, b""]
        os.write(fd, LOGIN[0])
        selector.register(fd, selectors.EVENT_READ)
    while state:
        for key, _ in selector.select():
            fd = key.fd
            try:
                data = os.read(fd, 4096)
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                data = b""
            if not data:
                selector.unregister(fd)
                del state[fd]
                continue
            entry = state[fd]
            entry[2] += data
            while b"\n" in entry[2] or b"\r" in entry[2]:
                cut = min(i for i in (entry[2].find(b"\n"),
                                      entry[2].find(b"\r")) if i >= 0)
                entry[2] = entry[2][cut + 1:]
                entry[0] += 1
                if entry[0] < len(LOGIN):
                    os.write(fd, LOGIN[entry[0]])
                elif entry[0] == len(LOGIN):
                    os.write(fd, b"\r\nSW-1>")
                else:
                    entry[0] = 0
                    entry[1] += 1
                    if entry[1] == count:
                        selector.unregister(fd)
                        del state[fd]
                        os.close(fd)
                        break
                    os.write(fd, LOGIN[0])


def main():
    mode, count = sys.argv[1], int(sys.argv[2])
    if mode == "many":
        serve_many(count, [int(fd) for fd in sys.argv[3:]])
        return
    tty.setraw(0)
    write(b"READY")
    if mode != "login" and not os.read(0, 1):
        return
    if mode == "bulk":
        block = LINE * 1024
        full, rest = divmod(count // len(LINE), 1024)
        for _ in range(full):
            write(block)
        write(LINE * rest + PROMPT)
    elif mode == "paged":
        page = LINE * 24 + b"--More--"
        for _ in range(count // len(LINE) // 24):
            write(page)
            if not os.read(0, 1):
                return
        write(PROMPT)
    else:
        for _ in range(count):
            for prompt in LOGIN:
                write(prompt)
                read_line()
            write(b"\r\nSW-1>")
            read_line()
    read_line()


def open_sessions(count, logins=1):
    """``count`` pty sessions served by one talker process, each doing
    ``logins`` logins: (the talker's Popen, the pty masters as fdspawns).
    Close the spawns, then wait for the talker."""
    import subprocess

    from pexpect import fdpexpect

    pairs = [os.openpty() for _ in range(count)]
    slaves = [slave for _, slave in pairs]
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    talker = subprocess.Popen(
        [sys.executable, os.path.abspath(__file__), "many", str(logins)]
        + [str(fd) for fd in slaves], pass_fds=slaves, env=env)
    for fd in slaves:
        os.close(fd)
    spawns = [fdpexpect.fdspawn(master, encoding="utf-8", timeout=60,
                                use_poll=True)
              for master, _ in pairs]
    for spawn in spawns:
        spawn.delaybeforesend = None
    return talker, spawns


if __name__ == "__main__":
    main()
