"""The module frame: namespace, constants, defaults, docstrings, classes and the
look-up of collaborators in the module namespace at the time of use."""

import copy as copy_module
import importlib
import importlib.machinery
import inspect
import re
import subprocess
import sys
import textwrap

import pytest

import tavrel.core.errors
import tavrel.eal.dialog_processor
import tavrel.utils
from tavrel.eal import _build, dialogs as m
from fakes import Spawn

PUBLIC_NAMES = [
    "copy", "re", "getfullargspec", "getmembers", "StatementValidationError",
    "DialogProcessor", "to_plaintext", "DI_LIST", "STATEMENT_MATCHED_RETRIES",
    "STATEMENT_MATCHED_RETRY_SLEEP", "statement_action_helper", "Statement",
    "Dialog", "statement_decorator", "DialogMaker",
]
# Present from the start; the rest of the table follows as it is built.
FIRST_BUILT = PUBLIC_NAMES.index("Statement") + 1
# Taken at collection, before any test could delete and restore a name (which
# moves it to the end of the namespace).
NAMESPACE_ORDER = list(vars(m))



# --------------------------------------------------------------------------
# Loading and namespace
# --------------------------------------------------------------------------

def test_is_a_shared_library():
    assert m.__name__ == "tavrel.eal.dialogs"
    assert m.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert isinstance(m.__loader__, importlib.machinery.ExtensionFileLoader)
    assert m.__spec__.origin == m.__file__
    assert m.__package__ == "tavrel.eal"
    assert not hasattr(m, "__path__")
    assert not hasattr(m, "__all__")


def test_import_returns_the_same_module():
    assert importlib.import_module("tavrel.eal.dialogs") is m
    assert sys.modules["tavrel.eal.dialogs"] is m
    from tavrel.eal import dialogs as again
    assert again is m
    assert tavrel.eal.dialogs is m


def test_namespace_names_in_order():
    public = [name for name in NAMESPACE_ORDER if name in PUBLIC_NAMES]
    assert len(public) >= FIRST_BUILT
    assert public == PUBLIC_NAMES[:len(public)]


def test_namespace_holds_the_documented_names_alone():
    # Besides the interpreter's module attributes (__doc__, __file__, ...).
    own = [n for n in vars(m) if not (n.startswith("__") and n.endswith("__"))]
    assert sorted(own) == sorted(PUBLIC_NAMES)
    # How the module was built is told beside it, not in it.
    assert type(_build.FAST_PATHS) is bool


@pytest.mark.parametrize(
    "name, expected",
    [
        ("copy", copy_module.copy),
        ("re", re),
        ("getfullargspec", inspect.getfullargspec),
        ("getmembers", inspect.getmembers),
        ("StatementValidationError", tavrel.core.errors.StatementValidationError),
        ("DialogProcessor", tavrel.eal.dialog_processor.DialogProcessor),
        ("to_plaintext", tavrel.utils.to_plaintext),
    ],
)
def test_imported_names(name, expected):
    assert getattr(m, name) is expected


@pytest.mark.parametrize(
    "name", ["getfullargspec", "getmembers", "StatementValidationError",
             "DialogProcessor", "to_plaintext"])
def test_reexported_names_importable(name):
    namespace = {}
    exec(f"from tavrel.eal.dialogs import {name}", namespace)
    assert namespace[name] is getattr(m, name)


def test_statement_validation_error_is_an_exception():
    assert issubclass(m.StatementValidationError, Exception)


# --------------------------------------------------------------------------
# Constants and captured defaults
# --------------------------------------------------------------------------

def test_constants():
    assert type(m.DI_LIST) is list
    assert m.DI_LIST == ["spawn", "context", "session"]
    assert all(type(x) is str for x in m.DI_LIST)
    assert type(m.STATEMENT_MATCHED_RETRIES) is int and m.STATEMENT_MATCHED_RETRIES == 0
    assert type(m.STATEMENT_MATCHED_RETRY_SLEEP) is float
    assert m.STATEMENT_MATCHED_RETRY_SLEEP == 0.02


