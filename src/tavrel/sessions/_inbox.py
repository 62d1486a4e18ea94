"""What has arrived from the far end of a session and not been read yet.

The transport feeds it on the event loop; readers take from it either on
that loop (async sessions, which await a future) or in another thread
(sync sessions, which wait on a condition).  Both are woken by the data
itself: nothing polls.
"""

from __future__ import annotations

import asyncio
import threading
from collections import deque
from typing import Any

__all__ = ["Inbox"]


class Inbox:
    __slots__ = ("_chunks", "_size", "_ended", "error", "_cond", "_waiter",
                 "observers")

    def __init__(self) -> None:
        self._chunks: deque[bytes] = deque()
        self._size = 0
        self._ended = False
        # Why the far end went away, when it was not an orderly end.
        self.error: BaseException | None = None
        self._cond = threading.Condition(threading.Lock())
        self._waiter: asyncio.Future[None] | None = None
        # Who else sees what arrives (a transcript, a recording): objects
        # with arrived(data) and ended().
        self.observers: tuple[Any, ...] = ()

    def __len__(self) -> int:
        return self._size

    # -- the transport's side (on the loop) ------------------------------

    def feed(self, data: bytes) -> None:
        if not data or self._ended:
            return
        for observer in self.observers:
            observer.arrived(data)
        with self._cond:
            self._chunks.append(data)
            self._size += len(data)
            self._cond.notify_all()
        self._wake()

    def end(self, error: BaseException | None = None) -> None:
        """The far end is gone; what arrived before stays to be read."""
        if not self._ended:
            for observer in self.observers:
                observer.ended()
        with self._cond:
            if not self._ended:
                self._ended = True
                self.error = error
            self._cond.notify_all()
        self._wake()

    def _wake(self) -> None:
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    # -- the reader's side -----------------------------------------------

    @property
    def ended(self) -> bool:
        """The far end is gone and everything it sent has been read."""
        return self._ended and not self._size

    @property
    def closing(self) -> bool:
        """The far end is gone (maybe with output still to be read)."""
        return self._ended

    def take(self, size: int) -> bytes:
        """Up to ``size`` bytes of what has arrived (b"" for none)."""
        with self._cond:
            chunks = self._chunks
            if not chunks:
                return b""
            first = chunks[0]
            if len(first) >= size:
                if len(first) == size:
                    chunks.popleft()
                else:
                    chunks[0] = first[size:]
                    first = first[:size]
                self._size -= len(first)
                return first
            parts = []
            left = size
            while chunks and left > 0:
                chunk = chunks.popleft()
                if len(chunk) > left:
                    chunks.appendleft(chunk[left:])
                    chunk = chunk[:left]
                parts.append(chunk)
                left -= len(chunk)
            data = b"".join(parts)
            self._size -= len(data)
            return data

    def wait(self, timeout: float | None) -> bool:
        """Wait in a thread other than the loop's until something can be
        read or the far end is gone; False when ``timeout`` passed first."""
        with self._cond:
            return self._cond.wait_for(
                lambda: bool(self._size or self._ended), timeout)

    async def wait_async(self, timeout: float | None) -> bool:
        """The same, on the loop that feeds the inbox."""
        if self._size or self._ended:
            return True
        loop = asyncio.get_running_loop()
        waiter = self._waiter = loop.create_future()
        timer = (None if timeout is None
                 else loop.call_later(max(0.0, timeout), _expire, waiter))
        try:
            await waiter
        finally:
            if timer is not None:
                timer.cancel()
            self._waiter = None
        return bool(self._size or self._ended)


def _expire(waiter: asyncio.Future[None]) -> None:
    if not waiter.done():
        waiter.set_result(None)
