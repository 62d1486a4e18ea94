"""Reference and memory discipline of the dialog module on the paths the
per-feature test files leave out: module globals rebound to stand-ins that
raise or return the wrong shape, caller objects that raise halfway through an
operation, direct calls of validators and methods, argument binding errors,
and the general roads taken when a collaborator is not the one the module
imported.

Every case runs thousands of times under ``check_no_leak``, which also
watches the reference counts of the module's shared objects (``DI_LIST``, the
shared default list of ``Dialog``, the classes, the imported collaborators)
and of the patterns, ``args`` dictionaries and callables the cases use.
"""

import copy
import inspect
import re
import types
from collections import namedtuple

import pytest

from hostile import (
    BoolRaising, ClassRaising, ContainsRaisingDict, EqRaising, EqRaisingStr, Hostile,
    IndexRaising, ItemsRaisingDict, IterRaisingList, NamedObject, NameRaising,
    PatternsRaising, SignatureRaising, StrRaising, StrRaisingStr, boom, raising_gen,
)
from leakcheck import check_no_leak
from tavrel.eal import dialogs as m
from tavrel.eal.dialogs import Dialog, DialogMaker, Statement, statement_decorator

SVE = m.StatementValidationError
DELETE = object()  # patch value: remove the module attribute

PATTERN = "leak-pattern"
ARGS = {"user": "u"}
TIMEOUT = "__timeout__"


def cb_spawn(spawn):
    pass


def cb_user(spawn, user):
    pass


def cb_spawn_default(spawn=None):
    pass


class Spawn:
    def send(self, text):
        pass

    def sendline(self, text):
        pass


class SendRaisingSpawn:
    def send(self, text):
        raise Hostile("send")

    sendline = send


SPAWN = Spawn()
CONTEXT = {"credentials": {"k": {"username": "u", "password": "p"}}, "k": "v"}

STATEMENT = Statement(PATTERN, cb_user, ARGS)
SENDLINE, _ = m.statement_action_helper("sendline(x)")
CRED_PASS, _ = m.statement_action_helper("sendline_cred_pass(k)")


class SubStatement(Statement):
    pass


class SlottedStatement(Statement):
    __slots__ = ("extra",)


class NonStrText(Statement):
    def __str__(self):
        return 42


class NullProcessor:
    def __init__(self, *args, **kwargs):
        pass

    def process(self):
        return None


class ProcessRaising(NullProcessor):
    def process(self):
        raise Hostile("process")


def general(func):
    """A stand-in that is not the collaborator the module imported, so the
    module takes its general road, with the same results."""
    return lambda *args: func(*args)


FakeArgSpec = namedtuple(
    "FakeArgSpec", "args varargs varkw defaults kwonlyargs kwonlydefaults annotations")


class NoLen:
    def __bool__(self):
        return True


RE_GENERAL = types.SimpleNamespace(match=general(re.match))
RE_RAISING = types.SimpleNamespace(match=boom)
RE_GROUPS_RAISING = types.SimpleNamespace(
    match=lambda pattern, text: types.SimpleNamespace(groups=boom))


class ResizingKey(str):
    """A key of ``args`` that changes its dictionary when compared:
    ``grow`` adds an entry, otherwise the key swaps itself for another."""

    def __eq__(self, other):
        d = self.owner
        if self.grow:
            d[len(d)] = 0
        elif self in d:
            del d[self]
            d["other"] = 0
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def args_changed_while_checked(grow):
    def op():
        d = {}
        key = ResizingKey("extra")
        key.owner, key.grow = d, grow
        d[key] = 1
        d["spare"] = 2
        try:
            Statement(PATTERN, cb_kw_user, d)
        finally:
            del key.owner
    return op


def cb_kw_user(spawn, user=None, **kw):
    pass


def cb_empty_default(spawn, user=inspect.Parameter.empty):
    pass


class ArgsHolder:
    def __init__(self):
        self.user = 1


INSTANCE_ARGS = vars(ArgsHolder())  # a dict sharing its keys with the class


class Toggled(Statement):
    pass


