"""Dialog: construction, sequence operations, `+`, processing and text forms."""

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

FIELDS = (
    "pattern", "action", "_action", "args", "loop_continue", "continue_timer",
    "match", "trim_buffer", "matched_retries", "matched_retry_sleep",
    "di_params", "debug_statement",
)


def act(spawn):
    pass


def other_act(spawn):
    pass


class Boom(Exception):
    pass


class SubStatement(Statement):
    pass


class RaisingEq(Statement):
    """A statement whose comparisons fail; identity still finds it."""

    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = None


class RaisingStr(Statement):
    def __str__(self):
        raise Boom("str")


def timeout_st(**kw):
    return Statement("__timeout__", act, **kw)


def eof_st(**kw):
    return Statement("__eof__", act, **kw)


def ids(seq):
    return [id(x) for x in seq]


def exact(excinfo, exc_type, *args):
    assert type(excinfo.value) is exc_type
    assert excinfo.value.args == args


@pytest.fixture
def processor(monkeypatch):
    """Replace the module's DialogProcessor by a recorder."""

    class Recorder:
        made = []

        def __init__(self, *args, **kwargs):
            self.args = args
            self.kwargs = kwargs
            kwargs["added_by_processor"] = True
            Recorder.made.append(self)

        def process(self):
            return ("processed", self)

    monkeypatch.setattr(dialogs, "DialogProcessor", Recorder)
    return Recorder


# --------------------------------------------------------------------------
# Construction
# --------------------------------------------------------------------------

