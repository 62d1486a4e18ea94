"""Hostile objects at every public entry point of the dialog module.

Each operation must end in one of two ways: it returns, or it raises either
an exception the module documents (a StatementValidationError with one of
its messages, the dialog code's Exception and TypeErrors, the interpreter's
own errors for bad arguments) or, unchanged, the exception a caller's object
raised.  Never a crash, never a SystemError (which is also how the
interpreter reports a result returned with an exception set), never a lost
exception: when a hostile object raised, that exception must be what comes
out (possibly wrapped by the standard library, as getfullargspec does).
"""

import functools
import inspect
import re
import subprocess
import sys
import textwrap
import types

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from fakes import Spawn
from hostile import (
    BoolRaising, ClassRaising, ContainsRaisingDict, EqRaising, EqRaisingStr, Hostile,
    IndexRaising, ItemsRaisingDict, IterRaisingList, IterRaisingTuple, LyingSignature,
    NamedObject, NameRaising, OddBoolStr, PatternsRaising, SignatureRaising, StrRaising,
    StrRaisingStr, boom, raising_gen,
)
from tavrel.eal import _build, dialogs as m
from tavrel.eal.dialogs import Dialog, DialogMaker, Statement, statement_decorator

SVE = m.StatementValidationError
EXAMPLES = settings(max_examples=50, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])

SVE_MESSAGES = [re.compile(p, re.S) for p in (
    r"pattern must be string",
    r"pattern must be str, list or tuple",
    r"(loop_continue|continue_timer|trim_buffer|debug_statement) must be boolean, "
    r"i\.e\. True\|False",
    r"in timeout handler statement, continue_timer must be False",
    r"args must be a dict or None",
    r'".*" must be a positional argument in the action callable: .*',
    r"use of \*varargs is prohibited in action callable: .*",
    r'"args" cannot be left None in case action callable ".*" requires any non-default '
    r"value other than .*",
    r'".*" cannot be a key in "args", even though it is required, because it will be '
    r"automatically injected in the session by the calling program",
    r'value for positional arg ".*", for action callback ".*", must be provided in args dict',
    r'arg ".*" is not present in action callback ".*"\'s signature, in that case \*\*kwargs '
    r"must be present in action callback",
    r'if action is string, then "args" should be left None',
    r'if action is None, then "args" should also be left None',
    r"you must provide some argument in the parenthesis",
    r"wrong format: .*",
)]
CONTAINER_MSG = "Arguments to Dialog should be list of statements or a list of list"
# Raised by the interpreter when a caller's object changes a container
# while the module iterates over it.
MUTATION_MSGS = ("dictionary changed size during iteration",
                 "dictionary keys changed during iteration",
                 "Set changed size during iteration",
                 "list modified during sort")
# What the interpreter and the module may raise for bad input.
ALLOWED = (SVE, TypeError, ValueError, AttributeError, KeyError, IndexError, NameError,
           RecursionError)


@pytest.fixture(autouse=True)
def module_left_as_found():
    """Hostile calls may set attributes on the objects they are given; the
    tests give them their own objects, never the module or its classes."""
    def state():
        return {owner: {k: id(v) for k, v in vars(owner).items()}
                for owner in (m, Statement, Dialog, DialogMaker)}

    before = state()
    yield
    assert state() == before


def chain(exc):
    seen = []
    while exc is not None and exc not in seen:
        seen.append(exc)
        exc = exc.__cause__ or exc.__context__
    return seen


def check_exception(exc, hostile_raised):
    links = chain(exc)
    assert not any(isinstance(e, SystemError) for e in links), links
    if hostile_raised:
        assert any(isinstance(e, Hostile) for e in links), (
            f"a caller's exception was lost; got {type(exc).__name__}: {exc}")
        return
    if type(exc) is SVE:
        assert len(exc.args) == 1 and isinstance(exc.args[0], str), exc.args
        assert any(p.fullmatch(exc.args[0]) for p in SVE_MESSAGES), exc.args[0]
    elif type(exc) is Exception:
        assert exc.args == (CONTAINER_MSG,)
    elif type(exc) is RuntimeError:
        assert str(exc) in MUTATION_MSGS, exc
    else:
        assert isinstance(exc, ALLOWED), f"{type(exc).__name__}: {exc}"


def run(op):
    """``op()``, checked: returns ("ok", value) or ("raised", exception)."""
    before = Hostile.raised
    try:
        value = op()
    except RecursionError:
        return ("raised", RecursionError)
    except BaseException as exc:  # noqa: B902 - everything is judged
        check_exception(exc, Hostile.raised != before)
        return ("raised", exc)
    assert Hostile.raised == before, "a caller's exception was raised and swallowed"
    return ("ok", value)


# --------------------------------------------------------------------------
# Hostile values, made fresh for every example
# --------------------------------------------------------------------------

def cb_spawn(spawn):
    pass


def cb_user(spawn, user):
    pass


def cb_default(spawn=None):
    pass


def cb_varargs(spawn, *rest):
    pass


def cb_kw(spawn, **kw):
    pass


def cb_lying_code(spawn):
    pass


cb_lying_code.__code__ = (lambda spawn, context, user=1: None).__code__


class Owner:
    def meth(self, spawn):
        pass


