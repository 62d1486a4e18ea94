"""DialogProcessor against real programs on a pty: the simulated device,
bash and an interactive Python."""

import logging
import sys
import time

import pexpect
import pytest
from fakes import Spawn

from tavrel.core.errors import DialogEOFError, DialogTimeoutError
from tavrel.eal.dialog_processor import DialogProcessor
from tavrel.eal.dialogs import Dialog, Statement
from tavrel.utils import SecretText

# -- child processes ---------------------------------------------------------

CREDENTIALS = {"device": {"username": "admin",
                          "password": SecretText("s3cr3t-Pa55")},
               "enable": {"password": SecretText("en-4bl3-pw")}}
CONTEXT = {"credentials": CREDENTIALS}
DEVICE_LOGIN = ["--password", "s3cr3t-Pa55", "--enable-password", "en-4bl3-pw"]

LOGIN = [
    [r"Username: $", "sendline_cred_user(device)", None, True, False],
    [r"Password: $", "sendline_cred_pass(device)", None, True, False],
    [r"\[yes/no\]: $", "sendline(no)", None, True, False],
    [r"SW-1>$", None],
]


@pytest.fixture
def spawned():
    children = []

    def spawn(command, args=(), **kwargs):
        kwargs.setdefault("encoding", "utf-8")
        kwargs.setdefault("timeout", 5)
        child = pexpect.spawn(command, list(args), **kwargs)
        children.append(child)
        return child

    yield spawn
    for child in children:
        child.close(force=True)


@pytest.fixture
def device(spawned):
    def start(*options, **kwargs):
        return spawned(sys.executable,
                       ["-m", "tavrel.demo.device", *DEVICE_LOGIN, *options],
                       **kwargs)
    return start


@pytest.fixture
def bash(spawned):
    def start(script, **kwargs):
        return spawned("bash", ["--norc", "--noprofile", "-c", script],
                       **kwargs)
    return start


def logged_in(device, *options):
    child = device("--configured", *options)
    Dialog(LOGIN).process(child, timeout=5, context=CONTEXT)
    child.sendline("enable")
    Dialog([["Password: $", "sendline_cred_pass(enable)", None, True],
            [r"SW-1#$", None]]).process(child, timeout=5, context=CONTEXT)
    return child


# -- tests -------------------------------------------------------------------


def test_login_in_one_dialog_keeps_secrets_out_of_logs(device, caplog):
    caplog.set_level(logging.DEBUG, logger="tavrel.eal.dialog_processor")
    child = device()
    dialog = Dialog([Statement(*line, debug_statement=True)
                     if len(line) == 5 else line for line in LOGIN])

    result = dialog.process(child, timeout=5, context=CONTEXT)

    assert (result.kind, result.pattern) == ("match", r"SW-1>$")
    assert result.match.group(0) == "SW-1>"
    assert "Username: admin" in result.output
    assert "s3cr3t" not in result.output  # not echoed by the device
    assert len([r for r in caplog.records if "matched" in r.message]) >= 4
    assert "s3cr3t" not in caplog.text


def test_pager_loop_and_injected_context_and_session(device):
    child = logged_in(device, "--config-lines", "70", "--page-length", "20")
    seen = []

    def next_page(spawn, context, session):
        session["pages"] = session.get("pages", 0) + 1
        seen.append(context["tag"])
        spawn.send(" ")

    child.sendline("show running-config")
    session = {}
    result = Dialog([
        Statement(r"--More-- $", next_page, loop_continue=True),
        Statement(r"SW-1#$"),
    ]).process(child, timeout=5, context={"tag": "t"}, session=session)

    assert session["pages"] == 3 and seen == ["t"] * 3
    assert result.output.count("interface GigabitEthernet") >= 14
    assert result.output.endswith("!\r\nend\r\n\r\nSW-1#")


@pytest.mark.parametrize("continue_timer", [True, False])
def test_slow_talker_needs_the_timer_restarted(device, continue_timer):
    child = logged_in(device, "--pace", "0.25", "--write-steps", "5")
    child.sendline("write memory")
    dialog = Dialog([
        Statement(r"\.", loop_continue=True, continue_timer=continue_timer),
        Statement(r"\[OK\]"),
    ])
    if continue_timer:
        assert dialog.process(child, timeout=0.8).pattern == r"\[OK\]"
    else:
        with pytest.raises(DialogTimeoutError) as info:
            dialog.process(child, timeout=0.8)
        assert isinstance(info.value, TimeoutError)
        assert info.value.timeout == 0.8
        assert "within 0.8 s" in str(info.value)


