"""process_async: what only the asyncio driver does (awaited actions,
cancellation, a loop that never blocks), and many sessions in one loop.
The behaviours both drivers share are in test_processing.py."""

import asyncio
import gc
import importlib.util
import pathlib
import sys
import threading
import time

import pexpect
import pytest
from pexpect import popen_spawn

from tavrel.eal.dialog_processor import DialogProcessor, process_async
from tavrel.eal.dialogs import Dialog, Statement
from tavrel.testing import ScriptedSpawn

ROOT = pathlib.Path(__file__).resolve().parents[2]


def run(coroutine):
    return asyncio.run(coroutine)


async def with_ticker(coroutine):
    """Run ``coroutine`` next to a 10 ms ticker: (its result, the ticker's
    worst lateness)."""
    worst = 0.0

    async def tick():
        nonlocal worst
        due = time.monotonic() + 0.01
        while True:
            await asyncio.sleep(max(0.0, due - time.monotonic()))
            worst = max(worst, time.monotonic() - due)
            due = time.monotonic() + 0.01

    # A full collection of the suite's heap can stop the loop for longer
    # than what is measured here: none runs meanwhile.
    gc.collect()
    gc.disable()
    ticker = asyncio.ensure_future(tick())
    try:
        result = await coroutine
        await asyncio.sleep(0.011)  # a tick delayed by the end counts too
        return result, worst
    finally:
        ticker.cancel()
        gc.enable()


@pytest.fixture
def bash():
    children = []

    def start(script, **kwargs):
        kwargs.setdefault("encoding", "utf-8")
        child = pexpect.spawn("bash", ["--norc", "--noprofile", "-c", script],
                              **kwargs)
        children.append(child)
        return child

    yield start
    for child in children:
        child.close(force=True)


def test_coroutine_and_plain_actions():
    order = []

    async def slow_answer(spawn):
        await asyncio.sleep(0)
        order.append("async")
        spawn.sendline("pw")

    spawn = ScriptedSpawn("Username: ", (1, "Password: "), "> ")
    result = run(process_async(Dialog([
        Statement("Username: $", lambda spawn: (order.append("plain"),
                                                spawn.sendline("me")),
                  loop_continue=True),
        Statement("Password: $", slow_answer, loop_continue=True),
        Statement("> $"),
    ]), spawn, timeout=5))
    assert result.kind == "match" and order == ["plain", "async"]
    assert spawn.sent == ["me\n", "pw\n"] and spawn.clock.now == 1


@pytest.mark.parametrize("how", ["cancel", "wait_for"])
def test_cancelling_hands_back_and_leaves_the_spawn_usable(bash, how):
    child = bash('echo first; read x; echo "got $x"; sleep 5')

    async def main():
        task = asyncio.ensure_future(process_async(Dialog([["never"]]),
                                                   child, timeout=30))
        if how == "cancel":
            await asyncio.sleep(0.5)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        else:
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(task, 0.5)

    run(main())
    assert child.buffer == "first\r\n"
    child.sendline("more")
    assert Dialog([[r"got more"]]).process(child, timeout=5).kind == "match"


def test_a_read_in_a_thread_is_not_lost_when_cancelled():
    class Slow(ScriptedSpawn):
        def read_nonblocking(self, size=1, timeout=-1):
            time.sleep(0.05)
            return "late output"

    spawn = Slow()
    spawn.clock = None  # a spawn of the real world, read in a thread

    async def main():
        task = asyncio.ensure_future(process_async(Dialog([["never"]]),
                                                   spawn, timeout=30))
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    run(main())
    assert spawn.buffer.startswith("late output")


def test_sends_and_reads_never_block_the_loop(bash):
    # pexpect sleeps delaybeforesend (here 0.3 s) in every send; the async
    # driver awaits it instead, and restores it afterwards.
    child = bash('read -p "Name: " n; sleep 0.3; echo "hi $n"; sleep 5')
    child.delaybeforesend = 0.3
    threads = threading.active_count()
    result, worst = run(with_ticker(process_async(Dialog([
        ["Name: $", "sendline(ann)", None, True], [r"hi ann"]]), child,
        timeout=5)))
    # (A send that blocked would stop the loop for 0.3 s.)
    assert result.kind == "match" and worst < 0.15
    assert child.delaybeforesend == 0.3
    assert threading.active_count() == threads  # read through the loop

    pipe = popen_spawn.PopenSpawn(
        [sys.executable, "-c", "import time; print('a', flush=True); "
         "time.sleep(0.5); print('done', flush=True); time.sleep(5)"],
        encoding="utf-8")
    try:
        result, worst = run(with_ticker(process_async(Dialog([["done"]]),
                                                      pipe, timeout=5)))
        assert result.kind == "match" and worst < 0.15
    finally:
        pipe.kill(9)


def test_a_plain_action_that_blocks_and_its_way_out(bash):
    child = bash('read -p "Name: " n; sleep 0.3; echo "hi $n"; '
                 'read -p "> " x')

    def blocking(spawn):
        spawn.sendline("ann")
        spawn.expect("hi ann")

    async def waiting(spawn):
        spawn.sendline("ann")
        await asyncio.to_thread(spawn.expect, "hi ann")

    (_, worst_blocking) = run(with_ticker(process_async(Dialog([
        ["Name: $", blocking, None, True], ["> $"]]), child, timeout=5)))
    child = bash('read -p "Name: " n; sleep 0.3; echo "hi $n"; '
                 'read -p "> " x')
    (_, worst_awaiting) = run(with_ticker(process_async(Dialog([
        ["Name: $", waiting, None, True], ["> $"]]), child, timeout=5)))
    assert worst_blocking > 0.2 > 0.05 > worst_awaiting


def load_talker():
    import talker
    return talker


def test_hundreds_of_pty_sessions_in_one_loop():
    module = load_talker()
    talker, spawns = module.open_sessions(200, logins=2)
    dialog = Dialog(module.LOGIN_DIALOG)
    try:
        async def all_of_them():
            return await asyncio.gather(*(
                process_async(dialog, spawn, timeout=30) for spawn in spawns))

        results = run(asyncio.wait_for(all_of_them(), 60))
        assert [r.pattern for r in results] == [r"SW-1>$"] * 200
        # One processor: no state kept between runs, the loop's or not.
        processor = DialogProcessor(dialog, spawns[0], timeout=5)
        spawns[0].sendline("again")
        assert run(processor.process_async()).kind == "match"
    finally:
        for spawn in spawns:
            spawn.close()
        talker.wait(10)
