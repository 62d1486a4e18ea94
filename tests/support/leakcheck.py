"""Reference and memory leak checks for native code paths.

``check_no_leak(op, *objects, raises=None, iterations=3000, warmup=100)``
calls ``op()`` ``warmup`` times, then ``iterations`` more times while
tracemalloc traces allocations.  It fails with an AssertionError (showing the
numbers) when the traced memory grew by more than a small fixed slack, or when
``sys.getrefcount`` of any of ``objects`` grew.  A round that grew is measured
once more (a one-off cache fill does not repeat; a leak does), so a failing
check costs two rounds.

When ``raises`` is an exception type (or a tuple of them) every call must raise
it; otherwise every call must return normally.
"""

import gc
import sys
import tracemalloc

__all__ = ["check_no_leak", "MEMORY_SLACK"]

# Allowance for one-off allocations (interned strings, method caches,
# free-list growth).  Deliberately independent of the iteration count: a leak
# of even a few bytes per call over thousands of calls exceeds it.
MEMORY_SLACK = 2048


def _call(op, raises, index, phase):
    if raises is None:
        op()
        return
    try:
        op()
    except raises:
        return
    except BaseException as exc:  # anything else is a test failure
        raise AssertionError(
            f"{phase} call {index}: expected {_name(raises)}, "
            f"got {type(exc).__name__}: {exc}"
        ) from exc
    raise AssertionError(
        f"{phase} call {index}: expected {_name(raises)}, but the call returned"
    )


def _name(raises):
    if isinstance(raises, tuple):
        return " or ".join(t.__name__ for t in raises)
    return raises.__name__


def check_no_leak(op, *objects, raises=None, iterations=3000, warmup=100):
    """Run ``op`` repeatedly and assert that nothing accumulates."""
    if raises is not None and not isinstance(raises, tuple):
        if not (isinstance(raises, type) and issubclass(raises, BaseException)):
            raise TypeError("raises must be an exception type or a tuple of them")

    for i in range(warmup):
        _call(op, raises, i, "warm-up")

    # A real leak grows on every round; a one-off fill of a cache, a free
    # list or a frame slot does not repeat.  So a round that grew is measured
    # once more, and only a second growth fails.
    for attempt in range(2):
        problems = _measure(op, objects, raises, iterations, warmup)
        if not problems:
            return
    raise AssertionError("leak detected: " + "; ".join(problems))


def _measure(op, objects, raises, iterations, warmup):
    started_here = not tracemalloc.is_tracing()
    if started_here:
        tracemalloc.start()
    try:
        # A short warm-up under tracing, so that allocations made only once
        # the tracer is on (its own bookkeeping) are not counted.
        for i in range(min(warmup, 10)):
            _call(op, raises, i, "warm-up")
        gc.collect()
        refs_before = [sys.getrefcount(o) for o in objects]
        mem_before = tracemalloc.get_traced_memory()[0]

        for i in range(iterations):
            _call(op, raises, i, "measured")

        gc.collect()
        mem_after = tracemalloc.get_traced_memory()[0]
        refs_after = [sys.getrefcount(o) for o in objects]
    finally:
        if started_here:
            tracemalloc.stop()

    problems = []
    grown = mem_after - mem_before
    if grown > MEMORY_SLACK:
        problems.append(
            f"traced memory grew by {grown} bytes over {iterations} calls "
            f"({mem_before} -> {mem_after}; about {grown / iterations:.1f} "
            f"bytes per call; slack {MEMORY_SLACK})"
        )
    for pos, (obj, before, after) in enumerate(zip(objects, refs_before, refs_after)):
        if after > before:
            problems.append(
                f"reference count of object #{pos} ({type(obj).__name__}) grew "
                f"by {after - before} over {iterations} calls "
                f"({before} -> {after})"
            )
    return problems
