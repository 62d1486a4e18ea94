"""Statement: construction, fields, validation of patterns, flags and actions,
equality and the text form."""

import contextlib
import functools
import inspect
import types

import pytest
from hypothesis import given, settings, strategies as st

from leakcheck import check_no_leak
from tavrel.eal import dialogs as m
from tavrel.eal.dialogs import Statement
from fakes import Spawn

SVE = m.StatementValidationError
DI = m.DI_LIST

MSG1 = "args must be a dict or None"
MSG8 = 'if action is string, then "args" should be left None'
MSG9 = 'if action is None, then "args" should also be left None'


def msg2(param, c_name):
    return f'"{param}" must be a positional argument in the action callable: {c_name}'


def msg3(c_name):
    return f"use of *varargs is prohibited in action callable: {c_name}"


def msg4(c_name, di_params=DI):
    return (f'"args" cannot be left None in case action callable "{c_name}" '
            f"requires any non-default value other than {di_params}")


def msg5(arg):
    return (f'"{arg}" cannot be a key in "args", even though it is required, '
            "because it will be automatically injected in the session by the "
            "calling program")


def msg6(arg, c_name):
    return (f'value for positional arg "{arg}", for action callback "{c_name}", '
            "must be provided in args dict")


def msg7(arg, c_name):
    return (f'arg "{arg}" is not present in action callback "{c_name}"\'s '
            "signature, in that case **kwargs must be present in action callback")


def expected_text(pattern, action, args, loop_continue, continue_timer, trim_buffer):
    return (f"[pattern='{pattern}', action={action}, args={args}, "
            f"loop_continue={loop_continue}, continue_timer={continue_timer}, "
            f"trim_buffer={trim_buffer}]")


@contextlib.contextmanager
def raises_sve(message):
    """StatementValidationError built from exactly ``message``."""
    with pytest.raises(SVE) as info:
        yield info
    assert info.value.args == (message,)


# Actions used throughout; their names appear in messages.
def cb_spawn(spawn):
    pass


def cb_all(spawn, context, session):
    pass


def cb_user(spawn, user):
    pass


def cb_spawn_default(spawn=None):
    pass


def cb_varargs(spawn, *rest):
    pass


def cb_default_varargs(spawn=None, *rest):
    pass


def cb_kw(spawn, **kw):
    pass


def cb_retries(spawn, user, retries=3):
    pass


def cb_kwonly(spawn, *, user):
    pass


def cb_ctx_sess_default(spawn, context=None, session=None):
    pass


def cb_two(spawn, a, b):
    pass


def cb_opt(spawn, x=1):
    pass


class Owner:
    def meth(self, spawn):
        pass


class ActionClass:
    def __init__(self, spawn):
        pass


class Nameless:
    def __call__(self, spawn):
        pass


class Named:
    def __init__(self, name):
        self.__name__ = name

    def __call__(self, spawn):
        pass


class NamedVarargs(Named):
    def __call__(self, *rest):
        pass


class MyStr(str):
    pass


class TupleEqualsAll(tuple):
    def __eq__(self, other):
        return True

    __hash__ = tuple.__hash__


class MyList(list):
    pass


class MyDict(dict):
    pass



# --------------------------------------------------------------------------
# Construction and fields
# --------------------------------------------------------------------------

def test_defaults():
    s = Statement("x")
    assert s.pattern == "x"
    assert s.action is None and s._action is None and s.args is None
    assert s.loop_continue is False and s.continue_timer is False
    assert s.trim_buffer is True and s.debug_statement is False
    assert s.matched_retries == 0 and type(s.matched_retries) is int
    assert s.matched_retry_sleep == 0.02 and type(s.matched_retry_sleep) is float
    assert s.di_params is DI
    assert s.match == [] and type(s.match) is list
    assert Statement("x").match is not s.match


def test_fields_keep_the_objects_given():
    pattern = ["a", "b"]
    args = {"user": 1}
    di_params = ["spawn"]
    retries, sleep = object(), object()
    s = Statement(pattern, cb_user, args, True, True, False, retries, sleep,
                  di_params, True)
    assert s.pattern is pattern and s.action is cb_user and s.args is args
    assert s.di_params is di_params
    assert s.matched_retries is retries and s.matched_retry_sleep is sleep
    assert (s.loop_continue, s.continue_timer, s.trim_buffer, s.debug_statement) == (
        True, True, False, True)


@pytest.mark.parametrize("value", [0, 5, "3", 0.0, [], None])
def test_matched_retries_only_none_is_replaced(value):
    s = Statement("x", matched_retries=value, matched_retry_sleep=value)
    expected = (0, 0.02) if value is None else (value, value)
    assert (s.matched_retries, s.matched_retry_sleep) == expected
    if value is not None:
        assert s.matched_retries is value and s.matched_retry_sleep is value


