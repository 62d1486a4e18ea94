"""Declarative dialogs: statement_decorator and DialogMaker."""

import gc
import types
import weakref

import pytest

import tavrel.eal.dialogs as dialogs
from tavrel.core.errors import StatementValidationError
from tavrel.eal.dialogs import Dialog, DialogMaker, Statement, statement_decorator

from leakcheck import check_no_leak


class Boom(Exception):
    pass


class Box:
    pass


def patterns_of(cls):
    return cls.dialog.get_pattern_list()


def collected(make):
    """Whether the object that make() returns (its only reference) dies in gc.collect()."""
    ref = weakref.ref(make())
    gc.collect()
    return ref() is None


# --------------------------------------------------------------------------
# statement_decorator
# --------------------------------------------------------------------------

class TestStatementDecorator:
    @pytest.mark.parametrize("pargs, pkwargs, recorded", [
        (("^password:$",), {"loop_continue": True}, {"loop_continue": True}),
        ((), {}, {}),
        (("p",), {"action": "sendline(x)"}, {}),
        ((1,), {"bogus": "not validated here"}, {"bogus": "not validated here"}),
    ], ids=["pattern-and-flag", "no-arguments", "action-overwritten", "unchecked"])
    def test_records_arguments(self, pargs, pkwargs, recorded):
        wrapped = statement_decorator(*pargs, **pkwargs)
        assert type(wrapped) is type(statement_decorator)
        assert not isinstance(wrapped, types.FunctionType)

        def simple_callback(spawn):
            pass

        assert wrapped(simple_callback) is simple_callback
        assert simple_callback.__patterns__ == [(pargs, dict(recorded, action=simple_callback))]
        (entry,) = simple_callback.__patterns__
        assert type(entry) is tuple and type(entry[0]) is tuple and type(entry[1]) is dict

    def test_stacked_decorators_nearest_first(self):
        @statement_decorator("outer")
        @statement_decorator("middle")
        @statement_decorator("inner", loop_continue=True)
        def f(spawn):
            pass

        assert [e[0] for e in f.__patterns__] == [("inner",), ("middle",), ("outer",)]
        assert all(e[1]["action"] is f for e in f.__patterns__)

    def test_one_decorator_applied_to_several_functions(self):
        deco = statement_decorator("p", loop_continue=True)

        @deco
        def first(spawn):
            pass

        @deco
        def second(spawn):
            pass

        (e1,), (e2,) = first.__patterns__, second.__patterns__
        assert e1 == (("p",), {"loop_continue": True, "action": first})
        assert e2 == (("p",), {"loop_continue": True, "action": second})
        e1[1]["extra"] = 1  # each application has its own dictionary
        deco(first)
        assert first.__patterns__[1][1] == {"loop_continue": True, "action": first}

        # The decorator's own dictionary never takes a function, so it keeps
        # none alive; also when the application fails.
        def dies_with(patterns):
            def g(spawn):
                pass

            if patterns is not None:
                g.__patterns__ = patterns
            try:
                deco(g)
            except AttributeError:
                pass
            return g

        assert collected(lambda: dies_with(None))
        assert collected(lambda: dies_with(()))

    def test_patterns_not_a_list(self):
        def f(spawn):
            pass

        f.__patterns__ = ("kept",)
        with pytest.raises(AttributeError, match="append"):
            statement_decorator("p")(f)
        assert f.__patterns__ == ("kept",)

        calls = []

        class Recording(list):
            def append(self, item):
                calls.append(item)

        f.__patterns__ = Recording()
        statement_decorator("p")(f)
        assert calls == [(("p",), {"action": f})] and list(f.__patterns__) == []

    def test_attribute_failures_propagate(self):
        class Guarded:
            @property
            def __patterns__(self):
                raise Boom()

        t = Box()
        assert statement_decorator("p")(func=t) is t
        assert t.__patterns__ == [(("p",), {"action": t})]
        with pytest.raises(Boom):
            statement_decorator("p")(Guarded())
        for target in (object(), len):  # no new attributes accepted
            with pytest.raises(AttributeError):
                statement_decorator("p")(target)
        with pytest.raises(TypeError):
            statement_decorator("p")(t, t)


# --------------------------------------------------------------------------
# DialogMaker
# --------------------------------------------------------------------------

class _Reference:
    def __new__(self, *args, **kwargs):
        pass

    def add_statement(self, statement, pos=-1):
        pass


def make_two_step():
    class TwoStep(DialogMaker):
        @statement_decorator("one")
        def one(spawn):
            pass

        @statement_decorator("two")
        def two(spawn):
            pass

    return TwoStep


# Entries that the 3.13 compiler adds to every class statement's namespace;
# they describe source code, which a native class has none of.
_COMPILER_ADDED = {"__firstlineno__", "__static_attributes__"}


