"""What the engine makes of a dialog before it reads anything.

A run starts by planning its dialog: every statement's pattern is compiled,
its action's parameter list read and its fields checked, so that a statement
the engine cannot run fails before anything is read from or sent to the
spawn.  A plan is made afresh for every run (statements are plain objects
that callers may change between runs); what is costly to work out (compiled
patterns, parameter lists) is cached by what it depends on.
"""

from __future__ import annotations

import functools
import inspect
import math
import numbers
import re
import types
import weakref
from collections.abc import Callable, Mapping
from functools import lru_cache
from typing import Any, NamedTuple

from tavrel._engine.secrets import Masker, collect_secrets
from tavrel._engine.senders import is_sender

__all__ = ["TIMEOUT_PATTERN", "EOF_PATTERN", "INJECTABLE", "StatementPlan",
           "DialogPlan", "plan_dialog", "check_seconds", "describe_action"]

TIMEOUT_PATTERN = "__timeout__"
EOF_PATTERN = "__eof__"

# Names whose values the engine can inject into an action.  "runtime" is the
# session mapping under the name the *_session senders give it; those senders
# declare it although the default injected names do not list it.
INJECTABLE = ("spawn", "context", "session", "runtime")
ALWAYS_INJECTED = frozenset({"runtime"})
_INJECTABLE = frozenset(INJECTABLE)


def check_seconds(value: object, what: str) -> float:
    """``value`` as a finite, non-negative number of seconds."""
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


@lru_cache(maxsize=1024)
def _compile(text: str) -> re.Pattern[str]:
    return re.compile(text)


def _compile_for(where: object, text: str,
                 masker: Masker) -> re.Pattern[str]:
    try:
        return _compile(text)
    except re.error as exc:
        # Keep the type callers catch, and say which statement it was.
        raise re.error(masker.mask("%s: pattern %r does not compile: %s"
                                   % (where, text, exc.msg))) from exc


class Params(NamedTuple):
    """An action's parameter list as the engine calls it."""

    # (name, positional_only, has_default) of each named parameter, in
    # order; *args and **kwargs are left out.
    named: tuple[tuple[str, bool, bool], ...]
    # Parameters the callable binds itself (the "self" of a bound method or
    # of a callable object's __call__): the statement's checks see them, so
    # callers put them in args or di_params, but they must not be passed.
    bound: frozenset[str]
    # An async def: a coroutine the blocking driver cannot await.
    is_coroutine: bool
    # The names of parameters without a default, and whether any parameter
    # is positional-only (binding then takes the general road).
    required: frozenset[str]
    positional_only: bool
    # The injected parameters, by the injected names a statement allows.
    injected_by: dict[frozenset[str], tuple[str, ...]]

    def injects(self, di_params: frozenset[str]) -> tuple[str, ...]:
        names = self.injected_by.get(di_params)
        if names is None:
            names = self.injected_by[di_params] = tuple(
                name for name, _, _ in self.named
                if name in INJECTABLE and (name in di_params
                                           or name in ALWAYS_INJECTED))
        return names


# Parameter lists of actions, by a weak reference to the action: kept while
# the action lives and while what they were read from is unchanged (see
# _params_key).  Callables that take no weak reference or no hash are read
# on every run instead.
_PARAMS: dict[weakref.ref[Any], tuple[tuple[object, ...], Params]] = {}


def _forget(ref: weakref.ref[Any]) -> None:
    _PARAMS.pop(ref, None)


def _params_key(action: object) -> tuple[object, ...]:
    # What a parameter list is read from.  Replacing a function's __code__ or
    # defaults (or, for a callable object, its class's __call__) changes the
    # key, so the list is read afresh.  Bound methods forward these reads to
    # their function.
    code = getattr(action, "__code__", None)
    if code is not None:
        return (code, getattr(action, "__defaults__", None),
                getattr(action, "__kwdefaults__", None))
    return (getattr(type(action), "__call__", None),
            getattr(action, "__signature__", None))


def describe_action(action: object) -> str:
    """An action as messages name it: its qualified name, never its repr
    (a partial's repr shows the values bound into it)."""
    if isinstance(action, functools.partial):
        return "functools.partial(%s, ...)" % describe_action(action.func)
    name = getattr(action, "__qualname__", None)
    if not isinstance(name, str):
        name = getattr(action, "__name__", None)
    if not isinstance(name, str):
        name = type(action).__name__ + " object"
    return name


# Parameter lists by the code object that alone makes them (see _code_of):
# shared by the functions made from one piece of code, such as a closure
# made anew for every session, or the module's senders of one kind.
_BY_CODE: weakref.WeakKeyDictionary[Any, Params] = weakref.WeakKeyDictionary()


def _code_of(action: object) -> Any:
    """The code object of a plain function (or a sender of the module)
    with no defaults and nothing set on it, whose parameter list is then
    its code's; else None."""
    if type(action) is not types.FunctionType and not is_sender(action):
        return None
    if (getattr(action, "__defaults__", None) is not None
            or getattr(action, "__kwdefaults__", None) is not None
            or getattr(action, "__dict__", None)):
        return None
    return getattr(action, "__code__", None)


