"""Declarative dialogs: statement_decorator and DialogMaker."""

import gc
import inspect
import types
import weakref

import pytest

import tavrel.eal.dialogs as dialogs
from tavrel.core.errors import StatementValidationError
from tavrel.eal.dialogs import Dialog, DialogMaker, Statement, statement_decorator

from leakcheck import check_no_leak


class Boom(Exception):
    pass


def patterns_of(cls):
    return cls.dialog.get_pattern_list()


# --------------------------------------------------------------------------
# statement_decorator
# --------------------------------------------------------------------------

class TestStatementDecorator:
    def test_identity(self):
        assert statement_decorator.__doc__ == "Decorator to add to create Action Dialog"
        assert statement_decorator.__name__ == statement_decorator.__qualname__ == "statement_decorator"
        assert statement_decorator.__module__ == "tavrel.eal.dialogs"

    def test_wrapped_is_a_native_function(self):
        w = statement_decorator("p")
        assert type(w) is type(statement_decorator)
        assert not isinstance(w, types.FunctionType)
        assert w.__name__ == "wrapped"
        assert w.__qualname__ == "statement_decorator.<locals>.wrapped"
        assert w.__module__ == "tavrel.eal.dialogs"
        assert w.__doc__ is None
        assert inspect.getfullargspec(w).args == ["func"]
        assert statement_decorator("p") is not w

    def test_records_arguments_and_returns_function(self):
        def simple_callback(spawn):
            pass

        original = simple_callback
        simple_callback = statement_decorator("^password:$", loop_continue=True)(simple_callback)
        assert simple_callback is original
        assert simple_callback.__patterns__ == [
            (("^password:$",), {"loop_continue": True, "action": simple_callback}),
        ]
        entry = simple_callback.__patterns__[0]
        assert type(entry) is tuple and type(entry[0]) is tuple and type(entry[1]) is dict

    def test_stacked_decorators_nearest_first(self):
        @statement_decorator("outer")
        @statement_decorator("middle")
        @statement_decorator("inner", loop_continue=True)
        def f(spawn):
            pass

        assert [e[0] for e in f.__patterns__] == [("inner",), ("middle",), ("outer",)]
        assert all(e[1]["action"] is f for e in f.__patterns__)

    def test_without_arguments(self):
        @statement_decorator()
        def f(spawn):
            pass

        assert f.__patterns__ == [((), {"action": f})]

    def test_action_keyword_overwritten(self):
        @statement_decorator("p", action="sendline(x)")
        def f(spawn):
            pass

        assert f.__patterns__[0][1] == {"action": f}

    def test_func_by_keyword_and_bad_calls(self):
        def f():
            pass

        w = statement_decorator("p")
        assert w(func=f) is f
        for call in (lambda: w(), lambda: w(f, f), lambda: w(fn=f)):
            with pytest.raises(TypeError):
                call()
        with pytest.raises(TypeError):
            statement_decorator(**{1: 2})

    def test_one_decorator_applied_to_several_functions(self):
        deco = statement_decorator("p", loop_continue=True)

        @deco
        def first(spawn):
            pass

        @deco
        def second(spawn):
            pass

        (e1,), (e2,) = first.__patterns__, second.__patterns__
        assert e1[1] == {"loop_continue": True, "action": first}
        assert e2[1] == {"loop_continue": True, "action": second}
        assert e1[1] is not e2[1]
        assert e1[0] == e2[0] == ("p",)
        e1[1]["extra"] = 1  # entries are independent of each other
        deco(first)
        assert "extra" not in first.__patterns__[1][1]

    def test_decorator_keeps_no_reference_to_decorated_functions(self):
        # Its own keyword dictionary never changes, so it does not hold the
        # last function it decorated.
        deco = statement_decorator("p")

        def f(spawn):
            pass

        deco(f)
        ref = weakref.ref(f)
        del f
        gc.collect()
        assert ref() is None
        assert deco is not None

    def test_separate_calls_are_independent(self):
        a, b = statement_decorator("p", x=1), statement_decorator("p", x=1)

        def f():
            pass

        a(f)
        b(f)
        assert f.__patterns__[0] == f.__patterns__[1]
        assert f.__patterns__[0][1] is not f.__patterns__[1][1]

    def test_patterns_not_a_list(self):
        def f(spawn):
            pass

        f.__patterns__ = ()
        deco = statement_decorator("p")
        with pytest.raises(AttributeError, match="append"):
            deco(f)
        assert f.__patterns__ == ()
        # the decorator's own dictionary did not take the function
        ref = weakref.ref(f)
        del f
        gc.collect()
        assert ref() is None

    def test_patterns_with_own_append(self):
        calls = []

        class Recording(list):
            def append(self, item):
                calls.append(item)

        def f():
            pass

        f.__patterns__ = Recording()
        statement_decorator("p")(f)
        assert calls == [(("p",), {"action": f})]
        assert list(f.__patterns__) == []

    @pytest.mark.parametrize("target, exc", [
        (object(), AttributeError),        # accepts no new attributes
        (len, AttributeError),
        ("property", Boom),                # reading __patterns__ fails otherwise
    ])
    def test_attribute_failures_propagate(self, target, exc):
        if target == "property":
            class T:
                @property
                def __patterns__(self):
                    raise Boom()

            target = T()
        with pytest.raises(exc):
            statement_decorator("p")(target)

    def test_any_object_with_attributes(self):
        class T:
            pass

        t = T()
        assert statement_decorator("p")(t) is t
        assert t.__patterns__ == [(("p",), {"action": t})]

    def test_nothing_validated_at_decoration(self):
        @statement_decorator(1, loop_continue="no", bogus=True)
        def f():
            pass

        assert f.__patterns__[0][0] == (1,)