@pytest.mark.parametrize("loop_continue", [True, False])
def test_timeout_handler(device, loop_continue):
    child = device("--quiet-console", "--configured")
    woken = []

    def wake_up(spawn, session):
        woken.append(1)
        spawn.sendline("")

    dialog = Dialog(LOGIN + [["__timeout__", wake_up, None, loop_continue]])
    result = dialog.process(child, timeout=0.5, context=CONTEXT)

    assert woken == [1]
    if loop_continue:
        assert result.kind == "match" and result.pattern == r"SW-1>$"
    else:
        assert result.kind == "timeout"
        assert result.statement is dialog.timeout_statement
        child.expect("Username: ")  # the woken device goes on


def test_eof_handler_and_eof_error(bash):
    child = bash("echo one; sleep 0.2; echo two")
    ended = []
    result = Dialog([["one", None, None, True],
                     ["__eof__", lambda session: ended.append(1)]]
                    ).process(child, timeout=5)
    assert (result.kind, ended) == ("eof", [1])
    assert "two" in result.output

    child = bash("echo partial output; exit 3")
    with pytest.raises(DialogEOFError) as info:
        Dialog([["never"]]).process(child, timeout=5)
    assert isinstance(info.value, EOFError)
    assert "partial output" in info.value.tail
    assert "partial output" in str(info.value)


def test_secret_echoed_by_a_program_stays_out_of_errors(bash, caplog):
    caplog.set_level(logging.DEBUG, logger="tavrel.eal.dialog_processor")
    child = bash('read -p "Password: " p; echo "you typed $p"; sleep 5')
    dialog = Dialog([Statement("Password: $", "sendline_cred_pass(device)",
                               loop_continue=True, debug_statement=True),
                     Statement("never comes")])
    with pytest.raises(DialogTimeoutError) as info:
        dialog.process(child, timeout=0.5, context=CONTEXT)
    assert "you typed ********" in str(info.value)
    assert "s3cr3t" not in str(info.value) + info.value.tail + caplog.text
    assert "s3cr3t" in child.buffer  # the caller still gets the real output


def test_a_zero_timeout_still_matches_waiting_output(bash):
    child = bash("echo ready; sleep 5")
    time.sleep(0.3)
    assert Dialog([["ready"]]).process(child, timeout=0).kind == "match"
    with pytest.raises(DialogTimeoutError):
        Dialog([["more"]]).process(child, timeout=0)


def test_unconsumed_output_stays_for_the_next_expect(bash):
    child = bash('echo first; echo second; echo third; read x; echo "[$x]"')
    child.expect("first")
    result = Dialog([["second"]]).process(child, timeout=5)
    assert result.output.endswith("second")
    child.expect("third")  # read after the match, put back into the buffer
    child.sendline("go")
    child.expect(r"\[go\]")


def test_trim_buffer_false_keeps_text_and_does_not_fire_twice(bash):
    child = bash('read -p "Name: " n; sleep 0.1; echo "hello $n"; '
                 'echo "bye $n"')
    sent = []

    def answer(spawn):
        sent.append(1)
        spawn.sendline("ann")

    result = Dialog([
        Statement("Name: ", answer, loop_continue=True, trim_buffer=False),
        Statement(r"bye (\w+)", trim_buffer=False),
    ]).process(child, timeout=5)
    assert sent == [1]
    assert result.match.group(1) == "ann"
    assert "Name: " in result.output
    child.expect("Name: ")  # kept text is handed back too
    child.expect("bye ann")

    # Both texts in one piece of output: no need to wait for more.
    child = bash(r"printf 'Name: \nbye bob\n'; sleep 5")
    time.sleep(0.3)
    result = Dialog([
        Statement("Name: ", loop_continue=True, trim_buffer=False),
        Statement(r"bye (\w+)"),
    ]).process(child, timeout=2)
    assert result.match.group(1) == "bob"