class TestCollecting:
    def test_namespace(self):
        reference = [k for k in vars(_Reference) if k not in _COMPILER_ADDED]
        assert list(vars(DialogMaker)) == reference
        assert vars(DialogMaker)["__doc__"] is None
        assert not hasattr(DialogMaker, "dialog")

    def test_source_order_beats_name_order(self):
        class Login(DialogMaker):
            @statement_decorator("^user:$", loop_continue=True)
            def zzz_user(spawn):
                pass

            @statement_decorator("c")
            @statement_decorator("b")
            def aaa_password(spawn):
                pass

        inst = Login()
        assert type(inst) is Login and type(Login.dialog) is Dialog
        assert "dialog" in vars(Login) and inst.dialog is Login.dialog
        assert patterns_of(Login) == ["^user:$", "b", "c"]
        first, second, _ = Login.dialog.statements
        assert first.action is vars(Login)["zzz_user"] and first.loop_continue is True
        assert second.action is vars(Login)["aaa_password"]
        assert all(type(s) is Statement for s in Login.dialog.statement_list)

    def test_inherited_and_doubly_bound_members(self):
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

            bbb = aaa

        Sub()
        # by first line alone; the member bound twice contributes twice
        assert patterns_of(Sub) == ["outer", "base", "sub", "sub"]
        assert "dialog" not in vars(Base)
        a, b = Sub.dialog.statements[2:]
        assert a is not b and a.action is b.action

    def test_any_pair_shape_accepted(self):
        def f(spawn):
            pass

        f.__patterns__ = [[["p"], {}], (("__eof__",), types.MappingProxyType({"action": f}))]

        class C(DialogMaker):
            member = f

        C()
        assert patterns_of(C) == ["p"] and C.dialog.eof_statement.action is f

    @pytest.mark.parametrize("base, existing", [
        (DialogMaker, None), ("plain", None), ("plain", Dialog()),
    ], ids=["DialogMaker", "plain-subclass", "plain-subclass-with-dialog"])
    def test_without_decorated_members(self, base, existing):
        cls = DialogMaker if base is DialogMaker else type("Plain", (DialogMaker,), {"m": lambda self: 0})
        if existing is not None:
            cls.dialog = existing
        inst = cls()
        assert type(inst) is cls
        if existing is not None:
            assert cls.dialog is existing
            return
        assert not hasattr(cls, "dialog")
        with pytest.raises(AttributeError, match="dialog"):
            inst.add_statement(Statement("x"))


class TestInstances:
    @pytest.mark.parametrize("pos, expected", [
        ((), ["one", "two", "new"]),
        ((-1.0,), ["one", "two", "new"]),
        ((0,), ["new", "one", "two"]),
        ((1,), ["one", "new", "two"]),
        ((-2,), ["new", "one", "two"]),
    ], ids=["end", "-1.0", "front", "middle", "-2"])
    def test_add_statement(self, pos, expected):
        cls = make_two_step()
        st = Statement("new")
        assert cls().add_statement(st, *pos) is None
        assert patterns_of(cls) == expected
        assert any(s is st for s in cls.dialog.statements)

    def test_add_statement_converts_and_propagates(self):
        cls = make_two_step()
        cls().add_statement(["new"], pos=0)
        assert patterns_of(cls) == ["new", "one", "two"]
        with pytest.raises(StatementValidationError):
            cls().add_statement([1])

        class Pos:
            def __eq__(self, other):
                raise Boom()

        with pytest.raises(Boom):
            cls().add_statement(Statement("x"), Pos())

    def test_second_instance_discards_additions(self):
        cls = make_two_step()
        first = cls()
        old = cls.dialog
        first.add_statement(Statement("added"))
        second = cls()
        assert first.dialog is second.dialog is cls.dialog is not old
        assert patterns_of(cls) == ["one", "two"]
        assert not {id(s) for s in old.statements} & {id(s) for s in cls.dialog.statements}

    @pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
    def test_arguments_rejected_after_dialog_rebuilt(self, args, kwargs):
        cls = make_two_step()
        cls()
        old = cls.dialog
        with pytest.raises(TypeError) as ei:
            cls(*args, **kwargs)
        assert str(ei.value) == "object.__new__() takes exactly one argument (the type to instantiate)"
        assert cls.dialog is not old and patterns_of(cls) == ["one", "two"]

    def test_next_new_in_mro_receives_arguments(self):
        seen = []

        class Mixin:
            def __new__(cls, *args, **kwargs):
                seen.append((cls, args, kwargs))
                return object.__new__(cls)

        class C(DialogMaker, Mixin):
            @statement_decorator("a")
            def f(spawn):
                pass

            def __init__(self, *args, **kwargs):
                pass

        assert type(C(1, 2, k=1)) is C
        assert seen == [(C, (1, 2), {"k": 1})] and patterns_of(C) == ["a"]

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
        cls = make_two_step()
        cls()
        old = cls.dialog
        vars(cls)["one"].__patterns__.insert(0, bad_entry)
        with pytest.raises(exc, match=match):
            cls()
        assert cls.dialog is old

    def test_member_lookups_fail_before_building(self, monkeypatch):
        class NoCode:
            __patterns__ = [(("p",), {})]

        class Guarded:
            @property
            def __patterns__(self):
                raise Boom()

        built = []
        monkeypatch.setattr(dialogs, "Statement", lambda *a, **k: built.append(a))
        for member, exc in ((NoCode(), AttributeError), (Guarded(), Boom)):
            cls = make_two_step()
            cls.odd = member
            with pytest.raises(exc):
                cls()
            assert built == [] and not hasattr(cls, "dialog")


