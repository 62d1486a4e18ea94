"""Allocation failures: each allocation of the module's first import, and of
each public operation on its success path, fails in turn.  Every attempt must
end in a MemoryError or in the clean result, never in a crash or another
error, and an import after a failed one must give a working module.

Each sweep runs in a child process that forks once per attempt, so that every
attempt starts from the same state (no cache filled, no table half made by
the attempt before).  A sweep ends after a long run of attempts that all
succeed: the failed allocation then lies beyond the operation's last one."""

import os
import subprocess
import sys
import textwrap

import pytest

try:
    import _testcapi
except ImportError:
    _testcapi = None

pytestmark = pytest.mark.skipif(
    _testcapi is None or not hasattr(_testcapi, "set_nomemory") or not hasattr(os, "fork"),
    reason="needs _testcapi.set_nomemory and os.fork")

# The child: {setup} runs once, then for the i-th attempt a fork fails the
# i-th allocation of {operation}; {check} runs afterwards with the hooks
# removed and `failed` telling whether the operation raised MemoryError (or
# an error raised from one).
SWEEP = """
import faulthandler, os, sys, traceback
import _testcapi
faulthandler.enable()
{setup}

def attempt(i):
    _testcapi.set_nomemory(i, i + 1)
    try:
{operation}
        failed = False
    except BaseException as exc:
        _testcapi.remove_mem_hooks()
        # A library may report the failure as an error of its own, raised
        # from the MemoryError (inspect's "unsupported callable").
        cause = exc
        while cause is not None and not isinstance(cause, MemoryError):
            cause = cause.__cause__
        if cause is None:
            raise
        failed = True
    finally:
        _testcapi.remove_mem_hooks()
{check}
    return failed

CLEAN_RUN = 100
i = clean = 0
while clean < CLEAN_RUN:
    pid = os.fork()
    if pid == 0:
        try:
            code = 1 if attempt(i) else 0
        except BaseException:
            traceback.print_exc()
            code = 2
        sys.stdout.flush()
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    if not os.WIFEXITED(status) or os.WEXITSTATUS(status) > 1:
        sys.exit("allocation %d: exit status %#x" % (i, status))
    clean = clean + 1 if os.WEXITSTATUS(status) == 0 else 0
    i += 1
print("swept", i - CLEAN_RUN)
"""


def sweep(setup, operation, check=""):
    source = SWEEP.format(setup=textwrap.dedent(setup),
                          operation=textwrap.indent(textwrap.dedent(operation), " " * 8),
                          check=textwrap.indent(textwrap.dedent(check), " " * 4))
    done = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                          timeout=900)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.startswith("swept "), done.stdout
    # A sweep that found no allocation at all tested nothing.
    assert int(done.stdout.split()[1]) > 0, done.stdout


# What the module imports is imported first, so that the sweep is over the
# module's own body; the loader runs it as the import system does, without
# the import system's locks (whose failures are not the module's).
IMPORT_SETUP = """
import copy, importlib.util, inspect, re
import tavrel.core.errors, tavrel.eal.dialog_processor, tavrel.utils
NAME = "tavrel.eal.dialogs"
spec = importlib.util.find_spec(NAME)
"""

IMPORT = """
module = importlib.util.module_from_spec(spec)
sys.modules[NAME] = module
try:
    spec.loader.exec_module(module)
except BaseException:
    del sys.modules[NAME]
    raise
"""

# Whatever the first attempt left behind, the next import builds everything.
AFTER_IMPORT = """
import tavrel.eal.dialogs as m
assert m.DI_LIST == ["spawn", "context", "session"]
d = m.Dialog([["a", "sendline_cred_user(k)"], m.Statement("b", lambda spawn: None)])
assert str(d).count("sendline_cred_user") == 1
class Made(m.DialogMaker):
    @m.statement_decorator("p")
    def f(spawn):
        pass
Made()
assert Made.dialog.get_pattern_list() == ["p"]
"""


def test_import_after_a_failed_import():
    sweep(IMPORT_SETUP, IMPORT, AFTER_IMPORT)


OPERATIONS_SETUP = """
import tavrel.eal.dialogs as m
from tavrel.eal.dialogs import Dialog, DialogMaker, Statement, statement_decorator

class Spawn:
    def send(self, value):
        pass
    sendline = send

class Processor:
    def __init__(self, dialog, *args, **kwargs):
        pass
    def process(self):
        return "done"

m.DialogProcessor = Processor

def cb_user(spawn, user, retries=3, **kw):
    pass

class Base(Statement):
    pass

left = Dialog([["a"], ["__timeout__", None, None, True], ["__eof__"]])
right = Dialog([["b", cb_user, {"user": "u"}]])
context = {"k": "v", "credentials": {"k": {"username": "u", "password": "p"}}}
"""

OPERATIONS = {
    "statement": 'Statement("p", None, None, True, False, False, 2, 0.5, ["spawn"], True)',
    "statement with a callable": 'Statement(["p", "q"], cb_user, {"user": "u", "x": 1})',
    "statement with a bound method": 'Statement("p", Spawn().send, {"self": 0, "value": 1})',
    "statement with an action text": 'Statement("p", "sendline_cred_pass(k)")',
    "action texts and their senders": """
        for text in ("send(k)", "sendline()", "send_ctx(k)", "sendline_session(k)",
                     "sendline_cred_user(k)"):
            sender, key = m.statement_action_helper(text)
            second = () if text.startswith(("send(", "sendline(")) else (context,)
            sender(Spawn(), *second, key)
    """,
    "dialog construction": """
        Dialog([["a", "send(x)"], Base("b"), ("__timeout__",), ["__eof__"],
                Statement("c", cb_user, {"user": "u"})])
    """,
    "dialog sum": """
        total = left + right
        total += left
    """,
    "dialog editing": """
        d = Dialog()
        d.append(["a"])
        d.insert(0, Statement("b"))
        d.remove(["a"])
        assert Statement("b") in d and d.get_pattern_list() == ["b"]
        assert list(d) == d.statements
    """,
    "text forms": """
        str(left + right)
        repr(Statement("p", cb_user, {"user": "u"}))
    """,
    "process": 'assert left.process(Spawn(), timeout=3) == "done"',
    "declarative dialog": """
        class Made(DialogMaker):
            @statement_decorator("a", loop_continue=True)
            def first(spawn):
                pass

            @statement_decorator("b", args={"user": "u"})
            @statement_decorator("c", args={"user": "u"})
            def second(spawn, user):
                pass

        made = Made()
        made.add_statement(Statement("d"))
    """,
}


@pytest.mark.parametrize("operation", OPERATIONS.values(), ids=OPERATIONS.keys())
def test_operation(operation):
    sweep(OPERATIONS_SETUP, operation)
