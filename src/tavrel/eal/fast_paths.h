// The dialog module's shortcuts.
//
// dialogs.cpp spells out every step the way the module's Python
// description would take it: the general road.  Each function here stands
// in for one such step and is called at one place of it (its seam).  A
// shortcut acts only where nobody can tell the difference: the
// collaborator it replaces is still the very object the module imported,
// no code of the caller's can run where the general road would run some,
// and the result is the one the general road would give.  Otherwise it
// declines, and the general road runs.
//
// A shortcut answers with the module's tri-state: 1 it did the step (its
// outputs are set; for a step that runs caller code, -1 is that code's
// error), 0 it declined (nothing changed, no error set), -1 error.
//
// With TAVREL_FAST_PATHS defined to 0 (CMake: -DTAVREL_FAST_PATHS=OFF)
// fast_paths.cpp is not built and every shortcut below declines, so that
// the module takes the general road throughout; the test suite runs
// against both builds, and tells them apart by `tavrel.eal._build`, which
// the build writes beside the module.

#pragma once

#include "names.h"
#include "native_function.h"

#ifndef TAVREL_FAST_PATHS
#define TAVREL_FAST_PATHS 1
#endif

namespace tavrel::fast {

// What the callable rules use of getfullargspec(action).
struct ArgSpec {
    Ref spec;          // what getfullargspec returned; empty when read natively,
    bool varargs = false;  // and then these two stand in for its fields
    bool varkw = false;
    Ref pos_args;      // the parameters without defaults
    Ref default_args;  // the parameters with defaults
};

// Where a walk over an exact dict's keys stands.
struct DictWalk {
    Ref dict;
    Py_ssize_t used = 0, left = 0, pos = 0;
};

#if TAVREL_FAST_PATHS

// Start-up, once the module body has bound everything: the collaborators
// in the namespace `g` are the originals the shortcuts recognise.  The
// action-text matcher is made from the senders' names and `re` patterns,
// in the order they are tried, and checked against what it assumes.
int init(PyObject *g, const char *const *sender_names, const char *const *sender_patterns,
         int senders);

// Whether `f` is one of the module's own functions, not cleared by the
// collector, whose body is `body`.
bool is_own(PyObject *f, NativeBody body);

// --- types, loops ---

// isinstance(o, (list, tuple)), isinstance(o, str) and isinstance(o, dict),
// when the types alone decide them: 1 with `is` set.  The interpreter
// tries each class in turn, a type test first and, when that fails, a
// lookup of the object's `__class__`, which only the built-in types below
// answer without running caller code.  Defined here, for every field check.
inline bool class_is_fixed(PyObject *o)
{
    return PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyBool_Check(o) ||
           o == Py_None || PyFloat_CheckExact(o) || PyList_CheckExact(o) ||
           PyTuple_CheckExact(o) || PyDict_CheckExact(o) || PyBytes_CheckExact(o);
}

inline int is_list_or_tuple(PyObject *o, bool &is)
{
    // A tuple subclass passes the second test only, after the first one's
    // lookup of `__class__`.
    if (PyList_Check(o) || PyTuple_CheckExact(o)) {
        is = true;
        return 1;
    }
    if (PyTuple_Check(o) || !class_is_fixed(o))
        return 0;
    is = false;
    return 1;
}

inline int is_str(PyObject *o, bool &is)
{
    if (PyUnicode_Check(o)) {
        is = true;
        return 1;
    }
    if (!class_is_fixed(o))
        return 0;
    is = false;
    return 1;
}

inline int is_dict(PyObject *o, bool &is)
{
    if (PyDict_Check(o)) {
        is = true;
        return 1;
    }
    if (!class_is_fixed(o))
        return 0;
    is = false;
    return 1;
}

// A `for` loop over an exact list or tuple walks it by index, as its
// iterator does: `walks_by_index` says whether `o` is one, `item_at` gives
// item `i` and moves on (1), or tells the end (0).  Defined here, at every
// step of such loops.
inline bool walks_by_index(PyObject *o) { return PyList_CheckExact(o) || PyTuple_CheckExact(o); }

inline int item_at(PyObject *seq, Py_ssize_t &i, Ref &item)
{
    // The length of a list is read afresh at each step, as its iterator does.
    const bool list = PyList_CheckExact(seq);
    if (i >= (list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq)))
        return 0;
    item = Ref::borrow(list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
    ++i;
    return 1;
}

// `for key, _ in d.items()` over an exact dict, walked in place with the
// checks of the dict's items iterator: `dict_keys_start` takes the dict
// (1) or declines (0), `dict_keys_next` gives the next key (1), the end
// (0) or the iterator's error (-1).
int dict_keys_start(PyObject *d, DictWalk &w);
int dict_keys_next(DictWalk &w, Ref &key);

// --- statements ---

// getfullargspec(action), read from the action's code object while the
// module's getfullargspec is the original.
int argspec(PyObject *getfullargspec, PyObject *action, ArgSpec &out);

// `args` and `di_params`, read once for all of the callable rules with
// the parameter lists `spec`: 1 when no read in the rules could give
// another object than these.
int rule_fields(PyObject *self, const ArgSpec &spec, Ref &args, Ref &di_params);

// The senders' patterns matched natively while the module's `re` (found in
// `globals`) and its `match` are the originals and `action` is an exact
// str: 1 with `sender` the index of the pattern that matches and `payload`
// its group, or `sender` -1 when none does.
int match_action(PyObject *globals, PyObject *action, int &sender, Ref &payload);

// --- text forms ---

// str(v), for values whose text is fixed or plainly written.
int text(PyObject *v, Ref &out);

// The concatenation of `n` strs (or str subclasses) into a new str.
int join(PyObject *const *parts, Py_ssize_t n, Ref &out);

// --- dialogs ---

// copy(x) while the module's copy is the original, for objects whose
// class copy.copy would copy by its default reduction.
int copy(PyObject *copy_fn, PyObject *x, Ref &out);

#else

inline int init(PyObject *, const char *const *, const char *const *, int) { return 0; }
inline bool is_own(PyObject *, NativeBody) { return false; }
inline int is_list_or_tuple(PyObject *, bool &) { return 0; }
inline int is_str(PyObject *, bool &) { return 0; }
inline int is_dict(PyObject *, bool &) { return 0; }
inline bool walks_by_index(PyObject *) { return false; }
inline int item_at(PyObject *, Py_ssize_t &, Ref &) { return 0; }
inline int dict_keys_start(PyObject *, DictWalk &) { return 0; }
inline int dict_keys_next(DictWalk &, Ref &) { return 0; }
inline int argspec(PyObject *, PyObject *, ArgSpec &) { return 0; }
inline int rule_fields(PyObject *, const ArgSpec &, Ref &, Ref &) { return 0; }
inline int match_action(PyObject *, PyObject *, int &, Ref &) { return 0; }
inline int text(PyObject *, Ref &) { return 0; }
inline int join(PyObject *const *, Py_ssize_t, Ref &) { return 0; }
inline int copy(PyObject *, PyObject *, Ref &) { return 0; }

#endif

} // namespace tavrel::fast
