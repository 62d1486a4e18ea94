"""The module's native shortcuts stand in for three collaborators only while
each is the very object the module imported: ``getfullargspec`` (the
parameter lists of functions), ``re`` with ``re.match`` (the action texts)
and ``copy`` (the copies dialog construction makes of statements).  Every
case here runs once with the originals in place and once with the
collaborator rebound to a wrapper of itself, which forces the general road,
and both runs must give the same statements, callables and exceptions.
(``tavrel.eal._build.FAST_PATHS`` tells whether the module was built with
its shortcuts; without them both runs take the general road.)"""

import abc
import contextlib
import copy as copy_module
import copyreg
import functools
import inspect
import re
import sys
import types

import pytest
from hypothesis import given, settings, strategies as st

from tavrel.eal import _build, dialogs as m
from tavrel.eal.dialogs import Dialog, Statement, statement_action_helper
from tavrel.utils import SecretText
from fakes import Spawn as FakeSpawn

EXAMPLES = settings(max_examples=100, deadline=None)

SENDERS = ["send", "sendline", "send_ctx", "sendline_ctx", "send_session",
           "sendline_session", "sendline_cred_user", "sendline_cred_pass"]
NATIVE = type(statement_action_helper)
EMPTY = inspect.Parameter.empty


# ---------------------------------------------------------------------------
# Running a case both ways
# ---------------------------------------------------------------------------

def wrapped_re_module():
    return types.SimpleNamespace(match=lambda pattern, text: re.match(pattern, text))


# Ways to send each collaborator down the general road.
GENERAL = {
    "getfullargspec": [
        lambda mp: mp.setattr(m, "getfullargspec", lambda f: inspect.getfullargspec(f)),
    ],
    "re": [
        lambda mp: mp.setattr(m, "re", wrapped_re_module()),
        lambda mp: mp.setattr(re, "match", functools.partial(re.match)),
    ],
    "copy": [
        lambda mp: mp.setattr(m, "copy", lambda x: copy_module.copy(x)),
    ],
}


def outcome(run):
    """What ``run()`` gave: ("returned", value) or ("raised", type, text)."""
    try:
        return ("returned", run())
    except Exception as exc:
        return ("raised", type(exc), str(exc))


def both_ways(collaborator, run, describe):
    """``describe(outcome(run))`` with the originals, then with each rebinding
    of ``collaborator``; all of them must be equal."""
    fast = describe(outcome(run))
    for rebind in GENERAL[collaborator]:
        with pytest.MonkeyPatch.context() as mp:
            rebind(mp)
            general = describe(outcome(run))
        assert fast == general
    return fast



def sender_behaviour(sender, payload):
    """Names of a sender callable, and what it does with a fake spawn when
    called with the statement's payload as ``key``."""
    code = sender.__code__
    params = code.co_varnames[:code.co_argcount]
    spawn = FakeSpawn()
    values = {
        "spawn": spawn,
        "key": payload,
        "context": {payload: "ctx:" + payload,
                    "credentials": {payload: {"username": "user:" + payload,
                                              "password": SecretText("pw")}}},
        "runtime": {payload: "runtime:" + payload},
    }
    done = outcome(lambda: sender(**{p: values[p] for p in params}))
    return (sender.__name__, sender.__qualname__, sender.__module__, params,
            done, spawn.calls)


def is_sender(value):
    return (type(value) is NATIVE
            and value.__qualname__.startswith("statement_action_helper.<locals>."))


def statement_state(stmt):
    """A statement's attributes, in order, as comparable values: objects the
    caller gave are compared by identity, the sender callable by its names
    and behaviour, the rest by value."""
    fields = vars(stmt)
    args = fields.get("args")
    payload = args.get("key") if isinstance(args, dict) else None
    if not isinstance(payload, str):
        payload = "key"
    state = [type(stmt)]
    for name, value in fields.items():
        if is_sender(value):
            state.append((name, "sender", sender_behaviour(value, payload)))
        elif name == "match":
            state.append((name, type(value), value))
        elif isinstance(value, (str, dict, bool, int, float, type(None))):
            state.append((name, type(value), value))
        else:
            state.append((name, "is", id(value)))
    return state