class PlainStr(str):
    pass


class MutatingKey(str):
    """A key of ``args`` that adds to its dictionary when compared."""

    def __eq__(self, other):
        self.owner[object()] = 1
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def mutating_args():
    d = {}
    key = MutatingKey("extra")
    key.owner = d
    d[key] = 1
    d["user"] = 2
    return d


def factories(*makers):
    """Draws a maker; ``build`` makes the object inside the test, so that
    hypothesis never handles a hostile object itself."""
    return st.sampled_from(makers)


def build(drawn):
    if isinstance(drawn, types.FunctionType):
        return drawn()
    if isinstance(drawn, (list, tuple)):
        return type(drawn)(build(x) for x in drawn)
    if isinstance(drawn, dict):
        return {k: build(v) for k, v in drawn.items()}
    return drawn


PATTERNS = factories(
    lambda: "p", lambda: "", lambda: "__timeout__", lambda: "__eof__",
    lambda: PlainStr("__timeout__"), lambda: EqRaisingStr("__timeout__"),
    lambda: OddBoolStr("x"), lambda: StrRaisingStr("x"),
    lambda: ["a", "b"], lambda: [], lambda: ("a",), lambda: IterRaisingList(["a"]),
    lambda: IterRaisingTuple(("a",)), lambda: ["a", ClassRaising()], lambda: [EqRaisingStr("a")],
    lambda: [1], lambda: 1, lambda: None, lambda: b"x", lambda: EqRaising(),
    lambda: ClassRaising(), lambda: {"a": 1},
)
ACTIONS = factories(
    lambda: None, lambda: "sendline(a)", lambda: "sendline()", lambda: "send()",
    lambda: "nope(x)", lambda: "sendline_cred_pass(k)\n", lambda: PlainStr("sendline(a)"),
    lambda: cb_spawn, lambda: cb_user, lambda: cb_default, lambda: cb_varargs, lambda: cb_kw,
    lambda: cb_lying_code, lambda: (lambda spawn, context: None), lambda: Owner().meth,
    lambda: Owner, lambda: NameRaising(), lambda: NamedObject(42),
    lambda: NamedObject(StrRaising()), lambda: SignatureRaising(), lambda: LyingSignature(),
    lambda: functools.partial(cb_user, user=1), lambda: print, lambda: EqRaising(),
    lambda: BoolRaising(), lambda: statement_decorator("x"),
)
ARGS = factories(
    lambda: None, lambda: {}, lambda: {"user": 1}, lambda: {"spawn": 1}, lambda: {1: 2},
    lambda: {"self": 1}, lambda: {StrRaisingStr("zz"): 1}, lambda: {EqRaisingStr("user"): 1},
    lambda: ItemsRaisingDict(user=1), lambda: ContainsRaisingDict(user=1), lambda: mutating_args(),
    lambda: [1], lambda: "user", lambda: EqRaising(),
)
FLAGS = factories(lambda: True, lambda: False, lambda: 0, lambda: 1, lambda: None,
                  lambda: "yes", lambda: BoolRaising())
DI_PARAMS = factories(
    lambda: m.DI_LIST, lambda: ("spawn",), lambda: {"spawn", "context"}, lambda: [],
    lambda: iter(["spawn"]), lambda: raising_gen("spawn"), lambda: IterRaisingList(["spawn"]),
    lambda: [EqRaisingStr("spawn")], lambda: [StrRaisingStr("spawn")], lambda: 5,
    lambda: "spawn", lambda: {"spawn": 1}, lambda: ["user", "spawn"],
)
ANY = st.one_of(PATTERNS, ACTIONS, ARGS, FLAGS)


@st.composite
def statement_arguments(draw):
    return dict(pattern=draw(PATTERNS), action=draw(ACTIONS), args=draw(ARGS),
                loop_continue=draw(FLAGS), continue_timer=draw(FLAGS),
                trim_buffer=draw(FLAGS), matched_retries=draw(ANY),
                matched_retry_sleep=draw(ANY), di_params=draw(DI_PARAMS),
                debug_statement=draw(FLAGS))


def exercise_statement(s, other):
    """Every method of a statement, each call checked on its own."""
    for op in (s.validate, s.validate_pattern, s.validate_action, s.validate_loop_continue,
               s.validate_continue_timer, s.validate_trim_buffer, s.validate_debug_statement,
               lambda: str(s), lambda: repr(s), lambda: s == other, lambda: s != other,
               lambda: other == s, lambda: s in [other, 1, None], lambda: hash(s)):
        run(op)


# --------------------------------------------------------------------------
# Statements
# --------------------------------------------------------------------------

@EXAMPLES
@given(statement_arguments(), ANY)
def test_statement_construction(kwargs, other):
    kwargs, other = build(kwargs), build(other)
    status, s = run(lambda: Statement(**kwargs))
    if status == "ok":
        exercise_statement(s, other)


@EXAMPLES
@given(statement_arguments(), st.one_of(ANY, st.just(lambda: Statement("p"))))
def test_fields_replaced_after_construction(kwargs, other):
    s = Statement("p")
    for name, value in build(kwargs).items():
        setattr(s, name, value)
    exercise_statement(s, build(other))


