"""A device on a session: the prompt learned, commands run, modes moved
between, configuration pushed, each step a dialog run on the session.

The steps are written once, as generators that yield the dialog runs they
need and get back their results; :class:`Device` runs them with
``Dialog.process`` and :class:`AsyncDevice` with ``process_async``.
"""

from __future__ import annotations

import codecs
import os
import re
import time
from collections.abc import Callable, Generator, Iterable, Mapping
from typing import Any, NamedTuple

import pexpect

from tavrel.core.errors import (CommandTimeoutError, ConfigEOFError,
                                ConfigError, ConfigTimeoutError,
                                DeviceEOFError, DeviceError, DialogEOFError,
                                DialogTimeoutError, ModeError)
from tavrel.devices._escapes import EscapeFilter
from tavrel.devices._lines import strip_crs
from tavrel.devices._platform import NETWORK_CLI, Platform
from tavrel.eal.dialog_processor import process_async
from tavrel.eal.dialogs import Dialog, Statement

__all__ = ["Device", "AsyncDevice", "clean_output"]


class _Run(NamedTuple):
    """One dialog run a step needs: ``send`` (a line, or None) first."""

    dialog: Dialog
    timeout: float
    send: str | None
    command: str
    # The step's own timeout, for errors (``timeout`` is what is left).
    limit: float | None = None
    # Whether output already read and not consumed is dropped first.
    fresh: bool = True
    # Whether the stream keeps the output, cleaned as it comes.
    collect: bool = False


Steps = Generator[_Run, Any, Any]


# -- the session as the layer's dialogs see it ------------------------------


class _Stream:
    """Reads the session as text with terminal control sequences removed;
    sends go to the session as they are."""

    def __init__(self, spawn: Any, strip: bool) -> None:
        self.spawn = spawn
        self.filter = EscapeFilter() if strip else None
        self.timeout = getattr(spawn, "timeout", 30)
        self._decode = None
        if getattr(spawn, "encoding", "utf-8") is None:
            self._decode = codecs.getincrementaldecoder("utf-8")(
                "replace").decode
        decoder = getattr(spawn, "_decoder", None)
        if getattr(decoder, "errors", None) == "strict":
            # Device output is text for people: a byte that decodes to
            # nothing (a Latin-1 file, a character split at a terminal's
            # margin) shows as U+FFFD instead of failing the command and
            # dropping what came with it.
            decoder.errors = "replace"
            if getattr(spawn, "codec_errors", None) == "strict":
                spawn.codec_errors = "replace"
        held = getattr(spawn, "buffer", "")
        if held:
            spawn.buffer = type(held)()
        self.buffer = self._clean(held) if held else ""
        self._lines: _Lines | None = None

    def collect(self, on: bool) -> None:
        """Start (or stop) keeping what is read from now on, carriage
        returns removed, for :meth:`collected`: the cleaning of a long
        output is then done while it arrives, not after."""
        self._lines = _Lines(self.buffer) if on else None

    def collected(self) -> _Lines | None:
        """What was kept since :meth:`collect` (None if nothing was); the
        keeping stops."""
        lines, self._lines = self._lines, None
        return lines

    def _kept(self, text: str) -> str:
        if self._lines is not None:
            self._lines.add(text)
        return text

    @property
    def closed(self) -> bool:
        return bool(getattr(self.spawn, "closed", False))

    def _clean(self, data: Any) -> str:
        text = self._decode(data) if self._decode is not None else data
        return self.filter.feed(text) if self.filter is not None else text

    def _end(self) -> str:
        return self.filter.flush() if self.filter is not None else ""

    def read_nonblocking(self, size: int = 1, timeout: float | None = -1
                         ) -> str:
        if timeout == -1:
            timeout = self.timeout
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            try:
                data = self.spawn.read_nonblocking(size, timeout)
            except pexpect.EOF:
                rest = self._end()
                if rest:
                    return self._kept(rest)
                raise
            text = self._kept(self._clean(data))
            if text or not data:
                return text
            # Only the start of a control sequence came: wait for the rest.
            if deadline is not None:
                timeout = max(0.0, deadline - time.monotonic())

    def send(self, s: Any) -> int:
        return int(self.spawn.send(s))

    def sendline(self, s: Any = "") -> int:
        return int(self.spawn.sendline(s))

    def sendcontrol(self, char: str) -> int:
        return int(self.spawn.sendcontrol(char))