def test_statement_init_defaults():
    defaults = m.Statement.__init__.__defaults__
    assert type(defaults) is tuple and len(defaults) == 9
    expected = (None, None, False, False, True, None, None, m.DI_LIST, False)
    assert all(a is b for a, b in zip(defaults, expected)), defaults
    assert m.Statement.__init__.__kwdefaults__ is None


def test_other_defaults():
    if hasattr(m, "Dialog"):
        (default,) = m.Dialog.__init__.__defaults__
        assert type(default) is list
    if hasattr(m, "DialogMaker"):
        assert m.DialogMaker.add_statement.__defaults__ == (-1,)
        assert type(m.DialogMaker.add_statement.__defaults__[0]) is int


def test_rebinding_di_list_keeps_the_captured_default(monkeypatch):
    original = m.DI_LIST
    monkeypatch.setattr(m, "DI_LIST", ["other"])
    assert m.Statement("x").di_params is original
    assert m.Statement.__init__.__defaults__[7] is original


def test_appending_to_di_list_changes_the_default():
    saved = list(m.DI_LIST)
    m.DI_LIST.append("runtime")
    try:
        s = m.Statement("x", "send_session(k)")
        assert s.di_params is m.DI_LIST
        s.validate_action()  # "runtime" is now injected
    finally:
        m.DI_LIST[:] = saved
    with pytest.raises(m.StatementValidationError):
        s.validate_action()


# --------------------------------------------------------------------------
# Classes
# --------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["Statement", "Dialog", "DialogMaker"])
def test_plain_classes(name):
    cls = getattr(m, name)
    assert type(cls) is type
    assert cls.__bases__ == (object,)
    assert cls.__mro__ == (cls, object)
    assert cls.__module__ == "tavrel.eal.dialogs"
    assert cls.__qualname__ == name and cls.__name__ == name


def test_statement_member_order():
    members = [n for n in vars(m.Statement) if not n.startswith("__") or n in (
        "__init__", "__eq__", "__str__", "__repr__")]
    assert members == [
        "__init__", "__eq__", "validate", "validate_pattern", "validate_action",
        "validate_loop_continue", "validate_debug_statement",
        "validate_continue_timer", "validate_trim_buffer", "__str__", "__repr__",
    ]


def test_statement_is_unhashable():
    assert m.Statement.__hash__ is None
    with pytest.raises(TypeError, match=r"^unhashable type: 'Statement'$"):
        hash(m.Statement("a"))
    with pytest.raises(TypeError):
        {m.Statement("a")}


def test_dialog_is_hashable():
    d = m.Dialog()
    assert hash(d) == hash(d)
    assert d in {d}


def test_statement_instances_are_open():
    s = m.Statement("a")
    s.anything = 1
    assert s.anything == 1

    class Sub(m.Statement):
        pass

    assert isinstance(Sub("a"), m.Statement)


# --------------------------------------------------------------------------
# Docstrings
# --------------------------------------------------------------------------

ONE_LINE_DOCS = [
    ("Statement.validate", "verify the sanity of the arguments in the statement"),
    ("Statement.validate_pattern", "check if the pattern provided is or correct type"),
    ("Statement.validate_action", "check callback function and its arguments"),
    ("Statement.validate_loop_continue", "validate loop_continue is boolean"),
    ("Statement.validate_debug_statement", "validate debug_statement is boolean"),
    ("Statement.validate_continue_timer", "validate continue_timer is boolean"),
    ("Statement.validate_trim_buffer", "validate trim_buffer is boolean"),
    ("Dialog.validate", "validate all the statement arguments"),
    ("Dialog.append", "append a statement to the end of the dialog instance"),
    ("Dialog.remove", "remove a statement of the dialog instance"),
    ("Dialog.insert", "insert a statement at a given index"),
    ("Dialog.get_pattern_list", "get list of patterns from all the statements"),
    ("statement_decorator", "Decorator to add to create Action Dialog"),
]
NO_DOCS = [
    "Statement.__init__", "Statement.__eq__", "Statement.__str__",
    "Statement.__repr__", "Dialog.__init__", "Dialog.__bool__",
    "Dialog.__contains__", "Dialog.__iter__", "Dialog.__add__",
    "Dialog.__iadd__", "Dialog.__str__", "Dialog.__repr__",
    "DialogMaker.__new__", "DialogMaker.add_statement", "DialogMaker",
]