class TestConstruction:
    def test_default_statement_list_is_one_shared_list(self):
        a, b = Dialog(), Dialog()
        assert a.statement_list is b.statement_list
        assert a.statement_list is Dialog.__init__.__defaults__[0]
        assert a.statement_list == []
        assert a.statements == [] and a.statements is not b.statements
        assert a.timeout_statement is None and a.eof_statement is None

    @pytest.mark.parametrize("container", [[], (), [["a"]], (["a"],)],
                             ids=["list", "tuple", "list-of-lists", "tuple-of-lists"])
    def test_caller_container_kept_statements_new_list(self, container):
        d = Dialog(statement_list=container)
        assert d.statement_list is container
        assert type(d.statements) is list
        assert d.statements is not container

    def test_container_subclasses_accepted(self):
        class L(list):
            pass

        class T(tuple):
            pass

        assert Dialog(L([["a"]])).get_pattern_list() == ["a"]
        assert Dialog(T((["b"],))).get_pattern_list() == ["b"]

    @pytest.mark.parametrize("cls", [Statement, SubStatement])
    def test_statement_elements_are_shallow_copies(self, cls):
        s = cls("p", act, None, True)
        s.extra = object()
        names = FIELDS + ("extra",)
        before = {name: getattr(s, name) for name in names}
        copied = Dialog([s]).statements[0]
        assert copied is not s
        assert type(copied) is cls
        for name, value in before.items():
            assert getattr(copied, name) is value, name
        # the original is untouched
        assert all(getattr(s, k) is v for k, v in before.items())

    def test_copies_do_not_rerun_validation(self):
        s = Statement("p")
        s.loop_continue = "not a bool"  # accepted: nothing re-validates
        assert Dialog([s]).statements[0].loop_continue == "not a bool"

    @pytest.mark.parametrize("args", [
        ("p",),
        ("p", None),
        ("p", act, None, True, False),
        ("__timeout__", act, None, True, False, False, 3, 0.5, ["spawn"], True),
        (["a", "b"], act, {}, False, False, True, None, None),
    ])
    @pytest.mark.parametrize("container", [list, tuple])
    def test_argument_elements_build_statements(self, args, container):
        built = Dialog([container(args)]).statements[0]
        ref = Statement(*args)
        assert type(built) is Statement
        for name in FIELDS:
            if name == "match":
                assert built.match == [] and built.match is not ref.match
            else:
                assert getattr(built, name) == getattr(ref, name), name

    def test_string_action_translated_in_argument_element(self):
        s = Dialog([["p", "sendline(admin)"]]).statements[0]
        assert s.action.__name__ == "sendline"
        assert s.args == {"key": "admin"}

    def test_special_statements(self):
        t1, t2, e1, e2 = timeout_st(), timeout_st(), eof_st(), eof_st()
        plain = Statement("a")
        d = Dialog([t1, e1, plain, ["__eof__"], t2, e2])
        assert d.get_pattern_list() == ["__timeout__", "a", "__timeout__"]
        # the last of each kind is recorded; timeouts stay, eofs are dropped
        assert d.timeout_statement is d.statements[2]
        assert d.timeout_statement.match is t2.match
        assert d.eof_statement.match is e2.match
        assert all(x is not d.eof_statement for x in d.statements)

    @pytest.mark.parametrize("pattern", [["__timeout__"], ("__eof__",), "__timeout__ ", "__EOF__"])
    def test_near_special_patterns_are_ordinary(self, pattern):
        d = Dialog([[pattern]])
        assert len(d.statements) == 1
        assert d.timeout_statement is None and d.eof_statement is None

    def test_str_subclass_equal_to_special_pattern_counts(self):
        class S(str):
            pass

        d = Dialog([[S("__eof__")], [S("__timeout__")]])
        assert d.eof_statement is not None
        assert d.timeout_statement is d.statements[0]

    @settings(deadline=None)
    @given(st.lists(st.tuples(
        st.sampled_from(["statement", "substatement", "list", "tuple"]),
        st.one_of(st.sampled_from(["__timeout__", "__eof__", "x", ["__eof__"], ()]), st.text()),
    ), max_size=8))
    def test_extraction_invariants(self, spec):
        elements = []
        for i, (kind, pattern) in enumerate(spec):
            args = (pattern, act, None, False, False, True, i)  # matched_retries marks origin
            if kind == "statement":
                elements.append(Statement(*args))
            elif kind == "substatement":
                elements.append(SubStatement(*args))
            else:
                elements.append({"list": list, "tuple": tuple}[kind](args))
        d = Dialog(elements)

        kept = [i for i, (_, p) in enumerate(spec) if p != "__eof__"]
        assert [s.matched_retries for s in d.statements] == kept
        originals = [id(e) for e in elements]
        assert not set(ids(d.statements)) & set(originals)
        for s in d.statements:
            kind = spec[s.matched_retries][0]
            assert type(s) is (SubStatement if kind == "substatement" else Statement)

        timeouts = [i for i, (_, p) in enumerate(spec) if p == "__timeout__"]
        if timeouts:
            pos = kept.index(timeouts[-1])
            assert d.timeout_statement is d.statements[pos]
        else:
            assert d.timeout_statement is None
        eofs = [i for i, (_, p) in enumerate(spec) if p == "__eof__"]
        if eofs:
            assert d.eof_statement.matched_retries == eofs[-1]
        else:
            assert d.eof_statement is None

    @pytest.mark.parametrize("bad", [None, {}, {"a": 1}, "text", b"", 5, set(),
                                     (x for x in []), Dialog()],
                             ids=lambda b: type(b).__name__)
    def test_bad_container(self, bad):
        with pytest.raises(Exception) as ei:
            Dialog(bad)
        exact(ei, Exception, CONTAINER_MSG)

    @pytest.mark.parametrize("bad", [{}, "text", None, 5, Dialog(), {"p"}],
                             ids=lambda b: type(b).__name__)
    def test_bad_element(self, bad):
        with pytest.raises(TypeError) as ei:
            Dialog([["ok"], bad, [1]])  # the bad element is met before [1]
        exact(ei, TypeError, ELEMENT_MSG)

    @pytest.mark.parametrize("elements, exc, match", [
        ([[]], TypeError, r"missing 1 required positional argument: 'pattern'"),
        ([tuple(["p"] + [None] * 10)], TypeError, r"takes from 2 to 11 positional arguments but 12 were given"),
        ([[1]], StatementValidationError, r"^pattern must be str, list or tuple$"),
        ([["p", None, None, 1]], StatementValidationError, r"^loop_continue must be boolean"),
        ([[1], 5], StatementValidationError, r"^pattern must be str, list or tuple$"),
    ])
    def test_element_rejected_by_statement(self, elements, exc, match):
        with pytest.raises(exc, match=match):
            Dialog(elements)

    def test_what_remains_after_bad_container(self):
        d = Dialog.__new__(Dialog)
        with pytest.raises(Exception):
            d.__init__(None)
        assert vars(d) == {"statement_list": None, "timeout_statement": None,
                           "eof_statement": None}

    def test_what_remains_after_bad_element(self):
        t, e = timeout_st(), eof_st()
        elements = [t, e, "bad"]
        d = Dialog.__new__(Dialog)
        with pytest.raises(TypeError):
            d.__init__(elements)
        assert d.statement_list is elements
        assert d.timeout_statement.match is t.match and d.timeout_statement is not t
        assert d.eof_statement.match is e.match
        assert "statements" not in vars(d)

    def test_reinit_failure_keeps_old_statements_but_resets_specials(self):
        d = Dialog([timeout_st(), eof_st(), ["a"]])
        old = d.statements
        with pytest.raises(TypeError):
            d.__init__([["b"], 5])
        assert d.statements is old
        assert d.timeout_statement is None and d.eof_statement is None

    def test_wrong_call_shapes(self):
        with pytest.raises(TypeError):
            Dialog([], [])
        with pytest.raises(TypeError):
            Dialog(statements=[])