def test_reinit_reassigns_everything():
    s = Statement("x", loop_continue=True)
    old_match = s.match
    s.match.append(1)
    assert s.__init__("y") is None
    assert s.pattern == "y" and s.loop_continue is False
    assert s.match == [] and s.match is not old_match


def test_failed_init_leaves_all_fields_assigned():
    s = Statement("x")
    with raises_sve("loop_continue must be boolean, i.e. True|False"):
        s.__init__("y", loop_continue=1, matched_retries=4, debug_statement=True)
    assert (s.pattern, s.loop_continue, s.matched_retries, s.debug_statement) == (
        "y", 1, 4, True)
    # A fault after the action check: the text action was already translated.
    with raises_sve("trim_buffer must be boolean, i.e. True|False"):
        s.__init__("y", "sendline(z)", trim_buffer=None)
    assert s.action.__name__ == "sendline" and s.args == {"key": "z"}


# --------------------------------------------------------------------------
# Pattern
# --------------------------------------------------------------------------

@pytest.mark.parametrize(
    "pattern",
    ["", "x", MyStr("x"), ["a", "b"], ("a",), [], (), MyList(["a"]),
     [MyStr("a"), "b"], ["__timeout__"]],
    ids=repr,
)
def test_valid_patterns(pattern):
    assert Statement(pattern).pattern is pattern


@pytest.mark.parametrize(
    "pattern, message",
    [
        (["a", 1], "pattern must be string"),
        ((None,), "pattern must be string"),
        ([b"a"], "pattern must be string"),
        (MyList(["a", 2]), "pattern must be string"),
        ([["a"]], "pattern must be string"),
        (1, "pattern must be str, list or tuple"),
        (None, "pattern must be str, list or tuple"),
        (b"x", "pattern must be str, list or tuple"),
        ({"a"}, "pattern must be str, list or tuple"),
        ({"a": 1}, "pattern must be str, list or tuple"),
        (iter(["a"]), "pattern must be str, list or tuple"),
    ],
    ids=repr,
)
def test_invalid_patterns(pattern, message):
    with raises_sve(message):
        Statement(pattern)


# --------------------------------------------------------------------------
# Flags
# --------------------------------------------------------------------------

FLAGS = ["loop_continue", "continue_timer", "trim_buffer", "debug_statement"]


@pytest.mark.parametrize("flag", FLAGS)
@pytest.mark.parametrize("value", [1, 0, None, "True", 1.0, [True]], ids=repr)
def test_flags_must_be_exactly_bool(flag, value):
    with raises_sve(f"{flag} must be boolean, i.e. True|False"):
        Statement("x", **{flag: value})


@pytest.mark.parametrize("flag", FLAGS)
@pytest.mark.parametrize("value", [True, False])
def test_flags_accept_bool(flag, value):
    assert getattr(Statement("x", **{flag: value}), flag) is value


class EqualsAnything(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class EqualityFails(str):
    def __eq__(self, other):
        raise RuntimeError("no comparison")

    __hash__ = str.__hash__


@pytest.mark.parametrize(
    "pattern, continue_timer, message",
    [
        ("__timeout__", True, "in timeout handler statement, continue_timer must be False"),
        (MyStr("__timeout__"), True, "in timeout handler statement, continue_timer must be False"),
        (EqualsAnything("abc"), True, "in timeout handler statement, continue_timer must be False"),
        ("__timeout__", "yes", "continue_timer must be boolean, i.e. True|False"),
        ("__timeout__", 0, "continue_timer must be boolean, i.e. True|False"),
        ("__timeout__", False, None),
        (["__timeout__"], True, None),
        (("__timeout__",), True, None),
        ("__eof__", True, None),
        ("__timeout__ ", True, None),
    ],
    ids=repr,
)
def test_timeout_handler_continue_timer(pattern, continue_timer, message):
    if message is None:
        assert Statement(pattern, continue_timer=continue_timer).continue_timer is continue_timer
    else:
        with raises_sve(message):
            Statement(pattern, continue_timer=continue_timer)


class IteratesOther(list):
    def __iter__(self):
        return iter([1])


class IterationFails(tuple):
    def __iter__(self):
        raise LookupError("no iteration")


def test_pattern_iterated_like_python():
    # The sequence's own iteration decides, not its stored items.
    with raises_sve("pattern must be string"):
        Statement(IteratesOther(["a"]))
    with pytest.raises(LookupError, match="no iteration"):
        Statement(IterationFails(("a",)))


def test_pattern_equality_errors_propagate():
    with pytest.raises(RuntimeError, match="no comparison"):
        Statement(EqualityFails("x"))


# --------------------------------------------------------------------------
# Validation order
# --------------------------------------------------------------------------

@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(pattern=1, loop_continue=1), "pattern must be str, list or tuple"),
        (dict(pattern=1, action="bogus"), "pattern must be str, list or tuple"),
        (dict(pattern="x", action="bogus", loop_continue=1), "wrong format: bogus"),
        (dict(pattern="x", args={}, loop_continue=1), MSG9),
        (dict(pattern="x", loop_continue=1, continue_timer=1),
         "loop_continue must be boolean, i.e. True|False"),
        (dict(pattern="x", trim_buffer=1, debug_statement=1),
         "trim_buffer must be boolean, i.e. True|False"),
        (dict(pattern="x", continue_timer=1, trim_buffer=1),
         "continue_timer must be boolean, i.e. True|False"),
        (dict(pattern="__timeout__", continue_timer=True, trim_buffer=1),
         "in timeout handler statement, continue_timer must be False"),
        (dict(pattern="x", debug_statement=None), "debug_statement must be boolean, i.e. True|False"),
    ],
)
def test_first_fault_reported(kwargs, message):
    with raises_sve(message):
        Statement(**kwargs)


