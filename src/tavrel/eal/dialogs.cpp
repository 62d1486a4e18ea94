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

#include "native_function.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace tavrel {
namespace {

// ===========================================================================
// Interned names
// ===========================================================================

#define TAVREL_NAMES(X)                                                       \
    X(pattern) X(action) X(_action) X(args) X(loop_continue)                  \
    X(continue_timer) X(match) X(trim_buffer) X(matched_retries)              \
    X(matched_retry_sleep) X(di_params) X(debug_statement) X(validate)        \
    X(validate_pattern) X(validate_action) X(validate_loop_continue)          \
    X(validate_continue_timer) X(validate_trim_buffer)                        \
    X(validate_debug_statement) X(statement_list) X(statements)               \
    X(timeout_statement) X(eof_statement) X(extract_statements) X(append)     \
    X(insert) X(remove) X(process) X(send) X(sendline) X(groups) X(defaults)  \
    X(varargs) X(varkw) X(items) X(dialog) X(__patterns__) X(__code__)        \
    X(co_firstlineno) X(__name__) X(__str__) X(__add__) X(__iter__)           \
    X(__new__) X(__qualname__) X(__module__) X(__doc__) X(__file__)           \
    X(__loader__) X(__package__) X(__path__) X(sort) X(key) X(credentials)    \
    X(username) X(password) X(copy) X(re) X(getfullargspec) X(getmembers)     \
    X(StatementValidationError) X(DialogProcessor) X(to_plaintext) X(DI_LIST) \
    X(STATEMENT_MATCHED_RETRIES) X(STATEMENT_MATCHED_RETRY_SLEEP)             \
    X(statement_action_helper) X(Statement) X(Dialog) X(statement_decorator)  \
    X(DialogMaker) X(__timeout__) X(__eof__) X(name) X(loader) X(origin)      \
    X(parent) X(submodule_search_locations) X(builtins) X(keys) X(__signature__)   \
    X(_partialmethod) X(__text_signature__) X(spawn) X(context) X(session)

struct Names {
#define X(n) PyObject *n;
    TAVREL_NAMES(X)
#undef X
    PyObject *empty;       // ""
    PyObject *kw_key;      // ("key",), keyword names of list.sort(key=...)
    PyObject *list_tuple;  // (list, tuple), for isinstance
};

Names N;

// Fixed texts of the text forms.
struct Texts {
    PyObject *none, *true_, *false_;
    PyObject *open_pattern, *open_action, *open_args, *open_loop_continue,
        *open_continue_timer, *open_trim_buffer, *close;
    PyObject *dialog_open, *tab, *line_end;
};
Texts T;

// The tables of interned objects are filled once per process.  An import
// that fails halfway (memory exhausted) leaves some slots filled; a later
// import fills the rest, and only a table filled to the end counts as ready.
bool texts_ready = false;

int texts_init()
{
    if (texts_ready)
        return 0;
    struct {
        PyObject **slot;
        const char *text;
    } table[] = {
        {&T.none, "None"},
        {&T.true_, "True"},
        {&T.false_, "False"},
        {&T.open_pattern, "[pattern='"},
        {&T.open_action, "', action="},
        {&T.open_args, ", args="},
        {&T.open_loop_continue, ", loop_continue="},
        {&T.open_continue_timer, ", continue_timer="},
        {&T.open_trim_buffer, ", trim_buffer="},
        {&T.close, "]"},
        {&T.dialog_open, "[\n"},
        {&T.tab, "\t"},
        {&T.line_end, ",\n"},
    };
    for (auto &entry : table)
        if (!*entry.slot && !(*entry.slot = PyUnicode_InternFromString(entry.text)))
            return -1;
    texts_ready = true;
    return 0;
}

bool names_ready = false;

int names_init()
{
    if (names_ready)
        return 0;
#define X(n)                                                  \
    if (!N.n && !(N.n = PyUnicode_InternFromString(#n))) \
        return -1;
    TAVREL_NAMES(X)
#undef X
    if (!N.empty && !(N.empty = PyUnicode_InternFromString("")))
        return -1;
    if (!N.kw_key && !(N.kw_key = PyTuple_Pack(1, N.key)))
        return -1;
    if (!N.list_tuple &&
        !(N.list_tuple = PyTuple_Pack(2, reinterpret_cast<PyObject *>(&PyList_Type),
                                      reinterpret_cast<PyObject *>(&PyTuple_Type))))
        return -1;
    names_ready = true;
    return 0;
}

// ===========================================================================
// Helpers shared by the module body
// ===========================================================================

// The objects the module imported, kept to recognise them by identity: a
// fast path may only stand in for a collaborator while the module global
// is still the very object it replaces.
struct Originals {
    PyObject *re;
    PyObject *re_match;
    PyObject *getfullargspec;
    PyObject *copy;
    PyObject *inspect_empty;  // inspect.Parameter.empty
};
Originals O;

// LOAD_GLOBAL: the function's module namespace, then the builtins.
Ref global(NativeFunction *fn, PyObject *name)
{
    if (fn->globals) {
        PyObject *v = PyDict_GetItemWithError(fn->globals, name);
        if (v)
            return Ref::borrow(v);
        if (PyErr_Occurred())
            return {};
    }
    PyObject *builtins = PyEval_GetBuiltins();
    if (builtins) {
        PyObject *v = PyDict_GetItemWithError(builtins, name);
        if (v)
            return Ref::borrow(v);
        if (PyErr_Occurred())
            return {};
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref getattr(PyObject *o, PyObject *name) { return Ref::steal(PyObject_GetAttr(o, name)); }

int setattr(PyObject *o, PyObject *name, PyObject *v) { return PyObject_SetAttr(o, name, v); }

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

// Runs the body of one of our own functions that takes only `self`,
// skipping the call machinery but not the recursion limit.
Ref run_body0(NativeFunction *fn, PyObject *self)
{
    if (Py_EnterRecursiveCall(" while calling a Python object"))
        return {};
    Ref result = Ref::steal(fn->spec->body(fn, &self));
    Py_LeaveRecursiveCall();
    return result;
}

bool is_plain_method0(PyObject *f)
{
    if (!native_function_check(f))
        return false;
    auto *fn = reinterpret_cast<NativeFunction *>(f);
    return fn->globals && fn->spec->nparams == 1 && !fn->spec->varargs && !fn->spec->varkw;
}

// TAVREL_HAVE_GET_METHOD: _PyObject_GetMethod, the interpreter's own
// method resolution for `obj.name(...)`, is exported up to 3.12.
#if PY_VERSION_HEX < 0x030D0000
#define TAVREL_HAVE_GET_METHOD 1
#else
#define TAVREL_HAVE_GET_METHOD 0
#endif

// self.name(), found through the instance.  When the method found is one
// of this module's own functions (the usual case: no subclass override, no
// instance attribute of that name), its body runs directly.
Ref call_method0(PyObject *self, PyObject *name)
{
#if TAVREL_HAVE_GET_METHOD
    PyObject *found = nullptr;
    int unbound = _PyObject_GetMethod(self, name, &found);
    Ref meth = Ref::steal(found);
    if (!meth)
        return {};
    if (!unbound)
        return call0(meth.get());
    if (is_plain_method0(meth.get()))
        return run_body0(reinterpret_cast<NativeFunction *>(meth.get()), self);
    return call1(meth.get(), self);
#else
    PyObject *stack[2] = {nullptr, self};
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
#endif
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

// isinstance(o, cls) when the quick type test `is` already says yes or no
// for everything but objects that may claim another class through
// `__class__`.  Instances of these built-in types cannot, so for them the
// quick test is the answer.
int is_instance(PyObject *o, bool is, PyObject *cls)
{
    if (is)
        return 1;
    if (PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyBool_Check(o) || o == Py_None ||
        PyFloat_CheckExact(o) || PyList_CheckExact(o) || PyTuple_CheckExact(o) ||
        PyDict_CheckExact(o) || PyBytes_CheckExact(o))
        return 0;
    return PyObject_IsInstance(o, cls);
}

// isinstance(o, (list, tuple))
int is_list_or_tuple(PyObject *o)
{
    return is_instance(o, PyList_Check(o) || PyTuple_Check(o), N.list_tuple);
}

int is_str(PyObject *o)
{
    return is_instance(o, PyUnicode_Check(o), reinterpret_cast<PyObject *>(&PyUnicode_Type));
}

int is_dict(PyObject *o)
{
    return is_instance(o, PyDict_Check(o), reinterpret_cast<PyObject *>(&PyDict_Type));
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

// A `for` loop over any iterable.  Exact lists and tuples are walked by
// index, exactly as their own iterators walk them (the length of a list is
// read afresh at each step); anything else goes through its iterator.
class ForEach {
public:
    int start(PyObject *o)
    {
        if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
            seq_ = Ref::borrow(o);
            return 0;
        }
        it_ = Ref::steal(PyObject_GetIter(o));
        return it_ ? 0 : -1;
    }

    // The next item, or an empty Ref at the end or on error.
    Ref next()
    {
        if (!seq_)
            return Ref::steal(PyIter_Next(it_.get()));
        PyObject *s = seq_.get();
        if (PyList_CheckExact(s))
            return i_ < PyList_GET_SIZE(s) ? Ref::borrow(PyList_GET_ITEM(s, i_++)) : Ref();
        return i_ < PyTuple_GET_SIZE(s) ? Ref::borrow(PyTuple_GET_ITEM(s, i_++)) : Ref();
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

constexpr int kSenders = 8;
constexpr int kSendline = 1;

FunctionSpec sender_specs[kSenders] = {
    {"send", "statement_action_helper.<locals>.send", nullptr, P_spawn_key, 2,
     nullptr, nullptr, send_body, 20},
    {"sendline", "statement_action_helper.<locals>.sendline", nullptr, P_spawn_key, 2,
     nullptr, nullptr, sendline_body, 23},
    {"send_ctx", "statement_action_helper.<locals>.send_ctx", nullptr, P_spawn_context_key, 3,
     nullptr, nullptr, send_item_body, 26},
    {"sendline_ctx", "statement_action_helper.<locals>.sendline_ctx", nullptr,
     P_spawn_context_key, 3, nullptr, nullptr, sendline_item_body, 29},
    {"send_session", "statement_action_helper.<locals>.send_session", nullptr,
     P_spawn_runtime_key, 3, nullptr, nullptr, send_item_body, 32},
    {"sendline_session", "statement_action_helper.<locals>.sendline_session", nullptr,
     P_spawn_runtime_key, 3, nullptr, nullptr, sendline_item_body, 35},
    {"sendline_cred_user", "statement_action_helper.<locals>.sendline_cred_user", nullptr,
     P_spawn_context_key, 3, nullptr, nullptr, sendline_cred_user_body, 38},
    {"sendline_cred_pass", "statement_action_helper.<locals>.sendline_cred_pass", nullptr,
     P_spawn_context_key, 3, nullptr, nullptr, sendline_cred_pass_body, 42},
};

// The eight action-text patterns, in the order they are tried.
const char *const sender_patterns[kSenders] = {
    "^send\\((.*)\\)$",
    "^sendline\\((.*)\\)$",
    "^send_ctx\\((.*)\\)$",
    "^sendline_ctx\\((.*)\\)$",
    "^send_session\\((.*)\\)$",
    "^sendline_session\\((.*)\\)$",
    "sendline_cred_user\\((.*)\\)$",
    "sendline_cred_pass\\((.*)\\)$",
};
PyObject *sender_pattern_objs[kSenders];
PyObject *sender_prefix_objs[kSenders];  // "send(", "sendline(", ...

bool senders_ready = false;

int senders_init()
{
    if (senders_ready)
        return 0;
    for (int i = 0; i < kSenders; ++i) {
        if (!sender_pattern_objs[i] &&
            !(sender_pattern_objs[i] = PyUnicode_InternFromString(sender_patterns[i])))
            return -1;
        if (!sender_prefix_objs[i] &&
            !(sender_prefix_objs[i] = PyUnicode_FromFormat("%s(", sender_specs[i].name)))
            return -1;
    }
    senders_ready = true;
    return 0;
}

// Matches `action` (an exact str) against the eight patterns without
// calling into `re`, with the same outcome: each pattern is its sender
// name and "(" at the start, a greedy group of anything but a newline, and
// ")" at the end of the text or before a final newline.  Since no sender
// name followed by "(" begins another, at most one sender can match.
// Returns the sender index and sets `payload`, or -1 when none matches
// (and -2 on error).
int match_action_text(PyObject *action, Ref &payload)
{
    // The sender name is what stands before the first "(".
    Py_ssize_t len = PyUnicode_GET_LENGTH(action);
    Py_ssize_t open = PyUnicode_FindChar(action, '(', 0, len, 1);
    if (open == -2)
        return -2;
    if (open < 4)
        return -1;
    int i = 0;
    for (; i < kSenders; ++i) {
        PyObject *prefix = sender_prefix_objs[i];
        if (PyUnicode_GET_LENGTH(prefix) != open + 1)
            continue;
        Py_ssize_t t = PyUnicode_Tailmatch(action, prefix, 0, open + 1, -1);
        if (t < 0)
            return -2;
        if (t)
            break;
    }
    if (i == kSenders)
        return -1;
    const Py_ssize_t start = open + 1;
    const int kind = PyUnicode_KIND(action);
    const void *data = PyUnicode_DATA(action);
    Py_UCS4 last = PyUnicode_READ(kind, data, len - 1);
    Py_ssize_t end;  // where the group ends: at the closing ")"
    if (last == ')' && len - 1 >= start)
        end = len - 1;
    else if (last == '\n' && len - 2 >= start && PyUnicode_READ(kind, data, len - 2) == ')')
        end = len - 2;
    else
        return -1;
    Py_ssize_t nl = PyUnicode_FindChar(action, '\n', start, end, 1);
    if (nl == -2)
        return -2;
    if (nl != -1)
        return -1;
    payload = Ref::steal(PyUnicode_Substring(action, start, end));
    return payload ? i : -2;
}

// While `re` and its `match` are the ones the module imported, the
// patterns are matched natively and only the sender that matched is made;
// nobody can observe the difference.  Returns 1 with the pair set, 0 when
// the general road must be taken, -1 on error.
int translate_action_text(NativeFunction *fn, PyObject *action, Ref &callback, Ref &payload)
{
    if (!PyUnicode_CheckExact(action) || !O.re)
        return 0;
    PyObject *re = PyDict_GetItemWithError(fn->globals, N.re);
    if (!re)
        return PyErr_Occurred() ? -1 : 0;
    if (re != O.re)
        return 0;
    PyObject *match = PyDict_GetItemWithError(PyModule_GetDict(re), N.match);
    if (!match)
        return PyErr_Occurred() ? -1 : 0;
    if (match != O.re_match)
        return 0;
    int i = match_action_text(action, payload);
    if (i == -2)
        return -1;
    if (i < 0) {
        raise_invalid(fn, Ref::steal(PyUnicode_FromFormat("wrong format: %S", action)));
        return -1;
    }
    if (i != kSendline && PyUnicode_GET_LENGTH(payload.get()) == 0) {
        raise_invalid(fn, "you must provide some argument in the parenthesis");
        return -1;
    }
    callback = native_function_new(&sender_specs[i], fn->globals);
    return callback ? 1 : -1;
}

PyObject *statement_action_helper_body(NativeFunction *fn, PyObject *const *a)
{
    PyObject *action = a[0];
    {
        Ref callback, payload;
        int done = translate_action_text(fn, action, callback, payload);
        if (done < 0)
            return nullptr;
        if (done)
            return PyTuple_Pack(2, callback.get(), payload.get());
    }

    // The general road: every sender is made, and each pattern is handed
    // to the module global `re`, looked up afresh for every pattern.
    Ref callbacks[kSenders];
    for (int i = 0; i < kSenders; ++i) {
        callbacks[i] = native_function_new(&sender_specs[i], fn->globals);
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
        Ref m = call2(re_match.get(), sender_pattern_objs[i], action);
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
        if (empty) {
            int other = PyObject_RichCompareBool(callback.get(), callbacks[kSendline].get(), Py_NE);
            if (other < 0)
                return nullptr;
            if (other)
                return raise_invalid(fn, "you must provide some argument in the parenthesis");
        }
    }
    int none_found = PyObject_RichCompareBool(callback.get(), N.empty, Py_EQ);
    if (none_found < 0)
        return nullptr;
    if (none_found)
        return raise_invalid(fn, Ref::steal(PyUnicode_FromFormat("wrong format: %S", action)));
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

// Visits what an object holds: stops at a dict with a key that is no exact
// str.
int find_odd_keys(PyObject *o, void *found)
{
    if (!PyDict_Check(o))
        return 0;
    // A split table holds only exact str keys, the class's shared ones.
    if (PyDict_CheckExact(o) && reinterpret_cast<PyDictObject *>(o)->ma_values)
        return 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(o, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            *static_cast<bool *>(found) = true;
            return 1;
        }
    }
    return 0;
}

// Whether every key of the instance dict of `self` is an exact str: looking
// a name up in it then compares no object of the caller's (a key of
// another type that hashes like the name is compared with it, running its
// __eq__, at every read of the name).  The instance dict is found among
// what the object reports to the collector, which never makes the dict of
// an object whose attributes live inline (3.11 on) the way reading its
// `__dict__` would; a dict among the attribute values that has such a key
// also counts, which only gives up a shortcut.
bool instance_keys_are_str(PyObject *self)
{
    traverseproc traverse = Py_TYPE(self)->tp_traverse;
    if (!traverse)
        return false;
    bool found = false;
    traverse(self, find_odd_keys, &found);
    return !found;
}

// Whether reading `name` from `self` is a plain instance-dict read, which
// runs no code of the caller's: ordinary attribute access, no class
// attribute (a property, say) of that name and only str keys in the
// instance dict.
bool plain_attribute(PyObject *self, PyObject *name)
{
    PyTypeObject *tp = Py_TYPE(self);
    return tp->tp_getattro == PyObject_GenericGetAttr && !_PyType_Lookup(tp, name) &&
           instance_keys_are_str(self);
}

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
        while (Ref item = it.next()) {
            int ok = is_str(item.get());
            if (ok < 0)
                return nullptr;
            if (!ok)
                return raise_invalid(fn, "pattern must be string");
        }
        if (PyErr_Occurred())
            return nullptr;
        Py_RETURN_NONE;
    }
    // Testing an exact str for list or tuple ran nothing of the caller's,
    // so reading afresh would return the same object.
    if (!(PyUnicode_CheckExact(pattern.get()) && plain_attribute(self, N.pattern))) {
        pattern = getattr(self, N.pattern);
        if (!pattern)
            return nullptr;
    }
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

// The parts of an action's parameter list the rules use.  `spec` is what
// getfullargspec returned; it stays empty when the parameters were read
// natively, and then `varargs` and `varkw` stand in for its fields.
struct ArgSpec {
    Ref spec;
    Ref default_args;  // parameters with defaults
    Ref pos_args;      // parameters without defaults
    bool varargs = false;
    bool varkw = false;
};

// Python's reserved words; none of them can name a parameter.
PyObject *keywords;  // frozenset of str

int keywords_init()
{
    if (keywords)
        return 0;
    Ref words = Ref::steal(Py_BuildValue(
        "[sssssssssssssssssssssssssssssssssss]", "False", "None", "True", "and", "as", "assert",
        "async", "await", "break", "class", "continue", "def", "del", "elif", "else", "except",
        "finally", "for", "from", "global", "if", "import", "in", "is", "lambda", "nonlocal",
        "not", "or", "pass", "raise", "return", "try", "while", "with", "yield"));
    if (!words)
        return -1;
    keywords = PyFrozenSet_New(words.get());
    return keywords ? 0 : -1;
}

// Whether the names a signature would be built from are the ones it would
// accept: distinct identifiers that are no reserved words.
bool plain_parameter_names(PyObject *names, Py_ssize_t count)
{
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *name = PyTuple_GET_ITEM(names, i);
        if (!PyUnicode_CheckExact(name) || !PyUnicode_IsIdentifier(name))
            return false;
        // Exact str with a cached hash: this cannot fail.
        if (PySet_Contains(keywords, name) != 0)
            return false;
        for (Py_ssize_t j = 0; j < i; ++j)
            if (PyUnicode_Compare(name, PyTuple_GET_ITEM(names, j)) == 0)
                return false;
    }
    return true;
}

// Attributes of a function that change what inspect reports for it.
int has_signature_override(PyObject *dict)
{
    if (!dict)
        return 0;
    for (PyObject *name : {N.__signature__, N._partialmethod, N.__text_signature__}) {
        if (PyDict_GetItemWithError(dict, name))
            return 1;
        if (PyErr_Occurred())
            return -1;
    }
    return 0;
}

// Whether a weak reference still refers to `target`.
bool weakref_is(PyObject *ref, PyObject *target)
{
#if PY_VERSION_HEX >= 0x030D0000
    // 3.13 deprecates the borrowed read in favour of PyWeakref_GetRef.
    PyObject *obj = nullptr;
    if (PyWeakref_GetRef(ref, &obj) < 0) {
        PyErr_Clear();
        return false;
    }
    bool same = obj == target;
    Py_XDECREF(obj);
    return same;
#else
    return PyWeakref_GET_OBJECT(ref) == target;
#endif
}

// Code objects whose parameter names were found plain, in a small
// direct-mapped cache of weak references (code objects are immutable, so
// the verdict never changes; the weak reference tells whether the object
// at that address is still the one that was checked).
constexpr size_t kCodeCacheSize = 64;
PyObject *plain_code_cache[kCodeCacheSize];

bool code_has_plain_names(PyObject *code, PyObject *varnames, Py_ssize_t nnames)
{
    size_t slot = (reinterpret_cast<uintptr_t>(code) >> 4) % kCodeCacheSize;
    PyObject *entry = plain_code_cache[slot];
    if (entry && weakref_is(entry, code))
        return true;
    if (!plain_parameter_names(varnames, nnames))
        return false;
    PyObject *ref = PyWeakref_NewRef(code, nullptr);
    if (!ref) {
        PyErr_Clear();  // only a cache
        return true;
    }
    Py_XSETREF(plain_code_cache[slot], ref);
    return true;
}

// getfullargspec(action), read straight from the code object, for plain
// Python functions, the module's own functions and bound methods of
// either.  Returns 1 when `out` is filled, 0 when the action needs the
// real getfullargspec, -1 on error.
int native_argspec(PyObject *action, ArgSpec &out)
{
    // Held, not borrowed: looking names up in the function's dict can run
    // a key's __eq__, which may replace the function's code, defaults or
    // dict and free the old ones.
    Ref func = Ref::borrow(PyMethod_Check(action) ? PyMethod_GET_FUNCTION(action) : action);
    bool python_function = PyFunction_Check(func.get());
    if (!python_function && !native_function_check(func.get()))
        return 0;
    {
        auto *pf = reinterpret_cast<PyFunctionObject *>(func.get());
        auto *nf = reinterpret_cast<NativeFunction *>(func.get());
        Ref dict = Ref::borrow(python_function ? pf->func_dict : nf->dict);
        int overridden = has_signature_override(dict.get());
        if (overridden)
            return overridden < 0 ? -1 : 0;
    }
    // What inspect reads next; no code of the caller's runs from here on.
    auto *pf = reinterpret_cast<PyFunctionObject *>(func.get());
    auto *nf = reinterpret_cast<NativeFunction *>(func.get());
    Ref code_ref = Ref::borrow(python_function ? pf->func_code : nf->spec->code_obj);
    Ref defaults_ref = Ref::borrow(python_function ? pf->func_defaults : nf->defaults);
    auto *code = reinterpret_cast<PyCodeObject *>(code_ref.get());
    PyObject *defaults = defaults_ref.get();
    const Py_ssize_t argcount = code->co_argcount;
    // A tuple subclass may read differently through inspect's eyes.
    if (defaults && !PyTuple_CheckExact(defaults))
        return 0;
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    if (ndefaults > argcount)
        return 0;
    // inspect reads a default that is its own `empty` marker as no default.
    for (Py_ssize_t i = 0; i < ndefaults; ++i)
        if (PyTuple_GET_ITEM(defaults, i) == O.inspect_empty)
            return 0;
    const bool varargs = code->co_flags & CO_VARARGS;
    const bool varkw = code->co_flags & CO_VARKEYWORDS;
    const Py_ssize_t nnames = argcount + code->co_kwonlyargcount + varargs + varkw;
#if PY_VERSION_HEX < 0x030B0000
    Ref varnames = Ref::borrow(code->co_varnames);
#else
    // 3.11 builds co_varnames on request from the locals table.
    Ref varnames = Ref::steal(PyCode_GetVarnames(code));
    if (!varnames)
        return -1;
#endif
    if (!PyTuple_Check(varnames.get()) || PyTuple_GET_SIZE(varnames.get()) < nnames ||
        !code_has_plain_names(reinterpret_cast<PyObject *>(code), varnames.get(), nnames))
        return 0;

    // getfullargspec's `args`, split at the first parameter with a default.
    const Py_ssize_t npos = argcount - ndefaults;
    out.pos_args = Ref::steal(PyList_New(npos));
    out.default_args = Ref::steal(PyList_New(ndefaults));
    if (!out.pos_args || !out.default_args)
        return -1;
    for (Py_ssize_t i = 0; i < argcount; ++i) {
        PyObject *name = PyTuple_GET_ITEM(varnames.get(), i);
        Py_INCREF(name);
        if (i < npos)
            PyList_SET_ITEM(out.pos_args.get(), i, name);
        else
            PyList_SET_ITEM(out.default_args.get(), i - npos, name);
    }
    out.varargs = varargs;
    out.varkw = varkw;
    return 1;
}

int read_argspec(NativeFunction *fn, PyObject *action, ArgSpec &out)
{
    Ref getfullargspec = global(fn, N.getfullargspec);
    if (!getfullargspec)
        return -1;
    if (getfullargspec.get() == O.getfullargspec) {
        int done = native_argspec(action, out);
        if (done)
            return done < 0 ? -1 : 0;
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
    Ref head = Ref::steal(PySlice_New(nullptr, minus_n.get(), nullptr));
    if (!tail || !head)
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

// The keys of `for key, _ in d.items()`.  For an exact dict the entries
// are walked in place, with the checks of the dict's own items iterator
// (the same entry order, and the same errors when the dict changes during
// the loop); anything else goes through its items() method.
class DictKeys {
public:
    int start(PyObject *d)
    {
        if (PyDict_CheckExact(d)) {
            dict_ = Ref::borrow(d);
            used_ = left_ = PyDict_GET_SIZE(d);
            return 0;
        }
        Ref items = call_method0(d, N.items);
        if (!items)
            return -1;
        it_ = Ref::steal(PyObject_GetIter(items.get()));
        return it_ ? 0 : -1;
    }

    // The next key, or an empty Ref at the end or on error.
    Ref next()
    {
        if (!dict_) {
            Ref item = Ref::steal(PyIter_Next(it_.get()));
            if (!item)
                return {};
            Ref key, value;
            if (unpack2(item.get(), key, value) < 0)
                return {};
            return key;
        }
        if (PyDict_GET_SIZE(dict_.get()) != used_) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return {};
        }
        PyObject *key, *value;
        if (!PyDict_Next(dict_.get(), &pos_, &key, &value))
            return {};
        if (left_ == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return {};
        }
        --left_;
        return Ref::borrow(key);
    }

private:
    Ref dict_, it_;
    Py_ssize_t used_ = 0, left_ = 0, pos_ = 0;
};

// Reads `args` and `di_params` for the callable rules, which read each of
// them afresh at every use.  When the statement stores them plainly (no
// class attribute of those names, ordinary attribute access) and they are
// plain values (an exact dict with str keys or None; an exact list of str),
// and the action's parameters were read natively, no code of the
// caller's can run anywhere in the rules: a fresh read would return the
// same object, so the first read is reused.
class FieldReader {
public:
    explicit FieldReader(PyObject *self) : self_(self) {}

    int try_plain()
    {
        if (!plain_attribute(self_, N.args) || !plain_attribute(self_, N.di_params))
            return 0;
        Ref args = getattr(self_, N.args);
        Ref di_params = getattr(self_, N.di_params);
        if (!args || !di_params)
            return -1;
        if (!plain_args(args.get()) || !plain_names(di_params.get()))
            return 0;
        args_ = std::move(args);
        di_params_ = std::move(di_params);
        plain_ = true;
        return 0;
    }

    Ref args() { return plain_ ? args_ : getattr(self_, N.args); }
    Ref di_params() { return plain_ ? di_params_ : getattr(self_, N.di_params); }

private:
    static bool plain_args(PyObject *args)
    {
        if (args == Py_None)
            return true;
        if (!PyDict_CheckExact(args))
            return false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(args, &pos, &key, &value))
            if (!PyUnicode_CheckExact(key))
                return false;
        return true;
    }

    static bool plain_names(PyObject *names)
    {
        if (!PyList_CheckExact(names))
            return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i)
            if (!PyUnicode_CheckExact(PyList_GET_ITEM(names, i)))
                return false;
        return true;
    }

    PyObject *self_;
    bool plain_ = false;
    Ref args_, di_params_;
};

PyObject *validate_callable_action(NativeFunction *fn, PyObject *self)
{
    // `action` is read afresh for each use, like every other attribute.
    ArgSpec spec;
    {
        Ref action = getattr(self, N.action);
        if (!action || read_argspec(fn, action.get(), spec) < 0)
            return nullptr;
    }
    Ref c_name;
    {
        Ref action = getattr(self, N.action);
        if (!action)
            return nullptr;
        c_name = getattr(action.get(), N.__name__);
        if (!c_name)
            return nullptr;
    }

    FieldReader fields(self);
    if (!spec.spec && fields.try_plain() < 0)
        return nullptr;

    Ref args = fields.args();
    if (!args)
        return nullptr;
    if (args.get() != Py_None) {
        int d = is_dict(args.get());
        if (d < 0)
            return nullptr;
        if (!d)
            return raise_invalid(fn, "args must be a dict or None");
    }

    // An injected name must not be a parameter with a default.
    Ref di_params = fields.di_params();
    if (!di_params)
        return nullptr;
    {
        ForEach it;
        if (it.start(di_params.get()) < 0)
            return nullptr;
        while (Ref param = it.next()) {
            int in = PySequence_Contains(spec.default_args.get(), param.get());
            if (in < 0)
                return nullptr;
            if (in)
                return raise_invalid(
                    fn, Ref::steal(PyUnicode_FromFormat(
                            "\"%S\" must be a positional argument in the action callable: %S",
                            param.get(), c_name.get())));
        }
        if (PyErr_Occurred())
            return nullptr;
    }

    int has_varargs = spec_flag(spec, N.varargs, spec.varargs);
    if (has_varargs < 0)
        return nullptr;
    if (has_varargs)
        return raise_invalid(fn, Ref::steal(PyUnicode_FromFormat(
                                     "use of *varargs is prohibited in action callable: %S",
                                     c_name.get())));

    args = fields.args();
    if (!args)
        return nullptr;
    if (args.get() == Py_None) {
        di_params = fields.di_params();
        if (!di_params)
            return nullptr;
        int ok = pos_args_injected(spec.pos_args.get(), di_params.get());
        if (ok < 0)
            return nullptr;
        if (!ok) {
            di_params = fields.di_params();
            if (!di_params)
                return nullptr;
            return raise_invalid(
                fn, Ref::steal(PyUnicode_FromFormat(
                        "\"args\" cannot be left None in case action callable \"%S\" requires "
                        "any non-default value other than %S",
                        c_name.get(), di_params.get())));
        }
    }
    else {
        // An injected name is never a key of `args`.
        di_params = fields.di_params();
        if (!di_params)
            return nullptr;
        ForEach it;
        if (it.start(di_params.get()) < 0)
            return nullptr;
        while (Ref arg = it.next()) {
            int in = PySequence_Contains(args.get(), arg.get());
            if (in < 0)
                return nullptr;
            if (in)
                return raise_invalid(
                    fn, Ref::steal(PyUnicode_FromFormat(
                            "\"%S\" cannot be a key in \"args\", even though it is required, "
                            "because it will be automatically injected in the session by the "
                            "calling program",
                            arg.get())));
        }
        if (PyErr_Occurred())
            return nullptr;
    }

    // Every parameter without a default is injected or given in `args`.
    {
        ForEach it;
        if (it.start(spec.pos_args.get()) < 0)
            return nullptr;
        while (Ref arg = it.next()) {
            di_params = fields.di_params();
            if (!di_params)
                return nullptr;
            int in = PySequence_Contains(di_params.get(), arg.get());
            if (in < 0)
                return nullptr;
            if (in)
                continue;
            args = fields.args();
            if (!args)
                return nullptr;
            in = PySequence_Contains(args.get(), arg.get());
            if (in < 0)
                return nullptr;
            if (!in)
                return raise_invalid(
                    fn, Ref::steal(PyUnicode_FromFormat(
                            "value for positional arg \"%S\", for action callback \"%S\", must "
                            "be provided in args dict",
                            arg.get(), c_name.get())));
        }
        if (PyErr_Occurred())
            return nullptr;
    }

    // Every key of `args` names a parameter, unless there is a `**`
    // parameter to take it.
    args = fields.args();
    if (!args)
        return nullptr;
    if (args.get() != Py_None) {
        DictKeys keys;
        if (keys.start(args.get()) < 0)
            return nullptr;
        while (Ref arg = keys.next()) {
            int in = PySequence_Contains(spec.pos_args.get(), arg.get());
            if (in < 0)
                return nullptr;
            if (in)
                continue;
            in = PySequence_Contains(spec.default_args.get(), arg.get());
            if (in < 0)
                return nullptr;
            if (in)
                continue;
            int has_varkw = spec_flag(spec, N.varkw, spec.varkw);
            if (has_varkw < 0)
                return nullptr;
            if (has_varkw)
                continue;
            return raise_invalid(
                fn, Ref::steal(PyUnicode_FromFormat(
                        "arg \"%S\" is not present in action callback \"%S\"'s signature, in "
                        "that case **kwargs must be present in action callback",
                        arg.get(), c_name.get())));
        }
        if (PyErr_Occurred())
            return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *statement_validate_action(NativeFunction *fn, PyObject *const *a)
{
    PyObject *self = a[0];
    Ref action = getattr(self, N.action);
    if (!action)
        return nullptr;
    if (PyCallable_Check(action.get()))
        return validate_callable_action(fn, self);

    // callable() ran nothing of the caller's: unless reading the attribute
    // does, a fresh read returns the same object.
    if (!plain_attribute(self, N.action)) {
        action = getattr(self, N.action);
        if (!action)
            return nullptr;
    }
    if (PyUnicode_CheckExact(action.get())) {
        Ref args = getattr(self, N.args);
        if (!args)
            return nullptr;
        if (args.get() != Py_None)
            return raise_invalid(fn, "if action is string, then \"args\" should be left None");
        Ref helper = global(fn, N.statement_action_helper);
        if (!helper)
            return nullptr;
        action = getattr(self, N.action);
        if (!action)
            return nullptr;
        Ref callback, payload;
        // The module's own helper, unless rebound, is run without building
        // the pair it would return.
        int done = 0;
        if (native_function_check(helper.get())) {
            auto *helper_fn = reinterpret_cast<NativeFunction *>(helper.get());
            if (helper_fn->spec->body == statement_action_helper_body && helper_fn->globals)
                done = translate_action_text(helper_fn, action.get(), callback, payload);
        }
        if (done < 0)
            return nullptr;
        if (!done) {
            Ref result = call1(helper.get(), action.get());
            if (!result)
                return nullptr;
            if (unpack2(result.get(), callback, payload) < 0)
                return nullptr;
        }
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

// Whether repr() of a str is the text between single quotes: printable
// ASCII without quotes or backslashes.
bool plain_str_repr(PyObject *s)
{
    if (!PyUnicode_CheckExact(s) || !PyUnicode_IS_ASCII(s))
        return false;
    const char *c = reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(s));
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; ++i)
        if (c[i] < 0x20 || c[i] > 0x7e || c[i] == '\'' || c[i] == '"' || c[i] == '\\')
            return false;
    return true;
}

// repr() of an exact dict whose keys and values are all plain strs, as
// dict's own repr writes it: {'k': 'v', 'k2': 'v2'}.  Empty Ref (no error
// set) when the dict is anything else.
Ref simple_dict_repr(PyObject *d)
{
    Py_ssize_t n = PyDict_GET_SIZE(d);
    if (n == 0 || n > 8)
        return {};
    Py_ssize_t len = 8 * n, pos = 0;  // braces, quotes, ": " and ", "
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value)) {
        if (!plain_str_repr(key) || !plain_str_repr(value))
            return {};
        len += PyUnicode_GET_LENGTH(key) + PyUnicode_GET_LENGTH(value);
    }
    Ref out = Ref::steal(PyUnicode_New(len, 127));
    if (!out)
        return {};
    char *w = reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(out.get()));
    *w++ = '{';
    pos = 0;
    bool first = true;
    while (PyDict_Next(d, &pos, &key, &value)) {
        if (!first) {
            *w++ = ',';
            *w++ = ' ';
        }
        first = false;
        auto quoted = [&w](PyObject *text) {
            *w++ = '\'';
            Py_ssize_t l = PyUnicode_GET_LENGTH(text);
            std::memcpy(w, PyUnicode_1BYTE_DATA(text), static_cast<size_t>(l));
            w += l;
            *w++ = '\'';
        };
        quoted(key);
        *w++ = ':';
        *w++ = ' ';
        quoted(value);
    }
    *w++ = '}';
    return out;
}

// str(v) for an attribute value.  None and the booleans have fixed texts
// that cannot be overridden; they are served from interned strings, and a
// dict of plain strings is written directly.
Ref text_of(Ref v)
{
    if (!v)
        return {};
    PyObject *o = v.get();
    if (PyUnicode_CheckExact(o))
        return v;
    if (o == Py_None)
        return Ref::borrow(T.none);
    if (o == Py_True)
        return Ref::borrow(T.true_);
    if (o == Py_False)
        return Ref::borrow(T.false_);
    if (PyDict_CheckExact(o)) {
        Ref text = simple_dict_repr(o);
        if (text || PyErr_Occurred())
            return text;
    }
    return Ref::steal(PyObject_Str(o));
}

// Concatenates `n` strings (str or str subclasses) into a new str.
PyObject *concat(PyObject *const *parts, int n)
{
    Py_ssize_t len = 0;
    Py_UCS4 maxchar = 0;
    for (int i = 0; i < n; ++i) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(parts[i]) < 0)
            return nullptr;
#endif
        len += PyUnicode_GET_LENGTH(parts[i]);
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(parts[i]);
        if (m > maxchar)
            maxchar = m;
    }
    Ref result = Ref::steal(PyUnicode_New(len, maxchar));
    if (!result)
        return nullptr;
    Py_ssize_t at = 0;
    const bool narrow = PyUnicode_KIND(result.get()) == PyUnicode_1BYTE_KIND;
    for (int i = 0; i < n; ++i) {
        Py_ssize_t l = PyUnicode_GET_LENGTH(parts[i]);
        if (narrow) {
            // Every part is narrow too (none has a wider character).
            std::memcpy(PyUnicode_1BYTE_DATA(result.get()) + at, PyUnicode_1BYTE_DATA(parts[i]),
                        static_cast<size_t>(l));
        }
        else if (PyUnicode_CopyCharacters(result.get(), at, parts[i], 0, l) < 0) {
            return nullptr;
        }
        at += l;
    }
    return result.release();
}

// The thirteen pieces of a statement's text, in `parts`.
int statement_pieces(PyObject *self, Ref (&parts)[13])
{
    Ref action = getattr(self, N.action);
    if (!action)
        return -1;
    bool no_action = action.get() == Py_None;
    Ref pattern_text = text_of(getattr(self, N.pattern));
    if (!pattern_text)
        return -1;
    Ref action_text;
    if (no_action) {
        action_text = text_of(getattr(self, N.action));
    }
    else {
        Ref again = getattr(self, N.action);
        if (!again)
            return -1;
        action_text = text_of(getattr(again.get(), N.__name__));
    }
    if (!action_text)
        return -1;
    Ref args_text = text_of(getattr(self, N.args));
    if (!args_text)
        return -1;
    Ref lc_text = text_of(getattr(self, N.loop_continue));
    if (!lc_text)
        return -1;
    Ref ct_text = text_of(getattr(self, N.continue_timer));
    if (!ct_text)
        return -1;
    Ref tb_text = text_of(getattr(self, N.trim_buffer));
    if (!tb_text)
        return -1;
    PyObject *fixed[7] = {T.open_pattern, T.open_action, T.open_args, T.open_loop_continue,
                          T.open_continue_timer, T.open_trim_buffer, T.close};
    Ref *values[6] = {&pattern_text, &action_text, &args_text, &lc_text, &ct_text, &tb_text};
    for (int i = 0; i < 6; ++i) {
        parts[2 * i] = Ref::borrow(fixed[i]);
        parts[2 * i + 1] = std::move(*values[i]);
    }
    parts[12] = Ref::borrow(fixed[6]);
    return 0;
}

PyObject *statement_str(NativeFunction *, PyObject *const *a)
{
    Ref parts[13];
    if (statement_pieces(a[0], parts) < 0)
        return nullptr;
    PyObject *raw[13];
    for (int i = 0; i < 13; ++i)
        raw[i] = parts[i].get();
    return concat(raw, 13);
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

PyObject *copy_hooks[9];       // names whose presence on a class rules the fast copy out
PyObject *instance_copy_hooks[5];  // ... and on the instance itself
PyObject *copy_tables[2];      // "_copy_dispatch", "dispatch_table"
PyObject *slotnames_name;      // "__slotnames__"
PyObject *dict_name;           // "__dict__"
getter instance_dict_getter;   // the getter of `__dict__` of classes made by type()

bool copy_names_ready = false;

int copy_names_init()
{
    if (copy_names_ready)
        return 0;
    static const char *const hooks[9] = {
        "__copy__", "__reduce_ex__", "__reduce__", "__getstate__", "__setstate__",
        "__getnewargs__", "__getnewargs_ex__", "__getattr__", "__slots__"};
    for (int i = 0; i < 9; ++i)
        if (!copy_hooks[i] && !(copy_hooks[i] = PyUnicode_InternFromString(hooks[i])))
            return -1;
    // copy.copy reads __reduce_ex__ from the instance, object.__reduce_ex__
    // reads __reduce__, and the default reduction __getstate__ and the
    // __getnewargs__ pair, all through ordinary attribute access.
    const int on_instance[5] = {1, 2, 3, 5, 6};
    for (int i = 0; i < 5; ++i)
        instance_copy_hooks[i] = copy_hooks[on_instance[i]];
    struct {
        PyObject **slot;
        const char *text;
    } table[] = {
        {&copy_tables[0], "_copy_dispatch"},
        {&copy_tables[1], "dispatch_table"},
        {&dict_name, "__dict__"},
        {&slotnames_name, "__slotnames__"},
    };
    for (auto &entry : table)
        if (!*entry.slot && !(*entry.slot = PyUnicode_InternFromString(entry.text)))
            return -1;
    copy_names_ready = true;
    return 0;
}

// Whether a class lets copy.copy do nothing but the default reduction.
int scan_class_for_copy_hooks(PyTypeObject *cls)
{
    // The lookups below can run a key's __eq__, which may change the class
    // (its bases, its dict); what is being walked is held meanwhile.
    Ref mro_ref = Ref::borrow(cls->tp_mro);
    PyObject *mro = mro_ref.get();
    if (!mro || !PyTuple_Check(mro))
        return 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto *base = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
        if (base == &PyBaseObject_Type)
            continue;
        Ref d_ref = Ref::borrow(base->tp_dict);
        PyObject *d = d_ref.get();
        if (!d || !PyDict_Check(d))
            return 0;
        for (PyObject *hook : copy_hooks) {
            if (PyDict_GetItemWithError(d, hook))
                return 0;
            if (PyErr_Occurred())
                return -1;
        }
        // copyreg caches an empty __slotnames__ on classes it has copied.
        PyObject *slotnames = PyDict_GetItemWithError(d, slotnames_name);
        if (!slotnames && PyErr_Occurred())
            return -1;
        if (slotnames && !(PyList_CheckExact(slotnames) && PyList_GET_SIZE(slotnames) == 0))
            return 0;
        // The `__dict__` a class statement gives a class, for this class's
        // instances; copy.copy fills the copy's dict through it.
        PyObject *dict_descr = PyDict_GetItemWithError(d, dict_name);
        if (!dict_descr && PyErr_Occurred())
            return -1;
        if (dict_descr && !(Py_IS_TYPE(dict_descr, &PyGetSetDescr_Type) &&
                            reinterpret_cast<PyGetSetDescrObject *>(dict_descr)->d_getset->get ==
                                instance_dict_getter &&
                            PyType_IsSubtype(cls, PyDescr_TYPE(dict_descr))))
            return 0;
    }
    return 1;
}

// TAVREL_HAVE_DICT_VERSION: up to 3.11 every dict carries a version number
// that changes with each modification and never repeats; later versions
// deprecate it, and there the class dicts are scanned on every copy.
#if PY_VERSION_HEX < 0x030C0000
#define TAVREL_HAVE_DICT_VERSION 1
#else
#define TAVREL_HAVE_DICT_VERSION 0
#endif

#if TAVREL_HAVE_DICT_VERSION
// The last class found to copy plainly: its MRO, held through weak
// references (the module must not keep callers' classes alive), and the
// versions of the dicts along it.  While the same classes stand in the MRO
// and none of their dicts changed, neither did the verdict.
constexpr Py_ssize_t kVerdictDepth = 8;
struct CopyVerdict {
    Py_ssize_t depth = 0;
    PyObject *classes[kVerdictDepth] = {};  // weak references
    uint64_t versions[kVerdictDepth] = {};
};
CopyVerdict copy_verdict;

uint64_t dict_version(PyObject *d)
{
    return reinterpret_cast<PyDictObject *>(d)->ma_version_tag;
}

// Whether `cls` still has the MRO and dict versions `v` recorded.
bool copy_verdict_holds(const CopyVerdict &v, PyTypeObject *cls)
{
    PyObject *mro = cls->tp_mro;
    if (!mro || PyTuple_GET_SIZE(mro) != v.depth || v.depth == 0)
        return false;
    for (Py_ssize_t i = 0; i < v.depth; ++i) {
        PyObject *base = PyTuple_GET_ITEM(mro, i);
        if (!weakref_is(v.classes[i], base))
            return false;
        if (base != reinterpret_cast<PyObject *>(&PyBaseObject_Type) &&
            dict_version(reinterpret_cast<PyTypeObject *>(base)->tp_dict) != v.versions[i])
            return false;
    }
    return true;
}

// Takes the weak references and dict versions of a class's MRO; false when
// the MRO is too deep to keep (the verdict is then not kept).
bool copy_verdict_snapshot(PyTypeObject *cls, CopyVerdict &out)
{
    PyObject *mro = cls->tp_mro;
    Py_ssize_t n = PyTuple_GET_SIZE(mro);
    if (n > kVerdictDepth)
        return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *base = PyTuple_GET_ITEM(mro, i);
        PyObject *ref = PyWeakref_NewRef(base, nullptr);
        if (!ref) {
            PyErr_Clear();  // only a cache
            out.depth = i;
            return false;
        }
        out.classes[i] = ref;
        out.versions[i] = base == reinterpret_cast<PyObject *>(&PyBaseObject_Type)
                              ? 0
                              : dict_version(reinterpret_cast<PyTypeObject *>(base)->tp_dict);
    }
    out.depth = n;
    return true;
}

void copy_verdict_release(CopyVerdict &v)
{
    for (Py_ssize_t i = 0; i < v.depth; ++i)
        Py_CLEAR(v.classes[i]);
    v.depth = 0;
}
#endif

// Sets `scanned` when the class dicts were looked into (which can run a
// key's __eq__).
int class_copies_plainly(PyTypeObject *cls, bool &scanned)
{
    if (!Py_IS_TYPE(reinterpret_cast<PyObject *>(cls), &PyType_Type) ||
        !(cls->tp_flags & Py_TPFLAGS_HEAPTYPE) || cls->tp_getattro != PyObject_GenericGetAttr ||
        cls->tp_new != PyBaseObject_Type.tp_new || cls->tp_itemsize != 0 ||
        cls->tp_dictoffset == 0 || (cls->tp_flags & Py_TPFLAGS_IS_ABSTRACT))
        return 0;
#if TAVREL_HAVE_DICT_VERSION
    if (copy_verdict_holds(copy_verdict, cls))
        return 1;
    // The versions are taken before the scan: looking names up in a class
    // dict can run code (a key's __eq__) that changes the class, and then
    // the verdict is neither used nor kept.
    CopyVerdict before;
    bool kept = copy_verdict_snapshot(cls, before);
    scanned = true;
    int plain = scan_class_for_copy_hooks(cls);
    if (plain == 1 && kept) {
        if (!copy_verdict_holds(before, cls))
            plain = 0;
        else
            std::swap(copy_verdict, before);  // `before` now holds the old verdict
    }
    copy_verdict_release(before);
    return plain;
#else
    scanned = true;
    return scan_class_for_copy_hooks(cls);
#endif
}

// Whether copy.copy's own tables (its `_copy_dispatch` and copyreg's
// `dispatch_table`, found in copy.copy's globals) have no entry for the
// class.  Sets `looked` when they were looked into.
#if TAVREL_HAVE_DICT_VERSION
// The last class found in neither table, with the versions of copy's
// globals and of both tables: while none changed, neither did the answer.
struct TableVerdict {
    PyObject *cls = nullptr;  // weak reference
    uint64_t globals_version = 0;
    uint64_t table_versions[2] = {};
};
TableVerdict table_verdict;
#endif

int copy_tables_allow(PyObject *copy_fn, PyTypeObject *cls, bool &looked)
{
    Ref g = Ref::borrow(PyFunction_GET_GLOBALS(copy_fn));
#if TAVREL_HAVE_DICT_VERSION
    if (table_verdict.cls && weakref_is(table_verdict.cls, reinterpret_cast<PyObject *>(cls)) &&
        dict_version(g.get()) == table_verdict.globals_version) {
        bool same = true;
        for (int i = 0; i < 2 && same; ++i) {
            PyObject *t = PyDict_GetItemWithError(g.get(), copy_tables[i]);
            same = t && PyDict_CheckExact(t) && dict_version(t) == table_verdict.table_versions[i];
        }
        if (same)
            return 1;
        if (PyErr_Occurred())
            return -1;
    }
    const uint64_t globals_version = dict_version(g.get());
    uint64_t versions[2] = {};
#endif
    looked = true;
    for (int i = 0; i < 2; ++i) {
        Ref t = Ref::borrow(PyDict_GetItemWithError(g.get(), copy_tables[i]));
        if (!t)
            return PyErr_Occurred() ? -1 : 0;
        if (!PyDict_CheckExact(t.get()))
            return 0;
#if TAVREL_HAVE_DICT_VERSION
        versions[i] = dict_version(t.get());
#endif
        if (PyDict_GetItemWithError(t.get(), reinterpret_cast<PyObject *>(cls)))
            return 0;
        if (PyErr_Occurred())
            return -1;
    }
#if TAVREL_HAVE_DICT_VERSION
    // Kept only when nothing changed while the tables were looked into.
    bool unchanged = dict_version(g.get()) == globals_version;
    for (int i = 0; i < 2 && unchanged; ++i) {
        PyObject *t = PyDict_GetItemWithError(g.get(), copy_tables[i]);
        unchanged = t && dict_version(t) == versions[i];
    }
    if (PyErr_Occurred())
        return -1;
    if (unchanged) {
        PyObject *ref = PyWeakref_NewRef(reinterpret_cast<PyObject *>(cls), nullptr);
        if (!ref) {
            PyErr_Clear();  // only a cache
        }
        else {
            Py_XSETREF(table_verdict.cls, ref);
            table_verdict.globals_version = globals_version;
            table_verdict.table_versions[0] = versions[0];
            table_verdict.table_versions[1] = versions[1];
        }
    }
#endif
    return 1;
}


// copy.copy(x) without the copy module, for an object whose class cannot
// tell the difference: plain `type` metaclass, object's __new__ and
// attribute access, an instance dict and no hook that copy or the default
// reduction would consult.  The result is what copy.copy gives for such an
// object: a new instance of the same class whose dict holds the same items
// in the same order.  Returns 1 with `out` set, 0 to take copy.copy, -1 on
// error.
int native_copy(PyObject *copy_fn, PyObject *x, Ref &out)
{
    if (!PyFunction_Check(copy_fn))
        return 0;
    // Held: the lookups below can run a key's __eq__, which may give `x`
    // another class and let the old one be collected.  Whether any caller
    // code may have run is tracked, to check again afterwards.
    Ref cls_ref = Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(x)));
    auto *cls = reinterpret_cast<PyTypeObject *>(cls_ref.get());
    bool ran_code = false;
    int plain = class_copies_plainly(cls, ran_code);
    if (plain <= 0)
        return plain;
    // The default reduction looks its hooks up on the instance too.
    Ref x_dict = Ref::steal(PyObject_GenericGetDict(x, nullptr));
    if (!x_dict)
        return -1;
    if (!PyDict_Check(x_dict.get()))
        return 0;
    // A split dict holds only exact str keys: looking names up in it runs
    // no code of the caller's.
    if (!reinterpret_cast<PyDictObject *>(x_dict.get())->ma_values)
        ran_code = true;
#if TAVREL_HAVE_DICT_VERSION
    const uint64_t x_dict_version = dict_version(x_dict.get());
#endif
    for (PyObject *hook : instance_copy_hooks) {
        if (PyDict_GetItemWithError(x_dict.get(), hook))
            return 0;
        if (PyErr_Occurred())
            return -1;
    }
    int tables = copy_tables_allow(copy_fn, cls, ran_code);
    if (tables <= 0)
        return tables;
    if (ran_code) {
        // If any of that changed the object, its dict or its class,
        // copy.copy decides.
        bool again = false;
        if (Py_TYPE(x) != cls || class_copies_plainly(cls, again) != 1)
            return PyErr_Occurred() ? -1 : 0;
        Ref now_dict = Ref::steal(PyObject_GenericGetDict(x, nullptr));
        if (!now_dict)
            return -1;
        if (now_dict.get() != x_dict.get())
            return 0;
#if TAVREL_HAVE_DICT_VERSION
        if (dict_version(x_dict.get()) != x_dict_version)
            return 0;
#endif
    }