@EXAMPLES
@given(ACTIONS, ARGS, DI_PARAMS)
def test_action_validation_in_subclass_that_reenters(action, args, di_params):
    action, args, di_params = build((action, args, di_params))

    class Reentrant(Statement):
        depth = 0

        def validate_action(self):
            # Re-run the whole constructor on this object once, mid-validation.
            if Reentrant.depth == 0:
                Reentrant.depth += 1
                try:
                    self.__init__(self.pattern, action, args, di_params=di_params)
                finally:
                    Reentrant.depth -= 1
            return Statement.validate_action(self)

    run(lambda: Reentrant("p", action, None))


class Recursive(Statement):
    """Every validation builds another statement: ends at the recursion limit."""

    def validate_pattern(self):
        Recursive(self.pattern)


def test_validator_recursion_reaches_the_limit():
    with pytest.raises(RecursionError):
        Recursive("p")
    assert Statement("p").pattern == "p"


# --------------------------------------------------------------------------
# statement_action_helper and the senders
# --------------------------------------------------------------------------

TEXTS = st.one_of(ACTIONS, st.text(max_size=12),
                  st.tuples(st.sampled_from([str, PlainStr, EqRaisingStr]),
                            st.sampled_from(["send(", "sendline(x)\n", "send(\n)", "sendline()\n",
                                             "sendline(a)(b)"])))
SENDER_NAMES = ["send", "sendline", "send_ctx", "sendline_ctx", "send_session",
                "sendline_session", "sendline_cred_user", "sendline_cred_pass"]


@EXAMPLES
@given(TEXTS, st.sampled_from(SENDER_NAMES), ANY, ANY,
       st.sampled_from([None, "send", "to_plaintext"]))
def test_action_helper_and_senders(text, sender, second, key, failing):
    text, second, key = build((text, second, key))
    if type(text) is tuple:
        text = text[0](text[1])
    run(lambda: m.statement_action_helper(text))
    callback, _ = m.statement_action_helper(sender + "(k)")
    context = {"credentials": {key: {"username": second, "password": second}}} \
        if type(key) is str else second
    spawn = Spawn(fails=Hostile if failing == "send" else None)
    saved = m.to_plaintext
    if failing == "to_plaintext":
        m.to_plaintext = boom
    try:
        if sender in ("send", "sendline"):
            run(lambda: callback(spawn, key))
        else:
            run(lambda: callback(spawn, context, key))
            second_name = callback.__code__.co_varnames[1]  # context or runtime
            run(lambda: callback(spawn=spawn, key=key, **{second_name: second}))
    finally:
        m.to_plaintext = saved


# --------------------------------------------------------------------------
# Module globals rebound to stand-ins that raise or return the wrong shape
# --------------------------------------------------------------------------

class NullProcessor:
    def __init__(self, *args, **kwargs):
        pass

    def process(self):
        return "processed"


class ProcessRaising(NullProcessor):
    def process(self):
        raise Hostile("process")


def argspec_of(**fields):
    base = dict(args=["spawn"], varargs=None, varkw=None, defaults=None, kwonlyargs=[],
                kwonlydefaults=None, annotations={})
    base.update(fields)
    return lambda func: types.SimpleNamespace(**base)


def matcher(result):
    return types.SimpleNamespace(match=lambda pattern, text: result)


class Meta(type):
    def __instancecheck__(cls, obj):
        raise Hostile("isinstance")


class SubStatement(Statement):
    pass


class SubDialog(Dialog):
    pass


STAND_INS = {
    "getfullargspec": [boom, lambda f: object(), lambda f: None,
                       argspec_of(args=None), argspec_of(args="spawn"), argspec_of(args=[["x"]]),
                       argspec_of(defaults=(1, 2, 3)), argspec_of(defaults=BoolRaising()),
                       argspec_of(varargs=BoolRaising()), argspec_of(varkw=BoolRaising()),
                       argspec_of(args=IterRaisingList(["spawn"])),
                       lambda f: inspect.getfullargspec(f)],
    "statement_action_helper": [boom, lambda a: (cb_spawn,), lambda a: (cb_spawn, 1, 2),
                                lambda a: 5, lambda a: (cb_spawn, EqRaising()),
                                lambda a: raising_gen(cb_spawn), lambda a: ("text", "p")],
    "re": [types.SimpleNamespace(match=boom), matcher(BoolRaising()),
           matcher(types.SimpleNamespace(groups=boom)),
           matcher(types.SimpleNamespace(groups=lambda: ())),
           matcher(types.SimpleNamespace(groups=lambda: (EqRaising(),))),
           matcher(types.SimpleNamespace(groups=lambda: (5,))), object()],
    "copy": [boom, lambda x: object(), lambda x: None, lambda x: "__eof__", lambda x: x,
             lambda x: types.SimpleNamespace(pattern=EqRaisingStr("p"))],
    "DialogProcessor": [boom, ProcessRaising, NullProcessor, 5],
    "to_plaintext": [boom, lambda v: StrRaising()],
    "StatementValidationError": [boom, lambda message: "text", ValueError, Hostile,
                                 lambda message: Hostile],
    "Statement": [5, boom, dict, SubStatement, Meta("M", (), {})],
    "Dialog": [5, boom, SubDialog, Meta("M", (), {})],
    "getmembers": [boom, lambda c: [1], lambda c: [(1, 2, 3)], lambda c: raising_gen(),
                   lambda c: [("x", PatternsRaising())]],
    "STATEMENT_MATCHED_RETRIES": [None],
    "STATEMENT_MATCHED_RETRY_SLEEP": [None],
}
DELETE = None  # the stand-in None means: remove the attribute