# --------------------------------------------------------------------------
# DialogMaker: the class itself
# --------------------------------------------------------------------------

class _Reference:
    def __new__(self, *args, **kwargs):
        pass

    def add_statement(self, statement, pos=-1):
        pass


class TestDialogMakerClass:
    def test_namespace(self):
        ns = vars(DialogMaker)
        assert list(ns) == list(vars(_Reference))
        assert isinstance(ns["__new__"], staticmethod)
        assert ns["__module__"] == "tavrel.eal.dialogs"
        assert ns["__doc__"] is None
        assert DialogMaker.__qualname__ == DialogMaker.__name__ == "DialogMaker"
        assert DialogMaker.__bases__ == (object,) and type(DialogMaker) is type
        assert not hasattr(DialogMaker, "dialog")

    def test_functions(self):
        new = vars(DialogMaker)["__new__"].__func__
        add = DialogMaker.add_statement
        assert type(new) is type(add) is type(statement_decorator)
        assert new.__qualname__ == "DialogMaker.__new__"
        assert add.__qualname__ == "DialogMaker.add_statement"
        assert add.__defaults__ == (-1,)
        assert inspect.getfullargspec(add).args == ["self", "statement", "pos"]
        spec = inspect.getfullargspec(new)
        assert (spec.args, spec.varargs, spec.varkw) == (["self"], "args", "kwargs")

    def test_instantiating_base_sets_nothing(self):
        inst = DialogMaker()
        assert type(inst) is DialogMaker
        assert not hasattr(DialogMaker, "dialog")
        with pytest.raises(AttributeError, match="dialog"):
            inst.add_statement(Statement("x"))


# --------------------------------------------------------------------------
# DialogMaker: collecting members
# --------------------------------------------------------------------------