def describe_statement(result):
    if result[0] == "raised":
        return result
    return ("returned", statement_state(result[1]))


# ---------------------------------------------------------------------------
# Parameter lists (getfullargspec)
# ---------------------------------------------------------------------------

def f_none():
    pass


def f_spawn(spawn):
    pass


def f_all(spawn, context, session):
    pass


def f_user(spawn, user):
    pass


def f_retries(spawn, user, retries=3):
    pass


def f_spawn_default(spawn=None):
    pass


def f_varargs(spawn, *rest):
    pass


def f_varkw(spawn, **kw):
    pass


def f_kwonly(spawn, *, user):
    pass


def f_posonly(spawn, user, /, retries=1, *, extra=2, **kw):
    pass


def f_annotated(spawn: "Spawn", user: int = 0) -> None:
    pass


async def f_async(spawn, user):
    pass


def f_generator(spawn, user):
    yield


def closure(prefix):
    def f_closure(spawn, user, sep="-"):
        spawn.sendline(prefix + sep + user)
    return f_closure


@functools.wraps(f_varargs)
def f_wrapping(spawn, user):
    pass


class Holder:
    def method(self, spawn, user=None):
        pass

    @classmethod
    def cmethod(cls, spawn):
        pass

    @staticmethod
    def smethod(spawn, user):
        pass

    def __call__(self, spawn, user):
        pass


class Named(Holder):
    __name__ = "named"


class WithInit:
    def __init__(self, spawn, user):
        pass


def with_attr(func, **attrs):
    """A copy of ``func`` carrying ``attrs`` as function attributes."""
    copy = types.FunctionType(func.__code__, func.__globals__, func.__name__,
                              func.__defaults__, func.__closure__)
    copy.__kwdefaults__ = func.__kwdefaults__
    for name, value in attrs.items():
        setattr(copy, name, value)
    return copy


def with_defaults(func, defaults):
    copy = with_attr(func)
    copy.__defaults__ = defaults
    return copy


def with_names(func, names):
    """``func`` with its parameter names replaced, as a code object made by
    hand may carry them."""
    code = func.__code__
    varnames = tuple(names) + code.co_varnames[len(names):]
    return types.FunctionType(code.replace(co_varnames=varnames), func.__globals__,
                              func.__name__, func.__defaults__)


def sender(text):
    return statement_action_helper(text)[0]


def sender_with(text, **attrs):
    callback = sender(text)
    for name, value in attrs.items():
        setattr(callback, name, value)
    return callback