class _AsyncStream(_Stream):
    """A stream over a session with a waiting ``read_async``."""

    async def read_async(self, size: int = 65536,
                         timeout: float | None = None) -> str:
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            try:
                data = await self.spawn.read_async(size, timeout)
            except pexpect.EOF:
                rest = self._end()
                if rest:
                    return self._kept(rest)
                raise
            text = self._kept(self._clean(data))
            if text or not data:
                return text
            if deadline is not None:
                timeout = max(0.0, deadline - time.monotonic())


# -- output -----------------------------------------------------------------

def _overwritten(line: str) -> str:
    # A carriage return inside a line starts it over, as on a terminal: what
    # counts is the last piece written that is not blank (a pager's prompt
    # wiped with blanks leaves nothing behind).
    pieces = [piece for piece in line.split("\r") if piece.strip()]
    return pieces[-1] if pieces else ""


def _with_host(pattern: str, host: str) -> str | None:
    """``pattern`` with its group ``host`` replaced by ``host`` itself (and
    what comes before the group dropped), or None without such a group."""
    start = pattern.find("(?P<host>")
    if start < 0:
        return None
    depth = 0
    index = start
    while index < len(pattern):
        char = pattern[index]
        if char == "\\":
            index += 2
            continue
        if char == "[":
            # A class: its brackets and parentheses do not count.
            index = pattern.index("]", index + 2)
        elif char == "(":
            depth += 1
        elif char == ")":
            depth -= 1
            if depth == 0:
                return "(?P<host>%s)%s" % (re.escape(host),
                                           pattern[index + 1:])
        index += 1
    return None


# A carriage return that does not end a line: one followed by neither a
# line feed nor another carriage return (a run of them before a line feed
# ends the line as one does).
_LONE_CR = re.compile("\r(?![\r\n])")


class _Lines:
    """Output as it arrives with its carriage returns removed, and how long
    it was with them; ``lone``, the offset of the last of them that did not
    end a line, or -1 (past the echo, the output must be cleaned whole)."""

    __slots__ = ("pieces", "read", "lone", "_cr_last")

    def __init__(self, text: str) -> None:
        self.pieces: list[str] = []
        self.read = 0
        self.lone = -1
        self._cr_last = False
        if text:
            self.add(text)

    def add(self, text: str) -> None:
        if not text:
            return
        if self._cr_last and text[0] not in "\r\n":
            self.lone = self.read - 1
        # (A carriage return last in the piece waits for the next one.)
        self._cr_last = text[-1] == "\r"
        stripped, lone = strip_crs(text)
        if lone >= 0:
            self.lone = self.read + lone
        self.read += len(text)
        self.pieces.append(stripped)

    def cleaned(self, text: str, command: str | None, stop: int,
                rest: str) -> str | None:
        """:func:`_cleaned` of ``text[:stop]``, where ``text`` is the output
        of the run these lines were kept over and ``rest`` what it left
        unconsumed; None when they do not stand for exactly that."""
        if self.read != len(text) + len(rest) or (
                stop and text[stop - 1] == "\r"):
            return None
        start = 0 if command is None else _echo_end(text, command, stop)
        if self.lone >= start:
            return None
        stop = _end_of(text, start, stop)
        # Where text[start:stop] begins and ends once its carriage returns
        # are gone: counted on the short ends only.
        begin = start - text.count("\r", 0, start)
        after = (len(text) - stop - text.count("\r", stop)
                 + len(rest) - rest.count("\r"))
        return _joined(self.pieces, begin,
                       sum(len(piece) for piece in self.pieces) - after)


def _joined(pieces: list[str], begin: int, end: int) -> str:
    """``"".join(pieces)[begin:end]``, copying the text once."""
    if begin >= end:
        return ""
    out = []
    at = 0
    for piece in pieces:
        following = at + len(piece)
        if following > begin and at < end:
            out.append(piece if begin <= at and following <= end
                       else piece[max(0, begin - at):end - at])
        at = following
        if at >= end:
            break
    return out[0] if len(out) == 1 else "".join(out)


def clean_output(text: str, command: str | None = None) -> str:
    """``text`` with "\\n" line ends, lines written over (a carriage return
    inside a line) resolved, and the echo of ``command`` (when its first
    lines end with it, wrapped or not) and what came before it removed."""
    return _cleaned(text, command, len(text))


