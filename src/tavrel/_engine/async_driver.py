"""The asyncio driver: the engine's core run from an event loop.

It answers the core's events as the blocking driver does, but never blocks
the loop: a spawn with a file descriptor (``pexpect.spawn``,
``fdpexpect.fdspawn``) is read when the loop sees its descriptor readable;
any other spawn (``PopenSpawn``, an object with only ``read_nonblocking``)
is read in a worker thread; a scripted spawn on a virtual clock is read
directly, as its reads never wait.  Pauses are ``asyncio`` sleeps, actions
that are coroutine functions are awaited, and pexpect's ``delaybeforesend``
pause is awaited before each action instead of slept inside ``send``.
"""

from __future__ import annotations

import asyncio
import inspect
import select
from typing import Any

import pexpect
from pexpect import EOF as SpawnEOF
from pexpect import TIMEOUT as SpawnTimeout
from pexpect.fdpexpect import fdspawn
from pexpect.popen_spawn import PopenSpawn
from pexpect.spawnbase import SpawnBase

from tavrel._engine.channel import SpawnChannel, reader_of
from tavrel._engine.clock import Clock
from tavrel._engine.events import (Call, Data, DialogResult, Empty, Ended,
                                   Event, Fail, Finish, Pause, Read, Resumed,
                                   TimedOut)
from tavrel._engine.run import Run

__all__ = ["drive"]

# What a reader reports: data (with what was read, maybe nothing), the whole
# timeout passed, the end of the session.
DATA, TIMED_OUT, ENDED = range(3)
# A read in a worker thread waits at most this long, so that a cancelled
# run gets the thread's output back soon.
THREAD_READ_SLICE = 0.1


def _outcome(read: Any, size: int, timeout: float) -> tuple[int, Any]:
    try:
        return DATA, read(size, timeout)
    except SpawnTimeout:
        return TIMED_OUT, None
    except SpawnEOF:
        return ENDED, None


class DirectReader:
    """Reads that never wait for real: a scripted spawn on a virtual
    clock."""

    def __init__(self, spawn: Any) -> None:
        self.read_nonblocking = reader_of(spawn)
        self.pending: asyncio.Future[Any] | None = None

    def close(self) -> None:
        """The run is over: nothing of the loop's is kept."""

    async def late(self, channel: SpawnChannel) -> str:
        """The text of a read still under way in a worker thread when the
        run stopped (it must not be lost), or nothing."""
        pending, self.pending = self.pending, None
        if pending is None:
            return ""
        try:
            kind, data = await asyncio.shield(pending)
        except asyncio.CancelledError:
            # Cancelled once more: the read is given up.
            return ""
        except Exception:
            # The read failed (the run's own error says why): it brought
            # nothing.
            return ""
        if kind != DATA:
            return ""
        try:
            return channel.accept(data) or ""
        except Exception:
            # What a failing transcript write held is in channel.stray.
            return ""

    async def read(self, size: int, timeout: float) -> tuple[int, Any]:
        # Give the other tasks their turn, as a real wait would.
        await asyncio.sleep(0)
        return _outcome(self.read_nonblocking, size, timeout)


class FdReader(DirectReader):
    """Reads when the event loop sees the spawn's descriptor readable."""

    def __init__(self, spawn: Any, fd: int, clock: Clock) -> None:
        super().__init__(spawn)
        self.fd = fd
        self.clock = clock
        self.spawn = spawn
        # pexpect's pty and fd spawns read, once the descriptor is readable,
        # with the read they share (os.read, decoding, logging); their own
        # read_nonblocking would ask select() again, which also fails for
        # descriptors past 1023.
        kind = type(spawn).read_nonblocking
        self.direct = kind in (pexpect.spawn.read_nonblocking,
                               fdspawn.read_nonblocking)
        if self.direct:
            # A wake-up may be stale (the loop saw the descriptor readable
            # before the last read took what was there): a direct read
            # first asks this poll object, which never blocks.
            self.poll = select.poll()
            self.poll.register(fd, select.POLLIN)
        self.loop: asyncio.AbstractEventLoop | None = None
        self.ready: asyncio.Future[bool] | None = None

    async def read(self, size: int, timeout: float) -> tuple[int, Any]:
        read = self.read_nonblocking
        if getattr(self.spawn, "closed", False):
            # Closed by an action: its descriptor is gone (or is another
            # file's by now).  The spawn's own read says what that is, as
            # it does for the blocking driver.
            return _outcome(read, size, 0)
        deadline = self.clock.monotonic() + timeout
        # Wait for the loop to see the descriptor readable (at once, when
        # output is there already), then take what has arrived.
        while True:
            left = deadline - self.clock.monotonic()
            if not await self._readable(max(0.0, left)):
                return TIMED_OUT, None
            try:
                if self.direct:
                    if not self.poll.poll(0):
                        if left <= 0:
                            return TIMED_OUT, None
                        continue
                    return DATA, SpawnBase.read_nonblocking(self.spawn, size)
                return DATA, read(size, 0)
            except SpawnTimeout:
                # Readable, yet nothing came (a spurious wake-up).
                if left <= 0:
                    return TIMED_OUT, None
            except SpawnEOF:
                if self.direct:
                    # As pexpect does: note the child's exit status now.
                    self.spawn.isalive()
                return ENDED, None

    async def _readable(self, timeout: float) -> bool:
        # The descriptor stays registered with the loop while the run
        # waits on it, read after read (two system calls less each time);
        # it is unregistered when it turns readable while nobody waits, so
        # that a long action does not keep the loop spinning, and when the
        # run ends.
        loop = asyncio.get_running_loop()
        ready = self.ready = loop.create_future()
        if self.loop is None:
            self.loop = loop
            loop.add_reader(self.fd, self._wake)
        timer = loop.call_later(timeout, self._expire, ready)
        try:
            return bool(await ready)
        finally:
            timer.cancel()
            self.ready = None

    def _wake(self) -> None:
        ready = self.ready
        if ready is not None and not ready.done():
            ready.set_result(True)
        elif self.loop is not None:
            self.loop.remove_reader(self.fd)
            self.loop = None

    @staticmethod
    def _expire(ready: asyncio.Future[bool]) -> None:
        if not ready.done():
            ready.set_result(False)

    def close(self) -> None:
        if self.loop is not None:
            self.loop.remove_reader(self.fd)
            self.loop = None


