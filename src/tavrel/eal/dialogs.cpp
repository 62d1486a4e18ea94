// tavrel.eal.dialogs: statements, dialogs and their declarative builders.
//
// The file follows the module body: shared helpers first, then the
// functions and classes in the order the body creates them
// (statement_action_helper, Statement, Dialog, statement_decorator,
// DialogMaker), and the module's creation and execution slots last.
//
// Every collaborator (re, copy, getfullargspec, getmembers, the package
// services, the constants, Statement, Dialog) is looked up in the module
// namespace when it is used, never cached, so rebinding a module attribute
// changes what the functions use.  Methods reach one another through the
// instance (self.validate(), self.__str__()) so subclasses can override
// them.
//
// What is written here is the general road: each step as the module's
// Python description takes it.  The shortcuts that stand in for some of
// those steps where nobody can tell the difference live in fast_paths.cpp;
// each is called at one place here, its seam (seams.h), and a build
// without them (TAVREL_FAST_PATHS off) runs this road alone.

#include "fast_paths.h"

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <utility>

namespace tavrel {
namespace {

// ===========================================================================
// Helpers shared by the module body
// ===========================================================================

// LOAD_GLOBAL: the function's module namespace, then the builtins.
Ref global(NativeFunction *fn, PyObject *name)
{
    Ref v;
    int found = fn->globals ? dict_get(fn->globals, name, v) : 0;
    if (!found) {
        PyObject *builtins = PyEval_GetBuiltins();
        found = builtins ? dict_get(builtins, name, v) : 0;
    }
    if (found)
        return found < 0 ? Ref() : v;
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref getattr(PyObject *o, PyObject *name) { return Ref::steal(PyObject_GetAttr(o, name)); }

// setattr() with a name of the table: what PyObject_SetAttr does once it
// has interned the name, which these already are.
int setattr(PyObject *o, PyObject *name, PyObject *v)
{
    setattrofunc set = Py_TYPE(o)->tp_setattro;
    return set ? set(o, name, v) : PyObject_SetAttr(o, name, v);
}

// hasattr(): 1 present, 0 absent (only AttributeError counts), -1 error.
int hasattr(PyObject *o, PyObject *name)
{
    Ref v = getattr(o, name);
    if (v)
        return 1;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

Ref call0(PyObject *f) { return Ref::steal(PyObject_CallNoArgs(f)); }

Ref call1(PyObject *f, PyObject *a)
{
    PyObject *stack[2] = {nullptr, a};
    return Ref::steal(PyObject_Vectorcall(f, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call2(PyObject *f, PyObject *a, PyObject *b)
{
    PyObject *stack[3] = {nullptr, a, b};
    return Ref::steal(PyObject_Vectorcall(f, stack + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// f(first, *args, **kwargs) for the tuple and dict a `*args, **kwargs`
// function received.
Ref call_prepend(PyObject *f, PyObject *first, PyObject *args, PyObject *kwargs)
{
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    Ref call_args = Ref::steal(PyTuple_New(n + 1));
    if (!call_args)
        return {};
    Py_INCREF(first);
    PyTuple_SET_ITEM(call_args.get(), 0, first);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyTuple_GET_ITEM(args, i);
        Py_INCREF(item);
        PyTuple_SET_ITEM(call_args.get(), i + 1, item);
    }
    return Ref::steal(
        PyObject_Call(f, call_args.get(), PyDict_GET_SIZE(kwargs) ? kwargs : nullptr));
}

// self.name(), found through the instance.
Ref call_method0(PyObject *self, PyObject *name)
{
    PyObject *stack[2] = {nullptr, self};
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_method1(PyObject *self, PyObject *name, PyObject *a)
{
    PyObject *stack[3] = {nullptr, self, a};
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_method2(PyObject *self, PyObject *name, PyObject *a, PyObject *b)
{
    PyObject *stack[4] = {nullptr, self, a, b};
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A method whose result is thrown away, as a statement `self.name()` does.
int run_method0(PyObject *self, PyObject *name) { return call_method0(self, name) ? 0 : -1; }

// isinstance(o, (list, tuple))
int is_list_or_tuple(PyObject *o)
{
    bool is;
    if (fast::is_list_or_tuple(o, is) == Seam::done)
        return is;
    return PyObject_IsInstance(o, N.list_tuple);
}

// isinstance(o, str)
int is_str(PyObject *o)
{
    bool is;
    if (fast::is_str(o, is) == Seam::done)
        return is;
    return PyObject_IsInstance(o, reinterpret_cast<PyObject *>(&PyUnicode_Type));
}

// isinstance(o, dict)
int is_dict(PyObject *o)
{
    bool is;
    if (fast::is_dict(o, is) == Seam::done)
        return is;
    return PyObject_IsInstance(o, reinterpret_cast<PyObject *>(&PyDict_Type));
}

// `raise obj`, for an object that a call has just produced: an instance is
// raised as it is, a class is called once for its instance.
PyObject *raise_object(PyObject *obj)
{
    if (PyExceptionClass_Check(obj)) {
        Ref inst = call0(obj);
        if (!inst)
            return nullptr;
        if (!PyExceptionInstance_Check(inst.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         obj, Py_TYPE(inst.get()));
            return nullptr;
        }
        PyErr_SetObject(obj, inst.get());
    }
    else if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(obj)), obj);
    }
    else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

// `raise StatementValidationError(message)`, the class found in the module
// namespace at the time of the raise.  Takes over `message`.
PyObject *raise_invalid(NativeFunction *fn, Ref message)
{
    if (!message)
        return nullptr;
    Ref cls = global(fn, N.StatementValidationError);
    if (!cls)
        return nullptr;
    Ref exc = call1(cls.get(), message.get());
    if (!exc)
        return nullptr;
    return raise_object(exc.get());
}

PyObject *raise_invalid(NativeFunction *fn, const char *message)
{
    return raise_invalid(fn, Ref::steal(PyUnicode_FromString(message)));
}

// The interpreter's name for a callable in call errors: "mod.qualname()".
Ref function_str(PyObject *func)
{
    Ref qualname = getattr(func, N.__qualname__);
    if (!qualname) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return {};
        PyErr_Clear();
        return Ref::steal(PyObject_Str(func));
    }
    Ref module = getattr(func, N.__module__);
    if (!module) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return {};
        PyErr_Clear();
    }
    else if (module.get() != Py_None) {
        int ne = PyObject_RichCompareBool(module.get(), N.builtins, Py_NE);
        if (ne < 0)
            return {};
        if (ne)
            return Ref::steal(PyUnicode_FromFormat("%S.%S()", module.get(), qualname.get()));
    }
    return Ref::steal(PyUnicode_FromFormat("%S()", qualname.get()));
}

// The tuple `*obj` gives in the call `func(*obj)`, with the interpreter's
// error for something that cannot be unpacked.
Ref star_args(PyObject *func, PyObject *obj)
{
    if (PyTuple_CheckExact(obj))
        return Ref::borrow(obj);
    if (!Py_TYPE(obj)->tp_iter && !PySequence_Check(obj)) {
        Ref fs = function_str(func);
        if (fs)
            PyErr_Format(PyExc_TypeError, "%U argument after * must be an iterable, not %.200s",
                         fs.get(), Py_TYPE(obj)->tp_name);
        return {};
    }
    return Ref::steal(PySequence_Tuple(obj));
}

// The dict `**obj` gives in the call `func(**obj)`.
Ref star_star_kwargs(PyObject *func, PyObject *obj)
{
    Ref d = Ref::steal(PyDict_New());
    if (!d)
        return {};
    if (PyDict_Merge(d.get(), obj, 1) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            Ref fs = function_str(func);
            if (fs)
                PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s",
                             fs.get(), Py_TYPE(obj)->tp_name);
        }
        return {};
    }
    return d;
}

// A `for` loop over any iterable: `next(item)` gives the next item (1), the
// end (0) or the iterator's error (-1).
class ForEach {
public:
    int start(PyObject *o)
    {
        if (fast::walks_by_index(o)) {
            seq_ = Ref::borrow(o);
            return 0;
        }
        it_ = Ref::steal(PyObject_GetIter(o));
        return it_ ? 0 : -1;
    }

    int next(Ref &item)
    {
        if (seq_)
            return fast::item_at(seq_.get(), i_, item);
        Ref v = Ref::steal(PyIter_Next(it_.get()));
        if (!v)
            return PyErr_Occurred() ? -1 : 0;
        item = std::move(v);
        return 1;
    }

private:
    Ref seq_, it_;
    Py_ssize_t i_ = 0;
};

// `a, b = obj`, with the interpreter's unpacking errors.
int unpack2(PyObject *obj, Ref &a, Ref &b)
{
    if (PyTuple_CheckExact(obj) && PyTuple_GET_SIZE(obj) == 2) {
        a = Ref::borrow(PyTuple_GET_ITEM(obj, 0));
        b = Ref::borrow(PyTuple_GET_ITEM(obj, 1));
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(obj)->tp_iter &&
            !PySequence_Check(obj)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(obj)->tp_name);
        }
        return -1;
    }
    Ref items[2];
    for (int i = 0; i < 2; ++i) {
        items[i] = Ref::steal(PyIter_Next(it.get()));
        if (!items[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    if (PyErr_Occurred())
        return -1;
    a = std::move(items[0]);
    b = std::move(items[1]);
    return 0;
}

// Parameter lists shared by many functions.
const char *const P_self[] = {"self"};
const char *const P_self_other[] = {"self", "other"};
const char *const P_self_item[] = {"self", "item"};
const char *const P_self_statement[] = {"self", "statement"};
const char *const P_self_index_statement[] = {"self", "index", "statement"};
const char *const P_self_dialog[] = {"self", "dialog"};
const char *const P_action[] = {"action"};
const char *const P_spawn_key[] = {"spawn", "key"};
const char *const P_spawn_context_key[] = {"spawn", "context", "key"};
const char *const P_spawn_runtime_key[] = {"spawn", "runtime", "key"};
const char *const P_func[] = {"func"};
const char *const P_x[] = {"x"};

// ===========================================================================
// The module docstring
// ===========================================================================

const char module_doc[] =
    "tavrel.eal.dialogs\n"
    "\n"
    "The dialog module provides classes and structures for creating several\n"
    "pattern/action pairs, so that multiple interactions can be handled in a\n"
    "single expect transaction.\n"
    "\n"
    "Without dialogs, answering several prompts of a session takes nested\n"
    "expect blocks of pattern and callback pairs, one block inside the other.\n"
    "A dialog describes all of the pairs at once and handles them in one go:\n"
    "\n"
    "    from tavrel.eal.dialogs import Dialog\n"
    "\n"
    "    d = Dialog([\n"
    "        [r'^username:$', 'sendline(admin)', None, True, False],\n"
    "        [r'^password:$', 'sendline(secret)', None, True, False],\n"
    "        [r'^host#$', None, None, False, False],\n"
    "    ])\n"
    "    d.process(spawn, timeout=30)\n";

// ===========================================================================
// statement_action_helper and its sender callables
// ===========================================================================

// --- the senders: each sends one value through the spawn ---

PyObject *sender_done(Ref sent)
{
    if (!sent)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *send_body(NativeFunction *, PyObject *const *a)
{
    return sender_done(call_method1(a[0], N.send, a[1]));
}

PyObject *sendline_body(NativeFunction *, PyObject *const *a)
{
    return sender_done(call_method1(a[0], N.sendline, a[1]));
}

// send_ctx / send_session: spawn.send(mapping[key]).
PyObject *send_item_body(NativeFunction *, PyObject *const *a)
{
    Ref value = Ref::steal(PyObject_GetItem(a[1], a[2]));
    if (!value)
        return nullptr;
    return sender_done(call_method1(a[0], N.send, value.get()));
}

PyObject *sendline_item_body(NativeFunction *, PyObject *const *a)
{
    Ref value = Ref::steal(PyObject_GetItem(a[1], a[2]));
    if (!value)
        return nullptr;
    return sender_done(call_method1(a[0], N.sendline, value.get()));
}

// sendline_cred_user / sendline_cred_pass:
// spawn.sendline(to_plaintext(context["credentials"][key][field])).
PyObject *sendline_cred(NativeFunction *fn, PyObject *const *a, PyObject *field)
{
    Ref to_plaintext = global(fn, N.to_plaintext);
    if (!to_plaintext)
        return nullptr;
    Ref creds = Ref::steal(PyObject_GetItem(a[1], N.credentials));
    if (!creds)
        return nullptr;
    Ref entry = Ref::steal(PyObject_GetItem(creds.get(), a[2]));
    if (!entry)
        return nullptr;
    Ref value = Ref::steal(PyObject_GetItem(entry.get(), field));
    if (!value)
        return nullptr;
    Ref text = call1(to_plaintext.get(), value.get());
    if (!text)
        return nullptr;
    return sender_done(call_method1(a[0], N.sendline, text.get()));
}

PyObject *sendline_cred_user_body(NativeFunction *fn, PyObject *const *a)
{
    return sendline_cred(fn, a, N.username);
}

PyObject *sendline_cred_pass_body(NativeFunction *fn, PyObject *const *a)
{
    return sendline_cred(fn, a, N.password);
}

// The senders (seams.h), in the order their patterns are tried.  The
// callables and the patterns the general road hands to `re` are made from
// this table, and so is the shortcuts' matcher, which checks at start-up
// that the table fits it.
constexpr int kSenders = 8;

Sender senders[kSenders] = {
    {{"send", "statement_action_helper.<locals>.send", nullptr, P_spawn_key, 2,
      nullptr, nullptr, send_body, 20},
     "^send\\((.*)\\)$", false},
    {{"sendline", "statement_action_helper.<locals>.sendline", nullptr, P_spawn_key, 2,
      nullptr, nullptr, sendline_body, 23},
     "^sendline\\((.*)\\)$", true},
    {{"send_ctx", "statement_action_helper.<locals>.send_ctx", nullptr, P_spawn_context_key, 3,
      nullptr, nullptr, send_item_body, 26},
     "^send_ctx\\((.*)\\)$", false},
    {{"sendline_ctx", "statement_action_helper.<locals>.sendline_ctx", nullptr,
      P_spawn_context_key, 3, nullptr, nullptr, sendline_item_body, 29},
     "^sendline_ctx\\((.*)\\)$", false},
    {{"send_session", "statement_action_helper.<locals>.send_session", nullptr,
      P_spawn_runtime_key, 3, nullptr, nullptr, send_item_body, 32},
     "^send_session\\((.*)\\)$", false},
    {{"sendline_session", "statement_action_helper.<locals>.sendline_session", nullptr,
      P_spawn_runtime_key, 3, nullptr, nullptr, sendline_item_body, 35},
     "^sendline_session\\((.*)\\)$", false},
    // The last two patterns have no "^"; re.match anchors them all the same.
    {{"sendline_cred_user", "statement_action_helper.<locals>.sendline_cred_user", nullptr,
      P_spawn_context_key, 3, nullptr, nullptr, sendline_cred_user_body, 38},
     "sendline_cred_user\\((.*)\\)$", false},
    {{"sendline_cred_pass", "statement_action_helper.<locals>.sendline_cred_pass", nullptr,
      P_spawn_context_key, 3, nullptr, nullptr, sendline_cred_pass_body, 42},
     "sendline_cred_pass\\((.*)\\)$", false},
};

} // namespace

PyObject *raise_no_payload(NativeFunction *fn)
{
    return raise_invalid(fn, "you must provide some argument in the parenthesis");
}

PyObject *raise_wrong_format(NativeFunction *fn, PyObject *action)
{
    return raise_invalid(fn, Ref::steal(PyUnicode_FromFormat("wrong format: %S", action)));
}

namespace {

PyObject *statement_action_helper_body(NativeFunction *fn, PyObject *const *a)
{
    PyObject *action = a[0];
    {
        Ref callback, payload;
        switch (fast::action_helper(reinterpret_cast<PyObject *>(fn), action, callback, payload)) {
        case Seam::done:
            return PyTuple_Pack(2, callback.get(), payload.get());
        case Seam::failed:
            return nullptr;
        case Seam::declined:
            break;
        }
    }

    // Every sender is made, and each pattern is handed to the module global
    // `re`, looked up afresh for every pattern.  All patterns are tried.
    Ref callbacks[kSenders];
    for (int i = 0; i < kSenders; ++i) {
        callbacks[i] = native_function_new(&senders[i].spec, fn->globals);
        if (!callbacks[i])
            return nullptr;
    }
    Ref callback = Ref::borrow(N.empty);
    Ref payload = Ref::borrow(N.empty);
    for (int i = 0; i < kSenders; ++i) {
        Ref re = global(fn, N.re);
        if (!re)
            return nullptr;
        Ref re_match = getattr(re.get(), N.match);
        if (!re_match)
            return nullptr;
        Sender &sender = senders[i];
        if (!sender.pattern_obj && !(sender.pattern_obj = PyUnicode_InternFromString(sender.pattern)))
            return nullptr;
        Ref m = call2(re_match.get(), sender.pattern_obj, action);
        if (!m)
            return nullptr;
        int found = PyObject_IsTrue(m.get());
        if (found < 0)
            return nullptr;
        if (!found)
            continue;
        callback = callbacks[i];
        Ref groups = call_method0(m.get(), N.groups);
        if (!groups)
            return nullptr;
        Ref zero = Ref::steal(PyLong_FromLong(0));
        if (!zero)
            return nullptr;
        payload = Ref::steal(PyObject_GetItem(groups.get(), zero.get()));
        if (!payload)
            return nullptr;
        int empty = PyObject_RichCompareBool(payload.get(), N.empty, Py_EQ);
        if (empty < 0)
            return nullptr;
        if (!empty)
            continue;
        // An empty payload is only for the senders that allow it, found by
        // comparing the callback with this call's own callables.
        bool allowed = false;
        for (int j = 0; j < kSenders && !allowed; ++j) {
            if (!senders[j].empty_payload)
                continue;
            int other = PyObject_RichCompareBool(callback.get(), callbacks[j].get(), Py_NE);
            if (other < 0)
                return nullptr;
            allowed = !other;
        }
        if (!allowed)
            return raise_no_payload(fn);
    }
    int none_found = PyObject_RichCompareBool(callback.get(), N.empty, Py_EQ);
    if (none_found < 0)
        return nullptr;
    if (none_found)
        return raise_wrong_format(fn, action);
    return PyTuple_Pack(2, callback.get(), payload.get());
}

FunctionSpec statement_action_helper_spec = {
    "statement_action_helper", "statement_action_helper",
    " Helper fuction for statement actions.\n"
    "\n"
    "    Translates an action string into a callable and argument.\n"
    "\n"
    "    :param action: (str) action string from a statement\n"
    "    :return: callable, payload (tuple)\n"
    "    ",
    P_action, 1, nullptr, nullptr, statement_action_helper_body, 10};

// ===========================================================================
// class Statement
// ===========================================================================

const char statement_doc[] =
    "Statement is the building block of a dialog.\n"
    "\n"
    "    A statement pairs a pattern with the action to take when the pattern\n"
    "    shows up in the output of the spawn, together with the arguments of\n"
    "    that action and the flags that tell the dialog processor what to do\n"
    "    after a match.\n"
    "\n"
    "    pattern: the text (a regular expression) to look for, or a list or\n"
    "        tuple of such texts.\n"
    "    action: a callable, or an action text such as 'sendline(admin)'.\n"
    "    args: dict of the arguments the action needs, or None.\n"
    "    loop_continue: when True, the dialog goes on looking for matches\n"
    "        after this one.\n"
    "    continue_timer: when True, the timer is restarted after every match.\n"
    "    trim_buffer: when False, matched content is not removed from the\n"
    "        buffer.\n"
    "    matched_retries: how many times to retry when the pattern is\n"
    "        matched (default 0).\n"
    "    matched_retry_sleep: seconds to sleep between those retries\n"
    "        (default 0.02 seconds).\n"
    "\n"
    "    Example::\n"
    "\n"
    "        s = Statement(pattern=r'^username:$',\n"
    "                      action='sendline(admin)',\n"
    "                      args=None,\n"
    "                      loop_continue=True,\n"
    "                      continue_timer=False)\n"
    "\n"
    "    Raises StatementValidationError when the arguments do not fit\n"
    "    together.\n"
    "    ";

// __init__(self, pattern, action=None, args=None, loop_continue=False,
//          continue_timer=False, trim_buffer=True, matched_retries=None,
//          matched_retry_sleep=None, di_params=DI_LIST, debug_statement=False)
PyObject *statement_init(NativeFunction *fn, PyObject *const *a)
{
    PyObject *self = a[0];
    if (setattr(self, N.pattern, a[1]) < 0 || setattr(self, N.action, a[2]) < 0 ||
        setattr(self, N._action, Py_None) < 0 || setattr(self, N.args, a[3]) < 0 ||
        setattr(self, N.loop_continue, a[4]) < 0 || setattr(self, N.continue_timer, a[5]) < 0)
        return nullptr;
    Ref match = Ref::steal(PyList_New(0));
    if (!match || setattr(self, N.match, match.get()) < 0)
        return nullptr;
    if (setattr(self, N.trim_buffer, a[6]) < 0)
        return nullptr;
    Ref retries = a[7] == Py_None ? global(fn, N.STATEMENT_MATCHED_RETRIES) : Ref::borrow(a[7]);
    if (!retries || setattr(self, N.matched_retries, retries.get()) < 0)
        return nullptr;
    Ref sleep = a[8] == Py_None ? global(fn, N.STATEMENT_MATCHED_RETRY_SLEEP) : Ref::borrow(a[8]);
    if (!sleep || setattr(self, N.matched_retry_sleep, sleep.get()) < 0)
        return nullptr;
    if (setattr(self, N.di_params, a[9]) < 0 || setattr(self, N.debug_statement, a[10]) < 0)
        return nullptr;
    if (run_method0(self, N.validate) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

const char *const P_statement_init[] = {
    "self", "pattern", "action", "args", "loop_continue", "continue_timer", "trim_buffer",
    "matched_retries", "matched_retry_sleep", "di_params", "debug_statement"};

FunctionSpec statement_init_spec = {
    "__init__", "Statement.__init__", nullptr, P_statement_init, 11,
    nullptr, nullptr, statement_init, 100};

// Equal when the patterns are equal and the actions are equal (a short-
// circuit `and`, returning the deciding comparison's own result).  An
// `other` without these attributes is no statement: NotImplemented lets the
// interpreter fall back to identity instead of raising.
PyObject *statement_eq(NativeFunction *, PyObject *const *a)
{
    PyObject *self = a[0], *other = a[1];
    Ref mine = getattr(self, N.pattern);
    if (!mine)
        return nullptr;
    Ref theirs = getattr(other, N.pattern);
    if (!theirs) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        return nullptr;
    }
    Ref same = Ref::steal(PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ));
    if (!same)
        return nullptr;
    int t = PyObject_IsTrue(same.get());
    if (t < 0)
        return nullptr;
    if (!t)
        return same.release();
    mine = getattr(self, N.action);
    if (!mine)
        return nullptr;
    theirs = getattr(other, N.action);
    if (!theirs) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        return nullptr;
    }
    return PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ);
}

FunctionSpec statement_eq_spec = {
    "__eq__", "Statement.__eq__", nullptr, P_self_other, 2, nullptr, nullptr, statement_eq, 120};

PyObject *statement_validate(NativeFunction *, PyObject *const *a)
{
    PyObject *self = a[0];
    // The order of the checks decides which fault is reported; it is not
    // the order in which the checks are defined.
    if (run_method0(self, N.validate_pattern) < 0 || run_method0(self, N.validate_action) < 0 ||
        run_method0(self, N.validate_loop_continue) < 0 ||
        run_method0(self, N.validate_continue_timer) < 0 ||
        run_method0(self, N.validate_trim_buffer) < 0 ||
        run_method0(self, N.validate_debug_statement) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

FunctionSpec statement_validate_spec = {
    "validate", "Statement.validate", "verify the sanity of the arguments in the statement",
    P_self, 1, nullptr, nullptr, statement_validate, 130};

PyObject *statement_validate_pattern(NativeFunction *fn, PyObject *const *a)
{
    PyObject *self = a[0];
    Ref pattern = getattr(self, N.pattern);
    if (!pattern)
        return nullptr;
    int seq = is_list_or_tuple(pattern.get());
    if (seq < 0)
        return nullptr;
    if (seq) {
        pattern = getattr(self, N.pattern);
        if (!pattern)
            return nullptr;
        ForEach it;
        if (it.start(pattern.get()) < 0)
            return nullptr;
        Ref item;
        int more;
        while ((more = it.next(item)) > 0) {
            int ok = is_str(item.get());
            if (ok < 0)
                return nullptr;
            if (!ok)
                return raise_invalid(fn, "pattern must be string");
        }
        if (more < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    pattern = getattr(self, N.pattern);
    if (!pattern)
        return nullptr;
    int ok = is_str(pattern.get());
    if (ok < 0)
        return nullptr;
    if (!ok)
        return raise_invalid(fn, "pattern must be str, list or tuple");
    Py_RETURN_NONE;
}

FunctionSpec statement_validate_pattern_spec = {
    "validate_pattern", "Statement.validate_pattern",
    "check if the pattern provided is or correct type", P_self, 1, nullptr, nullptr,
    statement_validate_pattern, 140};

// --- validate_action ---

// getfullargspec(action), split into the parameters without and with
// defaults: `spec.args[:-n]` and `spec.args[-n:]` for the `n` defaults.
int read_argspec(NativeFunction *fn, PyObject *action, ArgSpec &out)
{
    Ref getfullargspec = global(fn, N.getfullargspec);
    if (!getfullargspec)
        return -1;
    switch (fast::argspec(getfullargspec.get(), action, out)) {
    case Seam::done:
        return 0;
    case Seam::failed:
        return -1;
    case Seam::declined:
        break;
    }
    out.spec = call1(getfullargspec.get(), action);
    if (!out.spec)
        return -1;
    Ref args = getattr(out.spec.get(), N.args);
    if (!args)
        return -1;
    Ref defaults = getattr(out.spec.get(), N.defaults);
    if (!defaults)
        return -1;
    int has_defaults = PyObject_IsTrue(defaults.get());
    if (has_defaults < 0)
        return -1;
    if (!has_defaults) {
        out.default_args = Ref::steal(PyList_New(0));
        out.pos_args = args;
        return out.default_args ? 0 : -1;
    }
    Py_ssize_t n = PyObject_Size(defaults.get());
    if (n < 0)
        return -1;
    // spec.args[-n:] and spec.args[:-n], with the slicing of whatever
    // object `args` is.
    Ref minus_n = Ref::steal(PyLong_FromSsize_t(-n));
    if (!minus_n)
        return -1;
    Ref tail = Ref::steal(PySlice_New(minus_n.get(), nullptr, nullptr));
    if (!tail)
        return -1;
    Ref head = Ref::steal(PySlice_New(nullptr, minus_n.get(), nullptr));
    if (!head)
        return -1;
    out.default_args = Ref::steal(PyObject_GetItem(args.get(), tail.get()));
    if (!out.default_args)
        return -1;
    out.pos_args = Ref::steal(PyObject_GetItem(args.get(), head.get()));
    return out.pos_args ? 0 : -1;
}

// spec.varargs / spec.varkw, by truth value.
int spec_flag(const ArgSpec &spec, PyObject *name, bool native_value)
{
    if (!spec.spec)
        return native_value;
    Ref v = getattr(spec.spec.get(), name);
    if (!v)
        return -1;
    return PyObject_IsTrue(v.get());
}

// `set(pos_args) <= set(di_params)`
int pos_args_injected(PyObject *pos_args, PyObject *di_params)
{
    Ref wanted = Ref::steal(PySet_New(pos_args));
    if (!wanted)
        return -1;
    Ref injected = Ref::steal(PySet_New(di_params));
    if (!injected)
        return -1;
    return PyObject_RichCompareBool(wanted.get(), injected.get(), Py_LE);
}

// The keys of `for key, _ in d.items()`: `next(key)` gives the next key
// (1), the end (0) or the error of the loop (-1).
class DictKeys {
public:
    int start(PyObject *d)
    {
        if (fast::dict_keys_start(d, walk_) == Seam::done)
            return 0;
        Ref items = call_method0(d, N.items);
        if (!items)
            return -1;
        it_ = Ref::steal(PyObject_GetIter(items.get()));
        return it_ ? 0 : -1;
    }

    int next(Ref &key)
    {
        if (walk_.dict)
            return fast::dict_keys_next(walk_, key);
        Ref item = Ref::steal(PyIter_Next(it_.get()));
        if (!item)
            return PyErr_Occurred() ? -1 : 0;
        Ref value;
        if (unpack2(item.get(), key, value) < 0)
            return -1;
        return 1;
    }

private:
    DictWalk walk_;
    Ref it_;
};

// `args` and `di_params` as the callable rules read them: afresh at every
// use, unless a shortcut finds that no read could give another object.
class FieldReader {
public:
    explicit FieldReader(PyObject *self) : self_(self) {}

    // Once the action's parameter lists are known.
    int start(const ArgSpec &spec)
    {
        Seam reuse = fast::rule_fields(self_, spec, args_, di_params_);
        if (reuse == Seam::failed)
            return -1;
        reuse_ = reuse == Seam::done;
        return 0;
    }

    Ref args() { return reuse_ ? args_ : getattr(self_, N.args); }
    Ref di_params() { return reuse_ ? di_params_ : getattr(self_, N.di_params); }

private:
    PyObject *self_;
    bool reuse_ = false;
    Ref args_, di_params_;
};

// What the callable rules share: the statement, the action's parameter
// lists and its `__name__` (c_name), and the fields as the rules read them.
struct CallableRules {
    CallableRules(NativeFunction *fn_, PyObject *self_) : fn(fn_), self(self_), fields(self_) {}

    int start()
    {
        // `action` is read afresh for each use, like every other attribute.
        {
            Ref action = getattr(self, N.action);
            if (!action || read_argspec(fn, action.get(), spec) < 0)
                return -1;
        }
        Ref action = getattr(self, N.action);
        if (!action)
            return -1;
        c_name = getattr(action.get(), N.__name__);
        if (!c_name)
            return -1;
        return fields.start(spec);
    }

    NativeFunction *fn;
    PyObject *self;
    ArgSpec spec;
    Ref c_name;
    FieldReader fields;
};

// Each rule returns 0 when it holds, -1 with the statement fault (or any
// other error) raised.

// `args` is None or a dict.
int rule_args_is_a_dict(CallableRules &r)
{
    Ref args = r.fields.args();
    if (!args)
        return -1;
    if (args.get() == Py_None)
        return 0;
    int d = is_dict(args.get());
    if (d < 0)
        return -1;
    if (!d) {
        raise_invalid(r.fn, "args must be a dict or None");
        return -1;
    }
    return 0;
}

// No injected name is a parameter with a default.
int rule_injected_have_no_default(CallableRules &r)
{
    Ref di_params = r.fields.di_params();
    if (!di_params)
        return -1;
    ForEach it;
    if (it.start(di_params.get()) < 0)
        return -1;
    Ref param;
    int more;
    while ((more = it.next(param)) > 0) {
        int in = PySequence_Contains(r.spec.default_args.get(), param.get());
        if (in < 0)
            return -1;
        if (in) {
            raise_invalid(r.fn, Ref::steal(PyUnicode_FromFormat(
                                    "\"%S\" must be a positional argument in the action "
                                    "callable: %S",
                                    param.get(), r.c_name.get())));
            return -1;
        }
    }
    return more;
}

// The action has no `*` parameter.
int rule_no_varargs(CallableRules &r)
{
    int has_varargs = spec_flag(r.spec, N.varargs, r.spec.varargs);
    if (has_varargs <= 0)
        return has_varargs;
    raise_invalid(r.fn, Ref::steal(PyUnicode_FromFormat(
                            "use of *varargs is prohibited in action callable: %S",
                            r.c_name.get())));
    return -1;
}

// With `args` None, every parameter without a default is injected.
int rule_no_args_all_injected(CallableRules &r)
{
    Ref di_params = r.fields.di_params();
    if (!di_params)
        return -1;
    int ok = pos_args_injected(r.spec.pos_args.get(), di_params.get());
    if (ok)
        return ok < 0 ? -1 : 0;
    di_params = r.fields.di_params();
    if (!di_params)
        return -1;
    raise_invalid(r.fn, Ref::steal(PyUnicode_FromFormat(
                            "\"args\" cannot be left None in case action callable \"%S\" "
                            "requires any non-default value other than %S",
                            r.c_name.get(), di_params.get())));
    return -1;
}

// An injected name is never a key of `args`.
int rule_injected_not_in_args(CallableRules &r, PyObject *args)
{
    Ref di_params = r.fields.di_params();
    if (!di_params)
        return -1;
    ForEach it;
    if (it.start(di_params.get()) < 0)
        return -1;
    Ref arg;
    int more;
    while ((more = it.next(arg)) > 0) {
        int in = PySequence_Contains(args, arg.get());
        if (in < 0)
            return -1;
        if (in) {
            raise_invalid(r.fn, Ref::steal(PyUnicode_FromFormat(
                                    "\"%S\" cannot be a key in \"args\", even though it is "
                                    "required, because it will be automatically injected in "
                                    "the session by the calling program",
                                    arg.get())));
            return -1;
        }
    }
    return more;
}

// One reading of `args` decides which of the two rules above applies.
int rule_injected_names(CallableRules &r)
{
    Ref args = r.fields.args();
    if (!args)
        return -1;
    if (args.get() == Py_None)
        return rule_no_args_all_injected(r);
    return rule_injected_not_in_args(r, args.get());
}

// Every parameter without a default is injected or given in `args`.
int rule_positional_provided(CallableRules &r)
{
    ForEach it;
    if (it.start(r.spec.pos_args.get()) < 0)
        return -1;
    Ref arg;
    int more;
    while ((more = it.next(arg)) > 0) {
        Ref di_params = r.fields.di_params();
        if (!di_params)
            return -1;
        int in = PySequence_Contains(di_params.get(), arg.get());
        if (in < 0)
            return -1;
        if (in)
            continue;
        Ref args = r.fields.args();
        if (!args)
            return -1;
        in = PySequence_Contains(args.get(), arg.get());
        if (in < 0)
            return -1;
        if (!in) {
            raise_invalid(r.fn, Ref::steal(PyUnicode_FromFormat(
                                    "value for positional arg \"%S\", for action callback "
                                    "\"%S\", must be provided in args dict",
                                    arg.get(), r.c_name.get())));
            return -1;
        }
    }
    return more;
}

// Every key of `args` names a parameter, unless a `**` parameter takes it.
int rule_args_keys_known(CallableRules &r)
{
    Ref args = r.fields.args();
    if (!args)
        return -1;
    if (args.get() == Py_None)
        return 0;
    DictKeys keys;
    if (keys.start(args.get()) < 0)
        return -1;
    Ref arg;
    int more;
    while ((more = keys.next(arg)) > 0) {
        int in = PySequence_Contains(r.spec.pos_args.get(), arg.get());
        if (in < 0)
            return -1;
        if (in)
            continue;
        in = PySequence_Contains(r.spec.default_args.get(), arg.get());
        if (in < 0)
            return -1;
        if (in)
            continue;
        int has_varkw = spec_flag(r.spec, N.varkw, r.spec.varkw);
        if (has_varkw < 0)
            return -1;
        if (has_varkw)
            continue;
        raise_invalid(r.fn, Ref::steal(PyUnicode_FromFormat(
                                "arg \"%S\" is not present in action callback \"%S\"'s "
                                "signature, in that case **kwargs must be present in action "
                                "callback",
                                arg.get(), r.c_name.get())));
        return -1;
    }
    return more;
}

// The rules in the order that decides which fault is reported.
int (*const callable_rules[])(CallableRules &) = {
    rule_args_is_a_dict,      rule_injected_have_no_default, rule_no_varargs,
    rule_injected_names,      rule_positional_provided,      rule_args_keys_known,
};

PyObject *validate_callable_action(NativeFunction *fn, PyObject *self)
{
    CallableRules r(fn, self);
    if (r.start() < 0)
        return nullptr;
    for (auto rule : callable_rules)
        if (rule(r) < 0)
            return nullptr;
    Py_RETURN_NONE;
}

// callback, payload = statement_action_helper(action)
int run_action_helper(NativeFunction *fn, PyObject *action, Ref &callback, Ref &payload)
{
    Ref helper = global(fn, N.statement_action_helper);
    if (!helper)
        return -1;
    // The module's own helper, unless rebound, need not build the pair.
    switch (fast::action_helper(helper.get(), action, callback, payload)) {
    case Seam::done:
        return 0;
    case Seam::failed:
        return -1;
    case Seam::declined:
        break;
    }
    Ref result = call1(helper.get(), action);
    if (!result)
        return -1;
    return unpack2(result.get(), callback, payload);
}

PyObject *statement_validate_action(NativeFunction *fn, PyObject *const *a)
{
    PyObject *self = a[0];
    Ref action = getattr(self, N.action);
    if (!action)
        return nullptr;
    if (PyCallable_Check(action.get()))
        return validate_callable_action(fn, self);

    action = getattr(self, N.action);
    if (!action)
        return nullptr;
    if (PyUnicode_CheckExact(action.get())) {
        Ref args = getattr(self, N.args);
        if (!args)
            return nullptr;
        if (args.get() != Py_None)
            return raise_invalid(fn, "if action is string, then \"args\" should be left None");
        action = getattr(self, N.action);
        if (!action)
            return nullptr;
        Ref callback, payload;
        if (run_action_helper(fn, action.get(), callback, payload) < 0)
            return nullptr;
        if (setattr(self, N.action, callback.get()) < 0)
            return nullptr;
        Ref new_args = Ref::steal(PyDict_New());
        if (!new_args || PyDict_SetItem(new_args.get(), N.key, payload.get()) < 0 ||
            setattr(self, N.args, new_args.get()) < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    Ref args = getattr(self, N.args);
    if (!args)
        return nullptr;
    if (args.get() != Py_None)
        return raise_invalid(fn, "if action is None, then \"args\" should also be left None");
    Py_RETURN_NONE;
}

FunctionSpec statement_validate_action_spec = {
    "validate_action", "Statement.validate_action", "check callback function and its arguments",
    P_self, 1, nullptr, nullptr, statement_validate_action, 150};

// --- the flag checks: the attribute must be exactly a bool ---

PyObject *check_bool(NativeFunction *fn, PyObject *self, PyObject *name, const char *message)
{
    Ref v = getattr(self, name);
    if (!v)
        return nullptr;
    if (!PyBool_Check(v.get()))
        return raise_invalid(fn, message);
    Py_RETURN_NONE;
}

PyObject *statement_validate_loop_continue(NativeFunction *fn, PyObject *const *a)
{
    return check_bool(fn, a[0], N.loop_continue, "loop_continue must be boolean, i.e. True|False");
}

PyObject *statement_validate_debug_statement(NativeFunction *fn, PyObject *const *a)
{
    return check_bool(fn, a[0], N.debug_statement,
                      "debug_statement must be boolean, i.e. True|False");
}

PyObject *statement_validate_continue_timer(NativeFunction *fn, PyObject *const *a)
{
    PyObject *self = a[0];
    Ref ct = getattr(self, N.continue_timer);
    if (!ct)
        return nullptr;
    if (!PyBool_Check(ct.get()))
        return raise_invalid(fn, "continue_timer must be boolean, i.e. True|False");
    Ref pattern = getattr(self, N.pattern);
    if (!pattern)
        return nullptr;
    int timeout = PyObject_RichCompareBool(pattern.get(), N.__timeout__, Py_EQ);
    if (timeout < 0)
        return nullptr;
    if (!timeout)
        Py_RETURN_NONE;
    ct = getattr(self, N.continue_timer);
    if (!ct)
        return nullptr;
    if (ct.get() == Py_False)
        Py_RETURN_NONE;
    return raise_invalid(fn, "in timeout handler statement, continue_timer must be False");
}

PyObject *statement_validate_trim_buffer(NativeFunction *fn, PyObject *const *a)
{
    return check_bool(fn, a[0], N.trim_buffer, "trim_buffer must be boolean, i.e. True|False");
}

FunctionSpec statement_validate_loop_continue_spec = {
    "validate_loop_continue", "Statement.validate_loop_continue",
    "validate loop_continue is boolean", P_self, 1, nullptr, nullptr,
    statement_validate_loop_continue, 200};
FunctionSpec statement_validate_debug_statement_spec = {
    "validate_debug_statement", "Statement.validate_debug_statement",
    "validate debug_statement is boolean", P_self, 1, nullptr, nullptr,
    statement_validate_debug_statement, 205};
FunctionSpec statement_validate_continue_timer_spec = {
    "validate_continue_timer", "Statement.validate_continue_timer",
    "validate continue_timer is boolean", P_self, 1, nullptr, nullptr,
    statement_validate_continue_timer, 210};
FunctionSpec statement_validate_trim_buffer_spec = {
    "validate_trim_buffer", "Statement.validate_trim_buffer",
    "validate trim_buffer is boolean", P_self, 1, nullptr, nullptr,
    statement_validate_trim_buffer, 220};

// --- text forms ---

// str(v) for an attribute value; takes over `v`.
Ref text_of(Ref v)
{
    if (!v)
        return {};
    Ref text;
    switch (fast::text(v.get(), text)) {
    case Seam::done:
        return text;
    case Seam::failed:
        return {};
    case Seam::declined:
        break;
    }
    return Ref::steal(PyObject_Str(v.get()));
}

// The concatenation of `n` strs (or str subclasses) into a new str.
PyObject *join(PyObject *const *parts, Py_ssize_t n)
{
    Ref text;
    switch (fast::join(parts, n, text)) {
    case Seam::done:
        return text.release();
    case Seam::failed:
        return nullptr;
    case Seam::declined:
        break;
    }
    Ref seq = Ref::steal(PyTuple_New(n));
    if (!seq)
        return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(seq.get(), i, Py_NewRef(parts[i]));
    return PyUnicode_Join(N.empty, seq.get());
}

PyObject *statement_str(NativeFunction *, PyObject *const *a)
{
    PyObject *self = a[0];
    Ref action = getattr(self, N.action);
    if (!action)
        return nullptr;
    bool no_action = action.get() == Py_None;
    Ref pattern_text = text_of(getattr(self, N.pattern));
    if (!pattern_text)
        return nullptr;
    Ref action_text;
    if (no_action) {
        action_text = text_of(getattr(self, N.action));
    }
    else {
        Ref again = getattr(self, N.action);
        if (!again)
            return nullptr;
        action_text = text_of(getattr(again.get(), N.__name__));
    }
    if (!action_text)
        return nullptr;
    Ref args_text = text_of(getattr(self, N.args));
    if (!args_text)
        return nullptr;
    Ref lc_text = text_of(getattr(self, N.loop_continue));
    if (!lc_text)
        return nullptr;
    Ref ct_text = text_of(getattr(self, N.continue_timer));
    if (!ct_text)
        return nullptr;
    Ref tb_text = text_of(getattr(self, N.trim_buffer));
    if (!tb_text)
        return nullptr;
    PyObject *parts[13] = {
        N.open_pattern,        pattern_text.get(), N.open_action,      action_text.get(),
        N.open_args,           args_text.get(),    N.open_loop_continue, lc_text.get(),
        N.open_continue_timer, ct_text.get(),      N.open_trim_buffer, tb_text.get(),
        N.close};
    return join(parts, 13);
}

FunctionSpec statement_str_spec = {
    "__str__", "Statement.__str__", nullptr, P_self, 1, nullptr, nullptr, statement_str, 230};

PyObject *str_via_instance(NativeFunction *, PyObject *const *a)
{
    return call_method0(a[0], N.__str__).release();
}

FunctionSpec statement_repr_spec = {
    "__repr__", "Statement.__repr__", nullptr, P_self, 1, nullptr, nullptr, str_via_instance,
    245};

// ===========================================================================
// class Dialog
// ===========================================================================

const char dialog_doc[] =
    " Dialog is a set of statement objects.\n"
    "\n"
    "    A dialog is an enclosure for the list of all the statements and their\n"
    "    dependencies in the session.  An instance can be reused for\n"
    "    interacting with different spawn instances.\n"
    "\n"
    "    The timeout is not part of the dialog, so the same dialog can handle\n"
    "    interactions with different timeouts.\n"
    "\n"
    "    Example, from statements::\n"
    "\n"
    "        s1 = Statement(pattern=r'^username:$',\n"
    "                       action=lambda spawn: spawn.sendline('admin'),\n"
    "                       loop_continue=True)\n"
    "        s2 = Statement(pattern=r'^password:$',\n"
    "                       action=lambda spawn: spawn.sendline('admin'),\n"
    "                       loop_continue=True)\n"
    "        s3 = Statement(pattern=r'^host#$', action=None)\n"
    "        d = Dialog([s1, s2, s3])\n"
    "\n"
    "    Example, from lists of statement arguments (pattern, action, args,\n"
    "    loop_continue, continue_timer)::\n"
    "\n"
    "        d = Dialog([\n"
    "            [r'^username:$', lambda spawn: spawn.sendline('admin'), None,\n"
    "             True, False],\n"
    "            [r'^password:$', lambda spawn: spawn.sendline('admin'), None,\n"
    "             True, False],\n"
    "            [r'^host#$', None, None, False, False],\n"
    "        ])\n"
    "    ";

PyObject *dialog_init(NativeFunction *, PyObject *const *a)
{
    PyObject *self = a[0];
    if (setattr(self, N.statement_list, a[1]) < 0 ||
        setattr(self, N.timeout_statement, Py_None) < 0 ||
        setattr(self, N.eof_statement, Py_None) < 0)
        return nullptr;
    if (run_method0(self, N.validate) < 0)
        return nullptr;
    Ref statements = call_method0(self, N.extract_statements);
    if (!statements || setattr(self, N.statements, statements.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

const char *const P_dialog_init[] = {"self", "statement_list"};
FunctionSpec dialog_init_spec = {
    "__init__", "Dialog.__init__", nullptr, P_dialog_init, 2, nullptr, nullptr, dialog_init, 300};

PyObject *dialog_bool(NativeFunction *, PyObject *const *a)
{
    Ref statements = getattr(a[0], N.statements);
    if (!statements)
        return nullptr;
    int t = PyObject_IsTrue(statements.get());
    if (t < 0)
        return nullptr;
    return PyBool_FromLong(t);
}

FunctionSpec dialog_bool_spec = {
    "__bool__", "Dialog.__bool__", nullptr, P_self, 1, nullptr, nullptr, dialog_bool, 310};

// Membership follows the statements the dialog holds now, like iteration.
PyObject *dialog_contains(NativeFunction *, PyObject *const *a)
{
    Ref statements = getattr(a[0], N.statements);
    if (!statements)
        return nullptr;
    int in = PySequence_Contains(statements.get(), a[1]);
    if (in < 0)
        return nullptr;
    return PyBool_FromLong(in);
}

FunctionSpec dialog_contains_spec = {
    "__contains__", "Dialog.__contains__", nullptr, P_self_item, 2, nullptr, nullptr,
    dialog_contains, 315};

PyObject *dialog_validate(NativeFunction *, PyObject *const *a)
{
    Ref statement_list = getattr(a[0], N.statement_list);
    if (!statement_list)
        return nullptr;
    int ok = is_list_or_tuple(statement_list.get());
    if (ok < 0)
        return nullptr;
    if (!ok) {
        PyErr_SetString(PyExc_Exception,
                        "Arguments to Dialog should be list of statements or a list of list");
        return nullptr;
    }
    Py_RETURN_NONE;
}

FunctionSpec dialog_validate_spec = {
    "validate", "Dialog.validate", "validate all the statement arguments", P_self, 1, nullptr,
    nullptr, dialog_validate, 320};

// copy(line), the copy that construction makes of a statement element.
Ref copy_statement(NativeFunction *fn, PyObject *line)
{
    Ref copy = global(fn, N.copy);
    if (!copy)
        return {};
    Ref result;
    switch (fast::copy(copy.get(), line, result)) {
    case Seam::done:
        return result;
    case Seam::failed:
        return {};
    case Seam::declined:
        break;
    }
    return call1(copy.get(), line);
}

PyObject *dialog_extract_statements(NativeFunction *fn, PyObject *const *a)
{
    PyObject *self = a[0];
    Ref statements = Ref::steal(PyList_New(0));
    if (!statements)
        return nullptr;
    Ref statement_list = getattr(self, N.statement_list);
    if (!statement_list)
        return nullptr;
    ForEach it;
    if (it.start(statement_list.get()) < 0)
        return nullptr;
    Ref line;
    int more;
    while ((more = it.next(line)) > 0) {
        Ref statement_cls = global(fn, N.Statement);
        if (!statement_cls)
            return nullptr;
        int is_statement = PyObject_IsInstance(line.get(), statement_cls.get());
        if (is_statement < 0)
            return nullptr;
        Ref stmt;
        if (is_statement) {
            stmt = copy_statement(fn, line.get());
        }
        else {
            int seq = is_list_or_tuple(line.get());
            if (seq < 0)
                return nullptr;
            if (!seq) {
                PyErr_SetString(PyExc_TypeError,
                                "Elements in statement list should be of type: list or tuple or "
                                "Statement");
                return nullptr;
            }
            statement_cls = global(fn, N.Statement);
            if (!statement_cls)
                return nullptr;
            Ref star = star_args(statement_cls.get(), line.get());
            if (!star)
                return nullptr;
            stmt = Ref::steal(PyObject_Call(statement_cls.get(), star.get(), nullptr));
        }
        if (!stmt)
            return nullptr;
        Ref pattern = getattr(stmt.get(), N.pattern);
        if (!pattern)
            return nullptr;
        int special = PyObject_RichCompareBool(pattern.get(), N.__timeout__, Py_EQ);
        if (special < 0)
            return nullptr;
        if (special && setattr(self, N.timeout_statement, stmt.get()) < 0)
            return nullptr;
        pattern = getattr(stmt.get(), N.pattern);
        if (!pattern)
            return nullptr;
        special = PyObject_RichCompareBool(pattern.get(), N.__eof__, Py_EQ);
        if (special < 0)
            return nullptr;
        if (special) {
            if (setattr(self, N.eof_statement, stmt.get()) < 0)
                return nullptr;
        }
        else if (PyList_Append(statements.get(), stmt.get()) < 0) {
            return nullptr;
        }
    }
    if (more < 0)
        return nullptr;
    return statements.release();
}

FunctionSpec dialog_extract_statements_spec = {
    "extract_statements", "Dialog.extract_statements",
    "extract statement from the arguments.\n"
    "        it ignores any special statement like the timeout statement\n"
    "        ",
    P_self, 1, nullptr, nullptr, dialog_extract_statements, 330};

// A Statement argument is used as it is; anything else is unpacked into
// the arguments of a new one.
Ref as_statement(NativeFunction *fn, PyObject *statement)
{
    Ref statement_cls = global(fn, N.Statement);
    if (!statement_cls)
        return {};
    int is_statement = PyObject_IsInstance(statement, statement_cls.get());
    if (is_statement < 0)
        return {};
    if (is_statement)
        return Ref::borrow(statement);
    Ref star = star_args(statement_cls.get(), statement);
    if (!star)
        return {};
    return Ref::steal(PyObject_Call(statement_cls.get(), star.get(), nullptr));
}

PyObject *dialog_append(NativeFunction *fn, PyObject *const *a)
{
    Ref statement = as_statement(fn, a[1]);
    if (!statement)
        return nullptr;
    Ref statements = getattr(a[0], N.statements);
    if (!statements)
        return nullptr;
    return call_method1(statements.get(), N.append, statement.get()).release();
}

FunctionSpec dialog_append_spec = {
    "append", "Dialog.append", "append a statement to the end of the dialog instance",
    P_self_statement, 2, nullptr, nullptr, dialog_append, 350};

PyObject *dialog_remove(NativeFunction *fn, PyObject *const *a)
{
    Ref statement = as_statement(fn, a[1]);
    if (!statement)
        return nullptr;
    Ref statements = getattr(a[0], N.statements);
    if (!statements)
        return nullptr;
    return call_method1(statements.get(), N.remove, statement.get()).release();
}

FunctionSpec dialog_remove_spec = {
    "remove", "Dialog.remove", "remove a statement of the dialog instance", P_self_statement, 2,
    nullptr, nullptr, dialog_remove, 360};

PyObject *dialog_insert(NativeFunction *fn, PyObject *const *a)
{
    Ref statement = as_statement(fn, a[2]);
    if (!statement)
        return nullptr;
    Ref statements = getattr(a[0], N.statements);
    if (!statements)
        return nullptr;
    return call_method2(statements.get(), N.insert, a[1], statement.get()).release();
}

FunctionSpec dialog_insert_spec = {
    "insert", "Dialog.insert", "insert a statement at a given index", P_self_index_statement, 3,
    nullptr, nullptr, dialog_insert, 370};

PyObject *dialog_get_pattern_list(NativeFunction *, PyObject *const *a)
{
    Ref patterns = Ref::steal(PyList_New(0));
    if (!patterns)
        return nullptr;
    Ref statements = getattr(a[0], N.statements);
    if (!statements)
        return nullptr;
    ForEach it;
    if (it.start(statements.get()) < 0)
        return nullptr;
    Ref st;
    int more;
    while ((more = it.next(st)) > 0) {
        Ref pattern = getattr(st.get(), N.pattern);
        if (!pattern || PyList_Append(patterns.get(), pattern.get()) < 0)
            return nullptr;
    }
    if (more < 0)
        return nullptr;
    return patterns.release();
}

FunctionSpec dialog_get_pattern_list_spec = {
    "get_pattern_list", "Dialog.get_pattern_list", "get list of patterns from all the statements",
    P_self, 1, nullptr, nullptr, dialog_get_pattern_list, 380};

// DialogProcessor(self, *args, **kwargs).process()
PyObject *dialog_process(NativeFunction *fn, PyObject *const *a)
{
    PyObject *self = a[0], *args = a[1], *kwargs = a[2];
    Ref processor_cls = global(fn, N.DialogProcessor);
    if (!processor_cls)
        return nullptr;
    // `kwargs` is this call's own dictionary; the processor gets a copy of
    // the caller's keywords, never the caller's mapping.
    Ref processor = call_prepend(processor_cls.get(), self, args, kwargs);
    if (!processor)
        return nullptr;
    return call_method0(processor.get(), N.process).release();
}

const char *const P_dialog_process[] = {"self"};
FunctionSpec dialog_process_spec = {
    "process", "Dialog.process",
    "a duck type function easy processing of a dialog.\n"
    "\n"
    "        this method creates a dialog processor instance and processes\n"
    "        the current dialog with it.\n"
    "\n"
    "        example:\n"
    "            d.process(s, timeout=30)\n"
    "\n"
    "        where s is the spawn instance.\n"
    "        ",
    P_dialog_process, 1, "args", "kwargs", dialog_process, 390};

PyObject *dialog_iter(NativeFunction *, PyObject *const *a)
{
    Ref statements = getattr(a[0], N.statements);
    if (!statements)
        return nullptr;
    return call_method0(statements.get(), N.__iter__).release();
}

FunctionSpec dialog_iter_spec = {
    "__iter__", "Dialog.__iter__", nullptr, P_self, 1, nullptr, nullptr, dialog_iter, 405};

// The first true value of `left.name`, `right.name` (an `or`).
Ref either(PyObject *left, PyObject *right, PyObject *name)
{
    Ref v = getattr(left, name);
    if (!v)
        return {};
    int t = PyObject_IsTrue(v.get());
    if (t < 0)
        return {};
    if (t)
        return v;
    return getattr(right, name);
}

// `a + b`.  Two exact lists are joined into a list that exists before
// their items are read: the interpreter's own concatenation (up to 3.11)
// reads both sizes, allocates, which can start a collection whose
// finalisers empty an operand, and then fills as many slots as it first
// read, leaving the rest uninitialised.
Ref add_lists(PyObject *a, PyObject *b)
{
    if (!PyList_CheckExact(a) || !PyList_CheckExact(b))
        return Ref::steal(PyNumber_Add(a, b));
    Ref sum = Ref::steal(PyList_New(0));
    if (!sum || PyList_SetSlice(sum.get(), 0, 0, a) < 0 ||
        PyList_SetSlice(sum.get(), PyList_GET_SIZE(sum.get()), PyList_GET_SIZE(sum.get()), b) < 0)
        return {};
    return sum;
}

PyObject *dialog_add(NativeFunction *fn, PyObject *const *a)
{
    PyObject *self = a[0], *other = a[1];
    Ref dialog_cls = global(fn, N.Dialog);
    if (!dialog_cls)
        return nullptr;
    int ok = PyObject_IsInstance(other, dialog_cls.get());
    if (ok < 0)
        return nullptr;
    if (!ok) {
        PyErr_SetString(PyExc_TypeError, "Invalid Operand, should be of type Dialog");
        return nullptr;
    }
    Ref mine = getattr(self, N.statements);
    if (!mine)
        return nullptr;
    Ref theirs = getattr(other, N.statements);
    if (!theirs)
        return nullptr;
    Ref updated_statements = add_lists(mine.get(), theirs.get());
    if (!updated_statements)
        return nullptr;
    dialog_cls = global(fn, N.Dialog);
    if (!dialog_cls)
        return nullptr;
    Ref updated = call1(dialog_cls.get(), updated_statements.get());
    if (!updated)
        return nullptr;
    Ref timeout = either(self, other, N.timeout_statement);
    if (!timeout || setattr(updated.get(), N.timeout_statement, timeout.get()) < 0)
        return nullptr;
    // End-of-file handlers carry over like timeout handlers: adding to a
    // dialog must not silently lose its end-of-file statement.
    Ref eof_mine = getattr(self, N.eof_statement);
    if (!eof_mine)
        return nullptr;
    Ref eof_theirs = getattr(other, N.eof_statement);
    if (!eof_theirs)
        return nullptr;
    int t_mine = PyObject_IsTrue(eof_mine.get());
    if (t_mine < 0)
        return nullptr;
    int t_theirs = t_mine ? 0 : PyObject_IsTrue(eof_theirs.get());
    if (t_theirs < 0)
        return nullptr;
    if (t_mine || t_theirs) {
        PyObject *eof = t_mine ? eof_mine.get() : eof_theirs.get();
        if (setattr(updated.get(), N.eof_statement, eof) < 0)
            return nullptr;
    }
    return updated.release();
}

FunctionSpec dialog_add_spec = {
    "__add__", "Dialog.__add__", nullptr, P_self_dialog, 2, nullptr, nullptr, dialog_add, 410};

PyObject *dialog_iadd(NativeFunction *, PyObject *const *a)
{
    return call_method1(a[0], N.__add__, a[1]).release();
}

FunctionSpec dialog_iadd_spec = {
    "__iadd__", "Dialog.__iadd__", nullptr, P_self_dialog, 2, nullptr, nullptr, dialog_iadd, 425};

PyObject *dialog_str(NativeFunction *, PyObject *const *a)
{
    // All pieces of all lines are gathered and joined once.
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts || PyList_Append(parts.get(), N.dialog_open) < 0)
        return nullptr;
    Ref statements = getattr(a[0], N.statements);
    if (!statements)
        return nullptr;
    ForEach it;
    if (it.start(statements.get()) < 0)
        return nullptr;
    Ref st;
    int more;
    while ((more = it.next(st)) > 0) {
        if (PyList_Append(parts.get(), N.tab) < 0)
            return nullptr;
        Ref text = Ref::steal(PyObject_Str(st.get()));
        if (!text || PyList_Append(parts.get(), text.get()) < 0)
            return nullptr;
        if (PyList_Append(parts.get(), N.line_end) < 0)
            return nullptr;
    }
    if (more < 0 || PyList_Append(parts.get(), N.close) < 0)
        return nullptr;
    return join(PySequence_Fast_ITEMS(parts.get()), PyList_GET_SIZE(parts.get()));
}

FunctionSpec dialog_str_spec = {
    "__str__", "Dialog.__str__", nullptr, P_self, 1, nullptr, nullptr, dialog_str, 430};

FunctionSpec dialog_repr_spec = {
    "__repr__", "Dialog.__repr__", nullptr, P_self, 1, nullptr, nullptr, str_via_instance, 440};

// ===========================================================================
// statement_decorator
// ===========================================================================

// wrapped(func): records one statement's arguments on `func`.  The closure
// is the decorator call's (pargs, pkwargs).
PyObject *wrapped_body(NativeFunction *fn, PyObject *const *a)
{
    PyObject *func = a[0];
    PyObject *pargs = PyTuple_GET_ITEM(fn->closure, 0);
    PyObject *pkwargs = PyTuple_GET_ITEM(fn->closure, 1);
    int has = hasattr(func, N.__patterns__);
    if (has < 0)
        return nullptr;
    if (!has) {
        Ref fresh = Ref::steal(PyList_New(0));
        if (!fresh || setattr(func, N.__patterns__, fresh.get()) < 0)
            return nullptr;
    }
    // Each decorated function gets its own keyword dictionary, so one
    // decorator object applied to several functions gives each statement
    // its own function as action; the decorator's dictionary never changes.
    Ref kwargs = Ref::steal(PyDict_Copy(pkwargs));
    if (!kwargs || PyDict_SetItem(kwargs.get(), N.action, func) < 0)
        return nullptr;
    Ref patterns = getattr(func, N.__patterns__);
    if (!patterns)
        return nullptr;
    Ref entry = Ref::steal(PyTuple_Pack(2, pargs, kwargs.get()));
    if (!entry)
        return nullptr;
    if (!call_method1(patterns.get(), N.append, entry.get()))
        return nullptr;
    return Py_NewRef(func);
}

FunctionSpec wrapped_spec = {
    "wrapped", "statement_decorator.<locals>.wrapped", nullptr, P_func, 1, nullptr, nullptr,
    wrapped_body, 505};

PyObject *statement_decorator_body(NativeFunction *fn, PyObject *const *a)
{
    Ref closure = Ref::steal(PyTuple_Pack(2, a[0], a[1]));
    if (!closure)
        return nullptr;
    return native_function_new(&wrapped_spec, fn->globals, nullptr, closure.get()).release();
}

FunctionSpec statement_decorator_spec = {
    "statement_decorator", "statement_decorator", "Decorator to add to create Action Dialog",
    nullptr, 0, "pargs", "pkwargs", statement_decorator_body, 500};

// ===========================================================================
// class DialogMaker
// ===========================================================================

// lambda x: x.__code__.co_firstlineno
PyObject *first_line_body(NativeFunction *, PyObject *const *a)
{
    Ref code = getattr(a[0], N.__code__);
    if (!code)
        return nullptr;
    return PyObject_GetAttr(code.get(), N.co_firstlineno);
}

FunctionSpec first_line_spec = {
    "<lambda>", "DialogMaker.__new__.<locals>.<lambda>", nullptr, P_x, 1, nullptr, nullptr,
    first_line_body, 530};

// Statement(*pargs, **pkwargs) for one recorded entry.
Ref statement_from_entry(NativeFunction *fn, PyObject *entry)
{
    Ref pargs, pkwargs;
    if (unpack2(entry, pargs, pkwargs) < 0)
        return {};
    Ref statement_cls = global(fn, N.Statement);
    if (!statement_cls)
        return {};
    Ref star = star_args(statement_cls.get(), pargs.get());
    if (!star)
        return {};
    Ref kwargs = star_star_kwargs(statement_cls.get(), pkwargs.get());
    if (!kwargs)
        return {};
    return Ref::steal(PyObject_Call(statement_cls.get(), star.get(),
                                    PyDict_GET_SIZE(kwargs.get()) ? kwargs.get() : nullptr));
}

// __new__(self, *args, **kwargs); the closure is the DialogMaker class,
// the `__class__` of its zero-argument super().
PyObject *dialog_maker_new(NativeFunction *fn, PyObject *const *a)
{
    PyObject *self = a[0], *args = a[1], *kwargs = a[2];
    Ref patterns = Ref::steal(PyList_New(0));
    Ref found_obj = Ref::steal(PyList_New(0));
    if (!patterns || !found_obj)
        return nullptr;

    Ref getmembers = global(fn, N.getmembers);
    if (!getmembers)
        return nullptr;
    Ref members = call1(getmembers.get(), self);
    if (!members)
        return nullptr;
    ForEach it;
    if (it.start(members.get()) < 0)
        return nullptr;
    Ref item;
    int more;
    while ((more = it.next(item)) > 0) {
        Ref name, obj;
        if (unpack2(item.get(), name, obj) < 0)
            return nullptr;
        int has = hasattr(obj.get(), N.__patterns__);
        if (has < 0)
            return nullptr;
        if (has && PyList_Append(found_obj.get(), obj.get()) < 0)
            return nullptr;
    }
    if (more < 0)
        return nullptr;

    // Source order: a stable sort on the first line of each member's code.
    Ref key = native_function_new(&first_line_spec, fn->globals);
    if (!key)
        return nullptr;
    {
        PyObject *stack[3] = {nullptr, found_obj.get(), key.get()};
        Ref sorted = Ref::steal(PyObject_VectorcallMethod(
            N.sort, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, N.kw_key));
        if (!sorted)
            return nullptr;
    }

    ForEach objs;
    if (objs.start(found_obj.get()) < 0)
        return nullptr;
    Ref obj;
    int more_objs;
    while ((more_objs = objs.next(obj)) > 0) {
        Ref recorded = getattr(obj.get(), N.__patterns__);
        if (!recorded)
            return nullptr;
        ForEach entries;
        if (entries.start(recorded.get()) < 0)
            return nullptr;
        Ref entry;
        int more_entries;
        while ((more_entries = entries.next(entry)) > 0) {
            Ref statement = statement_from_entry(fn, entry.get());
            if (!statement || PyList_Append(patterns.get(), statement.get()) < 0)
                return nullptr;
        }
        if (more_entries < 0)
            return nullptr;
        // The dialog is rebuilt after every member, so a failing member
        // leaves the dialog of the members before it.
        Ref dialog_cls = global(fn, N.Dialog);
        if (!dialog_cls)
            return nullptr;
        Ref dialog = call1(dialog_cls.get(), patterns.get());
        if (!dialog || setattr(self, N.dialog, dialog.get()) < 0)
            return nullptr;
    }
    if (more_objs < 0)
        return nullptr;

    // super().__new__(self, *args, **kwargs)
    if (!fn->closure) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        return nullptr;
    }
    Ref super = call2(reinterpret_cast<PyObject *>(&PySuper_Type), fn->closure, self);
    if (!super)
        return nullptr;
    Ref next_new = getattr(super.get(), N.__new__);
    if (!next_new)
        return nullptr;
    return call_prepend(next_new.get(), self, args, kwargs).release();
}

FunctionSpec dialog_maker_new_spec = {
    "__new__", "DialogMaker.__new__", nullptr, P_self, 1, "args", "kwargs", dialog_maker_new, 520};

PyObject *dialog_maker_add_statement(NativeFunction *, PyObject *const *a)
{
    PyObject *self = a[0], *statement = a[1];
    Ref pos = Ref::borrow(a[2]);
    Ref minus_one = Ref::steal(PyLong_FromLong(-1));
    if (!minus_one)
        return nullptr;
    int at_end = PyObject_RichCompareBool(pos.get(), minus_one.get(), Py_EQ);
    if (at_end < 0)
        return nullptr;
    if (at_end) {
        Ref dialog = getattr(self, N.dialog);
        if (!dialog)
            return nullptr;
        Ref statements = getattr(dialog.get(), N.statements);
        if (!statements)
            return nullptr;
        Py_ssize_t n = PyObject_Size(statements.get());
        if (n < 0)
            return nullptr;
        pos = Ref::steal(PyLong_FromSsize_t(n));
        if (!pos)
            return nullptr;
    }
    Ref dialog = getattr(self, N.dialog);
    if (!dialog)
        return nullptr;
    if (!call_method2(dialog.get(), N.insert, pos.get(), statement))
        return nullptr;
    Py_RETURN_NONE;
}

const char *const P_add_statement[] = {"self", "statement", "pos"};
FunctionSpec dialog_maker_add_statement_spec = {
    "add_statement", "DialogMaker.add_statement", nullptr, P_add_statement, 3, nullptr, nullptr,
    dialog_maker_add_statement, 560};

// ===========================================================================
// The module body
// ===========================================================================

// Binds `name` to `value` in the module namespace; takes over `value`.
int bind(PyObject *ns, PyObject *name, Ref value)
{
    if (!value)
        return -1;
    return PyDict_SetItem(ns, name, value.get());
}

// IMPORT_FROM: the attribute, else an already imported submodule, else the
// interpreter's ImportError.
Ref import_name(PyObject *module, const char *name)
{
    Ref attr_name = Ref::steal(PyUnicode_FromString(name));
    if (!attr_name)
        return {};
    Ref v = getattr(module, attr_name.get());
    if (v || !PyErr_ExceptionMatches(PyExc_AttributeError))
        return v;
    PyErr_Clear();
    Ref pkgname = getattr(module, N.__name__);
    if (!pkgname) {
        PyErr_Clear();
    }
    else if (PyUnicode_Check(pkgname.get())) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", pkgname.get(), attr_name.get()));
        if (!full)
            return {};
        Ref found;
        int imported = dict_get(PyImport_GetModuleDict(), full.get(), found);
        if (imported)
            return imported < 0 ? Ref() : found;
    }
    Ref path = getattr(module, N.__file__);
    if (!path)
        PyErr_Clear();
    PyObject *shown_name = pkgname ? pkgname.get() : Py_None;
    Ref msg = path && PyUnicode_Check(path.get())
                  ? Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)",
                                                    attr_name.get(), shown_name, path.get()))
                  : Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                                    attr_name.get(), shown_name));
    if (msg)
        PyErr_SetImportError(msg.get(), pkgname ? pkgname.get() : nullptr,
                             path ? path.get() : nullptr);
    return {};
}

// from <module> import <names...>, binding each name in turn.
int import_from(PyObject *ns, const char *module, std::initializer_list<const char *> names)
{
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromlist)
        return -1;
    Py_ssize_t i = 0;
    for (const char *name : names) {
        PyObject *s = PyUnicode_InternFromString(name);
        if (!s)
            return -1;
        PyTuple_SET_ITEM(fromlist.get(), i++, s);
    }
    Ref mod = Ref::steal(PyImport_ImportModuleLevel(module, ns, nullptr, fromlist.get(), 0));
    if (!mod)
        return -1;
    for (const char *name : names) {
        Ref v = import_name(mod.get(), name);
        if (!v || PyDict_SetItemString(ns, name, v.get()) < 0)
            return -1;
    }
    return 0;
}

// Adds a native function to a class namespace under its own name.
int add_method(PyObject *ns, PyObject *globals, FunctionSpec *spec, PyObject *defaults = nullptr)
{
    Ref fn = native_function_new(spec, globals, defaults);
    if (!fn)
        return -1;
    return PyDict_SetItemString(ns, spec->name, fn.get());
}

// type(name, (object,), ns), as the class statement would call it.
Ref make_class(const char *name, PyObject *ns)
{
    Ref name_obj = Ref::steal(PyUnicode_FromString(name));
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    if (!name_obj || !bases)
        return {};
    PyObject *stack[4] = {nullptr, name_obj.get(), bases.get(), ns};
    return Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject *>(&PyType_Type), stack + 1,
                                          3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A class namespace with the entries the class statement starts with.
Ref class_namespace(const char *qualname, const char *doc)
{
#if TAVREL_SETDEFAULT_HIDES_MEMORY_ERRORS
    // type() fills a copy of the namespace, of the same size, with
    // PyDict_SetDefaultRef: made large enough, it never grows while filled.
    Ref ns = Ref::steal(_PyDict_NewPresized(48));
#else
    Ref ns = Ref::steal(PyDict_New());
#endif
    if (!ns)
        return {};
    Ref module = Ref::steal(PyUnicode_InternFromString("tavrel.eal.dialogs"));
    if (!module || PyDict_SetItem(ns.get(), N.__module__, module.get()) < 0)
        return {};
    Ref q = Ref::steal(PyUnicode_FromString(qualname));
    if (!q || PyDict_SetItem(ns.get(), N.__qualname__, q.get()) < 0)
        return {};
    if (doc) {
        Ref d = Ref::steal(PyUnicode_FromString(doc));
        if (!d || PyDict_SetItem(ns.get(), N.__doc__, d.get()) < 0)
            return {};
    }
    return ns;
}

int create_statement_class(PyObject *g)
{
    Ref ns = class_namespace("Statement", statement_doc);
    if (!ns)
        return -1;
    // The default of di_params is the very list DI_LIST names now.
    Ref di_list;
    int found = dict_get(g, N.DI_LIST, di_list);
    if (found <= 0) {
        if (!found)
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", N.DI_LIST);
        return -1;
    }
    Ref defaults = Ref::steal(PyTuple_Pack(9, Py_None, Py_None, Py_False, Py_False, Py_True,
                                           Py_None, Py_None, di_list.get(), Py_False));
    if (!defaults)
        return -1;
    PyObject *d = ns.get();
    if (add_method(d, g, &statement_init_spec, defaults.get()) < 0 ||
        add_method(d, g, &statement_eq_spec) < 0 || add_method(d, g, &statement_validate_spec) < 0 ||
        add_method(d, g, &statement_validate_pattern_spec) < 0 ||
        add_method(d, g, &statement_validate_action_spec) < 0 ||
        add_method(d, g, &statement_validate_loop_continue_spec) < 0 ||
        add_method(d, g, &statement_validate_debug_statement_spec) < 0 ||
        add_method(d, g, &statement_validate_continue_timer_spec) < 0 ||
        add_method(d, g, &statement_validate_trim_buffer_spec) < 0 ||
        add_method(d, g, &statement_str_spec) < 0 || add_method(d, g, &statement_repr_spec) < 0)
        return -1;
    return bind(g, N.Statement, make_class("Statement", d));
}

int create_dialog_class(PyObject *g)
{
    Ref ns = class_namespace("Dialog", dialog_doc);
    if (!ns)
        return -1;
    Ref default_list = Ref::steal(PyList_New(0));
    if (!default_list)
        return -1;
    Ref defaults = Ref::steal(PyTuple_Pack(1, default_list.get()));
    if (!defaults)
        return -1;
    PyObject *d = ns.get();
    if (add_method(d, g, &dialog_init_spec, defaults.get()) < 0 ||
        add_method(d, g, &dialog_bool_spec) < 0 || add_method(d, g, &dialog_contains_spec) < 0 ||
        add_method(d, g, &dialog_validate_spec) < 0 ||
        add_method(d, g, &dialog_extract_statements_spec) < 0 ||
        add_method(d, g, &dialog_append_spec) < 0 || add_method(d, g, &dialog_remove_spec) < 0 ||
        add_method(d, g, &dialog_insert_spec) < 0 ||
        add_method(d, g, &dialog_get_pattern_list_spec) < 0 ||
        add_method(d, g, &dialog_process_spec) < 0 || add_method(d, g, &dialog_iter_spec) < 0 ||
        add_method(d, g, &dialog_add_spec) < 0 || add_method(d, g, &dialog_iadd_spec) < 0 ||
        add_method(d, g, &dialog_str_spec) < 0 || add_method(d, g, &dialog_repr_spec) < 0)
        return -1;
    return bind(g, N.Dialog, make_class("Dialog", d));
}

int create_dialog_maker_class(PyObject *g)
{
    Ref ns = class_namespace("DialogMaker", nullptr);
    if (!ns)
        return -1;
    // __new__ is stored as a static method, as the class statement does for
    // a plain function.
    Ref new_fn = native_function_new(&dialog_maker_new_spec, g);
    if (!new_fn)
        return -1;
    Ref new_static = Ref::steal(PyStaticMethod_New(new_fn.get()));
    if (!new_static || PyDict_SetItem(ns.get(), N.__new__, new_static.get()) < 0)
        return -1;
    Ref defaults = Ref::steal(Py_BuildValue("(i)", -1));
    if (!defaults || add_method(ns.get(), g, &dialog_maker_add_statement_spec, defaults.get()) < 0)
        return -1;
    Ref cls = make_class("DialogMaker", ns.get());
    if (!cls)
        return -1;
    // The class is the `__class__` of __new__'s zero-argument super().
    auto *fn = reinterpret_cast<NativeFunction *>(new_fn.get());
    Py_XSETREF(fn->closure, Py_NewRef(cls.get()));
    return bind(g, N.DialogMaker, std::move(cls));
}

// Interpreter version check, as for a module built for another version.
int check_runtime_version()
{
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2)
        return 0;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION)
        return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, "tavrel.eal.dialogs",
                            "does not match", major, minor);
}

int exec_body(PyObject *module)
{
    if (check_runtime_version() < 0)
        return -1;
    if (names_init() < 0 || native_function_ready() < 0)
        return -1;
    PyObject *modules = PyImport_GetModuleDict();
    Ref full_name = Ref::steal(PyUnicode_FromString("tavrel.eal.dialogs"));
    if (!full_name)
        return -1;
    int registered = PyDict_Contains(modules, full_name.get());
    if (registered < 0 || (!registered && PyDict_SetItem(modules, full_name.get(), module) < 0))
        return -1;

    PyObject *g = PyModule_GetDict(module);
    if (!g)
        return -1;
    if (import_from(g, "copy", {"copy"}) < 0)
        return -1;
    if (bind(g, N.re, Ref::steal(PyImport_ImportModuleLevel("re", g, nullptr, nullptr, 0))) < 0)
        return -1;
    if (import_from(g, "inspect", {"getfullargspec", "getmembers"}) < 0 ||
        import_from(g, "tavrel.core.errors", {"StatementValidationError"}) < 0 ||
        import_from(g, "tavrel.eal.dialog_processor", {"DialogProcessor"}) < 0 ||
        import_from(g, "tavrel.utils", {"to_plaintext"}) < 0)
        return -1;

    // Interned, like the parameter names of compiled code, so that name
    // comparisons meet identical objects.
    if (bind(g, N.DI_LIST, Ref::steal(Py_BuildValue("[OOO]", N.spawn, N.context, N.session))) < 0 ||
        bind(g, N.STATEMENT_MATCHED_RETRIES, Ref::steal(PyLong_FromLong(0))) < 0 ||
        bind(g, N.STATEMENT_MATCHED_RETRY_SLEEP, Ref::steal(PyFloat_FromDouble(0.02))) < 0)
        return -1;

    if (bind(g, N.statement_action_helper, native_function_new(&statement_action_helper_spec, g)) < 0)
        return -1;
    if (create_statement_class(g) < 0 || create_dialog_class(g) < 0)
        return -1;
    if (bind(g, N.statement_decorator, native_function_new(&statement_decorator_spec, g)) < 0)
        return -1;
    if (create_dialog_maker_class(g) < 0)
        return -1;

    // Not part of the body: the shortcuts learn the originals of what they
    // stand in for.
    return fast::init(g, senders, kSenders);
}

// ===========================================================================
// Module creation and execution slots
// ===========================================================================

// One module object per process: it is made once, executed once, and
// forgotten again only when its body fails, so that a later import starts
// afresh.
PyObject *the_module = nullptr;
bool executed = false;
int64_t interpreter_id = -1;

int copy_spec_attr(PyObject *spec, const char *spec_attr, PyObject *module, PyObject *module_attr)
{
    Ref v = Ref::steal(PyObject_GetAttrString(spec, spec_attr));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    return setattr(module, module_attr, v.get());
}

PyObject *dialogs_create(PyObject *spec, PyModuleDef *)
{
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0)
        return nullptr;
    if (interpreter_id == -1) {
        interpreter_id = id;
    }
    else if (interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (the_module)
        return Py_NewRef(the_module);
    if (names_init() < 0)
        return nullptr;

    Ref name = getattr(spec, N.name);
    if (!name)
        return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    if (copy_spec_attr(spec, "loader", module.get(), N.__loader__) < 0 ||
        copy_spec_attr(spec, "origin", module.get(), N.__file__) < 0 ||
        copy_spec_attr(spec, "parent", module.get(), N.__package__) < 0)
        return nullptr;
    Ref locations = Ref::steal(PyObject_GetAttrString(spec, "submodule_search_locations"));
    if (!locations) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return nullptr;
        PyErr_Clear();
    }
    else if (locations.get() != Py_None && setattr(module.get(), N.__path__, locations.get()) < 0) {
        return nullptr;
    }
    the_module = Py_NewRef(module.get());
    return module.release();
}

int dialogs_exec(PyObject *module)
{
    if (executed) {
        if (module == the_module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'dialogs' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (exec_body(module) < 0) {
        Py_CLEAR(the_module);
        return -1;
    }
    executed = true;
    return 0;
}

PyModuleDef_Slot dialogs_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(dialogs_create)},
    {Py_mod_exec, reinterpret_cast<void *>(dialogs_exec)},
    {0, nullptr},
};

PyModuleDef dialogs_def = {
    PyModuleDef_HEAD_INIT,
    "dialogs",
    module_doc,
    0,
    nullptr,
    dialogs_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace
} // namespace tavrel

PyMODINIT_FUNC PyInit_dialogs(void) { return PyModuleDef_Init(&tavrel::dialogs_def); }
