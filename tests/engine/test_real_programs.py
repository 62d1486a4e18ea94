"""The engine against real programs, as users drive them: OpenSSH on
loopback, su, sqlite3, a pager, programs that never stop writing or die
mid-dialog, on pty, pipe and popen spawns, text and bytes."""

import logging
import os
import signal
import subprocess
import sys
import time

import pexpect
import pytest
from pexpect import fdpexpect, popen_spawn

from tavrel.core.errors import DialogEOFError, DialogTimeoutError
from tavrel.eal.dialogs import Dialog, Statement

from servers import ENV, USER, need

# bash follows its prompt with terminal escapes (erase to end of line).
SHELL_PROMPT = r"\$ (?:\x1b\[[0-9;?]*[A-Za-z])*$"


@pytest.fixture
def children():
    started = []
    yield started
    for child in started:
        if hasattr(child, "close") and isinstance(child, pexpect.spawn):
            child.close(force=True)
        elif isinstance(child, popen_spawn.PopenSpawn):
            child.kill(signal.SIGKILL)
            child.wait()
        elif isinstance(child, subprocess.Popen):
            child.kill()
            child.wait()


def spawn(children, command, args=(), **kwargs):
    kwargs.setdefault("encoding", "utf-8")
    kwargs.setdefault("timeout", 10)
    kwargs.setdefault("env", ENV)
    child = pexpect.spawn(command, list(args), **kwargs)
    children.append(child)
    return child


def refused(spawn):
    raise AssertionError("the password was refused")


# -- logging in ----------------------------------------------------------------


@pytest.mark.parametrize("encoding", ["utf-8", None])
def test_ssh_password_login(sshd, login_user, children, encoding, caplog):
    caplog.set_level(logging.DEBUG, logger="tavrel.eal.dialog_processor")
    need("ssh")
    child = spawn(children, "ssh", [
        "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
        "-o", "PubkeyAuthentication=no", "-p", str(sshd),
        "%s@127.0.0.1" % USER], encoding=encoding)
    child.delaybeforesend = None
    context = {"credentials": {"lab": login_user}}
    login = Dialog([
        # A refusal first: a new password prompt follows it in the output.
        Statement("Permission denied", refused),
        Statement(r"[Pp]assword: $", "sendline_cred_pass(lab)",
                  loop_continue=True, debug_statement=True),
        Statement(SHELL_PROMPT),
    ])
    result = login.process(child, timeout=15, context=context)
    assert result.pattern == SHELL_PROMPT
    child.sendline("echo logged-in-as-$(whoami)")
    result = Dialog([[r"(?s)logged-in-as-([a-z][\w-]*)\r\n.*" + SHELL_PROMPT]]).process(
        child, timeout=10)
    assert result.match.group(1) == USER
    assert login_user["password"].plaintext not in caplog.text
    child.sendline("exit")
    child.expect(pexpect.EOF)


def test_su_asks_for_the_password_and_refusals_win(login_user, children):
    need("su")
    context = {"credentials": {"lab": login_user,
                               "bad": {"password": "not-it"}}}

    def su(key, tail):
        child = spawn(children, "su", ["-s", "/bin/sh", "nobody", "-c",
                                       "su -c 'echo su-ok' %s" % USER])
        child.delaybeforesend = None
        return Dialog([
            Statement("Authentication failure"),
            Statement(r"Password: $", "sendline_cred_pass(%s)" % key,
                      loop_continue=True),
            Statement(tail),
        ]).process(child, timeout=15, context=context)

    assert su("lab", r"su-ok").pattern == "su-ok"
    assert su("bad", r"su-ok").pattern == "Authentication failure"


# -- actions that read on ----------------------------------------------------


def test_sqlite_banner_and_prompt_in_one_write(children):
    need("sqlite3")
    child = spawn(children, "sqlite3", ["-interactive"])
    child.delaybeforesend = None

    def query(spawn):
        # The prompt came in the banner's write: it is in spawn.buffer now.
        spawn.expect("sqlite> ")
        spawn.sendline("select 6 * 7;")
        spawn.expect(r"42\r\n")

    result = Dialog([Statement(r"SQLite version", query, loop_continue=True),
                     Statement(r"sqlite> $")]).process(child, timeout=10)
    assert result.kind == "match"
    child.sendline(".quit")
    child.expect(pexpect.EOF)


def test_a_pager_paged_through(tmp_path, children):
    need("more")
    text = tmp_path / "lines.txt"
    text.write_text("".join("line %d\n" % n for n in range(200)))
    child = spawn(children, "more", [str(text)], dimensions=(24, 80),
                  env=dict(ENV, TERM="dumb"))
    child.delaybeforesend = None
    pages = []
    result = Dialog([
        Statement(r"--More--", lambda spawn: (pages.append(1),
                                              spawn.send(" ")),
                  loop_continue=True, continue_timer=True),
        Statement(r"\(END\)", "send(q)", loop_continue=True),
        Statement("__eof__"),
    ]).process(child, timeout=10)
    assert result.kind == "eof" and len(pages) >= 8
    assert "line 199" in result.output


# -- programs that never stop, or stop too soon ------------------------------