class TestCollecting:
    def test_source_order_beats_name_order(self):
        class Login(DialogMaker):
            @statement_decorator("^user:$", loop_continue=True)
            def zzz_user(spawn):
                pass

            @statement_decorator("^password:$")
            def aaa_password(spawn):
                pass

        inst = Login()
        assert isinstance(inst, Login)
        assert type(Login.dialog) is Dialog
        assert patterns_of(Login) == ["^user:$", "^password:$"]
        first, second = Login.dialog.statements
        assert first.action is vars(Login)["zzz_user"] and first.loop_continue is True
        assert second.action is vars(Login)["aaa_password"]
        assert "dialog" in vars(Login) and inst.dialog is Login.dialog

    def test_entries_of_one_member_in_recorded_order(self):
        class C(DialogMaker):
            @statement_decorator("c")
            @statement_decorator("b")
            def f(spawn):
                pass

            @statement_decorator("a")
            def g(spawn):
                pass

        C()
        assert patterns_of(C) == ["b", "c", "a"]

    def test_inherited_members_ordered_by_line_only(self):
        @statement_decorator("outer")
        def outer(spawn):
            pass

        class Base(DialogMaker):
            @statement_decorator("base")
            def mmm(spawn):
                pass

        class Sub(Base):
            zzz = outer

            @statement_decorator("sub")
            def aaa(spawn):
                pass

        Sub()
        assert patterns_of(Sub) == ["outer", "base", "sub"]
        assert "dialog" not in vars(Base)

    def test_member_bound_under_two_names(self):
        class C(DialogMaker):
            @statement_decorator("first")
            def f(spawn):
                pass

            g = f

            @statement_decorator("later")
            def h(spawn):
                pass

        C()
        assert patterns_of(C) == ["first", "first", "later"]
        a, b = C.dialog.statements[:2]
        assert a is not b and a.action is b.action

    def test_special_patterns_and_text_actions(self):
        class C(DialogMaker):
            @statement_decorator("__eof__")
            def on_eof(spawn):
                pass

            @statement_decorator("__timeout__")
            def on_timeout(spawn):
                pass

        C()
        assert C.dialog.eof_statement.action is vars(C)["on_eof"]
        assert C.dialog.timeout_statement is C.dialog.statements[0]

    def test_any_pair_shape_accepted(self):
        def f(spawn):
            pass

        f.__patterns__ = [[["p"], {}], (["q"], types.MappingProxyType({"action": f}))]

        class C(DialogMaker):
            member = f

        C()
        assert patterns_of(C) == ["p", "q"]
        assert C.dialog.statements[0].action is None

    def test_dialog_built_from_statement_list(self):
        class C(DialogMaker):
            @statement_decorator("a")
            def f(spawn):
                pass

        C()
        d = C.dialog
        assert all(type(s) is Statement for s in d.statement_list)
        assert ids_differ(d.statement_list, d.statements)

    def test_no_decorated_members(self):
        class C(DialogMaker):
            def plain(self):
                pass

        inst = C()
        assert not hasattr(C, "dialog")
        with pytest.raises(AttributeError, match="dialog"):
            inst.add_statement(Statement("x"))

    def test_no_decorated_members_leaves_existing_dialog(self):
        existing = Dialog()

        class C(DialogMaker):
            dialog = existing

        C()
        assert C.dialog is existing


def ids_differ(a, b):
    return not {id(x) for x in a} & {id(x) for x in b}


# --------------------------------------------------------------------------
# DialogMaker: instantiation and add_statement
# --------------------------------------------------------------------------

def make_two_step():
    class TwoStep(DialogMaker):
        @statement_decorator("one")
        def one(spawn):
            pass

        @statement_decorator("two")
        def two(spawn):
            pass

    return TwoStep