def test_validate_calls_checks_by_name_in_order():
    calls = []

    def recorder(name):
        def check(self):
            calls.append(name)
            return getattr(Statement, name)(self)
        return check

    order = ["validate_pattern", "validate_action", "validate_loop_continue",
             "validate_continue_timer", "validate_trim_buffer",
             "validate_debug_statement"]
    Sub = type("Sub", (Statement,), {name: recorder(name) for name in order})
    s = Sub("x")
    assert calls == order
    calls.clear()
    assert s.validate() is None
    assert calls == order


def test_subclass_validator_overrides():
    class Strict(Statement):
        def validate_pattern(self):
            if self.pattern == "forbidden":
                raise ValueError("forbidden pattern")

    class Lenient(Statement):
        def validate_loop_continue(self):
            pass

    class NoChecks(Statement):
        def validate(self):
            self.validated = True

    with pytest.raises(ValueError, match="forbidden pattern"):
        Strict("forbidden")
    assert Strict(1).pattern == 1  # its own check replaced the base one
    assert Lenient("x", loop_continue=1).loop_continue == 1
    s = NoChecks(None, "not validated", args=5)
    assert s.validated and s.action == "not validated" and s.args == 5


def test_instance_attribute_validator_is_used():
    s = Statement("x")
    s.validate_pattern = lambda: (_ for _ in ()).throw(KeyError("instance"))
    with pytest.raises(KeyError):
        s.validate()


def test_validators_check_current_values():
    s = Statement("x")
    s.loop_continue = 1  # accepted silently
    with raises_sve("loop_continue must be boolean, i.e. True|False"):
        s.validate_loop_continue()
    with raises_sve("loop_continue must be boolean, i.e. True|False"):
        s.validate()
    s.loop_continue = True
    s.pattern = [1]
    with raises_sve("pattern must be string"):
        s.validate()


@pytest.mark.parametrize("validator", [
    "validate", "validate_pattern", "validate_action", "validate_loop_continue",
    "validate_debug_statement", "validate_continue_timer", "validate_trim_buffer",
])
def test_validators_return_none(validator):
    assert getattr(Statement("x", "send(a)"), validator)() is None


@pytest.mark.parametrize("field, validator", [
    ("pattern", "validate_pattern"),
    ("loop_continue", "validate_loop_continue"),
    ("continue_timer", "validate_continue_timer"),
    ("trim_buffer", "validate_trim_buffer"),
    ("debug_statement", "validate_debug_statement"),
    ("action", "validate_action"),
    ("di_params", "validate_action"),
])
def test_missing_attribute_propagates(field, validator):
    s = Statement("x", cb_spawn)
    delattr(s, field)
    with pytest.raises(AttributeError):
        getattr(s, validator)()


def test_property_errors_propagate():
    class Prop(Statement):
        @property
        def trim_buffer(self):
            raise LookupError("computed")

        @trim_buffer.setter
        def trim_buffer(self, value):
            pass

    with pytest.raises(LookupError, match="computed"):
        Prop("x")


# --------------------------------------------------------------------------
# Actions
# --------------------------------------------------------------------------

