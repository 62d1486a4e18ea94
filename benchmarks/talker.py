"""The program benchmarks/processor.py talks to on a pty.

    talker.py bulk BYTES      BYTES of 64-byte lines, then the prompt
    talker.py paged BYTES     the same, with --More-- every 24 lines, each
                              answered by one character
    talker.py login COUNT     COUNT logins of five prompts, each answered by
                              a line; "again" starts the next

The terminal is put in raw mode so that what is written arrives as it is
(no echo, no newline translation).
"""

import os
import sys
import tty

LINE = b"interface GigabitEthernet1/0/1 description uplink to core-1 ...\n"
assert len(LINE) == 64
PROMPT = b"SW-1#"
LOGIN = [b"Username: ", b"Password: ", b"Terminal type? ", b"[yes/no]: ",
         b"Enable secret: "]


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


def main():
    mode, count = sys.argv[1], int(sys.argv[2])
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


main()
