"""The event loop the sync sessions of a process share.

A sync session never needs its caller to run an event loop: its transport
lives on one private loop, run by one daemon thread per process, started
with the first sync session.  Callers wait on that loop's results (or, for
reads, on the data it delivers) without polling.  After a fork the child
gets a loop of its own when it first needs one.
"""

from __future__ import annotations

import asyncio
import os
import threading
from collections.abc import Coroutine
from typing import Any, TypeVar

__all__ = ["shared_loop", "run"]

T = TypeVar("T")

_lock = threading.Lock()
_state: dict[str, Any] = {"pid": None, "loop": None, "thread": None}


def _serve(loop: asyncio.AbstractEventLoop, ready: threading.Event) -> None:
    asyncio.set_event_loop(loop)
    loop.call_soon(ready.set)
    loop.run_forever()


def shared_loop() -> asyncio.AbstractEventLoop:
    """The loop of the sync sessions, started on first use."""
    pid = os.getpid()
    loop = _state["loop"]
    if loop is not None and _state["pid"] == pid:
        return loop  # type: ignore[no-any-return]
    with _lock:
        if _state["loop"] is None or _state["pid"] != pid:
            loop = asyncio.new_event_loop()
            ready = threading.Event()
            thread = threading.Thread(target=_serve, args=(loop, ready),
                                      name="tavrel-sessions", daemon=True)
            thread.start()
            ready.wait()
            _state.update(pid=pid, loop=loop, thread=thread)
        return _state["loop"]  # type: ignore[no-any-return]


def on_loop() -> bool:
    """Whether the caller runs on the shared loop's thread."""
    thread = _state["thread"]
    return thread is threading.current_thread()


def run(coroutine: Coroutine[Any, Any, T], timeout: float | None) -> T:
    """Run ``coroutine`` on the shared loop and wait for its result, at
    most ``timeout`` seconds (then it is cancelled and TimeoutError
    raised).  An interrupt (Ctrl-C) in the waiting thread cancels it too.
    A cancelled coroutine is given its turn to tidy up (close what it
    opened) before the caller goes on."""
    if on_loop():
        coroutine.close()
        raise RuntimeError("a sync session cannot be used from its own loop")
    loop = shared_loop()
    done = threading.Event()
    box: list[asyncio.Task[T]] = []

    def start() -> None:
        task = loop.create_task(coroutine)
        task.add_done_callback(lambda _: done.set())
        box.append(task)

    def cancel() -> None:
        # Runs after start(): the loop takes callbacks in order.
        box[0].cancel()

    loop.call_soon_threadsafe(start)
    try:
        finished = done.wait(timeout)
    except BaseException:
        loop.call_soon_threadsafe(cancel)
        done.wait(TIDY_UP)
        raise
    if not finished:
        loop.call_soon_threadsafe(cancel)
        done.wait(TIDY_UP)
        if not box[0].done() or box[0].cancelled():
            raise TimeoutError("timed out after %s s" % timeout)
    return box[0].result()


# How long a cancelled coroutine may take to tidy up.
TIDY_UP = 5.0