ACTIONS = {
    # Plain functions and bound methods of them.
    "no parameters": lambda: f_none,
    "spawn": lambda: f_spawn,
    "injected only": lambda: f_all,
    "user": lambda: f_user,
    "with a default": lambda: f_retries,
    "injected name with a default": lambda: f_spawn_default,
    "*args": lambda: f_varargs,
    "**kwargs": lambda: f_varkw,
    "keyword-only": lambda: f_kwonly,
    "positional-only, keyword-only and **kwargs": lambda: f_posonly,
    "annotations": lambda: f_annotated,
    "coroutine function": lambda: f_async,
    "generator function": lambda: f_generator,
    "closure": lambda: closure("x"),
    "lambda": lambda: lambda spawn, user="u": None,
    "__wrapped__ is not followed": lambda: f_wrapping,
    "bound method": lambda: Holder().method,
    "bound class method": lambda: Holder.cmethod,
    "static method": lambda: Holder.smethod,
    "method bound twice": lambda: types.MethodType(types.MethodType(f_retries, 1), 2),
    "bound method of a function with __signature__":
        lambda: types.MethodType(with_attr(f_retries, __signature__=inspect.signature(f_all)), 1),
    # The module's own functions.
    **{"sender " + name: (lambda name=name: sender(name + "(x)")) for name in SENDERS},
    "Statement.__init__": lambda: Statement.__init__,
    "bound Statement.validate": lambda: Statement("x").validate,
    "bound Dialog.append": lambda: Dialog().append,
    "statement_action_helper": lambda: statement_action_helper,
    "statement_decorator": lambda: m.statement_decorator,
    # Attributes that change what inspect reports.
    "__signature__": lambda: with_attr(f_spawn, __signature__=inspect.signature(f_retries)),
    "__signature__ None": lambda: with_attr(f_user, __signature__=None),
    "__signature__ not a Signature": lambda: with_attr(f_user, __signature__="(spawn)"),
    "__text_signature__": lambda: with_attr(f_user, __text_signature__="(spawn, retries=1)"),
    "_partialmethod": lambda: with_attr(
        f_user, _partialmethod=functools.partialmethod(f_retries, 1)),
    "_partialmethod of another kind": lambda: with_attr(f_user, _partialmethod=1),
    "sender with __signature__": lambda: sender_with(
        "sendline(x)", __signature__=inspect.signature(f_all)),
    "sender with __text_signature__": lambda: sender_with(
        "send_ctx(x)", __text_signature__="(spawn, context, key=None)"),
    "sender with a default": lambda: sender_with("sendline(x)", __defaults__=("k",)),
    "sender with defaults for all": lambda: sender_with("send_ctx(x)", __defaults__=(1, 2, 3)),
    "sender with too many defaults": lambda: sender_with("send(x)", __defaults__=(1, 2, 3)),
    "sender renamed": lambda: sender_with("send(x)", __name__="renamed"),
    # Odd defaults.
    "no defaults, empty tuple": lambda: with_defaults(f_user, ()),
    "more defaults than parameters": lambda: with_defaults(f_user, (1, 2, 3)),
    "defaults on a function without parameters": lambda: with_defaults(f_none, (1,)),
    "defaults of *args function": lambda: with_defaults(f_varargs, (None,)),
    "tuple subclass": lambda: with_defaults(f_retries, type("Defaults", (tuple,), {})((1,))),
    # Parameter names no `def` could give.
    "reserved word": lambda: with_names(f_user, ["spawn", "class"]),
    "not an identifier": lambda: with_names(f_user, ["spawn", "1user"]),
    "empty name": lambda: with_names(f_user, ["spawn", ""]),
    "comprehension argument": lambda: with_names(f_user, [".0", "user"]),
    "duplicate names": lambda: with_names(f_user, ["spawn", "spawn"]),
    "duplicate of a keyword-only name": lambda: with_names(f_kwonly, ["user", "user"]),
    "soft keyword": lambda: with_names(f_user, ["spawn", "match"]),
    "non-ASCII identifier": lambda: with_names(f_user, ["spawn", "usér"]),
    # Callables of other kinds.
    "class": lambda: WithInit,
    "callable object without __name__": lambda: Holder(),
    "callable object with __name__": lambda: Named(),
    "functools.partial": lambda: functools.partial(f_retries, user="u"),
    "builtin function": lambda: len,
    "builtin without signature": lambda: print,
    "method descriptor": lambda: dict.get,
    "bound builtin method": lambda: {}.get,
}

ARGS = [None, {}, {"user": "u"}, {"user": "u", "retries": 1}, {"key": "k"},
        {"extra": 1}, {"spawn": 1}, {1: "u"}, ["user"]]


@pytest.mark.parametrize("make", ACTIONS.values(), ids=ACTIONS.keys())
def test_parameter_list_cases(make):
    action = make()
    for args in ARGS:
        for di_params in (m.DI_LIST, [], ["spawn", "user", "runtime"]):
            both_ways("getfullargspec",
                      lambda: Statement("p", action, args, di_params=di_params),
                      describe_statement)


class NoLength(tuple):
    def __len__(self):
        return 0


