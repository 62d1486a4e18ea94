"""SSH sessions against OpenSSH's sshd and a bash login shell."""

import asyncio

import pexpect
import pytest

from tavrel.core.errors import (ConnectError, HostKeyError, LoginError)
from tavrel.eal.dialog_processor import process_async
from tavrel.eal.dialogs import Dialog, Statement
from tavrel.sessions import AsyncSSHSession, SSHSession
from tavrel.utils import SecretText

# bash's prompt, maybe followed by terminal escapes.
PROMPT = r"\$ (?:\x1b\[[0-9;?]*[A-Za-z])*$"
SHELL = Dialog([Statement(PROMPT)])


def options(sshd_server, login_user, **extra):
    values = dict(port=sshd_server.port, username=login_user["username"],
                  password=login_user["password"],
                  known_hosts=sshd_server.known_hosts, term_type="dumb")
    values.update(extra)
    return values


def test_sync_password_login_runs_a_command(sshd_server, login_user):
    with SSHSession("127.0.0.1", **options(sshd_server, login_user)) as s:
        SHELL.process(s, timeout=10)
        # AES-GCM is asked for first (cheaper than ChaCha20 in asyncssh).
        assert s.connection.get_extra_info("send_cipher").endswith(
            "-gcm@openssh.com")
        s.sendline("echo $((6 * 7))-$(whoami)")
        s.expect(r"42-(\S+)\r\n", timeout=10)
        assert s.match.group(1) == login_user["username"]
        s.expect(PROMPT)
        s.sendline("exit 3")
        s.expect(pexpect.EOF)
    assert s.exitstatus == 3


def test_async_password_login_runs_a_command(sshd_server, login_user):
    async def main():
        chacha = "chacha20-poly1305@openssh.com"
        async with AsyncSSHSession(
                "127.0.0.1", options={"encryption_algs": [chacha]},
                **options(sshd_server, login_user)) as s:
            assert s.connection.get_extra_info("recv_cipher") == chacha
            await process_async(SHELL, s, timeout=10)
            s.sendline("echo $((6 * 7))")
            assert await s.expect([r"42\r\n"]) == 0
            await s.expect(PROMPT)
            s.sendline("exit")
            await s.expect(pexpect.EOF)
        return s.exitstatus
    assert asyncio.run(main()) == 0


def test_key_login_and_the_agent_off(sshd_server, login_user):
    with SSHSession("127.0.0.1", **options(
            sshd_server, login_user, password=None, agent_path=None,
            client_keys=[sshd_server.client_key])) as s:
        SHELL.process(s, timeout=10)


# -- what goes wrong, each named with the address and without the secret -------


def bad_login(sshd_server, login_user):
    return options(sshd_server, login_user,
                   password=SecretText("not-" + secret(login_user)),
                   client_keys=None, agent_path=None)


def secret(login_user):
    return login_user["password"].plaintext


def other_key(tmp_path, port):
    import asyncssh
    key = asyncssh.generate_private_key("ssh-ed25519")
    path = tmp_path / "known_hosts"
    path.write_bytes(b"[127.0.0.1]:%d " % port + key.export_public_key())
    return str(path)


@pytest.mark.parametrize("fault, error", [
    ("password", LoginError), ("host key", HostKeyError),
    ("no known_hosts", HostKeyError), ("closed port", ConnectError),
])
def test_faults_are_typed_and_name_the_address(sshd_server, login_user,
                                               tmp_path, monkeypatch,
                                               fault, error):
    from servers import free_port
    values = options(sshd_server, login_user)
    if fault == "password":
        values = bad_login(sshd_server, login_user)
    elif fault == "host key":
        values["known_hosts"] = other_key(tmp_path, sshd_server.port)
    elif fault == "no known_hosts":
        monkeypatch.setenv("HOME", str(tmp_path))
        del values["known_hosts"]
    else:
        values["port"] = free_port()
    session = SSHSession("127.0.0.1", **values)
    with pytest.raises(error) as info:
        session.open()
    text = str(info.value)
    assert "127.0.0.1:%d" % values["port"] in text, text
    assert (info.value.host, info.value.port) == ("127.0.0.1",
                                                   values["port"])
    assert secret(login_user) not in text + repr(info.value.args)
    assert session.closed and not session.isalive()


