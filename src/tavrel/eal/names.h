// The interned strs of the dialog module and its shortcuts, in one table.
//
// Attributes and globals are looked up by these objects, never by C strings
// on a hot path, and the fixed texts are the pieces of the text forms.  The
// table is filled once per process: an import that fails halfway (memory
// exhausted) leaves some slots filled, a later import fills the rest, and
// only a table filled to the end counts as ready.

#pragma once

#include "ref.h"

// Names whose text is the identifier itself: attributes, globals,
// parameters.
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
    X(DialogMaker) X(__timeout__) X(__eof__) X(name) X(builtins) X(spawn)     \
    X(context) X(session)                                                     \
    /* What the shortcuts look for: hooks of copy.copy and of inspect. */     \
    X(__dict__) X(__copy__) X(__reduce_ex__) X(__reduce__) X(__getstate__)    \
    X(__setstate__) X(__getnewargs__) X(__getnewargs_ex__) X(__getattr__)     \
    X(__slots__) X(__slotnames__) X(_copy_dispatch) X(dispatch_table)         \
    X(__signature__) X(_partialmethod) X(__text_signature__)

// Fixed texts: the slot, then its text.
#define TAVREL_TEXTS(X)                                                       \
    X(empty, "") X(open_pattern, "[pattern='") X(open_action, "', action=")   \
    X(open_args, ", args=") X(open_loop_continue, ", loop_continue=")         \
    X(open_continue_timer, ", continue_timer=")                               \
    X(open_trim_buffer, ", trim_buffer=") X(close, "]")                       \
    X(dialog_open, "[\n") X(tab, "\t") X(line_end, ",\n")                     \
    X(none_text, "None") X(true_text, "True") X(false_text, "False")

namespace tavrel {

struct Names {
#define X(n) PyObject *n;
    TAVREL_NAMES(X)
#undef X
#define X(n, text) PyObject *n;
    TAVREL_TEXTS(X)
#undef X
    // Made of the above: the keyword names of `list.sort(key=...)`, and
    // (list, tuple) for isinstance.
    PyObject *kw_key;
    PyObject *list_tuple;
};

inline Names N;
inline bool names_ready = false;

inline int names_init()
{
    if (names_ready)
        return 0;
    static const struct {
        PyObject **slot;
        const char *text;
    } table[] = {
#define X(n) {&N.n, #n},
        TAVREL_NAMES(X)
#undef X
#define X(n, text) {&N.n, text},
        TAVREL_TEXTS(X)
#undef X
    };
    for (auto &entry : table)
        if (!*entry.slot && !(*entry.slot = PyUnicode_InternFromString(entry.text)))
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

} // namespace tavrel