def copy_after_class_change():
    Toggled.flag = not getattr(Toggled, "flag", False)
    Dialog([Toggled(PATTERN), STATEMENT])


class Abstract(Statement):
    pass


ABSTRACT = Abstract(PATTERN)
Abstract.__abstractmethods__ = frozenset({"missing"})


# --------------------------------------------------------------------------
# Dialogs and their hostile parts
# --------------------------------------------------------------------------

DIALOG = Dialog([STATEMENT, ["b", cb_spawn], (TIMEOUT,)])
EOF_DIALOG = Dialog([["x"], ["__eof__"]])


class MutatingEq(Statement):
    """Clears the list it is being searched in from its ``__eq__``."""

    def __eq__(self, other):
        self.victim.clear()
        return False

    __hash__ = None


def dialog_with(statements):
    d = Dialog()
    d.statements = list(statements)
    return d


def remove_while_mutated():
    d = dialog_with([MutatingEq("a"), MutatingEq("b")])
    for s in d.statements:
        s.victim = d.statements
    try:
        d.remove(STATEMENT)
    finally:
        for s in list(d.statements):
            del s.victim


def contains_while_mutated():
    d = dialog_with([MutatingEq("a"), MutatingEq("b")])
    victims = list(d.statements)
    for s in victims:
        s.victim = d.statements
    try:
        return STATEMENT in d
    finally:
        for s in victims:
            del s.victim


def with_attrs(obj, **attrs):
    for name, value in attrs.items():
        setattr(obj, name, value)
    return obj


HOOKED = with_attrs(Statement(PATTERN), __getstate__=lambda: {"pattern": "state"})
BOOL_TIMEOUT = with_attrs(Dialog([["x"]]), timeout_statement=BoolRaising())
TUPLE_STATEMENTS = with_attrs(Dialog([["x"]]), statements=("no", "list"))
UNITERABLE = with_attrs(Dialog([["x"]]), statements=5)
NO_PATTERN = with_attrs(Dialog([["x"]]), statements=[object()])
BARE = Dialog.__new__(Dialog)


class AddRaising(Dialog):
    def __add__(self, other):
        raise Hostile("add")


ADD_RAISING = AddRaising()


# --------------------------------------------------------------------------
# Declarative dialogs
# --------------------------------------------------------------------------

class Good(DialogMaker):
    @statement_decorator("a", loop_continue=True)
    def f(spawn):
        pass

    @statement_decorator("b")
    def g(spawn):
        pass


Good()
GOOD = Good()


def member(patterns):
    """A class attribute carrying ``__patterns__`` and a ``__code__``."""
    def f(spawn):
        pass

    f.__patterns__ = patterns
    return f


def maker_with(**members):
    return type("Maker", (DialogMaker,), members)


PATTERNS_RAISING = maker_with(m=PatternsRaising())
NO_CODE = maker_with(m=types.SimpleNamespace(__patterns__=[]))
PKWARGS_NONE = maker_with(m=member([((), None)]))
PARGS_INT = maker_with(m=member([(5, {})]))
NOT_A_PAIR = maker_with(m=member([("a", {}, 1)]))
PATTERNS_ITER_RAISING = maker_with(m=member(IterRaisingList()))


class NewRaising:
    def __new__(cls, *args, **kwargs):
        raise Hostile("__new__")


class NextNewRaising(DialogMaker, NewRaising):
    @statement_decorator("n")
    def f(spawn):
        pass


DECORATOR = statement_decorator("p", loop_continue=True)


class AppendRaising:
    def append(self, item):
        raise Hostile("append")


def decorate_custom_patterns():
    def f(spawn):
        pass

    f.__patterns__ = AppendRaising()
    DECORATOR(f)


# --------------------------------------------------------------------------
# The table: (name, operation, expected exception or None, patches)
# --------------------------------------------------------------------------

Case = namedtuple("Case", "name op exc patches")
CASES = []


def case(name, op, exc=None, **patches):
    CASES.append(Case(name, op, exc, patches))


def call_validators():
    s = STATEMENT
    for name in ("validate", "validate_pattern", "validate_action", "validate_loop_continue",
                 "validate_continue_timer", "validate_trim_buffer", "validate_debug_statement"):
        getattr(s, name)()


