"""Keeping the collector's pauses short while thousands of sessions live.

CPython's full collection visits every object the collector tracks, and it
runs in whichever step of the event loop sets it off: with thousands of
sessions open (their transports, channels, buffers and tasks) one such
collection takes hundreds of milliseconds, and every session on the loop
waits for it.  Objects that have lived through the younger collections are
rarely what a collection frees while a run goes on.
"""

from __future__ import annotations

import contextlib
import gc
from collections.abc import Iterator

__all__ = ["quiet_collector"]

# The number of younger collections before a full one: never, in practice.
_NEVER = 2**31 - 1


@contextlib.contextmanager
def quiet_collector() -> Iterator[None]:
    """While inside (``with quiet_collector(): ...``), the collector makes
    no full collection: the objects alive on the way in are frozen
    (:func:`gc.freeze`) and the oldest generation is not collected, while
    the younger ones are collected as usual (they hold most of the cyclic
    garbage a run of sessions makes).  So no collection pauses the event
    loop for long, however many sessions are open.  On the way out the
    thresholds are restored and the frozen objects handed back to the
    collector (:func:`gc.unfreeze`; objects the program froze itself are
    handed back too).

    Cyclic garbage that outlives the younger collections is freed only
    after the way out: use it around a run of many sessions, not around a
    program's whole life.  Entered again while inside, it does nothing
    more.
    """
    thresholds = gc.get_threshold()
    if thresholds[2] == _NEVER:  # already inside
        yield
        return
    # What the program holds on the way in (its modules, its setup) is
    # the bulk of what a collection would visit in vain.
    gc.freeze()
    gc.set_threshold(thresholds[0], thresholds[1], _NEVER)
    try:
        yield
    finally:
        gc.set_threshold(*thresholds)
        gc.unfreeze()
