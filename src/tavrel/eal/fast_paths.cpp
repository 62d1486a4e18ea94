// The dialog module's shortcuts (see fast_paths.h).
//
// Grouped as the module body meets them: loops, the statement
// rules (field reads, parameter lists), the action-text matcher, the text
// forms and the copies dialogs make of statements.  Everything here may
// read the interpreter's private structures; each use says which road of
// the interpreter's it reproduces.

#include "fast_paths.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

// ===========================================================================
// Interpreter-version gates of the shortcuts (see version.h for the ones
// the general road needs too)
// ===========================================================================

// Up to 3.10 an instance dict is an ordinary dict object found at its
// offset in the object; from 3.11 an instance's attributes may live inline
// in the object until its dict is asked for, and asking for the dict (even
// for its address) makes it.
#if PY_VERSION_HEX < 0x030B0000
#define TAVREL_INLINE_ATTRIBUTES 0
#else
#define TAVREL_INLINE_ATTRIBUTES 1
#endif

// Up to 3.11 a str may still have to be made ready (PyUnicode_READY)
// before its length and kind are read; from 3.12 every str is.
#if PY_VERSION_HEX < 0x030C0000
#define TAVREL_UNICODE_NEEDS_READY 1
#else
#define TAVREL_UNICODE_NEEDS_READY 0
#endif

// Up to 3.11 every dict carries a version number that changes with each
// modification and never repeats (`ma_version_tag`); 3.12 deprecates it.
#if PY_VERSION_HEX < 0x030C0000
#define TAVREL_HAVE_DICT_VERSION 1
#else
#define TAVREL_HAVE_DICT_VERSION 0
#endif

// Up to 3.11 an instance whose dict is set keeps using that dict as it
// is; from 3.12 an instance keeps its attributes inline only while its own
// dict is filled in place.
#if PY_VERSION_HEX < 0x030C0000
#define TAVREL_SET_INSTANCE_DICT 1
#else
#define TAVREL_SET_INSTANCE_DICT 0
#endif