def _read_params(action: Callable[..., object],
                 masker: Masker | None = None) -> Params:
    key = _params_key(action)
    try:
        cached_key, params = _PARAMS[weakref.ref(action)]
    except (KeyError, TypeError):
        pass
    else:
        if len(cached_key) == len(key) and cached_key[0] is key[0] and (
                cached_key[1] is key[1]) and (
                len(key) == 2 or cached_key[2] is key[2]):
            return params
    code = _code_of(action)
    if code is not None:
        found = _BY_CODE.get(code)
        if found is not None:
            return found
    try:
        signature = inspect.signature(action)
    except (TypeError, ValueError) as exc:
        message = ("cannot read the parameters of action %s: %s"
                   % (describe_action(action), exc))
        raise TypeError(masker.mask(message) if masker else message
                        ) from None
    named = tuple(
        (p.name, p.kind is p.POSITIONAL_ONLY, p.default is not p.empty)
        for p in signature.parameters.values()
        if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD))
    try:
        spec_args = inspect.getfullargspec(action).args
    except TypeError:
        spec_args = []
    bound = frozenset(name for name in spec_args
                      if name not in signature.parameters)
    params = Params(named, bound, _is_coroutine_function(action),
                    frozenset(name for name, _, default in named
                              if not default),
                    any(only for _, only, _ in named), {})
    try:
        _PARAMS[weakref.ref(action, _forget)] = (key, params)
    except TypeError:
        pass
    if code is not None:
        _BY_CODE[code] = params
    return params


def _is_coroutine_function(action: object) -> bool:
    if inspect.iscoroutinefunction(action):
        return True
    call = getattr(type(action), "__call__", None)
    return (not inspect.isfunction(action) and not inspect.ismethod(action)
            and inspect.iscoroutinefunction(call))


class StatementPlan:
    """One statement, checked, with what the engine needs to run it."""

    __slots__ = ("index", "statement", "regexes", "params", "di_params",
                 "is_coroutine", "injects", "reads_spawn")

    def __init__(self, index: int | None, statement: Any,
                 regexes: tuple[tuple[str, re.Pattern[str]], ...] | None,
                 params: Params | None, di_params: frozenset[str],
                 is_coroutine: bool) -> None:
        self.index = index
        self.statement = statement
        # (text, compiled) of each pattern text; None: never matched.
        self.regexes = regexes
        self.params = params
        self.di_params = di_params
        self.is_coroutine = is_coroutine
        # The parameters the engine fills, unless args gives them.
        self.injects = () if params is None else params.injects(di_params)
        # Whether the action may read the spawn, and so needs the output
        # after its match in spawn.buffer: the module's senders only send.
        self.reads_spawn = params is not None and not is_sender(
            statement.action)

    @property
    def where(self) -> str:
        """The statement as messages name it."""
        return _where(self.index, self.statement)

    def bind(self, injected: Mapping[str, object]
             ) -> tuple[list[object], dict[str, object]]:
        """The positional and keyword arguments of a call of the action:
        the entries of ``args`` and the injected values its parameters ask
        for."""
        params = self.params
        assert params is not None
        args = self.statement.args or {}
        if not params.positional_only:
            keywords = {name: injected[name] for name in self.injects
                        if name not in args}
            if args:
                bound = params.bound
                for name, value in args.items():
                    if name not in bound:
                        keywords[name] = value
            return [], keywords
        positional: list[object] = []
        keywords: dict[str, object] = {}
        filled = set()
        gap = False
        for name, positional_only, _ in params.named:
            if name in args:
                value = args[name]
            elif name in injected and (name in self.di_params
                                       or name in ALWAYS_INJECTED):
                value = injected[name]
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
            if name not in filled and name not in params.bound:
                keywords[name] = value
        return positional, keywords


class DialogPlan(NamedTuple):
    statements: tuple[StatementPlan, ...]
    timeout: StatementPlan | None
    eof: StatementPlan | None
    # What hides the run's secrets in messages and logs.
    masker: Masker = Masker()

    def plans(self) -> tuple[StatementPlan, ...]:
        extra = tuple(p for p in (self.timeout, self.eof) if p is not None)
        return self.statements + extra


def _where(index: int | None, statement: Any) -> str:
    if index is not None:
        return "statement %d" % index
    return "statement %r" % (statement.pattern,)


class _Where:
    """A statement's name for messages, made only when one is."""

    __slots__ = ("index", "statement")

    def __init__(self, index: int | None, statement: Any) -> None:
        self.index = index
        self.statement = statement

    def __str__(self) -> str:
        return _where(self.index, self.statement)

    def __add__(self, other: str) -> str:
        return str(self) + other


# The last list of injected names seen, a copy of it and its set: nearly
# every statement has the module's DI_LIST.
_LAST_NAMES: tuple[object, list[str], frozenset[str]] = (None, [], frozenset())


