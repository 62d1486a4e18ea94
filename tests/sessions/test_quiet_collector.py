import contextlib
import gc
import weakref

import pytest

from tavrel.sessions import quiet_collector


class Node:
    pass


def churn(count):
    """Objects that outlive the younger collections, as open sessions do,
    and a cycle dropped at once; returns a weak reference to the cycle."""
    kept = [[Node()] for _ in range(count)]
    cycle = Node()
    cycle.me = cycle
    gone = weakref.ref(cycle)
    del cycle
    return kept, gone


@pytest.mark.parametrize("leaves", ["normally", "by an error"])
def test_no_full_collection_inside_and_all_restored_after(leaves):
    thresholds = gc.get_threshold()
    started = []

    def watch(phase, info):
        if phase == "start":
            started.append(info["generation"])

    gc.callbacks.append(watch)
    try:
        with pytest.raises(KeyError) if leaves != "normally" \
                else contextlib.nullcontext():
            with quiet_collector():
                with quiet_collector():  # entered again: nothing more
                    pass
                kept, gone = churn(300_000)
                # The young collections still free a cycle dropped young.
                gc.collect(0)
                assert gone() is None
                del kept
                if leaves != "normally":
                    raise KeyError("out")
    finally:
        gc.callbacks.remove(watch)
    assert started and 2 not in started
    assert gc.get_threshold() == thresholds
    assert gc.get_freeze_count() == 0