namespace tavrel::fast {
namespace {

// ===========================================================================
// What the shortcuts recognise
// ===========================================================================

// The objects the module imported or made: a shortcut stands in for a
// collaborator only while the module global is still the very object.
// Held for the life of the process, like the module itself.
struct Originals {
    PyObject *action_helper;  // statement_action_helper
    PyObject *re;
    PyObject *re_match;
    PyObject *getfullargspec;
    PyObject *inspect_empty;  // inspect.Parameter.empty
    PyObject *copy;
    getter instance_dict;     // the getter of `__dict__` of classes made by type()
};
Originals O;

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

// Whether a weak reference still refers to `target`.
bool weakref_is(PyObject *ref, PyObject *target)
{
#if TAVREL_HAVE_GET_REF
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

// A question's answer other than yes (ref.h) as a shortcut's: no declines,
// an error fails.
Seam not_yes(int answer) { return answer < 0 ? Seam::failed : Seam::declined; }

// A weak reference to `o` for a cache, or nullptr when none could be made
// (the cache then keeps nothing; the error is not the caller's).
PyObject *cache_ref(PyObject *o)
{
    PyObject *ref = PyWeakref_NewRef(o, nullptr);
    if (!ref)
        PyErr_Clear();
    return ref;
}

} // namespace

// ===========================================================================
// Start-up
// ===========================================================================

namespace {

Sender *senders;                // the module's table, in the order tried
int sender_count = 0;
PyObject *sender_prefixes[8];  // "send(", "sendline(", ..., in table order
Py_ssize_t shortest_name = 0;

// The matcher assumes that each pattern is its sender's name between an
// optional "^" and "\((.*)\)$", that a name is made of lower-case letters
// and underscores only (so that it matches itself and nothing else), and
// that no two names are alike, so that the name before the first "(" of an
// action text picks the one pattern that can match.
int matcher_init(Sender *table, int n)
{
    if (n > static_cast<int>(sizeof sender_prefixes / sizeof sender_prefixes[0])) {
        PyErr_SetString(PyExc_SystemError, "more senders than the action-text matcher holds");
        return -1;
    }
    static const char tail[] = "\\((.*)\\)$";
    for (int i = 0; i < n; ++i) {
        const char *name = table[i].spec.name;
        size_t len = std::strlen(name);
        bool plain = len > 0;
        for (size_t k = 0; k < len; ++k)
            plain = plain && ((name[k] >= 'a' && name[k] <= 'z') || name[k] == '_');
        for (int j = 0; j < i; ++j)
            plain = plain && std::strcmp(name, table[j].spec.name) != 0;
        const char *p = table[i].pattern;
        if (*p == '^')
            ++p;
        plain = plain && std::strncmp(p, name, len) == 0 && std::strcmp(p + len, tail) == 0;
        if (!plain) {
            PyErr_Format(PyExc_SystemError,
                         "action-text pattern %s of sender %s does not fit the native matcher",
                         table[i].pattern, name);
            return -1;
        }
        if (!sender_prefixes[i] && !(sender_prefixes[i] = PyUnicode_FromFormat("%s(", name)))
            return -1;
        if (i == 0 || static_cast<Py_ssize_t>(len) < shortest_name)
            shortest_name = static_cast<Py_ssize_t>(len);
    }
    senders = table;
    sender_count = n;
    return 0;
}

// The original of module global `name` in the namespace `g`.
int keep_original(PyObject *g, PyObject *name, PyObject *&slot)
{
    Ref v;
    int found = dict_get(g, name, v);
    if (found <= 0) {
        if (!found)
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return -1;
    }
    Py_XSETREF(slot, v.release());
    return 0;
}

} // namespace

int init(PyObject *g, Sender *table, int n)
{
    if (keywords_init() < 0 || matcher_init(table, n) < 0)
        return -1;
    if (keep_original(g, N.statement_action_helper, O.action_helper) < 0 ||
        keep_original(g, N.copy, O.copy) < 0 ||
        keep_original(g, N.getfullargspec, O.getfullargspec) < 0 ||
        keep_original(g, N.re, O.re) < 0)
        return -1;
    Ref re_match = Ref::steal(PyObject_GetAttr(O.re, N.match));
    if (!re_match)
        return -1;
    Py_XSETREF(O.re_match, re_match.release());
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect)
        return -1;
    Ref empty = Ref::steal(PyObject_GetAttrString(inspect.get(), "_empty"));
    if (!empty)
        return -1;
    Py_XSETREF(O.inspect_empty, empty.release());
    // The getter of `__dict__` that type() gives every class it makes,
    // taken from Statement's.
    PyObject *statement_cls = nullptr;
    if (keep_original(g, N.Statement, statement_cls) < 0)
        return -1;
    Ref cls = Ref::steal(statement_cls);
    Ref descr;
    int found = dict_get(reinterpret_cast<PyTypeObject *>(cls.get())->tp_dict, N.__dict__, descr);
    if (found < 0)
        return -1;
    if (found && Py_IS_TYPE(descr.get(), &PyGetSetDescr_Type))
        O.instance_dict = reinterpret_cast<PyGetSetDescrObject *>(descr.get())->d_getset->get;
    return 0;
}

// ===========================================================================
// Loops
// ===========================================================================

Seam dict_keys_start(PyObject *d, DictWalk &w)
{
    if (!PyDict_CheckExact(d))
        return Seam::declined;
    w.dict = Ref::borrow(d);
    w.used = w.left = PyDict_GET_SIZE(d);
    w.pos = 0;
    return Seam::done;
}

int dict_keys_next(DictWalk &w, Ref &key)
{
    // The same entry order and the same errors as the dict's items iterator.
    if (PyDict_GET_SIZE(w.dict.get()) != w.used) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return -1;
    }
    PyObject *k, *v;
    if (!PyDict_Next(w.dict.get(), &w.pos, &k, &v))
        return 0;
    if (w.left == 0) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
        return -1;
    }
    --w.left;
    key = Ref::borrow(k);
    return 1;
}