ACTION_CASES = [
    # (action, args, di_params or DI, expected message or None)
    (cb_spawn, None, DI, None),
    (cb_all, None, DI, None),
    (cb_spawn, {}, DI, None),
    (cb_user, {"user": 1}, DI, None),
    (cb_user, MyDict(user=1), DI, None),
    (cb_retries, {"user": 1, "retries": 2}, DI, None),
    (cb_opt, {"x": 2}, DI, None),
    (cb_kw, {"extra": 1}, DI, None),
    (cb_kwonly, None, DI, None),
    (lambda spawn: None, None, DI, None),
    (Owner().meth, {"self": 1}, DI, None),
    (ActionClass, {"self": 1}, DI, None),
    (cb_spawn, {"spawn": 1}, [], None),
    (cb_spawn, None, {"spawn"}, None),
    (cb_user, None, ("spawn", "user"), None),
    # message 1
    (cb_spawn, [], DI, MSG1),
    (cb_spawn, "abc", DI, MSG1),
    (cb_spawn, ("a",), DI, MSG1),
    (cb_default_varargs, [1], DI, MSG1),
    # message 2
    (cb_spawn_default, None, DI, msg2("spawn", "cb_spawn_default")),
    (cb_spawn_default, {}, DI, msg2("spawn", "cb_spawn_default")),
    (cb_ctx_sess_default, None, DI, msg2("context", "cb_ctx_sess_default")),
    (cb_default_varargs, None, DI, msg2("spawn", "cb_default_varargs")),
    (cb_spawn_default, None, [TupleEqualsAll(("a", "b"))],
     msg2("('a', 'b')", "cb_spawn_default")),
    # message 3
    (cb_varargs, None, DI, msg3("cb_varargs")),
    (cb_varargs, {"x": 1}, DI, msg3("cb_varargs")),
    (cb_varargs, {}, DI, msg3("cb_varargs")),
    (NamedVarargs(("x", "y")), None, DI, msg3("('x', 'y')")),
    # message 4
    (cb_user, None, DI, msg4("cb_user")),
    (lambda x: None, None, DI, msg4("<lambda>")),
    (Owner().meth, None, DI, msg4("meth")),
    (ActionClass, None, DI, msg4("ActionClass")),
    (Named("named"), None, DI, msg4("named")),
    (len, None, DI, msg4("len")),
    (cb_spawn, None, [], msg4("cb_spawn", [])),
    (cb_user, None, {"spawn"}, msg4("cb_user", {"spawn"})),
    (cb_user, None, ("spawn",), msg4("cb_user", ("spawn",))),
    (cb_user, None, ("spawn", "context"), msg4("cb_user", ("spawn", "context"))),
    (cb_user, None, "spawn", msg4("cb_user", "spawn")),
    (Named(("x", "y")), None, DI, msg4("('x', 'y')")),
    # message 5
    (cb_spawn, {"spawn": 1}, DI, msg5("spawn")),
    (cb_kw, {"context": 1}, DI, msg5("context")),
    (cb_user, {"user": 1, "session": 2, "context": 3}, DI, msg5("context")),
    (cb_kw, {("a", "b"): 1}, [("a", "b")], msg5(("a", "b"))),
    # message 6
    (cb_retries, {"retries": 1}, DI, msg6("user", "cb_retries")),
    (cb_user, {}, DI, msg6("user", "cb_user")),
    (cb_two, {}, DI, msg6("a", "cb_two")),
    (cb_two, {"a": 1}, DI, msg6("b", "cb_two")),
    (Named(("x", "y")), {}, DI, msg6("self", "('x', 'y')")),
    # message 7
    (cb_spawn, {"extra": 1}, DI, msg7("extra", "cb_spawn")),
    (cb_spawn, {"x": 1, "y": 2}, DI, msg7("x", "cb_spawn")),
    (cb_spawn, {1: "v"}, DI, msg7(1, "cb_spawn")),
    (cb_kwonly, {"user": 1}, DI, msg7("user", "cb_kwonly")),
    (cb_user, {"user": 1, ("t",): 2}, DI, msg7(("t",), "cb_user")),
]


@pytest.mark.parametrize("action, args, di_params, message", ACTION_CASES)
def test_callable_actions(action, args, di_params, message):
    if message is None:
        s = Statement("x", action, args, di_params=di_params)
        assert s.action is action and s.args is args and s.di_params is di_params
        assert s.validate_action() is None
    else:
        with raises_sve(message):
            Statement("x", action, args, di_params=di_params)


@pytest.mark.parametrize("action, args, di_params, message", ACTION_CASES)
def test_failed_action_check_changes_nothing(action, args, di_params, message):
    s = Statement("x")
    s.action, s.args, s.di_params = action, args, di_params
    if message is None:
        s.validate_action()
    else:
        with raises_sve(message):
            s.validate_action()
    assert s.action is action and s.args is args and s.di_params is di_params


@pytest.mark.parametrize(
    "action, error",
    [
        (Nameless(), AttributeError),
        (functools.partial(cb_user, user=1), AttributeError),
        (max, TypeError),  # no signature to inspect (print has one from 3.11)
    ],
    ids=repr,
)
def test_action_errors_propagate(action, error):
    with pytest.raises(error) as info:
        Statement("x", action)
    assert not isinstance(info.value, SVE)


@pytest.mark.parametrize("di_params", [5, None, [["unhashable"]]], ids=repr)
def test_bad_di_params_propagate(di_params):
    # Iterating, or hashing for the subset test, is the interpreter's business.
    with pytest.raises(TypeError):
        Statement("x", cb_user, None, di_params=di_params)


class ItemsOverride(dict):
    def items(self):
        return [("bogus", 1)]


