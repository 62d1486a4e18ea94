"""Local programs on a pty: the engine drives them through a session as
through pexpect, sync and async; sends, closing, cancelling, transcripts
and recordings."""

import asyncio
import json
import signal

import pexpect
import pytest

from servers import ENV
from tavrel.core.errors import SessionClosedError
from tavrel.eal.dialog_processor import process_async
from tavrel.eal.dialogs import Dialog, Statement
from tavrel.sessions import AsyncLocalSession, LocalSession
from tavrel.testing import ReplayMismatch, ReplaySpawn
from tavrel.utils import SecretText

LOGIN = r"""
read -r -p "Username: " user
read -r -s -p "Password: " password; echo
[ "$password" = "s3cret" ] || { echo "Login incorrect"; exit 1; }
echo "Welcome, $user"
read -r -p "lab\$ " command
echo "you typed: $command"
printf 'and then: %s\n' "$password"
read -r -p "lab\$ " command
"""
CONTEXT = {"credentials": {"lab": {"username": "admin",
                                   "password": SecretText("s3cret")}}}
LOGIN_DIALOG = Dialog([
    Statement(r"Login incorrect"),
    Statement(r"Username: $", "sendline_cred_user(lab)", loop_continue=True),
    Statement(r"Password: $", "sendline_cred_pass(lab)", loop_continue=True),
    Statement(r"lab\$ $"),
])
ARGS = ["--norc", "--noprofile", "-c", LOGIN]


def run_pexpect(encoding):
    child = pexpect.spawn("bash", ARGS, env=ENV, encoding=encoding)
    child.delaybeforesend = None
    try:
        result = LOGIN_DIALOG.process(child, timeout=10, context=CONTEXT)
        child.sendline("show")
        after = Dialog([[r"you typed: (\w+)"]]).process(child, timeout=10)
        child.expect(r"lab\$ ")
        return result.pattern, result.output, after.match.group(1), \
            child.before
    finally:
        child.close(force=True)


def run_sync(encoding):
    with LocalSession("bash", ARGS, env=ENV, encoding=encoding) as child:
        result = LOGIN_DIALOG.process(child, timeout=10, context=CONTEXT)
        child.sendline("show")
        after = Dialog([[r"you typed: (\w+)"]]).process(child, timeout=10)
        child.expect(r"lab\$ ")
        return result.pattern, result.output, after.match.group(1), \
            child.before


def run_async(encoding):
    async def main():
        async with AsyncLocalSession("bash", ARGS, env=ENV,
                                     encoding=encoding) as child:
            result = await process_async(LOGIN_DIALOG, child, timeout=10,
                                         context=CONTEXT)
            child.sendline("show")
            after = await process_async(Dialog([[r"you typed: (\w+)"]]),
                                        child, timeout=10)
            await child.expect(r"lab\$ ")
            return result.pattern, result.output, after.match.group(1), \
                child.before
    return asyncio.run(main())


@pytest.mark.parametrize("encoding", ["utf-8", None])
def test_a_session_gives_what_a_pexpect_spawn_gives(encoding):
    # The same program, the same dialogs: the same results and the same
    # output handed back for the next expect.
    expected = run_pexpect(encoding)
    assert expected[0] == r"lab\$ $" and expected[2] == "show"
    assert run_sync(encoding) == expected
    assert run_async(encoding) == expected


def test_sends_keep_their_order_under_a_send_pause():
    with LocalSession("bash", ["--norc", "--noprofile", "-c",
                               "read -r line; echo got=$line"],
                      env=ENV, send_pause=0.05) as child:
        for part in ("a", "b", "c"):
            child.send(part)
        child.sendline("d")
        child.expect(r"got=(\w+)")
        assert child.match.group(1) == "abcd"


def test_close_kills_a_program_that_ignores_the_hangup():
    child = LocalSession("bash", ["--norc", "--noprofile", "-c",
                                  "trap '' HUP; echo ready; sleep 60"],
                         env=ENV)
    child.open()
    child.expect("ready")
    child.close()
    assert child.signalstatus == signal.SIGKILL
    with pytest.raises(SessionClosedError):
        child.sendline("x")


def test_a_cancelled_dialog_leaves_the_session_usable():
    async def main():
        async with AsyncLocalSession(
                "bash", ["--norc", "--noprofile", "-c",
                         "echo one; sleep 0.5; echo two; sleep 60"],
                env=ENV) as child:
            run = asyncio.ensure_future(process_async(
                Dialog([["never"]]), child, timeout=30))
            await asyncio.sleep(0.2)
            run.cancel()
            with pytest.raises(asyncio.CancelledError):
                await run
            # What the dialog read is handed back; what comes later too.
            await child.expect("two")
            assert "one" in child.before
    asyncio.run(main())


def test_the_transcript_masks_a_secret_echoed_in_a_later_dialog(tmp_path):
    transcript = tmp_path / "session.txt"
    with LocalSession("bash", ARGS, env=ENV,
                      transcript=str(transcript)) as child:
        LOGIN_DIALOG.process(child, timeout=10, context=CONTEXT)
        child.sendline("show")
        # This dialog knows no secret; the program prints the password.
        Dialog([[r"lab\$ $"]]).process(child, timeout=10)
    text = transcript.read_text()
    assert "and then: ********" in text and "s3cret" not in text


def test_a_recording_replays_and_catches_a_different_send(tmp_path):
    recording = tmp_path / "session.jsonl"
    with LocalSession("bash", ARGS, env=ENV,
                      recording=str(recording)) as child:
        LOGIN_DIALOG.process(child, timeout=10, context=CONTEXT)
        child.sendline("show")
        child.expect(r"lab\$ ")
    lines = [json.loads(line) for line in recording.read_text().splitlines()]
    assert lines[0]["kind"] == "local" and lines[0]["host"] == "bash"
    assert {"out"} <= set().union(*lines[1:])
    assert "s3cret" not in recording.read_text()

    replay = ReplaySpawn(str(recording))
    result = LOGIN_DIALOG.process(replay, timeout=10, context=CONTEXT)
    assert result.pattern == r"lab\$ $"
    replay.sendline("show")
    replay.expect(r"lab\$ ")
    replay.check()

    replay = ReplaySpawn(str(recording))
    LOGIN_DIALOG.process(replay, timeout=10, context=CONTEXT)
    with pytest.raises(ReplayMismatch):
        replay.sendline("shut")
    with pytest.raises(ReplayMismatch):
        ReplaySpawn(str(recording)).check()


def test_a_program_that_cannot_start_is_a_connect_error():
    from tavrel.core.errors import ConnectError
    with pytest.raises(ConnectError) as info:
        LocalSession("/nonexistent/program").open()
    assert info.value.host == "/nonexistent/program"


def test_the_fixtures_of_the_plugin(scripted_spawn, virtual_clock):
    spawn = scripted_spawn("Username: ", (5, "Password: "))
    Dialog([[r"Password: $"]]).process(spawn, timeout=10)
    assert virtual_clock.now == 5


def test_a_blocking_dialog_on_an_async_session_is_refused():
    async def main():
        async with AsyncLocalSession("sleep", ["5"], env=ENV) as child:
            with pytest.raises(RuntimeError, match="process_async"):
                Dialog([["never"]]).process(child, timeout=5)
    asyncio.run(main())
