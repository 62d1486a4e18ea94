"""The runner: one task over many hosts on one event loop, with bounded
concurrency, a timeout per host, retries with backoff for connection
errors only, and a result for every host."""

from __future__ import annotations

import asyncio
import contextlib
import importlib
import inspect
import json
import os
import random
import re
import signal
import threading
import time
from collections.abc import (AsyncGenerator, Awaitable, Callable, Coroutine,
                             Iterable, Mapping)
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Union

from tavrel._engine.secrets import Masker
from tavrel.core.errors import ConnectError, SessionError
from tavrel.devices import NETWORK_CLI, POSIX_SHELL, AsyncDevice, Platform
from tavrel.eal.dialogs import Dialog
from tavrel.fleet._inventory import Host
from tavrel.utils import SecretText

if TYPE_CHECKING:
    from tavrel.fleet._report import FleetReport

__all__ = ["Command", "DialogTask", "HostResult", "Task", "resolve_task",
           "open_device", "run_host", "run_hosts", "run_batch", "run",
           "run_async"]

TaskFunction = Callable[[AsyncDevice, Host], Awaitable[Any]]
#: What the runner runs on each host: an async function of the device and
#: the host, a Dialog, a Command, or "module:name" naming one of them.
Task = Union[str, "Command", Dialog, Callable[..., Any]]

PLATFORMS = {p.name: p for p in (NETWORK_CLI, POSIX_SHELL)}
#: Session options of SSH alone: a telnet host leaves them out, so that
#: one set of options (a group's, the defaults') serves both kinds.
SSH_ONLY = frozenset({"known_hosts", "client_keys", "passphrase",
                      "agent_path", "kbdint", "tunnel", "keepalive",
                      "command", "options"})


@dataclass(frozen=True)
class Command:
    """A task that sends one command and gives its output (a str):
    ``Command("show version")``.  ``timeout`` bounds the command (default:
    the device's step timeout)."""

    command: str
    timeout: float | None = None

    async def __call__(self, device: AsyncDevice, host: Host) -> str:
        return str(await device.send_command(self.command,
                                             timeout=self.timeout))


@dataclass(frozen=True)
class DialogTask:
    """A task that runs a dialog on the device's session, after its prompt,
    with the device's credentials as context; its result is a summary:
    ``kind``, ``pattern`` and ``output`` (secrets masked)."""

    dialog: Dialog
    timeout: float | None = None

    async def __call__(self, device: AsyncDevice, host: Host
                       ) -> dict[str, Any]:
        from tavrel.eal.dialog_processor import process_async

        # The device's stream: escapes removed, and what it has read but
        # not consumed is not lost.
        result = await process_async(self.dialog, device._stream_of(),
                                     timeout=self.timeout or device.timeout,
                                     context=device.context)
        # A password the dialog sent may have come back in the output.
        masker = Masker(
            c["password"].plaintext for c in device.context.get(
                "credentials", {}).values()
            if isinstance(c, Mapping) and isinstance(c.get("password"),
                                                     SecretText))
        return {"kind": result.kind, "pattern": result.pattern,
                "output": masker.mask(result.output)}


@dataclass(frozen=True)
class HostResult:
    """One host's outcome: ``ok``, the task's ``result``, or the
    ``error`` message (never a secret) and ``error_type`` (the exception's
    class name, ``"TimeoutError"`` when the host ran out of time);
    ``attempts`` (connection attempts made) and ``elapsed`` seconds."""

    host: str
    ok: bool
    result: Any = None
    error: str | None = None
    error_type: str | None = None
    attempts: int = 1
    elapsed: float = 0.0

    def to_json(self) -> dict[str, Any]:
        """A mapping that ``json.dumps`` takes: values JSON does not know
        are given as their ``str()``."""
        return {"host": self.host, "ok": self.ok,
                "result": _jsonable(self.result), "error": self.error,
                "error_type": self.error_type, "attempts": self.attempts,
                "elapsed": round(self.elapsed, 3)}


def _jsonable(value: Any) -> Any:
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    try:
        json.dumps(value)
    except (TypeError, ValueError):
        return str(value)
    return value


# -- tasks -------------------------------------------------------------------