class TestValidateAndExtract:
    @pytest.mark.parametrize("name, doc", [
        ("validate", "validate all the statement arguments"),
        ("extract_statements", "extract statement from the arguments.\n"
                               "        it ignores any special statement like the timeout statement\n"
                               "        "),
        ("append", "append a statement to the end of the dialog instance"),
        ("insert", "insert a statement at a given index"),
        ("remove", "remove a statement of the dialog instance"),
        ("get_pattern_list", "get list of patterns from all the statements"),
        ("__init__", None), ("__bool__", None), ("__contains__", None), ("__iter__", None),
        ("__add__", None), ("__iadd__", None), ("__str__", None), ("__repr__", None),
    ])
    def test_docstrings(self, name, doc):
        assert getattr(Dialog, name).__doc__ == doc

    def test_long_docstrings(self):
        assert Dialog.__doc__[0].isspace()
        assert Dialog.__doc__.lstrip().startswith("Dialog is a set of statement objects.")
        assert "a duck type function easy processing of a dialog." in Dialog.process.__doc__
        assert "d.process(s, timeout=30)" in Dialog.process.__doc__

    def test_validate_reads_current_statement_list(self):
        d = Dialog()
        assert d.validate() is None
        d.statement_list = "nope"
        with pytest.raises(Exception) as ei:
            d.validate()
        exact(ei, Exception, CONTAINER_MSG)

    def test_extract_builds_fresh_copies_and_never_resets_specials(self):
        t = timeout_st()
        d = Dialog([t, eof_st(), ["a"]])
        old_statements, old_timeout, old_eof = d.statements, d.timeout_statement, d.eof_statement

        again = d.extract_statements()
        assert d.statements is old_statements  # not assigned by extraction
        assert again is not old_statements
        assert not set(ids(again)) & set(ids(old_statements))
        assert d.timeout_statement is again[0]  # re-recorded to the new copy
        assert d.eof_statement is not old_eof

        d.statement_list = [["plain"]]
        result = d.extract_statements()
        assert [s.pattern for s in result] == ["plain"]
        assert d.timeout_statement is again[0]
        assert d.timeout_statement is not old_timeout

    def test_subclass_validate_and_extract_used_through_instance(self):
        sentinel = [Statement("z")]

        class Lenient(Dialog):
            def validate(self):
                self.validated = True

        class Fixed(Dialog):
            def extract_statements(self):
                return sentinel

        d = Lenient(iter([Statement("a")]))  # not a list, but validate allows it
        assert d.validated and d.get_pattern_list() == ["a"]
        assert Fixed([["x"]]).statements is sentinel


# --------------------------------------------------------------------------
# Collaborators are looked up at the time of use
# --------------------------------------------------------------------------