# A line wrapped at the terminal's margin: readline writes one character
# more (the next one, or a blank) past the last column, and a carriage
# return goes back over it.
_MARGIN = re.compile("[^\r\n]\r+(?=[^\r\n])")


def _echo_end(text: str, command: str, stop: int) -> int:
    """Where the output of ``text[:stop]`` begins after the echo of
    ``command``: after the first of its first four lines that ends it (or,
    edited in place, holds it), else 0.  The echo may run over several
    lines (a terminal wraps a long one, at its margin or with line ends),
    and blanks do not count."""
    wanted = "".join(command.split())
    shown = ""
    line = 0
    for _ in range(4):
        end = text.find("\n", line, stop)
        row = text[line:stop if end < 0 else end]
        shown += "".join(row.split())
        if (shown.endswith(wanted) or "\r" in row and wanted in "".join(
                _MARGIN.sub("", row).split()) if wanted
                else not row.split()):
            # (Edited in place, the line may show the command and then part
            # of it again: a line editor redraws after a wrap.)
            return stop if end < 0 else end + 1
        if end < 0:
            break
        line = end + 1
    return 0


def _end_of(text: str, start: int, stop: int) -> int:
    """Where the output in ``text[start:stop]`` ends: before its last line
    end."""
    if stop > start and text[stop - 1] == "\n":
        stop -= 1
        while stop > start and text[stop - 1] == "\r":
            stop -= 1
    return max(start, stop)


def _cleaned(text: str, command: str | None, stop: int) -> str:
    """:func:`clean_output` of ``text[:stop]``."""
    # Whole-text passes only, as few as can be: this runs over outputs of
    # many megabytes, where each pass costs as much as the rest of the
    # layer.  With every carriage return part of a line end, the common
    # case, that is a search, a slice and a single-character replace.
    # The echo goes first, as it was typed: a terminal wraps a long one
    # with carriage returns that write nothing over.
    start = 0 if command is None else _echo_end(text, command, stop)
    if "\r" in text and _LONE_CR.search(text, start, stop) is not None:
        text = text[start:stop].replace("\r\n", "\n")
        while "\r\n" in text:
            text = text.replace("\r\n", "\n")
        text = "\n".join(_overwritten(line) if "\r" in line else line
                         for line in text.split("\n"))
        return text[:-1] if text.endswith("\n") else text
    stop = _end_of(text, start, stop)
    if start == 0 and stop == len(text):
        return text.replace("\r", "")
    return text[start:stop].replace("\r", "")


def _blank(text: str, stop: int) -> bool:
    """Whether ``text[:stop]`` is empty or blank, without copying more
    than its start when it is not."""
    return stop <= 0 or (text[:min(stop, 64)].isspace()
                         and (stop <= 64 or text[:stop].isspace()))


def _parse(output: str, parse: Any) -> Any:
    if parse is None:
        return output
    if callable(parse):
        return parse(output)
    import textfsm  # type: ignore

    if isinstance(parse, textfsm.TextFSM):
        fsm = parse
        fsm.Reset()
    elif hasattr(parse, "read"):
        fsm = textfsm.TextFSM(parse)
    elif isinstance(parse, (str, os.PathLike)):
        with open(parse) as template:
            fsm = textfsm.TextFSM(template)
    else:
        raise TypeError("parse takes a callable, a TextFSM template (a path, "
                        "an open file or a textfsm.TextFSM), or None; not %s"
                        % type(parse).__name__)
    return [dict(zip(fsm.header, row)) for row in fsm.ParseText(output)]


# -- the steps --------------------------------------------------------------


def _credentials_asked(dialog: Dialog) -> list[str]:
    """The names of the credentials ``dialog``'s senders read."""
    names = []
    for statement in dialog.statements:
        sender = getattr(statement.action, "__name__", None)
        if sender in ("sendline_cred_user", "sendline_cred_pass") and \
                isinstance(statement.args, dict):
            names.append(statement.args.get("key"))
    return names