// ===========================================================================
// Statements: field reads
// ===========================================================================

namespace {

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
// __eq__, at every read of the name).
bool instance_keys_are_str(PyObject *self)
{
    bool found = false;
#if !TAVREL_INLINE_ATTRIBUTES
    // The dict at the offset a class statement gives its instances.
    const Py_ssize_t offset = Py_TYPE(self)->tp_dictoffset;
    PyObject **dictptr = offset > 0 ? reinterpret_cast<PyObject **>(
                                          reinterpret_cast<char *>(self) + offset)
                                    : _PyObject_GetDictPtr(self);
    if (dictptr && *dictptr)
        find_odd_keys(*dictptr, &found);
#else
    // The instance dict is found among what the object reports to the
    // collector, which never makes the dict of an object whose attributes
    // live inline; a dict among the attribute values that has such a key
    // also counts, which only gives up a shortcut.
    traverseproc traverse = Py_TYPE(self)->tp_traverse;
    if (!traverse)
        return false;
    traverse(self, find_odd_keys, &found);
#endif
    return !found;
}

// Whether reading `name` from `self` is looked up in the instance dict
// alone: ordinary attribute access and no class attribute (a property,
// say) of that name.
bool plain_lookup(PyObject *self, PyObject *name)
{
    PyTypeObject *tp = Py_TYPE(self);
    return tp->tp_getattro == PyObject_GenericGetAttr && !_PyType_Lookup(tp, name);
}

// An `args` the rules can use without running caller code: None or an
// exact dict of str keys (whose membership tests compare str with str).
bool plain_args(PyObject *args)
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

// A `di_params` of the same kind: an exact list of str.
bool plain_names(PyObject *names)
{
    if (!PyList_CheckExact(names))
        return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(names, i)))
            return false;
    return true;
}

} // namespace

Seam rule_fields(PyObject *self, const ArgSpec &spec, Ref &args, Ref &di_params)
{
    // With the parameter lists read natively (getfullargspec's result is
    // read through attribute access, which may run caller code), plain
    // fields stored plainly leave the rules no caller code to run: a fresh
    // read would give the same objects.
    if (spec.spec || !plain_lookup(self, N.args) || !plain_lookup(self, N.di_params) ||
        !instance_keys_are_str(self))
        return Seam::declined;
    Ref a = Ref::steal(PyObject_GetAttr(self, N.args));
    Ref d = a ? Ref::steal(PyObject_GetAttr(self, N.di_params)) : Ref();
    if (!d) {
        // A missing field is reported where the rules first read it, which
        // for `di_params` is after a rule on `args` may already have failed.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return Seam::failed;
        PyErr_Clear();
        return Seam::declined;
    }
    if (!plain_args(a.get()) || !plain_names(d.get()))
        return Seam::declined;
    args = std::move(a);
    di_params = std::move(d);
    return Seam::done;
}

// ===========================================================================
// Statements: parameter lists
// ===========================================================================

namespace {

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
        Ref v;
        int found = dict_get(dict, name, v);
        if (found)
            return found;
    }
    return 0;
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
    if (PyObject *ref = cache_ref(code))
        Py_XSETREF(plain_code_cache[slot], ref);
    return true;
}

} // namespace