class TestModuleGlobals:
    def test_copy(self, monkeypatch):
        seen = []
        replacement = Statement("replacement")

        def fake_copy(obj):
            seen.append(obj)
            return replacement

        s = Statement("a")
        monkeypatch.setattr(dialogs, "copy", fake_copy)
        d = Dialog([s])
        assert len(seen) == 1 and seen[0] is s
        assert d.statements[0] is replacement

    def test_statement(self, monkeypatch):
        monkeypatch.setattr(dialogs, "Statement", SubStatement)
        d = Dialog([["a"], ("b",)])
        assert [type(s) for s in d.statements] == [SubStatement, SubStatement]
        d.append(["c"])
        d.insert(0, ["d"])
        assert all(type(s) is SubStatement for s in d.statements)
        with pytest.raises(TypeError) as ei:
            Dialog([Statement("plain")])  # no longer an instance of the module's Statement
        exact(ei, TypeError, ELEMENT_MSG)

    def test_dialog(self, monkeypatch):
        class Other(Dialog):
            pass

        a, b = Dialog([["a"]]), Dialog([["b"]])
        monkeypatch.setattr(dialogs, "Dialog", Other)
        with pytest.raises(TypeError) as ei:
            a + b  # b is not an instance of the module's Dialog any more
        exact(ei, TypeError, OPERAND_MSG)
        result = a + Other([["c"]])
        assert type(result) is Other
        assert result.get_pattern_list() == ["a", "c"]

    def test_dialog_processor_missing(self, monkeypatch):
        monkeypatch.delattr(dialogs, "DialogProcessor")
        with pytest.raises(NameError):
            Dialog().process()


# --------------------------------------------------------------------------
# Sequence operations
# --------------------------------------------------------------------------

class TestTruthAndContains:
    @pytest.mark.parametrize("make, expected", [
        (lambda: Dialog(), False),
        (lambda: Dialog([eof_st()]), False),
        (lambda: Dialog([timeout_st()]), True),
        (lambda: Dialog([["a"]]), True),
    ])
    def test_bool(self, make, expected):
        d = make()
        assert d.__bool__() is expected
        assert bool(d) is expected

    def test_bool_follows_edits(self):
        d = Dialog()
        d.append(["a"])
        assert d.__bool__() is True
        d.remove(d.statements[0])
        assert d.__bool__() is False

    def test_contains_tests_current_statements(self):
        s = Statement("a", act)
        d = Dialog([s])
        assert s in d  # the copy equals the caller's statement
        assert Statement("a", act) in d
        assert Statement("a", other_act) not in d
        d.remove(s)
        assert s not in d
        extra = Statement("b")
        d.append(extra)
        assert extra in d
        assert d.__contains__(item=extra) is True

    def test_contains_ignores_callers_list(self):
        elements = []
        d = Dialog(elements)
        s = Statement("a")
        elements.append(s)
        assert s not in d
        assert d.statement_list == [s]

    def test_contains_argument_lists_are_compared_as_statements(self):
        d = Dialog([["a", act]])
        assert Statement("a", act) in d
        assert ["a", act] not in d  # foreign objects are simply unequal

    def test_eof_statement_not_contained(self):
        e = eof_st()
        assert e not in Dialog([e])

    @pytest.mark.parametrize("item", ["a", 1, None, object(), ["a"]], ids=repr)
    def test_contains_foreign_objects(self, item):
        assert item not in Dialog([["a"], ["b"]])

    def test_contains_identity_first_then_eq_exception_propagates(self):
        weird = RaisingEq("w")
        d = Dialog()
        d.append(weird)
        assert weird in d  # identity: __eq__ not needed
        with pytest.raises(Boom):
            Statement("w") in d


class TestIteration:
    def test_iter_is_the_list_iterator(self):
        d = Dialog([["a"], ["b"], timeout_st()])
        it = iter(d)
        assert type(it) is type(iter([]))
        assert ids(it) == ids(d.statements)

    def test_iteration_is_live(self):
        d = Dialog([["a"]])
        seen = []
        for s in d:
            seen.append(s.pattern)
            if len(seen) == 1:
                d.append(["b"])
        assert seen == ["a", "b"]


