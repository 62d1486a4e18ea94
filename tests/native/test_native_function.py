"""The module's functions and methods must be indistinguishable from Python
functions: argument binding and its error texts, descriptor binding, the
function attributes, code objects and introspection.

Every native function is compared with a Python ``def`` of the same signature
and ``__qualname__``.
"""

import copy
import gc
import inspect
import pickle
import pydoc
import re
import types
import weakref

import pytest
from fakes import Spawn
from hypothesis import given, settings, strategies as st

from tavrel.eal import dialogs as m

CO_VARARGS = inspect.CO_VARARGS
CO_VARKEYWORDS = inspect.CO_VARKEYWORDS

STATEMENT_INIT_PARAMS = (
    "self, pattern, action=None, args=None, loop_continue=False, "
    "continue_timer=False, trim_buffer=True, matched_retries=None, "
    "matched_retry_sleep=None, di_params=DI_LIST, debug_statement=False"
)

# qualname -> parameter list, as a Python def would spell it.
CLASS_METHODS = {
    "Statement": [
        ("__init__", STATEMENT_INIT_PARAMS),
        ("__eq__", "self, other"),
        ("validate", "self"),
        ("validate_pattern", "self"),
        ("validate_action", "self"),
        ("validate_loop_continue", "self"),
        ("validate_debug_statement", "self"),
        ("validate_continue_timer", "self"),
        ("validate_trim_buffer", "self"),
        ("__str__", "self"),
        ("__repr__", "self"),
    ],
    "Dialog": [
        ("__init__", "self, statement_list=[]"),
        ("__bool__", "self"),
        ("__contains__", "self, item"),
        ("validate", "self"),
        ("extract_statements", "self"),
        ("append", "self, statement"),
        ("remove", "self, statement"),
        ("insert", "self, index, statement"),
        ("get_pattern_list", "self"),
        ("process", "self, *args, **kwargs"),
        ("__iter__", "self"),
        ("__add__", "self, dialog"),
        ("__iadd__", "self, dialog"),
        ("__str__", "self"),
        ("__repr__", "self"),
    ],
    "DialogMaker": [
        ("__new__", "self, *args, **kwargs"),
        ("add_statement", "self, statement, pos=-1"),
    ],
}

SENDERS = {
    "send": "spawn, key",
    "sendline": "spawn, key",
    "send_ctx": "spawn, context, key",
    "sendline_ctx": "spawn, context, key",
    "send_session": "spawn, runtime, key",
    "sendline_session": "spawn, runtime, key",
    "sendline_cred_user": "spawn, context, key",
    "sendline_cred_pass": "spawn, context, key",
}


class Entry:
    """One native function under test, with its Python twin."""

    def __init__(self, qualname, params, get, kind, instance=None):
        self.qualname = qualname
        self.name = qualname.rpartition(".")[2]
        self.params = params
        self.get = get  # () -> the native function object
        self.kind = kind  # "function", "method" or "static"
        self.instance = instance  # () -> a fresh instance, for methods
        namespace = {"DI_LIST": m.DI_LIST}
        exec(f"def {self.name}({params}):\n    pass\n", namespace)
        self.ref = namespace[self.name]
        self.ref.__qualname__ = qualname
        self.ref.__module__ = m.__name__

    def __repr__(self):
        return self.qualname


def _sender(name):
    return lambda: m.statement_action_helper(f"{name}(x)")[0]


def _class_instance(cls_name):
    if cls_name == "Statement":
        return lambda: m.Statement("x")
    if cls_name == "Dialog":
        return lambda: m.Dialog()
    # An instance without running DialogMaker.__new__, which would rebuild
    # class state.
    sub = type("Maker", (m.DialogMaker,), {})
    return lambda: object.__new__(sub)


