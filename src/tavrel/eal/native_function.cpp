// Native function objects (see native_function.h).
//
// The object mirrors the interpreter's own function object: the same
// getsets with the same setter contracts, the same repr, descriptor
// binding through PyMethod_New, and argument binding that follows the
// interpreter's frame set-up step by step, so that every TypeError a
// caller can provoke carries the text a `def` of the same signature and
// `__qualname__` would give on CPython 3.10.

#include "native_function.h"

#include <structmember.h>

#include <cstring>

namespace tavrel {

namespace {

// ---------------------------------------------------------------------------
// Preparing a function description: interned names and the shared code object
// ---------------------------------------------------------------------------

int spec_prepare(FunctionSpec *spec)
{
    if (spec->code_obj)
        return 0;
    int nvars = spec->nparams + (spec->varargs ? 1 : 0) + (spec->varkw ? 1 : 0);
    if (nvars > kMaxParameters) {
        PyErr_SetString(PyExc_SystemError, "native function with too many parameters");
        return -1;
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(spec->name));
    if (!name)
        return -1;
    Ref qualname = Ref::steal(PyUnicode_InternFromString(
        spec->qualname ? spec->qualname : spec->name));
    if (!qualname)
        return -1;
    Ref doc = spec->doc ? Ref::steal(PyUnicode_FromString(spec->doc)) : none();
    if (!doc)
        return -1;

    Ref varnames = Ref::steal(PyTuple_New(nvars));
    if (!varnames)
        return -1;
    const char *all[kMaxParameters];
    int k = 0;
    for (int i = 0; i < spec->nparams; ++i)
        all[k++] = spec->params[i];
    if (spec->varargs)
        all[k++] = spec->varargs;
    if (spec->varkw)
        all[k++] = spec->varkw;
    for (int i = 0; i < nvars; ++i) {
        PyObject *s = PyUnicode_InternFromString(all[i]);
        if (!s)
            return -1;
        PyTuple_SET_ITEM(varnames.get(), i, s);
    }

    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (spec->varargs)
        flags |= CO_VARARGS;
    if (spec->varkw)
        flags |= CO_VARKEYWORDS;
    if (std::strstr(spec->qualname ? spec->qualname : spec->name, "<locals>"))
        flags |= CO_NESTED;
    Ref filename = Ref::steal(PyUnicode_FromString("<tavrel.eal.dialogs>"));
    if (!filename)
        return -1;
    // The code object only describes the parameters; it is never run by
    // this module, and its body is harmless if anybody else runs it.
#if TAVREL_CODE_HAS_VARNAMES
    // 3.10: the body of an empty function (LOAD_CONST None; RETURN_VALUE).
    static const char body[] = {100, 0, 83, 0};
    Ref bytecode = Ref::steal(PyBytes_FromStringAndSize(body, sizeof body));
    Ref consts = Ref::steal(PyTuple_Pack(1, Py_None));
    Ref empty = Ref::steal(PyTuple_New(0));
    Ref linetable = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!bytecode || !consts || !empty || !linetable)
        return -1;
    PyObject *code = reinterpret_cast<PyObject *>(PyCode_NewWithPosOnlyArgs(
        spec->nparams, 0, 0, nvars, 1, flags | CO_NOFREE, bytecode.get(), consts.get(),
        empty.get(), varnames.get(), empty.get(), empty.get(), filename.get(), name.get(),
        spec->firstlineno, linetable.get()));
    if (!code)
        return -1;
#else
    // From 3.11 on, bytecode and the code constructor change with every
    // version; the interpreter's own empty code object (whose body raises)
    // with the parameter fields replaced describes the same signature.
    Ref blank = Ref::steal(reinterpret_cast<PyObject *>(
        PyCode_NewEmpty("<tavrel.eal.dialogs>", spec->name, spec->firstlineno)));
    if (!blank)
        return -1;
    Ref replace = Ref::steal(PyObject_GetAttrString(blank.get(), "replace"));
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref changes = Ref::steal(Py_BuildValue(
        "{s:i,s:i,s:i,s:i,s:O,s:i,s:O,s:O}", "co_argcount", spec->nparams, "co_posonlyargcount",
        0, "co_kwonlyargcount", 0, "co_nlocals", nvars, "co_varnames", varnames.get(),
        "co_flags", flags, "co_qualname", qualname.get(), "co_filename", filename.get()));
    if (!replace || !no_args || !changes)
        return -1;
    PyObject *code = PyObject_Call(replace.get(), no_args.get(), changes.get());
    if (!code)
        return -1;
#endif