def _lookup(path):
    obj = m
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.mark.parametrize("path, doc", ONE_LINE_DOCS, ids=[p for p, _ in ONE_LINE_DOCS])
def test_one_line_docstrings(path, doc):
    assert _lookup(path).__doc__ == doc


@pytest.mark.parametrize("path", NO_DOCS)
def test_no_docstring(path):
    obj = _lookup(path)
    if isinstance(obj, type):
        assert obj.__dict__.get("__doc__") is None
    assert obj.__doc__ is None


def test_sender_callables_have_no_docstring():
    for text in ("send(x)", "sendline(x)", "send_ctx(x)", "sendline_ctx(x)",
                 "send_session(x)", "sendline_session(x)",
                 "sendline_cred_user(x)", "sendline_cred_pass(x)"):
        assert m.statement_action_helper(text)[0].__doc__ is None


def _first_line(doc):
    return inspect.cleandoc(doc).splitlines()[0]


def test_statement_action_helper_docstring():
    doc = m.statement_action_helper.__doc__
    assert doc[0].isspace()
    assert _first_line(doc) == "Helper fuction for statement actions."
    assert len(inspect.cleandoc(doc).splitlines()) > 2
    assert "callable, payload (tuple)" in doc
    assert "action" in doc and "(str)" in doc


def test_statement_docstring():
    doc = m.Statement.__doc__
    assert doc.count("\n") > 3
    assert "building block" in doc
    for field in ("pattern", "action", "args", "loop_continue", "continue_timer",
                  "trim_buffer", "matched_retries", "matched_retry_sleep"):
        assert field in doc, field
    assert "0.02" in doc
    assert "Statement(" in doc
    assert "StatementValidationError" in doc


def test_module_docstring():
    doc = m.__doc__
    assert doc.count("\n") > 3
    assert "expect" in doc
    assert "Dialog(" in doc
    assert "pattern" in doc


def test_dialog_docstrings():
    doc = m.Dialog.__doc__
    assert doc[0].isspace()
    assert _first_line(doc) == "Dialog is a set of statement objects."
    assert "Statement(" in doc
    assert len(inspect.cleandoc(m.Dialog.extract_statements.__doc__).splitlines()) == 2
    assert m.Dialog.process.__doc__.count("\n") > 1


# --------------------------------------------------------------------------
# Collaborators are looked up at the time of use
# --------------------------------------------------------------------------

@pytest.mark.parametrize(
    "name, field, value",
    [
        ("STATEMENT_MATCHED_RETRIES", "matched_retries", 7),
        ("STATEMENT_MATCHED_RETRY_SLEEP", "matched_retry_sleep", 1.25),
        ("STATEMENT_MATCHED_RETRIES", "matched_retries", "any object"),
    ],
)
def test_retry_constants_read_at_construction(monkeypatch, name, field, value):
    monkeypatch.setattr(m, name, value)
    assert getattr(m.Statement("x"), field) is value
    assert getattr(m.Statement("x", **{field: 3}), field) == 3


def test_getfullargspec_looked_up(monkeypatch):
    seen = []

    def spy(func):
        seen.append(func)
        return inspect.getfullargspec(func)

    def action(spawn):
        pass

    monkeypatch.setattr(m, "getfullargspec", spy)
    m.Statement("x", action)
    assert seen == [action]

    def with_varargs(func):
        return inspect.getfullargspec(lambda spawn, *rest: None)

    monkeypatch.setattr(m, "getfullargspec", with_varargs)
    with pytest.raises(m.StatementValidationError,
                       match=r"^use of \*varargs is prohibited in action callable: action$"):
        m.Statement("x", action)