def _entries():
    entries = [
        Entry("statement_action_helper", "action",
              lambda: m.statement_action_helper, "function"),
    ]
    for cls_name, methods in CLASS_METHODS.items():
        if not hasattr(m, cls_name):
            continue  # built by a later step
        for name, params in methods:
            kind = "static" if name == "__new__" else "method"
            entries.append(Entry(
                f"{cls_name}.{name}", params,
                (lambda c=cls_name, n=name: getattr(m, c).__new__
                 if n == "__new__" else getattr(m, c).__dict__[n]),
                kind, _class_instance(cls_name)))
    for name, params in SENDERS.items():
        entries.append(Entry(f"statement_action_helper.<locals>.{name}",
                             params, _sender(name), "function"))
    if hasattr(m, "statement_decorator"):
        entries.append(Entry("statement_decorator", "*pargs, **pkwargs",
                             lambda: m.statement_decorator, "function"))
        entries.append(Entry("statement_decorator.<locals>.wrapped", "func",
                             lambda: m.statement_decorator(), "function"))
    return entries


ENTRIES = _entries()
METHODS = [e for e in ENTRIES if e.kind == "method"]
all_entries = pytest.mark.parametrize("entry", ENTRIES, ids=repr)
method_entries = pytest.mark.parametrize("entry", METHODS, ids=repr)


def test_every_class_method_is_present():
    for cls_name, methods in CLASS_METHODS.items():
        cls = getattr(m, cls_name, None)
        if cls is None:
            continue
        missing = [n for n, _ in methods if n not in cls.__dict__]
        assert not missing, f"{cls_name} lacks {missing}"


def test_one_function_type_for_everything():
    types_seen = {type(e.get()) for e in ENTRIES}
    assert len(types_seen) == 1, types_seen
    assert types.FunctionType not in types_seen  # really native


# --------------------------------------------------------------------------
# Argument binding
# --------------------------------------------------------------------------

def _is_binding_error(entry, message):
    # A callee of the body (say a class the body instantiates) may fail its own
    # binding; only an error about this function counts.
    return message == "keywords must be strings" or re.search(
        r"(^|\.)%s\(\) (takes|missing|got) " % re.escape(entry.name), message)


class Value:
    """Argument value that lets bodies run without touching shared state."""


def _outcome(thunk):
    try:
        thunk()
    except TypeError as exc:
        return ("TypeError", str(exc))
    except Exception as exc:  # the body ran: binding succeeded
        return ("body", type(exc).__name__)
    return ("ok", None)


def _check_same_binding(entry, ref_thunk, native_thunk):
    expected = _outcome(ref_thunk)
    actual = _outcome(native_thunk)
    if expected[0] == "TypeError":
        assert actual == expected
    else:
        assert expected == ("ok", None)
        # The native body may fail on the dummy values, but never in binding.
        assert not (actual[0] == "TypeError" and _is_binding_error(entry, actual[1])), actual


def _call_shapes(entry):
    names = re.findall(r"(?<![*\w])(\w+)", re.sub(r"=[^,]*", "", entry.params))
    n_params = len(names)
    keywords = st.lists(
        st.sampled_from(names + ["bogus", "zz_other"]) if names
        else st.sampled_from(["bogus", "zz_other"]),
        unique=True, max_size=n_params + 2)
    return st.tuples(st.integers(0, n_params + 3), keywords, st.booleans())


def _literal_call(target, n_pos, keywords):
    src = "f(" + ", ".join(["v"] * n_pos + [f"{k}=v" for k in keywords]) + ")"
    code = compile(src, "<call>", "eval")
    return lambda: eval(code, {"f": target, "v": Value()})


@all_entries
@settings(max_examples=20, deadline=None)
@given(data=st.data())
def test_binding_errors_match_python(entry, data):
    n_pos, keywords, foreign_key = data.draw(_call_shapes(entry))
    native = entry.get()
    pos = [Value() for _ in range(n_pos)]
    kw = {k: Value() for k in keywords}
    if foreign_key:
        kw_foreign = dict(kw)
        kw_foreign[1] = 2
        _check_same_binding(entry, lambda: entry.ref(*pos, **kw_foreign),
                            lambda: native(*pos, **kw_foreign))
    # CALL_FUNCTION_EX path, tp_call path and the plain vectorcall path.
    _check_same_binding(entry, lambda: entry.ref(*pos, **kw), lambda: native(*pos, **kw))
    _check_same_binding(entry, lambda: entry.ref(*pos, **kw),
                        lambda: native.__call__(*pos, **kw))
    _check_same_binding(entry, _literal_call(entry.ref, n_pos, keywords),
                        _literal_call(native, n_pos, keywords))