def yes_spawn(children, how):
    if how == "pty":
        return spawn(children, "yes")
    if how == "popen":
        child = popen_spawn.PopenSpawn(["yes"], encoding="utf-8", env=ENV)
        children.append(child)
        return child
    process = subprocess.Popen(["yes"], stdout=subprocess.PIPE, env=ENV)
    children.append(process)
    return fdpexpect.fdspawn(process.stdout.fileno(), encoding="utf-8")


@pytest.mark.parametrize("how", ["pty", "pipe", "popen"])
def test_yes_cannot_hold_the_timeout(children, how):
    need("yes")
    child = yes_spawn(children, how)
    # Through a pipe, yes writes hundreds of MB a second, all of which is
    # handed back: a shorter wait keeps that small.
    timeout = 0.3 if how == "pipe" else 1.0
    fired = []
    handler = logging.Handler()
    handler.emit = lambda record: fired.append(record.created - start) \
        if record.getMessage().startswith("timeout after") else None
    logger = logging.getLogger("tavrel.eal.dialog_processor")
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    try:
        start = time.time()
        result = Dialog([["never"], ["__timeout__"]]).process(
            child, timeout=timeout)
    finally:
        logger.removeHandler(handler)
        logger.setLevel(logging.NOTSET)
    assert result.kind == "timeout"
    # The timeout fires within the deadline, the last look's 50 ms and one
    # read, on a busy CI (handing back what was read takes longer).
    assert fired[0] < timeout + 0.1 + 0.3, fired
    child.buffer = child.buffer[:0]
    start = time.monotonic()
    result = Dialog([Statement(r"y\r?\n", matched_retries=3,
                               matched_retry_sleep=0.1)]).process(
        child, timeout=timeout)
    assert result.kind == "match" and time.monotonic() - start < 1.0


def test_a_program_killed_mid_dialog(children):
    child = spawn(children, "bash", ["--norc", "-c",
                                     "echo ready; read x; echo never"])

    def kill(spawn):
        os.kill(spawn.pid, signal.SIGKILL)

    ended = []
    result = Dialog([
        Statement("ready", kill, loop_continue=True),
        Statement("never"),
        Statement("__eof__", lambda: ended.append(1)),
    ]).process(child, timeout=10)
    assert result.kind == "eof" and ended == [1]
    child = spawn(children, "bash", ["--norc", "-c", "echo ready; read x"])
    with pytest.raises(DialogEOFError) as info:
        Dialog([Statement("ready", kill, loop_continue=True),
                Statement("never")]).process(child, timeout=10)
    assert isinstance(info.value, EOFError)


# -- bytes and pipes ---------------------------------------------------------


def test_bytes_spawn_with_nothing_read_gets_bytes_back(children):
    child = spawn(children, "sleep", ["5"], encoding=None)
    with pytest.raises(DialogTimeoutError):
        Dialog([["never"]]).process(child, timeout=0.2)
    assert child.buffer == b""
    child = spawn(children, "printf", [r"caf\303"], encoding=None)
    with pytest.raises(DialogEOFError):
        Dialog([["never"]]).process(child, timeout=5)
    assert child.buffer == b"caf\xc3"


PROMPTER = ("import sys, time\n"
            "sys.stdout.write('Proceed with reload? '); sys.stdout.flush()\n"
            "time.sleep(0.3)\n"
            "sys.stdout.write('[confirm]'); sys.stdout.flush()\n"
            "time.sleep(5)\n")


def test_popen_spawn_retries_see_the_rest_and_waits_cost_no_cpu(children):
    child = popen_spawn.PopenSpawn([sys.executable, "-c", PROMPTER],
                                   encoding="utf-8", env=ENV)
    children.append(child)
    result = Dialog([
        Statement(r"reload\? \[confirm\]$"),
        Statement(r"\? $", matched_retries=8, matched_retry_sleep=0.1),
    ]).process(child, timeout=5)
    assert result.pattern == r"reload\? \[confirm\]$"
    cpu = time.process_time()
    with pytest.raises(DialogTimeoutError):
        Dialog([["never"]]).process(child, timeout=2)
    assert time.process_time() - cpu < 0.5


def test_pipe_spawn_bytes(children):
    process = subprocess.Popen(
        [sys.executable, "-c", "import sys; sys.stdout.buffer.write("
         "b'caf\\xc3\\xa9 \\xff> '); sys.stdout.flush(); import time; "
         "time.sleep(5)"], stdout=subprocess.PIPE, env=ENV)
    children.append(process)
    child = fdpexpect.fdspawn(process.stdout.fileno())
    result = Dialog([["caf"]]).process(child, timeout=5)
    assert result.output == "caf"
    child.expect(b"> ")
    assert child.before == b"\xc3\xa9 \xff"


def test_match_max_keeps_yes_within_its_bound_and_its_time(children):
    import tracemalloc

    from tavrel.eal.dialog_processor import DialogProcessor

    need("yes")
    child = yes_spawn(children, "pipe")
    bound = 1 << 20
    tracemalloc.start()
    try:
        start = time.monotonic()
        with pytest.raises(DialogTimeoutError):
            DialogProcessor(Dialog([["never"]]), child, timeout=1.0,
                            match_max=bound).process()
        took = time.monotonic() - start
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert len(child.buffer) == bound
    # Within 10 % and the last look (plus slack for a busy machine); the
    # memory a small multiple of the bound.
    assert took < 1.1 + 0.05 + 0.3, took
    assert peak < 12 * bound, peak
