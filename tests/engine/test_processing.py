"""The dialog engine in memory: scripted spawns on a virtual clock, so every
timing branch runs deterministically and without waiting."""

import functools
import re
import sys
import threading

import pexpect
import pytest

from tavrel.core.errors import DialogEOFError, DialogTimeoutError
from tavrel.eal.dialog_processor import DialogProcessor
from tavrel.eal.dialogs import Dialog, Statement
from tavrel.testing import EOF, ScriptedSpawn, VirtualClock


@pytest.fixture(autouse=True)
def both_drivers(driver):
    """Every behaviour here, through the blocking and the asyncio driver."""


def texts(spawn):
    return "".join(s if isinstance(s, str) else s.decode() for s in spawn.sent)


# -- the clock ---------------------------------------------------------------


def test_timeout_fires_on_the_virtual_clock_and_hands_output_back():
    spawn = ScriptedSpawn("hello ", (1.0, "world"), eof=False)
    with pytest.raises(DialogTimeoutError) as info:
        Dialog([["never"]]).process(spawn, timeout=30)
    assert spawn.clock.now == 30.0
    assert info.value.tail == "hello world" and info.value.timeout == 30
    assert spawn.buffer == "hello world"


@pytest.mark.parametrize("continue_timer, outcome", [(True, r"\[OK\]"),
                                                     (False, "timeout")])
def test_continue_timer_restarts_the_clock(continue_timer, outcome):
    spawn = ScriptedSpawn(".", (0.8, "."), (0.8, "."), (0.8, "[OK]"),
                          eof=False)
    dialog = Dialog([
        Statement(r"\.", loop_continue=True, continue_timer=continue_timer),
        Statement(r"\[OK\]"),
        Statement("__timeout__"),
    ])
    result = dialog.process(spawn, timeout=1)
    assert (result.pattern or result.kind) == outcome
    assert spawn.clock.now == pytest.approx(2.4 if continue_timer else 1.0)


def test_a_zero_timeout_polls_once():
    assert Dialog([["ready"]]).process(ScriptedSpawn("ready"),
                                       timeout=0).kind == "match"
    spawn = ScriptedSpawn((0.001, "ready"), eof=False)
    with pytest.raises(DialogTimeoutError):
        Dialog([["ready"]]).process(spawn, timeout=0)
    assert spawn.clock.now == 0


@pytest.mark.parametrize("loop_continue", [True, False])
def test_timeout_statement(loop_continue):
    woken = []
    spawn = ScriptedSpawn((2.0, "Username: "), eof=False)
    dialog = Dialog([["Username: $"],
                     ["__timeout__", lambda spawn: woken.append(
                         spawn.clock.now), None, loop_continue]])
    result = dialog.process(spawn, timeout=1.5)
    if loop_continue:
        assert result.kind == "match" and woken == [1.5]
    else:
        assert result.kind == "timeout" and woken == [1.5]
        assert result.statement is dialog.timeout_statement
        assert spawn.buffer == ""


@pytest.mark.parametrize("retries, sleep, expected", [
    (0, 0.02, r"\? $"),
    (2, 0.02, r"\? $"),                     # the rest comes too late
    (3, 0.02, r"reload\? \[confirm\]$"),    # 0.06 s: it has come
    (1, 0.05, r"reload\? \[confirm\]$"),
])
def test_matched_retries_wait_for_the_whole_prompt(retries, sleep, expected):
    spawn = ScriptedSpawn("Proceed with reload? ", (0.05, "[confirm]"),
                          eof=False)
    result = Dialog([
        Statement(r"reload\? \[confirm\]$"),
        Statement(r"\? $", matched_retries=retries,
                  matched_retry_sleep=sleep),
    ]).process(spawn, timeout=5)
    assert result.pattern == expected
    assert spawn.clock.now == pytest.approx(max(
        0.05 if expected != r"\? $" else 0, retries * sleep))