    for (int i = 0; i < spec->nparams; ++i) {
        spec->param_names[i] = PyTuple_GET_ITEM(varnames.get(), i);
        Py_INCREF(spec->param_names[i]);
    }
    spec->name_obj = name.release();
    spec->qualname_obj = qualname.release();
    spec->doc_obj = doc.release();
    spec->code_obj = code;
    return 0;
}

} // namespace

namespace {

// ---------------------------------------------------------------------------
// Argument binding
// ---------------------------------------------------------------------------

// The interpreter's wording for a missing-arguments error:
// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
void raise_missing(NativeFunction *fn, PyObject *const *locals, Py_ssize_t end)
{
    FunctionSpec *spec = fn->spec;
    Ref names = Ref::steal(PyList_New(0));
    if (!names)
        return;
    for (Py_ssize_t i = 0; i < end; ++i) {
        if (locals[i])
            continue;
        Ref r = Ref::steal(PyObject_Repr(spec->param_names[i]));
        if (!r || PyList_Append(names.get(), r.get()) < 0)
            return;
    }
    Py_ssize_t len = PyList_GET_SIZE(names.get());
    Ref name_str;
    if (len == 1) {
        name_str = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    }
    else if (len == 2) {
        name_str = Ref::steal(PyUnicode_FromFormat(
            "%U and %U", PyList_GET_ITEM(names.get(), 0), PyList_GET_ITEM(names.get(), 1)));
    }
    else {
        Ref tail = Ref::steal(PyUnicode_FromFormat(
            ", %U, and %U", PyList_GET_ITEM(names.get(), len - 2),
            PyList_GET_ITEM(names.get(), len - 1)));
        if (!tail || PyList_SetSlice(names.get(), len - 2, len, nullptr) < 0)
            return;
        Ref comma = Ref::steal(PyUnicode_FromString(", "));
        if (!comma)
            return;
        Ref head = Ref::steal(PyUnicode_Join(comma.get(), names.get()));
        if (!head)
            return;
        name_str = Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
    }
    if (!name_str)
        return;
    PyErr_Format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U",
                 fn->qualname, static_cast<int>(len), "positional", len == 1 ? "" : "s",
                 name_str.get());
}

void raise_too_many(NativeFunction *fn, Py_ssize_t given, Py_ssize_t defcount)
{
    Py_ssize_t argcount = fn->spec->nparams;
    Ref sig;
    bool plural;
    if (defcount) {
        plural = true;
        sig = Ref::steal(PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount));
    }
    else {
        plural = argcount != 1;
        sig = Ref::steal(PyUnicode_FromFormat("%zd", argcount));
    }
    if (!sig)
        return;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%s %s given",
                 fn->qualname, sig.get(), plural ? "s" : "", given, "",
                 given == 1 ? "was" : "were");
}

// Binds `args` (nargs positionals followed by the values of `kwnames`) to
// the parameters, the way the interpreter sets up a frame, and runs the
// body.  The order of the checks is the interpreter's: keywords first, then
// surplus positionals, then missing ones, then defaults.
PyObject *bind_and_call(NativeFunction *fn, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames)
{
    FunctionSpec *spec = fn->spec;
    const Py_ssize_t nparams = spec->nparams;
    PyObject *locals[kMaxParameters] = {};
    Ref varargs, varkw;
    // `__defaults__` may be reassigned by the body; keep the tuple alive
    // while its items are used as borrowed parameter values.
    Ref defaults = Ref::borrow(fn->defaults);

    if (spec->varkw) {
        varkw = Ref::steal(PyDict_New());
        if (!varkw)
            return nullptr;
    }
    Py_ssize_t n = nargs < nparams ? nargs : nparams;
    for (Py_ssize_t i = 0; i < n; ++i)
        locals[i] = args[i];
    if (spec->varargs) {
        varargs = Ref::steal(PyTuple_New(nargs - n));
        if (!varargs)
            return nullptr;
        for (Py_ssize_t i = n; i < nargs; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(varargs.get(), i - n, args[i]);
        }
    }

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        PyObject *value = args[nargs + k];
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", fn->qualname);
            return nullptr;
        }
        Py_ssize_t j = 0;
        for (; j < nparams; ++j)
            if (spec->param_names[j] == keyword)
                break;
        if (j == nparams) {
            for (j = 0; j < nparams; ++j) {
                int eq = PyObject_RichCompareBool(keyword, spec->param_names[j], Py_EQ);
                if (eq < 0)
                    return nullptr;
                if (eq)
                    break;
            }
        }
        if (j == nparams) {
            if (!varkw) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             fn->qualname, keyword);
                return nullptr;
            }
            if (PyDict_SetItem(varkw.get(), keyword, value) < 0)
                return nullptr;
            continue;
        }
        if (locals[j]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                         fn->qualname, keyword);
            return nullptr;
        }
        locals[j] = value;
    }

    Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    if (nargs > nparams && !spec->varargs) {
        raise_too_many(fn, nargs, defcount);
        return nullptr;
    }
    if (nargs < nparams) {
        Py_ssize_t m = nparams - defcount;
        for (Py_ssize_t i = nargs; i < m; ++i) {
            if (!locals[i]) {
                raise_missing(fn, locals, m);
                return nullptr;
            }
        }
        Py_ssize_t i = n > m ? n - m : 0;
        for (; i < defcount; ++i) {
            if (!locals[m + i])
                locals[m + i] = PyTuple_GET_ITEM(defaults.get(), i);
        }
    }

    Py_ssize_t k = nparams;
    if (spec->varargs)
        locals[k++] = varargs.get();
    if (spec->varkw)
        locals[k++] = varkw.get();
    return spec->body(fn, locals);
}