def _name_set(names: Any) -> frozenset[str]:
    global _LAST_NAMES
    last, copy, found = _LAST_NAMES
    if names is last and type(names) is list and names == copy:
        return found
    found = frozenset(names or ())
    if type(names) is list:
        _LAST_NAMES = (names, list(names), found)
    return found


def _plan_statement(index: int | None, statement: Any,
                    matchable: bool, masker: Masker) -> StatementPlan:
    where = _Where(index, statement)
    regexes = _regexes(where, statement.pattern, masker) if matchable \
        else None
    retries = statement.matched_retries
    if type(retries) is not int and (isinstance(retries, bool)
                                     or not isinstance(retries, int)):
        raise TypeError("%s: matched_retries must be an int, not %s"
                        % (where, type(retries).__name__))
    if retries < 0:
        raise ValueError("%s: matched_retries must not be negative" % where)
    if retries:
        check_seconds(statement.matched_retry_sleep,
                      where + ": matched_retry_sleep")
    args = statement.args
    if args is not None and type(args) is not dict and not isinstance(
            args, Mapping):
        raise TypeError("%s: args must be a dict or None" % where)
    try:
        di_params = _name_set(statement.di_params)
    except TypeError:
        raise TypeError("%s: di_params must be a list of names"
                        % where) from None
    action = statement.action
    params = None
    if action is not None:
        params = _action_params(where, action, args, di_params, masker)
    return StatementPlan(index, statement, regexes, params, di_params,
                         params is not None and params.is_coroutine)


def _regexes(where: _Where, pattern: object, masker: Masker
             ) -> tuple[tuple[str, re.Pattern[str]], ...] | None:
    """(text, compiled) of each pattern text; None for the special
    patterns, which are never matched."""
    if isinstance(pattern, str):
        if pattern in (TIMEOUT_PATTERN, EOF_PATTERN):
            return None
        return ((pattern, _compile_for(where, pattern, masker)),)
    if not isinstance(pattern, (list, tuple)):
        raise TypeError("%s: pattern must be str, list or tuple, not %s"
                        % (where, type(pattern).__name__))
    found = []
    for text in pattern:
        if not isinstance(text, str):
            raise TypeError("%s: pattern texts must be str, not %s"
                            % (where, type(text).__name__))
        found.append((text, _compile_for(where, text, masker)))
    return tuple(found)


def _action_params(where: _Where, action: Any,
                   args: Mapping[str, object] | None,
                   di_params: frozenset[str], masker: Masker) -> Params:
    """The action's parameter list, checked against what a run can pass."""
    if not callable(action):
        raise TypeError("%s: action must be callable or None, not %s"
                        % (where, type(action).__name__))
    params = _read_params(action, masker)
    for name, _, has_default in (() if params.required <= _INJECTABLE
                                 else params.named):
        if args is not None and name in args:
            continue
        if ((name in di_params or name in ALWAYS_INJECTED)
                and name not in INJECTABLE and not has_default):
            raise TypeError(masker.mask(
                "%s: cannot inject %r into %s; the injected names are %s"
                % (where, name, describe_action(action),
                   ", ".join(INJECTABLE))))
    if params.positional_only and args:
        _check_positional(where, action, params, args, di_params, masker)
    return params


def _check_positional(where: _Where, action: object, params: Params,
                      args: Mapping[str, object], di_params: frozenset[str],
                      masker: Masker) -> None:
    """Positional-only parameters are passed by position, so one that
    ``args`` names can be passed only if every positional-only parameter
    before it gets a value too; a run refuses it otherwise, rather than
    leave the value out."""
    missing = None
    for name, positional_only, _ in params.named:
        if not positional_only:
            break
        given = name in args or (name in INJECTABLE and (
            name in di_params or name in ALWAYS_INJECTED))
        if not given:
            missing = missing or name
        elif missing is not None and name in args:
            raise TypeError(masker.mask(
                "%s: cannot pass %r to %s: it is positional-only, and %r "
                "before it gets no value (give it in args too)"
                % (where, name, describe_action(action), missing)))


def plan_dialog(dialog: Any, secrets: list[str | bytes] | None = None
                ) -> DialogPlan:
    """Check the dialog's statements and plan them, in list order.
    ``secrets`` (the context's) and the secrets in the statements' args
    are masked in every message, and make the plan's masker."""
    if not hasattr(dialog, "statements"):
        raise TypeError("dialog must have statements; %s has none"
                        % type(dialog).__name__)
    try:
        statements = list(dialog.statements)
    except TypeError:
        raise TypeError("dialog.statements must be a list of statements"
                        ) from None
    special = [getattr(dialog, name, None)
               for name in ("timeout_statement", "eof_statement")]
    masker = Masker((secrets or []) + collect_secrets(
        {}, statements + [s for s in special if s is not None]))
    plans = tuple(_plan_statement(index, statement, True, masker)
                  for index, statement in enumerate(statements))
    timeout, eof = (None if statement is None
                    else _plan_statement(None, statement, False, masker)
                    for statement in special)
    return DialogPlan(plans, timeout, eof, masker)