class PatternProperty:
    @property
    def pattern(self):
        raise Hostile("pattern")


EQ_ACTION = Statement(PATTERN, EqRaising())
NO_ACTION_OTHER = types.SimpleNamespace(pattern=PATTERN)

# Statement: direct calls and argument binding
case("validators-called-directly", call_validators)
case("validate-extra-argument", lambda: STATEMENT.validate(1), TypeError)
case("eq-by-keyword", lambda: Statement.__eq__(STATEMENT, other=STATEMENT))
case("eq-other-lacks-action", lambda: STATEMENT == NO_ACTION_OTHER)
case("eq-other-pattern-raises", lambda: STATEMENT == PatternProperty(), Hostile)
case("eq-action-eq-raises", lambda: EQ_ACTION == Statement(PATTERN, cb_spawn), Hostile)
case("reinit-fails", lambda: Statement.__init__(Statement.__new__(Statement), 1), SVE)
case("init-unknown-keyword-after-positionals",
     lambda: Statement(PATTERN, None, None, False, False, True, None, None, None, False, x=1),
     TypeError)
case("init-multiple-values", lambda: Statement(PATTERN, pattern=PATTERN), TypeError)

# Statement: caller objects raising halfway
case("pattern-iter-raises", lambda: Statement(IterRaisingList(["a"])), Hostile)
case("pattern-element-class-raises", lambda: Statement([ClassRaising()]), Hostile)
case("timeout-compare-raises", lambda: Statement(EqRaisingStr("x")), Hostile)
case("action-name-raises", lambda: Statement(PATTERN, NameRaising()), Hostile)
case("action-name-not-str", lambda: Statement(PATTERN, NamedObject(42), {}), SVE)
case("action-signature-raises", lambda: Statement(PATTERN, SignatureRaising()), TypeError)
case("di-params-raise-midway",
     lambda: Statement(PATTERN, cb_user, None, di_params=raising_gen("spawn")), Hostile)
# An iterator is used up by the first rule that reads it.
case("di-params-iterator-used-up",
     lambda: Statement(PATTERN, cb_spawn, di_params=iter(["spawn"])), SVE)
case("di-params-set", lambda: Statement(PATTERN, cb_spawn, di_params={"spawn", "context"}))
case("args-items-raises",
     lambda: Statement(PATTERN, cb_user, ItemsRaisingDict(user=1)), Hostile)
case("args-contains-raises",
     lambda: Statement(PATTERN, cb_user, ContainsRaisingDict(user=1)), Hostile)
case("message-value-str-raises",
     lambda: Statement(PATTERN, cb_spawn_default, di_params=[StrRaisingStr("spawn")]), Hostile)
case("str-action-name-raises",
     lambda: str(with_attrs(Statement(PATTERN), action=NameRaising())), Hostile)
case("str-field-raises", lambda: str(with_attrs(Statement(PATTERN), args=StrRaising())), Hostile)
case("repr-of-non-str-text", lambda: repr(NonStrText(PATTERN)), TypeError)
case("args-grow-while-checked", args_changed_while_checked(True), RuntimeError)
case("args-keys-swapped-while-checked", args_changed_while_checked(False), RuntimeError)
case("args-instance-dict", lambda: Statement(PATTERN, cb_user, INSTANCE_ARGS))
case("argspec-empty-marker-default", lambda: Statement(PATTERN, cb_empty_default), SVE)

# Statement: module globals rebound
case("getfullargspec-raises", lambda: Statement(PATTERN, cb_spawn), Hostile, getfullargspec=boom)
case("getfullargspec-wrong-shape", lambda: Statement(PATTERN, cb_spawn), AttributeError,
     getfullargspec=lambda f: object())
case("getfullargspec-general", lambda: Statement(PATTERN, cb_user, ARGS),
     getfullargspec=general(inspect.getfullargspec))
case("getfullargspec-general-fault", lambda: Statement(PATTERN, cb_spawn, {1: 2}), SVE,
     getfullargspec=general(inspect.getfullargspec))