class TestInstances:
    @pytest.mark.parametrize("pos, expected", [
        ((), ["one", "two", "new"]),
        ((-1,), ["one", "two", "new"]),
        ((-1.0,), ["one", "two", "new"]),
        ((0,), ["new", "one", "two"]),
        ((1,), ["one", "new", "two"]),
        ((-2,), ["new", "one", "two"]),
        ((100,), ["one", "two", "new"]),
    ], ids=["default", "-1", "-1.0", "front", "middle", "-2", "beyond"])
    def test_add_statement(self, pos, expected):
        cls = make_two_step()
        inst = cls()
        st = Statement("new")
        assert inst.add_statement(st, *pos) is None
        assert patterns_of(cls) == expected
        assert any(s is st for s in cls.dialog.statements)

    def test_add_statement_converts_arguments(self):
        cls = make_two_step()
        cls().add_statement(["new"], pos=0)
        assert patterns_of(cls) == ["new", "one", "two"]
        with pytest.raises(StatementValidationError):
            cls().add_statement([1])
        with pytest.raises(TypeError):
            cls().add_statement()

    def test_second_instance_discards_additions(self):
        cls = make_two_step()
        first = cls()
        old = cls.dialog
        first.add_statement(Statement("added"))
        second = cls()
        assert cls.dialog is not old
        assert patterns_of(cls) == ["one", "two"]
        assert first.dialog is second.dialog is cls.dialog
        assert not {id(s) for s in old.statements} & {id(s) for s in cls.dialog.statements}

    @pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((1, 2), {"y": 3})])
    def test_arguments_rejected_after_dialog_rebuilt(self, args, kwargs):
        cls = make_two_step()
        cls()
        old = cls.dialog
        with pytest.raises(TypeError) as ei:
            cls(*args, **kwargs)
        assert str(ei.value) == "object.__new__() takes exactly one argument (the type to instantiate)"
        assert cls.dialog is not old
        assert patterns_of(cls) == ["one", "two"]

    def test_next_new_in_mro_receives_arguments(self):
        seen = []

        class Mixin:
            def __new__(cls, *args, **kwargs):
                seen.append((cls, args, dict(kwargs)))
                kwargs["changed"] = True
                return object.__new__(cls)

        class C(DialogMaker, Mixin):
            @statement_decorator("a")
            def f(spawn):
                pass

            def __init__(self, *args, **kwargs):
                pass

        opts = {"k": 1}
        inst = C(1, 2, **opts)
        assert type(inst) is C
        assert seen == [(C, (1, 2), {"k": 1})]
        assert opts == {"k": 1}
        assert patterns_of(C) == ["a"]

    def test_failing_member_keeps_dialog_of_earlier_members(self):
        class C(DialogMaker):
            @statement_decorator("ok")
            def first(spawn):
                pass

            @statement_decorator(1)
            def broken(spawn):
                pass

            @statement_decorator("never")
            def last(spawn):
                pass

        with pytest.raises(StatementValidationError, match="^pattern must be str, list or tuple$"):
            C()
        assert patterns_of(C) == ["ok"]

    @pytest.mark.parametrize("bad_entry, exc, match", [
        (((1,), {}), StatementValidationError, "^pattern must be str, list or tuple$"),
        ((("p",),), ValueError, None),
        ((("p",), None), TypeError, r"argument after \*\* must be a mapping, not NoneType"),
        ((("p", "sendline(x)"), {"action": None}), TypeError, "action"),
    ], ids=["invalid", "not-a-pair", "none-kwargs", "action-twice"])
    def test_first_member_failing_keeps_previous_dialog(self, bad_entry, exc, match):
        class C(DialogMaker):
            @statement_decorator("a")
            def f(spawn):
                pass

        C()
        old = C.dialog
        vars(C)["f"].__patterns__.insert(0, bad_entry)
        with pytest.raises(exc, match=match):
            C()
        assert C.dialog is old

    def test_member_without_code_fails_before_building(self, monkeypatch):
        class NoCode:
            __patterns__ = [(("p",), {})]

        class C(DialogMaker):
            @statement_decorator("a")
            def f(spawn):
                pass

            odd = NoCode()

        built = []
        monkeypatch.setattr(dialogs, "Statement", lambda *a, **k: built.append(a))
        with pytest.raises(AttributeError, match="__code__"):
            C()
        assert built == []
        assert not hasattr(C, "dialog")

    def test_patterns_lookup_error_propagates(self):
        class Odd:
            @property
            def __patterns__(self):
                raise Boom()

        class C(DialogMaker):
            odd = Odd()

        with pytest.raises(Boom):
            C()


# --------------------------------------------------------------------------
# Collaborators looked up at the time of use
# --------------------------------------------------------------------------

class TestModuleGlobals:
    def test_getmembers(self, monkeypatch):
        def late(spawn):
            pass

        @statement_decorator("early")
        def early(spawn):
            pass

        statement_decorator("late")(late)  # earlier line, decorated later
        calls = []

        def fake_getmembers(obj):
            calls.append(obj)
            return [("x", early), ("y", late), ("z", 42)]

        class C(DialogMaker):
            pass

        monkeypatch.setattr(dialogs, "getmembers", fake_getmembers)
        C()
        assert calls == [C]
        assert patterns_of(C) == ["late", "early"]

    def test_statement_and_dialog(self, monkeypatch):
        class MyStatement(Statement):
            pass

        class MyDialog(Dialog):
            pass

        cls = make_two_step()
        monkeypatch.setattr(dialogs, "Statement", MyStatement)
        monkeypatch.setattr(dialogs, "Dialog", MyDialog)
        cls()
        assert type(cls.dialog) is MyDialog
        assert [type(s) for s in cls.dialog.statements] == [MyStatement, MyStatement]


# --------------------------------------------------------------------------
# Processing a declared dialog
# --------------------------------------------------------------------------