class Chatty(ScriptedSpawn):
    """A program that never stops writing: every read returns a full
    chunk at once and takes ten milliseconds."""

    def read_nonblocking(self, size=1, timeout=-1):
        self.clock.advance(0.01)
        self.reads = getattr(self, "reads", 0) + 1
        return "y\n" * (size // 2)


class Empty(ScriptedSpawn):
    """A pipe spawn's read: nothing, at once, without a timeout."""

    def read_nonblocking(self, size=1, timeout=-1):
        self.reads = getattr(self, "reads", 0) + 1
        return ""


@pytest.mark.parametrize("statement", [
    Statement("never"),
    Statement("y", loop_continue=False, matched_retries=5,
              matched_retry_sleep=0.3),
])
def test_a_program_that_never_stops_cannot_hold_the_deadline(statement):
    spawn = Chatty()
    dialog = Dialog([Statement("never"), statement])
    if statement.matched_retries:
        # Retries read for their pauses and what has arrived, then decide.
        assert dialog.process(spawn, timeout=1).kind == "match"
        assert spawn.clock.now <= 0.01 + 5 * (0.3 + 0.05 + 0.01)
    else:
        with pytest.raises(DialogTimeoutError):
            dialog.process(spawn, timeout=1)
        assert spawn.clock.now <= 1.1 + 0.01


def test_empty_reads_without_timeout_do_not_spin():
    spawn = Empty()
    with pytest.raises(DialogTimeoutError):
        Dialog([["x", None, None, False, False, True, 3, 0.1]]).process(
            spawn, timeout=2)
    assert spawn.clock.now == pytest.approx(2.0)
    assert spawn.reads <= 2 / 0.01 + 2


# -- what the engine hands back ----------------------------------------------


@pytest.mark.parametrize("ending", ["timeout", "eof", "timeout statement",
                                    "eof statement", "interrupt"])
def test_a_bytes_spawn_gets_bytes_back_whatever_the_ending(ending):
    spawn = ScriptedSpawn(encoding=None, eof="eof" in ending)
    statements = [["never"]]
    if ending.endswith("statement"):
        statements.append(["__%s__" % ending.split()[0], None])
    if ending == "interrupt":
        spawn = ScriptedSpawn("now", encoding=None)

        def interrupt():
            raise KeyboardInterrupt
        statements = [["no", interrupt]]
    errors = {"timeout": DialogTimeoutError, "eof": DialogEOFError,
              "interrupt": KeyboardInterrupt}
    if ending in errors:
        with pytest.raises(errors[ending]):
            Dialog(statements).process(spawn, timeout=1)
    else:
        Dialog(statements).process(spawn, timeout=1)
    assert spawn.buffer == (b"now" if ending == "interrupt" else b"")


def test_eof_inside_a_character_keeps_its_bytes():
    # "café" cut after the first byte of "é".
    spawn = ScriptedSpawn(b"caf\xc3", encoding=None)
    with pytest.raises(DialogEOFError):
        Dialog([["never"]]).process(spawn, timeout=1)
    assert spawn.buffer == b"caf\xc3"
    spawn = ScriptedSpawn(b"caf\xc3", encoding=None)
    result = Dialog([["never"], ["__eof__"]]).process(spawn, timeout=1)
    assert result.output.encode("utf-8", "surrogateescape") == b"caf\xc3"


def test_actions_read_on_from_the_output_after_their_match():
    # A banner and the prompt in one read, as sqlite3 prints them.
    spawn = ScriptedSpawn("SQLite version 3\nsqlite> ", (0.1, "1|one\nsqlite> "),
                          "rest", eof=False)
    seen = []

    def query(spawn):
        seen.append(spawn.buffer)
        spawn.sendline("select 1, 'one';")
        spawn.expect(r"1\|one")

    result = Dialog([Statement(r"version", query, loop_continue=True),
                     Statement(r"sqlite> $")]).process(spawn, timeout=5)
    assert seen == [" 3\nsqlite> "]
    # What the action read itself is its own (in spawn.before), not the
    # dialog's output.
    assert result.output == "SQLite version\nsqlite> "
    assert spawn.buffer == ""
    assert texts(spawn) == "select 1, 'one';\n"


def test_output_behind_a_search_window_is_not_lost():
    spawn = ScriptedSpawn("first line\n" + "x" * 100, eof=False)
    with pytest.raises(pexpect.TIMEOUT):
        spawn.expect("nothing", timeout=1, searchwindowsize=10)
    assert spawn.buffer == "x" * 10
    result = Dialog([["first line"]]).process(spawn, timeout=1)
    assert result.kind == "match"
    assert spawn.buffer == "\n" + "x" * 100
    spawn.expect("x{100}")


@pytest.mark.parametrize("value", [5, True, range(3), 300 * 2 ** 20, None,
                                   ["text"]])
def test_a_read_of_another_type_is_refused_and_nothing_lost(value):
    class Odd(ScriptedSpawn):
        def read_nonblocking(self, size=1, timeout=-1):
            return value

    spawn = Odd()
    spawn.buffer = "kept"
    with pytest.raises(TypeError, match="Odd spawn's read_nonblocking"):
        Dialog([["never"]]).process(spawn, timeout=1)
    assert spawn.buffer == "kept"


def test_a_buffer_of_another_type_is_refused_before_anything_is_read():
    class Odd(ScriptedSpawn):
        buffer = 5

    spawn = Odd("x")
    with pytest.raises(TypeError, match="Odd spawn's buffer is int"):
        Dialog([["x"]]).process(spawn, timeout=1)
    assert spawn.remaining == 2 and spawn.buffer == 5


def test_bytes_like_reads_are_accepted():
    class Views(ScriptedSpawn):
        def read_nonblocking(self, size=1, timeout=-1):
            return memoryview(bytearray(super().read_nonblocking(size, timeout)))

    spawn = Views(b"a\xff", b"b> ", encoding=None)
    result = Dialog([["b> $"]]).process(spawn, timeout=1)
    assert result.output == "a\udcffb> "


# -- actions -----------------------------------------------------------------


class Device:
    def __init__(self):
        self.prompts = 0
        self.__name__ = "device"

    def answer(self, spawn, reply):
        self.prompts += 1
        spawn.sendline(reply)

    def __call__(this, spawn):
        spawn.sendline("called")


def test_bound_methods_and_callable_objects_run():
    device = Device()
    spawn = ScriptedSpawn("? ", "> ", "$ ")
    Dialog([
        Statement(r"\? ", device.answer, {"self": device, "reply": "y"},
                  loop_continue=True),
        Statement(r"> ", device, {"this": device}, loop_continue=True),
        Statement(r"\$ "),
    ]).process(spawn, timeout=1)
    assert spawn.sent == ["y\n", "called\n"] and device.prompts == 1


def test_a_replaced_code_object_is_read_afresh():
    def action(spawn):
        spawn.sendline("old")

    def other(spawn, context):
        spawn.sendline(context["word"])

    statement = Statement("> ", action, loop_continue=False)
    Dialog([statement]).process(ScriptedSpawn("> "), timeout=1)
    action.__code__ = other.__code__
    spawn = ScriptedSpawn("> ")
    Dialog([statement]).process(spawn, timeout=1, context={"word": "new"})
    assert spawn.sent == ["new\n"]


def test_actions_made_from_one_code_are_read_once(monkeypatch):
    # A fleet builds its dialogs per session: closures made anew and the
    # module's senders.  Their parameter list is read once per code; a
    # function wrapped (its signature is another's) is read for itself.
    from tavrel._engine import plan

    read = []
    signature = plan.inspect.signature
    monkeypatch.setattr(plan.inspect, "signature",
                        lambda f, *a, **k: read.append(f) or signature(f))

    def make(word):
        def action(spawn):
            spawn.sendline(word)
        return action

    def decorated(word):
        inner = make(word)

        @functools.wraps(inner)
        def outer(spawn):
            return inner(spawn)
        return outer

    for word in ("a", "b", "c"):
        spawn = ScriptedSpawn("? ", "> ", "$ ")
        Dialog([Statement(r"\? ", make(word), loop_continue=True),
                Statement("> ", "sendline(%s)" % word, loop_continue=True),
                Statement(r"\$ ", decorated(word))
                ]).process(spawn, timeout=1)
        assert spawn.sent == [word + "\n", word + "\n", word + "\n"]
    wrappers = [f for f in read if hasattr(f, "__wrapped__")]
    assert len(wrappers) == 3 and len(read) - len(wrappers) <= 2


def test_a_pattern_that_does_not_compile_is_named():
    with pytest.raises(re.error) as info:
        Dialog([["fine"], ["(unclosed"]]).process(ScriptedSpawn(), timeout=1)
    assert "statement 1" in str(info.value) and "'(unclosed'" in str(info.value)
    assert isinstance(info.value.__cause__, re.error)


@pytest.mark.parametrize("driver", ["sync"], indirect=True)
def test_coroutine_actions_are_refused_before_any_io():
    async def answer(spawn):
        spawn.sendline("y")

    spawn = ScriptedSpawn("? ")
    with pytest.raises(TypeError, match=r"statement 1: action .*answer is a "
                                        r"coroutine function.*process_async"):
        Dialog([["never"], [r"\? ", answer]]).process(spawn, timeout=1)
    assert spawn.remaining == 2 and spawn.sent == []


@pytest.mark.parametrize("driver", ["sync"], indirect=True)
def test_one_dialog_in_many_threads():
    dialog = Dialog([
        Statement(r"Username: $", lambda spawn, session: spawn.sendline(
            session["user"]), loop_continue=True),
        Statement(r"Password: $", "sendline(pw)", loop_continue=True),
        Statement(r"(\w+)> $"),
    ])
    processor_results = {}
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)

    def run(n):
        spawn = ScriptedSpawn("Username: ", (0.1, "Password: "),
                              (0.1, "host%d> " % n))
        result = dialog.process(spawn, timeout=1, session={"user": "u%d" % n})
        processor_results[n] = (result.match.group(1), spawn.sent)

    try:
        threads = [threading.Thread(target=run, args=(n,)) for n in range(16)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(old)
    assert processor_results == {
        n: ("host%d" % n, ["u%d\n" % n, "pw\n"]) for n in range(16)}


def test_the_clock_is_the_spawns_or_the_one_given():
    clock = VirtualClock(100)
    spawn = ScriptedSpawn(eof=False, clock=clock)
    assert DialogProcessor(Dialog(), spawn).clock is clock
    assert DialogProcessor(Dialog(), object.__new__(Device) if False else
                           spawn, clock=VirtualClock()).clock is not clock
    with pytest.raises(DialogTimeoutError):
        Dialog([["x"]]).process(spawn, timeout=2)
    assert clock.now == 102
    with pytest.raises(TypeError, match="clock"):
        DialogProcessor(Dialog([["x"]]), spawn, clock=object())


def test_script_pieces_play_as_pexpect_reads():
    spawn = ScriptedSpawn("abcdef", (2, EOF), "never read", encoding=None)
    assert spawn.read_nonblocking(4, 0) == b"abcd"
    assert spawn.read_nonblocking(4, 0) == b"ef"
    with pytest.raises(pexpect.TIMEOUT):
        spawn.read_nonblocking(4, 1)
    assert spawn.clock.now == 1
    with pytest.raises(pexpect.EOF):
        spawn.read_nonblocking(4, 5)
    assert spawn.clock.now == 2 and not spawn.isalive()
    spawn.sendline("x")
    spawn.sendcontrol("c")
    assert spawn.sent == [b"x\n", b"\x03"]
