"""The blocking driver: the core's events answered by reading the spawn,
sleeping and calling the actions in the caller's thread."""

from __future__ import annotations

from pexpect import EOF as SpawnEOF
from pexpect import TIMEOUT as SpawnTimeout

from tavrel._engine.events import (Call, Data, DialogResult, Empty, Ended,
                                   Fail, Finish, Pause, Read, Resumed,
                                   TimedOut)
from tavrel._engine.run import Run

__all__ = ["drive"]


def drive(run: Run) -> DialogResult:
    """Run to the end; the result, or the run's exception."""
    try:
        result = _loop(run)
    except BaseException:
        run.close(failing=True)
        raise
    run.close(failing=False)
    return result


def _loop(run: Run) -> DialogResult:
    core, channel, clock, size = run.core, run.channel, run.clock, \
        run.read_size
    read = channel.read
    send = core.send
    monotonic = clock.monotonic
    # Whether reads of text can go to the core as they are (with no
    # transcript to write).
    plain = channel.transcript is None
    text_spawn = plain and channel.is_text
    event = core.start()
    while True:
        kind = type(event)
        if kind is Read:
            try:
                data = read(size, event.timeout)  # type: ignore[union-attr]
            except SpawnTimeout:
                event = send(TimedOut(monotonic()))
                continue
            except SpawnEOF:
                event = send(Ended(monotonic(), channel.flush()))
                continue
            if type(data) is str and data and text_spawn:
                event = send(Data(data, monotonic()))
                continue
            text = channel.accept(data)
            if text is None:
                event = send(Empty(monotonic()))
            else:
                text_spawn = plain and channel.is_text
                event = send(Data(text, monotonic()))
        elif kind is Call:
            event = _call(run, event)  # type: ignore[arg-type]
        elif kind is Pause:
            clock.sleep(event.seconds)  # type: ignore[union-attr]
            event = send(Resumed(monotonic()))
        elif kind is Finish:
            return event.result  # type: ignore[union-attr]
        else:
            assert isinstance(event, Fail)
            raise event.error


def _call(run: Run, call: Call) -> object:
    run.channel.hand_over(call.handover)
    try:
        call.function(*call.args, **call.kwargs)
    except BaseException as exc:
        instead = run.action_failed(call, exc)
        if instead is not None:
            raise instead from exc
        raise
    return run.action_done()