class NoItems(tuple):
    def __getitem__(self, index):
        raise IndexError(index)


# Defaults that inspect reads through the tuple's own protocol, or that
# stand for "no default" there.
@pytest.mark.parametrize("make", [
    lambda: with_defaults(f_retries, (EMPTY,)),
    lambda: with_defaults(f_retries, (EMPTY, 1)),
    lambda: with_defaults(f_retries, (1, EMPTY)),
    lambda: sender_with("sendline(x)", __defaults__=(EMPTY,)),
    lambda: with_defaults(f_retries, NoLength((1,))),
    lambda: with_defaults(f_retries, NoItems((1,))),
    lambda: sender_with("send_ctx(x)", __defaults__=NoLength((1,))),
], ids=["Parameter.empty last", "Parameter.empty first of two",
        "Parameter.empty second of two", "Parameter.empty on a sender",
        "tuple subclass without length", "tuple subclass without items",
        "sender with a tuple subclass"])
def test_defaults_read_through_inspect(make):
    action = make()
    for args in (None, {"user": "u"}, {"user": "u", "retries": 1}, {"key": "k"}):
        both_ways("getfullargspec", lambda: Statement("p", action, args),
                  describe_statement)


# Signatures as `def` writes them: positional-only, positional, defaults,
# *args or a bare *, keyword-only with and without defaults, **kwargs.
NAMES = ["spawn", "context", "session", "runtime", "user", "key", "retries", "self"]
KEYS = NAMES + ["rest", "kw", "extra"]


@st.composite
def signatures(draw):
    names = draw(st.lists(st.sampled_from(NAMES), unique=True, max_size=6))
    n_positional = draw(st.integers(0, len(names)))
    positional, keyword_only = names[:n_positional], names[n_positional:]
    n_defaults = draw(st.integers(0, n_positional))
    n_posonly = draw(st.integers(0, n_positional))
    default = st.sampled_from(["None", "0", "'x'", "()"])
    params = []
    for i, name in enumerate(positional):
        if i >= n_positional - n_defaults:
            name += "=" + draw(default)
        params.append(name)
        if i == n_posonly - 1:
            params.append("/")
    star = draw(st.sampled_from(["", "*rest"]))
    if star or keyword_only:
        params.append(star or "*")
    for name in keyword_only:
        params.append(name + ("=" + draw(default) if draw(st.booleans()) else ""))
    if draw(st.booleans()):
        params.append("**kw")
    return "def f(%s):\n    pass\n" % ", ".join(params)


@EXAMPLES
@given(source=signatures(),
       bound=st.booleans(),
       args=st.one_of(st.none(),
                      st.dictionaries(st.sampled_from(KEYS), st.integers(), max_size=4),
                      st.just(["spawn"])),
       di_params=st.one_of(st.none(),
                           st.lists(st.sampled_from(NAMES), unique=True, max_size=4)))
def test_parameter_lists_of_generated_signatures(source, bound, args, di_params):
    namespace = {}
    exec(source, namespace)
    action = namespace["f"]
    if bound:
        action = types.MethodType(action, object())
    di = m.DI_LIST if di_params is None else di_params
    both_ways("getfullargspec", lambda: Statement("p", action, args, di_params=di),
              describe_statement)


# ---------------------------------------------------------------------------
# Action texts
# ---------------------------------------------------------------------------

def describe_translation(result):
    if result[0] == "raised":
        return result
    callback, payload = result[1]
    return ("returned", type(payload), payload, sender_behaviour(callback, payload))


def translate_both_ways(action):
    both_ways("re", lambda: statement_action_helper(action), describe_translation)
    both_ways("re", lambda: Statement("p", action), describe_statement)


