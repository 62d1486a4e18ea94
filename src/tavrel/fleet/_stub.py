"""STUB of the fleet core (branch fleet-core), just enough for the Dask
path and its tests until the branches meet; removed at the merge."""

from __future__ import annotations

import asyncio
import dataclasses
import importlib
import os
import time
from collections.abc import AsyncIterator, Iterable, Mapping
from typing import Any

from tavrel.devices import NETWORK_CLI, POSIX_SHELL, AsyncDevice
from tavrel.utils import SecretText


@dataclasses.dataclass(frozen=True)
class Credential:
    env: str | None = None
    file: str | None = None

    def resolve(self) -> SecretText:
        if self.env is not None:
            return SecretText(os.environ[self.env])
        assert self.file is not None
        with open(self.file) as file:
            return SecretText(file.read().strip())


@dataclasses.dataclass(frozen=True)
class Host:
    name: str
    hostname: str
    port: int | None = None
    platform: str = "network_cli"
    session: str = "ssh"
    username: str | None = None
    password: Credential | None = None
    secrets: Mapping[str, Credential] = dataclasses.field(
        default_factory=dict)
    groups: tuple[str, ...] = ()
    data: Mapping[str, Any] = dataclasses.field(default_factory=dict)
    options: Mapping[str, Any] = dataclasses.field(default_factory=dict)


@dataclasses.dataclass(frozen=True)
class HostResult:
    host: str
    ok: bool
    result: Any = None
    error: str | None = None
    error_type: str | None = None
    attempts: int = 1
    elapsed: float = 0.0

    def to_json(self) -> dict[str, Any]:
        return dataclasses.asdict(self)


@dataclasses.dataclass(frozen=True)
class Command:
    command: str

    async def __call__(self, device: Any, host: Host) -> Any:
        return await device.send_command(self.command)


def resolve_task(spec: Any) -> Any:
    if isinstance(spec, str):
        module, _, name = spec.partition(":")
        return getattr(importlib.import_module(module), name)
    return spec


async def open_device(host: Host) -> AsyncDevice:
    from tavrel.sessions import AsyncSSHSession

    session = AsyncSSHSession(
        host.hostname, host.port or 22, username=host.username,
        password=host.password.resolve() if host.password else None,
        **host.options)
    await session.open()
    platform = {"network_cli": NETWORK_CLI,
                "posix_shell": POSIX_SHELL}[host.platform]
    return await AsyncDevice(session, platform).open()


async def run_hosts(hosts: Iterable[Host], task: Any, *,
                    concurrency: int = 100, timeout: float | None = 60,
                    retries: int = 2, backoff: float = 1.0
                    ) -> AsyncIterator[HostResult]:
    task = resolve_task(task)
    limit = asyncio.Semaphore(concurrency)

    async def one(host: Host) -> HostResult:
        async with limit:
            began = time.monotonic()
            try:
                device = await open_device(host)
                try:
                    value = await asyncio.wait_for(task(device, host),
                                                   timeout)
                finally:
                    await device.session.close()
            except Exception as exc:
                return HostResult(host.name, False, error=str(exc),
                                  error_type=type(exc).__name__,
                                  elapsed=time.monotonic() - began)
            return HostResult(host.name, True, value,
                              elapsed=time.monotonic() - began)

    for done in asyncio.as_completed([one(host) for host in hosts]):
        yield await done


def run_batch(hosts: list[Host], task: Any, **options: Any
              ) -> list[HostResult]:
    async def collect() -> list[HostResult]:
        return [result async for result in run_hosts(hosts, task,
                                                      **options)]
    return asyncio.run(collect())


@dataclasses.dataclass
class FleetReport:
    results: list[HostResult]


def run(hosts: Iterable[Host], task: Any, *, progress: Any = None,
        **options: Any) -> FleetReport:
    return FleetReport(run_batch(list(hosts), task, **options))