class ContainsOverride(dict):
    def __contains__(self, key):
        return key == "spawn" or dict.__contains__(self, key)


def test_args_mapping_protocol_of_dict_subclasses():
    with raises_sve(msg7("bogus", "cb_user")):
        Statement("x", cb_user, ItemsOverride(user=1))
    with raises_sve(msg5("spawn")):
        Statement("x", cb_spawn, ContainsOverride())


def test_argspec_read_by_attribute(monkeypatch):
    monkeypatch.setattr(m, "getfullargspec", lambda action: types.SimpleNamespace(
        args=("spawn", "user"), defaults=(), varargs="", varkw=0))
    with raises_sve(msg4("cb_spawn")):
        Statement("x", cb_spawn)
    assert Statement("x", cb_spawn, {"user": 1}).args == {"user": 1}


def test_helper_result_unpacked_as_iterable(monkeypatch):
    monkeypatch.setattr(m, "statement_action_helper", lambda text: iter([cb_spawn, "p"]))
    s = Statement("x", "anything")
    assert s.action is cb_spawn and s.args == {"key": "p"}


def test_non_str_callable_name_in_messages_and_text():
    with raises_sve(msg4("5")):
        Statement("x", Named(5))
    s = Statement("x", Named(5), {"self": 1})
    assert str(s) == expected_text("x", 5, {"self": 1}, False, False, True)


class Mutating(str):
    """A name whose comparison empties the container it came from."""

    def __new__(cls, text, container, result):
        self = super().__new__(cls, text)
        self.container, self.result = container, result
        return self

    def __eq__(self, other):
        self.container.clear()
        return self.result

    __hash__ = str.__hash__


def test_containers_emptied_during_checks():
    # Each name must stay alive while it is compared and reported, although
    # the comparison drops the container's reference to it.
    args = {}
    args[Mutating("evil", args, False)] = 1
    with raises_sve(msg7("evil", "cb_spawn")):
        Statement("x", cb_spawn, args)

    di_params = []
    di_params.append(Mutating("spawn", di_params, True))
    with raises_sve(msg2("spawn", "cb_spawn_default")):
        Statement("x", cb_spawn_default, None, di_params=di_params)

    di_params = []
    di_params.append(Mutating("spawn", di_params, True))
    with raises_sve(msg5("spawn")):
        Statement("x", cb_spawn, {"spawn": 1}, di_params=di_params)


def test_positional_names_emptied_during_checks(monkeypatch):
    names = []
    names.append(Mutating("user", names, False))
    monkeypatch.setattr(m, "getfullargspec", lambda action: types.SimpleNamespace(
        args=names, defaults=None, varargs=None, varkw=None))
    with raises_sve(msg6("user", "cb_spawn")):
        Statement("x", cb_spawn, {})


def test_more_defaults_than_parameters(monkeypatch):
    monkeypatch.setattr(m, "getfullargspec", lambda action: types.SimpleNamespace(
        args=["spawn"], defaults=(1, 2, 3), varargs=None, varkw=None))
    with raises_sve(msg2("spawn", "cb_spawn")):
        Statement("x", cb_spawn)
    assert Statement("x", cb_spawn, di_params=["other"]).args is None


def test_attributes_read_afresh_after_argspec(monkeypatch):
    s = Statement("x")

    def replacing_args(action):
        s.args = {"bogus": 1}
        return inspect.getfullargspec(action)

    monkeypatch.setattr(m, "getfullargspec", replacing_args)
    s.action, s.args = cb_user, {"user": 1}
    with raises_sve(msg6("user", "cb_user")):
        s.validate_action()

    def replacing_action(action):
        s.action = cb_all
        return inspect.getfullargspec(action)

    monkeypatch.setattr(m, "getfullargspec", replacing_action)
    s.action, s.args = cb_user, None
    with raises_sve(msg4("cb_all")):  # the name is read from the statement now
        s.validate_action()


def test_di_params_ignored_without_callable():
    assert Statement("x", di_params=5).di_params == 5


SENDER_TEXTS = [
    ("send(a)", "send", "a"),
    ("sendline(admin)", "sendline", "admin"),
    ("sendline()", "sendline", ""),
    ("send_ctx(k)", "send_ctx", "k"),
    ("sendline_ctx(k)", "sendline_ctx", "k"),
    ("send_session(k)", "send_session", "k"),
    ("sendline_session(k)", "sendline_session", "k"),
    ("sendline_cred_user(default)", "sendline_cred_user", "default"),
    ("sendline_cred_pass(default)", "sendline_cred_pass", "default"),
]


@pytest.mark.parametrize("text, sender, payload", SENDER_TEXTS)
def test_text_actions_are_translated(text, sender, payload):
    s = Statement("x", text)
    assert callable(s.action) and s.action.__name__ == sender
    assert s.action.__qualname__ == f"statement_action_helper.<locals>.{sender}"
    assert type(s.args) is dict and s.args == {"key": payload}
    assert type(s.args["key"]) is str