Seam argspec(PyObject *getfullargspec, PyObject *action, ArgSpec &out)
{
    // For plain Python functions, the module's own functions and bound
    // methods of either.
    if (getfullargspec != O.getfullargspec)
        return Seam::declined;
    // Held, not borrowed: looking names up in the function's dict can run
    // a key's __eq__, which may replace the function's code, defaults or
    // dict and free the old ones.
    Ref func = Ref::borrow(PyMethod_Check(action) ? PyMethod_GET_FUNCTION(action) : action);
    bool python_function = PyFunction_Check(func.get());
    if (!python_function && !native_function_check(func.get()))
        return Seam::declined;
    auto *pf = reinterpret_cast<PyFunctionObject *>(func.get());
    auto *nf = reinterpret_cast<NativeFunction *>(func.get());
    {
        Ref dict = Ref::borrow(python_function ? pf->func_dict : nf->dict);
        int overridden = has_signature_override(dict.get());
        if (overridden)
            return overridden < 0 ? Seam::failed : Seam::declined;
    }
    // What inspect reads next; no code of the caller's runs from here on.
    Ref code_ref = Ref::borrow(python_function ? pf->func_code : nf->spec->code_obj);
    Ref defaults_ref = Ref::borrow(python_function ? pf->func_defaults : nf->defaults);
    auto *code = reinterpret_cast<PyCodeObject *>(code_ref.get());
    PyObject *defaults = defaults_ref.get();
    const Py_ssize_t argcount = code->co_argcount;
    // A tuple subclass may read differently through inspect's eyes.
    if (defaults && !PyTuple_CheckExact(defaults))
        return Seam::declined;
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    if (ndefaults > argcount)
        return Seam::declined;
    // inspect reads a default that is its own `empty` marker as no default.
    for (Py_ssize_t i = 0; i < ndefaults; ++i)
        if (PyTuple_GET_ITEM(defaults, i) == O.inspect_empty)
            return Seam::declined;
    const bool varargs = code->co_flags & CO_VARARGS;
    const bool varkw = code->co_flags & CO_VARKEYWORDS;
    const Py_ssize_t nnames = argcount + code->co_kwonlyargcount + varargs + varkw;
#if TAVREL_CODE_HAS_VARNAMES
    Ref varnames = Ref::borrow(code->co_varnames);
#else
    Ref varnames = Ref::steal(PyCode_GetVarnames(code));
    if (!varnames)
        return Seam::failed;
#endif
    if (!PyTuple_Check(varnames.get()) || PyTuple_GET_SIZE(varnames.get()) < nnames ||
        !code_has_plain_names(reinterpret_cast<PyObject *>(code), varnames.get(), nnames))
        return Seam::declined;

    // getfullargspec's `args`, split at the first parameter with a default.
    const Py_ssize_t npos = argcount - ndefaults;
    Ref pos_args = Ref::steal(PyList_New(npos));
    Ref default_args = Ref::steal(PyList_New(ndefaults));
    if (!pos_args || !default_args)
        return Seam::failed;
    for (Py_ssize_t i = 0; i < argcount; ++i) {
        PyObject *name = PyTuple_GET_ITEM(varnames.get(), i);
        Py_INCREF(name);
        if (i < npos)
            PyList_SET_ITEM(pos_args.get(), i, name);
        else
            PyList_SET_ITEM(default_args.get(), i - npos, name);
    }
    out.pos_args = std::move(pos_args);
    out.default_args = std::move(default_args);
    out.varargs = varargs;
    out.varkw = varkw;
    return Seam::done;
}

// ===========================================================================
// Action texts
// ===========================================================================