class TestEditing:
    @pytest.mark.parametrize("make_arg", [
        lambda: ["p", None],
        lambda: ("p", act),
        lambda: (x for x in ["p"]),
        lambda: {"p": 1},  # any iterable is unpacked
    ], ids=["list", "tuple", "generator", "dict"])
    @pytest.mark.parametrize("op", ["append", "insert"])
    def test_arguments_converted_to_statement(self, op, make_arg):
        d = Dialog([["first"]])
        arg = make_arg()
        result = d.append(arg) if op == "append" else d.insert(1, arg)
        assert result is None
        added = d.statements[1]
        assert type(added) is Statement and added.pattern == "p"

    @pytest.mark.parametrize("op", ["append", "insert"])
    def test_statement_stored_itself_without_special_treatment(self, op):
        d = Dialog([["a"]])
        for s in (eof_st(), timeout_st(), SubStatement("x")):
            if op == "append":
                d.append(statement=s)
            else:
                d.insert(index=len(d.statements), statement=s)
            assert d.statements[-1] is s
        assert d.timeout_statement is None and d.eof_statement is None
        assert d.get_pattern_list() == ["a", "__eof__", "__timeout__", "x"]

    @settings(deadline=None)
    @given(n=st.integers(0, 4), index=st.integers(-10, 10))
    def test_insert_index_rules_match_list(self, n, index):
        d = Dialog([[str(i)] for i in range(n)])
        model = list(d.statements)
        s = Statement("new")
        d.insert(index, s)
        model.insert(index, s)
        assert ids(d.statements) == ids(model)

    def test_insert_large_indexes_clamp(self):
        d = Dialog([["a"], ["b"]])
        d.insert(100, ["end"])
        d.insert(-100, ["front"])
        assert d.get_pattern_list() == ["front", "a", "b", "end"]

    def test_remove_equal_statement_removes_first_match(self):
        s = Statement("a", act)
        d = Dialog([["x"], s, s, ["a", act, None, True]])
        copies = list(d.statements)
        assert d.remove(Statement("a", act)) is None  # equal, not identical
        assert ids(d.statements) == ids([copies[0], copies[2], copies[3]])
        d.remove(s)
        d.remove(statement=["a", act])
        assert d.get_pattern_list() == ["x"]

    def test_remove_by_argument_list_with_string_action_finds_nothing(self):
        d = Dialog([["a", "sendline(x)"]])
        before = list(d.statements)
        with pytest.raises(ValueError):
            d.remove(["a", "sendline(x)"])  # a new callable: equal to no action
        assert ids(d.statements) == ids(before)
        d.remove(d.statements[0])
        assert d.statements == []

    def test_remove_with_shared_string_action(self):
        s = Statement("a", "sendline(x)")
        d = Dialog([s])
        d.remove(s)  # the copy shares the translated action
        assert d.statements == []

    @pytest.mark.parametrize("call, exc", [
        (lambda d: d.append(5), TypeError),
        (lambda d: d.insert(0, 5), TypeError),
        (lambda d: d.remove(5), TypeError),
        (lambda d: d.append([1]), StatementValidationError),
        (lambda d: d.append("ab"), StatementValidationError),  # Statement("a", "b")
        (lambda d: d.append(["p"] + [None] * 10), TypeError),
        (lambda d: d.insert("0", ["p"]), TypeError),
        (lambda d: d.insert(None, Statement("p")), TypeError),
        (lambda d: d.remove(["zzz"]), ValueError),
        (lambda d: d.remove(Statement("a", other_act)), ValueError),
        (lambda d: d.remove(RaisingEq("a", act)), Boom),
        (lambda d: d.append(), TypeError),
        (lambda d: d.insert(["p"]), TypeError),
    ])
    def test_failed_edit_leaves_statements_unchanged(self, call, exc):
        d = Dialog([["a", act], ["b"]])
        before, lst = list(d.statements), d.statements
        with pytest.raises(exc):
            call(d)
        assert d.statements is lst and ids(lst) == ids(before)

    def test_statement_eq_exception_propagates_from_remove(self):
        d = Dialog()
        d.append(RaisingEq("a"))
        with pytest.raises(Boom):
            d.remove(Statement("a"))

    def test_get_pattern_list(self):
        pat = ["x", "y"]
        d = Dialog([[pat], timeout_st(), eof_st(), ["z"]])
        first = d.get_pattern_list()
        assert first == [pat, "__timeout__", "z"]
        assert first[0] is pat
        second = d.get_pattern_list()
        assert second == first and second is not first
        assert Dialog().get_pattern_list() == []