@method_entries
@settings(max_examples=10, deadline=None)
@given(data=st.data())
def test_binding_errors_match_python_when_bound(entry, data):
    n_pos, keywords, _ = data.draw(_call_shapes(entry))
    pos = [Value() for _ in range(n_pos)]
    kw = {k: Value() for k in keywords}

    def native():
        return getattr(entry.instance(), entry.name)(*pos, **kw)

    def ref():
        return entry.ref(entry.instance(), *pos, **kw)

    _check_same_binding(entry, ref, native)
    # LOAD_METHOD / CALL_METHOD, where the interpreter skips the bound method.
    src = "obj.%s(%s)" % (entry.name, ", ".join(
        ["v"] * n_pos + [f"{k}=v" for k in keywords]))
    code = compile(src, "<call>", "eval")
    _check_same_binding(
        entry,
        lambda: entry.ref(entry.instance(), *pos, **kw),
        lambda: eval(code, {"obj": entry.instance(), "v": Value()}))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: m.Statement(), "Statement.__init__() missing 1 required positional argument: 'pattern'"),
        (lambda: m.Statement("a", *range(10)),
         "Statement.__init__() takes from 2 to 11 positional arguments but 12 were given"),
        (lambda: m.Statement("a", bogus=1),
         "Statement.__init__() got an unexpected keyword argument 'bogus'"),
        (lambda: m.Statement("a", pattern="b"),
         "Statement.__init__() got multiple values for argument 'pattern'"),
        (lambda: m.statement_action_helper(),
         "statement_action_helper() missing 1 required positional argument: 'action'"),
        (lambda: m.statement_action_helper("send(x)", "y"),
         "statement_action_helper() takes 1 positional argument but 2 were given"),
        (lambda: m.statement_action_helper("send(x)")[0](),
         "statement_action_helper.<locals>.send() missing 2 required positional "
         "arguments: 'spawn' and 'key'"),
        (lambda: m.statement_action_helper("send_ctx(x)")[0](),
         "statement_action_helper.<locals>.send_ctx() missing 3 required positional "
         "arguments: 'spawn', 'context', and 'key'"),
        (lambda: m.Statement("a").validate(1),
         "Statement.validate() takes 1 positional argument but 2 were given"),
        (lambda: m.Statement.validate(),
         "Statement.validate() missing 1 required positional argument: 'self'"),
        (lambda: m.Statement("a").__eq__(),
         "Statement.__eq__() missing 1 required positional argument: 'other'"),
    ],
)
def test_binding_error_texts(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_arguments_reach_the_body():
    s = m.Statement(pattern="p", action=None, args=None, loop_continue=True,
                    continue_timer=False, trim_buffer=False, matched_retries=3,
                    matched_retry_sleep=1.5, di_params=["spawn"],
                    debug_statement=True)
    assert (s.pattern, s.loop_continue, s.trim_buffer, s.matched_retries,
            s.matched_retry_sleep, s.di_params, s.debug_statement) == (
        "p", True, False, 3, 1.5, ["spawn"], True)
    cb, payload = m.statement_action_helper(action="send(k)")
    assert payload == "k"
    s.validate_pattern()  # bound, no arguments
    assert m.Statement.validate_pattern(self=s) is None


# --------------------------------------------------------------------------
# Descriptor binding
# --------------------------------------------------------------------------

@method_entries
def test_from_class_is_the_function_itself(entry):
    cls = getattr(m, entry.qualname.split(".")[0])
    func = cls.__dict__[entry.name]
    assert getattr(cls, entry.name) is func
    assert func.__get__(None, cls) is func


@method_entries
def test_from_instance_is_a_bound_method(entry):
    inst = entry.instance()
    func = type(inst).__dict__.get(entry.name) or entry.get()
    bound = getattr(inst, entry.name)
    assert type(bound) is types.MethodType
    assert bound.__func__ is entry.get()
    assert bound.__self__ is inst
    assert func.__get__(inst, type(inst)).__func__ is func
    assert inspect.signature(bound) == inspect.signature(entry.ref.__get__(inst))


def test_static_new_is_unwrapped_from_class_and_instance():
    raw = m.DialogMaker.__dict__["__new__"]
    assert type(raw) is staticmethod
    assert m.DialogMaker.__new__ is raw.__func__


# --------------------------------------------------------------------------
# Function attributes
# --------------------------------------------------------------------------

@all_entries
def test_names(entry):
    f = entry.get()
    assert f.__name__ == entry.name
    assert f.__qualname__ == entry.qualname
    assert f.__module__ == "tavrel.eal.dialogs"
    assert type(f.__name__) is str and type(f.__qualname__) is str


@all_entries
def test_defaults_and_annotations(entry):
    f = entry.get()
    assert f.__defaults__ == entry.ref.__defaults__
    if f.__defaults__ is not None:
        assert type(f.__defaults__) is tuple
        assert [type(d) for d in f.__defaults__] == [type(d) for d in entry.ref.__defaults__]
    assert f.__kwdefaults__ is None
    assert f.__annotations__ == {}
    assert type(f.__annotations__) is dict


@all_entries
def test_globals_is_module_namespace(entry):
    assert entry.get().__globals__ is vars(m)


@all_entries
def test_function_attributes_can_be_set(entry):
    f = entry.get()
    assert isinstance(f.__dict__, dict)
    f.some_marker = 42
    try:
        assert f.__dict__["some_marker"] == 42
        assert f.some_marker == 42
        assert getattr(f, "some_marker") == 42
    finally:
        del f.some_marker
    assert "some_marker" not in f.__dict__
    with pytest.raises(AttributeError):
        f.some_marker


@pytest.mark.parametrize("name", ["__vectorcalloffset__", "__dictoffset__",
                                  "__weaklistoffset__"])
def test_no_layout_attributes(name):
    # A Python function has none; they would only give away raw offsets.
    assert not hasattr(test_no_layout_attributes, name)
    for entry in ENTRIES:
        assert not hasattr(entry.get(), name), entry


@all_entries
def test_repr(entry):
    f = entry.get()
    assert re.fullmatch(r"<function %s at 0x[0-9a-fA-F]+>" % re.escape(entry.qualname),
                        repr(f)), repr(f)


# --------------------------------------------------------------------------
# Code objects and introspection
# --------------------------------------------------------------------------

@all_entries
def test_code_object(entry):
    code = entry.get().__code__
    ref = entry.ref.__code__
    assert type(code) is types.CodeType
    assert code.co_argcount == ref.co_argcount
    assert code.co_posonlyargcount == 0
    assert code.co_kwonlyargcount == 0
    n_names = ref.co_argcount + bool(ref.co_flags & CO_VARARGS) + bool(ref.co_flags & CO_VARKEYWORDS)
    assert code.co_varnames[:n_names] == ref.co_varnames[:n_names]
    assert code.co_flags & (CO_VARARGS | CO_VARKEYWORDS) == ref.co_flags & (CO_VARARGS | CO_VARKEYWORDS)


@all_entries
def test_signature_and_argspec(entry):
    f = entry.get()
    assert str(inspect.signature(f)) == str(inspect.signature(entry.ref))
    assert inspect.signature(f) == inspect.signature(entry.ref)
    assert inspect.getfullargspec(f) == inspect.getfullargspec(entry.ref)


def test_statement_init_argspec():
    spec = inspect.getfullargspec(m.Statement.__init__)
    assert spec.args == ["self", "pattern", "action", "args", "loop_continue",
                         "continue_timer", "trim_buffer", "matched_retries",
                         "matched_retry_sleep", "di_params", "debug_statement"]
    assert spec.varargs is None and spec.varkw is None
    assert spec.defaults[7] is m.DI_LIST
    assert spec.kwonlyargs == [] and spec.kwonlydefaults is None
    assert spec.annotations == {}


def test_class_signature_comes_from_init():
    params = STATEMENT_INIT_PARAMS.replace("self, ", "").replace("DI_LIST", repr(m.DI_LIST))
    assert str(inspect.signature(m.Statement)) == f"({params})"
    assert str(inspect.signature(m.Statement("x").__init__)) == f"({params})"


@pytest.mark.parametrize("name, params", SENDERS.items())
def test_sender_argspec(name, params):
    cb = m.statement_action_helper(f"{name}(x)")[0]
    spec = inspect.getfullargspec(cb)
    assert spec.args == params.split(", ")
    assert (spec.varargs, spec.varkw, spec.defaults) == (None, None, None)


def _unwrapped(text):
    # pydoc from 3.13 on breaks a long signature into one line per parameter
    # (in a class's text each line starts with "|").
    return re.sub(r"[\s|]", "", text)


@all_entries
def test_pydoc_renders(entry):
    f = entry.get()
    text = pydoc.render_doc(f, renderer=pydoc.plaintext)
    assert (_unwrapped(f"{entry.name}{inspect.signature(entry.ref)}")
            in _unwrapped(text))


@pytest.mark.parametrize("name", ["Statement", "Dialog", "DialogMaker"])
def test_pydoc_renders_classes(name):
    text = pydoc.render_doc(getattr(m, name), renderer=pydoc.plaintext)
    for method, params in CLASS_METHODS[name]:
        if method != "__new__":
            expected = f"{method}({params.replace('DI_LIST', repr(m.DI_LIST))})"
            assert _unwrapped(expected) in _unwrapped(text)


def test_pydoc_renders_module():
    text = pydoc.render_doc(m, renderer=pydoc.plaintext)
    assert "statement_action_helper(action)" in text


# --------------------------------------------------------------------------
# Mutable function attributes, copying, weak references and the GC
# --------------------------------------------------------------------------



def _fresh():
    return m.statement_action_helper("send(x)")[0]


def test_assigned_defaults_and_names_take_effect():
    f = _fresh()
    f.__defaults__ = ("default key",)
    spawn = Spawn()
    f(spawn)
    assert spawn.sent == ["default key"]
    assert str(inspect.signature(f)) == "(spawn, key='default key')"
    f.__defaults__ = None
    f.__qualname__ = "Renamed.send"
    with pytest.raises(TypeError, match=r"^Renamed\.send\(\) missing 1 required positional argument: 'key'$"):
        f(spawn)
    f.__name__ = "other"
    assert f.__name__ == "other" and re.match(r"<function Renamed\.send at ", repr(f))


@pytest.mark.parametrize("attr, value", [
    ("__defaults__", 5), ("__defaults__", [1]), ("__name__", 5), ("__qualname__", None),
])
def test_attribute_setter_contracts(attr, value):
    f = _fresh()
    before = getattr(f, attr)
    with pytest.raises(TypeError):
        setattr(f, attr, value)
    assert getattr(f, attr) == before


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
def test_names_cannot_be_deleted(attr):
    f = _fresh()
    with pytest.raises(TypeError):
        delattr(f, attr)
    assert getattr(f, attr)


def test_get_with_neither_instance_nor_type():
    with pytest.raises(TypeError):
        m.Statement.validate.__get__(None, None)


def test_weak_references():

    f = _fresh()
    ref = weakref.ref(f)
    assert ref() is f
    del f
    assert ref() is None


def test_cycles_through_the_function_are_collected():

    f = _fresh()
    f.self_reference = f
    ref = weakref.ref(f)
    del f
    gc.collect()
    assert ref() is None


def test_cycles_through_captured_state_are_collected():
    wrapped = m.statement_decorator("pattern")
    wrapped.__patterns__ = []
    wrapped(wrapped)  # the captured keyword dict now holds wrapped itself
    ref = weakref.ref(wrapped)
    del wrapped
    gc.collect()
    assert ref() is None


def test_copies_are_the_function_itself():
    # copy treats functions as atomic; a native function must not be
    # reduced and rebuilt (that fails, or yields a detached twin).
    for entry in ENTRIES:
        f = entry.get()
        assert copy.copy(f) is f, entry
        assert copy.deepcopy(f) is f, entry


def test_deepcopy_of_statement_keeps_native_action():
    s = m.Statement("x", "sendline(a)")
    clone = copy.deepcopy(s)
    assert clone.action is s.action
    assert clone.args == s.args and clone.args is not s.args


def test_pickled_by_reference():
    for path in ("statement_action_helper", "Statement.__init__",
                 "Statement.validate", "Statement.__str__"):
        obj = m
        for part in path.split("."):
            obj = getattr(obj, part)
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(obj, protocol)) is obj, (path, protocol)