namespace {

// The senders' patterns matched natively while the module's `re` (found in
// `globals`) and its `match` are the originals and `action` is an exact
// str: `done` with `sender` the index of the pattern that matches and
// `payload` its group, or `sender` -1 when none does.
Seam match_action(PyObject *globals, PyObject *action, int &sender, Ref &payload)
{
    // While `re` and its `match` are the ones the module imported, the
    // patterns are matched without calling into `re`, with the same
    // outcome: each is its sender's name and "(" at the start, a greedy
    // group of anything but a newline, and ")" at the end of the text or
    // before a final newline.
    if (!PyUnicode_CheckExact(action) || !O.re)
        return Seam::declined;
    // Borrowed, for identity only: the module keeps the originals alive.
    PyObject *re = PyDict_GetItemWithError(globals, N.re);
    if (re != O.re)
        return PyErr_Occurred() ? Seam::failed : Seam::declined;
    PyObject *match = PyDict_GetItemWithError(PyModule_GetDict(re), N.match);
    if (match != O.re_match)
        return PyErr_Occurred() ? Seam::failed : Seam::declined;

    sender = -1;
    // The sender's name is what stands before the first "(".
    const Py_ssize_t len = PyUnicode_GET_LENGTH(action);
    const Py_ssize_t open = PyUnicode_FindChar(action, '(', 0, len, 1);
    if (open == -2)
        return Seam::failed;
    if (open < shortest_name)
        return Seam::done;
    const int kind = PyUnicode_KIND(action);
    const void *data = PyUnicode_DATA(action);
    int i = 0;
    for (; i < sender_count; ++i) {
        PyObject *prefix = sender_prefixes[i];
        if (PyUnicode_GET_LENGTH(prefix) != open + 1)
            continue;
        // The prefixes are ASCII: a one-byte text holds them byte for byte.
        if (kind == PyUnicode_1BYTE_KIND) {
            if (std::memcmp(data, PyUnicode_1BYTE_DATA(prefix), static_cast<size_t>(open + 1)) == 0)
                break;
            continue;
        }
        Py_ssize_t t = PyUnicode_Tailmatch(action, prefix, 0, open + 1, -1);
        if (t < 0)
            return Seam::failed;
        if (t)
            break;
    }
    if (i == sender_count)
        return Seam::done;
    const Py_ssize_t start = open + 1;
    const Py_UCS4 last = PyUnicode_READ(kind, data, len - 1);
    Py_ssize_t end;  // where the group ends: at the closing ")"
    if (last == ')' && len - 1 >= start)
        end = len - 1;
    else if (last == '\n' && len - 2 >= start && PyUnicode_READ(kind, data, len - 2) == ')')
        end = len - 2;
    else
        return Seam::done;
    const Py_ssize_t nl = PyUnicode_FindChar(action, '\n', start, end, 1);
    if (nl == -2)
        return Seam::failed;
    if (nl != -1)
        return Seam::done;
    Ref group = Ref::steal(PyUnicode_Substring(action, start, end));
    if (!group)
        return Seam::failed;
    payload = std::move(group);
    sender = i;
    return Seam::done;
}

} // namespace

Seam action_helper(PyObject *helper, PyObject *action, Ref &callback, Ref &payload)
{
    if (helper != O.action_helper)
        return Seam::declined;
    auto *fn = reinterpret_cast<NativeFunction *>(helper);
    int i = -1;
    Ref group;
    Seam matched = match_action(fn->globals, action, i, group);
    if (matched != Seam::done)
        return matched;
    // The faults of the general road, which tries every pattern: only one
    // can match.
    if (i < 0) {
        raise_wrong_format(fn, action);
        return Seam::failed;
    }
    if (!senders[i].empty_payload && PyUnicode_GET_LENGTH(group.get()) == 0) {
        raise_no_payload(fn);
        return Seam::failed;
    }
    callback = native_function_new(&senders[i].spec, fn->globals);
    if (!callback)
        return Seam::failed;
    payload = std::move(group);
    return Seam::done;
}

// ===========================================================================
// Text forms
// ===========================================================================

namespace {

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
// dict's own repr writes it: {'k': 'v', 'k2': 'v2'}.  Declines any other.
Seam simple_dict_repr(PyObject *d, Ref &out)
{
    Py_ssize_t n = PyDict_GET_SIZE(d);
    if (n == 0 || n > 8)
        return Seam::declined;
    Py_ssize_t len = 8 * n, pos = 0;  // braces, quotes, ": " and ", "
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value)) {
        if (!plain_str_repr(key) || !plain_str_repr(value))
            return Seam::declined;
        len += PyUnicode_GET_LENGTH(key) + PyUnicode_GET_LENGTH(value);
    }
    Ref text = Ref::steal(PyUnicode_New(len, 127));
    if (!text)
        return Seam::failed;
    char *w = reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(text.get()));
    auto quoted = [&w](PyObject *s) {
        *w++ = '\'';
        Py_ssize_t l = PyUnicode_GET_LENGTH(s);
        std::memcpy(w, PyUnicode_1BYTE_DATA(s), static_cast<size_t>(l));
        w += l;
        *w++ = '\'';
    };
    *w++ = '{';
    pos = 0;
    bool first = true;
    while (PyDict_Next(d, &pos, &key, &value)) {
        if (!first) {
            *w++ = ',';
            *w++ = ' ';
        }
        first = false;
        quoted(key);
        *w++ = ':';
        *w++ = ' ';
        quoted(value);
    }
    *w++ = '}';
    out = std::move(text);
    return Seam::done;
}

} // namespace