@pytest.mark.parametrize("action", [
    "sendline(admin)", "sendline()", "send()", "sendline_ctx()",
    "send(a(b)c)", "sendline(a)(b)", "sendline(x) ", " sendline(x)", "sendline (x)",
    "sendline(x)\n", "sendline(x)\n\n", "sendline(\n)", "sendline(a\nb)", "sendline()\n",
    "sendline(x\r)", "sendline(x\u2028y)", "sendline(x)\r\n", "send(x))\n", "send(\n",
    "send(", "send)", "", "\n", "SENDLINE(x)", "sendline_cred_user(default)",
    "sendline_cred_pass(default)", "xsendline_cred_pass(default)",
    "send_session(k)", "sendline_session(k)", "send_ctx(k)", "sendline_ctx(k)",
    "sendline_cred_user()", "sendline_cred_userx(a)", "send_ctx(a)\n)",
    "sendline(é\U0001F600)", "sendline(\x00)",
])
def test_action_text_cases(action):
    translate_both_ways(action)


class Text(str):
    pass


@pytest.mark.parametrize("action", [Text("sendline(x)"), Text("nope"), b"sendline(x)",
                                    None, 1])
def test_action_helper_on_other_objects(action):
    both_ways("re", lambda: statement_action_helper(action), describe_translation)


TEXT_PARTS = st.text(alphabet=st.one_of(st.sampled_from("()\n\r _x"), st.characters()),
                     max_size=10)


@EXAMPLES
@given(st.one_of(
    st.text(),
    st.builds(lambda head, body, tail: head + body + tail,
              st.one_of(st.sampled_from([name + "(" for name in SENDERS]), TEXT_PARTS),
              TEXT_PARTS,
              st.sampled_from([")", ")\n", "", "\n", ")\n\n", ") ", "\n)", ")x"]))))
def test_action_texts_generated(action):
    translate_both_ways(action)


# ---------------------------------------------------------------------------
# Copies of statements in dialog construction
# ---------------------------------------------------------------------------

INSTANCE_DICT = Statement.__dict__["__dict__"]


def instance_dict(obj):
    """The attribute dictionary itself, whatever the class says ``__dict__``
    is."""
    if isinstance(obj, Statement):
        return INSTANCE_DICT.__get__(obj)
    return getattr(obj, "__dict__", {})


def dialog_describer(originals):
    """Describes a dialog built from the caller's statements ``originals``:
    for each statement (and for its timeout and end-of-file statements) its
    class, whether it is one of ``originals``, and its attributes in order,
    values the originals hold compared by identity, the others by value."""
    shared = {id(v) for o in originals for v in instance_dict(o).values()}

    def value(v):
        if id(v) in shared:
            return ("shared", id(v))
        if isinstance(v, (str, int, float, type(None), list, tuple, dict)):
            return ("new", type(v), v)
        return ("new", type(v))

    def entry(stmt):
        if stmt is None:
            return None
        fields = instance_dict(stmt)
        return (type(stmt), any(stmt is o for o in originals),
                [(k, value(v)) for k, v in fields.items()])

    def describe(result):
        if result[0] == "raised":
            return result
        dialog = result[1]
        return ("returned", [entry(s) for s in dialog.statements],
                entry(dialog.timeout_statement), entry(dialog.eof_statement))

    return describe


def dialog_both_ways(elements):
    originals = [e for e in elements if isinstance(e, Statement)]
    return both_ways("copy", lambda: Dialog(elements), dialog_describer(originals))


class Plain(Statement):
    pass


class Deeper(Plain):
    def validate_loop_continue(self):
        pass


def copy_returning(value):
    def __copy__(self):
        return value
    return __copy__


class Meta(type):
    pass


class Unrelated:
    pass


def statement_class(name, namespace=None, base=Statement, meta=type):
    return meta(name, (base,), dict(namespace or {}))


