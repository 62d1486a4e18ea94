"""What the module frame promises about loading and unloading, each case in
a fresh interpreter (run in development mode, so the interpreter's own
memory and finalisation checks are on): one module object per process, no
second execution of the body, a body that failed runs again, a second
interpreter is refused, and the interpreter shuts down cleanly with the
module's objects alive."""

import importlib.util
import subprocess
import sys
import textwrap

import pytest

REINIT = "Module 'dialogs' has already been imported. Re-initialisation is not supported."
INTERPRETER = ("Interpreter change detected - this module can only be loaded into one "
               "interpreter per process.")


def run_child(source):
    result = subprocess.run([sys.executable, "-X", "dev", "-c", textwrap.dedent(source)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result


def test_one_module_object_per_process():
    result = run_child("""
        import _imp, gc, importlib, importlib.util, sys
        import tavrel.eal.dialogs as m

        first, di_list = id(m), m.DI_LIST
        m.STATEMENT_MATCHED_RETRIES = 9
        del m, sys.modules["tavrel.eal.dialogs"]
        gc.collect()
        import tavrel.eal.dialogs as m
        assert id(m) == first and m.DI_LIST is di_list

        module_spec = m.__spec__
        assert _imp.create_dynamic(module_spec) is m
        assert importlib.util.module_from_spec(module_spec) is m
        module_spec.loader.exec_module(m)  # the body does not run again
        assert importlib.reload(m) is m
        assert m.STATEMENT_MATCHED_RETRIES == 9 and m.DI_LIST is di_list
        assert m.Statement("x").matched_retries == 9
        print("ok")
    """)
    assert result.stdout == "ok\n"


def test_body_refuses_a_second_module_object():
    result = run_child("""
        import ctypes, types
        import tavrel.eal.dialogs as m

        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.restype = ctypes.c_int
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(m)

        assert api.PyModule_ExecDef(m, definition) == 0  # its own module: nothing to do
        other = types.ModuleType("tavrel.eal.dialogs")
        for attempt in range(2):
            try:
                api.PyModule_ExecDef(other, definition)
            except RuntimeError as exc:
                print(exc)
        assert not {"Statement", "copy", "DI_LIST"} & set(vars(other))
        print(m.Statement("still fine").pattern)
    """)
    assert result.stdout.splitlines() == [REINIT, REINIT, "still fine"]


# Two ways a package service can fail while the body runs: its import raises,
# or the module is there and reading the name raises.
FAILURES = {
    "import-raises": """
        import importlib.abc

        class Refuse(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path, target=None):
                if name == "tavrel.utils":
                    captured.append(sys.modules.get("tavrel.eal.dialogs"))
                    raise RuntimeError("no utils today")

        def break_service():
            sys.meta_path.insert(0, finder)

        def restore_service():
            sys.meta_path.remove(finder)

        finder = Refuse()
    """,
    "name-raises": """
        import types
        import tavrel.eal.dialog_processor, tavrel.utils

        class Broken(types.ModuleType):
            def __getattr__(self, name):
                captured.append(sys.modules.get("tavrel.eal.dialogs"))
                raise RuntimeError("no utils today")

        real = sys.modules["tavrel.utils"]

        def break_service():
            sys.modules["tavrel.utils"] = Broken("tavrel.utils")

        def restore_service():
            sys.modules["tavrel.utils"] = real
    """,
}


@pytest.mark.parametrize("failure", sorted(FAILURES))
def test_failed_body_runs_again_on_a_new_module_object(failure):
    result = run_child("import sys\ncaptured = []\n" + textwrap.dedent(FAILURES[failure]) + """
for attempt in range(2):
    break_service()
    try:
        import tavrel.eal.dialogs
    except RuntimeError as exc:
        print(exc)
    assert "tavrel.eal.dialogs" not in sys.modules
    restore_service()
failed = captured[-1]
assert captured[0] is not failed  # each attempt made its own module object
assert "Statement" not in vars(failed)

from tavrel.eal import dialogs
from tavrel.eal.dialog_processor import DialogProcessor
assert dialogs is not failed and dialogs.DialogProcessor is DialogProcessor
d = dialogs.Dialog([["a", "sendline_cred_user(k)"]])
print(d.statements[0].action.__name__)
""")
    assert result.stdout.splitlines() == ["no utils today"] * 2 + ["sendline_cred_user"]


needs_subinterpreters = pytest.mark.skipif(
    importlib.util.find_spec("_xxsubinterpreters") is None
    and importlib.util.find_spec("_interpreters") is None,
    reason="this interpreter has no low-level subinterpreter module")

# The low-level subinterpreter module is _xxsubinterpreters up to 3.12 and
# _interpreters from 3.13, which reports a failed run by returning it rather
# than raising.  From 3.12 on, create() makes an isolated interpreter (a GIL
# of its own), which refuses a module without per-interpreter GIL support
# before the module's own code runs; a legacy one (a shared GIL, what every
# subinterpreter is on 3.10) gets as far as the module's own check.
SUBINTERPRETERS = """\
try:
    import _interpreters as _si
except ImportError:
    import _xxsubinterpreters as _si


def create():
    if hasattr(_si, "new_config"):
        return _si.create("legacy")
    try:
        return _si.create(isolated=False)
    except TypeError:
        return _si.create()


def run(sub, source):
    \"\"\"The exception text of running source in sub, or None.\"\"\"
    try:
        failure = _si.run_string(sub, source)
    except getattr(_si, "RunFailedError", ()) as exc:
        return str(exc)
    if failure is not None:
        return failure.formatted
    return None


destroy = _si.destroy
"""


@needs_subinterpreters
def test_second_interpreter_is_refused():
    result = run_child(SUBINTERPRETERS + textwrap.dedent(f"""
        import tavrel.eal.dialogs as m

        sub = create()
        try:
            for attempt in range(2):
                failure = run(sub, "import tavrel.eal.dialogs")
                assert "ImportError" in failure and "{INTERPRETER}" in failure, failure
                print("refused")
            assert run(sub, "import tavrel.utils, json") is None  # otherwise usable
        finally:
            destroy(sub)
        print(m.Dialog([["a"]]).get_pattern_list())
    """))
    assert result.stdout.splitlines() == ["refused", "refused", "['a']"]


@needs_subinterpreters
def test_interpreter_that_loaded_first_keeps_the_module():
    result = run_child(SUBINTERPRETERS + textwrap.dedent("""
        import sys

        sub = create()
        assert run(sub, "import tavrel.eal.dialogs as m; m.Statement('x')") is None
        destroy(sub)
        try:
            import tavrel.eal.dialogs
        except ImportError as exc:
            print(exc)
        assert "tavrel.eal.dialogs" not in sys.modules
    """))
    assert result.stdout.splitlines() == [INTERPRETER]


def test_clean_shutdown_with_everything_alive():
    result = run_child("""
        import atexit, os
        from tavrel.eal.dialogs import Dialog, DialogMaker, Statement, statement_decorator

        class Declared(DialogMaker):
            @statement_decorator("^a$", loop_continue=True)
            def f(spawn):
                return Declared

            @statement_decorator("__eof__")
            def g(spawn):
                pass

        keep = Declared()
        s = Statement("p", lambda spawn, user: None, {"user": None})
        s.args["user"] = s                      # a statement in a cycle with itself
        d = Dialog([s, ["q", "sendline(x)"], ("__timeout__",), ("__eof__",)])
        d.statements[0].dialog = d              # a dialog in a cycle
        total = d + Declared.dialog
        wrapped = statement_decorator(d)
        wrapped.me = wrapped                    # a native function in a cycle
        sender = d.statements[1].action
        sender.owner = d

        class Late:
            # Runs while the interpreter tears the modules down.
            def __del__(self):
                self.write(1, (str(self.dialog) + "\\n").encode())
                self.write(1, (repr(self.dialog.get_pattern_list()) + "\\n").encode())

        late = Late()
        late.dialog, late.write, late.me = total, os.write, late

        @atexit.register
        def at_exit():
            print("atexit", len((total + d).statements), Statement("z").pattern, flush=True)
    """)
    lines = result.stdout.splitlines()
    assert lines[0] == "atexit 7 z"
    assert "[pattern='^a$', action=f" in result.stdout
    assert lines[-1] == "['p', 'q', '__timeout__', '^a$']"
    assert result.stderr == ""