@pytest.mark.parametrize("pattern, trim", [("", True), ("x*", False)])
def test_empty_matches_do_not_spin(bash, pattern, trim):
    child = bash("echo hi; sleep 5")
    calls = []
    dialog = Dialog([Statement(pattern, lambda spawn: calls.append(1),
                               loop_continue=True, trim_buffer=trim),
                     Statement("never")])
    with pytest.raises(DialogTimeoutError):
        dialog.process(child, timeout=0.3)
    assert 1 <= len(calls) <= 10


@pytest.mark.parametrize("retries, expected", [
    (0, r"\? $"),
    (8, r"reload\? \[confirm\]$"),
])
def test_matched_retries_decide_on_the_whole_prompt(device, retries,
                                                    expected):
    child = logged_in(device, "--pace", "0.3")
    child.sendline("reload")
    result = Dialog([
        Statement(r"reload\? \[confirm\]$"),
        Statement(r"\? $", matched_retries=retries, matched_retry_sleep=0.1),
    ]).process(child, timeout=5)
    assert result.pattern == expected


def test_interactive_python(spawned):
    child = spawned(sys.executable, ["-i", "-q"],
                    env={"PYTHONSTARTUP": "", "TERM": "dumb"})
    session = {"expr": "6 * 7"}
    Dialog([[">>> ", "sendline_session(expr)", None, False]]
           ).process(child, timeout=5, session=session)
    result = Dialog([[r"(\d+)\r\n>>> "]]).process(child, timeout=5)
    assert result.match.group(1) == "42"

    def run_and_expect(spawn):
        # Reads the spawn itself; what it leaves over belongs to the dialog.
        spawn.sendline("print(11 * 3); print(22 * 3)")
        spawn.expect(r"\r\n33\r\n")

    child.sendline("")
    result = Dialog([[r"^66\r\n>>> $"],
                     [r">>> $", run_and_expect, None, True]]
                    ).process(child, timeout=5)
    assert result.output == "\r\n>>> 66\r\n>>> "

    class Refused(Exception):
        pass

    def refuse(spawn):
        raise Refused("no")

    child.sendline("print('a'); print('b')")
    with pytest.raises(Refused):
        Dialog([["a\r\n", refuse]]).process(child, timeout=5)
    child.expect(r"a\r\nb")  # the matched text was put back as well


def test_bytes_spawn_gets_its_bytes_back(bash):
    child = bash("printf 'caf\\303\\251 \\377 end'; sleep 1", encoding=None)
    result = Dialog([["caf"]]).process(child, timeout=5)
    assert result.output == "caf"
    child.expect(b"end")
    assert child.before == b"\xc3\xa9 \xff "


Recorder = Spawn


@pytest.mark.parametrize("spawn, kwargs, error", [
    (Recorder(), {"timeout": -1}, ValueError),
    (Recorder(), {"timeout": float("nan")}, ValueError),
    (Recorder(), {"timeout": "5"}, TypeError),
    (Recorder(), {"context": ["x"]}, TypeError),
    (object(), {}, TypeError),
])
def test_bad_arguments_fail_before_any_io(spawn, kwargs, error):
    with pytest.raises(error):
        Dialog([["x", "sendline(y)"]]).process(spawn, **kwargs)
    assert getattr(spawn, "calls", []) == []


@pytest.mark.parametrize("statement, error", [
    (Statement("(", None), "error"),
    (Statement("x", matched_retries=-1), ValueError),
    (Statement("x", lambda spawn, device: None, di_params=["spawn", "device"]),
     TypeError),
])
def test_bad_statements_fail_before_any_io(statement, error):
    import re
    spawn = Recorder()
    with pytest.raises(re.error if error == "error" else error):
        Dialog([statement]).process(spawn)
    assert spawn.calls == []


def test_timeout_defaults_to_the_spawns_own():
    spawn = Recorder()
    spawn.timeout = 0.05
    with pytest.raises(DialogTimeoutError) as info:
        Dialog([["x"]]).process(spawn)
    assert info.value.timeout == 0.05
    spawn.timeout = None
    assert DialogProcessor(Dialog([["x"]]), spawn).timeout == 30
