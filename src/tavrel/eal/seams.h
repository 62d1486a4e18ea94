// What the module body (dialogs.cpp) and its shortcuts (fast_paths.h) share.
//
// dialogs.cpp spells out every step the way the module's Python description
// takes it: the general road.  A shortcut stands in for one such step at
// one place of it, its seam, and answers with a `Seam`.  The values handed
// across a seam, and the faults both sides raise, are declared here.

#pragma once

#include "names.h"
#include "native_function.h"

namespace tavrel {

// A shortcut's answer.  `declined`: it changed nothing and set no error;
// the general road takes the step.  `done`: it took the step and set its
// outputs.  `failed`: an error is set, the step's own (a fault the general
// road would raise, an error of caller code the step runs) or the
// shortcut's (memory exhausted).
enum class Seam { declined, done, failed };

// What the callable rules of validate_action use of getfullargspec(action).
struct ArgSpec {
    Ref spec;               // what getfullargspec returned; empty when read
    bool varargs = false;   // natively, and then these two stand in for its
    bool varkw = false;     // fields of those names
    Ref pos_args;           // the parameters without defaults
    Ref default_args;       // the parameters with defaults
};

// Where a walk over an exact dict's keys stands, when a shortcut walks it
// in place of the dict's items iterator.
struct DictWalk {
    Ref dict;
    Py_ssize_t used = 0, left = 0, pos = 0;
};

// One of statement_action_helper's senders, in the order their patterns
// are tried: its function (name, parameters, body), the `re` pattern of its
// action text and whether the text may leave the parentheses empty.
struct Sender {
    FunctionSpec spec;
    const char *pattern;
    bool empty_payload;
    PyObject *pattern_obj;  // interned on first use; lives for the process
};

// The two faults of an action text, raised through the module global
// StatementValidationError of `fn` (the running statement_action_helper).
// Both return nullptr.
PyObject *raise_no_payload(NativeFunction *fn);
PyObject *raise_wrong_format(NativeFunction *fn, PyObject *action);

} // namespace tavrel