CLASSES = {
    "Statement": lambda: Statement,
    "plain subclass": lambda: Plain,
    "subclass of a subclass": lambda: Deeper,
    "__copy__": lambda: statement_class("C", {"__copy__": copy_returning(Statement("copied"))}),
    "__copy__ raising": lambda: statement_class(
        "C", {"__copy__": lambda self: {}["missing"]}),
    "__reduce_ex__": lambda: statement_class(
        "C", {"__reduce_ex__": lambda self, proto: (Statement, ("reduced",))}),
    "__reduce_ex__ giving a str": lambda: statement_class(
        "C", {"__reduce_ex__": lambda self, proto: "global name"}),
    "__reduce__": lambda: statement_class(
        "C", {"__reduce__": lambda self: (Statement, ("reduced",))}),
    "__getstate__": lambda: statement_class(
        "C", {"__getstate__": lambda self: {"pattern": "state"}}),
    "__setstate__": lambda: statement_class(
        "C", {"__setstate__": lambda self, state: vars(self).update(state, pattern="set")}),
    "__getnewargs__": lambda: statement_class(
        "C", {"__getnewargs__": lambda self: ("new",),
              "__new__": lambda cls, *a: object.__new__(cls)}),
    "__getnewargs_ex__": lambda: statement_class(
        "C", {"__getnewargs_ex__": lambda self: ((), {})}),
    "__getattr__": lambda: statement_class("C", {"__getattr__": lambda self, name: "dynamic"}),
    "__getattribute__": lambda: statement_class(
        "C", {"__getattribute__": lambda self, name: object.__getattribute__(self, name)}),
    "__slots__": lambda: statement_class("C", {"__slots__": ("extra",)}),
    "__new__": lambda: statement_class("C", {"__new__": lambda cls, *a, **k: object.__new__(cls)}),
    "__dict__ property": lambda: statement_class(
        "C", {"__dict__": property(lambda self: {"pattern": "property"})}),
    "__dict__ of another class": lambda: statement_class(
        "C", {"__dict__": Unrelated.__dict__["__dict__"]}),
    "__slotnames__ listed": lambda: statement_class("C", {"__slotnames__": ["extra"]}),
    "metaclass": lambda: statement_class("C", meta=Meta),
    "ABCMeta": lambda: statement_class("C", meta=abc.ABCMeta),
    "hook on a base class": lambda: statement_class(
        "C", base=statement_class("B", {"__copy__": copy_returning(Statement("copied"))})),
}


@pytest.mark.parametrize("make", CLASSES.values(), ids=CLASSES.keys())
def test_copy_of_statement_classes(make):
    cls = make()
    elements = [cls("a"), ["b", None], cls("__timeout__"), cls("__eof__")]
    dialog_both_ways(elements)


def test_copy_keeps_every_attribute_in_order():
    stmt = Plain("a", f_user, {"user": "u"})
    stmt.extra = object()
    vars(stmt)[1] = "not a name"
    del stmt.trim_buffer
    bare = Plain("b")
    vars(bare).clear()
    dialog_both_ways([stmt, bare, Statement("c")])


@pytest.mark.parametrize("table", ["dispatch_table", "_copy_dispatch", "new dispatch_table"])
def test_copy_of_classes_in_the_copy_tables(table):
    cls = statement_class("C")
    with pytest.MonkeyPatch.context() as mp:
        if table == "_copy_dispatch":
            mp.setitem(copy_module._copy_dispatch, cls, lambda x: Statement("registered"))
        elif table == "dispatch_table":
            mp.setitem(copyreg.dispatch_table, cls, lambda x: (Statement, ("registered",)))
        else:
            mp.setattr(copy_module, "dispatch_table", {cls: lambda x: (Statement, ("new",))})
        dialog_both_ways([cls("a"), Statement("b")])


class ShuffledDict(dict):
    def __iter__(self):
        return iter(sorted(super().__iter__(), key=str, reverse=True))

    def keys(self):
        return list(self)


def test_copy_of_statement_whose_dict_is_a_dict_subclass():
    stmt = Statement("a", f_user, {"user": "u"})
    stmt.__dict__ = ShuffledDict(vars(stmt))
    dialog_both_ways([stmt])