class TestUnsupported:
    @pytest.mark.parametrize("op", [
        len,
        lambda d: d[0],
        lambda d: operator.setitem(d, 0, Statement("a")),
        lambda d: operator.delitem(d, 0),
        lambda d: [Statement("a")] + d,
        lambda d: 1 + d,
    ], ids=["len", "getitem", "setitem", "delitem", "list+dialog", "int+dialog"])
    def test_raise_type_error(self, op):
        with pytest.raises(TypeError):
            op(Dialog([["a"]]))

    def test_hash_and_equality_by_identity(self):
        a, b = Dialog([["a"]]), Dialog([["a"]])
        assert hash(a) == object.__hash__(a)
        assert a == a and a != b
        assert len({a, b, a}) == 2


# --------------------------------------------------------------------------
# + and +=
# --------------------------------------------------------------------------

def snapshot(d):
    return (d.statements, ids(d.statements), d.statement_list,
            d.timeout_statement, d.eof_statement)


def assert_unchanged(d, snap):
    assert d.statements is snap[0] and ids(d.statements) == snap[1]
    assert d.statement_list is snap[2]
    assert d.timeout_statement is snap[3] and d.eof_statement is snap[4]


class TestAdd:
    def test_concatenates_copies(self):
        a = Dialog([["a1"], ["a2"]])
        b = Dialog([["b1"]])
        sa, sb = snapshot(a), snapshot(b)
        r = a + b
        assert type(r) is Dialog
        assert ids(r.statement_list) == ids(a.statements + b.statements)
        assert r.get_pattern_list() == ["a1", "a2", "b1"]
        for new, old in zip(r.statements, a.statements + b.statements):
            assert new is not old and new.match is old.match
        assert_unchanged(a, sa)
        assert_unchanged(b, sb)

    def test_self_addition_doubles(self):
        d = Dialog([["a"], ["b"]])
        assert (d + d).get_pattern_list() == ["a", "b", "a", "b"]
        assert d.get_pattern_list() == ["a", "b"]

    @pytest.mark.parametrize("left, right", [(l, r) for l in (0, 1) for r in (0, 1)])
    def test_timeout_statement_carried_over(self, left, right):
        a = Dialog([timeout_st(), ["a"]] if left else [["a"]])
        b = Dialog([["b"], timeout_st()] if right else [["b"]])
        r = a + b
        expected = a.timeout_statement or b.timeout_statement
        assert r.timeout_statement is expected  # the operand's own object
        assert r.get_pattern_list().count("__timeout__") == left + right

    @pytest.mark.parametrize("left, right", [(l, r) for l in (0, 1) for r in (0, 1)])
    def test_eof_statement_carried_over(self, left, right):
        a = Dialog([eof_st(), ["a"]] if left else [["a"]])
        b = Dialog([["b"], eof_st()] if right else [["b"]])
        r = a + b
        expected = a.eof_statement or b.eof_statement
        assert r.eof_statement is expected
        assert r.get_pattern_list() == ["a", "b"]

    def test_specials_added_by_editing(self):
        # Neither operand records one; the construction of the result meets
        # the appended statements. The timeout is overridden by the operands'
        # (absent) ones, the end-of-file statement stays as recorded.
        a = Dialog([["a"]])
        a.append(timeout_st())
        e = eof_st()
        a.append(e)
        r = a + Dialog()
        assert r.timeout_statement is None
        assert r.eof_statement is not e and r.eof_statement.match is e.match
        assert r.get_pattern_list() == ["a", "__timeout__"]

    def test_operand_eof_beats_recorded_one(self):
        a = Dialog([["a"]])
        a.append(eof_st())
        b = Dialog([eof_st()])
        assert (a + b).eof_statement is b.eof_statement

    @settings(deadline=None)
    @given(st.lists(st.sampled_from(["x", "__timeout__", "__eof__", "eof+", "to+"]), max_size=5),
           st.lists(st.sampled_from(["y", "__timeout__", "__eof__", "eof+", "to+"]), max_size=5))
    def test_add_invariants(self, left, right):
        def build(spec):
            d = Dialog([Statement(p, act) for p in spec if not p.endswith("+")])
            for p in spec:
                if p.endswith("+"):
                    d.append(Statement("__eof__" if p == "eof+" else "__timeout__", act))
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
        elif any(s.pattern == "__eof__" for s in joined):
            last = [s for s in joined if s.pattern == "__eof__"][-1]
            assert r.eof_statement.match is last.match and r.eof_statement is not last
        else:
            assert r.eof_statement is None
        assert_unchanged(a, sa)
        assert_unchanged(b, sb)

    @pytest.mark.parametrize("other", [[Statement("s")], None, 5, "d", (), Statement("s")],
                             ids=lambda o: type(o).__name__)
    def test_bad_operand(self, other):
        d = Dialog([["a"]])
        snap = snapshot(d)
        for op in (lambda: d + other, lambda: d.__add__(other), lambda: d.__iadd__(other)):
            with pytest.raises(TypeError) as ei:
                op()
            exact(ei, TypeError, OPERAND_MSG)
        e = d
        with pytest.raises(TypeError) as ei:
            e += other
        exact(ei, TypeError, OPERAND_MSG)
        assert e is d
        assert_unchanged(d, snap)

    def test_construction_failure_propagates(self):
        a, b = Dialog([["a"]]), Dialog([["b"]])
        b.statements.append(5)  # not a statement: the result cannot be built
        with pytest.raises(TypeError) as ei:
            a + b
        exact(ei, TypeError, ELEMENT_MSG)

    def test_iadd_rebinds(self):
        d = Dialog([["a"]])
        other = Dialog([["b"]])
        e = d
        snap = snapshot(d)
        d += other
        assert d is not e and type(d) is Dialog
        assert d.get_pattern_list() == ["a", "b"]
        assert_unchanged(e, snap)

    def test_subclass_operands_give_plain_dialog(self):
        class Sub(Dialog):
            pass

        a, b = Sub([["a"]]), Sub([["b"]])
        for r in (a + b, a + Dialog(), Dialog() + b, a.__iadd__(b)):
            assert type(r) is Dialog

    def test_subclass_add_used_by_iadd(self):
        class Sub(Dialog):
            def __add__(self, dialog):
                return ("custom", dialog)

        a, b = Sub(), Dialog()
        a += b
        assert a == ("custom", b)