class _DeviceBase:
    def __init__(self, session: Any, platform: Platform = NETWORK_CLI, *,
                 credentials: Mapping[str, Any] | None = None,
                 timeout: float = 30.0) -> None:
        self.session = session
        self.platform = platform
        self.timeout = timeout
        self.context: dict[str, Any] = {"credentials": dict(credentials or {})}
        self.hostname: str | None = None
        self.prompt: str | None = None
        self._mode: str | None = None
        self._modes = {mode.prompt: mode.name for mode in platform.modes}
        # Every step is a dialog: these may be read, extended or replaced.
        self.prompt_dialog = Dialog([Statement(mode.prompt)
                                     for mode in platform.modes])
        self.pager_dialog = Dialog(
            [Statement(platform.pager, "send(%s)" % platform.pager_answer)]
            if platform.pager else [])
        self.open_dialog = Dialog(platform.open_dialog.statements)
        self._stream: _Stream | None = None
        self._known_dialog: Dialog | None = None
        self._known_host: str | None = None
        # Why the device's state is not known (None: it is).
        self._lost: str | None = None
        # Whether a command timed out and its prompt has not come since.
        self._behind = False
        self.wake_after = 2.0
        # How long a prompt other than the known one must hold still.
        self.settle = 0.4
        self._settled: tuple[Any, Dialog] | None = None

    @property
    def mode(self) -> str | None:
        """The mode the device's last prompt showed (None before
        ``open``)."""
        return self._mode

    def __repr__(self) -> str:
        return "<%s %s %s mode=%s>" % (type(self).__name__,
                                       self.platform.name, self.hostname,
                                       self._mode)

    def _stream_of(self) -> _Stream:
        if self._stream is None:
            kind = _AsyncStream if hasattr(self.session, "read_async") \
                else _Stream
            self._stream = kind(self.session, self.platform.strip_escapes)
        return self._stream

    def _settling(self) -> Dialog:
        """``prompt_dialog`` with each prompt held still for ``settle``
        seconds before it counts: once the device's own prompt is known, a
        prompt other than it (a new host name, a new directory) is rarer
        than output that ends in a "#" or "$ " for a moment (a progress
        bar)."""
        statements = tuple(self.prompt_dialog.statements)
        if self._settled is None or self._settled[0] != (statements,
                                                         self.settle):
            steps = max(1, round(self.settle / 0.1))
            self._settled = ((statements, self.settle), Dialog([
                Statement(s.pattern, s.action, s.args, s.loop_continue,
                          s.continue_timer, s.trim_buffer, steps,
                          self.settle / steps, s.di_params,
                          s.debug_statement)
                for s in statements]))
        return self._settled[1]

    def _known(self) -> Dialog:
        """The prompts with the host name learned put in: found at once in
        long output, where the patterns of ``prompt_dialog`` are what
        follows a new name."""
        host = self.hostname
        if host is None:
            return Dialog()
        if self._known_dialog is None or self._known_host != host:
            patterns = []
            for mode in self.platform.modes:
                pattern = _with_host(mode.prompt, host)
                if pattern is not None:
                    self._modes[pattern] = mode.name
                    patterns.append(pattern)
            # One statement whose patterns are tried in the modes' order,
            # as separate statements would be: a run plans one, not three.
            self._known_dialog = Dialog([Statement(patterns)]
                                        if patterns else [])
            self._known_host = host
        return self._known_dialog

    def _learn(self, result: Any) -> bool:
        """Take the mode, prompt and host name from a prompt that ended a
        run; False when the run ended on something else."""
        mode = self._modes.get(result.pattern)
        if mode is None or result.match is None:
            return False
        self._behind = False
        self._mode = mode
        self.prompt = result.match.group(0).strip()
        host = result.match.groupdict().get("host")
        if host:
            self.hostname = host
        return True

    def _open_steps(self, timeout: float | None) -> Steps:
        timeout = self.timeout if timeout is None else timeout
        self._lost = None
        self._behind = False
        dialog = self.open_dialog + self.prompt_dialog
        # The prompt (or a question before it) may come on its own; if
        # nothing does within ``wake_after`` seconds, a line end asks for it.
        quiet = Dialog([Statement("__timeout__")])
        result, _ = yield _Run(dialog + quiet, min(self.wake_after, timeout),
                               None, "", timeout, False)
        if result.kind == "timeout":
            result, _ = yield _Run(dialog, timeout, "", "", timeout, False)
        self._learn(result)
        for command in self.platform.paging_off:
            yield from self._command_steps(command, None, timeout)

    def _catch_up_steps(self, command: str, timeout: float) -> Steps:
        """Before ``command`` is sent after one that timed out: the rest of
        that one's output and its prompt, waited for and dropped.  Nothing
        is typed: the device may be at a question that a line end would
        answer."""
        try:
            result, _ = yield _Run(self._known() + self.prompt_dialog,
                                   timeout, None, command, timeout, False)
        except CommandTimeoutError as exc:
            raise CommandTimeoutError(
                "%r was not sent: the device has not given its prompt back "
                "since a command timed out (waited %gs more); answer or "
                "interrupt what it runs, or open() it again; it printed: %s"
                % (command, timeout, exc.tail), command, timeout,
                exc.tail) from None
        self._learn(result)

    def _command_steps(self, command: str, dialog: Dialog | None,
                       timeout: float | None) -> Steps:
        self._usable()
        timeout = self.timeout if timeout is None else timeout
        if self._behind:
            yield from self._catch_up_steps(command, timeout)
        known = self._known()
        steps = self.pager_dialog + known + (
            self._settling() if known.statements else self.prompt_dialog)
        if dialog is not None:
            steps = dialog + steps
        pager = self.platform.pager
        pieces: list[str] = []
        send: str | None = command
        state: dict[str, Any] = {}
        # The clock restarts with each page not seen before in this output;
        # a pager that only shows the same pages again (one at its end,
        # redrawn on every answer) runs out of time like any device that
        # hangs.
        deadline = time.monotonic() + timeout
        pages: set[int] = set()
        while True:
            left = max(0.0, deadline - time.monotonic())
            try:
                result, state = yield _Run(steps, left, send, command,
                                           timeout, collect=True)
            except CommandTimeoutError:
                # What the device prints from now on, up to its prompt,
                # answers this command, not the next one.
                self._behind = True
                raise
            send = None
            text = result.output
            # Where the output ends: before the prompt (of the device or of
            # the pager).  Not cut off here: at megabytes a copy counts.
            cut = len(text)
            if result.match is not None and (
                    result.pattern == pager
                    or result.pattern in self._modes):
                cut -= len(result.match.group(0))
            if (self.platform.echo and command.strip() and not pieces
                    and result.pattern in self._modes
                    and _blank(text, cut)):
                # A prompt with nothing before it, not even the echo: one
                # that was on its way before the command (after a timeout,
                # or a line end sent by hand), not the command's.
                continue
            # The pager was answered: the rest of the output comes.
            if result.pattern != pager or pager is None:
                break
            text = text[:cut]
            page = hash(text.strip())
            if page not in pages:
                pages.add(page)
                deadline = time.monotonic() + timeout
            pieces.append(text)
        self._learn(result)
        lines = self._stream_of().collected()
        if pieces:
            cut += sum(len(piece) for piece in pieces)
            text = "".join(pieces) + text
        elif lines is not None:
            output = lines.cleaned(text, command, cut,
                                   self._stream_of().buffer)
            if output is not None:
                return output, state
        return _cleaned(text, command, cut), state

    def _enter_steps(self, target: str, timeout: float | None) -> Steps:
        self._usable()
        if self._mode is None:
            raise RuntimeError("open() the device first")
        if self._mode == target:
            return
        path = self.platform.path(self._mode, target)
        given = self.context.get("credentials") or {}
        for move in path:
            for name in _credentials_asked(move.dialog):
                if name not in given:
                    # Nothing is sent: the device would be left waiting at
                    # a password prompt for whatever comes next.
                    raise ModeError(
                        "%r may ask for the credential %r, which the device "
                        "was not given (credentials={%r: {\"password\": "
                        "...}}); the device stays in mode %r"
                        % (move.command, name, name, self._mode),
                        move.command, "", move.target)
        for move in path:
            output, state = yield from self._command_steps(
                move.command, move.dialog, timeout)
            if "refused" in state:
                raise ModeError("%r was refused: the device stays in mode %r"
                                % (move.command, self._mode), move.command,
                                output, move.target)
            if self._mode != move.target:
                raise ModeError("%r left the device in mode %r, not %r"
                                % (move.command, self._mode, move.target),
                                move.command, output, move.target)

    def _error_in(self, output: str) -> bool:
        return any(re.search(pattern, output, re.M)
                   for pattern in self.platform.errors)

    def _config_steps(self, lines: Iterable[str], timeout: float | None
                      ) -> Steps:
        config = self.platform.config_mode
        if config is None:
            raise ValueError("platform %r has no configuration mode"
                             % self.platform.name)
        back = self._mode
        if back == config or back is None:
            back = next((m.source for m in self.platform.moves
                         if m.target == config), self.platform.default_mode)
        yield from self._enter_steps(config, timeout)
        outputs: list[str] = []
        applied: list[str] = []
        rejected = None
        line = None
        try:
            for line in lines:
                output, _ = yield from self._command_steps(line, None,
                                                           timeout)
                if output:
                    outputs.append(output)
                if self._error_in(output):
                    rejected = (line, output)
                    break
                applied.append(line)
        except (CommandTimeoutError, DeviceEOFError) as exc:
            raise (yield from self._interrupted(exc, line, tuple(applied),
                                                back, timeout)) from exc
        except BaseException:
            # Leave the mode all the same; what went wrong first is what
            # is raised.
            try:
                yield from self._enter_steps(back, timeout)
            except Exception:
                pass
            raise
        try:
            yield from self._enter_steps(back, timeout)
        except (CommandTimeoutError, DeviceEOFError) as exc:
            # Every line was taken, but the way out was not.
            raise (yield from self._interrupted(
                exc, exc.command, tuple(applied), back, timeout)) from exc
        if rejected is not None:
            raise ConfigError("the device rejected %r: %s"
                              % (rejected[0], rejected[1].strip()[-200:]),
                              rejected[0], rejected[1], tuple(applied))
        return "\n".join(outputs)

    def _interrupted(self, exc: DeviceError, line: str | None,
                     applied: tuple[str, ...], back: str,
                     timeout: float | None) -> Steps:
        """The error for a configuration cut short at ``line``.  After a
        timeout the device gets as long again to show its prompt on its
        own (nothing is typed into what may be a question); if it does,
        the way back to mode ``back`` is taken.  Otherwise, or when the
        session ended, the device's state is unknown, and the device is
        marked so until it is opened again."""
        mode = None
        if isinstance(exc, CommandTimeoutError):
            wait = self.timeout if timeout is None else timeout
            try:
                result, _ = yield _Run(self._known() + self.prompt_dialog,
                                       wait, None, line or "", wait, False)
                if self._learn(result):
                    yield from self._enter_steps(back, timeout)
                    mode = self._mode
            except Exception:
                mode = None
        where = ("its mode is not known: open() it again" if mode is None
                 else "it is back in mode %r" % mode)
        if mode is None:
            self._lost = "a configuration was cut short at %r" % line
            self._mode = None
        if isinstance(exc, CommandTimeoutError):
            return ConfigTimeoutError(
                "the device stopped answering at %r, after %d line(s) "
                "applied; %s; it printed: %s"
                % (line, len(applied), where, exc.tail),
                line, exc.timeout, exc.tail, applied, mode)
        return ConfigEOFError(
            "the session ended at %r, after %d line(s) applied; it "
            "printed: %s" % (line, len(applied), exc.output),
            line, exc.output, applied)

    def _usable(self) -> None:
        if self._lost is not None:
            raise DeviceError("the device's state is not known since %s: "
                              "open() it again" % self._lost)

    def _failed(self, step: _Run, exc: BaseException) -> BaseException:
        if isinstance(exc, DialogTimeoutError):
            return CommandTimeoutError(
                "no prompt within %gs after %r; the device printed: %s"
                % (step.limit or step.timeout, step.command, exc.tail),
                step.command, step.limit or step.timeout, exc.tail)
        if isinstance(exc, DialogEOFError):
            return DeviceEOFError(
                "the session ended during %r; the device printed: %s"
                % (step.command, exc.tail), step.command, exc.tail)
        return exc

    @staticmethod
    def _resume(steps: Steps, reply: Any, failure: BaseException | None
                ) -> tuple[_Run | None, Any]:
        """The next step of ``steps`` given the last one's reply or
        failure: ``(step, None)``, or ``(None, value)`` once done."""
        try:
            return (steps.throw(failure) if failure is not None
                    else steps.send(reply)), None
        except StopIteration as done:
            return None, done.value

    @staticmethod
    def _send(stream: _Stream, step: _Run) -> None:
        """Send the step's line, if it has one."""
        if step.send is not None:
            if step.fresh:
                # What came after the last prompt answers nothing sent
                # since (output left by a timeout).
                stream.buffer = ""
            stream.sendline(step.send)


