"""Dialog: construction, sequence operations, `+`, processing and text forms."""

import copy as copy_module
import gc
import operator
import weakref

import pytest
from hypothesis import given, settings, strategies as st

import tavrel.eal.dialogs as dialogs
from tavrel.core.errors import StatementValidationError
from tavrel.eal.dialogs import Dialog, Statement

from leakcheck import check_no_leak

CONTAINER_MSG = "Arguments to Dialog should be list of statements or a list of list"
ELEMENT_MSG = "Elements in statement list should be of type: list or tuple or Statement"
OPERAND_MSG = "Invalid Operand, should be of type Dialog"
FIELDS = ("pattern", "action", "_action", "args", "loop_continue", "continue_timer",
          "match", "trim_buffer", "matched_retries", "matched_retry_sleep",
          "di_params", "debug_statement")


def act(spawn):
    pass


def other_act(spawn):
    pass


class Boom(Exception):
    pass


class SubStatement(Statement):
    pass


class RaisingEq(Statement):
    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = None


class RaisingStr(Statement):
    def __str__(self):
        raise Boom("str")


def special(pattern):
    return Statement(pattern, act)


def ids(seq):
    return [id(x) for x in seq]


def exact(excinfo, exc_type, message):
    assert type(excinfo.value) is exc_type
    assert excinfo.value.args == (message,)


# --------------------------------------------------------------------------
# Construction
# --------------------------------------------------------------------------

