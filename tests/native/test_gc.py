"""The cyclic garbage collector sees through the module's native objects:
every native function is tracked, reports what it holds, and cycles that
pass through function attributes, defaults, captured state, classes and
statements are collected."""

import gc
import subprocess
import sys
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


# A collection can start in any allocation and run caller code: a finaliser
# of cyclic garbage, a weakref callback, a gc.callbacks hook.  Here a hook
# empties what an operation is reading, at the operation's first, second, ...
# collection; the threshold and the hook's own allocations make (up to 3.11)
# every allocation of a tracked object start one.  Each in a child process of
# its own: the failure these guard against is a crash, and what the memory
# the operation is given holds depends on what ran before.
EMPTIED_DURING_COLLECTION = """
import gc
import sys
from tavrel.eal.dialogs import Dialog, Statement

def at_collection(n, empty, operation):
    seen, padding = [0], []

    def hook(phase, info):
        if phase == "start":
            seen[0] += 1
            if seen[0] == n:
                empty()
        else:
            padding.append([[] for _ in range(10)])

    gc.collect()
    drained = [[] for _ in range(100)]  # lists come from a free list first
    threshold = gc.get_threshold()
    gc.callbacks.append(hook)
    gc.set_threshold(1)
    try:
        return operation()
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(hook)
        gc.collect()

n = int(sys.argv[1])
{case}
print("survived")
"""

EMPTIED = {
    # Construction copying a statement whose attribute dict is cleared (the
    # copy then has no fields to read).
    "copy": """
victim = Statement("a", None, None, True)
try:
    at_collection(n, vars(victim).clear, lambda: Dialog([victim]))
except AttributeError:
    pass
""",
    # + on dialogs, its left operand's statements emptied; the memory freed
    # right after is of the joined list's size and full of None, which is
    # what the join would hold if it copied as many items as it first saw.
    "sum": """
left, right = Dialog([[f"a{i}"] for i in range(20)]), Dialog([["b"]])
patterns = left.get_pattern_list() + ["b"]

def empty():
    left.statements.clear()
    [None] * len(patterns)

total = at_collection(n, empty, lambda: left + right)
assert total.get_pattern_list() in (patterns, ["b"])
""",
}


@pytest.mark.parametrize("case", EMPTIED.values(), ids=EMPTIED.keys())
def test_operand_emptied_by_a_collection(case):
    source = EMPTIED_DURING_COLLECTION.replace("{case}", case)
    for n in range(1, 13):
        done = subprocess.run([sys.executable, "-c", source, str(n)], capture_output=True,
                              text=True, timeout=120)
        assert (done.returncode, done.stdout) == (0, "survived\n"), (n, done.stderr)