def resolve_task(task: Task) -> TaskFunction:
    """The async function ``(device, host) -> result`` for a task: an
    async function of ``(device, host)`` or of ``(device)``, a
    :class:`~tavrel.eal.dialogs.Dialog`, a :class:`Command`, or a string
    ``"module:name"`` naming one of these (imported here)."""
    if isinstance(task, str):
        module_name, sep, name = task.partition(":")
        if not sep or not module_name or not name:
            raise ValueError("a task is named 'module:name', not %r" % task)
        try:
            found: Any = importlib.import_module(module_name)
        except ImportError as exc:
            raise ValueError("task %r: cannot import %s: %s"
                             % (task, module_name, exc)) from None
        for part in name.split("."):
            try:
                found = getattr(found, part)
            except AttributeError:
                raise ValueError("task %r: %s has no %r"
                                 % (task, module_name, name)) from None
        if isinstance(found, str):
            raise ValueError("task %r names a string" % task)
        return resolve_task(found)
    if isinstance(task, Dialog):
        return DialogTask(task)
    if isinstance(task, (Command, DialogTask)):
        return task
    if not callable(task):
        raise TypeError("a task is an async function, a Dialog, a Command "
                        "or 'module:name', not %s" % type(task).__name__)
    if _takes_one(task):
        function = task

        async def device_only(device: AsyncDevice, host: Host) -> Any:
            return await function(device)
        return device_only
    return task