@pytest.mark.parametrize("text, sender, payload", SENDER_TEXTS)
def test_translated_actions_revalidate(text, sender, payload):
    s = Statement("x", text)
    action, args = s.action, s.args
    if sender in ("send_session", "sendline_session"):
        with raises_sve(msg6("runtime", sender)):
            s.validate_action()
        s.di_params = ["spawn", "runtime"]
    s.validate_action()
    s.validate()
    assert s.action is action and s.args is args


def test_translated_action_sends():
    s = Statement("x", "sendline(admin)")
    spawn = Spawn()
    s.action(spawn, **s.args)
    assert spawn.calls == [("sendline", "admin")]


@pytest.mark.parametrize("args", [{}, {"key": "a"}, [], 0, ""], ids=repr)
def test_text_action_with_args(args):
    with raises_sve(MSG8):
        Statement("x", "sendline(a)", args)
    s = Statement("x")
    s.action, s.args = "sendline(a)", args
    with raises_sve(MSG8):
        s.validate_action()
    assert s.action == "sendline(a)" and s.args is args


@pytest.mark.parametrize(
    "text, message",
    [
        ("bogus", "wrong format: bogus"),
        ("", "wrong format: "),
        ("sendline(x) ", "wrong format: sendline(x) "),
        ("send()", "you must provide some argument in the parenthesis"),
    ],
)
def test_text_action_helper_errors(text, message):
    with raises_sve(message):
        Statement("x", text)
    s = Statement("x")
    s.action = text
    with raises_sve(message):
        s.validate_action()
    assert s.action is text and s.args is None


@pytest.mark.parametrize(
    "action", [MyStr("sendline(a)"), 5, 1.5, b"sendline(a)", ["sendline(a)"],
               types.SimpleNamespace()], ids=repr)
def test_non_callable_non_str_actions_are_no_action(action):
    s = Statement("x", action)
    assert s.action is action and s.args is None
    for args in ({}, {"key": 1}, [], 0):
        with raises_sve(MSG9):
            Statement("x", action, args)


@pytest.mark.parametrize("args", [{}, {"a": 1}, [], 0, "", False], ids=repr)
def test_no_action_with_args(args):
    with raises_sve(MSG9):
        Statement("x", None, args)


def test_action_setters_after_construction():
    s = Statement("x")
    s.action = "send(b)"
    s.validate()
    assert s.action.__name__ == "send" and s.args == {"key": "b"}


def _record(**fields):
    base = dict(pattern="p", action=None, args=None, loop_continue=False,
                continue_timer=False, trim_buffer=True, debug_statement=False,
                di_params=["spawn"])
    base.update(fields)
    return types.SimpleNamespace(**base)


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: Statement.__str__(_record()),
         expected_text("p", None, None, False, False, True)),
        (lambda: Statement.validate_pattern(_record(pattern=["x"])), None),
        (lambda: Statement.validate_action(_record(action=cb_spawn)), None),
        (lambda: Statement.validate_continue_timer(_record()), None),
        (lambda: Statement.__eq__(_record(action=1), _record(action=1)), True),
        (lambda: Statement.validate(_record()), AttributeError),
        (lambda: Statement.__str__(5), AttributeError),
        (lambda: Statement.validate_trim_buffer(None), AttributeError),
        (lambda: Statement.__eq__(1, 2), AttributeError),
        (lambda: Statement.__init__(object(), "x"), AttributeError),
    ],
)
def test_methods_accept_any_self(call, expected):
    # Like Python functions, the methods do not check the type of self.
    if isinstance(expected, type):
        with pytest.raises(expected):
            call()
    else:
        assert call() == expected


def test_init_on_a_foreign_object_assigns_then_validates():
    record = types.SimpleNamespace()
    with pytest.raises(AttributeError, match="validate"):
        Statement.__init__(record, "x", di_params=[])
    assert (record.pattern, record.match, record.di_params) == ("x", [], [])


# --------------------------------------------------------------------------
# Equality
# --------------------------------------------------------------------------

@pytest.mark.parametrize(
    "left, right, equal",
    [
        (Statement("a"), Statement("a"), True),
        (Statement("a"), Statement("b"), False),
        (Statement("a", loop_continue=True), Statement("a"), True),
        (Statement("a", cb_spawn), Statement("a", cb_spawn), True),
        (Statement("a", cb_spawn), Statement("a", cb_all), False),
        (Statement("a", cb_spawn), Statement("b", cb_spawn), False),
        (Statement(["a"]), Statement(["a"]), True),
        (Statement(["a"]), Statement(("a",)), False),
        (Statement("a", "send(x)"), Statement("a", "send(x)"), False),
        (Statement("a"), types.SimpleNamespace(pattern="a", action=None), True),
        (Statement("a"), types.SimpleNamespace(pattern="b"), False),
    ],
)
def test_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)
    assert (right == left) is equal