# -- the sync face ----------------------------------------------------------


class Device(_DeviceBase):
    """A device on ``session`` (a tavrel session or any spawn), as
    ``platform`` describes it.  ``credentials`` are handed to the dialogs
    (``{"enable": {"password": ...}}`` for the network CLI's privileged
    mode, ``{"root": {...}}`` for the shell's ``su``); ``timeout`` bounds
    each step that waits for the device."""

    def _drive(self, steps: Steps) -> Any:
        reply: Any = None
        failure: BaseException | None = None
        stream = self._stream_of()
        while True:
            step, value = self._resume(steps, reply, failure)
            if step is None:
                return value
            failure = None
            state: dict[str, Any] = {}
            try:
                self._send(stream, step)
                stream.collect(step.collect)
                result = step.dialog.process(stream, timeout=step.timeout,
                                             context=self.context,
                                             session=state)
                reply = (result, state)
            except BaseException as exc:
                # Cancelled or failed: nothing more is kept for the output.
                stream.collect(False)
                if not isinstance(exc, Exception):
                    raise
                failure = self._failed(step, exc)

    def open(self, timeout: float | None = None) -> Device:
        """Send a line end and learn the prompt (answering what
        ``open_dialog`` knows on the way), then turn paging off."""
        self._drive(self._open_steps(timeout))
        return self

    def send_command(self, command: str, dialog: Dialog | None = None,
                     parse: Any = None, timeout: float | None = None) -> Any:
        """Run ``command`` and return its output (or what ``parse`` makes of
        it); ``dialog`` answers the questions the command asks."""
        output, _ = self._drive(self._command_steps(command, dialog, timeout))
        return _parse(output, parse)

    def send_commands(self, commands: Iterable[str], parse: Any = None,
                      timeout: float | None = None) -> list[Any]:
        return [self.send_command(command, parse=parse, timeout=timeout)
                for command in commands]

    def send_config(self, lines: Iterable[str],
                    timeout: float | None = None) -> str:
        """Enter the configuration mode, send ``lines``, leave the mode
        (in every case); raise :class:`~tavrel.core.errors.ConfigError` for
        the first line the device rejected."""
        return str(self._drive(self._config_steps(lines, timeout)))

    def enter(self, mode: str, timeout: float | None = None) -> None:
        self._drive(self._enter_steps(mode, timeout))