class Declared(DialogMaker):
    @statement_decorator("a", loop_continue=True)
    def f(spawn):
        pass

    @statement_decorator("b", action="ignored")
    def g(spawn):
        pass


def workload_objects():
    s = Statement("p", cb_spawn)
    t = Statement("__timeout__")
    d = Dialog([s, ["q", cb_user, {"user": 1}], ("__eof__",), t])
    e = Dialog([["r", "sendline(x)"]])
    return s, t, d, e


def workload(s, t, d, e):
    """One call of every public operation, each checked on its own."""
    ops = [
        lambda: Statement("p", "sendline(a)"), lambda: Statement("p", cb_user),
        lambda: Statement("p", cb_user, {"user": 1, "extra": 2}), lambda: Statement(1),
        lambda: Statement("p", "nope(a)"), lambda: m.statement_action_helper("send(x)"),
        lambda: m.statement_action_helper("send()"),
        lambda: Dialog([s, ["x"], t]), lambda: Dialog(5), lambda: d.append(["n"]),
        lambda: d.insert(0, s), lambda: d.remove(s), lambda: s in d, lambda: list(d),
        lambda: bool(d), lambda: d.get_pattern_list(), lambda: d + e, lambda: d + 5,
        lambda: d.__iadd__(e), lambda: str(d), lambda: repr(d),
        lambda: d.process(Spawn(), timeout=0.05), lambda: d.extract_statements(),
        lambda: statement_decorator("p")(lambda spawn: None), Declared,
        lambda: Declared().add_statement(["z"]), lambda: Declared().add_statement(s, 0),
    ]
    for op in ops:
        run(op)


@EXAMPLES
@given(st.dictionaries(st.sampled_from(sorted(STAND_INS)), st.integers(0, 11), max_size=3))
def test_rebound_module_globals(choices):
    objects = workload_objects()
    saved = {name: getattr(m, name) for name in choices}
    try:
        for name, index in choices.items():
            stand_ins = STAND_INS[name]
            value = stand_ins[index % len(stand_ins)]
            if value is DELETE:
                delattr(m, name)
            else:
                setattr(m, name, value)
        workload(*objects)
    finally:
        for name, value in saved.items():
            setattr(m, name, value)


def test_validation_error_class_is_raised_like_python():
    # A class whose call does not give an instance: `raise` reports that
    # once.  Run apart, since a module that recursed here would crash.
    source = textwrap.dedent("""
        from tavrel.eal import dialogs as m

        class Itself(Exception):
            def __new__(cls, *args):
                return cls

        class Other(Exception):
            def __new__(cls, *args):
                return 5

        for stand_in in (lambda message: Itself, lambda message: Other, Itself):
            m.StatementValidationError = stand_in
            try:
                m.Statement(1)
            except TypeError as exc:
                print(exc)
    """)
    result = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "calling <class '__main__.Itself'> should have returned an instance of "
        "BaseException, not <class 'type'>",
        "calling <class '__main__.Other'> should have returned an instance of "
        "BaseException, not <class 'int'>",
        "calling <class '__main__.Itself'> should have returned an instance of "
        "BaseException, not <class 'type'>",
    ]


# --------------------------------------------------------------------------
# Dialogs
# --------------------------------------------------------------------------

class RaisingEq(Statement):
    def __eq__(self, other):
        raise Hostile("eq")

    __hash__ = None


class OddEq(Statement):
    def __eq__(self, other):
        return BoolRaising()

    __hash__ = None


class RaisingStr(Statement):
    def __str__(self):
        raise Hostile("str")


class Mutator(Statement):
    """Changes the list it is compared in: how is drawn per example."""

    def __eq__(self, other):
        victim = self.victim
        if self.how == "clear":
            victim.clear()
        elif self.how == "append":
            victim.append(Statement("late"))
        elif self.how == "delete":
            del victim[:1]
        elif self.how == "rebind":
            self.dialog.statements = [other]
        return False

    __hash__ = None


ELEMENTS = factories(
    lambda: Statement("p", cb_spawn), lambda: Statement("__timeout__"),
    lambda: Statement("__eof__"), lambda: SubStatement("s"), lambda: RaisingEq("r"),
    lambda: OddEq("o"), lambda: RaisingStr("x"), lambda: ["l", None], lambda: ("t",),
    lambda: ["__eof__"], lambda: [], lambda: ["a"] * 11, lambda: [1], lambda: 5, lambda: "str",
    lambda: None, lambda: ClassRaising(), lambda: IterRaisingList(["a"]),
    lambda: IterRaisingTuple(("a",)),
)
CONTAINERS = st.sampled_from([list, tuple, IterRaisingList, IterRaisingTuple, set, iter,
                              lambda items: {i: i for i in range(len(items))}])