# --------------------------------------------------------------------------
# Text forms
# --------------------------------------------------------------------------

class TestText:
    def test_empty(self):
        assert str(Dialog()) == "[\n]"
        assert repr(Dialog()) == "[\n]"

    @settings(deadline=None)
    @given(st.lists(st.one_of(st.text(), st.lists(st.text(max_size=3), max_size=2)), max_size=4))
    def test_lines(self, patterns):
        statements = [Statement(p, act) for p in patterns]
        d = Dialog(statements)
        expected = "[\n" + "".join("\t" + str(s) + ",\n" for s in d.statements) + "]"
        assert str(d) == expected
        assert repr(d) == expected

    def test_two_statements_and_specials(self):
        s1, s2 = Statement("a"), Statement("b", act, None, True)
        d = Dialog([s1, eof_st(), timeout_st(), s2])
        assert str(d) == ("[\n\t" + str(s1) + ",\n\t" + str(timeout_st()) + ",\n\t"
                          + str(s2) + ",\n]")
        assert str(d).count("__eof__") == 0
        assert repr([d]) == "[" + str(d) + "]"

    def test_text_elements_and_multiline_texts_inserted_unchanged(self):
        class Multi(Statement):
            def __str__(self):
                return "line one\nline two"

        d = Dialog()
        d.statements.append("raw text")
        d.append(Multi("m"))
        assert str(d) == "[\n\traw text,\n\tline one\nline two,\n]"

    def test_subclass_str_changes_repr(self):
        class Sub(Dialog):
            def __str__(self):
                return "custom"

        assert repr(Sub()) == "custom"

    def test_statement_str_exception_propagates(self):
        d = Dialog()
        d.append(Statement("a"))
        d.append(RaisingStr("b"))
        for op in (str, repr):
            with pytest.raises(Boom, match="^str$"):
                op(d)


# --------------------------------------------------------------------------
# process
# --------------------------------------------------------------------------