Seam text(PyObject *v, Ref &out)
{
    // An exact str is its own text, and None and the booleans have fixed
    // texts that cannot be overridden.
    if (PyUnicode_CheckExact(v)) {
        out = Ref::borrow(v);
        return Seam::done;
    }
    if (v == Py_None || v == Py_True || v == Py_False) {
        out = Ref::borrow(v == Py_None ? N.none_text : v == Py_True ? N.true_text : N.false_text);
        return Seam::done;
    }
    if (PyDict_CheckExact(v))
        return simple_dict_repr(v, out);
    return Seam::declined;
}

Seam join(PyObject *const *parts, Py_ssize_t n, Ref &out)
{
    Py_ssize_t len = 0;
    Py_UCS4 maxchar = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
#if TAVREL_UNICODE_NEEDS_READY
        if (PyUnicode_READY(parts[i]) < 0)
            return Seam::failed;
#endif
        len += PyUnicode_GET_LENGTH(parts[i]);
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(parts[i]);
        if (m > maxchar)
            maxchar = m;
    }
    Ref result = Ref::steal(PyUnicode_New(len, maxchar));
    if (!result)
        return Seam::failed;
    Py_ssize_t at = 0;
    const bool narrow = PyUnicode_KIND(result.get()) == PyUnicode_1BYTE_KIND;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t l = PyUnicode_GET_LENGTH(parts[i]);
        if (narrow) {
            // Every part is narrow too (none has a wider character).
            std::memcpy(PyUnicode_1BYTE_DATA(result.get()) + at, PyUnicode_1BYTE_DATA(parts[i]),
                        static_cast<size_t>(l));
        }
        else if (PyUnicode_CopyCharacters(result.get(), at, parts[i], 0, l) < 0) {
            return Seam::failed;
        }
        at += l;
    }
    out = std::move(result);
    return Seam::done;
}

// ===========================================================================
// Dialogs: the copies of statements
// ===========================================================================

namespace {

using Name = PyObject *Names::*;

// On a class, each of these rules the copy shortcut out.
constexpr Name kClassCopyHooks[] = {
    &Names::__copy__,      &Names::__reduce_ex__,    &Names::__reduce__,
    &Names::__getstate__,  &Names::__setstate__,     &Names::__getnewargs__,
    &Names::__getnewargs_ex__, &Names::__getattr__,  &Names::__slots__};

// ... and these on the instance too: copy.copy reads __reduce_ex__ from the
// instance, object.__reduce_ex__ reads __reduce__, and the default
// reduction __getstate__ and the __getnewargs__ pair, all through ordinary
// attribute access.
constexpr Name kInstanceCopyHooks[] = {&Names::__reduce_ex__, &Names::__reduce__,
                                       &Names::__getstate__, &Names::__getnewargs__,
                                       &Names::__getnewargs_ex__};

// copy's `_copy_dispatch` and copyreg's `dispatch_table`, in copy.copy's
// globals.
constexpr Name kCopyTables[] = {&Names::_copy_dispatch, &Names::dispatch_table};

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
        for (Name hook : kClassCopyHooks) {
            Ref v;
            int found = dict_get(d, N.*hook, v);
            if (found)
                return found < 0 ? -1 : 0;
        }
        // copyreg caches an empty __slotnames__ on classes it has copied.
        Ref slotnames;
        int found = dict_get(d, N.__slotnames__, slotnames);
        if (found < 0)
            return -1;
        if (found &&
            !(PyList_CheckExact(slotnames.get()) && PyList_GET_SIZE(slotnames.get()) == 0))
            return 0;
        // The `__dict__` a class statement gives a class, for this class's
        // instances; copy.copy fills the copy's dict through it.
        Ref descr;
        found = dict_get(d, N.__dict__, descr);
        if (found < 0)
            return -1;
        PyObject *dd = descr.get();
        if (found && !(Py_IS_TYPE(dd, &PyGetSetDescr_Type) &&
                       reinterpret_cast<PyGetSetDescrObject *>(dd)->d_getset->get ==
                           O.instance_dict &&
                       PyType_IsSubtype(cls, PyDescr_TYPE(dd))))
            return 0;
    }
    return 1;
}

