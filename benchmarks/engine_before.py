# The dialog engine as it was before its core was split out and its search made
# incremental, kept as the baseline of benchmarks/processor.py.
"""Runs a dialog against a live terminal session.

A :class:`DialogProcessor` reads the output of a spawn (a pexpect spawn or any
object with the same ``read_nonblocking``, ``send``, ``sendline`` and
``buffer``), matches it against the statements of a dialog and calls their
actions, until a statement ends the dialog, the timeout runs out or the
session ends.
"""

import codecs
import inspect
import logging
import math
import numbers
import re
import time
import weakref
from collections.abc import Mapping, MutableMapping
from functools import lru_cache

from pexpect import EOF as SpawnEOF
from pexpect import TIMEOUT as SpawnTimeout

from tavrel.core.errors import DialogEOFError, DialogTimeoutError
from tavrel.utils import to_plaintext

__all__ = ["DialogProcessor", "DialogResult", "DEFAULT_TIMEOUT"]

log = logging.getLogger(__name__)

DEFAULT_TIMEOUT = 30
TIMEOUT_PATTERN = "__timeout__"
EOF_PATTERN = "__eof__"

# How much unmatched output an error message shows.
TAIL_LENGTH = 200
MASK = "********"
DEFAULT_MAXREAD = 2000

# Names whose values the processor can inject into an action.  "runtime" is
# the session mapping under the name the *_session senders give it; those
# senders declare it although the default injected names do not list it.
INJECTABLE = ("spawn", "context", "session", "runtime")
ALWAYS_INJECTED = frozenset({"runtime"})

MATCH = "match"
TIMEOUT = "timeout"
EOF = "eof"


class DialogResult:
    """How a dialog ended.

    ``kind`` is ``"match"``, ``"timeout"`` or ``"eof"``; ``statement`` the
    statement that ended the dialog (the matched one, or the dialog's timeout
    or end-of-file statement); ``pattern`` the pattern text that matched and
    ``match`` the ``re.Match`` (both None for a timeout or end of file);
    ``output`` the output the dialog read, up to the end of the match (for a
    timeout or end of file, everything it read).
    """

    __slots__ = ("kind", "statement", "pattern", "match", "output")

    def __init__(self, kind, statement, pattern=None, match=None, output=""):
        self.kind = kind
        self.statement = statement
        self.pattern = pattern
        self.match = match
        self.output = output

    def __repr__(self):
        # The output may be long and is the device's text: show its size only.
        return "<DialogResult %s pattern=%r output=%d chars>" % (
            self.kind, self.pattern, len(self.output))


@lru_cache(maxsize=512)
def _compile(text):
    return re.compile(text)


# Parameter lists of actions, kept while the action lives.  Callables that
# take no weak reference or no hash are introspected on every run instead.
_PARAMS = weakref.WeakKeyDictionary()


def _read_params(action):
    """Return the action's named parameters as (name, positional_only,
    has_default) triples; ``*args`` and ``**kwargs`` are left out."""
    try:
        return _PARAMS[action]
    except (KeyError, TypeError):
        pass
    try:
        signature = inspect.signature(action)
    except (TypeError, ValueError) as exc:
        raise TypeError(
            "cannot read the parameters of action %r: %s" % (action, exc)
        ) from None
    params = tuple(
        (p.name, p.kind is p.POSITIONAL_ONLY, p.default is not p.empty)
        for p in signature.parameters.values()
        if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)
    )
    try:
        _PARAMS[action] = params
    except TypeError:
        pass
    return params


def _check_seconds(value, what):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError("%s must be a number of seconds, not %s"
                        % (what, type(value).__name__))
    seconds = float(value)
    if math.isnan(seconds) or math.isinf(seconds):
        raise ValueError("%s must be a finite number of seconds, not %r"
                         % (what, value))
    if seconds < 0:
        raise ValueError("%s must not be negative, got %r" % (what, value))
    return seconds


