// The dialog module's shortcuts.
//
// Each function here stands in for one step of the general road
// (dialogs.cpp) and is called at one place of it, its seam (seams.h).  A
// shortcut acts only where nobody can tell the difference: the
// collaborator it replaces is still the very object the module imported,
// no code of the caller's can run where the general road would run some,
// and the result is the one the general road would give.  Otherwise it
// declines, and the general road runs.
//
// Each shortcut was kept because it pays on its row of
// benchmarks/bench.py; benchmarks/compare.py measures it against the build
// without shortcuts.
//
// With TAVREL_FAST_PATHS defined to 0 (CMake: -DTAVREL_FAST_PATHS=OFF)
// fast_paths.cpp is not built and every shortcut below declines, so that
// the module takes the general road throughout; the test suite runs
// against both builds, and tells them apart by `tavrel.eal._build`, which
// the build writes beside the module.

#pragma once

#include "seams.h"

#ifndef TAVREL_FAST_PATHS
#define TAVREL_FAST_PATHS 1
#endif

namespace tavrel::fast {

#if TAVREL_FAST_PATHS

// Start-up, once the module body has bound everything: the collaborators
// in the namespace `g` are the originals the shortcuts recognise.  The
// action-text matcher is made from the `n` senders, in the order they are
// tried, and checked against what it assumes.
int init(PyObject *g, Sender *senders, int n);

// --- types and loops ---

// isinstance(o, (list, tuple)), isinstance(o, str) and isinstance(o, dict),
// when the types alone decide them: `done` with `is` set.  The interpreter
// tries each class in turn, a type test first and, when that fails, a
// lookup of the object's `__class__`, which only the built-in types below
// answer without running caller code.  Defined here, for every field check.
inline bool class_is_fixed(PyObject *o)
{
    return PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyBool_Check(o) ||
           o == Py_None || PyFloat_CheckExact(o) || PyList_CheckExact(o) ||
           PyTuple_CheckExact(o) || PyDict_CheckExact(o) || PyBytes_CheckExact(o);
}

inline Seam is_list_or_tuple(PyObject *o, bool &is)
{
    // A tuple subclass passes the second test only, after the first one's
    // lookup of `__class__`.
    if (PyList_Check(o) || PyTuple_CheckExact(o)) {
        is = true;
        return Seam::done;
    }
    if (PyTuple_Check(o) || !class_is_fixed(o))
        return Seam::declined;
    is = false;
    return Seam::done;
}

inline Seam is_str(PyObject *o, bool &is)
{
    if (PyUnicode_Check(o)) {
        is = true;
        return Seam::done;
    }
    if (!class_is_fixed(o))
        return Seam::declined;
    is = false;
    return Seam::done;
}

inline Seam is_dict(PyObject *o, bool &is)
{
    if (PyDict_Check(o)) {
        is = true;
        return Seam::done;
    }
    if (!class_is_fixed(o))
        return Seam::declined;
    is = false;
    return Seam::done;
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
// (done) or declines, `dict_keys_next` gives the next key (1), the end (0)
// or the iterator's error (-1).
Seam dict_keys_start(PyObject *d, DictWalk &w);
int dict_keys_next(DictWalk &w, Ref &key);

// --- statements ---

// getfullargspec(action), read from the action's code object while the
// module's getfullargspec is the original.
Seam argspec(PyObject *getfullargspec, PyObject *action, ArgSpec &out);

// `args` and `di_params` of `self`, read once for all of the callable rules
// with the parameter lists `spec`: `done` when no read in the rules could
// give another object than these.
Seam rule_fields(PyObject *self, const ArgSpec &spec, Ref &args, Ref &di_params);

// statement_action_helper(action) run by `helper` (a module global, or the
// function running), while that is the module's own and the module's `re`
// and its `match` are the originals: the senders' patterns are matched
// natively.  `done` with the pair; `failed` with the action text's fault
// raised, as the general road raises it.
Seam action_helper(PyObject *helper, PyObject *action, Ref &callback, Ref &payload);

// --- text forms ---

// str(v), for values whose text is fixed or plainly written.
Seam text(PyObject *v, Ref &out);

// The concatenation of `n` strs (or str subclasses) into a new str.
Seam join(PyObject *const *parts, Py_ssize_t n, Ref &out);

// --- dialogs ---

// copy(x) while the module's copy is the original, for objects whose
// class copy.copy would copy by its default reduction.
Seam copy(PyObject *copy_fn, PyObject *x, Ref &out);

#else

inline int init(PyObject *, Sender *, int) { return 0; }
inline Seam is_list_or_tuple(PyObject *, bool &) { return Seam::declined; }
inline Seam is_str(PyObject *, bool &) { return Seam::declined; }
inline Seam is_dict(PyObject *, bool &) { return Seam::declined; }
inline bool walks_by_index(PyObject *) { return false; }
inline int item_at(PyObject *, Py_ssize_t &, Ref &) { return 0; }
inline Seam dict_keys_start(PyObject *, DictWalk &) { return Seam::declined; }
inline int dict_keys_next(DictWalk &, Ref &) { return 0; }
inline Seam argspec(PyObject *, PyObject *, ArgSpec &) { return Seam::declined; }
inline Seam rule_fields(PyObject *, const ArgSpec &, Ref &, Ref &) { return Seam::declined; }
inline Seam action_helper(PyObject *, PyObject *, Ref &, Ref &) { return Seam::declined; }
inline Seam text(PyObject *, Ref &) { return Seam::declined; }
inline Seam join(PyObject *const *, Py_ssize_t, Ref &) { return Seam::declined; }
inline Seam copy(PyObject *, PyObject *, Ref &) { return Seam::declined; }

#endif

} // namespace tavrel::fast