@pytest.mark.parametrize("attribute, value", [
    ("__reduce_ex__", lambda proto: (Statement, ("reduced",))),
    ("__getstate__", lambda: {"pattern": "state"}),
    ("__reduce__", lambda: (Statement, ("reduced",))),
    ("__copy__", lambda: Statement("copied")),
    ("__setstate__", lambda state: None),
], ids=lambda v: v if isinstance(v, str) else "")
def test_copy_of_statement_with_hook_on_the_instance(attribute, value):
    stmt = Statement("a")
    setattr(stmt, attribute, value)
    dialog_both_ways([stmt])


def test_copy_of_abstract_statement_class():
    cls = statement_class("C")
    stmt = cls("a")
    cls.__abstractmethods__ = frozenset({"missing"})
    dialog_both_ways([stmt])


def test_copy_follows_changes_of_the_class():
    base = statement_class("B")
    cls = statement_class("C", base=base)
    stmt = cls("a")
    dialog_both_ways([stmt])
    cls.__copy__ = copy_returning(Statement("copied"))
    dialog_both_ways([stmt])
    del cls.__copy__
    dialog_both_ways([stmt])
    base.__reduce_ex__ = lambda self, proto: (Statement, ("reduced",))
    dialog_both_ways([stmt])
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(Statement, "__copy__", copy_returning(Statement("copied")), raising=False)
        dialog_both_ways([Statement("a")])
    dialog_both_ways([Statement("a")])


def test_copy_follows_changes_of_the_class_after_the_type_cache_is_cleared():
    # Clearing the interpreter's type cache numbers class versions from 1
    # again: a class changed since it was last copied can come back to the
    # version number it had then.
    cls = statement_class("C")
    stmt = cls("a")
    dialog_both_ways([stmt])
    sys._clear_type_cache()
    for _ in range(3000):
        type("T", (), {}).__init__  # version numbers move on
    cls.__init__                    # the class gets the next one
    Dialog([stmt])                  # and is judged while it is plain
    replace = copy_returning(Statement("copied"))
    cls.__copy__ = replace
    expected = dialog_both_ways([stmt])
    describe = dialog_describer([stmt])
    sys._clear_type_cache()
    for _ in range(6000):
        cls.__copy__ = replace      # the class changes
        cls.__copy__                # and is given its next version number
        assert describe(outcome(lambda: Dialog([stmt]))) == expected


def test_dialog_sum_copies_both_ways():
    left = Dialog([Plain("a"), Statement("__timeout__")])
    right = Dialog([statement_class("C", {"__copy__": copy_returning(Statement("c"))})("b")])
    right.statements.append(Statement("__eof__"))
    both_ways("copy", lambda: left + right,
              dialog_describer(left.statements + right.statements))


# ---------------------------------------------------------------------------
# The shortcuts are taken at all
# ---------------------------------------------------------------------------

@contextlib.contextmanager
def counting(owner, name):
    calls = []
    original = getattr(owner, name)

    def spy(*args, **kwargs):
        calls.append(args)
        return original(*args, **kwargs)

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(owner, name, spy)
        yield calls


@pytest.mark.parametrize("collaborator, owner, internal, run", [
    ("getfullargspec", inspect, "_signature_from_callable",
     lambda: Statement("p", f_retries, {"user": "u"})),
    ("getfullargspec", inspect, "_signature_from_callable",
     lambda: Statement("p", sender("send_ctx(x)"), {"key": "k"})),
    ("re", re, "_compile", lambda: statement_action_helper("sendline_cred_pass(default)")),
    ("copy", copy_module, "_reconstruct", lambda: Dialog([Plain("a")])),
])
def test_plain_cases_skip_the_library_and_wrappers_do_not(collaborator, owner, internal, run):
    # Built without the shortcuts, the module always takes the library.
    with counting(owner, internal) as calls:
        run()
    assert bool(calls) != _build.FAST_PATHS
    for rebind in GENERAL[collaborator]:
        with pytest.MonkeyPatch.context() as mp:
            rebind(mp)
            with counting(owner, internal) as calls:
                run()
        assert calls