case("getfullargspec-defaults-without-len", lambda: Statement(PATTERN, cb_spawn), TypeError,
     getfullargspec=lambda f: FakeArgSpec(["spawn"], None, None, NoLen(), [], None, {}))
case("helper-raises", lambda: Statement(PATTERN, "sendline(a)"), Hostile,
     statement_action_helper=boom)
case("helper-one-item", lambda: Statement(PATTERN, "sendline(a)"), ValueError,
     statement_action_helper=lambda action: (cb_spawn,))
case("helper-three-items", lambda: Statement(PATTERN, "sendline(a)"), ValueError,
     statement_action_helper=lambda action: (cb_spawn, "x", "y"))
case("helper-not-iterable", lambda: Statement(PATTERN, "sendline(a)"), TypeError,
     statement_action_helper=lambda action: 5)
case("re-match-raises", lambda: Statement(PATTERN, "sendline(a)"), Hostile, re=RE_RAISING)
case("re-groups-raises", lambda: Statement(PATTERN, "sendline(a)"), Hostile,
     re=RE_GROUPS_RAISING)
case("re-general", lambda: Statement(PATTERN, "sendline_cred_user(k)"), re=RE_GENERAL)
case("re-general-wrong-format", lambda: m.statement_action_helper("nope(a)"), SVE,
     re=RE_GENERAL)
case("re-general-empty-parenthesis", lambda: m.statement_action_helper("send()"), SVE,
     re=RE_GENERAL)
case("re-general-not-text", lambda: m.statement_action_helper(7), TypeError, re=RE_GENERAL)
case("validation-error-not-an-exception", lambda: Statement(1), TypeError,
     StatementValidationError=lambda message: "text")
case("validation-error-raises", lambda: Statement(1), Hostile, StatementValidationError=boom)
case("retries-constant-missing", lambda: Statement(PATTERN), NameError,
     STATEMENT_MATCHED_RETRIES=DELETE)

# statement_action_helper and the senders
case("helper-by-keyword", lambda: m.statement_action_helper(action="sendline(a)"))
case("sender-by-keyword", lambda: SENDLINE(key="x", spawn=SPAWN))
case("sender-missing-argument", lambda: SENDLINE(SPAWN), TypeError)
case("sender-spawn-raises", lambda: SENDLINE(SendRaisingSpawn(), "x"), Hostile)
case("sender-to-plaintext-raises", lambda: CRED_PASS(SPAWN, CONTEXT, "k"), Hostile,
     to_plaintext=boom)

# Dialog: module globals rebound
case("copy-raises", lambda: Dialog([STATEMENT]), Hostile, copy=boom)
case("copy-returns-non-statement", lambda: Dialog([STATEMENT]), AttributeError,
     copy=lambda x: object())
case("copy-general", lambda: Dialog([STATEMENT, SubStatement(PATTERN)]),
     copy=general(copy.copy))
case("copy-subclass", lambda: Dialog([SubStatement(PATTERN, cb_user, ARGS)]))
case("copy-slotted-subclass", lambda: Dialog([SlottedStatement(PATTERN)]))
case("copy-after-class-change", copy_after_class_change)
case("copy-instance-hook", lambda: Dialog([HOOKED, STATEMENT]))
case("copy-abstract-class", lambda: Dialog([ABSTRACT]), TypeError)
case("statement-rebound-to-non-class", lambda: Dialog([["a"]]), TypeError, Statement=5)
case("dialog-rebound-to-non-class", lambda: DIALOG + DIALOG, TypeError, Dialog=boom)
case("processor-raises", lambda: DIALOG.process(SPAWN), Hostile, DialogProcessor=boom)
case("processor-process-raises", lambda: DIALOG.process(SPAWN, 1, timeout=2), Hostile,
     DialogProcessor=ProcessRaising)
case("processor-missing", lambda: DIALOG.process(), NameError, DialogProcessor=DELETE)
case("process-positional-and-keywords", lambda: DIALOG.process(SPAWN, 1, timeout=2, x=3),
     DialogProcessor=NullProcessor)