#if TAVREL_HAVE_DICT_VERSION
// While a dict keeps its version number, it has not changed.
uint64_t dict_version(PyObject *d) { return reinterpret_cast<PyDictObject *>(d)->ma_version_tag; }

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
    // Held: making a weak reference can start a collection, whose
    // finalisers may give the class other bases and free its old MRO.
    Ref mro_ref = Ref::borrow(cls->tp_mro);
    PyObject *mro = mro_ref.get();
    Py_ssize_t n = PyTuple_GET_SIZE(mro);
    if (n > kVerdictDepth)
        return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *base = PyTuple_GET_ITEM(mro, i);
        PyObject *ref = cache_ref(base);
        if (!ref) {
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

// The last class found in neither of copy's tables, with the versions of
// copy's globals and of both tables: while none changed, neither did the
// answer.
struct TableVerdict {
    PyObject *cls = nullptr;  // weak reference
    uint64_t globals_version = 0;
    uint64_t table_versions[2] = {};
};
TableVerdict table_verdict;
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
    // Without dict versions the class dicts are scanned on every copy.
    scanned = true;
    return scan_class_for_copy_hooks(cls);
#endif
}

// Whether copy.copy's own tables (its `_copy_dispatch` and copyreg's
// `dispatch_table`, found in copy.copy's globals) have no entry for the
// class.  Sets `looked` when they were looked into.
int copy_tables_allow(PyObject *copy_fn, PyTypeObject *cls, bool &looked)
{
    Ref g = Ref::borrow(PyFunction_GET_GLOBALS(copy_fn));
#if TAVREL_HAVE_DICT_VERSION
    if (table_verdict.cls && weakref_is(table_verdict.cls, reinterpret_cast<PyObject *>(cls)) &&
        dict_version(g.get()) == table_verdict.globals_version) {
        bool same = true;
        for (int i = 0; i < 2 && same; ++i) {
            Ref t;
            int found = dict_get(g.get(), N.*kCopyTables[i], t);
            if (found < 0)
                return -1;
            same = found && PyDict_CheckExact(t.get()) &&
                   dict_version(t.get()) == table_verdict.table_versions[i];
        }
        if (same)
            return 1;
    }
    const uint64_t globals_version = dict_version(g.get());
    uint64_t versions[2] = {};
#endif
    looked = true;
    for (int i = 0; i < 2; ++i) {
        Ref t;
        int found = dict_get(g.get(), N.*kCopyTables[i], t);
        if (found <= 0)
            return found;
        if (!PyDict_CheckExact(t.get()))
            return 0;
#if TAVREL_HAVE_DICT_VERSION
        versions[i] = dict_version(t.get());
#endif
        Ref entry;
        found = dict_get(t.get(), reinterpret_cast<PyObject *>(cls), entry);
        if (found)
            return found < 0 ? -1 : 0;
    }
#if TAVREL_HAVE_DICT_VERSION
    // Kept only when nothing changed while the tables were looked into.
    bool unchanged = dict_version(g.get()) == globals_version;
    for (int i = 0; i < 2 && unchanged; ++i) {
        Ref t;
        int found = dict_get(g.get(), N.*kCopyTables[i], t);
        if (found < 0)
            return -1;
        unchanged = found && dict_version(t.get()) == versions[i];
    }
    if (unchanged) {
        if (PyObject *ref = cache_ref(reinterpret_cast<PyObject *>(cls))) {
            Py_XSETREF(table_verdict.cls, ref);
            table_verdict.globals_version = globals_version;
            table_verdict.table_versions[0] = versions[0];
            table_verdict.table_versions[1] = versions[1];
        }
    }
#endif
    return 1;
}

} // namespace

