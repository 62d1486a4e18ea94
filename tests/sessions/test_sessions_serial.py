"""Serial sessions over a socat pty pair: the session on one end, a small
console on the other."""

import asyncio
import os
import subprocess
import threading
import time

import pytest

from servers import ENV, need

pytest.importorskip("serial_asyncio_fast")

from tavrel.sessions import AsyncSerialSession, SerialSession  # noqa: E402
from tavrel.utils import SecretText  # noqa: E402


def console(path, stop, ready):
    """A console on ``path``: a login, then a prompt that echoes
    commands' words upper-cased."""
    import serial
    with serial.Serial(path, 115200, timeout=0.1) as line:
        # Opening a port drops what waits on it: the session opens its end
        # only now.
        ready.set()
        def read_line():
            data = b""
            while not data.endswith((b"\r", b"\n")) and not stop.is_set():
                data += line.read(1)
            return data.strip().decode()
        # Silent until someone presses Enter.
        read_line()
        line.write(b"\r\nconsole login: ")
        user = read_line()
        line.write(b"Password: ")
        password = read_line()
        if (user, password) != ("root", "s3cret"):
            line.write(b"\r\nLogin incorrect\r\n")
            return
        while not stop.is_set():
            line.write(b"\r\nconsole# ")
            command = read_line()
            if command:
                line.write(command.upper().encode() + b"\r\n")


@pytest.fixture
def serial_pair(tmp_path):
    need("socat")
    ends = [str(tmp_path / "a"), str(tmp_path / "b")]
    pair = subprocess.Popen(
        ["socat", "pty,raw,echo=0,link=%s" % ends[0],
         "pty,raw,echo=0,link=%s" % ends[1]],
        stderr=subprocess.DEVNULL, env=ENV)
    for _ in range(100):
        if all(os.path.exists(end) for end in ends):
            break
        time.sleep(0.05)
    stop, ready = threading.Event(), threading.Event()
    worker = threading.Thread(target=console, args=(ends[1], stop, ready))
    worker.start()
    assert ready.wait(10)
    yield ends[0]
    stop.set()
    worker.join(5)
    pair.terminate()
    pair.wait(5)


def test_a_console_login_and_commands(serial_pair):
    with SerialSession(serial_pair, 115200, username="root",
                       password=SecretText("s3cret"), prompt=r"console# $",
                       login_timeout=10) as s:
        assert s.link.protocol.transport.serial.baudrate == 115200
        s.sendline("show me")
        s.expect(r"SHOW ME\r\n")
        s.send_break(0.01)


def test_async_face(serial_pair):
    async def main():
        async with AsyncSerialSession(serial_pair, 115200, username="root",
                                      password=SecretText("s3cret"),
                                      prompt=r"console# $") as s:
            s.sendline("hello")
            await s.expect(r"HELLO\r\n")
    asyncio.run(main())


def test_a_missing_device_is_a_connect_error(tmp_path):
    from tavrel.core.errors import ConnectError
    with pytest.raises(ConnectError) as info:
        SerialSession(str(tmp_path / "none")).open()
    assert info.value.host == str(tmp_path / "none")