class TestLookupsAndCallerCode:
    def test_getmembers(self, monkeypatch):
        def late(spawn):  # the first line decides, not the order of decoration
            pass

        @statement_decorator("early")
        def early(spawn):
            pass

        statement_decorator("late")(late)
        calls = []

        def fake_getmembers(obj):
            calls.append(obj)
            return [("x", early), ("y", late), ("z", 42)]

        class C(DialogMaker):
            pass

        monkeypatch.setattr(dialogs, "getmembers", fake_getmembers)
        C()
        assert calls == [C] and patterns_of(C) == ["late", "early"]

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
        assert [type(s) for s in cls.dialog] == [MyStatement, MyStatement]

    def test_lists_emptied_while_walked(self, monkeypatch):
        class Emptying(Statement):
            def __init__(self, *args, **kwargs):
                vars(C)["f"].__patterns__.clear()
                super().__init__(*args, **kwargs)

        class C(DialogMaker):
            @statement_decorator("a")
            @statement_decorator("b")
            @statement_decorator("c")
            def f(spawn):
                pass

        monkeypatch.setattr(dialogs, "Statement", Emptying)
        C()
        assert patterns_of(C) == ["c"]

        members = []

        class EmptiesMembers:
            def __getattr__(self, name):
                members.clear()
                raise AttributeError(name)

        def fake_getmembers(obj):
            members[:] = [("e", EmptiesMembers())] + [("x%d" % i, i) for i in range(40)]
            return members

        monkeypatch.setattr(dialogs, "getmembers", fake_getmembers)
        D = type("D", (DialogMaker,), {})
        D()
        assert not hasattr(D, "dialog")


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

def test_decorator_kept_in_its_functions_attributes():
    def make():
        box = Box()
        deco = statement_decorator(box, marker=box)

        @deco
        def f(spawn):
            pass

        f.deco, box.f = deco, f  # f -> deco -> its arguments -> box -> f
        return f

    assert collected(make)


def test_class_holding_its_dialog():
    def make():
        class C(DialogMaker):
            @statement_decorator("a")
            def f(spawn):
                __class__  # the action refers back to its class  # noqa: B018

            @statement_decorator("b")
            def g(spawn):
                pass

        C().add_statement(Statement("c", vars(C)["g"]))
        C.keep = statement_decorator(C)
        assert vars(C)["f"].__closure__[0].cell_contents is C
        return C

    assert collected(make)


# --------------------------------------------------------------------------
# Leaks
# --------------------------------------------------------------------------

def _leak_cases():
    deco, plain = statement_decorator("p", loop_continue=True), statement_decorator()
    kw = {"loop_continue": True}

    def decorate(patterns=None):
        def g(spawn):
            pass

        if patterns is not None:
            g.__patterns__ = patterns
        deco(g)
        plain(g)

    Good, st = make_two_step(), Statement("added")

    class Bad(DialogMaker):
        @statement_decorator("ok")
        def f(spawn):
            pass

        @statement_decorator("x", loop_continue=1)
        def g(spawn):
            pass

    def add_and_rebuild():
        inst = Good()
        inst.add_statement(st)
        inst.add_statement(["x"], 0)

    ok = [
        ("decorate", decorate),
        ("decorator-factory", lambda: statement_decorator("p", x=1, **kw)),
        ("instantiate-and-add", add_and_rebuild),
    ]
    bad = [
        ("decorate-tuple-patterns", lambda: decorate(()), AttributeError),
        ("wrapped-bad-call", lambda: deco(), TypeError),
        ("instantiate-with-args", lambda: Good(1, k=2), TypeError),
        ("failing-member", Bad, StatementValidationError),
        ("no-dialog", lambda: DialogMaker().add_statement(st), AttributeError),
    ]
    return (deco, plain, kw, st, vars(Good)["one"], Good), ok, bad


_SHARED, _OK, _BAD = _leak_cases()


@pytest.mark.parametrize("name, op", _OK, ids=[c[0] for c in _OK])
def test_no_leak(name, op):
    check_no_leak(op, *_SHARED, iterations=500, warmup=200)


@pytest.mark.parametrize("name, op, exc", _BAD, ids=[c[0] for c in _BAD])
def test_no_leak_on_failure(name, op, exc):
    check_no_leak(op, *_SHARED, raises=exc, iterations=500, warmup=200)