def _collect_secrets(context):
    """Texts that must never show in logs or exception texts: every
    password of the credentials, and every value of the context or of its
    credentials that is wrapped as a secret."""
    found = [value for value in context.values()
             if hasattr(value, "plaintext")]
    credentials = context.get("credentials")
    if isinstance(credentials, Mapping):
        for entry in credentials.values():
            if not isinstance(entry, Mapping):
                continue
            found += [value for name, value in entry.items()
                      if value is not None
                      and (name == "password" or hasattr(value, "plaintext"))]
    secrets = set()
    for value in found:
        try:
            text = to_plaintext(value)
        except Exception:  # a broken value must not stop the dialog
            continue
        if isinstance(text, str) and text:
            secrets.add(text)
    # Longest first, so that a secret containing another is masked whole.
    return tuple(sorted(secrets, key=len, reverse=True))


def _describe(statement):
    return repr(statement.pattern)


class _Plan:
    """What the processor needs of one statement, checked before the run."""

    __slots__ = ("index", "statement", "regexes", "params", "di_params")

    def __init__(self, index, statement, regexes, params, di_params):
        self.index = index
        self.statement = statement
        self.regexes = regexes      # [(text, compiled)], None: never matched
        self.params = params
        self.di_params = di_params


class _Found:
    __slots__ = ("plan", "text", "match")

    def __init__(self, plan, text, match):
        self.plan = plan
        self.text = text
        self.match = match