def test_the_host_key_check_can_be_turned_off(sshd_server, login_user,
                                               tmp_path):
    with SSHSession("127.0.0.1", **options(sshd_server, login_user,
                                           known_hosts=None)) as s:
        SHELL.process(s, timeout=10)


def open_fds():
    import os
    return len(os.listdir("/proc/self/fd"))


def own_threads():
    """Threads but the workers of the loop's executor, where the loop looks
    names up: a pool the loop keeps, not one thread per connect."""
    import threading
    return sorted(t.name for t in threading.enumerate()
                  if not t.name.startswith("asyncio_"))


@pytest.fixture
def silent_server():
    """A port that takes connections and never says a word."""
    import socket
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    yield listener.getsockname()[1]
    listener.close()


def test_a_server_that_never_answers_times_out(silent_server):
    import threading
    from tavrel.core.errors import ConnectTimeoutError
    SSHSession("127.0.0.1", silent_server, known_hosts=None,
               connect_timeout=0.3, login_timeout=0.3)  # starts nothing
    threads, fds = threading.active_count(), open_fds()
    session = SSHSession("127.0.0.1", silent_server, known_hosts=None,
                         connect_timeout=0.3, login_timeout=0.3)
    with pytest.raises(ConnectTimeoutError) as info:
        session.open()
    assert "127.0.0.1:%d" % silent_server in str(info.value)
    assert isinstance(info.value, TimeoutError)
    # The shared loop thread may have started with the first session.
    assert threading.active_count() <= threads + 1
    assert open_fds() <= fds


def test_a_cancelled_connect_leaves_nothing_behind(silent_server):
    from servers import free_port

    async def main():
        # Once, so that the loop has the worker thread it resolves names
        # in (one for the loop, not one per connect).
        with pytest.raises(ConnectError):
            await AsyncSSHSession("127.0.0.1", free_port(),
                                  known_hosts=None).open()
        tasks, fds = len(asyncio.all_tasks()), open_fds()
        threads = own_threads()
        session = AsyncSSHSession("127.0.0.1", silent_server,
                                  known_hosts=None, connect_timeout=30,
                                  login_timeout=30)
        opening = asyncio.ensure_future(session.open())
        await asyncio.sleep(0.3)
        opening.cancel()
        with pytest.raises(asyncio.CancelledError):
            await opening
        await asyncio.sleep(0)
        assert len(asyncio.all_tasks()) == tasks
        assert open_fds() == fds
        assert own_threads() == threads
        assert session.closed

    asyncio.run(main())


@pytest.mark.parametrize("when", ["mid-command", "mid-output"])
def test_the_server_killed_under_a_session(sshd_server, login_user, when):
    import os
    import signal
    from tavrel.core.errors import DialogEOFError, SessionClosedError
    with SSHSession("127.0.0.1", **options(sshd_server, login_user)) as s:
        SHELL.process(s, timeout=10)
        s.sendline("echo server=$PPID")
        s.expect(r"server=(\d+)\r\n")
        server = int(s.match.group(1))
        s.expect(PROMPT)
        if when == "mid-command":
            s.sendline("sleep 30")
        else:
            s.sendline("seq 1 3000000")
            s.expect(r"\d+\r\n\d+\r\n")
        # The process serving this connection only: the fixture's server
        # goes on.
        os.kill(server, signal.SIGKILL)
        with pytest.raises(DialogEOFError):
            SHELL.process(s, timeout=10)
        assert not s.isalive()
        with pytest.raises(SessionClosedError):
            s.sendline("echo too late")


@pytest.mark.slow
def test_ten_thousand_connects_to_a_closed_port():
    from servers import free_port
    port = free_port()

    async def one(limit):
        async with limit:
            session = AsyncSSHSession("127.0.0.1", port, known_hosts=None,
                                      connect_timeout=5)
            try:
                await session.open()
            except ConnectError as exc:
                return exc.port
            return None

    async def main():
        fds = open_fds()
        limit = asyncio.Semaphore(200)
        ports = await asyncio.wait_for(asyncio.gather(
            *(one(limit) for _ in range(10_000))), 300)
        assert ports == [port] * 10_000
        assert open_fds() == fds
        assert len(asyncio.all_tasks()) == 1

    asyncio.run(main())