def _takes_one(function: Callable[..., Any]) -> bool:
    try:
        parameters = list(inspect.signature(function).parameters.values())
    except (TypeError, ValueError):
        return False
    positional = [p for p in parameters if p.kind in (
        p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    return len(positional) == 1 and not any(
        p.kind == p.VAR_POSITIONAL for p in parameters)


def platform_named(name: str) -> Platform:
    """The platform called ``name``: a built-in by name, or
    ``module:NAME`` of a :class:`~tavrel.devices.Platform`."""
    if name in PLATFORMS:
        return PLATFORMS[name]
    if ":" in name:
        module_name, _, attribute = name.partition(":")
        try:
            found = getattr(importlib.import_module(module_name), attribute,
                            None)
        except ImportError as exc:
            raise ValueError("platform %r: cannot import %s: %s"
                             % (name, module_name, exc)) from None
        if isinstance(found, Platform):
            return found
    raise ValueError("no platform %r (built in: %s; or module:NAME of a "
                     "Platform)" % (name, ", ".join(PLATFORMS)))


def platform_of(host: Host) -> Platform:
    """The host's platform (see :func:`platform_named`)."""
    try:
        return platform_named(host.platform)
    except ValueError as exc:
        raise ValueError("host %r: %s" % (host.name, exc)) from None


# -- one host ----------------------------------------------------------------


def _credentials(host: Host) -> tuple[SecretText | None,
                                      dict[str, dict[str, Any]]]:
    password = host.password.resolve() if host.password else None
    credentials: dict[str, dict[str, Any]] = {
        "default": {"username": host.username, "password": password}}
    for name, reference in host.secrets.items():
        credentials[name] = {"password": reference.resolve()}
    return password, credentials


async def open_device(host: Host) -> AsyncDevice:
    """Open the host's session (its kind, address, port, options) and the
    device on it, at its first prompt.  The credentials are resolved here,
    on the machine that connects.  Close it with
    ``await device.session.close()``."""
    password, credentials = _credentials(host)
    platform = platform_of(host)
    options = dict(host.options)
    device_timeout = float(options.pop("timeout", 30.0))
    session: Any
    if host.session == "ssh":
        from tavrel.sessions import AsyncSSHSession

        session = AsyncSSHSession(host.hostname, host.port or 22,
                                  username=host.username, password=password,
                                  **options)
    else:
        from tavrel.sessions import AsyncTelnetSession

        # The session logs in up to the first prompt of the platform's
        # modes, or the first question its open dialog answers.
        options.setdefault("prompt", _first_prompt(platform))
        session = AsyncTelnetSession(
            host.hostname, host.port or 23, username=host.username,
            password=password,
            **{k: v for k, v in options.items() if k not in SSH_ONLY})
    await session.open()
    try:
        device = AsyncDevice(session, platform, credentials=credentials,
                             timeout=device_timeout)
        await device.open()
    except BaseException:
        await session.close()
        raise
    return device


def _first_prompt(platform: Platform) -> str:
    patterns = [mode.prompt for mode in platform.modes]
    patterns += [s.pattern for s in platform.open_dialog.statements
                 if isinstance(s.pattern, str)]
    # Named groups (the host part) may appear in one alternative only.
    return "|".join("(?:%s)" % re.sub(r"\(\?P<\w+>", "(?:", p)
                    for p in patterns)


def _retriable(exc: BaseException) -> bool:
    # Only the far end not being reached is worth another try: a refused
    # login or a wrong host key would be refused again, and a task that
    # failed may have done half its work.
    if isinstance(exc, ConnectError):
        return True
    return isinstance(exc, OSError) and not isinstance(exc, SessionError)


class _Progress:
    """Where a host is, for the message when it runs out of time."""

    __slots__ = ("attempts", "phase", "masker")

    def __init__(self) -> None:
        self.attempts = 0
        self.phase = "waiting"
        self.masker = Masker()


async def _attempt(host: Host, task: TaskFunction, retries: int,
                   backoff: float, progress: _Progress) -> Any:
    while True:
        progress.attempts += 1
        progress.phase = "connecting"
        try:
            device = await open_device(host)
        except Exception as exc:
            if progress.attempts > retries or not _retriable(exc):
                raise
            progress.phase = "waiting to retry"
            # Exponential, with jitter so that hosts refused together do
            # not all come back at once.
            await asyncio.sleep(backoff * 2 ** (progress.attempts - 1)
                                * random.uniform(0.5, 1.5))
            continue
        secrets = [c.get("password") for c in device.context[
            "credentials"].values()]
        progress.masker = Masker(s.plaintext for s in secrets
                                 if isinstance(s, SecretText))
        try:
            progress.phase = "running the task"
            value = task(device, host)
            if inspect.isawaitable(value):
                value = await value
            # (Not set on the way out of a failure or a cancellation: the
            # message of a timeout names what it interrupted.)
            progress.phase = "closing"
            return value
        finally:
            await device.session.close()


async def run_host(host: Host, task: TaskFunction, *,
                   timeout: float | None = 60, retries: int = 2,
                   backoff: float = 1.0) -> HostResult:
    """Run ``task`` on one host: its result, or its failure as a
    :class:`HostResult` (exceptions other than ``Exception`` pass)."""
    progress = _Progress()
    started = time.monotonic()

    async def guarded() -> tuple[bool, Any]:
        # The host's own errors come back as values, so that a TimeoutError
        # out of wait_for is the host's clock and nothing else.
        try:
            return True, await _attempt(host, task, retries, backoff,
                                        progress)
        except Exception as exc:
            return False, exc

    try:
        ok, value = await asyncio.wait_for(guarded(), timeout)
    except asyncio.TimeoutError:
        return HostResult(host.name, False, error="no result within %s s "
                          "(%s, attempt %d)" % (timeout, progress.phase,
                                                progress.attempts),
                          error_type="TimeoutError",
                          attempts=progress.attempts,
                          elapsed=time.monotonic() - started)
    elapsed = time.monotonic() - started
    if not ok:
        return _failure(host, value, progress, elapsed)
    return HostResult(host.name, True, result=value,
                      attempts=progress.attempts, elapsed=elapsed)


def _failure(host: Host, exc: BaseException, progress: _Progress,
             elapsed: float) -> HostResult:
    message = str(exc) or type(exc).__name__
    if progress.masker:
        message = progress.masker.mask(message)
    return HostResult(host.name, False, error=message,
                      error_type=type(exc).__name__,
                      attempts=max(progress.attempts, 1), elapsed=elapsed)


# -- many hosts --------------------------------------------------------------


def _check(concurrency: int, timeout: float | None, retries: int,
           backoff: float) -> None:
    if not isinstance(concurrency, int) or concurrency < 1:
        raise ValueError("concurrency must be at least 1, not %r"
                         % (concurrency,))
    if timeout is not None and not timeout > 0:
        raise ValueError("timeout must be positive (or None), not %r"
                         % (timeout,))
    if not isinstance(retries, int) or retries < 0:
        raise ValueError("retries must be 0 or more, not %r" % (retries,))
    if not backoff >= 0:
        raise ValueError("backoff must be 0 or more, not %r" % (backoff,))


async def run_hosts(hosts: Iterable[Host], task: Task, *,
                    concurrency: int = 100, timeout: float | None = 60,
                    retries: int = 2, backoff: float = 1.0
                    ) -> AsyncGenerator[HostResult, None]:
    """Run ``task`` on every host, at most ``concurrency`` at once, and
    yield each host's :class:`HostResult` as it finishes.

    ``timeout`` bounds each host (its connection attempts, the backoff
    between them, the task); ``retries`` more attempts are made when the
    connection fails (:class:`~tavrel.core.errors.ConnectError`), after
    ``backoff`` seconds, doubling each time, with jitter.  A login refused,
    an unknown host key or a task that raises is not tried again.  One
    host's failure never stops the others.  When the run is cancelled (or
    the generator closed) no more hosts are started, the running ones are
    cancelled and their sessions closed before the cancellation goes on.
    """
    _check(concurrency, timeout, retries, backoff)
    function = resolve_task(task)
    loop = asyncio.get_running_loop()
    waiting = iter(hosts)
    running: set[asyncio.Task[HostResult]] = set()
    finished: asyncio.Queue[asyncio.Task[HostResult]] = asyncio.Queue()

    def done(t: asyncio.Task[HostResult]) -> None:
        running.discard(t)
        finished.put_nowait(t)

    try:
        while True:
            while len(running) < concurrency:
                host = next(waiting, None)
                if host is None:
                    break
                started = loop.create_task(run_host(
                    host, function, timeout=timeout, retries=retries,
                    backoff=backoff))
                running.add(started)
                started.add_done_callback(done)
            if not running and finished.empty():
                return
            yield (await finished.get()).result()
    finally:
        for t in running:
            t.cancel()
        if running:
            # Each closes its session on the way out.
            await asyncio.gather(*running, return_exceptions=True)


def run_batch(hosts: list[Host], task: Task, **options: Any
              ) -> list[HostResult]:
    """Run ``task`` on ``hosts`` in a fresh event loop of this thread and
    return their results in the order they finished (``options`` are
    :func:`run_hosts`'s).  One Dask task runs this for its batch."""
    async def collect() -> list[HostResult]:
        return [r async for r in run_hosts(hosts, task, **options)]
    return asyncio.run(collect())


# -- a whole run, with its report ----------------------------------------------


class _Collector:
    """Takes the results of a run into its report, progress bar and
    results file."""

    def __init__(self, total: int, progress: bool | None,
                 output: str | os.PathLike[str] | None) -> None:
        from tavrel.fleet._report import FleetReport, Progress, ResultsFile

        self.started = time.monotonic()
        self.report = FleetReport(total=total)
        self.file = ResultsFile(output) if output is not None else None
        if self.file is not None:
            self.report.output = self.file.folder
        self.bar = Progress(total, progress)

    def add(self, result: HostResult) -> None:
        self.report.results.append(result)
        if self.file is not None:
            self.file.write(result)
        self.bar.update(result)

    def finish(self) -> FleetReport:
        self.report.wall = time.monotonic() - self.started
        self.bar.close()
        if self.file is not None:
            self.file.finish(self.report)
        return self.report


async def run_async(hosts: Iterable[Host], task: Task, *,
                    concurrency: int = 100, timeout: float | None = 60,
                    retries: int = 2, backoff: float = 1.0,
                    progress: bool | None = None,
                    output: str | os.PathLike[str] | None = None
                    ) -> FleetReport:
    """:func:`run` on the running event loop (one loop, no workers).

    Cancelling it (Ctrl-C under :func:`run`) stops starting hosts, cancels
    the running ones, closes their sessions and returns the report of
    those that finished, ``interrupted`` set."""
    hosts = list(hosts)
    _check(concurrency, timeout, retries, backoff)
    collector = _Collector(len(hosts), progress, output)
    try:
        async with contextlib.aclosing(run_hosts(
                hosts, task, concurrency=concurrency, timeout=timeout,
                retries=retries, backoff=backoff)) as results:
            async for result in results:
                collector.add(result)
    except asyncio.CancelledError:
        collector.report.interrupted = True
    finally:
        collector.finish()
    return collector.report


def run(inventory: Iterable[Host], task: Task, *, concurrency: int = 100,
        timeout: float | None = 60, retries: int = 2, backoff: float = 1.0,
        workers: int | None = None, scheduler: str | None = None,
        batch_size: int | None = None, progress: bool | None = None,
        output: str | os.PathLike[str] | None = None) -> FleetReport:
    """Run ``task`` over an inventory (or any iterable of hosts) and
    return the :class:`~tavrel.fleet.FleetReport`.

    By default on one event loop of this thread (see :func:`run_hosts`
    for ``concurrency``, ``timeout``, ``retries`` and ``backoff``);
    ``workers=N`` runs it on a local Dask cluster of N workers and
    ``scheduler="tcp://HOST:PORT"`` on a running one (``tavrel[cluster]``),
    ``batch_size`` hosts to a Dask task (None: about four batches a
    worker).
    ``progress`` shows a progress bar (None: when stderr is a terminal);
    ``output`` is a folder for ``results.jsonl`` (a line per host, as
    each finishes) and ``summary.json``.  Ctrl-C stops the run cleanly:
    the report holds what finished and ``interrupted`` is set.
    """
    if batch_size is not None and workers is None and scheduler is None:
        raise ValueError("batch_size is for a run on workers: give "
                         "workers= or scheduler= too")
    hosts = list(inventory)
    if workers is not None or scheduler is not None:
        return _run_distributed(hosts, task, workers, scheduler, progress,
                                output, batch_size=batch_size,
                                concurrency=concurrency,
                                timeout=timeout, retries=retries,
                                backoff=backoff)
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        pass
    else:
        raise RuntimeError("run() runs its own event loop: from a "
                           "coroutine, await run_async() instead")
    return _on_own_loop(run_async(
        hosts, task, concurrency=concurrency, timeout=timeout,
        retries=retries, backoff=backoff, progress=progress, output=output))


def _on_own_loop(main: Coroutine[Any, Any, FleetReport]) -> FleetReport:
    loop = asyncio.new_event_loop()
    task = loop.create_task(main)
    interruptible = threading.current_thread() is threading.main_thread() \
        and signal.getsignal(signal.SIGINT) is signal.default_int_handler

    def interrupt() -> None:
        # The first Ctrl-C stops the run cleanly; a second one is Python's
        # own KeyboardInterrupt, for a run that does not stop.
        loop.remove_signal_handler(signal.SIGINT)
        task.cancel()

    try:
        if interruptible:
            loop.add_signal_handler(signal.SIGINT, interrupt)
        return loop.run_until_complete(task)
    except asyncio.CancelledError:
        # Ctrl-C before the run had begun: there is nothing to report.
        raise KeyboardInterrupt from None
    finally:
        if interruptible:
            loop.remove_signal_handler(signal.SIGINT)
        try:
            loop.run_until_complete(loop.shutdown_asyncgens())
            # The threads that resolved host names end with the run, as
            # under asyncio.run(), not some time after it.
            loop.run_until_complete(loop.shutdown_default_executor())
        finally:
            loop.close()


def _run_distributed(hosts: list[Host], task: Task, workers: int | None,
                     scheduler: str | None, progress: bool | None,
                     output: str | os.PathLike[str] | None,
                     **options: Any) -> FleetReport:
    _check(options["concurrency"], options["timeout"], options["retries"],
           options["backoff"])
    try:
        # The distributed part is loaded only for a distributed run.
        run_distributed = importlib.import_module(
            "tavrel.fleet._dask").run_distributed
    except ImportError as exc:
        raise RuntimeError("running on workers needs Dask distributed "
                           "(pip install 'tavrel[cluster]'): %s" % exc) \
            from None
    collector = _Collector(len(hosts), progress, output)
    try:
        for result in run_distributed(hosts, task, workers=workers,
                                      scheduler=scheduler, **options):
            collector.add(result)
    except KeyboardInterrupt:
        collector.report.interrupted = True
    finally:
        collector.finish()
    return collector.report
