"""The engine's core on its own: events in, events out, on plain floats."""

import dataclasses

import pytest

from tavrel._engine.core import DialogCore, State
from tavrel._engine.events import (ActionDone, ActionFailed, Call, Data,
                                   Empty, Ended, Fail, Finish, Pause,
                                   ProtocolError, Read, Resumed, TimedOut)
from tavrel._engine.plan import plan_dialog
from tavrel.core.errors import DialogEOFError, DialogTimeoutError
from tavrel.eal.dialogs import Dialog, Statement


def core_of(statements, timeout=5.0, output=""):
    return DialogCore(plan_dialog(Dialog(statements)), timeout=timeout,
                      now=0.0, output=output, injected={"spawn": None})


def act(spawn):
    pass


def test_a_login_exchange():
    core = core_of([Statement("login: ", act, loop_continue=True),
                    Statement("> $")])
    assert core.start() == Read(5.0)
    call = core.send(Data("login: rest", 1.0))
    assert isinstance(call, Call) and call.handover == "rest"
    assert core.state is State.CALLING and core.unconsumed() == "login: "
    assert core.send(ActionDone("", 2.0)) == Read(3.0)
    assert core.send(Empty(2.5)) == Pause(0.01)
    assert core.send(Resumed(2.51)) == Read(pytest.approx(2.49))
    finish = core.send(Data("host> ", 3.0))
    assert isinstance(finish, Finish) and finish.result.output == \
        "login: host> "
    assert core.finished and core.unconsumed() == ""


def test_the_deadline_takes_a_last_look_then_fails():
    core = core_of([["never"]], timeout=1.0)
    core.start()
    # The last look drains what has arrived, until the grace runs out.
    assert core.send(TimedOut(1.0)) == Read(0.0)
    assert core.send(Data("late", 1.01)) == Read(0.0)
    fail = core.send(TimedOut(1.02))
    assert isinstance(fail, Fail) and isinstance(fail.error,
                                                 DialogTimeoutError)
    assert fail.error.tail == "late"


@pytest.mark.parametrize("statements, kind", [
    ([["never"]], DialogEOFError),
    ([["never"], ["__eof__"]], "eof"),
])
def test_the_end_of_the_session(statements, kind):
    core = core_of(statements)
    core.start()
    event = core.send(Ended(0.5, "bye"))
    if kind == "eof":
        assert event.result.kind == "eof" and event.result.output == "bye"
    else:
        assert isinstance(event.error, kind)


def test_a_failed_action_ends_the_run_with_what_it_left():
    core = core_of([Statement("a", act)])
    core.start()
    assert isinstance(core.send(Data("abc", 0.1)), Call)
    assert core.send(ActionFailed("xyz")) is None
    assert core.finished and core.unconsumed() == "axyz"


def test_matched_retries_drain_before_deciding():
    core = core_of([Statement("a+", matched_retries=1,
                              matched_retry_sleep=0.5)])
    core.start()
    assert core.send(Data("a", 0.0)) == Read(0.5)
    assert core.state is State.DRAINING
    finish = core.send(Data("aa", 0.2))
    assert finish == Read(pytest.approx(0.3))
    finish = core.send(TimedOut(0.5))
    assert finish.result.match.group(0) == "aaa"


@pytest.mark.parametrize("answer", [Resumed(0.0), ActionDone("", 0.0),
                                    ActionFailed("")])
def test_answers_out_of_order_are_protocol_errors(answer):
    core = core_of([["x"]])
    with pytest.raises(ProtocolError, match="idle"):
        core.send(Data("x", 0.0))
    core.start()
    with pytest.raises(ProtocolError, match="reading.*" +
                       type(answer).__name__):
        core.send(answer)
    core.send(Data("x", 0.0))
    for late in (answer, Data("x", 1.0)):
        with pytest.raises(ProtocolError, match="the run is over"):
            core.send(late)
    with pytest.raises(ProtocolError):
        core.start()


def test_events_are_immutable():
    with pytest.raises(dataclasses.FrozenInstanceError):
        Read(1.0).timeout = 2.0  # type: ignore[misc]