PyObject *native_function_vectorcall(PyObject *callable, PyObject *const *args,
                                     size_t nargsf, PyObject *kwnames)
{
    auto *fn = reinterpret_cast<NativeFunction *>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    FunctionSpec *spec = fn->spec;
    // Bodies rely on their globals (and closure); only the cyclic GC takes
    // them away, from a function that is garbage already.
    if (!fn->globals) {
        PyErr_Format(PyExc_RuntimeError, "%U() was cleared by the garbage collector",
                     fn->qualname);
        return nullptr;
    }
    // Native bodies call back into one another without a Python frame in
    // between, so the recursion limit is enforced here, as a frame would.
    if (Py_EnterRecursiveCall(" while calling a Python object"))
        return nullptr;
    PyObject *result;
    // The common case of methods called with exactly their parameters by
    // position needs no binding at all.
    if (!kwnames && nargs == spec->nparams && !spec->varargs && !spec->varkw)
        result = spec->body(fn, args);
    else
        result = bind_and_call(fn, args, nargs,
                               kwnames && PyTuple_GET_SIZE(kwnames) ? kwnames : nullptr);
    Py_LeaveRecursiveCall();
    return result;
}

// ---------------------------------------------------------------------------
// Object protocol
// ---------------------------------------------------------------------------

int native_function_traverse(PyObject *self, visitproc visit, void *arg)
{
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->kwdefaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->dict);
    Py_VISIT(fn->closure);
    return 0;
}

int native_function_clear(PyObject *self)
{
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->kwdefaults);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->closure);
    // `name` and `qualname` stay: they are plain strings that the repr and
    // error messages still need while a cycle is being broken.
    return 0;
}

void native_function_dealloc(PyObject *self)
{
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakreflist)
        PyObject_ClearWeakRefs(self);
    native_function_clear(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    PyObject_GC_Del(self);
}

PyObject *native_function_repr(PyObject *self)
{
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", fn->qualname, self);
}

