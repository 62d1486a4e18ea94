// Native function objects: the one callable type the dialog module creates
// for every function and method it defines.
//
// A native function behaves like a function written in Python: it binds
// as a method when found on a class, is called through vectorcall, binds
// its arguments with the interpreter's own rules and error texts, and
// carries the attributes introspection looks for (`__code__` is a real code
// object describing the parameters, so `inspect.signature` and
// `inspect.getfullargspec` report the true parameter lists).
//
// What a function does is described once, statically, by a `FunctionSpec`;
// each object adds the per-object state: globals, defaults, attributes and
// whatever it captured when it was made (its closure).

#pragma once

#include "ref.h"

namespace tavrel {

struct NativeFunction;

// The body of a function.  `a` holds the bound parameters in declaration
// order, then the `*args` tuple and the `**kwargs` dict when the function
// has them.  All entries are borrowed for the duration of the call.
// Returns a new reference, or nullptr with an exception set.
using NativeBody = PyObject *(*)(NativeFunction *fn, PyObject *const *a);

inline constexpr int kMaxParameters = 14;

struct FunctionSpec {
    const char *name;
    const char *qualname;
    const char *doc;                 // nullptr: no docstring
    const char *const *params;       // positional-or-keyword parameters
    int nparams;
    const char *varargs;             // name of the `*` parameter, or nullptr
    const char *varkw;               // name of the `**` parameter, or nullptr
    NativeBody body;
    int firstlineno;                 // reported as `__code__.co_firstlineno`

    // Filled in lazily: interned name objects and the shared code object.
    // Specs are static and the module lives in one interpreter per process,
    // so these live for the whole process.
    PyObject *name_obj;
    PyObject *qualname_obj;
    PyObject *doc_obj;
    PyObject *code_obj;
    PyObject *param_names[kMaxParameters];
};

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FunctionSpec *spec;
    PyObject *globals;       // the module namespace
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *defaults;      // tuple or nullptr
    PyObject *kwdefaults;    // dict or nullptr
    PyObject *annotations;   // dict or nullptr (made on first access)
    PyObject *dict;          // function attributes, or nullptr
    PyObject *closure;       // what the body captured, or nullptr
    PyObject *weakreflist;
};

extern PyTypeObject NativeFunction_Type;

// Readies the type; call once before creating functions.
int native_function_ready();

// Makes a new function from `spec`.  `defaults` (may be nullptr) is the
// tuple of defaults of the last parameters; `closure` (may be nullptr) is
// kept by the object and visited by the GC.
Ref native_function_new(FunctionSpec *spec, PyObject *globals,
                        PyObject *defaults = nullptr,
                        PyObject *closure = nullptr);

inline bool native_function_check(PyObject *o)
{
    return Py_IS_TYPE(o, &NativeFunction_Type);
}

} // namespace tavrel