class TestConstruction:
    @pytest.mark.parametrize("container", [None, [], (), [["a"]], (["a"],)])
    def test_container_kept_statements_new(self, container):
        d = Dialog() if container is None else Dialog(statement_list=container)
        if container is None:
            assert d.statement_list is Dialog().statement_list == []
        else:
            assert d.statement_list is container
        assert type(d.statements) is list and d.statements is not d.statement_list
        assert d.timeout_statement is None and d.eof_statement is None

    @pytest.mark.parametrize("cls", [Statement, SubStatement])
    def test_statement_elements_are_shallow_copies(self, cls):
        s = cls("p", act, None, True)
        s.extra = object()
        names = FIELDS + ("extra",)
        before = {name: getattr(s, name) for name in names}
        copied = Dialog([s]).statements[0]
        assert copied is not s and type(copied) is cls
        for name in names:
            assert getattr(copied, name) is before[name], name
            assert getattr(s, name) is before[name], name

    @pytest.mark.parametrize("args", [
        ("p",),
        ("p", act, None, True, False),
        ("__timeout__", act, None, True, False, False, 3, 0.5, ["spawn"], True),
    ])
    @pytest.mark.parametrize("container", [list, tuple])
    def test_argument_elements_build_statements(self, args, container):
        built = Dialog([container(args)]).statements[0]
        ref = Statement(*args)
        assert type(built) is Statement
        for name in FIELDS:
            assert getattr(built, name) == getattr(ref, name), name

    def test_special_statements(self):
        t1, t2, e1, e2 = (special(p) for p in ("__timeout__", "__timeout__", "__eof__", "__eof__"))
        d = Dialog([t1, e1, [["__timeout__"]], ["__eof__"], t2, e2, ["__EOF__"]])
        assert d.get_pattern_list() == ["__timeout__", ["__timeout__"], "__timeout__", "__EOF__"]
        # the last of each kind is recorded: timeouts stay, end-of-file statements go
        assert d.timeout_statement is d.statements[2]
        assert d.timeout_statement.match is t2.match
        assert d.eof_statement.match is e2.match

    @settings(deadline=None)
    @given(st.lists(st.tuples(
        st.sampled_from(["statement", "substatement", "list", "tuple"]),
        st.one_of(st.sampled_from(["__timeout__", "__eof__", ["__eof__"], ()]), st.text()),
    ), max_size=8))
    def test_extraction(self, spec):
        makers = {"statement": lambda a: Statement(*a), "substatement": lambda a: SubStatement(*a),
                  "list": list, "tuple": tuple}
        # matched_retries is stored unchanged: it marks each element's position
        elements = [makers[kind]((p, act, None, False, False, True, i))
                    for i, (kind, p) in enumerate(spec)]
        d = Dialog(elements)

        kept = [i for i, (_, p) in enumerate(spec) if p != "__eof__"]
        assert [s.matched_retries for s in d.statements] == kept
        assert not set(ids(d.statements)) & set(ids(elements))
        for s in d.statements:
            assert type(s) is (SubStatement if spec[s.matched_retries][0] == "substatement" else Statement)
        timeouts = [i for i, (_, p) in enumerate(spec) if p == "__timeout__"]
        expected = d.statements[kept.index(timeouts[-1])] if timeouts else None
        assert d.timeout_statement is expected
        eofs = [i for i, (_, p) in enumerate(spec) if p == "__eof__"]
        assert (d.eof_statement and d.eof_statement.matched_retries) == (eofs[-1] if eofs else None)

    @pytest.mark.parametrize("bad", [None, {}, "text", 5, set(), (x for x in []), Dialog()],
                             ids=lambda b: type(b).__name__)
    def test_bad_container(self, bad):
        with pytest.raises(Exception) as ei:
            Dialog(bad)
        exact(ei, Exception, CONTAINER_MSG)

    @pytest.mark.parametrize("bad", [{}, "text", None, 5, Dialog()], ids=lambda b: type(b).__name__)
    def test_bad_element(self, bad):
        with pytest.raises(TypeError) as ei:
            Dialog([["ok"], bad, [1]])  # met before the invalid [1]
        exact(ei, TypeError, ELEMENT_MSG)

    @pytest.mark.parametrize("elements, exc, match", [
        ([[]], TypeError, r"missing 1 required positional argument: 'pattern'"),
        ([("p",) + (None,) * 10], TypeError, r"takes from 2 to 11 positional arguments but 12 were given"),
        ([[1], 5], StatementValidationError, r"^pattern must be str, list or tuple$"),
    ])
    def test_element_rejected_by_statement(self, elements, exc, match):
        with pytest.raises(exc, match=match):
            Dialog(elements)

    def test_what_remains_after_failure(self):
        d = Dialog.__new__(Dialog)
        with pytest.raises(Exception):
            d.__init__(None)
        assert vars(d) == {"statement_list": None, "timeout_statement": None, "eof_statement": None}

        t, e = special("__timeout__"), special("__eof__")
        elements = [t, e, "bad"]
        with pytest.raises(TypeError):
            d.__init__(elements)
        assert d.statement_list is elements and "statements" not in vars(d)
        assert d.timeout_statement.match is t.match and d.eof_statement.match is e.match

        d = Dialog([t, e, ["a"]])
        old = d.statements
        with pytest.raises(TypeError):
            d.__init__([["b"], 5])
        assert d.statements is old
        assert d.timeout_statement is None and d.eof_statement is None

    def test_validate_and_extract_statements(self):
        assert Dialog.extract_statements.__doc__ == (
            "extract statement from the arguments.\n"
            "        it ignores any special statement like the timeout statement\n        ")
        d = Dialog([special("__timeout__"), special("__eof__"), ["a"]])
        statements, eof = d.statements, d.eof_statement
        again = d.extract_statements()
        assert d.statements is statements and not set(ids(again)) & set(ids(statements))
        assert d.timeout_statement is again[0] and d.eof_statement is not eof

        d.statement_list = [["plain"]]
        assert [s.pattern for s in d.extract_statements()] == ["plain"]
        assert d.timeout_statement is again[0]  # never reset by extraction
        assert d.validate() is None
        d.statement_list = "nope"
        with pytest.raises(Exception) as ei:
            d.validate()
        exact(ei, Exception, CONTAINER_MSG)


# --------------------------------------------------------------------------
# Collaborators and overrides are found at the time of use
# --------------------------------------------------------------------------