# --- text forms: argument dicts of plain strings are written without repr ---

def _kwargs_action(spawn, **kwargs):
    pass


@settings(max_examples=200, deadline=None)
@given(st.dictionaries(st.text(max_size=6), st.one_of(st.text(max_size=6), st.integers(), st.none()),
                       max_size=10))
def test_args_text_is_the_dicts_own_text(args):
    args = {key: value for key, value in args.items() if key not in m.DI_LIST}
    statement = Statement("p", _kwargs_action, args)
    assert str(statement) == (f"[pattern='p', action=_kwargs_action, args={args}, "
                              "loop_continue=False, continue_timer=False, trim_buffer=True]")


# --- attributes are read afresh whenever reading them can run code ---

class CountingReads(Statement):
    """A statement whose fields are properties that count their reads."""

    def __init__(self, *args, **kwargs):
        self.reads = {}
        super().__init__(*args, **kwargs)

    def _field(name):
        def get(self):
            self.reads[name] = self.reads.get(name, 0) + 1
            return self.__dict__["_" + name]

        def put(self, value):
            self.__dict__["_" + name] = value

        return property(get, put)

    pattern = _field("pattern")
    action = _field("action")
    args = _field("args")


class Collider:
    """A key of a statement's own __dict__ that hashes like a field name and
    stands before it in the lookup, so that every read of the field compares
    the two: caller code at each read, as a property would run.  It counts
    the comparisons."""

    def __init__(self, name):
        self.name, self.compared = name, 0

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        self.compared += 1
        return False


def colliding(statement, name):
    value = vars(statement).pop(name)
    key = Collider(name)
    vars(statement)[key] = None
    vars(statement)[name] = value
    # Compared at each lookup as often as the probe sequence meets it.
    key.compared = 0
    vars(statement)[name]
    key.per_read, key.compared = key.compared, 0
    return key


@pytest.mark.parametrize("check, reads", [
    ("validate_pattern", {"pattern": 2}),         # isinstance(list/tuple), then isinstance(str)
    ("validate_action", {"action": 2, "args": 1}),  # callable(), type() is str, args is None
])
def test_fields_read_through_caller_code_are_read_at_every_use(check, reads):
    statement = CountingReads("p")
    statement.reads.clear()
    getattr(statement, check)()
    assert statement.reads == reads
    for name, count in reads.items():
        statement = Statement("p")
        key = colliding(statement, name)
        getattr(statement, check)()
        assert key.compared == count * key.per_read, name


@pytest.mark.parametrize("name", ["args", "di_params"])
def test_callable_rules_read_colliding_fields_afresh(name):
    def run():
        statement = Statement("p", f_retries, {"user": "u"}, di_params=["spawn"])
        key = colliding(statement, name)
        statement.validate_action()
        return key.compared

    both_ways("getfullargspec", run, lambda result: result)


@pytest.mark.parametrize("name", ["args", "di_params"])
def test_callable_rules_report_a_missing_field_where_they_read_it(name):
    def run():
        statement = Statement("p", f_retries, {"user": "u"})
        statement.args = 5  # the first rule fails before di_params is read
        delattr(statement, name)
        statement.validate_action()

    both_ways("getfullargspec", run, lambda result: result)


def test_isinstance_looks_up_class_where_the_interpreter_does():
    # A tuple subclass passes isinstance(x, (list, tuple)) on the second
    # class only, after the first one's failed type test looked up
    # x.__class__, which this one answers with code of its own.
    looked = []

    class Patterns(tuple):
        @property
        def __class__(self):
            looked.append(1)
            return tuple

    patterns = Patterns(("a", "b"))
    isinstance(patterns, (list, tuple))
    expected, looked[:] = len(looked), []
    Statement(patterns)  # validate_pattern tests the pattern once
    assert len(looked) == expected > 0