    Ref y = Ref::steal(cls->tp_alloc(cls, 0));
    if (!y)
        return -1;
    if (PyDict_GET_SIZE(x_dict.get())) {
        // The same items in the same order as `y.__dict__.update(state)`.
#if PY_VERSION_HEX < 0x030C0000
        // Up to 3.11 an instance dict is an ordinary object: copying the
        // source's (values and shared keys alike) in one step is cheapest.
        // PyDict_Copy reads the source's size, allocates and then copies
        // what it read; a collection started by that allocation could run
        // a finaliser that clears the source in between.  With the
        // collector paused no caller code can run inside the copy.
        int collecting = PyGC_Disable();
        Ref y_dict = Ref::steal(PyDict_Copy(x_dict.get()));
        if (collecting)
            PyGC_Enable();
        if (!y_dict || PyObject_GenericSetDict(y.get(), y_dict.get(), nullptr) < 0)
            return -1;
#else
        // From 3.12 instance attributes may live inline in the object;
        // filling the copy's own dict keeps that layout.
        Ref y_dict = Ref::steal(PyObject_GenericGetDict(y.get(), nullptr));
        if (!y_dict || PyDict_Update(y_dict.get(), x_dict.get()) < 0)
            return -1;
#endif
    }
    out = std::move(y);
    return 1;
}