def test_re_looked_up(monkeypatch):
    calls = []

    class FakeRe:
        @staticmethod
        def match(pattern, string):
            calls.append((pattern, string))
            return re.match(pattern, string)

    monkeypatch.setattr(m, "re", FakeRe)
    cb, payload = m.statement_action_helper("send(a)")
    assert payload == "a"
    assert [p for p, _ in calls] == [
        r"^send\((.*)\)$", r"^sendline\((.*)\)$", r"^send_ctx\((.*)\)$",
        r"^sendline_ctx\((.*)\)$", r"^send_session\((.*)\)$",
        r"^sendline_session\((.*)\)$", r"sendline_cred_user\((.*)\)$",
        r"sendline_cred_pass\((.*)\)$",
    ]
    assert all(s == "send(a)" for _, s in calls)


def test_to_plaintext_looked_up_when_the_sender_runs(monkeypatch):
    cb, payload = m.statement_action_helper("sendline_cred_user(dev)")
    monkeypatch.setattr(m, "to_plaintext", lambda value: "<" + value + ">")
    spawn = Spawn()
    cb(spawn, {"credentials": {"dev": {"username": "admin"}}}, payload)
    assert spawn.calls == [("sendline", "<admin>")]


class OtherError(Exception):
    pass


@pytest.mark.parametrize(
    "call",
    [
        lambda: m.Statement(1),
        lambda: m.Statement("x", loop_continue=1),
        lambda: m.Statement("x", "bogus"),
        lambda: m.Statement("x", lambda spawn, user: None),
        lambda: m.statement_action_helper("send()"),
    ],
)
def test_statement_validation_error_looked_up(monkeypatch, call):
    monkeypatch.setattr(m, "StatementValidationError", OtherError)
    with pytest.raises(OtherError):
        call()


def test_statement_action_helper_looked_up(monkeypatch):
    def cb(spawn, key):
        pass

    seen = []

    def fake(action):
        seen.append(action)
        return cb, "payload"

    monkeypatch.setattr(m, "statement_action_helper", fake)
    s = m.Statement("x", "not a sender text")
    assert seen == ["not a sender text"]
    assert s.action is cb and s.args == {"key": "payload"}

    monkeypatch.setattr(m, "statement_action_helper", lambda action: (cb, "p", 3))
    with pytest.raises(ValueError):
        m.Statement("x", "send(a)")


# --------------------------------------------------------------------------
# Loading, in a fresh interpreter each
# --------------------------------------------------------------------------

def run_python(source):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source)],
                          capture_output=True, text=True, timeout=60)


def test_second_import_reuses_the_module_without_running_the_body():
    result = run_python("""
        import importlib, sys
        from tavrel.eal import dialogs as m
        m.STATEMENT_MATCHED_RETRIES = 9
        del sys.modules["tavrel.eal.dialogs"]
        import tavrel.eal.dialogs as again
        assert again is m
        assert importlib.reload(m) is m
        assert m.STATEMENT_MATCHED_RETRIES == 9
        print("ok")
    """)
    assert result.stdout == "ok\n", result.stderr


def test_failed_body_is_forgotten_and_retried():
    result = run_python("""
        import sys
        sys.modules["tavrel.eal.dialog_processor"] = None
        try:
            import tavrel.eal.dialogs
        except ImportError:
            print("failed")
        assert "tavrel.eal.dialogs" not in sys.modules
        del sys.modules["tavrel.eal.dialog_processor"]
        from tavrel.eal import dialogs
        assert dialogs.DialogProcessor.__module__ == "tavrel.eal.dialog_processor"
        print(dialogs.Statement("x").pattern)
    """)
    assert result.stdout == "failed\nx\n", result.stderr


def test_missing_name_fails_the_import():
    result = run_python("""
        import tavrel.utils
        del tavrel.utils.to_plaintext
        try:
            import tavrel.eal.dialogs
        except ImportError as exc:
            print(exc)
    """)
    assert "cannot import name 'to_plaintext'" in result.stdout, result.stderr


def test_second_interpreter_refused():
    result = run_python("""
        import tavrel.eal.dialogs
        import _testcapi
        print(_testcapi.run_in_subinterp("import tavrel.eal.dialogs"))
    """)
    if "No module named '_testcapi'" in result.stderr:
        pytest.skip("interpreter built without _testcapi")
    assert result.stdout == "-1\n", result.stderr
    assert ("ImportError: Interpreter change detected - this module can only be "
            "loaded into one interpreter per process.") in result.stderr
