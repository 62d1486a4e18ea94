"""Output not consumed goes back to the spawn however a run ends, and both
drivers end a run alike: failing transcripts, cancellations in the send
pause, dropped connections, characters cut by the end of a run, closed
spawns, actions that raise StopIteration, and the match_max bound."""

import asyncio
import io
import logging
import re
import sys
import time

import pexpect
import pytest
from pexpect.popen_spawn import PopenSpawn

from tavrel._engine.secrets import active
from tavrel.core.errors import DialogEOFError, DialogTimeoutError
from tavrel.eal.dialog_processor import DialogProcessor, process_async
from tavrel.eal.dialogs import Dialog, Statement
from tavrel.testing import ScriptedSpawn
from tavrel.utils import SecretText


class FailingFile(io.StringIO):
    """A transcript whose disk fills up after ``good`` writes."""

    def __init__(self, good):
        super().__init__()
        self.good = good

    def write(self, text):
        if self.good == 0:
            raise OSError(28, "No space left on device")
        self.good -= 1
        return super().write(text)


@pytest.mark.parametrize("good", [0, 1, 2])
def test_a_failing_transcript_loses_no_output(driver, good):
    spawn = ScriptedSpawn("one ", "two ", "three", eof=False)
    with pytest.raises(OSError, match="No space"):
        Dialog([["never"]]).process(spawn, timeout=1,
                                    transcript=FailingFile(good))
    assert spawn.buffer == ["one ", "one two ", "one two three"][good]


@pytest.mark.parametrize("encoding, file", [(None, io.StringIO),
                                            ("utf-8", io.BytesIO)])
def test_a_transcript_of_the_wrong_kind_is_refused_before_reading(
        driver, encoding, file):
    spawn = ScriptedSpawn("hello", encoding=encoding)
    with pytest.raises(TypeError, match="transcript"):
        Dialog([["hello"]]).process(spawn, transcript=file())
    assert spawn.remaining == 2  # the piece and the end, unread


def test_a_character_cut_by_the_end_of_a_run_is_transcribed_once(driver):
    spawn = ScriptedSpawn(b"caf\xc3", (5, b"\xa9 done"), encoding=None)
    transcript = io.BytesIO()
    Dialog([["__timeout__"]]).process(spawn, timeout=1, transcript=transcript)
    assert spawn.buffer == b"caf\xc3"
    Dialog([["done"]]).process(spawn, timeout=10, transcript=transcript)
    assert transcript.getvalue() == "café done".encode()


class Mixed:
    """A spawn whose reads return bytes, then text."""

    def __init__(self, *reads):
        self.reads = list(reads)
        self.buffer = ""

    def read_nonblocking(self, size, timeout):
        if not self.reads:
            raise pexpect.EOF("end")
        return self.reads.pop(0)

    send = sendline = print


def test_bytes_held_for_a_character_stay_before_later_text(driver):
    spawn = Mixed(b"ab\xc3", "xyz")
    with pytest.raises(DialogEOFError):
        Dialog([["never"]]).process(spawn, timeout=1)
    assert spawn.buffer == "ab\udcc3xyz"


class Dropping(Mixed):
    """A connection that drops after some output."""

    def read_nonblocking(self, size, timeout):
        if not self.reads:
            raise ConnectionResetError("connection dropped")
        return self.reads.pop(0)


def test_a_read_that_fails_in_a_worker_thread_hands_back_and_forgets():
    spawn = Dropping("Password: ", "ok")
    context = {"credentials": {"d": {"password": SecretText("pw-1")}}}
    with pytest.raises(ConnectionResetError):
        asyncio.run(process_async(Dialog([["never"]]), spawn, timeout=5,
                                  context=context))
    assert spawn.buffer == "Password: ok"
    assert "pw-1" not in active().secrets


def test_cancelled_in_the_send_pause_hands_back_what_followed(monkeypatch):
    # The prompt and what follows it arrive in one read; the run is
    # cancelled while it waits pexpect's delaybeforesend before the action.
    child = pexpect.spawn("/bin/sh", ["-c", "printf 'login: after'; sleep 5"],
                          encoding="utf-8")
    child.delaybeforesend = 30
    try:
        async def main():
            def answer(spawn):
                spawn.sendline("admin")

            task = asyncio.create_task(process_async(
                Dialog([Statement("login: ", action=answer,
                                  loop_continue=True)]), child, timeout=10))
            await asyncio.sleep(1)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        asyncio.run(main())
        assert child.buffer == "login: after"
        assert child.delaybeforesend == 30
    finally:
        child.close(force=True)