class TestLookups:
    def test_copy(self, monkeypatch):
        seen, replacement = [], Statement("replacement")
        monkeypatch.setattr(dialogs, "copy", lambda obj: seen.append(obj) or replacement)
        s = Statement("a")
        assert Dialog([s]).statements[0] is replacement
        assert ids(seen) == [id(s)]

    def test_statement(self, monkeypatch):
        monkeypatch.setattr(dialogs, "Statement", SubStatement)
        d = Dialog([["a"], ("b",)])
        d.append(["c"])
        d.insert(0, ["d"])
        assert [type(s) for s in d] == [SubStatement] * 4
        with pytest.raises(TypeError) as ei:
            Dialog([Statement("plain")])  # no longer an instance of the module's Statement
        exact(ei, TypeError, ELEMENT_MSG)

    def test_dialog(self, monkeypatch):
        class Other(Dialog):
            pass

        a, b = Dialog([["a"]]), Dialog([["b"]])
        monkeypatch.setattr(dialogs, "Dialog", Other)
        with pytest.raises(TypeError) as ei:
            a + b
        exact(ei, TypeError, OPERAND_MSG)
        result = a + Other([["c"]])
        assert type(result) is Other and result.get_pattern_list() == ["a", "c"]

    def test_dialog_processor(self, monkeypatch):
        d = Dialog()
        for value in (1, 2):
            class P:
                def __init__(self, *args, **kwargs):
                    pass

                def process(self, value=value):
                    return value

            monkeypatch.setattr(dialogs, "DialogProcessor", P)
            assert d.process() == value
        monkeypatch.delattr(dialogs, "DialogProcessor")
        with pytest.raises(NameError):
            d.process()

    def test_subclass_overrides(self):
        sentinel = [Statement("z")]

        class Sub(Dialog):
            def validate(self):
                self.validated = True

            def extract_statements(self):
                return sentinel

            def __str__(self):
                return "custom"

            def __add__(self, dialog):
                return ("added", dialog)

        d = Sub("not a list")
        assert d.validated and d.statements is sentinel and repr(d) == "custom"
        other = Dialog()
        d += other
        assert d == ("added", other)


# --------------------------------------------------------------------------
# Sequence operations
# --------------------------------------------------------------------------