class DialogProcessor:
    """Run ``dialog`` against ``spawn``.

    ``timeout`` (seconds) bounds the wait: the clock starts with the run and
    restarts after a match of a statement whose ``continue_timer`` is True
    and after a timeout statement that goes on.  None takes the spawn's own
    ``timeout`` attribute, or 30 s when that is missing or None.
    ``context`` is a mapping handed to actions (credentials for the
    ``sendline_cred_*`` senders live in ``context["credentials"]``);
    ``session`` a mutable mapping the caller keeps across dialogs.
    """

    def __init__(self, dialog, spawn, timeout=None, context=None,
                 session=None):
        for name in ("send", "sendline", "read_nonblocking"):
            if not callable(getattr(spawn, name, None)):
                raise TypeError(
                    "spawn must have a callable %s(); %s has none"
                    % (name, type(spawn).__name__))
        if not hasattr(dialog, "statements"):
            raise TypeError("dialog must have statements; %s has none"
                            % type(dialog).__name__)
        if timeout is None:
            own = getattr(spawn, "timeout", None)
            if own is None:
                timeout = DEFAULT_TIMEOUT
            else:
                timeout = _check_seconds(own, "spawn.timeout")
        self.timeout = _check_seconds(timeout, "timeout")
        if context is None:
            context = {}
        elif not isinstance(context, Mapping):
            raise TypeError("context must be a mapping, not %s"
                            % type(context).__name__)
        if session is None:
            session = {}
        elif not isinstance(session, MutableMapping):
            raise TypeError("session must be a mutable mapping, not %s"
                            % type(session).__name__)
        self.dialog = dialog
        self.spawn = spawn
        self.context = context
        self.session = session

    # -- the run ----------------------------------------------------------

    def process(self):
        """Run the dialog; return a :class:`DialogResult`.

        Raises :class:`~tavrel.core.errors.DialogTimeoutError` or
        :class:`~tavrel.core.errors.DialogEOFError` when the dialog has no
        statement for that event; exceptions from actions propagate as they
        are.  Output the dialog did not consume is left in ``spawn.buffer``.
        """
        plans = self._plan_statements()
        timeout_plan = self._plan_special(
            getattr(self.dialog, "timeout_statement", None))
        eof_plan = self._plan_special(getattr(self.dialog, "eof_statement",
                                              None))
        self._secrets = _collect_secrets(self.context)
        self._maxread = getattr(self.spawn, "maxread", DEFAULT_MAXREAD)
        if (isinstance(self._maxread, bool)
                or not isinstance(self._maxread, int) or self._maxread < 1):
            self._maxread = DEFAULT_MAXREAD
        self._injected = {"spawn": self.spawn, "context": self.context,
                          "session": self.session, "runtime": self.session}
        self._decoder = None
        self._eof = False
        self._absorbed = False
        self._consumed = []
        self._consumed_len = 0
        # End offsets (counted from the start of the run) of matches made by
        # statements that keep the buffer: such a statement fires again only
        # on output after its last match, not on the same text.
        self._kept_ends = {}
        self._buffer = self._take_spawn_buffer()
        try:
            return self._run(plans, timeout_plan, eof_plan)
        finally:
            self._put_back()

    def _run(self, plans, timeout_plan, eof_plan):
        deadline = time.monotonic() + self.timeout
        fresh = bool(self._buffer)
        # Output that is already waiting when the clock runs out still gets
        # matched once (so a timeout of 0 polls), but no more than once per
        # deadline, or a chatty program would never time out.
        last_look = False
        while True:
            if fresh:
                fresh = False
                found = self._search(plans)
                if found is not None:
                    found = self._settle(plans, found)
                if found is not None:
                    result = self._on_match(found)
                    if result is not None:
                        return result
                    statement = found.plan.statement
                    if statement.continue_timer:
                        deadline = time.monotonic() + self.timeout
                        last_look = False
                    # What is left may hold the next prompt already.  A
                    # statement does not fire twice on the same text, so
                    # searching again at once cannot loop, except on an
                    # empty match that consumed nothing: that one waits for
                    # new output.
                    fresh = (bool(self._buffer) and (
                        found.match.end() > 0 or not statement.trim_buffer)
                    ) or self._absorbed
                    continue
            if self._eof:
                return self._on_eof(eof_plan)
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                if not last_look:
                    last_look = True
                    if self._drain():
                        fresh = True
                        continue
                    if self._eof:
                        continue
                result = self._on_timeout(timeout_plan)
                if result is not None:
                    return result
                deadline = time.monotonic() + self.timeout
                last_look = False
                fresh = self._absorbed
                continue
            chunk = self._read(remaining)
            if chunk:
                self._buffer += chunk
                fresh = True

    # -- matching ---------------------------------------------------------

    def _search(self, plans):
        buffer = self._buffer
        for plan in plans:
            if plan.regexes is None:
                continue
            kept = self._kept_ends.get(plan.index)
            start = 0 if kept is None else max(0, kept - self._consumed_len)
            for text, regex in plan.regexes:
                match = regex.search(buffer, start)
                if (match is not None and kept is not None
                        and match.end() <= start):
                    # An empty match right where this statement last
                    # matched is the same text again.
                    match = (regex.search(buffer, start + 1)
                             if start < len(buffer) else None)
                if match is not None:
                    return _Found(plan, text, match)
        return None

    def _settle(self, plans, found):
        """Give a prompt that matched inside still-arriving output the
        chance to complete, and decide again on the fuller text."""
        statement = found.plan.statement
        retries = statement.matched_retries
        pause = statement.matched_retry_sleep
        for _ in range(retries):
            if self._eof:
                break
            time.sleep(pause)
            if not self._drain():
                continue
            found = self._search(plans)
            if found is None:
                return None
        return found

    def _on_match(self, found):
        plan = found.plan
        statement = plan.statement
        match = found.match
        if log.isEnabledFor(logging.DEBUG):
            log.debug("statement %d %s matched %r", plan.index,
                      self._mask(repr(found.text)),
                      self._mask(match.group(0)))
            if statement.debug_statement:
                self._log_statement(plan, "matched")
        self._call(plan)
        end = match.end()
        if not statement.loop_continue:
            output = "".join(self._consumed) + self._buffer[:end]
            if statement.trim_buffer:
                self._trim(end)
            return DialogResult(MATCH, statement, found.text, match, output)
        if statement.trim_buffer:
            self._trim(end)
        else:
            self._kept_ends[plan.index] = self._consumed_len + end
        return None

    def _on_timeout(self, plan):
        if plan is None:
            tail = self._tail()
            raise DialogTimeoutError(
                "no statement ended the dialog within %g s; the unmatched "
                "output ends with %r" % (self.timeout, tail),
                timeout=self.timeout, tail=tail)
        log.debug("timeout after %g s", self.timeout)
        if plan.statement.debug_statement:
            self._log_statement(plan, "timeout")
        self._call(plan)
        if plan.statement.loop_continue:
            return None
        output = "".join(self._consumed) + self._buffer
        return DialogResult(TIMEOUT, plan.statement, output=output)

    def _on_eof(self, plan):
        if plan is None:
            tail = self._tail()
            raise DialogEOFError(
                "the session ended before a statement ended the dialog; the "
                "unmatched output ends with %r" % (tail,), tail=tail)
        log.debug("end of file")
        if plan.statement.debug_statement:
            self._log_statement(plan, "end of file")
        self._call(plan)
        output = "".join(self._consumed) + self._buffer
        self._trim(len(self._buffer))
        return DialogResult(EOF, plan.statement, output=output)

    def _trim(self, end):
        if end:
            self._consumed.append(self._buffer[:end])
            self._consumed_len += end
            self._buffer = self._buffer[end:]

    # -- actions ----------------------------------------------------------

    def _call(self, plan):
        self._absorbed = False
        action = plan.statement.action
        if action is None:
            return
        args = plan.statement.args or {}
        positional = []
        keywords = {}
        filled = set()
        gap = False
        for name, positional_only, _ in plan.params:
            if name in args:
                value = args[name]
            elif name in self._injected and (name in plan.di_params
                                             or name in ALWAYS_INJECTED):
                value = self._injected[name]
            else:
                # Left to its default; no later positional-only parameter
                # can be given after it.
                gap = gap or positional_only
                continue
            filled.add(name)
            if not positional_only:
                keywords[name] = value
            elif not gap:
                positional.append(value)
        for name, value in args.items():
            if name not in filled:
                keywords[name] = value
        action(*positional, **keywords)
        # An action that read the spawn itself (say with spawn.expect) leaves
        # what it did not consume in spawn.buffer: it belongs to the dialog.
        extra = self._take_spawn_buffer()
        if extra:
            self._buffer += extra
            self._absorbed = True

    # -- reading the spawn ------------------------------------------------

    def _read(self, timeout):
        try:
            data = self.spawn.read_nonblocking(self._maxread, timeout)
        except SpawnTimeout:
            return ""
        except SpawnEOF:
            self._eof = True
            return ""
        # An empty read is no end of file: a text spawn returns "" when it
        # got only part of a multi-byte character.
        return self._decode(data) if data else ""

    def _drain(self):
        """Read what has arrived without waiting; True when anything did."""
        got = False
        while not self._eof:
            chunk = self._read(0)
            if not chunk:
                break
            self._buffer += chunk
            got = True
        return got

    def _decode(self, data):
        if isinstance(data, str):
            return data
        # Bytes spawns are read as UTF-8; undecodable bytes become surrogate
        # escapes so that what is put back is byte for byte what was read.
        if self._decoder is None:
            self._decoder = codecs.getincrementaldecoder("utf-8")(
                "surrogateescape")
        return self._decoder.decode(bytes(data))

    def _take_spawn_buffer(self):
        data = getattr(self.spawn, "buffer", None)
        if not data:
            return ""
        text = self._decode(data)
        self._set_spawn_buffer(data[:0])
        return text

    def _put_back(self):
        # What an action left in spawn.buffer came after our own buffer.
        text = self._buffer + self._take_spawn_buffer()
        self._buffer = ""
        if self._decoder is not None:
            pending = self._decoder.getstate()[0]
            self._decoder.reset()
            value = text.encode("utf-8", "surrogateescape") + pending
        else:
            value = text
        if value or hasattr(self.spawn, "buffer"):
            self._set_spawn_buffer(value)

    def _set_spawn_buffer(self, value):
        spawn = self.spawn
        spawn.buffer = value
        # pexpect's expect() starts from its private "_before" copy when that
        # is longer than the buffer; keep it equal to what we hand back, as
        # pexpect itself does after a match, so no stale text is searched.
        buffer_type = getattr(spawn, "buffer_type", None)
        if buffer_type is not None and hasattr(spawn, "_before"):
            before = buffer_type()
            before.write(value)
            spawn._before = before

    # -- checks before the run --------------------------------------------

    def _plan_statements(self):
        try:
            statements = list(self.dialog.statements)
        except TypeError:
            raise TypeError("dialog.statements must be a list of statements"
                            ) from None
        plans = []
        for index, statement in enumerate(statements):
            pattern = statement.pattern
            if isinstance(pattern, str) and pattern in (TIMEOUT_PATTERN,
                                                        EOF_PATTERN):
                regexes = None
            elif isinstance(pattern, str):
                regexes = [(pattern, _compile(pattern))]
            elif isinstance(pattern, (list, tuple)):
                regexes = []
                for text in pattern:
                    if not isinstance(text, str):
                        raise TypeError(
                            "statement %d: pattern texts must be str, not %s"
                            % (index, type(text).__name__))
                    regexes.append((text, _compile(text)))
            else:
                raise TypeError(
                    "statement %d: pattern must be str, list or tuple, not %s"
                    % (index, type(pattern).__name__))
            plans.append(self._plan(index, statement, regexes))
        return plans

    def _plan_special(self, statement):
        if statement is None:
            return None
        return self._plan(None, statement, None)

    def _plan(self, index, statement, regexes):
        where = ("statement %d" % index if index is not None
                 else "statement %s" % _describe(statement))
        retries = statement.matched_retries
        if isinstance(retries, bool) or not isinstance(retries, int):
            raise TypeError("%s: matched_retries must be an int, not %s"
                            % (where, type(retries).__name__))
        if retries < 0:
            raise ValueError("%s: matched_retries must not be negative"
                             % where)
        if retries:
            _check_seconds(statement.matched_retry_sleep,
                           where + ": matched_retry_sleep")
        args = statement.args
        if args is not None and not isinstance(args, Mapping):
            raise TypeError("%s: args must be a dict or None" % where)
        try:
            di_params = frozenset(statement.di_params or ())
        except TypeError:
            raise TypeError("%s: di_params must be a list of names" % where
                            ) from None
        action = statement.action
        params = ()
        if action is not None:
            if not callable(action):
                raise TypeError("%s: action must be callable or None, not %s"
                                % (where, type(action).__name__))
            params = _read_params(action)
            for name, _, has_default in params:
                if args is not None and name in args:
                    continue
                if ((name in di_params or name in ALWAYS_INJECTED)
                        and name not in INJECTABLE and not has_default):
                    raise TypeError(
                        "%s: cannot inject %r into %s; the injected names are "
                        "%s" % (where, name, getattr(action, "__name__",
                                                     action),
                                ", ".join(INJECTABLE)))
        return _Plan(index, statement, regexes, params, di_params)

    # -- logging ----------------------------------------------------------

    def _mask(self, text):
        for secret in self._secrets:
            text = text.replace(secret, MASK)
        return text

    def _tail(self):
        return self._mask(self._buffer)[-TAIL_LENGTH:]

    def _log_statement(self, plan, event):
        statement = plan.statement
        action = statement.action
        log.debug(
            "%s: %s, action %s, args %s, loop_continue %s, continue_timer %s,"
            " trim_buffer %s, unmatched output ends with %r",
            "statement %s" % (plan.index if plan.index is not None
                              else _describe(statement)),
            event,
            getattr(action, "__qualname__", None) or repr(action),
            self._mask(repr(statement.args)),
            statement.loop_continue, statement.continue_timer,
            statement.trim_buffer, self._tail())
