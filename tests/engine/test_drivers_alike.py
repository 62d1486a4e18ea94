"""The blocking and the asyncio driver run the same random scripts alike:
the same result or exception (type and text), the same output handed back,
the same sends, transcript and time."""

import asyncio
import io
import os

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tavrel.eal.dialog_processor import DialogProcessor, process_async
from tavrel.eal.dialogs import Dialog, Statement
from tavrel.testing import EOF, ScriptedSpawn
from tavrel.utils import SecretText

EXAMPLES = int(os.environ.get("TAVREL_DRIVER_EXAMPLES", "150"))

TEXTS = ["login: ", "Password: ", "ok\n", "more\n", "SW> ", "sec-ret\n",
         "caf\u00e9 ", "\n", "x" * 50]
CONTEXT = {"credentials": {"d": {"username": "admin",
                                 "password": SecretText("sec-ret")}}}


def read_line(spawn):
    # No timeout: pexpect would time it on the real clock.
    spawn.expect("\n", timeout=None)


def fail(spawn):
    raise ValueError("the action failed")


def stop():
    raise StopIteration


ACTIONS = [None, "sendline(admin)", "sendline_cred_pass(d)", read_line, fail,
           stop]


@st.composite
def statements(draw):
    pattern = draw(st.sampled_from(["login: ", "Password: ", r"ok\n",
                                    "SW> $", "more", "never",
                                    [r"ok\n", "SW> "], r"(?m)^x+$"]))
    action = draw(st.sampled_from(ACTIONS))
    return Statement(pattern, action=action,
                     loop_continue=draw(st.booleans()),
                     continue_timer=draw(st.booleans()),
                     trim_buffer=draw(st.booleans()),
                     matched_retries=draw(st.sampled_from([None, 0, 2])))


@st.composite
def scripts(draw):
    pieces = draw(st.lists(st.tuples(st.sampled_from([0, 0, 0.2, 1.5]),
                                     st.sampled_from(TEXTS)), max_size=8))
    if draw(st.booleans()):
        pieces.append((draw(st.sampled_from([0, 0.5])), EOF))
    body = draw(st.lists(statements(), min_size=1, max_size=4))
    special = []
    eof = draw(st.booleans())
    looping = False
    if draw(st.booleans()):
        special.append(Statement("__timeout__",
                                 action=draw(st.sampled_from([None, fail])),
                                 loop_continue=draw(st.booleans()),
                                 continue_timer=False))
        # A timeout statement that goes on ends only with the session (and
        # with a timeout of 0, polls without the clock ever moving).
        looping = special[-1].loop_continue
        eof = eof or looping
    if draw(st.booleans()):
        special.append(Statement("__eof__"))
    return dict(pieces=pieces, eof=eof,
                encoding=draw(st.sampled_from(["utf-8", None])),
                statements=body + special,
                timeout=draw(st.sampled_from([0.3, 1, 3] if looping
                                             else [0, 0.3, 1, 3])),
                transcript=draw(st.booleans()),
                match_max=draw(st.sampled_from([None, None, 20])))


def run(script, how):
    spawn = ScriptedSpawn(*script["pieces"], eof=script["eof"],
                          encoding=script["encoding"])
    transcript = None
    if script["transcript"]:
        transcript = io.BytesIO() if script["encoding"] is None \
            else io.StringIO()
    dialog = Dialog(list(script["statements"]))
    options = dict(timeout=script["timeout"], context=CONTEXT,
                   transcript=transcript, match_max=script["match_max"])
    try:
        if how == "sync":
            result = DialogProcessor(dialog, spawn, **options).process()
        else:
            result = asyncio.run(process_async(dialog, spawn, **options))
        outcome = (result.kind, result.pattern, result.output,
                   result.match and result.match.span(), result.dropped)
    except Exception as exc:
        outcome = (type(exc), str(exc), type(exc.__cause__))
    return (outcome, spawn.buffer, spawn.sent,
            transcript and transcript.getvalue(), spawn.clock.now)


@settings(max_examples=EXAMPLES, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(scripts())
def test_both_drivers_run_a_script_alike(script):
    assert run(script, "sync") == run(script, "async")