class TestProcess:
    def test_hands_dialog_arguments_and_keyword_copy(self, processor):
        d = Dialog([["a"]])
        before = dict(vars(d))
        spawn = object()
        opts = {"timeout": 30}
        result = d.process(spawn, 1, **opts)
        (made,) = processor.made
        assert result == ("processed", made)
        assert made.args[0] is d and made.args[1] is spawn and made.args[2:] == (1,)
        assert made.kwargs == {"timeout": 30, "added_by_processor": True}
        assert opts == {"timeout": 30}  # the processor changed its own copy
        assert vars(d) == before

    def test_no_arguments(self, processor):
        d = Dialog()
        d.process()
        assert processor.made[0].args == (d,)
        assert processor.made[0].kwargs == {"added_by_processor": True}

    def test_new_processor_each_call(self, processor):
        d = Dialog()
        d.process("s1", timeout=1)
        d.process("s2", timeout=2)
        assert [(p.args[1], p.kwargs["timeout"]) for p in processor.made] == [("s1", 1), ("s2", 2)]

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

    def test_processor_looked_up_at_each_call(self, monkeypatch):
        d = Dialog()
        for value in (1, 2):
            class P:
                def __init__(self, *args, **kwargs):
                    pass

                def process(self, value=value):
                    return value

            monkeypatch.setattr(dialogs, "DialogProcessor", P)
            assert d.process() == value


# --------------------------------------------------------------------------
# Reference cycles and leaks
# --------------------------------------------------------------------------

def test_dialog_cycle_collected():
    class Holder:
        pass

    h = Holder()
    d = Dialog([["a"]])
    d.statements[0].owner = h
    h.dialog = d
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
    s = Statement("a", act)
    t, e = timeout_st(), eof_st()
    elements = [s, ["b", act, None, True], ("c",), t, e]
    d = Dialog(elements)
    other = Dialog([["x"]])
    weird = RaisingEq("w")
    loud = RaisingStr("l")
    d_weird = Dialog()
    d_weird.append(weird)
    d_loud = Dialog()
    d_loud.append(loud)
    shared = (s, t, e, elements, act, Dialog.__init__.__defaults__[0])

    d_edit = Dialog(elements)

    def edit():
        d = d_edit
        d.append(s)
        d.insert(-1, ["n"])
        d.remove(s)
        d.remove(["n"])

    def reinit():
        x = Dialog.__new__(Dialog)
        x.__init__([t, e, "bad"])

    ok = [
        ("construct", lambda: Dialog(elements)),
        ("construct-default", lambda: Dialog()),
        ("edit", edit),
        ("contains", lambda: (s in d, "zz" in d)),
        ("iterate", lambda: list(d)),
        ("patterns", lambda: d.get_pattern_list()),
        ("add", lambda: d + other),
        ("iadd", lambda: d.__iadd__(other)),
        ("text", lambda: (str(d), repr(d))),
        ("process", lambda: d.process(s, timeout=3)),
        ("extract", lambda: d.extract_statements()),
    ]
    bad = [
        ("bad-container", lambda: Dialog({"a": 1}), Exception),
        ("bad-element", reinit, TypeError),
        ("bad-statement", lambda: Dialog([s, [1]]), StatementValidationError),
        ("bad-operand", lambda: d + [s], TypeError),
        ("remove-missing", lambda: d.remove(["zzz"]), ValueError),
        ("remove-string-action", lambda: d.remove(["a", "sendline(x)"]), ValueError),
        ("insert-bad-index", lambda: d.insert("0", s), TypeError),
        ("append-non-iterable", lambda: d.append(5), TypeError),
        ("eq-raises", lambda: d_weird.remove(Statement("w")), Boom),
        ("contains-eq-raises", lambda: Statement("w") in d_weird, Boom),
        ("str-raises", lambda: str(d_loud), Boom),
    ]
    return shared, ok, bad


_SHARED, _OK, _BAD = _leak_cases()


@pytest.mark.parametrize("name, op", _OK, ids=[c[0] for c in _OK])
def test_no_leak(monkeypatch, name, op):
    monkeypatch.setattr(dialogs, "DialogProcessor", _NullProcessor)
    check_no_leak(op, *_SHARED, iterations=1000)


@pytest.mark.parametrize("name, op, exc", _BAD, ids=[c[0] for c in _BAD])
def test_no_leak_on_failure(name, op, exc):
    check_no_leak(op, *_SHARED, raises=exc, iterations=1000)