class TestSequence:
    @pytest.mark.parametrize("elements, expected", [
        ([], False), ([special("__eof__")], False), ([special("__timeout__")], True), ([["a"]], True),
    ])
    def test_bool(self, elements, expected):
        d = Dialog(elements)
        assert d.__bool__() is expected
        d.append(["x"])
        assert d.__bool__() is True

    def test_contains_reads_current_statements(self):
        s = Statement("a", act)
        elements = [s, ["b", act]]
        d = Dialog(elements)
        assert s in d and Statement("b", act) in d
        assert Statement("a", other_act) not in d
        d.remove(s)
        assert s not in d
        extra = Statement("c")
        d.append(extra)
        assert d.__contains__(item=extra) is True
        elements.append(Statement("d"))  # the caller's list is not consulted
        assert Statement("d") not in d
        e = special("__eof__")
        assert e not in Dialog([e])

    @pytest.mark.parametrize("item", ["a", 1, None, ["a"], object()], ids=repr)
    def test_contains_foreign_objects(self, item):
        assert item not in Dialog([["a"], ["b"]])

    def test_identity_before_equality(self):
        weird = RaisingEq("w")
        d = Dialog()
        d.append(weird)
        assert weird in d
        for op in (lambda: Statement("w") in d, lambda: d.remove(Statement("w"))):
            with pytest.raises(Boom):
                op()

    def test_iteration_is_the_live_list_iterator(self):
        d = Dialog([["a"], special("__timeout__")])
        assert type(iter(d)) is type(iter([]))
        seen = []
        for s in d:
            seen.append(s)
            if len(seen) == 1:
                d.append(["b"])
        assert ids(seen) == ids(d.statements) and len(seen) == 3

    @pytest.mark.parametrize("make_arg", [
        lambda: ["p", None], lambda: ("p", act), lambda: (x for x in ["p"]), lambda: {"p": 1},
    ], ids=["list", "tuple", "generator", "dict"])
    @pytest.mark.parametrize("op", ["append", "insert"])
    def test_arguments_converted(self, op, make_arg):
        d = Dialog([["first"]])
        arg = make_arg()
        assert (d.append(arg) if op == "append" else d.insert(1, arg)) is None
        assert type(d.statements[1]) is Statement and d.statements[1].pattern == "p"

    def test_statements_stored_themselves_without_special_treatment(self):
        d = Dialog([["a"]])
        (first,) = d.statements
        eof, timeout, sub = special("__eof__"), special("__timeout__"), SubStatement("x")
        d.append(statement=eof)
        d.insert(index=5, statement=timeout)
        d.insert(-3, sub)
        assert ids(d.statements) == ids([sub, first, eof, timeout])
        assert d.timeout_statement is None and d.eof_statement is None

    @settings(deadline=None)
    @given(n=st.integers(0, 4), index=st.integers(-10, 10))
    def test_insert_index_rules_match_list(self, n, index):
        d = Dialog([[str(i)] for i in range(n)])
        model, s = list(d.statements), Statement("new")
        d.insert(index, s)
        model.insert(index, s)
        assert ids(d.statements) == ids(model)

    def test_remove(self):
        s = Statement("a", act)
        d = Dialog([["x"], s, s, ["a", act, None, True]])
        copies = list(d.statements)
        assert d.remove(Statement("a", act)) is None  # equal, not identical: first match
        assert ids(d.statements) == ids([copies[0], copies[2], copies[3]])
        d.remove(s)
        d.remove(statement=["a", act])
        assert d.get_pattern_list() == ["x"]

        t = Statement("t", "sendline(x)")
        d = Dialog([t])
        with pytest.raises(ValueError):
            d.remove(["t", "sendline(x)"])  # translates to a new callable
        d.remove(t)  # the copy shares t's callable
        assert d.statements == []

    @pytest.mark.parametrize("call, exc", [
        (lambda d: d.append(5), TypeError),
        (lambda d: d.remove(5), TypeError),
        (lambda d: d.append([1]), StatementValidationError),
        (lambda d: d.append("ab"), StatementValidationError),  # Statement("a", "b")
        (lambda d: d.insert("0", ["p"]), TypeError),
        (lambda d: d.remove(["zzz"]), ValueError),
        (lambda d: d.remove(Statement("a", other_act)), ValueError),
        (lambda d: d.remove(RaisingEq("a", act)), Boom),
    ])
    def test_failed_edit_leaves_statements_unchanged(self, call, exc):
        d = Dialog([["a", act], ["b"]])
        lst, before = d.statements, list(d.statements)
        with pytest.raises(exc):
            call(d)
        assert d.statements is lst and ids(lst) == ids(before)

    def test_get_pattern_list(self):
        pat = ["x", "y"]
        d = Dialog([[pat], special("__timeout__"), special("__eof__"), ["z"]])
        first = d.get_pattern_list()
        assert first == [pat, "__timeout__", "z"] and first[0] is pat
        assert d.get_pattern_list() is not first
        assert Dialog().get_pattern_list() == []

    @pytest.mark.parametrize("op", [
        len, lambda d: d[0], lambda d: operator.setitem(d, 0, d), lambda d: operator.delitem(d, 0),
        lambda d: [Statement("a")] + d, lambda d: 1 + d,
    ], ids=["len", "getitem", "setitem", "delitem", "list+dialog", "int+dialog"])
    def test_unsupported(self, op):
        with pytest.raises(TypeError):
            op(Dialog([["a"]]))

    def test_identity_semantics(self):
        a, b = Dialog([["a"]]), Dialog([["a"]])
        assert hash(a) == object.__hash__(a) and a == a and a != b