@st.composite
def dialogs(draw):
    return draw(CONTAINERS), draw(st.lists(ELEMENTS, max_size=5))


def build_dialog(drawn):
    make, items = drawn
    items = build(items)
    status, d = run(lambda: Dialog(make(items)))
    return d if status == "ok" else Dialog([["fallback"]])


@EXAMPLES
@given(dialogs(), dialogs(), st.one_of(ELEMENTS, ANY),
       st.one_of(st.integers(-3, 3), st.just(lambda: IndexRaising()), st.just("0")))
def test_dialog_operations(d, other, item, index):
    d, other = build_dialog(d), build_dialog(other)
    item, index = build((item, index))
    for op in (lambda: d.append(item), lambda: d.insert(index, item)):
        before = [id(x) for x in d.statements]
        status, _ = run(op)
        if status == "raised":  # a failed edit leaves the statements alone
            assert [id(x) for x in d.statements] == before
    for op in (lambda: d.remove(item), lambda: item in d, lambda: list(d), lambda: bool(d),
               d.get_pattern_list, lambda: d + other, lambda: d + item, lambda: other + d,
               lambda: d.__iadd__(other), lambda: str(d), lambda: repr(d),
               d.extract_statements, d.validate):
        run(op)


@EXAMPLES
@given(st.lists(st.sampled_from(["clear", "append", "delete", "rebind"]), min_size=1,
                max_size=3), st.sampled_from(["remove", "contains", "add", "init"]))
def test_statement_list_mutated_while_searched(hows, operation):
    d = Dialog()
    mutators = []
    for how in hows:
        s = Mutator("p")
        s.how, s.dialog = how, d
        mutators.append(s)
    d.statements = list(mutators)
    for s in mutators:
        s.victim = d.statements
    target = Statement("p")
    ops = {
        "remove": lambda: d.remove(target),
        "contains": lambda: target in d,
        "add": lambda: Dialog([target]) + d,
        "init": lambda: Dialog(d.statements),
    }
    status, _ = run(ops[operation])
    assert status == "ok" or operation == "remove"


class ReinitDialog(Dialog):
    """validate re-enters the constructor with a different list."""

    def validate(self):
        if not getattr(self, "inner", False):
            self.inner = True
            self.__init__(self.replacement)
        return Dialog.validate(self)


class WeirdExtract(Dialog):
    def extract_statements(self):
        return self.result


@EXAMPLES
@given(st.lists(ELEMENTS, max_size=3), st.lists(ELEMENTS, max_size=3),
       factories(lambda: 5, lambda: None, lambda: "text", lambda: (Statement("t"),),
                 lambda: BoolRaising()))
def test_dialog_subclasses_reentering(first, second, extracted):
    first, second, extracted = build((first, second, extracted))
    def reinit():
        d = ReinitDialog.__new__(ReinitDialog)
        d.replacement = second
        d.__init__(first)
        return d

    status, d = run(reinit)
    if status == "ok":
        for op in (lambda: str(d), lambda: d + d, d.get_pattern_list):
            run(op)
    w = WeirdExtract.__new__(WeirdExtract)
    w.result = extracted
    status, _ = run(lambda: w.__init__([]))
    if status == "ok":
        for op in (lambda: bool(w), lambda: list(w), lambda: str(w), w.get_pattern_list,
                   lambda: w + Dialog(), lambda: Statement("t") in w):
            run(op)


# --------------------------------------------------------------------------
# Declarative dialogs
# --------------------------------------------------------------------------

ENTRIES = factories(
    lambda: (("a",), {}), lambda: (("__eof__",), {"loop_continue": True}),
    lambda: ((), None), lambda: (5, {}), lambda: ("ab", {}), lambda: (("a",), {1: 2}),
    lambda: (("a", cb_spawn), {}), lambda: (("a",), {"action": None}),
    lambda: (("a",), {"loop_continue": 1}), lambda: (("a",), ItemsRaisingDict()),
    lambda: ("a", {}, 1), lambda: 5, lambda: raising_gen((("a",), {})),
)
RECORDS = st.one_of(
    st.tuples(st.sampled_from([list, tuple, IterRaisingList]), st.lists(ENTRIES, max_size=3)),
    factories(lambda: 5, lambda: None))


def build_record(drawn):
    if isinstance(drawn, tuple):
        return drawn[0](build(drawn[1]))
    return build(drawn)


MEMBERS = st.one_of(
    RECORDS.map(lambda rec: ("function", rec)),
    st.just(("patterns-raising", None)),
    st.just(("no-code", None)),
    st.just(("lineno-raising", None)),
    st.just(("reenter", None)),
)


class CodeRaising:
    @property
    def co_firstlineno(self):
        raise Hostile("co_firstlineno")


def make_member(kind, record, cls_box):
    if kind == "function":
        def f(spawn):
            pass

        f.__patterns__ = record
        return f
    if kind == "patterns-raising":
        return PatternsRaising()
    if kind == "no-code":
        return types.SimpleNamespace(__patterns__=[(("x",), {})])
    if kind == "lineno-raising":
        return types.SimpleNamespace(__patterns__=[], __code__=CodeRaising())
    # Reading the record instantiates the class again: recursion.
    def again(spawn):
        pass

    class Records:
        def __iter__(self):
            cls_box[0]()
            return iter(())

    again.__patterns__ = Records()
    return again