# -- the async face ---------------------------------------------------------


class AsyncDevice(_DeviceBase):
    """:class:`Device` on the caller's event loop: the same methods, as
    coroutines."""

    async def _drive(self, steps: Steps) -> Any:
        reply: Any = None
        failure: BaseException | None = None
        stream = self._stream_of()
        while True:
            step, value = self._resume(steps, reply, failure)
            if step is None:
                return value
            failure = None
            state: dict[str, Any] = {}
            try:
                self._send(stream, step)
                stream.collect(step.collect)
                result = await process_async(step.dialog, stream,
                                             timeout=step.timeout,
                                             context=self.context,
                                             session=state)
                reply = (result, state)
            except BaseException as exc:
                # Cancelled or failed: nothing more is kept for the output.
                stream.collect(False)
                if not isinstance(exc, Exception):
                    raise
                failure = self._failed(step, exc)

    async def open(self, timeout: float | None = None) -> AsyncDevice:
        await self._drive(self._open_steps(timeout))
        return self

    async def send_command(self, command: str, dialog: Dialog | None = None,
                           parse: Any = None,
                           timeout: float | None = None) -> Any:
        output, _ = await self._drive(
            self._command_steps(command, dialog, timeout))
        return _parse(output, parse)

    async def send_commands(self, commands: Iterable[str], parse: Any = None,
                            timeout: float | None = None) -> list[Any]:
        return [await self.send_command(command, parse=parse,
                                        timeout=timeout)
                for command in commands]

    async def send_config(self, lines: Iterable[str],
                          timeout: float | None = None) -> str:
        return str(await self._drive(self._config_steps(lines, timeout)))

    async def enter(self, mode: str, timeout: float | None = None) -> None:
        await self._drive(self._enter_steps(mode, timeout))


_Callable = Callable[..., Any]