Seam copy(PyObject *copy_fn, PyObject *x, Ref &out)
{
    // copy.copy(x) without the copy module, for an object whose class
    // cannot tell the difference: plain `type` metaclass, object's __new__
    // and attribute access, an instance dict and no hook that copy or the
    // default reduction would consult.  The result is what copy.copy gives
    // for such an object: a new instance of the same class whose dict
    // holds the same items in the same order.
    if (copy_fn != O.copy || !PyFunction_Check(copy_fn) || !O.instance_dict)
        return Seam::declined;
    // Held: the lookups below can run a key's __eq__, which may give `x`
    // another class and let the old one be collected.  Whether any caller
    // code may have run is tracked, to check again afterwards.
    Ref cls_ref = Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(x)));
    auto *cls = reinterpret_cast<PyTypeObject *>(cls_ref.get());
    bool ran_code = false;
    int plain = class_copies_plainly(cls, ran_code);
    if (plain <= 0)
        return not_yes(plain);
    // The default reduction looks its hooks up on the instance too.
    Ref x_dict = Ref::steal(PyObject_GenericGetDict(x, nullptr));
    if (!x_dict)
        return Seam::failed;
    if (!PyDict_Check(x_dict.get()))
        return Seam::declined;
    // A split dict holds only exact str keys: looking names up in it runs
    // no code of the caller's.
    if (!reinterpret_cast<PyDictObject *>(x_dict.get())->ma_values)
        ran_code = true;
#if TAVREL_HAVE_DICT_VERSION
    const uint64_t x_dict_version = dict_version(x_dict.get());
#endif
    for (Name hook : kInstanceCopyHooks) {
        Ref v;
        int found = dict_get(x_dict.get(), N.*hook, v);
        if (found)
            return found < 0 ? Seam::failed : Seam::declined;
    }
    int tables = copy_tables_allow(copy_fn, cls, ran_code);
    if (tables <= 0)
        return not_yes(tables);
    if (ran_code) {
        // If any of that changed the object, its dict or its class,
        // copy.copy decides.
        bool again = false;
        if (Py_TYPE(x) != cls)
            return Seam::declined;
        int still = class_copies_plainly(cls, again);
        if (still <= 0)
            return not_yes(still);
        Ref now_dict = Ref::steal(PyObject_GenericGetDict(x, nullptr));
        if (!now_dict)
            return Seam::failed;
        if (now_dict.get() != x_dict.get())
            return Seam::declined;
#if TAVREL_HAVE_DICT_VERSION
        if (dict_version(x_dict.get()) != x_dict_version)
            return Seam::declined;
#endif
    }

    Ref y = Ref::steal(cls->tp_alloc(cls, 0));
    if (!y)
        return Seam::failed;
    if (PyDict_GET_SIZE(x_dict.get())) {
        // The same items in the same order as `y.__dict__.update(state)`.
#if TAVREL_SET_INSTANCE_DICT
        // The copy takes a dict made from the source's; copying the source's
        // (values and shared keys alike) in one step is cheapest.
        // PyDict_Copy reads the source's size, allocates and then copies
        // what it read; a collection started by that allocation could run
        // a finaliser that clears the source in between.  With the
        // collector paused no caller code can run inside the copy.
        int collecting = PyGC_Disable();
        Ref y_dict = Ref::steal(PyDict_Copy(x_dict.get()));
        if (collecting)
            PyGC_Enable();
        if (!y_dict || PyObject_GenericSetDict(y.get(), y_dict.get(), nullptr) < 0)
            return Seam::failed;
#else
        // Attributes may live inline in the object; filling the copy's own
        // dict keeps that layout.
        Ref y_dict = Ref::steal(PyObject_GenericGetDict(y.get(), nullptr));
        if (!y_dict || PyDict_Update(y_dict.get(), x_dict.get()) < 0)
            return Seam::failed;
#endif
    }
    out = std::move(y);
    return Seam::done;
}

} // namespace tavrel::fast