@pytest.mark.parametrize(
    "other",
    ["a", 1, None, object(), types.SimpleNamespace(pattern="a"), [], "__timeout__"],
    ids=repr,
)
def test_foreign_objects_compare_unequal(other):
    s = Statement("a")
    assert s.__eq__(other) is NotImplemented
    assert (s == other) is False
    assert (other == s) is False
    assert (s != other) is True
    assert s not in [other, other]
    items = [other, s]
    assert items.index(s) == 1
    items.remove(s)
    assert len(items) == 1 and items[0] is other
    assert s in [other, s]


def test_equality_returns_the_comparison_object():
    class Weird:
        def __init__(self, result):
            self.result = result

        def __eq__(self, other):
            return self.result

        __hash__ = object.__hash__

    a, b = Statement("a"), Statement("a")
    a.action = Weird("truthy")
    assert a.__eq__(b) == "truthy"
    a.pattern = Weird(0)
    assert a.__eq__(b) == 0 and type(a.__eq__(b)) is int


def test_equality_other_errors_propagate():
    class PatternFails:
        @property
        def pattern(self):
            raise ValueError("pattern read")

    class ActionFails:
        pattern = "a"

        @property
        def action(self):
            raise KeyError("action read")

    s = Statement("a")
    with pytest.raises(ValueError, match="pattern read"):
        s == PatternFails()
    with pytest.raises(KeyError):
        s == ActionFails()
    s.pattern = EqualityFails("a")
    with pytest.raises(RuntimeError):
        s == Statement("a")


def test_equality_own_missing_attribute_propagates():
    s = Statement("a")
    del s.pattern
    with pytest.raises(AttributeError):
        s == Statement("a")
    with pytest.raises(AttributeError):
        s == "a"


# --------------------------------------------------------------------------
# Text form
# --------------------------------------------------------------------------

@pytest.mark.parametrize(
    "statement, text",
    [
        (Statement("^username:$"),
         "[pattern='^username:$', action=None, args=None, loop_continue=False, "
         "continue_timer=False, trim_buffer=True]"),
        (Statement("p", "sendline(admin)"),
         "[pattern='p', action=sendline, args={'key': 'admin'}, loop_continue=False, "
         "continue_timer=False, trim_buffer=True]"),
        (Statement("p", lambda spawn: None), expected_text("p", "<lambda>", None, False, False, True)),
        (Statement(["a", "b"]), expected_text("['a', 'b']", None, None, False, False, True)),
        (Statement(("a",)), expected_text("('a',)", None, None, False, False, True)),
        (Statement("it's"), "[pattern='it's', action=None, args=None, loop_continue=False, "
                            "continue_timer=False, trim_buffer=True]"),
        (Statement("p", cb_user, {"user": 1}, True, True, False),
         expected_text("p", "cb_user", {"user": 1}, True, True, False)),
        (Statement("p", Owner().meth, {"self": 1}), expected_text("p", "meth", {"self": 1}, False, False, True)),
    ],
)
def test_text_form(statement, text):
    assert str(statement) == text
    assert repr(statement) == text
    assert type(str(statement)) is str


@settings(max_examples=100, deadline=None)
@given(pattern=st.text() | st.lists(st.text(), max_size=3),
       flags=st.tuples(st.booleans(), st.booleans(), st.booleans()))
def test_text_form_property(pattern, flags):
    s = Statement(pattern, None, None, *flags)
    text = str(s)
    assert text == expected_text(pattern, None, None, *flags)
    value_length = len(str(pattern)) + 4 + 4 + sum(len(str(f)) for f in flags)
    assert len(text) == 75 + value_length


def test_text_form_follows_mutation():
    s = Statement("p", cb_spawn)
    s.action = None
    assert "action=None," in str(s)
    s.action = "send(x)"
    with pytest.raises(AttributeError):
        str(s)
    with pytest.raises(AttributeError):
        repr(s)
    s.action = Nameless()
    with pytest.raises(AttributeError):
        str(s)


def test_text_form_reads_action_again():
    class Resetting(str):
        def __str__(self):
            statement.action = None
            return "p"

    statement = Statement("x", cb_spawn)
    statement.pattern = Resetting("x")
    # The None test came first; the name is read after the pattern's text.
    with pytest.raises(AttributeError):
        str(statement)
    assert str(statement) == expected_text("p", None, None, False, False, True)


def test_text_form_errors_propagate():
    class BadStr:
        def __str__(self):
            raise ArithmeticError("no text")

    s = Statement("p")
    s.args = BadStr()
    with pytest.raises(ArithmeticError):
        str(s)
    with pytest.raises(ArithmeticError):
        repr(s)