// The copy that construction makes of a statement element.
Ref copy_statement(NativeFunction *fn, PyObject *line)
{
    Ref copy = global(fn, N.copy);
    if (!copy)
        return {};
    if (copy.get() == O.copy) {
        Ref result;
        int done = native_copy(copy.get(), line, result);
        if (done < 0)
            return {};
        if (done)
            return result;
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
    while (Ref line = it.next()) {
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
    if (PyErr_Occurred())
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
    while (Ref st = it.next()) {
        Ref pattern = getattr(st.get(), N.pattern);
        if (!pattern || PyList_Append(patterns.get(), pattern.get()) < 0)
            return nullptr;
    }
    if (PyErr_Occurred())
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

// Whether str(st) runs Statement.__str__: the class's own __str__ is it.
bool prints_as_statement(PyObject *st)
{
    if (PyUnicode_CheckExact(st))
        return false;
    PyObject *method = _PyType_Lookup(Py_TYPE(st), N.__str__);
    return method && native_function_check(method) &&
           reinterpret_cast<NativeFunction *>(method)->spec->body == statement_str &&
           reinterpret_cast<NativeFunction *>(method)->globals;
}

PyObject *dialog_str(NativeFunction *, PyObject *const *a)
{
    // All pieces of all lines are gathered and joined once; a statement
    // printed by Statement.__str__ contributes its pieces directly.
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts || PyList_Append(parts.get(), T.dialog_open) < 0)
        return nullptr;
    Ref statements = getattr(a[0], N.statements);
    if (!statements)
        return nullptr;
    ForEach it;
    if (it.start(statements.get()) < 0)
        return nullptr;
    while (Ref st = it.next()) {
        if (PyList_Append(parts.get(), T.tab) < 0)
            return nullptr;
        if (prints_as_statement(st.get())) {
            if (Py_EnterRecursiveCall(" while getting the str of an object"))
                return nullptr;
            Ref pieces[13];
            int failed = statement_pieces(st.get(), pieces);
            Py_LeaveRecursiveCall();
            if (failed < 0)
                return nullptr;
            for (Ref &piece : pieces)
                if (PyList_Append(parts.get(), piece.get()) < 0)
                    return nullptr;
        }
        else {
            Ref text = Ref::steal(PyObject_Str(st.get()));
            if (!text || PyList_Append(parts.get(), text.get()) < 0)
                return nullptr;
        }
        if (PyList_Append(parts.get(), T.line_end) < 0)
            return nullptr;
    }
    if (PyErr_Occurred() || PyList_Append(parts.get(), T.close) < 0)
        return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(parts.get());
    if (n > INT_MAX) {
        PyErr_NoMemory();
        return nullptr;
    }
    return concat(&PyList_GET_ITEM(parts.get(), 0), static_cast<int>(n));
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
    if (PyList_CheckExact(patterns.get())) {
        if (PyList_Append(patterns.get(), entry.get()) < 0)
            return nullptr;
    }
    else if (!call_method1(patterns.get(), N.append, entry.get())) {
        return nullptr;
    }
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
    while (Ref item = it.next()) {
        Ref name, obj;
        if (unpack2(item.get(), name, obj) < 0)
            return nullptr;
        int has = hasattr(obj.get(), N.__patterns__);
        if (has < 0)
            return nullptr;
        if (has && PyList_Append(found_obj.get(), obj.get()) < 0)
            return nullptr;
    }
    if (PyErr_Occurred())
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
    while (Ref obj = objs.next()) {
        Ref recorded = getattr(obj.get(), N.__patterns__);
        if (!recorded)
            return nullptr;
        ForEach entries;
        if (entries.start(recorded.get()) < 0)
            return nullptr;
        while (Ref entry = entries.next()) {
            Ref statement = statement_from_entry(fn, entry.get());
            if (!statement || PyList_Append(patterns.get(), statement.get()) < 0)
                return nullptr;
        }
        if (PyErr_Occurred())
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
    if (PyErr_Occurred())
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

// A name the body has bound, read back from the namespace.
Ref global_in(PyObject *ns, PyObject *name)
{
    PyObject *v = PyDict_GetItemWithError(ns, name);
    if (!v && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref::borrow(v);
}

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
        PyObject *found = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
        if (found)
            return Ref::borrow(found);
        if (PyErr_Occurred())
            return {};
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
    Ref ns = Ref::steal(PyDict_New());
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
    PyObject *di_list = PyDict_GetItemWithError(g, N.DI_LIST);
    if (!di_list) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", N.DI_LIST);
        return -1;
    }
    Ref defaults = Ref::steal(PyTuple_Pack(9, Py_None, Py_None, Py_False, Py_False, Py_True,
                                           Py_None, Py_None, di_list, Py_False));
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
    if (names_init() < 0 || texts_init() < 0 || senders_init() < 0 || keywords_init() < 0 ||
        copy_names_init() < 0 ||
        native_function_ready() < 0)
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

    // What the fast paths stand in for, recognised by identity later.
    Ref copy = global_in(g, N.copy);
    Ref getfullargspec = global_in(g, N.getfullargspec);
    if (!copy || !getfullargspec)
        return -1;
    Py_XSETREF(O.copy, copy.release());
    Py_XSETREF(O.getfullargspec, getfullargspec.release());
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect)
        return -1;
    Ref empty = Ref::steal(PyObject_GetAttrString(inspect.get(), "_empty"));
    if (!empty)
        return -1;
    Py_XSETREF(O.inspect_empty, empty.release());
    Ref re = global_in(g, N.re);
    if (!re)
        return -1;
    Ref re_match = getattr(re.get(), N.match);
    if (!re_match)
        return -1;
    Py_XSETREF(O.re, re.release());
    Py_XSETREF(O.re_match, re_match.release());

    if (bind(g, N.statement_action_helper, native_function_new(&statement_action_helper_spec, g)) < 0)
        return -1;
    if (create_statement_class(g) < 0 || create_dialog_class(g) < 0)
        return -1;
    {
        Ref statement_cls = global_in(g, N.Statement);
        if (!statement_cls)
            return -1;
        PyObject *descr = PyDict_GetItemWithError(
            reinterpret_cast<PyTypeObject *>(statement_cls.get())->tp_dict, dict_name);
        if (descr && Py_IS_TYPE(descr, &PyGetSetDescr_Type))
            instance_dict_getter = reinterpret_cast<PyGetSetDescrObject *>(descr)->d_getset->get;
        else if (PyErr_Occurred())
            return -1;
    }
    if (bind(g, N.statement_decorator, native_function_new(&statement_decorator_spec, g)) < 0)
        return -1;
    return create_dialog_maker_class(g);
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