def test_declared_dialog_is_processed(monkeypatch):
    made = []

    class Processor:
        def __init__(self, *args, **kwargs):
            self.args, self.kwargs = args, kwargs
            made.append(self)

        def process(self):
            return [s.action(self.args[1]) for s in self.args[0]]

    class Login(DialogMaker):
        @statement_decorator("^user:$")
        def user(spawn):
            return ("user", spawn)

        @statement_decorator("^password:$")
        def password(spawn):
            return ("password", spawn)

    Login()
    monkeypatch.setattr(dialogs, "DialogProcessor", Processor)
    spawn = object()
    assert Login.dialog.process(spawn, timeout=30) == [("user", spawn), ("password", spawn)]
    (p,) = made
    assert p.args[0] is Login.dialog and p.kwargs == {"timeout": 30}


# --------------------------------------------------------------------------
# Reference cycles through native functions are collected
# --------------------------------------------------------------------------

class Box:
    pass


class TestCycles:
    def test_decorator_kept_in_its_functions_attributes(self):
        box = Box()
        deco = statement_decorator(box, marker=box)

        @deco
        def f(spawn):
            pass

        f.deco = deco
        box.f = f  # f -> deco -> its arguments -> box -> f
        ref = weakref.ref(f)
        del f, deco, box
        gc.collect()
        assert ref() is None

    def test_decorator_arguments_referring_back(self):
        box = Box()
        box.deco = statement_decorator(box)
        ref = weakref.ref(box)
        del box
        gc.collect()
        assert ref() is None

    def test_class_holding_its_dialog(self):
        def build():
            class C(DialogMaker):
                @statement_decorator("a")
                def f(spawn):
                    __class__  # the action refers back to its class  # noqa: B018

                @statement_decorator("b")
                def g(spawn):
                    pass

            C().add_statement(Statement("c", vars(C)["g"]))
            C.keep = statement_decorator(C)
            return C

        cls = build()
        assert vars(cls)["f"].__closure__[0].cell_contents is cls
        ref = weakref.ref(cls)
        del cls
        gc.collect()
        assert ref() is None


# --------------------------------------------------------------------------
# Leaks
# --------------------------------------------------------------------------

def _leak_cases():
    deco = statement_decorator("p", loop_continue=True)
    shared_kw = {"loop_continue": True}
    plain = statement_decorator()

    def apply_decorators():
        def g(spawn):
            pass

        deco(g)
        plain(g)

    def apply_to_tuple():
        def g(spawn):
            pass

        g.__patterns__ = ()
        deco(g)

    class Good(DialogMaker):
        @statement_decorator("a", loop_continue=True)
        def f(spawn):
            pass

        @statement_decorator("b")
        def g(spawn):
            pass

    class Bad(DialogMaker):
        @statement_decorator("ok")
        def f(spawn):
            pass

        @statement_decorator("x", loop_continue=1)
        def g(spawn):
            pass

    Good()
    st = Statement("added")
    good_f = vars(Good)["f"]

    def add_and_rebuild():
        inst = Good()
        inst.add_statement(st)
        inst.add_statement(["x"], 0)

    ok = [
        ("decorate", apply_decorators),
        ("decorator-factory", lambda: statement_decorator("p", x=1, **shared_kw)),
        ("instantiate", Good),
        ("add-statement", add_and_rebuild),
    ]
    bad = [
        ("decorate-tuple-patterns", apply_to_tuple, AttributeError),
        ("wrapped-bad-call", lambda: deco(), TypeError),
        ("instantiate-with-args", lambda: Good(1, k=2), TypeError),
        ("failing-member", Bad, StatementValidationError),
        ("no-dialog", lambda: DialogMaker().add_statement(st), AttributeError),
    ]
    shared = (deco, plain, shared_kw, st, good_f, Good)
    return shared, ok, bad


_SHARED, _OK, _BAD = _leak_cases()


@pytest.mark.parametrize("name, op", _OK, ids=[c[0] for c in _OK])
def test_no_leak(name, op):
    check_no_leak(op, *_SHARED, iterations=500, warmup=200)


@pytest.mark.parametrize("name, op, exc", _BAD, ids=[c[0] for c in _BAD])
def test_no_leak_on_failure(name, op, exc):
    check_no_leak(op, *_SHARED, raises=exc, iterations=500, warmup=200)