@EXAMPLES
@given(st.lists(MEMBERS, max_size=3), st.sampled_from([(), (1,), ((), {"k": 1})]),
       st.one_of(st.integers(-2, 2), factories(lambda: -1.0, lambda: EqRaising(), lambda: None)),
       ANY)
def test_dialog_maker(members, call, pos, statement):
    pos, statement = build((pos, statement))
    cls_box = [None]
    namespace = {f"m{i}": make_member(kind, build_record(record), cls_box)
                 for i, (kind, record) in enumerate(members)}
    cls = type("Made", (DialogMaker,), namespace)
    cls_box[0] = cls
    args, kwargs = (call[0], call[1]) if len(call) == 2 else (call, {})
    status, inst = run(lambda: cls(*args, **kwargs))
    if status == "ok":
        run(lambda: inst.add_statement(statement, pos))
        run(lambda: inst.add_statement(statement))
        run(lambda: str(getattr(cls, "dialog", "")))


@EXAMPLES
@given(st.lists(st.one_of(ANY, st.tuples(ANY, ANY)), max_size=3),
       st.dictionaries(st.sampled_from(["loop_continue", "action", "args", "x"]), ANY,
                       max_size=2),
       st.sampled_from(["function", "int", "patterns-tuple", "patterns-raising",
                        "custom-append", "slots"]))
def test_statement_decorator(pargs, pkwargs, target_kind):
    pargs, pkwargs = build((pargs, pkwargs))
    class Slotted:
        __slots__ = ()

    class CustomAppend:
        def append(self, item):
            raise Hostile("append")

    def target_function(spawn):
        pass

    targets = {
        "function": lambda: target_function,
        "int": lambda: 5,
        "patterns-tuple": lambda: types.SimpleNamespace(__patterns__=()),
        "patterns-raising": PatternsRaising,
        "custom-append": lambda: types.SimpleNamespace(__patterns__=CustomAppend()),
        "slots": Slotted,
    }
    status, wrapped = run(lambda: statement_decorator(*pargs, **pkwargs))
    assert status == "ok"
    target = targets[target_kind]()
    status, result = run(lambda: wrapped(target))
    if status == "ok":
        assert result is target
        recorded, keywords = target.__patterns__[-1]
        assert len(recorded) == len(pargs)
        assert all(a is b for a, b in zip(recorded, pargs))
        assert keywords["action"] is target
        cls = type("Made", (DialogMaker,), {"f": target})
        run(cls)
    run(lambda: wrapped(func=target))
    run(lambda: wrapped())
    run(lambda: wrapped(target, target))


# --------------------------------------------------------------------------
# Every entry point at every depth near the recursion limit
# --------------------------------------------------------------------------

class Processor(NullProcessor):
    pass


def _statement_ops():
    s = Statement("p", cb_user, {"user": 1})
    d = Dialog([s, ["q", "sendline(x)"], ("__timeout__",), ("__eof__",)])
    return {
        "statement-callable": lambda: Statement("p", cb_user, {"user": 1}),
        "statement-text": lambda: Statement("p", "sendline_cred_user(k)"),
        "statement-general": lambda: Statement("p", cb_kw, {"user": 1}),
        "statement-str": lambda: repr(s),
        "dialog-init": lambda: Dialog([s, ["q"], ("__timeout__",), SubStatement("x")]),
        "dialog-add": lambda: d + d,
        "dialog-str": lambda: str(d),
        "dialog-remove": lambda: Dialog([["a"], s]).remove(s),
        "dialog-process": lambda: d.process(1, timeout=2),
        "maker": Declared,
        "decorator": lambda: statement_decorator("p", x=1)(lambda spawn: None),
    }


def _depth():
    depth, frame = 0, sys._getframe()
    while frame is not None:
        depth, frame = depth + 1, frame.f_back
    return depth


def _at_depth(n, op):
    if n > 0:
        return _at_depth(n - 1, op)
    return op()


@pytest.mark.parametrize("name", sorted(_statement_ops()))
def test_recursion_limit_at_every_depth(monkeypatch, name):
    monkeypatch.setattr(m, "DialogProcessor", Processor)
    if name == "statement-general":
        monkeypatch.setattr(m, "getfullargspec", lambda f: inspect.getfullargspec(f))
    op = _statement_ops()[name]
    limit = sys.getrecursionlimit()
    successes = 0
    # Little room first, then more: the limit is hit at every depth inside
    # the operation until it has enough room to finish.
    for room in range(400):
        try:
            _at_depth(max(limit - _depth() - room, 0), op)
        except RecursionError:
            successes = 0
            continue
        except BaseException as exc:  # noqa: B902
            assert not any(isinstance(e, SystemError) for e in chain(exc)), chain(exc)
            assert any(isinstance(e, RecursionError) for e in chain(exc)), chain(exc)
            continue
        successes += 1
        if successes == 3:
            break
    assert successes == 3, "the operation never got enough room"
    op()  # and the interpreter is still fine


# --------------------------------------------------------------------------
# Methods called on objects of other classes, with any arguments
# --------------------------------------------------------------------------

