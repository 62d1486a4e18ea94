"""The cyclic garbage collector sees through the module's native objects:
every native function is tracked, reports what it holds, and cycles that
pass through function attributes, defaults, captured state, classes and
statements are collected."""

import gc
import weakref

import pytest

from tavrel.eal import dialogs as m
from tavrel.eal.dialogs import Dialog, DialogMaker, Statement, statement_decorator


class Box:
    """A weak-referenceable object to close a cycle with."""


def collected(make):
    """Build a cycle with ``make()``, which returns the object to watch."""
    ref = weakref.ref(make())
    gc.collect()
    return ref() is None


def module_functions():
    found = [m.statement_action_helper, m.statement_decorator,
             vars(DialogMaker)["__new__"].__func__]
    for cls in (Statement, Dialog, DialogMaker):
        found += [v for v in vars(cls).values() if type(v) is type(m.statement_decorator)]
    return found


def fresh_functions():
    """Native functions made on demand, which a cycle may own."""
    senders = [m.statement_action_helper(f"{name}(x)")[0] for name in (
        "send", "sendline", "send_ctx", "sendline_ctx", "send_session", "sendline_session",
        "sendline_cred_user", "sendline_cred_pass")]
    return [statement_decorator("p")] + senders


def test_every_native_function_is_tracked():
    functions = module_functions() + fresh_functions()
    assert len(functions) > 30
    for f in functions:
        assert gc.is_tracked(f), f


def test_traverse_reports_what_a_function_holds():
    f = statement_decorator("p", x=1)
    f.attribute = Box()
    f.__defaults__ = (Box(),)
    f.__kwdefaults__ = {"k": Box()}
    f.__annotations__ = {"a": Box()}
    referents = gc.get_referents(f)
    for held in (f.__globals__, f.__defaults__, f.__kwdefaults__, f.__annotations__,
                 f.__dict__):
        assert any(r is held for r in referents), held
    # What the decorator captured: its positional tuple and keyword dict.
    captured = [r for r in referents if type(r) is tuple and r is not f.__defaults__]
    assert any(r[0] == ("p",) and r[1] == {"x": 1} for r in captured)


def test_new_reports_its_class():
    new = vars(DialogMaker)["__new__"].__func__
    assert any(r is DialogMaker for r in gc.get_referents(new))


@pytest.mark.parametrize("make", [
    lambda: statement_decorator("p"),
    lambda: m.statement_action_helper("sendline(x)")[0],
    lambda: m.statement_action_helper("sendline_cred_pass(x)")[0],
], ids=["wrapped", "sender", "credential-sender"])
@pytest.mark.parametrize("close", [
    lambda f: setattr(f, "me", f),
    lambda f: setattr(f, "__defaults__", (f,)),
    lambda f: setattr(f, "__kwdefaults__", {"me": f}),
    lambda f: setattr(f, "__annotations__", {"me": f}),
    lambda f: setattr(f, "__doc__", [f]),
    lambda f: setattr(f, "__module__", [f]),
    lambda f: setattr(f, "__dict__", {"me": f}),
], ids=["attribute", "defaults", "kwdefaults", "annotations", "doc", "module", "dict"])
def test_cycle_through_function_state(make, close):
    def cycle():
        f = make()
        close(f)
        return f

    assert collected(cycle)


@pytest.mark.parametrize("where", ["positional", "keyword"])
def test_cycle_through_captured_decorator_arguments(where):
    def cycle():
        box = Box()
        wrapped = statement_decorator(box) if where == "positional" \
            else statement_decorator(owner=box)
        box.wrapped = wrapped  # reachable only through what wrapped captured
        return box

    assert collected(cycle)


def test_cycle_through_a_statement_whose_action_is_captured():
    def cycle():
        s = Statement("p")
        s.action = statement_decorator(s)
        return s

    assert collected(cycle)


@pytest.mark.parametrize("close", [
    lambda s: s.args.__setitem__("user", s),
    lambda s: setattr(s, "di_params", ["spawn", s]),
    lambda s: s.match.append(s),
    lambda s: setattr(s, "pattern", [s]),
], ids=["args", "di_params", "match", "pattern"])
def test_statement_referring_to_itself(close):
    def user_action(spawn, user):
        pass

    def cycle():
        s = Statement("p", user_action, {"user": None})
        close(s)
        return s

    assert collected(cycle)


def test_statement_whose_action_is_its_own_method():
    class Own(Statement):
        def act(self, spawn):
            pass

    def cycle():
        s = Own("p")
        s.action = s.act
        s.validate_pattern()
        return s

    assert collected(cycle)


def test_text_action_translated_into_a_cycle():
    def cycle():
        s = Statement("p", "sendline(x)")
        s.action.owner = s  # statement -> sender -> its attributes -> statement
        return s

    assert collected(cycle)


def test_dialog_cycles():
    def through_statements():
        d = Dialog([["a"], ("__timeout__",), ("__eof__",)])
        d.statements[0].dialog = d
        d.eof_statement.dialog = d
        return d

    def through_its_own_list():
        elements = [["a"]]
        d = Dialog(elements)
        elements.append(d)  # the caller's list, kept as statement_list
        return d

    def through_a_sum():
        d = Dialog([["a"]])
        total = d + d
        total.timeout_statement = Statement("__timeout__", lambda spawn: total)
        return total

    for make in (through_statements, through_its_own_list, through_a_sum):
        assert collected(make), make.__name__


def test_classes_holding_their_dialogs():
    def maker_subclass():
        class Declared(DialogMaker):
            @statement_decorator("a")
            def f(spawn):
                return Declared  # the action refers to its class

        Declared()
        Declared.dialog.append(Statement("b", lambda spawn: Declared))
        return Declared

    def dialog_subclass():
        class Holder(Dialog):
            pass

        Holder.shared = Holder([["a", lambda spawn: Holder]])
        return Holder

    def statement_subclass():
        class Remembering(Statement):
            pass

        Remembering.last = Remembering("p", lambda spawn: Remembering)
        return Remembering

    for make in (maker_subclass, dialog_subclass, statement_subclass):
        assert collected(make), make.__name__


def test_decorated_function_kept_in_its_own_record():
    def cycle():
        deco = statement_decorator("p")

        def f(spawn):
            pass

        deco(f)
        f.deco = deco
        deco.f = f
        return f

    assert collected(cycle)


def test_instance_made_by_new_in_a_cycle():
    def cycle():
        class Declared(DialogMaker):
            @statement_decorator("a")
            def f(spawn):
                pass

        inst = Declared()
        inst.me = inst
        Declared.dialog.statements[0].owner = inst  # class -> dialog -> instance
        return inst

    assert collected(cycle)


def test_functions_kept_alive_by_a_cycle_still_work_when_resurrected():
    # A finaliser in the cycle keeps a sender alive past the collection.
    survivors = []

    class Keeper:
        def __del__(self):
            survivors.append(self.sender)

    def cycle():
        sender, _ = m.statement_action_helper("sendline(x)")
        keeper = Keeper()
        keeper.sender = sender
        sender.keeper = keeper
        return keeper

    assert collected(cycle)
    sender = survivors.pop()
    sent = []

    class Spawn:
        def sendline(self, text):
            sent.append(text)

    sender(Spawn(), "hello")
    assert sent == ["hello"]


def test_statement_class_copied_into_a_dialog_is_collected():
    # Construction copies the elements; nothing of the caller's class may
    # outlive the caller's last reference to it.
    def cycle():
        class Local(Statement):
            pass

        Dialog([Local("a"), ["b"]]) + Dialog([Local("c")])
        return Local

    assert collected(cycle)
