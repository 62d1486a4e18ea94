"""The time source of the dialog engine.

The engine never calls :mod:`time` directly: it asks a :class:`Clock`, so a
test can run a dialog on a virtual clock (:class:`tavrel.testing.VirtualClock`)
where waiting costs nothing and every timing branch is deterministic.
"""

from __future__ import annotations

import time

__all__ = ["Clock", "SystemClock", "SYSTEM_CLOCK"]


class Clock:
    """What the engine needs of time: a monotonic reading in seconds and a
    way to wait.  Subclass it to give the engine another time source."""

    # A virtual clock moves only when something waits on it: reads of a
    # spawn played on it never wait for real.
    virtual = False

    def monotonic(self) -> float:
        raise NotImplementedError

    def sleep(self, seconds: float) -> None:
        raise NotImplementedError

    async def sleep_async(self, seconds: float) -> None:
        raise NotImplementedError


class SystemClock(Clock):
    """The machine's monotonic clock."""

    # The function itself: the engine reads the clock after every read.
    monotonic = staticmethod(time.monotonic)  # type: ignore[assignment]

    def sleep(self, seconds: float) -> None:
        if seconds > 0:
            time.sleep(seconds)

    async def sleep_async(self, seconds: float) -> None:
        # Imported here: asyncio is no cost to programs that never use it.
        import asyncio

        await asyncio.sleep(max(0.0, seconds))

    def __repr__(self) -> str:
        return "SYSTEM_CLOCK"


SYSTEM_CLOCK = SystemClock()