def test_an_action_raising_stop_iteration(driver):
    def stop():
        raise StopIteration

    spawn = ScriptedSpawn("prompt> rest")
    with pytest.raises(RuntimeError,
                       match=r"statement 0: action .*stop raised Stop") as info:
        Dialog([Statement("prompt> ", action=stop)]).process(spawn)
    assert isinstance(info.value.__cause__, StopIteration)
    assert spawn.buffer == "prompt> rest"


def test_an_action_that_closes_the_spawn(driver):
    child = pexpect.spawn("cat", encoding="utf-8")
    try:
        child.sendline("go")

        def close(spawn):
            spawn.close(force=True)

        with pytest.raises(ValueError, match="closed file"):
            Dialog([Statement("go", action=close, loop_continue=True)]
                   ).process(child, timeout=5)
    finally:
        child.close(force=True)


def test_a_positional_only_parameter_after_a_default_is_refused(driver):
    def act(a=1, b=2, /):
        pass

    spawn = ScriptedSpawn("x")
    dialog = Dialog([Statement("x", action=act, args={"b": 5})])
    with pytest.raises(TypeError, match="statement 0: cannot pass 'b'.*'a'"):
        dialog.process(spawn)
    assert spawn.remaining == 2 and spawn.sent == []

    seen = []

    def given(a=1, b=2, /):
        seen.append((a, b))

    Dialog([Statement("x", action=given, args={"a": 0, "b": 5})]).process(
        spawn)
    assert seen == [(0, 5)]


def test_popen_spawn_polls_with_a_zero_timeout(driver):
    child = PopenSpawn([sys.executable, "-c", "print('ready'); input()"],
                       encoding="utf-8")
    try:
        # The output is in the spawn's queue, waiting to be read.
        time.sleep(0.5)
        assert Dialog([["ready"]]).process(child, timeout=0).kind == "match"
    finally:
        child.sendeof()
        child.wait()


# -- match_max ---------------------------------------------------------------


def chatter(lines, *tail):
    return ScriptedSpawn(*("line %05d\n" % n for n in range(lines)), *tail,
                         eof=False)


def test_match_max_bounds_what_a_run_keeps(driver, caplog):
    spawn = chatter(2000)
    with caplog.at_level(logging.WARNING, "tavrel.eal.dialog_processor"):
        with pytest.raises(DialogTimeoutError):
            DialogProcessor(Dialog([["never"]]), spawn, timeout=5,
                            match_max=1000).process()
    assert len(spawn.buffer) == 1000
    assert spawn.buffer.endswith("line 01999\n")
    assert len([r for r in caplog.records if "match_max" in r.message]) == 1


@pytest.mark.parametrize("pattern", [r"line 01999\n(?=P)", r"(?m)^P> $",
                                     r"(?<=\n)P> ", r"\A.*", "P> "])
def test_matching_is_exact_on_what_is_kept(driver, pattern):
    spawn = chatter(2000, "P> ")
    result = DialogProcessor(Dialog([[pattern]]), spawn, timeout=5,
                             match_max=500).process()
    kept = "".join("line %05d\n" % n for n in range(2000)) + "P> "
    assert result.dropped == (0 if pattern == r"\A.*" else len(kept) - 500)
    expected = re.search(pattern, kept[result.dropped:])
    assert result.match.group(0) == expected.group(0)


def test_match_max_is_checked():
    spawn = ScriptedSpawn("x")
    for bad, error in [(0, ValueError), (True, TypeError), (1.5, TypeError)]:
        with pytest.raises(error, match="match_max"):
            DialogProcessor(Dialog([["x"]]), spawn, match_max=bad)
    assert Dialog([["x"]]).process(spawn, match_max=None).dropped == 0


def test_without_match_max_nothing_is_dropped(driver):
    spawn = chatter(3000)
    with pytest.raises(DialogTimeoutError):
        Dialog([["never"]]).process(spawn, timeout=5)
    assert len(spawn.buffer) == 3000 * 11