class TestCallerCodeDuringOperations:
    """Caller code run inside an operation may change the lists it walks."""

    def test_caller_list_emptied_during_construction(self, monkeypatch):
        elements = []

        class P(str):
            def __eq__(self, other):
                elements.clear()
                return str.__eq__(self, other)

            __hash__ = str.__hash__

        elements.extend([Statement(P("a"))] + [Statement("x%d" % i) for i in range(50)])
        assert Dialog(elements).get_pattern_list() == ["a"]

        elements[:] = [Statement("x%d" % i) for i in range(50)]
        monkeypatch.setattr(dialogs, "copy", lambda obj: elements.clear() or copy_module.copy(obj))
        assert Dialog(elements).get_pattern_list() == ["x0"]

    def test_statements_emptied_while_walked(self):
        d = Dialog([["x%d" % i] for i in range(50)])

        class S(Statement):
            def __str__(self):
                d.statements.clear()
                return "s"

            @property
            def pattern(self):
                d.statements.clear()
                return "p"

            @pattern.setter
            def pattern(self, value):
                pass

        d.insert(0, S("s"))
        assert str(d) == "[\n\ts,\n]"
        d.insert(0, S("s"))
        assert d.get_pattern_list() == ["p"]

    def test_statements_replaced_by_tuple(self):
        d = Dialog([["a"], ["b"]])
        d.statements = tuple(d.statements)
        assert bool(d) is True and Statement("a") in d
        assert [s.pattern for s in d] == d.get_pattern_list() == ["a", "b"]
        assert str(d).count("\n") == 3
        assert (d + d).get_pattern_list() == ["a", "b", "a", "b"]

    @pytest.mark.parametrize("op, exc", [
        (iter, AttributeError), (lambda d: d.get_pattern_list(), TypeError), (str, TypeError),
        (lambda d: Statement("a") in d, TypeError), (lambda d: d + d, TypeError),
        (lambda d: d.append(["x"]), AttributeError), (lambda d: d.remove(["x"]), AttributeError),
    ])
    def test_statements_replaced_by_none(self, op, exc):
        d = Dialog([["a"]])
        d.statements = None
        assert bool(d) is False
        with pytest.raises(exc):
            op(d)


# --------------------------------------------------------------------------
# + and +=
# --------------------------------------------------------------------------

def snapshot(d):
    return d.statements, ids(d.statements), d.statement_list, d.timeout_statement, d.eof_statement


def assert_unchanged(d, snap):
    assert d.statements is snap[0] and ids(d.statements) == snap[1]
    assert d.statement_list is snap[2]
    assert d.timeout_statement is snap[3] and d.eof_statement is snap[4]