# Dialog: caller objects raising halfway
case("container-iter-raises", lambda: Dialog(IterRaisingList([["a"]])), Hostile)
case("element-class-raises", lambda: Dialog([ClassRaising()]), Hostile)
case("element-unpacking-raises", lambda: Dialog([IterRaisingList(["a"])]), Hostile)
case("append-iterable-raises", lambda: DIALOG.append(raising_gen("a")), Hostile)
case("insert-index-raises", lambda: DIALOG.insert(IndexRaising(), STATEMENT), Hostile)
case("remove-while-list-mutated", remove_while_mutated, ValueError)
case("contains-while-list-mutated", contains_while_mutated)
case("patterns-of-non-statement", lambda: NO_PATTERN.get_pattern_list(), AttributeError)
case("bool-without-statements", lambda: bool(BARE), AttributeError)
case("iter-of-non-list", lambda: iter(UNITERABLE), AttributeError)
case("add-operand-without-statements", lambda: DIALOG + BARE, AttributeError)
case("add-concatenation-fails", lambda: DIALOG + TUPLE_STATEMENTS, TypeError)
case("add-timeout-truth-raises", lambda: BOOL_TIMEOUT + DIALOG, Hostile)
case("add-carries-eof", lambda: EOF_DIALOG + DIALOG)
case("iadd-override-raises", lambda: ADD_RAISING.__iadd__(DIALOG), Hostile)
case("text-of-subclass-statements", lambda: str(Dialog([SubStatement(PATTERN)])))
case("validate-called-directly", lambda: Dialog.validate(UNITERABLE))
case("validate-bad-container",
     lambda: Dialog.validate(types.SimpleNamespace(statement_list=5)),
     Exception)
case("init-too-many-arguments", lambda: Dialog([], []), TypeError)

# Declarative dialogs
case("getmembers-raises", Good, Hostile, getmembers=boom)
case("getmembers-not-pairs", Good, TypeError, getmembers=lambda cls: [1])
case("getmembers-triples", Good, ValueError, getmembers=lambda cls: [(1, 2, 3)])
case("dialog-rebound-raises", Good, Hostile, Dialog=boom)
case("patterns-lookup-raises", PATTERNS_RAISING, Hostile)
case("member-without-code", NO_CODE, AttributeError)
case("keywords-not-a-mapping", PKWARGS_NONE, TypeError)
case("positionals-not-iterable", PARGS_INT, TypeError)
case("entry-not-a-pair", NOT_A_PAIR, ValueError)
case("patterns-iter-raises", PATTERNS_ITER_RAISING, Hostile)
case("next-new-raises", NextNewRaising, Hostile)
case("add-statement-pos-compare-raises", lambda: GOOD.add_statement(STATEMENT, EqRaising()),
     Hostile)
case("add-statement-missing-argument", lambda: GOOD.add_statement(), TypeError)
case("decorate-object-without-attributes", lambda: DECORATOR(5), AttributeError)
case("decorate-patterns-lookup-raises", lambda: DECORATOR(PatternsRaising()), Hostile)
case("decorate-custom-append-raises", decorate_custom_patterns, Hostile)


# Everything whose reference count must stay flat, whatever the case.
SHARED = (
    m.DI_LIST, Dialog.__init__.__defaults__[0], Statement, Dialog, DialogMaker, SVE,
    m.STATEMENT_MATCHED_RETRY_SLEEP, m.statement_action_helper, m.statement_decorator,
    m.copy, m.re, m.getfullargspec, m.getmembers, m.DialogProcessor, m.to_plaintext,
    PATTERN, ARGS, STATEMENT, cb_spawn, cb_user, SPAWN, CONTEXT, DIALOG, GOOD, Good,
    DECORATOR, SENDLINE, CRED_PASS,
)


@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
def test_no_leak(monkeypatch, case):
    for name, value in case.patches.items():
        if value is DELETE:
            monkeypatch.delattr(m, name)
        else:
            monkeypatch.setattr(m, name, value)
    check_no_leak(case.op, *SHARED, raises=case.exc, iterations=1000, warmup=50)


def test_case_names_are_unique():
    names = [c.name for c in CASES]
    assert len(names) == len(set(names))
