// tavrel.devices._lines: the device layer's pass over output as it arrives.
//
// Device output comes in pieces of tens of kilobytes, a command's worth
// running to megabytes, and every line ends in "\r\n".  The layer keeps each
// piece with its carriage returns removed and needs to know whether one of
// them did not end a line, and where: past the command's echo (which a
// terminal wraps with them), the output is then cleaned whole, lines
// written over resolved.  Done with str.replace and a regular expression
// that is two passes over each piece, both while holding the interpreter's
// lock the session's reading thread waits for; here it is one pass at
// memory speed.
#include "ref.h"

#include <cstring>

namespace {

using tavrel::Ref;

// Copies `data[0:size]` to `out` without its '\r's and sets `lone` to the
// index of the last '\r' followed by a character other than '\r' or '\n'
// (one last in the piece is not: its follower is not known yet).
template <typename Char>
void strip(const Char *data, Py_ssize_t size, Char *out, Py_ssize_t &lone)
{
    Py_ssize_t written = 0;
    for (Py_ssize_t i = 0; i < size; ++i) {
        Char c = data[i];
        if (c != '\r') {
            out[written++] = c;
        } else if (i + 1 < size && data[i + 1] != '\r' && data[i + 1] != '\n') {
            lone = i;
        }
    }
}

// The same for one-byte text, span by span: memchr finds each '\r'.
void strip_bytes(const Py_UCS1 *data, Py_ssize_t size, Py_UCS1 *out, Py_ssize_t &lone)
{
    Py_ssize_t written = 0;
    Py_ssize_t at = 0;
    while (at < size) {
        const void *found = std::memchr(data + at, '\r', static_cast<size_t>(size - at));
        Py_ssize_t end = found ? static_cast<const Py_UCS1 *>(found) - data : size;
        std::memcpy(out + written, data + at, static_cast<size_t>(end - at));
        written += end - at;
        if (end + 1 < size && data[end + 1] != '\r' && data[end + 1] != '\n') {
            lone = end;
        }
        at = end + 1;
    }
}

Py_ssize_t count_crs(int kind, const void *data, Py_ssize_t size)
{
    Py_ssize_t count = 0;
    if (kind == PyUnicode_1BYTE_KIND) {
        const auto *bytes = static_cast<const Py_UCS1 *>(data);
        const Py_UCS1 *at = bytes;
        const Py_UCS1 *end = bytes + size;
        while (at < end) {
            const void *found = std::memchr(at, '\r', static_cast<size_t>(end - at));
            if (!found) {
                break;
            }
            ++count;
            at = static_cast<const Py_UCS1 *>(found) + 1;
        }
        return count;
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        count += PyUnicode_READ(kind, data, i) == '\r';
    }
    return count;
}

PyObject *strip_crs(PyObject * /* module */, PyObject *text)
{
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "strip_crs() takes a str, not %.200s",
                     Py_TYPE(text)->tp_name);
        return nullptr;
    }
#if PY_VERSION_HEX < 0x030C0000
    // Up to 3.11 a str may still have to be made ready before its length
    // and kind are read; from 3.12 every str is.
    if (PyUnicode_READY(text) < 0) {
        return nullptr;
    }
#endif
    const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    const Py_ssize_t crs = count_crs(kind, data, size);
    Py_ssize_t lone = -1;
    Ref stripped;
    if (crs == 0) {
        stripped = Ref::borrow(text);
    } else {
        // Only '\r's go, never the widest character: the result has the
        // text's kind, as a str must (the narrowest that holds it).
        stripped = Ref::steal(PyUnicode_New(size - crs, PyUnicode_MAX_CHAR_VALUE(text)));
        if (!stripped) {
            return nullptr;
        }
        void *out = PyUnicode_DATA(stripped.get());
        switch (kind) {
        case PyUnicode_1BYTE_KIND:
            strip_bytes(static_cast<const Py_UCS1 *>(data), size, static_cast<Py_UCS1 *>(out), lone);
            break;
        case PyUnicode_2BYTE_KIND:
            strip(static_cast<const Py_UCS2 *>(data), size, static_cast<Py_UCS2 *>(out), lone);
            break;
        default:
            strip(static_cast<const Py_UCS4 *>(data), size, static_cast<Py_UCS4 *>(out), lone);
            break;
        }
    }
    Ref where = Ref::steal(PyLong_FromSsize_t(lone));
    if (!where) {
        return nullptr;
    }
    return PyTuple_Pack(2, stripped.get(), where.get());
}

PyMethodDef methods[] = {
    {"strip_crs", strip_crs, METH_O,
     "strip_crs(text, /)\n--\n\n"
     "``(text without its carriage returns, lone)``: ``lone`` is the index "
     "of the last of them followed by a character other than a carriage "
     "return or a line feed (one last in ``text`` is not), or -1."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "tavrel.devices._lines",
    "The device layer's one pass over output as it arrives.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__lines(void)
{
    return PyModuleDef_Init(&module);
}