class TestAdd:
    def test_concatenates_copies(self):
        a, b = Dialog([["a1"], ["a2"]]), Dialog([["b1"]])
        r = a + b
        assert type(r) is Dialog
        assert ids(r.statement_list) == ids(a.statements + b.statements)
        for new, old in zip(r.statements, a.statements + b.statements):
            assert new is not old and new.match is old.match
        assert (a + a).get_pattern_list() == ["a1", "a2", "a1", "a2"]

    @pytest.mark.parametrize("pattern, attr", [("__timeout__", "timeout_statement"),
                                               ("__eof__", "eof_statement")])
    @pytest.mark.parametrize("left, right", [(0, 0), (0, 1), (1, 0), (1, 1)])
    def test_special_statements_carried_over(self, pattern, attr, left, right):
        a = Dialog([special(pattern), ["a"]] if left else [["a"]])
        b = Dialog([["b"], special(pattern)] if right else [["b"]])
        expected = getattr(a, attr) or getattr(b, attr)
        assert getattr(a + b, attr) is expected  # the operand's own object

    def test_special_statements_added_by_editing(self):
        # Found by the construction of the result: the timeout statement is
        # then overridden by the operands' (absent) ones, the end-of-file
        # statement stays unless an operand has one.
        a = Dialog([["a"]])
        a.append(special("__timeout__"))
        e = special("__eof__")
        a.append(e)
        r = a + Dialog()
        assert r.timeout_statement is None
        assert r.eof_statement.match is e.match and r.eof_statement is not e
        assert r.get_pattern_list() == ["a", "__timeout__"]
        b = Dialog([special("__eof__")])
        assert (a + b).eof_statement is b.eof_statement

    @pytest.mark.parametrize("pattern, attr", [("__timeout__", "timeout_statement"),
                                               ("__eof__", "eof_statement")])
    def test_operand_chosen_by_truth_value(self, pattern, attr):
        class Falsy(Statement):
            def __bool__(self):
                return False

        class Failing(Statement):
            def __bool__(self):
                raise Boom()

        right = Dialog([Statement(pattern)])
        assert getattr(Dialog([Falsy(pattern)]) + right, attr) is getattr(right, attr)
        with pytest.raises(Boom):
            Dialog([Failing(pattern)]) + right

    @settings(deadline=None)
    @given(st.lists(st.sampled_from(["x", "__timeout__", "__eof__", "eof+", "to+"]), max_size=5),
           st.lists(st.sampled_from(["y", "__timeout__", "__eof__", "eof+", "to+"]), max_size=5))
    def test_add_invariants(self, left, right):
        def build(spec):
            d = Dialog([special(p) for p in spec if not p.endswith("+")])
            for p in spec:
                if p.endswith("+"):  # added by editing, so not recorded
                    d.append(special("__eof__" if p == "eof+" else "__timeout__"))
            return d

        a, b = build(left), build(right)
        sa, sb = snapshot(a), snapshot(b)
        r = a + b
        joined = a.statements + b.statements
        assert ids(r.statement_list) == ids(joined)
        assert r.get_pattern_list() == [s.pattern for s in joined if s.pattern != "__eof__"]
        assert r.timeout_statement is (a.timeout_statement or b.timeout_statement)
        if a.eof_statement or b.eof_statement:
            assert r.eof_statement is (a.eof_statement or b.eof_statement)
        else:
            last = ([None] + [s for s in joined if s.pattern == "__eof__"])[-1]
            assert (r.eof_statement and r.eof_statement.match) is (last and last.match)
        assert_unchanged(a, sa)
        assert_unchanged(b, sb)

    @pytest.mark.parametrize("other", [[Statement("s")], None, 5, Statement("s")],
                             ids=lambda o: type(o).__name__)
    def test_bad_operand(self, other):
        d = Dialog([["a"]])
        snap = snapshot(d)
        for op in (lambda: d + other, lambda: d.__iadd__(other)):
            with pytest.raises(TypeError) as ei:
                op()
            exact(ei, TypeError, OPERAND_MSG)
        assert_unchanged(d, snap)

    def test_construction_failure_propagates(self):
        a, b = Dialog([["a"]]), Dialog([["b"]])
        b.statements.append(5)
        with pytest.raises(TypeError) as ei:
            a + b
        exact(ei, TypeError, ELEMENT_MSG)

    def test_iadd_rebinds(self):
        d, other = Dialog([["a"]]), Dialog([["b"]])
        e, snap = d, snapshot(d)
        d += other
        assert d is not e and type(d) is Dialog and d.get_pattern_list() == ["a", "b"]
        assert_unchanged(e, snap)

    def test_subclass_operands_give_plain_dialog(self):
        class Sub(Dialog):
            pass

        a, b = Sub([["a"]]), Sub([["b"]])
        for r in (a + b, a + Dialog(), Dialog() + b, a.__iadd__(b)):
            assert type(r) is Dialog


# --------------------------------------------------------------------------
# Text forms and process
# --------------------------------------------------------------------------

class TestText:
    def test_empty(self):
        assert str(Dialog()) == repr(Dialog()) == "[\n]"

    @settings(deadline=None)
    @given(st.lists(st.one_of(st.text(), st.lists(st.text(max_size=3), max_size=2)), max_size=4))
    def test_one_line_per_statement(self, patterns):
        d = Dialog([Statement(p, act) for p in patterns])
        expected = "[\n" + "".join("\t" + str(s) + ",\n" for s in d.statements) + "]"
        assert str(d) == repr(d) == expected

    def test_special_text_and_multiline_elements(self):
        class Multi(Statement):
            def __str__(self):
                return "line one\nline two"

        s = Statement("a")
        d = Dialog([s, special("__eof__"), special("__timeout__")])
        d.statements.append("raw text")
        d.append(Multi("m"))
        assert str(d) == ("[\n\t" + str(s) + ",\n\t" + str(special("__timeout__"))
                          + ",\n\traw text,\n\tline one\nline two,\n]")
        assert repr([d]) == "[" + str(d) + "]"

    def test_statement_str_exception_propagates(self):
        d = Dialog([["a"]])
        d.append(RaisingStr("b"))
        for op in (str, repr):
            with pytest.raises(Boom, match="^str$"):
                op(d)