// Bound methods come from the descriptor protocol exactly as for Python
// functions: looked up on the class the function itself, on an instance a
// bound method.
PyObject *native_function_descr_get(PyObject *self, PyObject *obj, PyObject *)
{
    if (obj == Py_None || obj == nullptr) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

// --- getsets, with the setter contracts of the interpreter's functions ---

PyObject *get_code(PyObject *self, void *)
{
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    Py_INCREF(fn->spec->code_obj);
    return fn->spec->code_obj;
}

PyObject *get_defaults(PyObject *self, void *)
{
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    PyObject *v = fn->defaults ? fn->defaults : Py_None;
    Py_INCREF(v);
    return v;
}

int set_defaults(PyObject *self, PyObject *value, void *)
{
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    if (value == Py_None)
        value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(fn->defaults, value);
    return 0;
}

PyObject *get_kwdefaults(PyObject *self, void *)
{
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    PyObject *v = fn->kwdefaults ? fn->kwdefaults : Py_None;
    Py_INCREF(v);
    return v;
}

int set_kwdefaults(PyObject *self, PyObject *value, void *)
{
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    if (value == Py_None)
        value = nullptr;
    // Our functions have no keyword-only parameters, so what is stored
    // here is never used for binding; the contract is kept all the same.
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(fn->kwdefaults, value);
    return 0;
}

PyObject *get_annotations(PyObject *self, void *)
{
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    if (!fn->annotations) {
        fn->annotations = PyDict_New();
        if (!fn->annotations)
            return nullptr;
    }
    Py_INCREF(fn->annotations);
    return fn->annotations;
}

int set_annotations(PyObject *self, PyObject *value, void *)
{
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    if (value == Py_None)
        value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(fn->annotations, value);
    return 0;
}

PyObject *get_name(PyObject *self, void *)
{
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    Py_INCREF(fn->name);
    return fn->name;
}

int set_name(PyObject *self, PyObject *value, void *)
{
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(fn->name, value);
    return 0;
}

PyObject *get_qualname(PyObject *self, void *)
{
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    Py_INCREF(fn->qualname);
    return fn->qualname;
}

int set_qualname(PyObject *self, PyObject *value, void *)
{
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(fn->qualname, value);
    return 0;
}

PyObject *get_closure(PyObject *, void *)
{
    // What a native function captured is private state, not cells; like a
    // Python function without free variables it reports None.
    Py_RETURN_NONE;
}

// Functions are pickled, copied and deep-copied by reference, under their
// qualified name in their module, as the interpreter's functions are.
PyObject *native_function_reduce(PyObject *self, PyObject *)
{
    auto *fn = reinterpret_cast<NativeFunction *>(self);
    Py_INCREF(fn->qualname);
    return fn->qualname;
}

PyMethodDef native_function_methods[] = {
    {"__reduce__", native_function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef native_function_getset[] = {
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef native_function_members[] = {
    {"__doc__", T_OBJECT, offsetof(NativeFunction, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(NativeFunction, globals), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(NativeFunction, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

} // namespace

PyTypeObject NativeFunction_Type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "tavrel.eal.dialogs.native_function",   // tp_name
    sizeof(NativeFunction),                 // tp_basicsize
};

int native_function_ready()
{
    PyTypeObject *t = &NativeFunction_Type;
    if (t->tp_flags & Py_TPFLAGS_READY)
        return 0;
    t->tp_dealloc = native_function_dealloc;
    t->tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
    t->tp_repr = native_function_repr;
    t->tp_call = PyVectorcall_Call;
    t->tp_getattro = PyObject_GenericGetAttr;
    t->tp_setattro = PyObject_GenericSetAttr;
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
                  Py_TPFLAGS_HAVE_VECTORCALL;
    t->tp_doc = "A function of the dialog module.";
    t->tp_traverse = native_function_traverse;
    t->tp_clear = native_function_clear;
    t->tp_weaklistoffset = offsetof(NativeFunction, weakreflist);
    t->tp_methods = native_function_methods;
    t->tp_getset = native_function_getset;
    t->tp_members = native_function_members;
    t->tp_descr_get = native_function_descr_get;
    t->tp_dictoffset = offsetof(NativeFunction, dict);
#if TAVREL_SETDEFAULT_HIDES_MEMORY_ERRORS
    // A dict large enough for all that PyType_Ready puts in never grows
    // while it is filled.
    if (!t->tp_dict && !(t->tp_dict = _PyDict_NewPresized(48)))
        return -1;
#endif
    return PyType_Ready(t);
}

Ref native_function_new(FunctionSpec *spec, PyObject *globals, PyObject *defaults,
                        PyObject *closure)
{
    if (spec_prepare(spec) < 0)
        return {};
    static PyObject *module_name = nullptr;
    if (!module_name) {
        module_name = PyUnicode_InternFromString("tavrel.eal.dialogs");
        if (!module_name)
            return {};
    }
    auto *fn = PyObject_GC_New(NativeFunction, &NativeFunction_Type);
    if (!fn)
        return {};
    fn->vectorcall = native_function_vectorcall;
    fn->spec = spec;
    fn->globals = Py_NewRef(globals);
    fn->name = Py_NewRef(spec->name_obj);
    fn->qualname = Py_NewRef(spec->qualname_obj);
    fn->module = Py_NewRef(module_name);
    fn->doc = Py_NewRef(spec->doc_obj);
    fn->defaults = defaults && PyTuple_GET_SIZE(defaults) ? Py_NewRef(defaults) : nullptr;
    fn->kwdefaults = nullptr;
    fn->annotations = nullptr;
    fn->dict = nullptr;
    fn->closure = Py_XNewRef(closure);
    fn->weakreflist = nullptr;
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject *>(fn));
}

} // namespace tavrel