class ThreadReader(DirectReader):
    """Reads in a worker thread, so that a read that blocks does not block
    the loop."""

    def __init__(self, spawn: Any, clock: Clock) -> None:
        super().__init__(spawn)
        self.clock = clock

    async def read(self, size: int, timeout: float) -> tuple[int, Any]:
        loop = asyncio.get_running_loop()
        deadline = self.clock.monotonic() + timeout
        while True:
            left = max(0.0, deadline - self.clock.monotonic())
            future = loop.run_in_executor(
                None, _outcome, self.read_nonblocking, size,
                min(left, THREAD_READ_SLICE))
            # A cancelled run must not lose what the thread then reads: the
            # driver collects it from self.pending.
            self.pending = future
            try:
                outcome = await asyncio.shield(future)
            except asyncio.CancelledError:
                # The thread reads on: late() collects what it brings.
                raise
            except BaseException:
                self.pending = None
                raise
            self.pending = None
            if (outcome[0] != TIMED_OUT
                    or self.clock.monotonic() >= deadline):
                return outcome


class AwaitReader(DirectReader):
    """Reads of a spawn that offers its own awaitable read,
    ``async def read_async(size, timeout)`` (a tavrel session): the spawn
    wakes the run when its data arrives."""

    def __init__(self, spawn: Any) -> None:
        super().__init__(spawn)
        self.read_async = spawn.read_async

    async def read(self, size: int, timeout: float) -> tuple[int, Any]:
        try:
            return DATA, await self.read_async(size, timeout)
        except SpawnTimeout:
            return TIMED_OUT, None
        except SpawnEOF:
            return ENDED, None


def reader_for(spawn: Any, clock: Clock) -> DirectReader:
    if getattr(clock, "virtual", False):
        return DirectReader(spawn)
    if inspect.iscoroutinefunction(getattr(spawn, "read_async", None)):
        return AwaitReader(spawn)
    fd = getattr(spawn, "child_fd", None)
    if isinstance(fd, int) and fd >= 0 and not isinstance(
            spawn, PopenSpawn):
        return FdReader(spawn, fd, clock)
    return ThreadReader(spawn, clock)


def send_delay(spawn: Any) -> float:
    """pexpect.spawn sleeps delaybeforesend before every send; the async
    run sets it aside (to await it instead) and returns it."""
    if isinstance(spawn, pexpect.spawn):
        delay = spawn.delaybeforesend
        if delay:
            spawn.delaybeforesend = None
            return float(delay)
    return 0.0


async def drive(run: Run) -> DialogResult:
    """Run to the end without blocking the loop; the result, or the run's
    exception.  Cancelling stops the run, hands back what it did not
    consume and leaves the spawn usable."""
    spawn = run.spawn
    reader = reader_for(spawn, run.clock)
    delay = send_delay(spawn)
    try:
        try:
            result = await _loop(run, reader, delay)
        finally:
            reader.close()
            if delay:
                spawn.delaybeforesend = delay
    except BaseException:
        # A read under way in a worker thread: what it brings is handed
        # back too.
        extra = ""
        try:
            extra = await reader.late(run.channel)
        finally:
            run.close(failing=True, extra=extra)
        raise
    run.close(failing=False)
    return result


async def _loop(run: Run, reader: DirectReader, delay: float
                ) -> DialogResult:
    core, channel, clock = run.core, run.channel, run.clock
    size = run.read_size
    send = core.send
    monotonic = clock.monotonic
    event: Event | None = core.start()
    while True:
        kind = type(event)
        if kind is Read:
            outcome, data = await reader.read(
                size, event.timeout)  # type: ignore[union-attr]
            if outcome == DATA:
                text = channel.accept(data)
                if text is None:
                    event = send(Empty(monotonic()))
                else:
                    event = send(Data(text, monotonic()))
            elif outcome == TIMED_OUT:
                event = send(TimedOut(monotonic()))
            else:
                event = send(Ended(monotonic(), channel.flush()))
        elif kind is Call:
            event = await _call(run, event, delay)  # type: ignore[arg-type]
        elif kind is Pause:
            await clock.sleep_async(event.seconds)  # type: ignore[union-attr]
            event = send(Resumed(monotonic()))
        elif kind is Finish:
            return event.result  # type: ignore[union-attr]
        else:
            assert isinstance(event, Fail)
            raise event.error


async def _call(run: Run, call: Call, delay: float) -> Event | None:
    run.channel.hand_over(call.handover)
    try:
        if delay:
            await run.clock.sleep_async(delay)
        result = call.function(*call.args, **call.kwargs)
        if inspect.isawaitable(result):
            await result
    except BaseException as exc:
        instead = run.action_failed(call, exc)
        if instead is not None:
            raise instead from exc
        raise
    return run.action_done()