class TestProcess:
    @pytest.fixture
    def made(self, monkeypatch):
        made = []

        class Recorder:
            def __init__(self, *args, **kwargs):
                self.args, self.kwargs = args, kwargs
                kwargs["added_by_processor"] = True
                made.append(self)

            def process(self):
                return ("processed", self)

        monkeypatch.setattr(dialogs, "DialogProcessor", Recorder)
        return made

    def test_hands_over_dialog_arguments_and_keyword_copy(self, made):
        d = Dialog([["a"]])
        before = dict(vars(d))
        spawn, opts = object(), {"timeout": 30}
        result = d.process(spawn, 1, **opts)
        d.process()
        first, second = made
        assert result == ("processed", first)
        assert first.args[0] is d and first.args[1] is spawn and first.args[2:] == (1,)
        assert first.kwargs == {"timeout": 30, "added_by_processor": True}
        assert opts == {"timeout": 30}
        assert second.args == (d,)
        assert vars(d) == before

    @pytest.mark.parametrize("where", ["init", "process"])
    def test_exceptions_propagate_unchanged(self, monkeypatch, where):
        err = Boom(where)

        class Failing:
            def __init__(self, *args, **kwargs):
                if where == "init":
                    raise err

            def process(self):
                raise err

        monkeypatch.setattr(dialogs, "DialogProcessor", Failing)
        with pytest.raises(Boom) as ei:
            Dialog().process(object())
        assert ei.value is err


# --------------------------------------------------------------------------
# Reference cycles and leaks
# --------------------------------------------------------------------------

def test_dialog_cycle_collected():
    class Holder:
        pass

    h, d = Holder(), Dialog([["a"]])
    d.statements[0].owner, h.dialog = h, d
    r = weakref.ref(h)
    del h, d
    gc.collect()
    assert r() is None


class _NullProcessor:
    def __init__(self, *args, **kwargs):
        pass

    def process(self):
        return None


def _leak_cases():
    s, t, e = Statement("a", act), special("__timeout__"), special("__eof__")
    elements = [s, ["b", act, None, True], ("c",), t, e]
    d, d_edit, other = Dialog(elements), Dialog(elements), Dialog([["x"]])
    d_weird, d_loud = Dialog(), Dialog()
    d_weird.append(RaisingEq("w"))
    d_loud.append(RaisingStr("l"))

    def edit():
        d_edit.append(s)
        d_edit.insert(-1, ["n"])
        d_edit.remove(s)
        d_edit.remove(["n"])

    def reinit():
        Dialog.__new__(Dialog).__init__([t, e, "bad"])

    ok = [
        ("construct", lambda: Dialog(elements)),
        ("construct-default", Dialog),
        ("edit", edit),
        ("read", lambda: (s in d, "zz" in d, list(d), d.get_pattern_list(), bool(d))),
        ("add", lambda: (d + other, d.__iadd__(other))),
        ("text", lambda: (str(d), repr(d))),
        ("process", lambda: d.process(s, timeout=3)),
        ("extract", d.extract_statements),
    ]
    bad = [
        ("bad-container", lambda: Dialog({"a": 1}), Exception),
        ("bad-element", reinit, TypeError),
        ("bad-statement", lambda: Dialog([s, [1]]), StatementValidationError),
        ("bad-operand", lambda: d + [s], TypeError),
        ("remove-missing", lambda: d.remove(["a", "sendline(x)"]), ValueError),
        ("insert-bad-index", lambda: d.insert("0", s), TypeError),
        ("append-non-iterable", lambda: d.append(5), TypeError),
        ("eq-raises", lambda: (Statement("w") in d_weird, d_weird.remove(Statement("w"))), Boom),
        ("str-raises", lambda: str(d_loud), Boom),
    ]
    return (s, t, e, elements, act, Dialog.__init__.__defaults__[0]), ok, bad


_SHARED, _OK, _BAD = _leak_cases()


@pytest.mark.parametrize("name, op", _OK, ids=[c[0] for c in _OK])
def test_no_leak(monkeypatch, name, op):
    monkeypatch.setattr(dialogs, "DialogProcessor", _NullProcessor)
    check_no_leak(op, *_SHARED, iterations=1000)


@pytest.mark.parametrize("name, op, exc", _BAD, ids=[c[0] for c in _BAD])
def test_no_leak_on_failure(name, op, exc):
    check_no_leak(op, *_SHARED, raises=exc, iterations=1000)