METHODS = sorted(
    [(cls.__name__, name) for cls in (Statement, Dialog, DialogMaker)
     for name, value in vars(cls).items()
     if type(value) in (type(m.statement_decorator), staticmethod)]
    + [("module", "statement_action_helper"), ("module", "statement_decorator")])
SELVES = factories(
    lambda: None, lambda: 5, lambda: "p", lambda: {}, lambda: [], lambda: Statement("p"),
    lambda: Dialog([["a"]]), lambda: Dialog.__new__(Dialog), lambda: Statement.__new__(Statement),
    lambda: types.SimpleNamespace(pattern="p", action=None, statements=[1], statement_list=()),
    # Classes are fresh subclasses: a call on a foreign object may set
    # attributes on it, and the module's own classes must stay untouched.
    lambda: type("S", (Statement,), {}), lambda: type("D", (Dialog,), {}),
    lambda: type("M", (DialogMaker,), {}), lambda: declared_class(),
    lambda: declared_class()(), lambda: ClassRaising(), lambda: PatternsRaising(),
)


def declared_class():
    """A new DialogMaker subclass: calls on foreign objects may change it."""
    class Fresh(DialogMaker):
        @statement_decorator("a", loop_continue=True)
        def f(spawn):
            pass

    return Fresh


def method(owner, name):
    if owner == "module":
        return getattr(m, name)
    value = vars(getattr(m, owner))[name]
    return value.__func__ if isinstance(value, staticmethod) else value


@EXAMPLES
@given(st.sampled_from(METHODS), SELVES, st.lists(ANY, max_size=3),
       st.dictionaries(st.sampled_from(["self", "pattern", "statement", "pos", "x"]), ANY,
                       max_size=2))
def test_methods_on_foreign_objects(target, self, args, kwargs):
    function = method(*target)
    self, args, kwargs = build((self, args, kwargs))
    saved = m.DialogProcessor
    m.DialogProcessor = NullProcessor
    try:
        status, result = run(lambda: function(self, *args))
        run(lambda: function(self, *args, **kwargs))
        if target == ("module", "statement_decorator") and status == "ok":
            run(lambda: result(self))
    finally:
        m.DialogProcessor = saved


# --------------------------------------------------------------------------
# Text forms of any text, str subclasses included
# --------------------------------------------------------------------------

class Shown(str):
    """A str that shows as another text (possibly of another str subclass)."""

    def __new__(cls, text, shown):
        self = super().__new__(cls, text)
        self.shown = shown
        return self

    def __str__(self):
        return self.shown


ANY_TEXT = st.text(st.characters(blacklist_categories=()), max_size=8)
SHOWN = st.one_of(
    ANY_TEXT,
    st.builds(Shown, ANY_TEXT, ANY_TEXT),
    st.builds(Shown, ANY_TEXT, st.builds(Shown, ANY_TEXT, ANY_TEXT)),
    st.builds(PlainStr, ANY_TEXT),
    st.sampled_from([None, True, False, 0, 1.5]),
    st.lists(ANY_TEXT, max_size=2),
)


@EXAMPLES
@given(st.lists(st.tuples(SHOWN, st.one_of(st.none(), SHOWN), SHOWN, SHOWN, SHOWN, SHOWN),
                max_size=3))
def test_text_forms_of_any_text(rows):
    statements, expected_lines = [], []
    for pattern, name, args, loop_continue, continue_timer, trim_buffer in rows:
        s = Statement("p")
        s.pattern, s.args = pattern, args
        s.loop_continue, s.continue_timer, s.trim_buffer = loop_continue, continue_timer, \
            trim_buffer
        s.action = None if name is None else NamedObject(name)
        action_text = "None" if name is None else str(name)
        text = ("[pattern='" + str(pattern) + "', action=" + action_text + ", args="
                + str(args) + ", loop_continue=" + str(loop_continue) + ", continue_timer="
                + str(continue_timer) + ", trim_buffer=" + str(trim_buffer) + "]")
        assert str(s) == repr(s) == text
        assert type(str(s)) is str
        statements.append(s)
        expected_lines.append("\t" + text + ",\n")
    d = Dialog()
    d.statements = statements
    assert str(d) == repr(d) == "[\n" + "".join(expected_lines) + "]"


# --------------------------------------------------------------------------
# args dictionaries changed while their keys are checked
# --------------------------------------------------------------------------

class ChangingKey(str):
    """A key that changes the dictionary it is in the first time it is compared."""

    def __eq__(self, other):
        if not self.done:
            self.done = True
            d, how = self.owner, self.how
            if how == "add":
                d[f"added{len(d)}"] = 0
            elif how == "delete-self":
                d.pop(self, None)
            elif how == "swap-self":
                d.pop(self, None)
                d[f"swapped{len(d)}"] = 0
            elif how == "delete-first":
                if d:
                    del d[next(iter(d))]
            elif how == "clear":
                d.clear()
            elif how == "set-value":
                d[self] = "new"
        return str.__eq__(self, other)

    __hash__ = str.__hash__


class DictSub(dict):
    """Iterated through items(), as the interpreter iterates any dict."""


def cb_spawn_kw(spawn, user=None, **kw):
    pass