def test_text_form_of_str_subclass_values_is_plain_str():
    class Loud(str):
        def __str__(self):
            return MyStr(self.upper())

    s = Statement(Loud("abc"))
    assert str(s).startswith("[pattern='ABC'")
    assert type(str(s)) is str


def test_repr_calls_str_by_name():
    class Custom(Statement):
        def __str__(self):
            return "custom"

    class Broken(Statement):
        def __str__(self):
            return 42

    assert repr(Custom("p")) == "custom"
    assert Custom.__repr__(Custom("p")) == "custom"
    assert Statement.__str__(Custom("p")) == expected_text("p", None, None, False, False, True)
    assert Broken("p").__repr__() == 42
    with pytest.raises(TypeError):
        repr(Broken("p"))


# --------------------------------------------------------------------------
# No leaks
# --------------------------------------------------------------------------

# A per-call leak of a few bytes or one reference already shows after a
# thousand calls; many paths are checked, so keep each check short.
LEAK_ITERATIONS = 1000


def check_no_leak_fast(op, *objects, raises=None):
    check_no_leak(op, *objects, raises=raises, iterations=LEAK_ITERATIONS)


PATTERN = "leak-pattern"
ARGS = {"user": "u"}


def _raising(**kwargs):
    return lambda: Statement(**kwargs)


LEAK_FAILURES = [
    dict(pattern=["a", 1]),
    dict(pattern=7),
    dict(pattern=PATTERN, loop_continue=1),
    dict(pattern=PATTERN, continue_timer=None),
    dict(pattern="__timeout__", continue_timer=True),
    dict(pattern=PATTERN, trim_buffer=0),
    dict(pattern=PATTERN, debug_statement="no"),
    dict(pattern=PATTERN, action=cb_user, args=[1]),
    dict(pattern=PATTERN, action=cb_spawn_default),
    dict(pattern=PATTERN, action=cb_varargs, args=ARGS),
    dict(pattern=PATTERN, action=cb_user),
    dict(pattern=PATTERN, action=cb_user, di_params=("spawn",)),
    dict(pattern=PATTERN, action=cb_spawn, args={"spawn": 1}),
    dict(pattern=PATTERN, action=cb_retries, args={"retries": 1}),
    dict(pattern=PATTERN, action=cb_spawn, args={1: 2}),
    dict(pattern=PATTERN, action="sendline(a)", args=ARGS),
    dict(pattern=PATTERN, action=None, args=ARGS),
    dict(pattern=PATTERN, action="wrong(a)"),
    dict(pattern=PATTERN, action="send()"),
    dict(pattern=PATTERN, action="sendline(a)", trim_buffer=None),
]


@pytest.mark.parametrize("kwargs", LEAK_FAILURES, ids=repr)
def test_no_leak_on_failure(kwargs):
    check_no_leak_fast(_raising(**kwargs), DI, PATTERN, ARGS, kwargs.get("action"),
                  raises=SVE)


@pytest.mark.parametrize(
    "op",
    [
        lambda: Statement(PATTERN),
        lambda: Statement(PATTERN, cb_user, ARGS),
        lambda: Statement(PATTERN, cb_all, None, True, False, True, 3, 0.5),
        lambda: Statement(["a", PATTERN], Owner().meth, {"self": 1}),
        lambda: Statement(PATTERN, "sendline(admin)"),
        lambda: Statement(PATTERN, "sendline_cred_pass(default)"),
        lambda: Statement(PATTERN, cb_user, None, di_params=("spawn", "user")),
        lambda: Statement(pattern=PATTERN, action=cb_kw, args=ARGS, debug_statement=True),
    ],
)
def test_no_leak_on_success(op):
    check_no_leak_fast(op, DI, PATTERN, ARGS, cb_user)


STATEMENT = Statement(PATTERN, cb_user, ARGS)


@pytest.mark.parametrize(
    "op, raises",
    [
        (lambda: STATEMENT == "a", None),
        (lambda: STATEMENT != Statement(PATTERN), None),
        (lambda: STATEMENT == Statement(PATTERN, cb_user, ARGS), None),
        (lambda: STATEMENT in ["x", None, 1], None),
        (lambda: str(STATEMENT), None),
        (lambda: repr(STATEMENT), None),
        (lambda: STATEMENT.validate(), None),
        (lambda: STATEMENT.__init__(PATTERN, cb_user, ARGS), None),
        (lambda: hash(STATEMENT), TypeError),
        (lambda: Statement(PATTERN, max), TypeError),
        (lambda: Statement(PATTERN, Nameless()), AttributeError),
        (lambda: Statement(PATTERN, bogus=1), TypeError),
        (lambda: Statement(), TypeError),
        (lambda: Statement(PATTERN, cb_spawn, None, di_params=5), TypeError),
    ],
)
def test_no_leak_other_paths(op, raises):
    check_no_leak_fast(op, DI, PATTERN, ARGS, STATEMENT, cb_user, raises=raises)
