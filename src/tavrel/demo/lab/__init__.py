"""The device lab: the simulated switch served over SSH and telnet.

``python -m tavrel.demo.lab`` (or :class:`Lab` in a program, or
:class:`LabThread` for sync code and tests) serves the switch of
:mod:`tavrel.demo.switch` on loopback ports, each connection a switch
session of its own, all of them in-process on one event loop: thousands of
sessions per process, no root, no system sshd.  SSH logs the user in with
the lab's password (password or keyboard-interactive authentication, or a
key from ``authorized_keys``) and the switch starts at its banner; telnet
gets the switch's own ``Username:``/``Password:`` prompts.

The SSH host key is made afresh for each lab unless one is given:
``lab.known_hosts`` is the known_hosts text that trusts it, for
``SSHSession(..., known_hosts=lab.known_hosts)``.
"""

from __future__ import annotations

import asyncio
import dataclasses
import threading
from collections.abc import Iterable
from typing import Any

from tavrel.demo.switch import Switch, SwitchOptions
from tavrel.demo.lab._telnet import serve_telnet

__all__ = ["Lab", "LabThread", "SwitchOptions"]


class Lab:
    """The lab on the running event loop: ``async with Lab() as lab`` (or
    ``await lab.start()`` ... ``await lab.stop()``).

    ``ssh_port`` and ``telnet_port`` are the ports to listen on (0: a free
    one, None: not served); once started they are the ports in use.
    ``username`` and ``password`` log in (the switch's own login over
    telnet, SSH's over SSH); ``switch`` sets the switch's other options.
    ``host_key`` is an asyncssh private key or a key file (default: a new
    Ed25519 key); ``authorized_keys`` lists public keys allowed to log in
    without the password.  ``kbdint_prompts`` are the keyboard-interactive
    prompts: the password's, and any more (say a one-time code, whose
    answer ``kbdint_answers`` gives).  With ``console`` the switch asks
    for the user name and password again after an SSH login, as a device
    behind a console server does.
    """

    def __init__(self, host: str = "127.0.0.1", ssh_port: int | None = 0,
                 telnet_port: int | None = 0, *, username: str = "admin",
                 password: str = "tavrel",
                 switch: SwitchOptions | None = None,
                 host_key: Any = None, authorized_keys: Any = None,
                 kbdint_prompts: Iterable[str] = ("Password: ",),
                 kbdint_answers: Iterable[str] = (),
                 console: bool = False) -> None:
        self.host = host
        self.ssh_port = ssh_port
        self.telnet_port = telnet_port
        self.username = username
        self.password = password
        self.switch = dataclasses.replace(switch or SwitchOptions(),
                                          username=username,
                                          password=password)
        self.host_key = host_key
        self.authorized_keys = authorized_keys
        self.kbdint_prompts = list(kbdint_prompts)
        self.kbdint_answers = list(kbdint_answers)
        self.console = console
        self.known_hosts = b""
        self.sessions = 0
        self.served = 0
        self._servers: list[Any] = []
        self._tasks: set[asyncio.Task[Any]] = set()

    async def __aenter__(self) -> Lab:
        await self.start()
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.stop()

    async def start(self) -> None:
        try:
            if self.ssh_port is not None:
                # Imported here: the telnet lab needs no asyncssh.
                from tavrel.demo.lab._ssh import serve_ssh

                server, self.ssh_port, self.known_hosts = await serve_ssh(
                    self)
                self._servers.append(server)
            if self.telnet_port is not None:
                server = await serve_telnet(self)
                self.telnet_port = server.sockets[0].getsockname()[1]
                self._servers.append(server)
        except BaseException:
            await self.stop()
            raise

    async def stop(self) -> None:
        servers, self._servers = self._servers, []
        for server in servers:
            server.close()
        for task in list(self._tasks):
            task.cancel()
        if self._tasks:
            await asyncio.wait(list(self._tasks), timeout=5)
        for server in servers:
            try:
                await asyncio.wait_for(server.wait_closed(), 5)
            except asyncio.TimeoutError:
                pass

    def write_known_hosts(self, path: str) -> str:
        """Write the known_hosts text to ``path``; returns the path."""
        with open(path, "wb") as file:
            file.write(self.known_hosts)
        return path

    def run_switch(self, terminal: Any, login: bool,
                   done: Any) -> asyncio.Task[int]:
        """Start one switch session on ``terminal``; ``done(status)`` is
        called when it ends (status None: it was cut off)."""
        options = self.switch if login else dataclasses.replace(
            self.switch, login=False)

        async def session() -> int:
            self.sessions += 1
            self.served += 1
            status: int | None = None
            try:
                status = await Switch(options, terminal).run()
            except EOFError:
                status = 0
            finally:
                self.sessions -= 1
                done(status)
            return status

        task = asyncio.get_running_loop().create_task(session())
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)
        return task


class LabThread:
    """A :class:`Lab` on an event loop of its own, in a thread of its own,
    for sync code: ``with LabThread() as lab: ...`` (the arguments are
    :class:`Lab`'s; its attributes are read through)."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self.lab = Lab(*args, **kwargs)
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None

    def __getattr__(self, name: str) -> Any:
        return getattr(self.lab, name)

    def __enter__(self) -> LabThread:
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def start(self) -> None:
        loop = self._loop = asyncio.new_event_loop()
        started = threading.Event()
        failure: list[BaseException] = []

        def serve() -> None:
            asyncio.set_event_loop(loop)
            try:
                loop.run_until_complete(self.lab.start())
            except BaseException as exc:
                failure.append(exc)
                started.set()
                loop.close()
                return
            started.set()
            loop.run_forever()
            loop.run_until_complete(self.lab.stop())
            loop.close()

        self._thread = threading.Thread(target=serve, name="tavrel-lab",
                                        daemon=True)
        self._thread.start()
        started.wait()
        if failure:
            self._thread.join()
            raise failure[0]

    def stop(self) -> None:
        if self._thread is None or self._loop is None:
            return
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(15)
        self._thread = None
