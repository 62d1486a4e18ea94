// Reference ownership for the dialog module.
//
// `Ref` owns one strong reference (or nothing).  Construction always says
// where the reference comes from: `Ref::steal` takes over a new reference
// (the result of an API call that returns one), `Ref::borrow` adds a
// reference to an object somebody else owns.  A plain `PyObject *` in this
// code base is always borrowed and never kept past a call that can run
// Python code; whoever needs it longer takes a `Ref`.
//
// Errors follow the interpreter's convention instead of C++ exceptions: a
// function that fails leaves the Python error set and returns an empty
// `Ref` (or -1 for int results), and every caller passes that on unchanged.
// The module is built without C++ exceptions and RTTI.
//
// A question that can fail is answered with the tri-state int of
// PyDict_GetItemRef: -1 error (set), 0 no, 1 yes, with any output set only
// for yes.  A question that cannot fail answers with a bool; iteration's
// `next(item)` answers 1 with the item, 0 at the end, -1 on error.  A
// shortcut answers with the enum of its own, `Seam` (seams.h).

#pragma once

#include "version.h"

#include <utility>

namespace tavrel {

class Ref {
public:
    constexpr Ref() noexcept = default;

    // Takes over a new reference; `nullptr` gives an empty Ref (the error,
    // if any, stays set).
    [[nodiscard]] static Ref steal(PyObject *o) noexcept { return Ref(o); }

    // Adds a reference to a borrowed object.
    [[nodiscard]] static Ref borrow(PyObject *o) noexcept
    {
        Py_XINCREF(o);
        return Ref(o);
    }

    Ref(const Ref &other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}

    Ref &operator=(Ref other) noexcept
    {
        std::swap(p_, other.p_);
        return *this;
    }

    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Hands the reference back to the caller (e.g. as a return value of a
    // C API entry point).
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(p_, nullptr); }

    // Drops the reference now.  Py_CLEAR order: the field is emptied
    // before the object can run a finaliser that looks at us again.
    void reset() noexcept
    {
        PyObject *old = std::exchange(p_, nullptr);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject *o) noexcept : p_(o) {}
    PyObject *p_ = nullptr;
};

// Result of a C API function that returns a new reference to `None`.
inline Ref none() noexcept { return Ref::borrow(Py_None); }

inline Ref bool_ref(bool v) noexcept { return Ref::borrow(v ? Py_True : Py_False); }

// d[key] for a dict `d`: 1 with `out` holding the value, 0 when the key is
// absent, -1 on error.
inline int dict_get(PyObject *d, PyObject *key, Ref &out) noexcept
{
#if TAVREL_HAVE_GET_REF
    PyObject *v = nullptr;
    int found = PyDict_GetItemRef(d, key, &v);
    if (found > 0)
        out = Ref::steal(v);
    return found;
#else
    PyObject *v = PyDict_GetItemWithError(d, key);
    if (!v)
        return PyErr_Occurred() ? -1 : 0;
    out = Ref::borrow(v);
    return 1;
#endif
}

} // namespace tavrel