HOWS = ["add", "delete-self", "swap-self", "delete-first", "clear", "set-value", "none"]


@EXAMPLES
@given(st.lists(st.one_of(st.sampled_from(HOWS), st.just("plain")), min_size=1, max_size=5),
       st.sampled_from([cb_spawn_kw, cb_user, cb_spawn]))
def test_args_changed_while_validated(keys, action):
    # The same changes made to an exact dict (walked in place by the module)
    # and to a dict subclass (walked by the interpreter's own iterator) must
    # end the same way.
    def outcome(dict_type):
        d = dict_type()
        for i, how in enumerate(keys):
            if how == "plain":
                d[f"plain{i}"] = i
            else:
                key = ChangingKey(f"key{i}")
                key.owner, key.how, key.done = d, how, False
                d[key] = i
        status, result = run(lambda: Statement("p", action, d))
        return (status,) if status == "ok" else (status, type(result), str(result))

    assert outcome(dict) == outcome(DictSub)


# --------------------------------------------------------------------------
# A class changed by its own dictionary keys while construction inspects it
# --------------------------------------------------------------------------

@pytest.mark.parametrize("collides_with", ["__slots__", "__getattr__", "__slotnames__",
                                           "__dict__"])
def test_copy_follows_a_class_changed_during_its_inspection(collides_with):
    # A key of the class namespace whose comparison (made when a name of the
    # same hash is looked up) gives the class a __copy__ after that name was
    # already looked for.  Copies made afterwards must use it, as copy.copy does.
    # (copy.copy itself never looks __getattr__ up; the shortcut looks up
    # every name that would rule it out.)
    class Key(str):
        armed = False

        def __hash__(self):
            return hash(collides_with)

        def __eq__(self, other):
            if Key.armed:
                Key.armed = False
                cls.__copy__ = lambda self: Statement("copied")
            return False

        def __ne__(self, other):
            return True

    cls = type("Keyed", (Statement,), {Key("key"): 1})
    stmt = cls("a")
    Key.armed = True
    Dialog([stmt])  # the class changes while this copy is being made
    assert Key.armed == (collides_with == "__getattr__" and not _build.FAST_PATHS)
    assert Dialog([stmt]).statements[0].pattern == ("a" if Key.armed else "copied")


# --------------------------------------------------------------------------
# Caller code that runs while the module inspects a function or a class
# (in a child process each: a module that kept a pointer to what the caller
# frees here would crash)
# --------------------------------------------------------------------------

CHANGED_WHILE_INSPECTED = {
    # A key of the function's __dict__ hashes like "__signature__", so it is
    # compared while the module looks that name up, and changes the function.
    "function-code": ("__signature__", """
        f.__code__ = (lambda spawn, a, b, c, d: None).__code__.replace(co_name="other")
    """),
    "function-defaults": ("__signature__", """
        f.__defaults__ = None
    """),
    "function-dict": ("__signature__", """
        f.__dict__ = {}
    """),
    # A key of the class namespace hashes like "__slots__" and changes the
    # class of the statement being copied.
    "class-collected": ("__slots__", """
        stmt.__class__ = Statement
        del holder[:]
        gc.collect()
    """),
    "class-bases": ("__slots__", """
        holder[0].__bases__ = (Statement,)
        gc.collect()
    """),
    # The same from a key of the statement's own __dict__.
    "instance-class-collected": ("__reduce_ex__", """
        stmt.__class__ = Statement
        del holder[:]
        gc.collect()
    """),
}


@pytest.mark.parametrize("case", sorted(CHANGED_WHILE_INSPECTED))
def test_caller_changes_what_is_being_inspected(case):
    name, change = CHANGED_WHILE_INSPECTED[case]
    source = textwrap.dedent("""
        import gc
        from tavrel.eal.dialogs import Dialog, Statement

        class Key(str):
            armed = False

            def __hash__(self):
                return hash(NAME)

            def __eq__(self, other):
                if Key.armed:
                    Key.armed = False
                    change()
                return False

            def __ne__(self, other):
                return True

        def f(spawn, user=None):
            pass

        # Objects only the function holds, so that replacing them frees them.
        f.__code__ = f.__code__.replace(co_name="fresh")
        f.__defaults__ = tuple(object() for _ in range(30))[-1:] + tuple(range(29))
        f.__dict__ = {Key("key"): 1, **{f"a{i}": i for i in range(20)}}

        class Mid(Statement):
            pass

        Changed = type("Changed", (Mid,), {Key("key"): 1} if CASE.startswith("class") else {})
        holder = [Changed]
        stmt = Changed("a")
        if CASE.startswith("instance"):
            vars(stmt)[Key("key")] = 1
        del Changed

        def change():
            CHANGE

        Key.armed = True
        try:
            if CASE.startswith("function"):
                Statement("p", f, {"user": 1})
            else:
                Dialog([stmt])
        except Exception as exc:
            print(type(exc).__name__)
        else:
            print("ok")
        assert not Key.armed, "the change never ran"
    """).replace("NAME", repr(name)).replace("CASE", repr(case)).replace(
        "CHANGE", textwrap.dedent(change).strip().replace("\n", "\n    "))
    result = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout in ("ok\n", "StatementValidationError\n", "TypeError\n"), result.stdout
